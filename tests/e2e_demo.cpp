// The built programs as a user runs them: from a terminal on the headless backend, with
// a display that is not there, and on an X server whose screen is not 16:9.
#include <gtest/gtest.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "process.h"

static const std::string kBin = DGL_BINARY_DIR;

TEST(Demo, RunsFramesUntilAKeyThenExitsCleanly) {
  Child demo;
  ASSERT_TRUE(demo.StartOnTerminal({kBin + "/demo"}, {"DGL_PLATFORM=headless"}));
  termios before;
  usleep(100000);
  tcgetattr(demo.slave, &before);
  EXPECT_EQ(demo.Wait(1.5), -1) << "ended without a key:\n" << demo.output;
  demo.Type("x");
  double typed = NowSeconds();
  int status = demo.Wait(10);
  EXPECT_EQ(status, 0) << demo.output;
  EXPECT_LT(NowSeconds() - typed, 1.0);
  termios after;
  tcgetattr(demo.slave, &after);
  EXPECT_EQ(before.c_lflag, after.c_lflag);
  EXPECT_TRUE(after.c_lflag & ECHO);
}

TEST(Demo, AMissingDisplayExits255) {
  Child demo;
  ASSERT_TRUE(demo.StartOnTerminal({kBin + "/demo"}, {"DGL_PLATFORM=x11", "DISPLAY=:9876"}));
  EXPECT_EQ(demo.Wait(20), 255) << demo.output;
}

struct Screenshot {
  int width = 0, height = 0;
  std::vector<unsigned> pixels;  // 0xRRGGBB
  unsigned At(int x, int y) const { return pixels[(size_t)y * width + x]; }
};

static bool Grab(const std::string& display, Screenshot& shot) {
  Display* d = XOpenDisplay(display.c_str());
  if (!d) return false;
  Window root = DefaultRootWindow(d);
  XWindowAttributes a;
  XGetWindowAttributes(d, root, &a);
  XImage* image = XGetImage(d, root, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
  if (!image) {
    XCloseDisplay(d);
    return false;
  }
  shot.width = a.width;
  shot.height = a.height;
  shot.pixels.resize((size_t)a.width * a.height);
  for (int y = 0; y < a.height; y++)
    for (int x = 0; x < a.width; x++) shot.pixels[(size_t)y * a.width + x] = XGetPixel(image, x, y) & 0xFFFFFF;
  XDestroyImage(image);
  XCloseDisplay(d);
  return true;
}

// Shows one colour on an X screen of the given size and returns the screenshot.
static void ShowColourOn(int width, int height, Screenshot& shot) {
  Xvfb x;
  ASSERT_TRUE(x.Start(width, height)) << "Xvfb did not start";
  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[1]);
    close(out[0]);
    Child::Exec({kBin + "/clear_color", "40", "160", "220"},
                {"DGL_PLATFORM=x11", "DISPLAY=" + x.display});
  }
  close(in[0]);
  close(out[1]);
  std::string said;
  char c;
  pollfd p = {out[0], POLLIN, 0};
  while (said.find("ready") == std::string::npos && poll(&p, 1, 20000) > 0 && read(out[0], &c, 1) == 1)
    said += c;
  EXPECT_NE(said.find("ready"), std::string::npos);
  usleep(300000);
  EXPECT_TRUE(Grab(x.display, shot));
  close(in[1]);  // end of file on its input reads as a key
  int status = -1;
  waitpid(pid, &status, 0);
  close(out[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

static const unsigned kColour = (40u << 16) | (160u << 8) | 220u;

TEST(X11, FourByThreeScreenGetsALetterbox) {
  Screenshot s;
  ShowColourOn(1024, 768, s);
  ASSERT_EQ(s.width, 1024);
  for (int y : {0, 50, 95, 672, 700, 767})
    for (int x : {0, 512, 1023}) EXPECT_EQ(s.At(x, y), 0u) << x << "," << y;
  for (int y : {96, 300, 671})
    for (int x : {0, 512, 1023}) EXPECT_EQ(s.At(x, y), kColour) << x << "," << y;
}

TEST(X11, UltraWideScreenGetsAPillarbox) {
  Screenshot s;
  ShowColourOn(2560, 1080, s);
  ASSERT_EQ(s.width, 2560);
  for (int x : {0, 319, 2240, 2559})
    for (int y : {0, 540, 1079}) EXPECT_EQ(s.At(x, y), 0u) << x << "," << y;
  for (int x : {320, 1280, 2239})
    for (int y : {0, 540, 1079}) EXPECT_EQ(s.At(x, y), kColour) << x << "," << y;
}
