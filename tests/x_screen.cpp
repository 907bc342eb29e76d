// A helper for shell tests on an X server (DISPLAY): waits until a window shows a picture
// on the screen, or types a key through XTest.
//   x_screen --wait-picture SECONDS   0 once a mapped top-level window covers most of the
//                                     screen and its middle shows more than black
//   x_screen --key                    presses and releases the space bar
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

static double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// Lit pixels in the middle third of the screen, and whether a mapped window covers it.
static int lit_middle(Display* d) {
  Window root = DefaultRootWindow(d), parent, *children = nullptr;
  unsigned count = 0;
  XWindowAttributes screen;
  XGetWindowAttributes(d, root, &screen);
  bool covered = false;
  if (XQueryTree(d, root, &root, &parent, &children, &count)) {
    for (unsigned i = 0; i < count; i++) {
      XWindowAttributes a;
      if (XGetWindowAttributes(d, children[i], &a) && a.map_state == IsViewable &&
          a.width * 2 > screen.width && a.height * 2 > screen.height)
        covered = true;
    }
    if (children) XFree(children);
  }
  if (!covered) return 0;
  const int x0 = screen.width / 3, y0 = screen.height / 3, w = screen.width / 3, h = screen.height / 3;
  XImage* image = XGetImage(d, root, x0, y0, w, h, AllPlanes, ZPixmap);
  if (!image) return 0;
  int lit = 0;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) lit += (XGetPixel(image, x, y) & 0xFFFFFF) != 0;
  XDestroyImage(image);
  return lit;
}

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  if (what == "--help" || what == "-h" || (what != "--key" && !(what == "--wait-picture" && argc == 3))) {
    fprintf(what == "--help" || what == "-h" ? stdout : stderr,
            "usage: x_screen --wait-picture SECONDS | --key   (on the X server named by DISPLAY)\n");
    return what == "--help" || what == "-h" ? 0 : 2;
  }
  Display* d = XOpenDisplay(nullptr);
  if (!d) {
    fprintf(stderr, "x_screen: cannot open the X display\n");
    return 1;
  }
  if (what == "--key") {
    XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_space), True, 0);
    XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_space), False, 0);
    XSync(d, False);
    XCloseDisplay(d);
    return 0;
  }
  const double end = now() + atof(argv[2]);
  int lit = 0;
  while ((lit = lit_middle(d)) < 1000 && now() < end) usleep(50000);
  XCloseDisplay(d);
  if (lit < 1000) fprintf(stderr, "x_screen: no window with a picture on the screen\n");
  return lit >= 1000 ? 0 : 1;
}
