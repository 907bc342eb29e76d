// The X11 native half: a full-screen window on one monitor (or DGL_WINDOW=WxH, a resizable
// one). It reports the window's size, and the EGL half scales the 1280x720 picture into it
// on every swap. Full screen hides the pointer, works with an EWMH window manager or with none, and
// holds the screen saver off while the show runs.
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xinerama.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/scrnsaver.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "fit.h"
#include "system_native.h"

static Display* x_display;
static Window x_window;
static Cursor x_blank_cursor;
static Atom x_wm_delete;
static int x_window_width, x_window_height;
static int x_size_changed;  // since the EGL half last asked
static int x_pending_key;
static int x_saver_suspended;
static int x_ask_fullscreen;
static double x_saver_reset_at;

// DGL_WINDOW=WxH asks for a resizable window of that size instead of the full screen.
static int window_size_request(int* w, int* h) {
  const char* s = getenv("DGL_WINDOW");
  if (!s || sscanf(s, "%dx%d", w, h) != 2 || *w <= 0 || *h <= 0) return 0;
  return 1;
}

// DGL_MONITOR names a monitor (its RandR name) or gives its place in the list (0 is the
// first); an empty or absent one means the default.
static int monitor_wanted(const char* want, const char* name, int index) {
  if (name && !strcmp(want, name)) return 1;
  char* end;
  long n = strtol(want, &end, 10);
  return end != want && *end == 0 && n == index;
}

// The rectangle full screen covers: the primary RandR 1.5 monitor, else the first one;
// Xinerama heads where RandR lists none; the whole screen without either. -1 when
// DGL_MONITOR asks for one that is not there.
static int choose_monitor(Display* d, int screen, DGL_RECT* out) {
  const char* want = getenv("DGL_MONITOR");
  if (want && !*want) want = NULL;
  *out = {0, 0, DisplayWidth(d, screen), DisplayHeight(d, screen)};
  int event, error, major = 0, minor = 0, count = 0, found = -1;
  char names[256] = "";
  if (XRRQueryExtension(d, &event, &error) && XRRQueryVersion(d, &major, &minor) &&
      (major > 1 || (major == 1 && minor >= 5))) {
    XRRMonitorInfo* m = XRRGetMonitors(d, RootWindow(d, screen), True, &count);
    for (int i = 0; m && i < count; i++) {
      char* name = XGetAtomName(d, m[i].name);
      if (want ? found < 0 && monitor_wanted(want, name, i) : found < 0 || m[i].primary) found = i;
      snprintf(names + strlen(names), sizeof(names) - strlen(names), "%s%s", i ? ", " : "",
               name ? name : "?");
      if (name) XFree(name);
    }
    if (found >= 0) *out = {m[found].x, m[found].y, m[found].width, m[found].height};
    if (m) XRRFreeMonitors(m);
  }
  if (count <= 0 && XineramaQueryExtension(d, &event, &error) && XineramaIsActive(d)) {
    XineramaScreenInfo* heads = XineramaQueryScreens(d, &count);
    for (int i = 0; heads && i < count; i++) {
      if (found < 0 && (!want || monitor_wanted(want, NULL, i))) found = i;
      snprintf(names + strlen(names), sizeof(names) - strlen(names), "%s%d", i ? ", " : "", i);
    }
    if (found >= 0) *out = {heads[found].x_org, heads[found].y_org, heads[found].width, heads[found].height};
    if (heads) XFree(heads);
  }
  if (want && found < 0) {
    fprintf(stderr, "dglInit: DGL_MONITOR=%s: no such monitor (this X server has: %s)\n", want,
            count > 0 ? names : "no monitor list");
    return -1;
  }
  return 0;
}

static int ignore_x_error(Display*, XErrorEvent*) { return 0; }

