// The whole show as a user gets it: the real binary from a terminal, its sequences, its
// exits, and what it puts on an X screen.
#include <gtest/gtest.h>  // before Xlib, whose None macro it would trip over
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <libopenmpt/libopenmpt.h>

#include <fstream>
#include <sstream>

#include "coverflow.h"
#include "gl_context.h"
#include "process.h"
#include "scratch_data.h"

static const std::string kBin = DGL_BINARY_DIR;
static const std::vector<std::string> kHeadless = {"DGL_PLATFORM=headless", "SDL_AUDIODRIVER=dummy"};

static std::vector<std::string> ErrorLines(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("ERROR: ", 0) == 0) lines.push_back(line.substr(0, line.find_last_not_of('\r') + 1));
  return lines;
}

TEST(Show, RunsTheCarouselThenTheScrollerToTheModulesEnd) {
  std::ifstream f(kBin + "/data/quorvelt.mod", std::ios::binary);
  const std::string mod((std::istreambuf_iterator<char>(f)), {});
  openmpt_module* m = openmpt_module_create_from_memory2(mod.data(), mod.size(), 0, 0, 0, 0, 0, 0, 0);
  ASSERT_NE(m, nullptr) << "quorvelt.mod did not load";
  const double module = openmpt_module_get_duration_seconds(m);
  openmpt_module_destroy(m);
  Child demo;
  const double start = NowSeconds();
  ASSERT_TRUE(demo.StartOnTerminal({kBin + "/demo"}, kHeadless));
  EXPECT_EQ(demo.Wait(36.25 + module + 60), 0) << demo.output;
  // The carousel's 36.25 s, then the module played to its end: nothing ended it early.
  EXPECT_GE(NowSeconds() - start, 36.25 + module - 0.5);
  EXPECT_TRUE(ErrorLines(demo.output).empty()) << demo.output;
}

// The X screen as RGB bytes, bottom row first like GL's; empty when it cannot be read.
static std::vector<uint8_t> ScreenRgb(const std::string& display) {
  std::vector<uint8_t> rgb;
  Display* d = XOpenDisplay(display.c_str());
  XImage* image = d ? XGetImage(d, DefaultRootWindow(d), 0, 0, 1280, 720, AllPlanes, ZPixmap) : nullptr;
  for (int i = 0; image && i < 1280 * 720; i++) {
    const unsigned long p = XGetPixel(image, i % 1280, 719 - i / 1280);
    rgb.insert(rgb.end(), {uint8_t(p >> 16), uint8_t(p >> 8), uint8_t(p)});
  }
  if (image) XDestroyImage(image);
  return d ? XCloseDisplay(d), rgb : rgb;
}

// The first stop (2.25 s to 10 s: cover 7 in the middle, caption 0 fully shown) as the
// real demo shows it on X, after its slide from cover 5, against the same moment drawn
// here by the scene's own functions on a context set up as the design says: frames that
// keep what an earlier one drew, or covers that ignore depth, do not match. A key then
// ends the demo with status 0.
TEST(ShowPicture, TheFirstStopOnScreenIsTheCarouselDrawnFresh) {
  GlContext gl;
  gl.SetUp();
  ASSERT_EQ(coverflow_init(), 0);
  gl_clear(0, 0, 0);
  coverflow_render(-7.0f);
  coverflow_render_text(0, 1.0f);
  const std::vector<uint8_t> want = gl_pixels();
  gl.TearDown();
  Xvfb x;
  ASSERT_TRUE(x.Start(1280, 720));
  Child demo;
  ASSERT_TRUE(demo.StartOnTerminal({kBin + "/demo"}, {"DGL_PLATFORM=x11", "DISPLAY=" + x.display, "SDL_AUDIODRIVER=dummy"}));
  // Screens until one matches; after the first one that shows anything the stop is over
  // within 12 s of show time, however slowly frames come.
  int fewest = 1280 * 720 * 3;
  for (double shown = 0; demo.Running() && fewest > 0 && (!shown || NowSeconds() < shown + 12);) {
    const std::vector<uint8_t> screen = ScreenRgb(x.display);
    int differ = 0;
    for (size_t i = 0; i < screen.size(); i++) {
      if (!shown && screen[i]) shown = NowSeconds();
      differ += abs(screen[i] - want[i / 3 * 4 + i % 3]) > 2;
    }
    fewest = std::min(fewest, differ);
  }
  EXPECT_EQ(fewest, 0) << "pixel channels off in the closest screen";
  demo.Type("q");
  EXPECT_EQ(demo.Wait(10), 0) << demo.output;
}

