// Native halves for Linux without VideoCore: an X11 window, or an offscreen pbuffer
// (headless). The backend is chosen at start by DGL_PLATFORM, else by what the machine has.
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES2/gl2.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "present.h"
#include "system_native.h"

enum DGL_BACKEND { DGL_BACKEND_NONE, DGL_BACKEND_HEADLESS, DGL_BACKEND_X11, DGL_BACKEND_KMS };

static DGL_BACKEND backend = DGL_BACKEND_NONE;
static int surface_width, surface_height;

static Display* x_display;
static Window x_window;
static Atom x_wm_delete;
static int x_window_width, x_window_height;
static int x_pending_key;

static DGL_BACKEND choose_backend() {
  const char* name = getenv("DGL_PLATFORM");
  if (name && *name) {
    if (!strcmp(name, "x11")) return DGL_BACKEND_X11;
    if (!strcmp(name, "headless")) return DGL_BACKEND_HEADLESS;
    if (!strcmp(name, "kms")) {
      fprintf(stderr, "DGL_PLATFORM=kms: the KMS console backend is not built in yet\n");
      return DGL_BACKEND_NONE;
    }
    fprintf(stderr, "DGL_PLATFORM=%s: unknown backend (x11, kms or headless)\n", name);
    return DGL_BACKEND_NONE;
  }
  const char* display = getenv("DISPLAY");
  if (display && *display) return DGL_BACKEND_X11;
  return DGL_BACKEND_HEADLESS;
}

// DGL_WINDOW=WxH asks for a resizable window of that size instead of the full screen.
static int window_size_request(int* w, int* h) {
  const char* s = getenv("DGL_WINDOW");
  if (!s || sscanf(s, "%dx%d", w, h) != 2 || *w <= 0 || *h <= 0) return 0;
  return 1;
}

static int create_x11_window(int width, int height) {
  x_display = XOpenDisplay(NULL);
  if (!x_display) return -1;
  int screen = DefaultScreen(x_display);
  int full = 1;
  x_window_width = DisplayWidth(x_display, screen);
  x_window_height = DisplayHeight(x_display, screen);
  int w, h;
  if (window_size_request(&w, &h)) {
    full = 0;
    x_window_width = w;
    x_window_height = h;
  }
  XSetWindowAttributes attributes = {};
  attributes.background_pixel = BlackPixel(x_display, screen);
  attributes.event_mask = KeyPressMask | StructureNotifyMask | ExposureMask;
  x_window = XCreateWindow(x_display, RootWindow(x_display, screen), 0, 0, x_window_width,
                           x_window_height, 0, CopyFromParent, InputOutput, CopyFromParent,
                           CWBackPixel | CWEventMask, &attributes);
  XStoreName(x_display, x_window, "quorvelt");
  x_wm_delete = XInternAtom(x_display, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(x_display, x_window, &x_wm_delete, 1);
  if (full) {
    Atom state = XInternAtom(x_display, "_NET_WM_STATE", False);
    Atom fullscreen = XInternAtom(x_display, "_NET_WM_STATE_FULLSCREEN", False);
    XChangeProperty(x_display, x_window, state, XA_ATOM, 32, PropModeReplace,
                    (unsigned char*)&fullscreen, 1);
  }
  XMapWindow(x_display, x_window);
  XFlush(x_display);
  (void)width;
  (void)height;
  return 0;
}

int _dglCreateNativeWindow(int width, int height, void** native_window, void** native_display) {
  surface_width = width;
  surface_height = height;
  x_pending_key = 0;
  backend = choose_backend();
  switch (backend) {
    case DGL_BACKEND_HEADLESS:
      *native_window = 0;
      *native_display = 0;
      return 0;
    case DGL_BACKEND_X11:
      if (create_x11_window(width, height) != 0) return -1;
      *native_window = (void*)x_window;
      *native_display = x_display;
      return 0;
    default:
      return -1;
  }
}

void _dglDestroyNativeWindow() {
  if (backend == DGL_BACKEND_X11 && x_display) {
    XDestroyWindow(x_display, x_window);
    XCloseDisplay(x_display);
    x_display = NULL;
  }
  backend = DGL_BACKEND_NONE;
}

EGLDisplay _dglGetDisplay(void* native_display) {
  if (backend == DGL_BACKEND_HEADLESS)
    return eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, NULL);
  return eglGetPlatformDisplay(EGL_PLATFORM_X11_KHR, native_display, NULL);
}

EGLint _dglSurfaceType() {
  return backend == DGL_BACKEND_HEADLESS ? EGL_PBUFFER_BIT : EGL_WINDOW_BIT;
}

// Mesa lists 10-bit configurations first; the offscreen target asks for 8 bits of
// alpha, which picks RGBA8888 like the Pi's, so captures and tests see its precision.
int _dglExtraConfigAttributes(EGLint* attributes, int room) {
  if (backend != DGL_BACKEND_HEADLESS || room < 2) return 0;
  attributes[0] = EGL_ALPHA_SIZE;
  attributes[1] = 8;
  return 2;
}

EGLSurface _dglCreateSurface(EGLDisplay display, EGLConfig config, void* native_window) {
  if (backend == DGL_BACKEND_HEADLESS) {
    const EGLint attributes[] = {EGL_WIDTH, surface_width, EGL_HEIGHT, surface_height, EGL_NONE};
    return eglCreatePbufferSurface(display, config, attributes);
  }
  return eglCreateWindowSurface(display, config, (EGLNativeWindowType)native_window, NULL);
}

int _dglNativeContextReady() {
  if (backend == DGL_BACKEND_X11) return dglPresentInit(surface_width, surface_height);
  return 0;
}

void _dglNativePresent() {
  if (backend == DGL_BACKEND_X11) dglPresentDraw(x_window_width, x_window_height);
}

void _dglNativeAfterSwap() {
  if (backend == DGL_BACKEND_X11) dglPresentBindTarget();
  // A pbuffer swap does not wait for anything: without this the frame loop runs
  // seconds ahead of the rasteriser, and a key or the music's end is seen that late.
  if (backend == DGL_BACKEND_HEADLESS) glFinish();
}

int _dglPollWindow() {
  if (backend != DGL_BACKEND_X11 || !x_display) return 0;
  while (XPending(x_display)) {
    XEvent event;
    XNextEvent(x_display, &event);
    if (event.type == KeyPress) x_pending_key = 1;
    if (event.type == ClientMessage && (Atom)event.xclient.data.l[0] == x_wm_delete)
      x_pending_key = 1;
    if (event.type == ConfigureNotify) {
      x_window_width = event.xconfigure.width;
      x_window_height = event.xconfigure.height;
    }
  }
  // Like a byte on the terminal, a key stays pending once pressed.
  return x_pending_key;
}
