// demo-bench: what one frame of each sequence costs on the headless backend, each
// beside the floors measured in the same run, and the start-up phases.
//
// Floors: a cleared and presented frame; and for each sequence its geometry (the same
// draw calls over the same buffers with the same matrices and culling) drawn by the
// plainest loop: one program that only transforms and writes white, its uniform looked
// up once, every matrix worked out beforehand. A frame is timed from the clear to a
// one-pixel read-back after the swap, which waits for the rasteriser to finish.
//
// The program's own CPU time is the draw functions timed with the GL entry points they
// call turned into no-ops (gl_switch.h): what is left is the timeline, the carousel's
// transforms and the scroller's slot and marker arithmetic.
#include <GLES2/gl2.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bass_offline.h"
#include "boards.h"
#include "coverflow.h"
#include "frame_draws.h"
#include "gl_switch.h"
#include "glsl.h"
#include "output.h"
#include "scroller.h"
#include "shader.h"
#include "system.h"
#include "texture.h"
#include "timeline.h"

namespace {

const int kWidth = 1280, kHeight = 720;
// The scroller sequence is measured from its first scroller frame over a minute of text.
const double kScrollerStart = 7.0, kScrollerSpan = 60.0;

// How long the process ran before main: its start time from /proc (in clock ticks, so
// 10 ms steps) against the boot-time clock. -1 when unreadable.
double before_main_ms() {
  FILE* f = fopen("/proc/self/stat", "r");
  if (!f) return -1.0;
  char buf[1024];
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = 0;
  const char* p = strrchr(buf, ')');
  if (!p) return -1.0;
  // Field 22, starttime; the fields after the name start with field 3.
  unsigned long long start = 0;
  int field = 2;
  for (const char* q = p + 1; *q; q++) {
    if (*q == ' ' && ++field == 22) {
      start = strtoull(q + 1, nullptr, 10);
      break;
    }
  }
  timespec t;
  clock_gettime(CLOCK_BOOTTIME, &t);
  return (t.tv_sec + t.tv_nsec / 1e9 - (double)start / sysconf(_SC_CLK_TCK)) * 1e3;
}

double now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

struct Stats {
  double median = 0, p95 = 0;
};

Stats stats(std::vector<double> v) {
  Stats s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  s.p95 = v[std::min(n - 1, (size_t)ceil(0.95 * n) - 1)];
  return s;
}

void clear_frame() {
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
}

// Presents and waits until the picture is really drawn.
void present_and_wait() {
  dglSwapBuffers();
  uint8_t pixel[4];
  glReadPixels(0, 0, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel);
}

// The start-up's phases and their times, each from the end of the one before.
std::vector<std::pair<std::string, double>> startup_phases;
double startup_mark;
void startup_phase(const char* name) {
  double now = now_ms();
  startup_phases.push_back({name, now - startup_mark});
  startup_mark = now;
}

// A floor's program, or 0 after saying what the driver said.
GLuint make_program(const char* vs, const char* fs) {
  DGL_GLSL_LOG log;
  const char* step = nullptr;
  const char* const attributes[] = {"a_position", "a_tex_coord"};
  GLuint p = _dglBuildProgram(vs, fs, attributes, 2, &log, &step);
  if (!p) fprintf(stderr, "demo-bench: a floor's program: %s: %s\n", step, log.no_object ? "no GL object" : log.text);
  return p;
}

// The floors' programs: white for the geometry floor; for the texture floor one that
// only reads the draw's texture, at the vertices' own coordinates or, for the backdrop
// strip (which has none), at coordinates of the same scale made from the position.
struct FloorPrograms {
  GLuint plain = 0, tex_attr = 0, tex_pos = 0;
  GLint plain_proj = -1, attr_proj = -1, pos_proj = -1;
};

bool floor_programs(FloorPrograms& f) {
  const char* plain_vs =
      "#version 100\n"
      "attribute vec4 a_position;\n"
      "uniform mat4 u_proj;\n"
      "void main() { gl_Position = u_proj * a_position; }\n";
  const char* plain_fs =
      "#version 100\n"
      "precision mediump float;\n"
      "void main() { gl_FragColor = vec4(1.0); }\n";
  const char* attr_vs =
      "#version 100\n"
      "attribute vec4 a_position;\n"
      "attribute vec2 a_tex_coord;\n"
      "uniform mat4 u_proj;\n"
      "varying vec2 v_uv;\n"
      "void main() { gl_Position = u_proj * a_position; v_uv = a_tex_coord; }\n";
  // Four faces down the screen, square on a 16:9 display, as the backdrop shows them.
  const char* pos_vs =
      "#version 100\n"
      "attribute vec4 a_position;\n"
      "uniform mat4 u_proj;\n"
      "varying vec2 v_uv;\n"
      "void main() { gl_Position = u_proj * a_position;\n"
      "  v_uv = a_position.xy * vec2(3.5555556, 2.0); }\n";
  const char* tex_fs =
      "#version 100\n"
      "precision mediump float;\n"
      "uniform sampler2D u_tex;\n"
      "varying vec2 v_uv;\n"
      "void main() { gl_FragColor = texture2D(u_tex, v_uv); }\n";
  f.plain = make_program(plain_vs, plain_fs);
  f.tex_attr = make_program(attr_vs, tex_fs);
  f.tex_pos = make_program(pos_vs, tex_fs);
  if (!f.plain || !f.tex_attr || !f.tex_pos) return false;
  f.plain_proj = glGetUniformLocation(f.plain, "u_proj");
  f.attr_proj = glGetUniformLocation(f.tex_attr, "u_proj");
  f.pos_proj = glGetUniformLocation(f.tex_pos, "u_proj");
  for (GLuint p : {f.tex_attr, f.tex_pos}) {
    glUseProgram(p);
    glUniform1i(glGetUniformLocation(p, "u_tex"), 0);
  }
  return true;
}

// The geometry floor (`textured` false: every draw white) or the texture floor.
void draw_floor(const FloorPrograms& f, const FrameDraws& draws, bool textured) {
  glEnableVertexAttribArray(0);
  glActiveTexture(GL_TEXTURE0);
  for (const Draw& d : draws) {
    const Coords coords = textured ? d.coords : NO_TEXTURE;
    const GLuint program = coords == NO_TEXTURE ? f.plain : coords == VERTEX_COORDS ? f.tex_attr : f.tex_pos;
    glUseProgram(program);
    if (!d.cull) glDisable(GL_CULL_FACE);
    if (textured && d.blend) {
      glEnable(GL_BLEND);
      glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ZERO, GL_ONE);
    }
    glBindBuffer(GL_ARRAY_BUFFER, d.vbo);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, d.stride, (const void*)d.vertex_offset);
    if (coords == VERTEX_COORDS) {
      glEnableVertexAttribArray(1);
      glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, d.stride, (const void*)(d.vertex_offset + 12));
    }
    if (coords != NO_TEXTURE) glBindTexture(GL_TEXTURE_2D, d.texture);
    glUniformMatrix4fv(program == f.plain ? f.plain_proj : program == f.tex_attr ? f.attr_proj : f.pos_proj,
                       1, GL_FALSE, d.matrix);
    if (d.ibo) {
      glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, d.ibo);
      glDrawElements(GL_TRIANGLES, d.count, GL_UNSIGNED_SHORT, (const void*)d.index_offset);
    } else {
      glDrawArrays(GL_TRIANGLE_STRIP, 0, d.count);
    }
    if (coords == VERTEX_COORDS) glDisableVertexAttribArray(1);
    if (textured && d.blend) glDisable(GL_BLEND);
    if (!d.cull) glEnable(GL_CULL_FACE);
  }
  glDisableVertexAttribArray(0);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
}

