// The platform layer without a window: the fit rectangle, the clock, the log line, the
// data-file lookup and what dglInit says when it fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <string>

#include "display_mode.h"
#include "file_io.h"
#include "fit.h"
#include "log.h"
#include "stdout_capture.h"
#include "system.h"
#include "util.h"

TEST(Fit, BarsOnTheLongerSide) {
  const int cases[][6] = {
      {1920, 1080, 0, 0, 1920, 1080}, {1024, 768, 0, 96, 1024, 576},  {1280, 1024, 0, 152, 1280, 720},
      {2560, 1080, 320, 0, 1920, 1080}, {1280, 720, 0, 0, 1280, 720}, {3440, 1440, 440, 0, 2560, 1440},
      {1366, 768, 0, 0, 1365, 768}};  // float rounding of the aspect: bars 0 and 1 wide
  for (const auto& c : cases) {
    DGL_RECT r = _dglFitRectangle(1280, 720, c[0], c[1]);
    EXPECT_EQ((std::vector<int>{r.x, r.y, r.width, r.height}), (std::vector<int>{c[2], c[3], c[4], c[5]}))
        << c[0] << "x" << c[1];
  }
}

// The console's mode over the lists that real displays give (as their EDIDs read through
// KMS, in the kernel's order). The show is 720p: the display's own mode when it is at most
// 1080p where the show lands and refreshes at 50 Hz or more; else 1080p at the best refresh
// and the panel's own shape; never a mode the card cannot scan out. DGL_MODE names any
// listed mode the card can show, and says why when it names another.
TEST(ConsoleMode, NativeUpTo1080pAt50HzOrMoreElseTheBestOfTheRestAndDGLModeAsAsked) {
  using M = DGL_DISPLAY_MODE;
  const std::vector<M> tv_4k30 = {{3840, 2160, 30, 1}, {3840, 2160, 25, 0}, {3840, 2160, 24, 0}, {1920, 1080, 60, 0},
                                  {1920, 1080, 50, 0}, {1280, 720, 60, 0},  {720, 480, 60, 0},   {640, 480, 60, 0}};
  const std::vector<M> tv_4k60 = {{3840, 2160, 60, 1}, {3840, 2160, 50, 0}, {3840, 2160, 30, 0}, {2560, 1440, 60, 0},
                                  {1920, 1080, 60, 0}, {1920, 1080, 50, 0}, {1280, 720, 60, 0},  {720, 576, 50, 0}};
  const std::vector<M> tv_1080 = {{1920, 1080, 60, 1}, {1920, 1080, 50, 0}, {1920, 1080, 30, 0}, {1920, 1080, 24, 0},
                                  {1280, 720, 60, 0},  {1280, 720, 50, 0},  {720, 576, 50, 0},   {720, 480, 60, 0}, {640, 480, 60, 0}};
  const std::vector<M> monitor_sxga = {{1280, 1024, 60, 1}, {1280, 1024, 75, 0}, {1152, 864, 75, 0}, {1024, 768, 75, 0},
                                       {1024, 768, 60, 0},  {800, 600, 60, 0},   {640, 480, 60, 0}};
  const std::vector<M> projector = {{1024, 768, 60, 1}, {1024, 768, 75, 0}, {800, 600, 72, 0}, {640, 480, 60, 0}};
  const std::vector<M> ultra_wide = {{2560, 1080, 60, 1}, {2560, 1080, 75, 0}, {1920, 1080, 60, 0},
                                     {1680, 1050, 60, 0}, {1280, 720, 60, 0},  {640, 480, 60, 0}};
  const std::vector<M> laptop_panel = {{1366, 768, 60, 1}, {1360, 768, 60, 0}, {1024, 768, 60, 0}, {800, 600, 60, 0}};
  const std::vector<M> panel_800x480 = {{800, 480, 60, 1}};
  const std::vector<M> monitor_1440p = {{2560, 1440, 60, 1}, {2048, 1152, 60, 0}, {1920, 1200, 60, 0}, {1920, 1080, 60, 0},
                                        {1600, 1200, 60, 0}, {1280, 720, 60, 0}};
  const std::vector<M> no_preference = {{1024, 768, 60, 0}, {800, 600, 60, 0}};
  // What a virtual GPU lists for a 4K screen: its 4K mode, then the standard modes, some of
  // them 4:3 at 85 Hz.
  const std::vector<M> virtual_4k = {{3840, 2160, 60, 1}, {1024, 768, 85, 0}, {1280, 960, 85, 0}, {1920, 1080, 60, 0},
                                     {1600, 900, 60, 0},  {1280, 720, 60, 0}, {800, 600, 85, 0}};
  const DGL_CARD_LIMITS pi4 = {0, 7680, 0, 7680}, pi3 = {0, 2048, 0, 2048}, tiny = {0, 640, 0, 480};
  const struct { const char* display; const std::vector<M>* modes; DGL_CARD_LIMITS limits; const char* wanted; int chosen; std::string why; } cases[] = {
      {"4K TV, 4K only at 30 Hz", &tv_4k30, pi4, nullptr, 3, ""},
      {"4K TV with 4K at 60 Hz", &tv_4k60, pi4, nullptr, 4, ""},
      {"1080p TV", &tv_1080, pi4, nullptr, 0, ""},
      {"1280x1024 monitor", &monitor_sxga, pi4, nullptr, 0, ""},
      {"1024x768 projector", &projector, pi4, nullptr, 0, ""},
      {"2560x1080 ultra-wide: 1920x1080 between pillars", &ultra_wide, pi4, nullptr, 0, ""},
      {"1366x768 panel", &laptop_panel, pi4, nullptr, 0, ""},
      {"800x480 panel", &panel_800x480, pi4, nullptr, 0, ""},
      {"1440p monitor on a card up to 2048x2048", &monitor_1440p, pi3, nullptr, 3, ""},
      {"4K TV on a card up to 2048x2048", &tv_4k60, pi3, nullptr, 4, ""},
      {"no preferred mode: the first", &no_preference, pi4, nullptr, 0, ""},
      {"virtual 4K screen: 16:9 at 60 Hz over 4:3 at 85", &virtual_4k, pi4, nullptr, 3, ""},
      {"DGL_MODE WxH", &tv_1080, pi4, "1280x720", 4, ""},
      {"DGL_MODE WxH@Hz", &tv_1080, pi4, "1920x1080@50", 1, ""},
      {"DGL_MODE asks for 4K at 30", &tv_4k30, pi4, "3840x2160@30", 0, ""},
      {"nothing the card can show", &panel_800x480, tiny, nullptr, -1, "card1: no mode of the display fits the card's 0x0 to 640x480"},
      {"DGL_MODE beyond the card", &tv_4k60, pi3, "3840x2160", -1,
       "DGL_MODE=3840x2160 is a mode of the display, but card1 can only show 0x0 to 2048x2048"},
      {"DGL_MODE not listed", &tv_1080, pi4, "1920x1080@75", -1,
       "DGL_MODE=1920x1080@75 is not a mode of card1; it has: 1920x1080@60 1920x1080@50 1920x1080@30 1920x1080@24 "
       "1280x720@60 1280x720@50 720x576@50 720x480@60 640x480@60"},
      {"DGL_MODE a name", &tv_1080, pi4, "1080p", -1, "DGL_MODE=1080p: expected WxH or WxH@Hz"}};
  for (const auto& c : cases) {
    char why[1200] = "";
    EXPECT_EQ(_dglChooseMode(c.modes->data(), (int)c.modes->size(), c.limits, c.wanted, "card1", why, sizeof why), c.chosen) << c.display;
    EXPECT_EQ(why, c.why) << c.display;
  }
  // Modes that differ only in their timings are listed once.
  const std::vector<M> twice = {{1024, 768, 60, 1}, {1024, 768, 60, 0}, {800, 600, 60, 0}};
  char why[200];
  EXPECT_EQ(_dglChooseMode(twice.data(), 3, pi4, "640x480", "card0", why, sizeof why), -1);
  EXPECT_STREQ(why, "DGL_MODE=640x480 is not a mode of card0; it has: 1024x768@60 800x600@60");
}

