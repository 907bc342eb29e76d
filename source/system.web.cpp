// The browser half, chosen by the build (emscripten): EGL on the page's canvas, which keeps
// the picture's 1280x720 and which the page scales into the window with black bars, so no
// present pass is needed. The frame loop stays as written: each swap waits, through
// ASYNCIFY, for the browser's next animation frame, so the show runs at the display's
// refresh and the page stays responsive. Any key on the page after the start is a key.
// The page (web/index.html) holds the start screen, the sound and the ending.
#include <EGL/egl.h>
#include <emscripten.h>
#include <stddef.h>

#include "file_io.h"
#include "system_native.h"

// Resolves once the person has clicked or pressed a key on the start screen (browsers
// start sound only then), or at once where the page starts by itself (the test mode).
EM_ASYNC_JS(int, web_wait_for_start, (), {
  await Module.dglStarted;
  return 1;
});

// The next animation frame; in the page's fixed-step mode, its own step.
EM_ASYNC_JS(void, web_next_frame, (), {
  await Module.dglNextFrame();
});

EM_JS(int, web_key_pending, (), { return Module.dglKeyPending ? 1 : 0; });

EM_JS(void, web_frame_starts, (), {
  if (Module.dglFrameStarts) Module.dglFrameStarts();
});

static int web_create_window(int width, int height, void** native_window, void** native_display) {
  (void)width;
  (void)height;
  // The data files are preloaded into /data.
  _dglSetExecutableDirectory("");
  web_wait_for_start();
  *native_window = 0;
  *native_display = NULL;  // EGL_DEFAULT_DISPLAY
  return 0;
}

static void web_destroy_window() {}

static EGLDisplay web_get_display(void* native_display) {
  (void)native_display;
  return eglGetDisplay(EGL_DEFAULT_DISPLAY);
}

static EGLSurface web_create_surface(EGLDisplay display, EGLConfig config, void*) {
  return eglCreateWindowSurface(display, config, 0, NULL);
}

static int web_after_swap() {
  web_next_frame();
  return 0;
}

// Called once a frame, first thing: the page's fixed-step clock moves here.
static int web_poll_window() {
  web_frame_starts();
  return web_key_pending();
}

static const DGL_NATIVE_BACKEND dgl_backend_web = {
    .name = "web",
    .create_window = web_create_window,
    .destroy_window = web_destroy_window,
    .get_display = web_get_display,
    .surface_type = EGL_WINDOW_BIT,
    .extra_config_attributes = NULL,
    .native_visual = NULL,
    .create_surface = web_create_surface,
    .output_size_changed = NULL,
    .after_swap = web_after_swap,
    .watched = 0,
    .poll_window = web_poll_window,
};

const DGL_NATIVE_BACKEND* _dglChooseBackend() { return &dgl_backend_web; }

// A page has no terminal; its keys come through the window's poll.
int _dglPollTerminal() { return 0; }
