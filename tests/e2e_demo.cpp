// The built programs as a user runs them: with an X server it cannot use, and on X
// servers of one screen or of two monitors.
#include "fixtures.h"

#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/scrnsaver.h>
#include <X11/keysym.h>

TEST(Demo, AnXServerItCannotUseExits255WithALineNamingWhy) {
  Xvfb x;
  ASSERT_TRUE(x.Start(640, 480)) << "Xvfb did not start";
  struct {
    std::vector<std::string> env;
    std::string says;
  } cases[] = {
      {{"DISPLAY=:9876"}, "dglInit: cannot open X display \":9876\""},
      {{"DISPLAY=" + x.display, "DGL_MONITOR=HDMI-9"},
       "dglInit: DGL_MONITOR=HDMI-9: no such monitor (this X server has: screen)"},
  };
  for (auto& c : cases) {
    Child demo;
    c.env.push_back("DGL_PLATFORM=x11");
    ASSERT_TRUE(demo.StartOnTerminal({kBin + "/demo"}, c.env));
    EXPECT_EQ(demo.Wait(), 255) << demo.output;
    EXPECT_NE(demo.output.find(c.says), std::string::npos) << demo.output;
  }
}

struct Rect {
  int x, y, width, height;
  bool Has(int px, int py) const { return px >= x && px < x + width && py >= y && py < y + height; }
};

// Where the show must appear: the monitor it covers (a window's own rectangle for
// DGL_WINDOW) and the letterbox of 1280x720 within it; the rest of the screen stays as it was.
static const struct {
  const char* what;
  int width, height;  // the screen, or each of two monitors side by side
  int monitors;
  bool randr;  // two monitors: RandR, listing only the left one, or Xinerama heads alone
  bool manager;  // an EWMH window manager runs
  std::vector<std::string> env;
  Rect monitor, picture;
  bool full;
} kCases[] = {
    {"FourByThreeScreen", 1024, 768, 1, true, false, {}, {0, 0, 1024, 768}, {0, 96, 1024, 576}, true},
    {"UltraWideScreen", 2560, 1080, 1, true, false, {}, {0, 0, 2560, 1080}, {320, 0, 1920, 1080}, true},
    {"Window", 1024, 768, 1, true, false, {"DGL_WINDOW=800x600"}, {0, 0, 800, 600}, {0, 75, 800, 450}, false},
    {"RandRMonitor", 1600, 1200, 2, true, false, {}, {0, 0, 1600, 1200}, {0, 150, 1600, 900}, true},
    {"WindowManager", 1600, 1200, 2, true, true, {}, {0, 0, 1600, 1200}, {0, 150, 1600, 900}, true},
    {"SecondXineramaHeadByNumber", 1600, 1200, 2, false, false, {"DGL_MONITOR=1"}, {1600, 0, 1600, 1200},
     {1600, 150, 1600, 900}, true},
};

// How many items a property of the root window holds (0 when it is not there).
static unsigned long RootItems(Display* d, const char* property) {
  Atom type;
  int format;
  unsigned long items = 0, after;
  unsigned char* data = nullptr;
  XGetWindowProperty(d, DefaultRootWindow(d), XInternAtom(d, property, False), 0, 16, False,
                     AnyPropertyType, &type, &format, &items, &after, &data);
  if (data) XFree(data);
  return items;
}

static const unsigned kColour = (40u << 16) | (160u << 8) | 220u, kBackground = 0x00FF00;

class X11 : public testing::TestWithParam<size_t> {};