// A copy of the demo beside a data folder with one file left out or replaced: status 255
// and only the error lines of the loader that met it.
TEST(BrokenData, ExitsWith255AndTheLoadersOwnLines) {
  const struct { std::string file, replacement, module; std::vector<std::string> messages; } cases[] = {
      {"cover4.ktx", "", "file_io.cpp", {"File not found 'cover4.ktx'."}},
      {"font.fsh", "#version 100\nvoid main() { gl_FragColor = nope; }\n", "shader.cpp", {"Shader failed to compile:", ""}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    ScratchData data;
    ASSERT_TRUE(data.LinkAllBut(c.file));
    if (!c.replacement.empty()) std::ofstream(data.dir + "/data/" + c.file) << c.replacement;
    ASSERT_EQ(system(("cp '" + kBin + "/demo' '" + data.dir + "/demo'").c_str()), 0);
    Child demo;
    ASSERT_TRUE(demo.StartOnTerminal({data.dir + "/demo"}, kHeadless));
    EXPECT_EQ(demo.Wait(60), 255) << demo.output;
    const std::vector<std::string> errors = ErrorLines(demo.output);
    ASSERT_EQ(errors.size(), c.messages.size()) << demo.output;
    for (size_t i = 0; i < errors.size(); i++) {
      EXPECT_EQ(errors[i].rfind("ERROR: ../source/" + c.module + "(", 0), 0u) << errors[i];
      EXPECT_NE(errors[i].find("): " + c.messages[i]), std::string::npos) << errors[i];
    }
  }
}

// The caption strip of a 1280x720 screen: how many of its pixels are near white.
static int BrightCaptionPixels(const std::string& display, bool* anything_shown) {
  Display* d = XOpenDisplay(display.c_str());
  if (!d) return -1;
  XImage* image = XGetImage(d, DefaultRootWindow(d), 0, 0, 1280, 720, AllPlanes, ZPixmap);
  int bright = 0;
  bool shown = false;
  if (image) {
    for (int y = 0; y < 720; y += 4)
      for (int x = 0; x < 1280; x += 4) {
        unsigned long p = XGetPixel(image, x, y);
        int r = (p >> 16) & 255, g = (p >> 8) & 255, b = p & 255;
        if (r | g | b) shown = true;
        if (x >= 512 && x < 768 && y >= 616 && y < 688 && r > 200 && g > 200 && b > 200) bright++;
      }
    XDestroyImage(image);
  }
  XCloseDisplay(d);
  *anything_shown = shown;
  return bright;
}

// Starts the demo on an X screen with these arguments and reads the caption strip from
// the first frames that show anything.
static int CaptionAtTheStart(const std::vector<std::string>& args) {
  Xvfb x;
  if (!x.Start(1280, 720)) return -1;
  std::vector<std::string> argv = {kBin + "/demo"};
  argv.insert(argv.end(), args.begin(), args.end());
  Child demo;
  if (!demo.StartOnTerminal(argv, {"DGL_PLATFORM=x11", "DISPLAY=" + x.display, "SDL_AUDIODRIVER=dummy"}))
    return -1;
  int bright = -1;
  double end = NowSeconds() + 20;
  while (NowSeconds() < end) {
    bool shown = false;
    BrightCaptionPixels(x.display, &shown);
    if (shown) {
      usleep(200000);  // a few frames more
      bright = BrightCaptionPixels(x.display, &shown);
      break;
    }
    usleep(50000);
  }
  demo.Type("q");
  EXPECT_EQ(demo.Wait(10), 0) << demo.output;
  return bright;
}

TEST(ShowStart, OneArgumentOpensOnTheLastCaptionFullyShown) {
  EXPECT_GT(CaptionAtTheStart({"skip"}), 20);
}

TEST(ShowStart, NoArgumentOrTwoArgumentsOpenOnTheCarouselWithoutACaption) {
  EXPECT_EQ(CaptionAtTheStart({}), 0);
  EXPECT_EQ(CaptionAtTheStart({"a", "b"}), 0);
}
