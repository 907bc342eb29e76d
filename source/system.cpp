// The EGL half of the display: the same sequence on every platform; the native half
// (system.rpi.cpp, or one of the Linux backends) supplies the display connection and the surface.
#include <EGL/egl.h>
#include <GLES2/gl2.h>
#include <stdio.h>

#include "system.h"
#include "system_native.h"

static EGLDisplay egl_display = EGL_NO_DISPLAY;
static EGLConfig egl_config = 0;
static EGLContext egl_context = EGL_NO_CONTEXT;
static EGLSurface egl_surface = EGL_NO_SURFACE;

static const char* egl_error_name(EGLint error) {
  static const char* const names[] = {
      "EGL_SUCCESS",         "EGL_NOT_INITIALIZED",  "EGL_BAD_ACCESS",       "EGL_BAD_ALLOC",
      "EGL_BAD_ATTRIBUTE",   "EGL_BAD_CONFIG",       "EGL_BAD_CONTEXT",      "EGL_BAD_CURRENT_SURFACE",
      "EGL_BAD_DISPLAY",     "EGL_BAD_MATCH",        "EGL_BAD_NATIVE_PIXMAP", "EGL_BAD_NATIVE_WINDOW",
      "EGL_BAD_PARAMETER",   "EGL_BAD_SURFACE",      "EGL_CONTEXT_LOST"};
  if (error >= EGL_SUCCESS && error <= EGL_CONTEXT_LOST) return names[error - EGL_SUCCESS];
  return "unknown EGL error";
}

// Start-up failures go to standard error, one line naming the step: standard output is
// the program's log and keeps only what the log is for. `error` names the step's error.
static int fail_and_undo(const char* step, const char* error) {
  fprintf(stderr, "dglInit: %s (%s)\n", step, error);
  fflush(stderr);
  eglMakeCurrent(egl_display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  eglTerminate(egl_display);
  _dglDestroyNativeWindow();
  egl_display = EGL_NO_DISPLAY;
  return -1;
}

// The first configuration that matches, or the first with the backend's native visual.
// EGL_SUCCESS, or why none was chosen: a request that matches nothing is no EGL error,
// so it reads as EGL_BAD_MATCH.
static EGLint choose_config(const EGLint* attributes) {
  EGLConfig configs[64];
  EGLint count = 0;
  EGLint visual = _dglNativeVisual();
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
  if (_dglCreateNativeWindow(width, height, &native_window, &native_display) != 0) return -1;

  eglGetError();
  egl_display = _dglGetDisplay(native_display);
  if (egl_display == EGL_NO_DISPLAY)
    return fail_and_undo("no EGL display", egl_error_name(eglGetError()));
  EGLint major, minor;
  if (!eglInitialize(egl_display, &major, &minor))
    return fail_and_undo("eglInitialize failed", egl_error_name(eglGetError()));

  EGLint error = EGL_SUCCESS;
  if (!eglBindAPI(EGL_OPENGL_ES_API) || (error = eglGetError()) != EGL_SUCCESS)
    return fail_and_undo("eglBindAPI refused OpenGL ES",
                         egl_error_name(error == EGL_SUCCESS ? eglGetError() : error));

  EGLint attributes[16] = {
      EGL_BUFFER_SIZE,     color_bits,
      EGL_DEPTH_SIZE,      depth_bits,
      EGL_STENCIL_SIZE,    stencil_bits,
      EGL_SURFACE_TYPE,    _dglSurfaceType(),
      EGL_RENDERABLE_TYPE, EGL_OPENGL_ES2_BIT};
  int n = 10;
  n += _dglExtraConfigAttributes(attributes + n, 16 - n - 1);
  attributes[n] = EGL_NONE;
  if ((error = choose_config(attributes)) != EGL_SUCCESS)
    return fail_and_undo("eglChooseConfig found no configuration", egl_error_name(error));

  egl_surface = _dglCreateSurface(egl_display, egl_config, native_window);
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

  if (_dglNativeContextReady() != 0) {
    // A GL step, so the GL error says more than EGL's.
    char error_text[32];
    snprintf(error_text, sizeof(error_text), "GL error 0x%04x", glGetError());
    return fail_and_undo("the backend could not set up its present target", error_text);
  }

  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
  dglSwapBuffers();
  return 0;
}

void dglSwapBuffers() {
  _dglNativePresent();
  eglSwapBuffers(egl_display, egl_surface);
  _dglNativeAfterSwap();
}

void dglShutDown() {
  eglMakeCurrent(egl_display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  eglTerminate(egl_display);
  _dglDestroyNativeWindow();
  egl_display = EGL_NO_DISPLAY;
}

// A key on the terminal, or a key or close request in the backend's window.
int dglProcessMessages() {
  int ready = _dglPollTerminal();
  if (ready == 0 && _dglPollWindow()) return 1;
  return ready;
}
