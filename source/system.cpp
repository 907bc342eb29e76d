// The EGL half of the display: the same sequence on every platform. The native half
// chosen at start (system_native.h) supplies the display connection and the surface; for a
// half without a hardware scaler this half also scales present.cpp's target into its output.
#include <EGL/egl.h>
#include <GLES2/gl2.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "present.h"
#include "system.h"
#include "system_native.h"

static EGLDisplay egl_display = EGL_NO_DISPLAY;
static EGLConfig egl_config = 0;
static EGLContext egl_context = EGL_NO_CONTEXT;
static EGLSurface egl_surface = EGL_NO_SURFACE;

static const DGL_NATIVE_BACKEND* native;
// Whether present.cpp scales the target into the output, and the output's size in pixels.
static int presenting;
static int output_width, output_height;

static const char* egl_error_name(EGLint error) {
  static const char* const names[] = {
      "EGL_SUCCESS",         "EGL_NOT_INITIALIZED",  "EGL_BAD_ACCESS",       "EGL_BAD_ALLOC",
      "EGL_BAD_ATTRIBUTE",   "EGL_BAD_CONFIG",       "EGL_BAD_CONTEXT",      "EGL_BAD_CURRENT_SURFACE",
      "EGL_BAD_DISPLAY",     "EGL_BAD_MATCH",        "EGL_BAD_NATIVE_PIXMAP", "EGL_BAD_NATIVE_WINDOW",
      "EGL_BAD_PARAMETER",   "EGL_BAD_SURFACE",      "EGL_CONTEXT_LOST"};
  if (error >= EGL_SUCCESS && error <= EGL_CONTEXT_LOST) return names[error - EGL_SUCCESS];
  return "unknown EGL error";
}

// SIGINT, SIGTERM and SIGHUP end the show like a key, on every half, so that a service
// manager, a desktop session or a closed terminal gets a clean end (status 0, the display
// given back). A tool's own handler stays, and so does a SIGHUP ignored by nohup; SIGINT
// is taken even where ignored (a shell script's background job inherits it so), as an
// explicit kill -INT must still end the show cleanly. All come back at dglShutDown.
static const int stop_signals[3] = {SIGINT, SIGTERM, SIGHUP};
static struct sigaction saved_actions[3];
static int taken_signals[3];
static volatile sig_atomic_t stop_requested;
static int told_no_terminal;

static void on_stop_signal(int number) {
  // A second one before the first was answered: nothing polls (a tool, or a hang), so the
  // signal does what it would have done.
  if (stop_requested) {
    signal(number, SIG_DFL);
    raise(number);
    return;
  }
  stop_requested = number;
}

static void take_stop_signals() {
  stop_requested = 0;
  told_no_terminal = 0;
  for (int i = 0; i < 3; i++) {
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(stop_signals[i], NULL, &saved_actions[i]) != 0) continue;
    const int ignored = !(saved_actions[i].sa_flags & SA_SIGINFO) && saved_actions[i].sa_handler == SIG_IGN;
    const int by_default = !(saved_actions[i].sa_flags & SA_SIGINFO) && saved_actions[i].sa_handler == SIG_DFL;
    taken_signals[i] = (by_default || (ignored && stop_signals[i] != SIGHUP)) &&
                       sigaction(stop_signals[i], &action, NULL) == 0;
  }
}

static void give_back_stop_signals() {
  for (int i = 0; i < 3; i++)
    if (taken_signals[i]) sigaction(stop_signals[i], &saved_actions[i], NULL);
  taken_signals[0] = taken_signals[1] = taken_signals[2] = 0;
}

static void destroy_native_window() {
  if (native) native->destroy_window();
  native = NULL;
}

