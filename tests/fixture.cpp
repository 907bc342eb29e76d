// The fixture library (fixtures.h) for shell and JavaScript tests.
//   fixture serve SERVER...     starts each server (xvfb, xvfb=WxH, pulseaudio, pipewire), prints the
//                               NAME=VALUE lines a client needs, then "ready"; ends them all
//                               when standard input closes or on SIGTERM, SIGINT or SIGHUP
//   fixture x-wait-picture      on DISPLAY: 0 once a mapped window covers most of the screen
//                               and its middle shows more than black
//   fixture x-key               on DISPLAY: presses and releases the space bar (XTest)
//   fixture lit-rows PICTURE    the pixels that are not black in each row of a PNG or PPM,
//                               one number a line
//   fixture first-sound [SERVER] on the "show" sink: "recording" once it listens, then
//                               "first-sound T W" once its first sound is played, on
//                               CLOCK_MONOTONIC and CLOCK_REALTIME in seconds
#include "fixtures.h"  // first: it includes Xlib after GoogleTest

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <pulse/simple.h>
#include <sched.h>
#ifdef DGL_PIPEWIRE
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#endif

#include <memory>

static volatile sig_atomic_t stop_asked = 0;
static void ask_stop(int) { stop_asked = 1; }

static int serve(int argc, char** argv) {
  std::vector<std::unique_ptr<Xvfb>> xs;
  std::vector<std::unique_ptr<SoundServer>> sounds;
  for (int i = 2; i < argc; i++) {
    const std::string what = argv[i];
    int w = 1280, h = 720;
    if (what == "pulseaudio" || what == "pipewire") {
      sounds.push_back(std::make_unique<SoundServer>(what));
      if (!sounds.back()->Start()) return fprintf(stderr, "fixture: %s did not start\n", what.c_str()), 1;
      for (const std::string& e : sounds.back()->Env()) printf("%s\n", e.c_str());
    } else if (what == "xvfb" || sscanf(what.c_str(), "xvfb=%dx%d", &w, &h) == 2) {
      xs.push_back(std::make_unique<Xvfb>());
      if (!xs.back()->Start(w, h)) return fprintf(stderr, "fixture: Xvfb did not start\n"), 1;
      printf("DISPLAY=%s\n", xs.back()->display.c_str());
    } else {
      return fprintf(stderr, "fixture: unknown server '%s' (xvfb, xvfb=WxH, pulseaudio, pipewire)\n", what.c_str()), 2;
    }
  }
  printf("ready\n");
  fflush(stdout);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) signal(s, ask_stop);
  char c;
  for (pollfd p = {0, POLLIN, 0}; !stop_asked;)
    if (poll(&p, 1, 1000) > 0 && read(0, &c, 1) <= 0) break;
  return 0;  // the servers end with their fixtures
}

// Lit pixels in the middle third of the screen, where a mapped window covers most of it.
static int lit_middle(Display* d) {
  Window root = DefaultRootWindow(d), parent, *children = nullptr;
  unsigned count = 0;
  XWindowAttributes screen, a;
  XGetWindowAttributes(d, root, &screen);
  bool covered = false;
  if (XQueryTree(d, root, &root, &parent, &children, &count))
    for (unsigned i = 0; i < count; i++)
      covered |= XGetWindowAttributes(d, children[i], &a) && a.map_state == IsViewable && a.width * 2 > screen.width && a.height * 2 > screen.height;
  if (children) XFree(children);
  Picture p;
  if (!covered || !p.Grab(d)) return 0;
  return p.width * p.height / 9 - p.Black(p.width / 3, p.height / 3, 2 * p.width / 3 - 1, 2 * p.height / 3 - 1);
}

static void print_first_sound(double mono) {
  timespec wall;
  clock_gettime(CLOCK_REALTIME, &wall);
  printf("first-sound %.4f %.4f\n", mono, wall.tv_sec + wall.tv_nsec / 1e9 - (NowSeconds() - mono));
}

// Records the sink's monitor in 1 ms reads: a monitor has what the sink plays as it plays it
// (PulseAudio's null sink reports its monitor hundreds of milliseconds late, which a played
// click's arrival here shows false), so a read's last frame was played as the read returned.
static int first_sound() {
  const pa_sample_spec format = {PA_SAMPLE_S16LE, 44100, 2};
  const pa_buffer_attr attr = {(uint32_t)-1, (uint32_t)-1, (uint32_t)-1, (uint32_t)-1, 44 * 4};
  int error = 0;
  pa_simple* s = pa_simple_new(nullptr, "fixture", PA_STREAM_RECORD, "show.monitor", "first sound", &format, nullptr, &attr, &error);
  if (!s) return fprintf(stderr, "fixture: cannot record the show sink's monitor: error %d\n", error), 1;
  // At real-time priority where allowed, so a busy machine does not delay the reads.
  sched_param fifo = {sched_get_priority_min(SCHED_FIFO)};
  sched_setscheduler(0, SCHED_FIFO, &fifo);
  puts("recording"), fflush(stdout);
  int16_t block[44 * 2];
  for (;;) {
    if (pa_simple_read(s, block, sizeof block, &error) < 0) return fprintf(stderr, "fixture: recording failed: error %d\n", error), 1;
    const double mono = NowSeconds();  // as the read returned, set back to the frame's moment below
    for (int i = 0; i < 44; i++)
      if (block[2 * i] || block[2 * i + 1]) {
        print_first_sound(mono - (44 - i) / 44100.0);
        return pa_simple_free(s), 0;
      }
  }
}

