// The choice of native half on Linux without VideoCore: DGL_PLATFORM if set, else x11
// when DISPLAY is set, else kms on a console that has a display to take, else headless.
// Everything else is forwarded to the chosen backend.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "system_linux.h"
#include "system_native.h"

static const DGL_NATIVE_BACKEND* backend;

static const DGL_NATIVE_BACKEND* choose_backend() {
  const char* name = getenv("DGL_PLATFORM");
  if (name && *name) {
    if (!strcmp(name, "x11")) return &dgl_backend_x11;
    if (!strcmp(name, "headless")) return &dgl_backend_headless;
#if DGL_HAVE_KMS
    if (!strcmp(name, "kms")) return &dgl_backend_kms;
#else
    if (!strcmp(name, "kms")) {
      fprintf(stderr, "DGL_PLATFORM=kms: this build has no KMS backend (libdrm and gbm missing)\n");
      return NULL;
    }
#endif
    fprintf(stderr, "DGL_PLATFORM=%s: unknown backend (x11, kms or headless)\n", name);
    return NULL;
  }
  const char* display = getenv("DISPLAY");
  if (display && *display) return &dgl_backend_x11;
  const char* wayland = getenv("WAYLAND_DISPLAY");
  if (wayland && *wayland) {
    fprintf(stderr, "display: Wayland without XWayland (DISPLAY unset): drawing offscreen (headless)\n");
    return &dgl_backend_headless;
  }
#if DGL_HAVE_KMS
  char why[256];
  if (dgl_kms_probe(why, sizeof why)) return &dgl_backend_kms;
  fprintf(stderr, "display: no X display and no KMS console (%s): drawing offscreen (headless)\n", why);
#else
  fprintf(stderr, "display: no X display, and this build has no KMS backend: drawing offscreen (headless)\n");
#endif
  return &dgl_backend_headless;
}

int _dglCreateNativeWindow(int width, int height, void** native_window, void** native_display) {
  backend = choose_backend();
  if (!backend) return -1;
  if (backend->create_window(width, height, native_window, native_display) != 0) {
    backend = NULL;
    return -1;
  }
  return 0;
}

void _dglDestroyNativeWindow() {
  if (backend) backend->destroy_window();
  backend = NULL;
}

EGLDisplay _dglGetDisplay(void* native_display) {
  return backend ? backend->get_display(native_display) : EGL_NO_DISPLAY;
}

EGLint _dglSurfaceType() { return backend ? backend->surface_type : EGL_WINDOW_BIT; }

int _dglExtraConfigAttributes(EGLint* attributes, int room) {
  return backend && backend->extra_config_attributes
             ? backend->extra_config_attributes(attributes, room)
             : 0;
}

EGLint _dglNativeVisual() { return backend && backend->native_visual ? backend->native_visual() : 0; }

EGLSurface _dglCreateSurface(EGLDisplay display, EGLConfig config, void* native_window) {
  return backend ? backend->create_surface(display, config, native_window) : EGL_NO_SURFACE;
}

int _dglNativeContextReady() {
  return backend && backend->context_ready ? backend->context_ready() : 0;
}

void _dglNativePresent() {
  if (backend && backend->present) backend->present();
}

void _dglNativeAfterSwap() {
  if (backend && backend->after_swap) backend->after_swap();
}

int _dglPollWindow() { return backend && backend->poll_window ? backend->poll_window() : 0; }