// Start-up failures go to standard error, one line naming the step: standard output is
// the program's log and keeps only what the log is for. `error` names the step's error;
// no step at all: the native half has already said why.
static int fail_and_undo(const char* step, const char* error) {
  if (step) fprintf(stderr, "dglInit: %s (%s)\n", step, error);
  fflush(stderr);
  eglMakeCurrent(egl_display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  eglTerminate(egl_display);
  destroy_native_window();
  give_back_stop_signals();
  egl_display = EGL_NO_DISPLAY;
  return -1;
}

// Scales the frame into the output where the half needs it, swaps, and lets the half show
// it (a page flip). Non-zero when the half could not show it.
static int present_frame() {
  if (presenting) {
    int width, height;
    if (native->output_size_changed(&width, &height) > 0) output_width = width, output_height = height;
    _dglPresentDraw(output_width, output_height);
  }
  eglSwapBuffers(egl_display, egl_surface);
  int shown = native->after_swap ? native->after_swap() : 0;
  if (presenting) _dglPresentBindTarget();
  return shown;
}

// The first configuration that matches, or the first with the backend's native visual.
// EGL_SUCCESS, or why none was chosen: a request that matches nothing is no EGL error,
// so it reads as EGL_BAD_MATCH.
static EGLint choose_config(const EGLint* attributes) {
  EGLConfig configs[64];
  EGLint count = 0;
  EGLint visual = native->native_visual ? native->native_visual() : 0;
  if (!eglChooseConfig(egl_display, attributes, configs, visual ? 64 : 1, &count))
    return eglGetError();
  if (count < 1) return EGL_BAD_MATCH;
  for (EGLint i = 0; i < count; i++) {
    EGLint id = 0;
    if (visual && (!eglGetConfigAttrib(egl_display, configs[i], EGL_NATIVE_VISUAL_ID, &id) ||
                   id != visual))
      continue;
    egl_config = configs[i];
    return EGL_SUCCESS;
  }
  return EGL_BAD_MATCH;
}

int dglInit(int width, int height, int color_bits, int depth_bits, int stencil_bits) {
  void* native_window = 0;
  void* native_display = 0;
  // The native half names its own failure.
  native = _dglChooseBackend();
  if (!native) return -1;
  if (native->create_window(width, height, &native_window, &native_display) != 0) {
    native = NULL;
    return -1;
  }
  // From here on a stop signal must not kill the process: the display has to come back.
  take_stop_signals();

  eglGetError();
  egl_display = native->get_display(native_display);
  if (egl_display == EGL_NO_DISPLAY)
    return fail_and_undo("no EGL display", egl_error_name(eglGetError()));
  EGLint major, minor;
  if (!eglInitialize(egl_display, &major, &minor))
    return fail_and_undo("eglInitialize failed", egl_error_name(eglGetError()));

  EGLint error = EGL_SUCCESS;
  if (!eglBindAPI(EGL_OPENGL_ES_API) || (error = eglGetError()) != EGL_SUCCESS)
    return fail_and_undo("eglBindAPI refused OpenGL ES",
                         egl_error_name(error == EGL_SUCCESS ? eglGetError() : error));

  EGLint attributes[32] = {
      EGL_BUFFER_SIZE,     color_bits,
      EGL_DEPTH_SIZE,      depth_bits,
      EGL_STENCIL_SIZE,    stencil_bits,
      EGL_SURFACE_TYPE,    native->surface_type,
      EGL_RENDERABLE_TYPE, EGL_OPENGL_ES2_BIT};
  int n = 10;
  if (native->extra_config_attributes) n += native->extra_config_attributes(attributes + n, 32 - n - 1);
  attributes[n] = EGL_NONE;
  if ((error = choose_config(attributes)) != EGL_SUCCESS)
    return fail_and_undo("eglChooseConfig found no configuration", egl_error_name(error));

  egl_surface = native->create_surface(egl_display, egl_config, native_window);
  error = eglGetError();
  if (error != EGL_SUCCESS || egl_surface == EGL_NO_SURFACE)
    return fail_and_undo("the EGL surface was refused", egl_error_name(error));

  const EGLint context_attributes[] = {EGL_CONTEXT_CLIENT_VERSION, 2, EGL_NONE};
  egl_context = eglCreateContext(egl_display, egl_config, EGL_NO_CONTEXT, context_attributes);
  error = eglGetError();
  if (error != EGL_SUCCESS || egl_context == EGL_NO_CONTEXT)
    return fail_and_undo("eglCreateContext refused an OpenGL ES 2.0 context",
                         egl_error_name(error));

  eglMakeCurrent(egl_display, egl_surface, egl_surface, egl_context);
  error = eglGetError();
  if (error != EGL_SUCCESS) return fail_and_undo("eglMakeCurrent failed", egl_error_name(error));

  // Where Mesa lacks the display's GPU driver it falls back to software without failing,
  // and a board shows two frames a second with no word why.
  const char* renderer = (const char*)glGetString(GL_RENDERER);
  if (native->watched && renderer &&
      (strstr(renderer, "llvmpipe") || strstr(renderer, "softpipe") || strstr(renderer, "swrast") ||
       strstr(renderer, "Software Rasterizer"))) {
    fprintf(stderr, "display: %s draws with a software renderer (%s): expect a low frame rate "
                    "(is the GPU's Mesa driver installed?)\n", native->name, renderer);
    fflush(stderr);
  }

  // A half that can have its surface scaled for it (a compositor's viewport) says so with -1.
  presenting = native->output_size_changed && native->output_size_changed(&output_width, &output_height) >= 0;
  if (presenting) {
    char why[4200];
    if (_dglPresentInit(width, height, why, sizeof why) != 0)
      return fail_and_undo("the present target could not be set up", why);
  }

  // The first frame, cleared, replaces whatever the screen showed; a half that cannot show
  // it (a display that refuses the mode) fails the start rather than run unseen.
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
  if (present_frame() != 0) return fail_and_undo(NULL, NULL);
  return 0;
}

void dglSwapBuffers() { present_frame(); }

void dglShutDown() {
  eglMakeCurrent(egl_display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  eglTerminate(egl_display);
  destroy_native_window();
  give_back_stop_signals();
  egl_display = EGL_NO_DISPLAY;
}

// A key on the terminal, a stop signal, or a key or close request in the native half's
// window.
int dglProcessMessages() {
  // Started without a terminal and without a window to type into: say once what ends it
  // (asked at the first poll only: the tools never poll, and say nothing of it).
  if (native && !told_no_terminal++ && !native->poll_window && !isatty(0)) {
    fprintf(stderr, "input: standard input is not a terminal: the show ends with its music, "
                    "or on SIGINT, SIGTERM or SIGHUP\n");
    fflush(stderr);
  }
  if (stop_requested) return 1;
  int ready = _dglPollTerminal();
  if (ready == 0 && native && native->poll_window && native->poll_window()) return 1;
  return ready;
}
