// demo-shaderdb: the whole show through whatever GL driver is loaded, every shader compile
// it reports listed with the frame, sequence and program it happened in. With
// scripts/pi-mesa.sh --run vc4|v3d the driver is the Raspberry Pi's own, on Mesa's noop
// DRM shim: the real compilers, no GPU.
//
// The drivers report each compiled variant through the GL debug output (KHR_debug), and
// some failures only as lines on standard error (vc4's "Failed to register allocate").
// So standard error is a memory file while the show runs: after every draw, whatever the
// driver wrote during it is passed on with that draw's tag, and the draw entry points
// are the executable's own (as in demo-bench), so each one knows its program.
#include <EGL/egl.h>
#include <GLES2/gl2.h>
#include <GLES2/gl2ext.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bass_offline.h"
#include "coverflow.h"
#include "music.h"
#include "present.h"
#include "scroller.h"
#include "system.h"
#include "timeline.h"

namespace {

const char kUsage[] =
    "usage: demo-shaderdb [--present WxH | --no-present] [--fps N]\n"
    "Runs the whole show on the headless backend, frame by frame, through the GL driver\n"
    "that is loaded, and lists every message the driver gives: its GL debug output (where\n"
    "Mesa's drivers report each shader variant they compile) and its own lines on standard\n"
    "error, each tagged with where it happened. Run it on a Raspberry Pi's driver with\n"
    "  scripts/pi-mesa.sh --run vc4 build/demo-shaderdb     (or v3d)\n"
    "\n"
    "  --present WxH  each frame is scaled into a WxH output by the present pass, as on a\n"
    "                 console or a desktop without a scaling compositor (default 1920x1080)\n"
    "  --no-present   the frames stay in the 1280x720 surface\n"
    "  --fps N        frames per second of show time, 1 to 240 (default 60)\n"
    "\n"
    "Standard output: first 'renderer: GL_RENDERER', then one line per message:\n"
    "  FRAME SEQUENCE PROGRAM debug: MESSAGE    from the GL debug output\n"
    "  FRAME SEQUENCE PROGRAM stderr: LINE      a line the driver wrote on standard error\n"
    "FRAME counts the show's frames from 0 (-1: start-up, where programs are linked);\n"
    "SEQUENCE is start-up, carousel or scroller; PROGRAM is the program of the draw in\n"
    "progress (coverflow, coverflow_text, font, ouch, present) or - between draws.\n"
    "Each sequence's first frame is announced as 'start SEQUENCE FRAME', and the last\n"
    "line is 'end FRAMES frames'. Exit status: 0 when the show ran to its end,\n"
    "1 when it could not start or a draw failed, 2 for bad arguments.\n";

FILE* out = stdout;
FILE* err = stderr;            // the real standard error, once fd 2 is the memory file
int memory_fd = -1;            // what the driver writes on fd 2 while the show runs
off_t memory_read = 0;
long frame = -1;
const char* sequence = "start-up";
GLuint current_program = 0;
bool in_present = false;
GLuint present_program_name = 0;

const char* program_name(GLuint p) {
  if (p == 0) return "-";
  if (p == present_program_name) return "present";
  if (p == coverflow_program) return "coverflow";
  if (p == coverflow_text_program) return "coverflow_text";
  if (p == font_program) return "font";
  if (p == ouch_program) return "ouch";
  return "other";
}

// During start-up the programs are still being linked and have no names yet: what the
// driver says then is kept with the GL program being linked, and named afterwards.
GLuint linking = 0;
bool starting = true;
struct Held {
  GLuint program;
  std::string line;
};
std::vector<Held> held;

void emit(const char* program, const char* kind, const char* text, int length) {
  if (starting) {
    held.push_back({linking, std::string(kind) + ": " + std::string(text, (size_t)length)});
    return;
  }
  fprintf(out, "%ld %s %s %s: %.*s\n", frame, sequence, program, kind, length, text);
}

void release_held() {
  starting = false;
  for (const Held& h : held)
    fprintf(out, "-1 start-up %s %s\n", h.program ? program_name(h.program) : "-", h.line.c_str());
  held.clear();
}

// Passes on what the driver wrote on standard error since the last call, line by line.
void drain(const char* program) {
  if (memory_fd < 0) return;
  off_t end = lseek(memory_fd, 0, SEEK_END);
  if (end <= memory_read) return;
  std::string text((size_t)(end - memory_read), '\0');
  ssize_t n = pread(memory_fd, &text[0], text.size(), memory_read);
  if (n <= 0) return;
  text.resize((size_t)n);
  size_t start = 0, nl;
  while ((nl = text.find('\n', start)) != std::string::npos) {
    emit(program, "stderr", text.c_str() + start, (int)(nl - start));
    start = nl + 1;
  }
  memory_read += (off_t)start;  // a partial line waits for its end
}

void GL_APIENTRY on_debug_message(GLenum, GLenum, GLuint, GLenum, GLsizei length,
                                  const GLchar* message, const void*) {
  emit(in_present ? "present" : program_name(current_program), "debug", message,
       length < 0 ? (int)strlen(message) : (int)length);
}

bool listen_to_driver() {
  auto callback = (PFNGLDEBUGMESSAGECALLBACKKHRPROC)eglGetProcAddress("glDebugMessageCallbackKHR");
  auto control = (PFNGLDEBUGMESSAGECONTROLKHRPROC)eglGetProcAddress("glDebugMessageControlKHR");
  const char* ext = (const char*)glGetString(GL_EXTENSIONS);
  if (!callback || !control || !ext || !strstr(ext, "GL_KHR_debug")) {
    fprintf(err, "demo-shaderdb: the driver has no GL_KHR_debug, so it cannot report its compiles\n");
    return false;
  }
  glEnable(GL_DEBUG_OUTPUT_KHR);
  glEnable(GL_DEBUG_OUTPUT_SYNCHRONOUS_KHR);
  control(GL_DONT_CARE, GL_DONT_CARE, GL_DONT_CARE, 0, nullptr, GL_TRUE);
  callback(on_debug_message, nullptr);
  return true;
}

bool debug_ok = true;
void on_phase(const char* step) {
  if (strcmp(step, "display (dglInit)")) return;
  fprintf(out, "renderer: %s\n", (const char*)glGetString(GL_RENDERER));
  debug_ok = listen_to_driver();
}

}  // namespace