// An EWMH window manager leaves on the root a window that names itself in the same
// property; a stale root property (the manager has gone) names a window that is not there.
static int ewmh_window_manager(Display* d, Window root) {
  Atom check = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False);
  Window found[2] = {0, 0}, on = root;
  int (*previous)(Display*, XErrorEvent*) = XSetErrorHandler(ignore_x_error);
  for (int i = 0; i < 2 && on; i++) {
    Atom type;
    int format;
    unsigned long items, after;
    unsigned char* data = NULL;
    if (XGetWindowProperty(d, on, check, 0, 1, False, XA_WINDOW, &type, &format, &items, &after,
                           &data) == Success && data && items == 1 && format == 32)
      found[i] = *(Window*)data;
    if (data) XFree(data);
    on = found[i];
  }
  XSync(d, False);
  XSetErrorHandler(previous);
  return found[0] && found[0] == found[1];
}

// The screen saver extension's suspend holds off both the saver and display power saving
// until released or until the connection ends; without it the saver's timer is reset.
static void hold_screen_saver(Display* d) {
  int event, error, major = 0, minor = 0;
  x_saver_suspended = XScreenSaverQueryExtension(d, &event, &error) &&
                      XScreenSaverQueryVersion(d, &major, &minor) &&
                      (major > 1 || (major == 1 && minor >= 1));
  if (x_saver_suspended) XScreenSaverSuspend(d, True);
  x_saver_reset_at = 0;
}