struct Row {
  std::string name, what;
  Stats frame;       // whole frame, ms
  Stats submit;      // the draw functions' own wall time with the real driver, ms
  double floor = 0;  // this row's geometry floor median, ms (0: none)
};

// One draw function of a sequence alone in a frame, with what the timeline gave it.
struct Part {
  const char* name;
  const char* what;
  int (*draw)(const TIMELINE_FRAME& f, double t);
  std::vector<double> ms;
};

int draw_covers(const TIMELINE_FRAME& f, double) { return coverflow_render(f.position); }
int draw_caption(const TIMELINE_FRAME& f, double) { return coverflow_render_text(f.caption, f.fade); }
int draw_letters(const TIMELINE_FRAME& f, double) { return scroller_render(f.scroller_time); }
int draw_backdrop(const TIMELINE_FRAME&, double t) { return ouch_render(t, 0.0f, true); }

struct Sequence {
  bool carousel;
  std::vector<double> times;
  std::vector<Part> parts;
  std::vector<double> frame_ms, submit_ms, floor_ms, texture_ms, cpu_us;
};

int draw_sequence_frame(const Sequence& s, double t) {
  return s.carousel ? timeline_carousel_frame(t) : timeline_scroller_frame(t);
}

// Times a frame of `draw` from the clear to the finished picture; -1 when a draw failed.
template <typename F>
double timed_frame(F draw) {
  double a = now_ms();
  clear_frame();
  if (draw() != 0) return -1.0;
  present_and_wait();
  return now_ms() - a;
}

