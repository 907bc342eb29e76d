// The offscreen native half: EGL on Mesa's surfaceless platform with a pbuffer of the
// requested size. Nothing is shown; the tests and the tools draw through it.
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES2/gl2.h>
#include <stddef.h>

#include "system_native.h"

static int surface_width, surface_height;

static int headless_create_window(int width, int height, void** native_window,
                                  void** native_display) {
  surface_width = width;
  surface_height = height;
  *native_window = 0;
  *native_display = 0;
  return 0;
}

static void headless_destroy_window() {}

static EGLDisplay headless_get_display(void*) {
  return eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, NULL);
}

// Mesa lists 10-bit configurations first; the offscreen target asks for 8 bits of
// alpha, which picks RGBA8888 like the Pi's, so captures and tests see its precision.
static int headless_extra_config_attributes(EGLint* attributes, int room) {
  if (room < 2) return 0;
  attributes[0] = EGL_ALPHA_SIZE;
  attributes[1] = 8;
  return 2;
}

static EGLSurface headless_create_surface(EGLDisplay display, EGLConfig config, void*) {
  const EGLint attributes[] = {EGL_WIDTH, surface_width, EGL_HEIGHT, surface_height, EGL_NONE};
  return eglCreatePbufferSurface(display, config, attributes);
}

// A pbuffer swap does not wait for anything: without this the frame loop runs
// seconds ahead of the rasteriser, and a key or the music's end is seen that late.
static int headless_after_swap() {
  glFinish();
  return 0;
}

// The pbuffer is the picture: nothing to scale.
extern const DGL_NATIVE_BACKEND dgl_backend_headless = {
    .name = "headless",
    .create_window = headless_create_window,
    .destroy_window = headless_destroy_window,
    .get_display = headless_get_display,
    .surface_type = EGL_PBUFFER_BIT,
    .extra_config_attributes = headless_extra_config_attributes,
    .native_visual = NULL,
    .create_surface = headless_create_surface,
    .output_size_changed = NULL,
    .after_swap = headless_after_swap,
    .watched = 0,
    .poll_window = NULL,
};
