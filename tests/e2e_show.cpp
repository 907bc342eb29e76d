// The whole show as a user gets it: the real binary from a terminal, its sequences, its
// exits, and what its first seconds put on an X screen.
#include <gtest/gtest.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <libopenmpt/libopenmpt.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "process.h"
#include "scratch_data.h"

static const std::string kBin = DGL_BINARY_DIR;
static const std::vector<std::string> kHeadless = {"DGL_PLATFORM=headless", "SDL_AUDIODRIVER=dummy"};

static double ModuleSeconds() {
  std::ifstream f(kBin + "/data/quorvelt.mod", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(f)), {});
  openmpt_module* m = openmpt_module_create_from_memory2(bytes.data(), bytes.size(), nullptr,
                                                         nullptr, nullptr, nullptr, nullptr,
                                                         nullptr, nullptr);
  if (!m) return -1;
  double seconds = openmpt_module_get_duration_seconds(m);
  openmpt_module_destroy(m);
  return seconds;
}

static std::vector<std::string> ErrorLines(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("ERROR: ", 0) == 0) lines.push_back(line);
  }
  return lines;
}

TEST(Show, RunsTheCarouselThenTheScrollerToTheModulesEnd) {
  double module = ModuleSeconds();
  ASSERT_GT(module, 0) << "quorvelt.mod did not load";
  Child demo;
  double start = NowSeconds();
  ASSERT_TRUE(demo.StartOnTerminal({kBin + "/demo"}, kHeadless));
  int status = demo.Wait(36.25 + module + 60);
  double took = NowSeconds() - start;
  EXPECT_EQ(status, 0) << demo.output;
  // The carousel's 36.25 s, then the module played to its end: nothing ended it early.
  EXPECT_GE(took, 36.25 + module - 0.5);
  EXPECT_TRUE(ErrorLines(demo.output).empty()) << demo.output;
}

TEST(Show, AKeyDuringTheCarouselEndsTheDemo) {
  Child demo;
  ASSERT_TRUE(demo.StartOnTerminal({kBin + "/demo"}, kHeadless));
  EXPECT_EQ(demo.Wait(1.5), -1) << demo.output;
  demo.Type(" ");
  double typed = NowSeconds();
  EXPECT_EQ(demo.Wait(10), 0) << demo.output;
  EXPECT_LT(NowSeconds() - typed, 2.0);
}

// A copy of the demo beside a data directory with one file changed or taken out.
class BrokenData : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(system(("cp '" + kBin + "/demo' '" + data_.dir + "/demo'").c_str()), 0);
  }
  void LinkDataExcept(const std::string& left_out) { ASSERT_TRUE(data_.LinkAllBut(left_out)); }
  int Run(std::string& output) {
    Child demo;
    if (!demo.StartOnTerminal({data_.dir + "/demo"}, kHeadless)) return -2;
    int status = demo.Wait(30);
    output = demo.output;
    return status;
  }
  ScratchData data_;
};

TEST_F(BrokenData, AMissingCoverExits255WithTheFileNotFoundLine) {
  LinkDataExcept("cover4.ktx");
  std::string output;
  EXPECT_EQ(Run(output), 255);
  auto errors = ErrorLines(output);
  ASSERT_EQ(errors.size(), 1u) << output;
  EXPECT_EQ(errors[0].rfind("ERROR: ../source/file_io.cpp(", 0), 0u) << errors[0];
  EXPECT_NE(errors[0].find("): File not found 'cover4.ktx'."), std::string::npos) << errors[0];
}

TEST_F(BrokenData, ABrokenShaderExits255WithTheTwoCompileLines) {
  LinkDataExcept("font.fsh");
  std::ofstream(data_.dir + "/data/font.fsh") << "#version 100\nvoid main() { gl_FragColor = nope; }\n";
  std::string output;
  EXPECT_EQ(Run(output), 255);
  auto errors = ErrorLines(output);
  ASSERT_EQ(errors.size(), 2u) << output;
  EXPECT_NE(errors[0].find("): Shader failed to compile:"), std::string::npos) << errors[0];
  EXPECT_EQ(errors[0].rfind("ERROR: ../source/shader.cpp(", 0), 0u) << errors[0];
  EXPECT_EQ(errors[1].rfind("ERROR: ../source/shader.cpp(", 0), 0u) << errors[1];
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