// The draw entry points the scenes and the present pass call: the executable's own
// definitions win over the library's, the real ones are next in the search order.
extern "C" {
void GL_APIENTRY glUseProgram(GLuint program) {
  static auto real = (void(GL_APIENTRY*)(GLuint))dlsym(RTLD_NEXT, "glUseProgram");
  current_program = program;
  real(program);
}
void GL_APIENTRY glLinkProgram(GLuint program) {
  static auto real = (void(GL_APIENTRY*)(GLuint))dlsym(RTLD_NEXT, "glLinkProgram");
  linking = program;
  if (in_present) present_program_name = program;
  real(program);
  drain("-");
  linking = 0;
}
void GL_APIENTRY glDrawElements(GLenum mode, GLsizei count, GLenum type, const void* indices) {
  static auto real = (void(GL_APIENTRY*)(GLenum, GLsizei, GLenum, const void*))dlsym(RTLD_NEXT, "glDrawElements");
  real(mode, count, type, indices);
  drain(program_name(current_program));
}
void GL_APIENTRY glDrawArrays(GLenum mode, GLint first, GLsizei count) {
  static auto real = (void(GL_APIENTRY*)(GLenum, GLint, GLsizei))dlsym(RTLD_NEXT, "glDrawArrays");
  real(mode, first, count);
  drain(program_name(current_program));
}
}

