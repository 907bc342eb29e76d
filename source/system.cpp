// The EGL half of the display: the same sequence on every platform; the native half
// (system.rpi.cpp, or one of the Linux backends) supplies the display connection and the surface.
#include <EGL/egl.h>
#include <GLES2/gl2.h>

#include "system.h"
#include "system_native.h"

static EGLDisplay egl_display = EGL_NO_DISPLAY;
static EGLConfig egl_config = 0;
static EGLContext egl_context = EGL_NO_CONTEXT;
static EGLSurface egl_surface = EGL_NO_SURFACE;

static int fail_and_undo() {
  eglMakeCurrent(egl_display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  eglTerminate(egl_display);
  _dglDestroyNativeWindow();
  egl_display = EGL_NO_DISPLAY;
  return -1;
}

// The first configuration that matches, or the first with the backend's native visual.
static int choose_config(const EGLint* attributes) {
  EGLConfig configs[64];
  EGLint count = 0;
  EGLint visual = _dglNativeVisual();
  if (!eglChooseConfig(egl_display, attributes, configs, visual ? 64 : 1, &count) || count < 1)
    return -1;
  for (EGLint i = 0; i < count; i++) {
    EGLint id = 0;
    if (visual && (!eglGetConfigAttrib(egl_display, configs[i], EGL_NATIVE_VISUAL_ID, &id) ||
                   id != visual))
      continue;
    egl_config = configs[i];
    return 0;
  }
  return -1;
}

int dglInit(int width, int height, int color_bits, int depth_bits, int stencil_bits) {
  void* native_window = 0;
  void* native_display = 0;
  if (_dglCreateNativeWindow(width, height, &native_window, &native_display) != 0) return -1;

  eglGetError();
  egl_display = _dglGetDisplay(native_display);
  EGLint major, minor;
  if (!eglInitialize(egl_display, &major, &minor)) return fail_and_undo();

  eglBindAPI(EGL_OPENGL_ES_API);
  if (eglGetError() != EGL_SUCCESS) return fail_and_undo();

  EGLint attributes[16] = {
      EGL_BUFFER_SIZE,     color_bits,
      EGL_DEPTH_SIZE,      depth_bits,
      EGL_STENCIL_SIZE,    stencil_bits,
      EGL_SURFACE_TYPE,    _dglSurfaceType(),
      EGL_RENDERABLE_TYPE, EGL_OPENGL_ES2_BIT};
  int n = 10;
  n += _dglExtraConfigAttributes(attributes + n, 16 - n - 1);
  attributes[n] = EGL_NONE;
  if (choose_config(attributes) != 0) return fail_and_undo();

  egl_surface = _dglCreateSurface(egl_display, egl_config, native_window);
  if (eglGetError() != EGL_SUCCESS || egl_surface == EGL_NO_SURFACE) return fail_and_undo();

  const EGLint context_attributes[] = {EGL_CONTEXT_CLIENT_VERSION, 2, EGL_NONE};
  egl_context = eglCreateContext(egl_display, egl_config, EGL_NO_CONTEXT, context_attributes);
  if (eglGetError() != EGL_SUCCESS || egl_context == EGL_NO_CONTEXT) return fail_and_undo();

  eglMakeCurrent(egl_display, egl_surface, egl_surface, egl_context);
  if (eglGetError() != EGL_SUCCESS) return fail_and_undo();

  if (_dglNativeContextReady() != 0) return fail_and_undo();

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