TEST(Clock, BorrowsFromTheSecondsAndCountsFromTheReset) {
  EXPECT_NEAR(_dglTimeDifference(12, 100000, 10, 900000), 1.2, 1e-12);
  EXPECT_DOUBLE_EQ(_dglTimeDifference(5, 0, 5, 0), 0.0);
  dglResetTime();
  double a = dglGetTime();
  usleep(20000);
  double b = dglGetTime();
  EXPECT_GE(a, 0.0);
  EXPECT_GE(b, a + 0.02);
  dglResetTime();
  EXPECT_LT(dglGetTime(), b);
}

TEST(Log, PrefixLayoutOneLinePerMessageCutAt8191) {
  StdoutCapture out;
  _Log(DGL_LOG_ERROR, "../source/file_io.cpp", 49, "File not found '%s'.", "scroll.txt");
  _Log(DGL_LOG_INFO, "a.cpp", 1, "%s", "");
  _Log(DGL_LOG_WARNING, "b.cpp", 2, "x%dy", 7);
  _Log(DGL_LOG_ERROR, "f", 3, "%s", "first\nsecond");
  _Log(DGL_LOG_ERROR, "f", 4, "%s", std::string(8192, 'b').c_str());
  int line = __LINE__ + 1;
  dglLogError("%s", "here");
  EXPECT_EQ(out.Stop(), "ERROR: ../source/file_io.cpp(49): File not found 'scroll.txt'.\n"
                        "INFO: a.cpp(1): \nWARNING: b.cpp(2): x7y\nERROR: f(3): first\nsecond\n"
                        "ERROR: f(4): " + std::string(8191, 'b') +
                        "\nERROR: ../tests/unit_platform.cpp(" + std::to_string(line) + "): here\n");
}

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/dgl-files-XXXXXX";
    root_ = mkdtemp(tmpl);
    // root/a/b is the "executable's" directory; root/a/b/data beside it, root/data two up.
    exe_ = root_ + "/a/b";
    for (const std::string& d : {root_ + "/a", exe_, exe_ + "/data", root_ + "/data"}) mkdir(d.c_str(), 0755);
    _dglSetExecutableDirectory(exe_.c_str());
  }
  void TearDown() override {
    _dglSetExecutableDirectory(nullptr);
    (void)system(("rm -rf '" + root_ + "'").c_str());
  }
  void Write(const std::string& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }
  std::string root_, exe_;
};