int main(int argc, char** argv) {
  int present_w = 1920, present_h = 1080, fps = 60;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      fputs(kUsage, stdout);
      return 0;
    } else if (a == "--no-present") {
      present_w = present_h = 0;
    } else if (a == "--present" && i + 1 < argc) {
      char extra;
      if (sscanf(argv[++i], "%dx%d%c", &present_w, &present_h, &extra) != 2 || present_w < 1 ||
          present_h < 1 || present_w > 16384 || present_h > 16384) {
        fprintf(stderr, "demo-shaderdb: --present takes WIDTHxHEIGHT, 1 to 16384 each, not '%s'\n", argv[i]);
        return 2;
      }
    } else if (a == "--fps" && i + 1 < argc) {
      char* end = nullptr;
      long v = strtol(argv[++i], &end, 10);
      if (*end || v < 1 || v > 240) {
        fprintf(stderr, "demo-shaderdb: --fps takes 1 to 240, not '%s'\n", argv[i]);
        return 2;
      }
      fps = (int)v;
    } else {
      fprintf(stderr, "demo-shaderdb: unknown argument %s (see --help)\n", a.c_str());
      return 2;
    }
  }
  setenv("DGL_PLATFORM", "headless", 0);
  BASSX_SetOffline(TRUE);

  // From here the driver's lines on fd 2 are kept, and passed on with their draw's tag.
  int saved = dup(2);
  memory_fd = memfd_create("driver-stderr", MFD_CLOEXEC);
  if (saved < 0 || memory_fd < 0 || dup2(memory_fd, 2) < 0 || !(err = fdopen(saved, "w"))) {
    fprintf(stderr, "demo-shaderdb: cannot keep standard error apart: %s\n", strerror(errno));
    return 1;
  }
  setvbuf(err, nullptr, _IONBF, 0);
  setvbuf(out, nullptr, _IOLBF, 0);

  int started = timeline_start_up(on_phase);
  drain("-");
  if (started != 0 || !debug_ok) {
    release_held();
    if (started != 0) fprintf(err, "demo-shaderdb: the show could not start (its log is above)\n");
    return 1;
  }
  for (int number : {SIGINT, SIGTERM, SIGHUP}) signal(number, SIG_DFL);
  if (present_w > 0) {
    char why[256];
    in_present = true;
    const int failed = _dglPresentInit(1280, 720, why, sizeof why);
    in_present = false;
    if (failed) {
      release_held();
      fprintf(err, "demo-shaderdb: the present pass: %s\n", why);
      return 1;
    }
  }
  release_held();

  std::vector<short> audio;
  uint64_t pulled = 0;
  long n = 0;
  // One frame at show time `t` of a sequence, then its share of the sound (the music's
  // end ends the show, so the mix is pulled as the capture pulls it).
  auto frame_at = [&](bool carousel, double t) {
    frame = n;
    sequence = carousel ? "carousel" : "scroller";
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
    int failed = carousel ? timeline_carousel_frame(t) : timeline_scroller_frame(t);
    if (present_w > 0) {
      in_present = true;
      _dglPresentDraw(present_w, present_h);
      in_present = false;
    }
    dglSwapBuffers();
    if (present_w > 0) _dglPresentBindTarget();
    drain("-");
    const uint64_t end = (uint64_t)(n + 1) * BASSX_RATE / (uint64_t)fps;
    audio.resize((size_t)(end - pulled) * 2);
    BASSX_Render(audio.data(), (DWORD)(end - pulled));
    pulled = end;
    n++;
    if (failed) fprintf(err, "demo-shaderdb: a draw call failed in frame %ld\n", frame);
    return failed == 0;
  };
  timeline_start_carousel();
  fprintf(out, "start carousel %ld\n", n);
  for (long k = 0;; k++) {
    const double t = (double)(k + 1) / fps;
    if (!frame_at(true, t)) return 1;
    if (timeline_carousel_over(t)) break;
  }
  timeline_start_scroller();
  fprintf(out, "start scroller %ld\n", n);
  for (long k = 0; dglIsMusicPlaying(); k++)
    if (!frame_at(false, (double)(k + 1) / fps)) return 1;
  frame = n;
  sequence = "end";
  dglShutDown();
  drain("-");
  fprintf(out, "end %ld frames\n", n);
  return 0;
}