#ifdef DGL_PIPEWIRE
// PipeWire stamps each cycle with the moment its driver (the sink) began it: the sound's
// moment from that stamp, however late a busy machine runs this recorder (its pulse server
// handed recordings on up to 146 ms late beside the browser tests). The monitor hands on
// what the sink took in one cycle at the start of the next, when a card run by PipeWire
// (kept a cycle ahead) begins to play it. The recorder asks for no cycle length of its own:
// the graph runs at the pace the show asks for.
struct PwRecorder {
  pw_main_loop* loop;
  pw_stream* stream;
  double heard = -1;
  bool listening = false;
};
static void pw_process(void* data) {
  auto* r = (PwRecorder*)data;
  pw_buffer* b = pw_stream_dequeue_buffer(r->stream);
  if (!b) return;
  // Listening once the monitor's cycles arrive, not when the stream says it streams.
  if (!r->listening) r->listening = true, puts("recording"), fflush(stdout);
  pw_time t = {};
  pw_stream_get_time_n(r->stream, &t, sizeof t);
  const spa_data& d = b->buffer->datas[0];
  const int16_t* s = (const int16_t*)d.data;
  for (uint32_t i = 0; s && d.chunk && r->heard < 0 && i < d.chunk->size / 4; i++)
    if (s[2 * i] || s[2 * i + 1]) r->heard = t.now / 1e9 + i / 44100.0, pw_main_loop_quit(r->loop);
  pw_stream_queue_buffer(r->stream, b);
}
static void pw_state(void* data, pw_stream_state, pw_stream_state state, const char* error) {
  if (state == PW_STREAM_STATE_ERROR) fprintf(stderr, "fixture: cannot record the show sink: %s\n", error), pw_main_loop_quit(((PwRecorder*)data)->loop);
}
static int pipewire_first_sound() {
  pw_init(nullptr, nullptr);
  pw_stream_events events = {};
  events.version = PW_VERSION_STREAM_EVENTS, events.state_changed = pw_state, events.process = pw_process;
  PwRecorder r = {pw_main_loop_new(nullptr), nullptr};
  r.stream = pw_stream_new_simple(pw_main_loop_get_loop(r.loop), "first sound",
                                  pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_TARGET_OBJECT,
                                                    "show", PW_KEY_STREAM_CAPTURE_SINK, "true", nullptr),
                                  &events, &r);
  uint8_t pod[512];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
  spa_audio_info_raw format = {};
  format.format = SPA_AUDIO_FORMAT_S16_LE, format.rate = 44100, format.channels = 2;
  const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
  const auto flags = (pw_stream_flags)(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
  if (pw_stream_connect(r.stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) < 0)
    return fprintf(stderr, "fixture: cannot record the show sink\n"), 1;
  pw_main_loop_run(r.loop);
  pw_stream_destroy(r.stream);
  pw_main_loop_destroy(r.loop);
  return r.heard < 0 ? 1 : (print_first_sound(r.heard), 0);
}
#endif

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  if (what == "serve" && argc > 2) return serve(argc, argv);
  if (what == "x-key" || what == "x-wait-picture") {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return fprintf(stderr, "fixture: cannot open the X display\n"), 1;
    bool ok = true;
    if (what == "x-key") {
      XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_space), True, 0);
      XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_space), False, 0);
      XSync(d, False);
    } else if (!(ok = WaitUntil([&] { return lit_middle(d) > 1000; }))) {
      fprintf(stderr, "fixture: no window with a picture on the screen\n");
    }
    XCloseDisplay(d);
    return ok ? 0 : 1;
  }
#ifdef DGL_PIPEWIRE
  if (what == "first-sound" && argc == 3 && !strcmp(argv[2], "pipewire")) return pipewire_first_sound();
#endif
  if (what == "first-sound" && (argc == 2 || !strcmp(argv[2], "pulseaudio") || !strcmp(argv[2], "pipewire"))) return first_sound();
  Picture p;
  if (what == "lit-rows" && argc == 3) {
    if (!p.Read(argv[2])) return fprintf(stderr, "fixture: cannot read %s\n", argv[2]), 1;
    for (int y = 0; y < p.height; y++) printf("%d\n", p.width - p.Black(0, y, p.width - 1, y));
    return 0;
  }
  const bool help = what == "--help" || what == "-h";
  fprintf(help ? stdout : stderr, "usage: fixture serve SERVER... | x-wait-picture | x-key | lit-rows PICTURE | first-sound [SERVER]\n"
          "  SERVER: xvfb, xvfb=WxH, pulseaudio or pipewire; their clients' NAME=VALUE lines, then \"ready\";\n"
          "  they end when standard input closes or on SIGTERM\n");
  return help ? 0 : 2;
}
