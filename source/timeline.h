// The script of the show: keyframe tracks and what each frame of both sequences draws,
// as functions of time, shared by the live driver and the tools.
#pragma once
#include <vector>

struct KEY {
  float time;
  float value;
};

extern std::vector<KEY> coverflow_keys;
extern std::vector<KEY> coverflow_text_fade_keys;

// The track's value at t, linear between keys; an empty track gives 0.
float GetValue(std::vector<KEY> track, float t);

// The whole start-up, in the live program's order: the display (1280x720, at least 32 bits
// of colour, 16 of depth, 8 of stencil), the two tracks, the shared GL state (culling and
// depth test on, for the whole run), then the scenes. `phase`, when given, is called after
// each step with the step's name (the bench times them). 0; -1 when the display could not
// be opened (it has said why); -2 at the first scene whose set-up failed (it has logged why).
int timeline_start_up(void (*phase)(const char* step));

// Its parts: the two tracks; the scenes (0, or -1 at the first failed set-up).
void timeline_fill_tracks();
int timeline_init_scenes();

// Exactly one command-line argument skips the carousel sequence.
bool timeline_skips_carousel(int argc);

// Each sequence starts its music and restarts the clock with it.
void timeline_start_carousel();
void timeline_start_scroller();
// The show's clock: seconds since the sequence's music reached the output (0 until it
// has), held back by whatever silence the output played where the music fell behind, so
// the picture keeps with the sound.
double timeline_clock();
// The draw calls of one frame at `time`; non-zero when a draw call failed.
int timeline_carousel_frame(double time);
int timeline_scroller_frame(double time);
// The carousel sequence ends with the first frame at or past its last key.
bool timeline_carousel_over(double time);
int timeline_caption_index(double time);

// What the last frame drew, for tests and tools.
struct TIMELINE_FRAME {
  bool carousel;        // the carousel and a caption were drawn
  float position;       // carousel position
  int caption;          // caption index
  float fade;           // caption fade
  bool scroller;        // the scroller and the face backdrop were drawn
  double scroller_time; // what scroller_render was given
};
extern TIMELINE_FRAME timeline_last_frame;