// The rows of one sequence are measured in turns, frame by frame, so that whatever else
// the machine does at the time weighs on all of them alike. The first `warmup` rounds
// put shader variants and caches in place and are not counted.
int measure_sequence(Sequence& s, int warmup, const FloorPrograms& programs,
                     std::vector<double>& clear_ms) {
  for (int round = 0; round < warmup + (int)s.times.size(); round++) {
    const bool counted = round >= warmup;
    const double t = counted ? s.times[round - warmup] : s.times[round * s.times.size() / warmup];
    double a = now_ms();
    clear_frame();
    double b = now_ms();
    if (draw_sequence_frame(s, t) != 0) return -1;
    double c = now_ms();
    present_and_wait();
    double d = now_ms();
    const TIMELINE_FRAME drawn = timeline_last_frame;
    const FrameDraws draws = s.carousel ? carousel_draws() : scroller_draws();
    double floor = timed_frame([&] { return draw_floor(programs, draws, false), 0; });
    double texture = timed_frame([&] { return draw_floor(programs, draws, true), 0; });
    double clear = timed_frame([] { return 0; });
    std::vector<double> parts;
    for (Part& part : s.parts) {
      parts.push_back(timed_frame([&] { return part.draw(drawn, t); }));
      if (parts.back() < 0) return -1;
    }
    if (!counted) continue;
    s.frame_ms.push_back(d - a);
    s.submit_ms.push_back(c - b);
    s.floor_ms.push_back(floor);
    s.texture_ms.push_back(texture);
    clear_ms.push_back(clear);
    for (size_t i = 0; i < parts.size(); i++) s.parts[i].ms.push_back(parts[i]);
  }
  // The program's own arithmetic, with every GL call it makes returning at once.
  gl_noop = true;
  for (int i = 0; i < warmup; i++) draw_sequence_frame(s, s.times[i * s.times.size() / warmup]);
  for (double t : s.times) {
    double a = now_ms();
    draw_sequence_frame(s, t);
    s.cpu_us.push_back((now_ms() - a) * 1e3);
  }
  gl_noop = false;
  return 0;
}

// The recording path: consecutive frames of a sequence at 60 fps from `start`, each read
// back whole and fed to the encoder as demo-capture does (its default x264 settings, the
// video discarded). Frames per second from the first clear until the encoder is done;
// 0 when ffmpeg is missing or failed.
double recording_fps(bool carousel, double start, int frames) {
  if (FindInPath("ffmpeg").empty()) return 0.0;
  FrameWriter encoder;
  const size_t bytes = (size_t)kWidth * kHeight * 4;
  if (!encoder.Start(EncoderArgs(60, kEncoderPreset, kEncoderCrf, "null", "-"), bytes)) return 0.0;
  const double a = now_ms();
  for (int i = 0; i < frames; i++) {
    const double t = start + (i + 1) / 60.0;
    clear_frame();
    if ((carousel ? timeline_carousel_frame(t) : timeline_scroller_frame(t)) != 0) return 0.0;
    uint8_t* pixels = encoder.Next();
    if (!pixels) return 0.0;
    glReadPixels(0, 0, kWidth, kHeight, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
    dglSwapBuffers();
    encoder.Submit();
  }
  if (!encoder.Finish()) return 0.0;
  return frames / ((now_ms() - a) / 1e3);
}

const char kUsage[] =
    "usage: demo-bench [--frames N] [--warmup N] [--json] [--boards [--counts F]]\n"
    "Measures, on the headless backend at 1280x720, the start-up phases and the cost of\n"
    "a frame of each sequence beside its floors (a cleared and presented frame; the\n"
    "sequence's geometry drawn by the plainest loop; the same draws with their textures\n"
    "and filtering, by a shader that only reads the texture), the program's own CPU\n"
    "time per frame with the GL calls turned into no-ops, and the recording path.\n"
    "  --frames N   frames per measurement (default 300)\n"
    "  --warmup N   frames run first and not counted (default 30)\n"
    "  --json       JSON lines on standard output instead of the table\n"
    "  --boards     instead: each scene's shading cost on a Pi 3, 4 and 5, estimated from\n"
    "               the fragments and vertices counted here (--frames frames a scene) and\n"
    "               the Pi drivers' instruction counts (docs/PERFORMANCE.md)\n"
    "  --counts F   those counts (default: tools/pi-gpu/counts.txt in the source tree)\n"
    "LP_NUM_THREADS defaults to 2 (llvmpipe's rasteriser threads).\n";

// A JSON string literal: quotes, backslashes and control characters escaped; bytes
// that are not UTF-8 would not be valid JSON either, so they are written as U+FFFD.
std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size(); i++) {
    const unsigned char c = (unsigned char)s[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += (char)c;
    } else if (c < 0x20 || c == 0x7f) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else if (c < 0x80) {
      out += (char)c;
    } else {
      // A well-formed UTF-8 sequence passes whole; anything else becomes U+FFFD.
      size_t n = c >= 0xf5 ? 0 : c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
      bool ok = n > 0 && i + n <= s.size();
      for (size_t k = 1; ok && k < n; k++) ok = ((unsigned char)s[i + k] & 0xc0) == 0x80;
      if (ok) {
        out.append(s, i, n);
        i += n - 1;
      } else {
        out += "\xef\xbf\xbd";
      }
    }
  }
  return out + "\"";
}