static int x11_create_window(int width, int height, void** native_window, void** native_display) {
  (void)width;
  (void)height;
  x_pending_key = 0;
  x_display = XOpenDisplay(NULL);
  if (!x_display) {
    const char* name = getenv("DISPLAY");
    if (name && *name)
      fprintf(stderr, "dglInit: cannot open X display \"%s\"\n", name);
    else
      fprintf(stderr, "dglInit: cannot open X display (DISPLAY is not set)\n");
    return -1;
  }
  int screen = DefaultScreen(x_display);
  Window root = RootWindow(x_display, screen);
  DGL_RECT place;
  int full = !window_size_request(&place.width, &place.height);
  if (full && choose_monitor(x_display, screen, &place) != 0) {
    XCloseDisplay(x_display);
    x_display = NULL;
    return -1;
  }
  if (!full) place.x = place.y = 0;
  x_window_width = place.width;
  x_window_height = place.height;
  x_size_changed = 1;
  int managed = ewmh_window_manager(x_display, root);

  XSetWindowAttributes attributes = {};
  unsigned long mask = CWBackPixel | CWEventMask;
  attributes.background_pixel = BlackPixel(x_display, screen);
  attributes.event_mask = KeyPressMask | StructureNotifyMask | ExposureMask;
  if (full) {
    // A cursor whose mask is empty shows nothing.
    static const char empty[1] = {0};
    Pixmap bits = XCreateBitmapFromData(x_display, root, empty, 1, 1);
    XColor black = {};
    x_blank_cursor = XCreatePixmapCursor(x_display, bits, bits, &black, &black, 0, 0);
    XFreePixmap(x_display, bits);
    attributes.cursor = x_blank_cursor;
    mask |= CWCursor;
    // No window manager to honour the full-screen state: the window places itself over
    // the monitor and takes the keyboard focus once mapped.
    attributes.override_redirect = !managed;
    mask |= CWOverrideRedirect;
  }
  x_window = XCreateWindow(x_display, root, place.x, place.y, (unsigned)place.width,
                           (unsigned)place.height, 0, CopyFromParent, InputOutput,
                           CopyFromParent, mask, &attributes);
  XStoreName(x_display, x_window, "quorvelt");
  x_wm_delete = XInternAtom(x_display, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(x_display, x_window, &x_wm_delete, 1);
  if (full && managed) {
    // The manager puts a full-screen window on the monitor it stands on.
    XSizeHints hints = {};
    hints.flags = USPosition | USSize;
    hints.x = place.x;
    hints.y = place.y;
    hints.width = place.width;
    hints.height = place.height;
    XSetWMNormalHints(x_display, x_window, &hints);
    Atom state = XInternAtom(x_display, "_NET_WM_STATE", False);
    Atom fullscreen = XInternAtom(x_display, "_NET_WM_STATE_FULLSCREEN", False);
    XChangeProperty(x_display, x_window, state, XA_ATOM, 32, PropModeReplace,
                    (unsigned char*)&fullscreen, 1);
  }
  x_ask_fullscreen = full && managed;
  XMapRaised(x_display, x_window);
  if (full && !managed) XSetInputFocus(x_display, x_window, RevertToParent, CurrentTime);
  hold_screen_saver(x_display);
  XFlush(x_display);
  *native_window = (void*)x_window;
  *native_display = x_display;
  return 0;
}

static void x11_destroy_window() {
  if (!x_display) return;
  if (x_saver_suspended) XScreenSaverSuspend(x_display, False);
  XDestroyWindow(x_display, x_window);
  if (x_blank_cursor) XFreeCursor(x_display, x_blank_cursor);
  x_blank_cursor = 0;
  XCloseDisplay(x_display);
  x_display = NULL;
}

static EGLDisplay x11_get_display(void* native_display) {
  return eglGetPlatformDisplay(EGL_PLATFORM_X11_KHR, native_display, NULL);
}

static EGLSurface x11_create_surface(EGLDisplay display, EGLConfig config, void* native_window) {
  return eglCreateWindowSurface(display, config, (EGLNativeWindowType)native_window, NULL);
}

static int x11_output_size_changed(int* width, int* height) {
  if (!x_size_changed) return 0;
  x_size_changed = 0;
  *width = x_window_width;
  *height = x_window_height;
  return 1;
}

static int x11_poll_window() {
  if (!x_display) return 0;
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  double now = t.tv_sec + t.tv_nsec / 1e9;
  if (!x_saver_suspended && (x_saver_reset_at == 0 || now - x_saver_reset_at >= 5)) {
    XResetScreenSaver(x_display);
    x_saver_reset_at = now;
  }
  while (XPending(x_display)) {
    XEvent event;
    XNextEvent(x_display, &event);
    if (event.type == KeyPress) x_pending_key = 1;
    if (event.type == ClientMessage && (Atom)event.xclient.data.l[0] == x_wm_delete)
      x_pending_key = 1;
    if (event.type == MapNotify && x_ask_fullscreen) {
      // Some managers read the state only before the first map; the others take a request.
      XEvent ask = {};
      ask.xclient.type = ClientMessage;
      ask.xclient.window = x_window;
      ask.xclient.message_type = XInternAtom(x_display, "_NET_WM_STATE", False);
      ask.xclient.format = 32;
      ask.xclient.data.l[0] = 1;  // add
      ask.xclient.data.l[1] = (long)XInternAtom(x_display, "_NET_WM_STATE_FULLSCREEN", False);
      ask.xclient.data.l[3] = 1;  // from an application
      XSendEvent(x_display, DefaultRootWindow(x_display), False,
                 SubstructureRedirectMask | SubstructureNotifyMask, &ask);
      x_ask_fullscreen = 0;
    }
    if (event.type == ConfigureNotify &&
        (event.xconfigure.width != x_window_width || event.xconfigure.height != x_window_height)) {
      x_window_width = event.xconfigure.width;
      x_window_height = event.xconfigure.height;
      x_size_changed = 1;
    }
  }
  // Like a byte on the terminal, a key stays pending once pressed.
  return x_pending_key;
}

extern const DGL_NATIVE_BACKEND dgl_backend_x11 = {
    .name = "x11",
    .create_window = x11_create_window,
    .destroy_window = x11_destroy_window,
    .get_display = x11_get_display,
    .surface_type = EGL_WINDOW_BIT,
    .extra_config_attributes = NULL,
    .native_visual = NULL,
    .create_surface = x11_create_surface,
    .output_size_changed = x11_output_size_changed,
    .after_swap = NULL,
    .watched = 1,
    .poll_window = x11_poll_window,
};