TEST_F(Files, BesideTheExecutableWinsAndEachLookupOverwritesTheLast) {
  Write(exe_ + "/data/both.txt", "near");
  Write(root_ + "/data/both.txt", "far");
  Write(root_ + "/data/far.txt", "far");
  const char* first = dglGetAbsolutePath("both.txt");
  EXPECT_STREQ(first, (exe_ + "/data/both.txt").c_str());
  // Not normalised: the path keeps its "/../../".
  EXPECT_EQ(dglGetAbsolutePath("far.txt"), first);
  EXPECT_STREQ(first, (exe_ + "/../../data/far.txt").c_str());
}

TEST_F(Files, LoadsWholeFilesWithATerminatingZero) {
  Write(exe_ + "/data/empty", "");
  Write(exe_ + "/data/bin", std::string("a\0b", 3));
  for (std::string want : {std::string(), std::string("a\0b", 3)}) {
    size_t size = 99;
    char* got = dglLoadFileToMemorySized(want.empty() ? "empty" : "bin", "rb", &size);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(got, size + 1), want + '\0');
    free(got);
  }
}

// Each refusal is one error line naming the file, at once: a FIFO must not block the open.
TEST_F(Files, OnlyARegularFileLoads) {
  mkdir((exe_ + "/data/dir").c_str(), 0755);
  ASSERT_EQ(mkfifo((exe_ + "/data/fifo").c_str(), 0644), 0);
  ASSERT_EQ(symlink("/dev/zero", (exe_ + "/data/device").c_str()), 0);
  const struct { std::string name, line; } cases[] = {
      {"missing.ktx", "File not found 'missing.ktx'."}, {"dir", "'dir' is not a regular file."},
      {"fifo", "'fifo' is not a regular file."},       {"device", "'device' is not a regular file."},
      {std::string(3000, 'n'), "File not found 'nnn"}};  // too long for the path buffer
  for (const auto& c : cases) {
    StdoutCapture out;
    EXPECT_EQ(dglLoadFileToMemory(c.name.c_str(), "rb"), nullptr) << c.name;
    EXPECT_EQ(dglOpenFile(c.name.c_str(), "r"), nullptr) << c.name;
    auto lines = out.Lines();
    ASSERT_EQ(lines.size(), 2u) << c.name;
    EXPECT_EQ(lines[0].rfind("ERROR: ../source/file_io.cpp(", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("): " + c.line), std::string::npos) << lines[0];
  }
  EXPECT_EQ(dglGetAbsolutePath(nullptr), nullptr);
}

static std::string ReadAll(int fd) {
  std::string text;
  char buf[512];
  for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;) text.append(buf, (size_t)n);
  close(fd);
  return text;
}

// A failing start-up says which step failed on standard error, in one line; the log on
// standard output stays empty. Each start runs in a child, whose exit skips the leak
// check: the driver keeps allocations until exit.
TEST(Startup, AFailedStepIsOneLineOnStandardError) {
  setenv("DGL_PLATFORM", "headless", 1);
  setenv("MESA_GLES_VERSION_OVERRIDE", "2.0", 1);
  const struct { int stencil; std::string err; } cases[] = {
      {99, "dglInit: eglChooseConfig found no configuration (EGL_BAD_MATCH)\n"}, {8, ""}};
  for (const auto& c : cases) {
    int out[2], err[2];
    ASSERT_EQ(pipe(out) | pipe(err), 0);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(out[1], 1), dup2(err[1], 2);
      int rc = dglInit(1280, 720, 32, 16, c.stencil);
      fflush(stdout);
      _exit(rc == 0 ? 0 : 1);
    }
    close(out[1]), close(err[1]);
    EXPECT_EQ(ReadAll(err[0]), c.err);
    EXPECT_EQ(ReadAll(out[0]), "");
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), c.err.empty() ? 0 : 1);
  }
}
