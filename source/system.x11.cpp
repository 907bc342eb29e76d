// The X11 native half: a full-screen window (or DGL_WINDOW=WxH, a resizable one). The
// scenes draw into present.cpp's 1280x720 target, scaled into the window on every swap.
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <stdlib.h>

#include "present.h"
#include "system_linux.h"

static int surface_width, surface_height;
static Display* x_display;
static Window x_window;
static Atom x_wm_delete;
static int x_window_width, x_window_height;
static int x_pending_key;

// DGL_WINDOW=WxH asks for a resizable window of that size instead of the full screen.
static int window_size_request(int* w, int* h) {
  const char* s = getenv("DGL_WINDOW");
  if (!s || sscanf(s, "%dx%d", w, h) != 2 || *w <= 0 || *h <= 0) return 0;
  return 1;
}

static int x11_create_window(int width, int height, void** native_window, void** native_display) {
  surface_width = width;
  surface_height = height;
  x_pending_key = 0;
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
  *native_window = (void*)x_window;
  *native_display = x_display;
  return 0;
}

static void x11_destroy_window() {
  if (!x_display) return;
  XDestroyWindow(x_display, x_window);
  XCloseDisplay(x_display);
  x_display = NULL;
}

static EGLDisplay x11_get_display(void* native_display) {
  return eglGetPlatformDisplay(EGL_PLATFORM_X11_KHR, native_display, NULL);
}

static EGLSurface x11_create_surface(EGLDisplay display, EGLConfig config, void* native_window) {
  return eglCreateWindowSurface(display, config, (EGLNativeWindowType)native_window, NULL);
}

static int x11_context_ready() { return dglPresentInit(surface_width, surface_height); }
static void x11_present() { dglPresentDraw(x_window_width, x_window_height); }
static void x11_after_swap() { dglPresentBindTarget(); }

static int x11_poll_window() {
  if (!x_display) return 0;
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

const DGL_NATIVE_BACKEND dgl_backend_x11 = {
    "x11",
    x11_create_window,
    x11_destroy_window,
    x11_get_display,
    EGL_WINDOW_BIT,
    NULL,
    NULL,
    x11_create_surface,
    x11_context_ready,
    x11_present,
    x11_after_swap,
    x11_poll_window,
};
