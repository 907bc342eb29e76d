#include "timeline.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "coverflow.h"
#include "music.h"
#include "scroller.h"
#include "system.h"
#include "util.h"

std::vector<KEY> coverflow_keys;
std::vector<KEY> coverflow_text_fade_keys;
TIMELINE_FRAME timeline_last_frame;

// The scroller waits this long into the module, holding the carousel's last picture.
static const double scroller_delay = 7.0;

float GetValue(std::vector<KEY> track, float t) {
  if (track.empty()) return 0.0f;
  if (t < 0.0f) return track[0].value;
  for (size_t i = 1; i < track.size(); i++) {
    // Strictly after the earlier key, at or before the later one: keys of equal time
    // never pair, so the value steps there without a division by zero.
    if (t > track[i - 1].time && t <= track[i].time) {
      float f = (t - track[i - 1].time) / (track[i].time - track[i - 1].time);
      float later = f * track[i].value;
      float earlier = (1.0f - f) * track[i - 1].value;
      return later + earlier;
    }
  }
  return track.back().value;
}

void timeline_fill_tracks() {
  static const KEY positions[] = {{0, -5},  {2, -7},  {10, -7}, {14, -1},   {22, -1},
                                  {24, -3}, {34, -3}, {36, -5}, {36.25f, -5}};
  static const KEY fades[] = {{0, 0},      {2, 0},  {2.25f, 1},  {10, 1}, {10.25f, 0},
                              {14, 0},     {14.25f, 1}, {22, 1}, {22.25f, 0}, {24, 0},
                              {24.25f, 1}, {34, 1}, {34.25f, 0}, {36, 0}, {36.25f, 1}};
  for (const KEY& k : positions) coverflow_keys.push_back(k);
  for (const KEY& k : fades) coverflow_text_fade_keys.push_back(k);
}

int timeline_init_scenes() {
  if (coverflow_init() != 0) return -1;
  if (scroller_init() != 0) return -1;
  if (ouch_init() != 0) return -1;
  return 0;
}

int timeline_start_up(void (*phase)(const char* step)) {
  if (dglInit(1280, 720, 32, 16, 8) != 0) return -1;
  if (phase) phase("display (dglInit)");
  timeline_fill_tracks();
  glEnable(GL_CULL_FACE);
  glEnable(GL_DEPTH_TEST);
  if (phase) phase("keyframe tracks");
  if (coverflow_init() != 0) return -2;
  if (phase) phase("coverflow_init");
  if (scroller_init() != 0) return -2;
  if (phase) phase("scroller_init");
  if (ouch_init() != 0) return -2;
  if (phase) phase("ouch_init");
  return 0;
}

bool timeline_skips_carousel(int argc) { return argc == 2; }

// DGL_CLOCK_REPORT=1 says once a sequence where its clock's 0 s lies on CLOCK_MONOTONIC, as
// the clock starts (before any late silence holds it back), so that a test can set the
// sound's first sample against the picture meant for it.
static const char* clock_report = nullptr;

void timeline_start_carousel() {
  dglPlayMusic("coverflow.mp3");
  dglResetTime();
  clock_report = getenv("DGL_CLOCK_REPORT") ? "carousel" : nullptr;
}

void timeline_start_scroller() {
  dglPlayMusic("quorvelt.mod");
  dglResetTime();
  clock_report = getenv("DGL_CLOCK_REPORT") ? "scroller" : nullptr;
}

double timeline_clock() {
  // The picture holds its first frame until the music reaches the output.
  const double delay = dglMusicStartDelay();
  if (delay < 0) return 0.0;
  const double t = dglGetTime() - delay - dglMusicLateSeconds();
  if (t < 0) return 0.0;
  if (clock_report && t > 0) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    printf("clock: the %s's 0 s at %.4f\n", clock_report, now.tv_sec + now.tv_nsec / 1e9 - t);
    fflush(stdout);
    clock_report = nullptr;
  }
  return t;
}

int timeline_caption_index(double time) {
  if (time >= 36.0) return 3;
  if (time >= 24.0) return 2;
  if (time >= 14.0) return 1;
  return 0;
}

static int draw_carousel(float position, int caption, float fade) {
  timeline_last_frame.carousel = true;
  timeline_last_frame.position = position;
  timeline_last_frame.caption = caption;
  timeline_last_frame.fade = fade;
  if (coverflow_render(position) != 0) return -1;
  return coverflow_render_text(caption, fade);
}

int timeline_carousel_frame(double time) {
  timeline_last_frame = TIMELINE_FRAME();
  float t = (float)time;
  float position = GetValue(coverflow_keys, t);
  int caption = timeline_caption_index(time);
  float fade = GetValue(coverflow_text_fade_keys, t);
  return draw_carousel(position, caption, fade);
}

bool timeline_carousel_over(double time) {
  return !(time < (double)coverflow_keys.back().time);
}

int timeline_scroller_frame(double time) {
  timeline_last_frame = TIMELINE_FRAME();
  if (time < scroller_delay) return draw_carousel(coverflow_keys.back().value, 3, 1.0f);
  double scroller_time = time - scroller_delay;
  if (scroller_time < 0.0) scroller_time = 0.0;
  timeline_last_frame.scroller = true;
  timeline_last_frame.scroller_time = scroller_time;
  if (scroller_render(scroller_time) != 0) return -1;
  return ouch_render(time, 0.0f, true);
}