TEST_P(X11, CoversItsMonitorOnlyHidesThePointerInFullScreenHoldsTheSaverEndsOnAKey) {
  const auto& c = kCases[GetParam()];
  Xvfb one;
  TwoMonitors two;
  ASSERT_TRUE(c.monitors == 1 ? one.Start(c.width, c.height) : two.Start(c.width, c.height, c.randr));
  std::string name = c.monitors == 1 ? one.display : two.nested.display;
  Display* d = XOpenDisplay(name.c_str());
  ASSERT_TRUE(d);
  Window root = DefaultRootWindow(d);
  XSetWindowBackground(d, root, kBackground);
  XClearWindow(d, root);
  Picture before, shot;
  ASSERT_TRUE(before.Grab(d));
  Child manager;
  if (c.manager) {
    ASSERT_TRUE(manager.StartOnTerminal({"/usr/bin/evilwm", "-fn", "fixed"}, {"DISPLAY=" + name}));
    ASSERT_TRUE(WaitUntil([&] { return RootItems(d, "_NET_SUPPORTING_WM_CHECK") == 1; })) << "no window manager:\n" << manager.output;
  }
  std::vector<std::string> env = {"DGL_PLATFORM=x11", "DISPLAY=" + name};
  env.insert(env.end(), c.env.begin(), c.env.end());
  Child show;
  ASSERT_TRUE(show.StartOnTerminal({kBin + "/clear_color", "40", "160", "220"}, env));
  ASSERT_TRUE(show.WaitFor("ready")) << show.output;
  const int cx = c.picture.x + c.picture.width / 2, cy = c.picture.y + c.picture.height / 2;
  // The whole screen as expected, once the first frames have landed.
  std::string wrong;
  WaitUntil([&] {
    wrong = shot.Grab(d) ? "" : "no screenshot";
    for (int y = 0; y < shot.height; y++)
      for (int x = 0; x < shot.width; x++) {
        const uint8_t colour[3] = {kColour >> 16, (kColour >> 8) & 0xFF, kColour & 0xFF}, black[3] = {};
        const uint8_t* want = c.picture.Has(x, y) ? colour : c.monitor.Has(x, y) ? black : before.At(x, y);
        if (memcmp(shot.At(x, y), want, 3) && wrong.size() < 80) wrong += std::to_string(x) + "," + std::to_string(y) + " ";
      }
    return wrong.empty();
  });
  EXPECT_EQ(wrong, "") << "pixels not as expected";
  EXPECT_EQ(RootItems(d, "_NET_CLIENT_LIST"), c.manager ? 1u : 0u) << "managed windows";

  XWarpPointer(d, None, root, 0, 0, 0, 0, cx, cy);
  XSync(d, False);
  XFixesCursorImage* cursor = XFixesGetCursorImage(d);
  ASSERT_TRUE(cursor);
  bool empty = true;
  for (int i = 0; i < cursor->width * cursor->height; i++) empty &= (cursor->pixels[i] >> 24) == 0;
  XFree(cursor);
  EXPECT_EQ(empty, c.full);

  // Idle past the saver's time, the saver must still be off; once the show ends, it comes on.
  XSetScreenSaver(d, 1, 0, DontPreferBlanking, AllowExposures);
  XScreenSaverInfo* saver = XScreenSaverAllocInfo();
  WaitUntil([&] { return !XScreenSaverQueryInfo(d, root, saver) || saver->idle >= 1500; });
  EXPECT_EQ(saver->state, ScreenSaverOff);
  // A key ends it: without a manager, where the show covers one monitor of two, with
  // the pointer on the other.
  if (c.full && c.monitors == 2 && !c.manager) XWarpPointer(d, None, root, 0, 0, 0, 0, (cx + c.width) % (2 * c.width), cy);
  XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_space), True, 0);
  XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_space), False, 0);
  XFlush(d);
  EXPECT_EQ(show.Wait(), 0) << show.output;
  WaitUntil([&] { return !XScreenSaverQueryInfo(d, root, saver) || saver->state == ScreenSaverOn; });
  EXPECT_EQ(saver->state, ScreenSaverOn);
  XFree(saver);
  XCloseDisplay(d);
}

INSTANTIATE_TEST_SUITE_P(Screens, X11, testing::Range<size_t>(0, std::size(kCases)),
                         [](const testing::TestParamInfo<size_t>& p) { return kCases[p.param].what; });