void json_stats(const char* key, const Stats& s) {
  printf(",\"%s_median_ms\":%.4f,\"%s_p95_ms\":%.4f", key, s.median, key, s.p95);
}

}  // namespace

int main(int argc, char** argv) {
  const double t_start = now_ms();
  const double exec_to_main = before_main_ms();
  int frames = 300, warmup = 30;
  bool json = false, boards = false;
  std::string counts = DGL_SOURCE_DIR "/tools/pi-gpu/counts.txt";
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      fputs(kUsage, stdout);
      return 0;
    } else if (a == "--json") {
      json = true;
    } else if (a == "--boards") {
      boards = true;
    } else if (a == "--counts" && i + 1 < argc) {
      counts = argv[++i];
    } else if ((a == "--frames" || a == "--warmup") && i + 1 < argc) {
      char* end = nullptr;
      long v = strtol(argv[++i], &end, 10);
      if (*end || v < (a == "--frames" ? 2 : 1) || v > 100000) {
        fprintf(stderr, "demo-bench: %s takes a count (frames 2 or more, warm-up 1 or more)\n",
                a.c_str());
        return 2;
      }
      (a == "--frames" ? frames : warmup) = (int)v;
    } else {
      fprintf(stderr, "demo-bench: unknown argument %s (see --help)\n", a.c_str());
      return 2;
    }
  }
  setenv("DGL_PLATFORM", "headless", 0);
  setenv("LP_NUM_THREADS", "2", 0);
  signal(SIGPIPE, SIG_IGN);  // an encoder that dies shows as a failed write
  BASSX_SetOffline(TRUE);

  // Start-up, phase by phase, exactly as the live program does it.
  std::vector<std::pair<std::string, double>>& phases = startup_phases;
  startup_mark = t_start;
  int started = timeline_start_up(startup_phase);
  if (started == -1) {
    fprintf(stderr, "demo-bench: cannot open a headless GL ES 2.0 display\n");
    return 1;
  }
  if (started != 0) {
    fprintf(stderr, "demo-bench: %s failed (see the log above)\n",
            phases.size() <= 2 ? "coverflow_init" : phases.size() == 3 ? "scroller_init" : "ouch_init");
    return 1;
  }
  if (boards) {
    for (int number : {SIGINT, SIGTERM, SIGHUP}) signal(number, SIG_DFL);
    int status = boards_estimate(counts, frames, json);
    dglShutDown();
    return status;
  }
  auto phase = [&](const char* name) { startup_phase(name); };
  // The display layer holds the stop signals for the live show's clean end; the bench
  // never polls for them, so they do what they do to any tool.
  for (int number : {SIGINT, SIGTERM, SIGHUP}) signal(number, SIG_DFL);
  timeline_start_carousel();
  phase("music start (offline device)");
  clear_frame();
  if (timeline_carousel_frame(0.0) != 0) return 1;
  present_and_wait();
  phase("first frame, presented");
  const double startup_total = now_ms() - t_start + std::max(exec_to_main, 0.0);
  phases.insert(phases.begin(), {"process start to main (10 ms steps)", exec_to_main});

  // What the set-ups spend their time on: one more of each loader's kind, timed alone
  // (the files are in the page cache by now, as they mostly are at a second start).
  double a = now_ms();
  dglLoadKTXTextureFromFile("cover0.ktx");
  glFinish();
  phases.push_back({"detail: one more cover texture", now_ms() - a});
  a = now_ms();
  GLuint vs = dglCreateShaderFromFile(GL_VERTEX_SHADER, "coverflow.vsh");
  GLuint fs = dglCreateShaderFromFile(GL_FRAGMENT_SHADER, "coverflow.fsh");
  const char* names[] = {"a_position", "a_tex_coord", "a_color"};
  dglCreateProgram(vs, fs, names, 3);
  phases.push_back({"detail: one more cover program", now_ms() - a});

  // Copied now: the driver's strings go with the context at dglShutDown.
  auto gl_string = [](GLenum name) {
    const char* s = (const char*)glGetString(name);
    return std::string(s ? s : "");
  };
  const std::string renderer = gl_string(GL_RENDERER), version = gl_string(GL_VERSION);
  const std::string threads = getenv("LP_NUM_THREADS") ? getenv("LP_NUM_THREADS") : "";

  FloorPrograms programs;
  if (!floor_programs(programs)) {
    fprintf(stderr, "demo-bench: a floor's program did not link\n");
    return 1;
  }

  std::vector<double> clear_ms;
  Sequence carousel{true, {}, {}, {}, {}, {}, {}, {}};
  Sequence scroller{false, {}, {}, {}, {}, {}, {}, {}};
  carousel.parts = {{"carousel.covers", "  covers alone (coverflow_render)", draw_covers, {}},
                    {"carousel.caption", "  caption alone (coverflow_render_text)", draw_caption, {}}};
  scroller.parts = {{"scroller.letters", "  letters alone (scroller_render)", draw_letters, {}},
                    {"scroller.backdrop", "  backdrop alone (ouch_render)", draw_backdrop, {}}};
  const double carousel_end = coverflow_keys.back().time;
  for (int i = 0; i < frames; i++) {
    carousel.times.push_back(carousel_end * i / (frames - 1));
    scroller.times.push_back(kScrollerStart + kScrollerSpan * i / (frames - 1));
  }
  if (measure_sequence(carousel, warmup, programs, clear_ms) != 0 ||
      measure_sequence(scroller, warmup, programs, clear_ms) != 0) {
    fprintf(stderr, "demo-bench: a draw call failed\n");
    return 1;
  }
  // After the frame rows, so that the encoder's threads do not weigh on them.
  const double record_carousel = recording_fps(true, 0.0, frames);
  const double record_scroller = recording_fps(false, kScrollerStart, frames);
  dglShutDown();

  struct Out {
    const char* name;
    const char* what;
    Stats frame, submit, cpu;
    double floor, texture_floor;
    bool has_submit;
  };
  const Stats clear = stats(clear_ms);
  const Stats cf = stats(carousel.floor_ms), sf = stats(scroller.floor_ms);
  const Stats ct = stats(carousel.texture_ms), st = stats(scroller.texture_ms);
  std::vector<Out> rows = {
      {"floor.clear", "cleared and presented frame", clear, {}, {}, 0, 0, false},
      {"floor.carousel_geometry", "carousel geometry, plainest loop", cf, {}, {}, 0, 0, false},
      {"floor.carousel_texture", "carousel draws, texture read only", ct, {}, {}, 0, 0, false},
      {"carousel", "carousel sequence", stats(carousel.frame_ms), stats(carousel.submit_ms),
       stats(carousel.cpu_us), cf.median, ct.median, true},
      {"floor.scroller_geometry", "scroller geometry, plainest loop", sf, {}, {}, 0, 0, false},
      {"floor.scroller_texture", "scroller draws, texture read only", st, {}, {}, 0, 0, false},
      {"scroller", "scroller sequence (letters and backdrop)", stats(scroller.frame_ms),
       stats(scroller.submit_ms), stats(scroller.cpu_us), sf.median, st.median, true},
  };
  // Each draw function alone, after its sequence, to show what dominates the frame.
  for (const Sequence* q : {&carousel, &scroller}) {
    size_t at = 0;
    for (size_t i = 0; i < rows.size(); i++)
      if (!strcmp(rows[i].name, q->carousel ? "carousel" : "scroller")) at = i + 1;
    for (const Part& part : q->parts)
      rows.insert(rows.begin() + at++, Out{part.name, part.what, stats(part.ms), {}, {}, 0, 0, false});
  }

  if (json) {
    printf("{\"bench\":\"machine\",\"renderer\":%s,\"gl_version\":%s,\"lp_num_threads\":%s,"
           "\"width\":%d,\"height\":%d,\"frames\":%d,\"warmup\":%d}\n",
           json_string(renderer).c_str(), json_string(version).c_str(), json_string(threads).c_str(),
           kWidth, kHeight, frames, warmup);
    for (const auto& p : phases)
      printf("{\"bench\":\"startup\",\"phase\":%s,\"ms\":%.4f}\n", json_string(p.first).c_str(),
             p.second);
    printf("{\"bench\":\"startup\",\"phase\":\"total\",\"ms\":%.4f}\n", startup_total);
    for (const Out& r : rows) {
      printf("{\"bench\":\"frame\",\"name\":%s", json_string(r.name).c_str());
      json_stats("frame", r.frame);
      printf(",\"fps\":%.2f,\"x_clear_floor\":%.4f", 1000.0 / r.frame.median,
             r.frame.median / clear.median);
      if (r.floor > 0) printf(",\"x_geometry_floor\":%.4f", r.frame.median / r.floor);
      if (r.texture_floor > 0) printf(",\"x_texture_floor\":%.4f", r.frame.median / r.texture_floor);
      if (r.has_submit) {
        json_stats("submit", r.submit);
        printf(",\"cpu_median_us\":%.3f,\"cpu_p95_us\":%.3f", r.cpu.median, r.cpu.p95);
      }
      printf("}\n");
    }
    for (const auto& r : {std::make_pair("recording.carousel", record_carousel),
                          std::make_pair("recording.scroller", record_scroller)})
      if (r.second > 0)
        printf("{\"bench\":\"recording\",\"name\":%s,\"fps\":%.2f,\"x_real_time_at_60_fps\":%.4f,"
               "\"preset\":%s,\"crf\":%d}\n",
               json_string(r.first).c_str(), r.second, r.second / 60.0,
               json_string(kEncoderPreset).c_str(), kEncoderCrf);
    return 0;
  }

  printf("demo-bench: %dx%d, %d frames per row after %d warm-up, renderer %s, LP_NUM_THREADS=%s\n\n",
         kWidth, kHeight, frames, warmup, renderer.c_str(), threads.c_str());
  printf("start-up                                  ms\n");
  for (const auto& p : phases) printf("  %-36s %8.2f\n", p.first.c_str(), p.second);
  printf("  %-36s %8.2f   (target < 300)\n\n", "total, process start to first frame", startup_total);
  printf("frame                                       median ms   p95 ms     fps  x clear  x geometry  x texture\n");
  for (const Out& r : rows) {
    printf("  %-40s %9.3f %8.3f %7.1f %8.2f", r.what, r.frame.median, r.frame.p95,
           1000.0 / r.frame.median, r.frame.median / clear.median);
    if (r.floor > 0) printf(" %11.2f %10.2f", r.frame.median / r.floor, r.frame.median / r.texture_floor);
    printf("\n");
  }
  printf("\nper frame of a sequence                     median      p95\n");
  for (const Out& r : rows) {
    if (!r.has_submit) continue;
    printf("  %-40s %7.1f us %6.1f us   program's own CPU (GL calls as no-ops)\n", r.name,
           r.cpu.median, r.cpu.p95);
    printf("  %-40s %7.3f ms %6.3f ms   draw calls with the driver, before the rasteriser\n",
           r.name, r.submit.median, r.submit.p95);
  }
  printf("\nrecording at 60 fps (read-back and x264 %s, crf %d)   fps   x real time\n", kEncoderPreset,
         kEncoderCrf);
  for (const auto& r : {std::make_pair("carousel", record_carousel), std::make_pair("scroller", record_scroller)}) {
    if (r.second > 0) printf("  %-40s %14.1f %10.2f\n", r.first, r.second, r.second / 60.0);
    else printf("  %-40s %s\n", r.first, "not measured (no ffmpeg in PATH, or it failed)");
  }
  return 0;
}
