// The pure parts of the platform layer: the fit rectangle, the clock's arithmetic,
// the log line and the data-file lookup.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "file_io.h"
#include "fit.h"
#include "log.h"
#include "stdout_capture.h"
#include "util.h"

static void ExpectRect(DGL_RECT r, int x, int y, int w, int h) {
  EXPECT_EQ(r.x, x);
  EXPECT_EQ(r.y, y);
  EXPECT_EQ(r.width, w);
  EXPECT_EQ(r.height, h);
}

TEST(Fit, DesignExamplesFor1280x720) {
  ExpectRect(_dglFitRectangle(1280, 720, 1920, 1080), 0, 0, 1920, 1080);
  ExpectRect(_dglFitRectangle(1280, 720, 1024, 768), 0, 96, 1024, 576);
  ExpectRect(_dglFitRectangle(1280, 720, 1280, 1024), 0, 152, 1280, 720);
  ExpectRect(_dglFitRectangle(1280, 720, 2560, 1080), 320, 0, 1920, 1080);
  // Float rounding of the aspect leaves a one-pixel column: bars 0 and 1 wide.
  ExpectRect(_dglFitRectangle(1280, 720, 1366, 768), 0, 0, 1365, 768);
}

TEST(Fit, ExactAndUltraWideDisplays) {
  ExpectRect(_dglFitRectangle(1280, 720, 1280, 720), 0, 0, 1280, 720);
  ExpectRect(_dglFitRectangle(1280, 720, 3840, 2160), 0, 0, 3840, 2160);
  // 21:9
  ExpectRect(_dglFitRectangle(1280, 720, 3440, 1440), 440, 0, 2560, 1440);
}

TEST(Clock, SplitArithmeticBorrowsFromTheSeconds) {
  EXPECT_DOUBLE_EQ(_dglTimeDifference(12, 100000, 10, 900000), 2.0 + (-800000 / 1000000.0));
  EXPECT_NEAR(_dglTimeDifference(12, 100000, 10, 900000), 1.2, 1e-12);
  EXPECT_DOUBLE_EQ(_dglTimeDifference(5, 0, 5, 0), 0.0);
}

TEST(Clock, CountsFromTheResetAndNeverRunsBackwards) {
  dglResetTime();
  double a = dglGetTime();
  usleep(20000);
  double b = dglGetTime();
  EXPECT_GE(a, 0.0);
  EXPECT_GT(b, a);
  EXPECT_LT(b, 5.0);
  dglResetTime();
  EXPECT_LT(dglGetTime(), b);
}

TEST(Log, PrefixLayoutAndOneLinePerMessage) {
  StdoutCapture out;
  _Log(DGL_LOG_ERROR, "../source/file_io.cpp", 49, "File not found '%s'.", "scroll.txt");
  _Log(DGL_LOG_INFO, "a.cpp", 1, "%s", "");
  _Log(DGL_LOG_WARNING, "b.cpp", 2, "x%dy", 7);
  EXPECT_EQ(out.Stop(),
            "ERROR: ../source/file_io.cpp(49): File not found 'scroll.txt'.\n"
            "INFO: a.cpp(1): \n"
            "WARNING: b.cpp(2): x7y\n");
}

TEST(Log, MessagesAreCutAt8191Characters) {
  std::string whole(8191, 'a'), longer(8192, 'b');
  StdoutCapture out;
  _Log(DGL_LOG_ERROR, "f", 1, "%s", whole.c_str());
  _Log(DGL_LOG_ERROR, "f", 2, "%s", longer.c_str());
  auto lines = out.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "ERROR: f(1): " + whole);
  EXPECT_EQ(lines[1], "ERROR: f(2): " + std::string(8191, 'b'));
}

TEST(Log, EmbeddedLineBreaksGetOnePrefix) {
  StdoutCapture out;
  _Log(DGL_LOG_ERROR, "f", 3, "%s", "first\nsecond");
  EXPECT_EQ(out.Stop(), "ERROR: f(3): first\nsecond\n");
}

TEST(Log, MacroNamesTheCallSiteRelativeToTheTree) {
  StdoutCapture out;
  int line = __LINE__ + 1;
  dglLogError("%s", "here");
  std::string text = out.Stop();
  EXPECT_EQ(text, "ERROR: ../tests/unit_platform.cpp(" + std::to_string(line) + "): here\n");
}

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/dgl-files-XXXXXX";
    root_ = mkdtemp(tmpl);
    // root/a/b is the "executable's" directory; root/a/b/data beside it, root/data two up.
    exe_ = root_ + "/a/b";
    mkdir((root_ + "/a").c_str(), 0755);
    mkdir(exe_.c_str(), 0755);
    mkdir((exe_ + "/data").c_str(), 0755);
    mkdir((root_ + "/data").c_str(), 0755);
    _dglSetExecutableDirectory(exe_.c_str());
  }
  void TearDown() override {
    _dglSetExecutableDirectory(nullptr);
    std::string cmd = "rm -rf '" + root_ + "'";
    (void)system(cmd.c_str());
  }
  void Write(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
  }
  std::string root_, exe_;
};

TEST_F(Files, BesideTheExecutableWinsOverTwoLevelsUp) {
  Write(exe_ + "/data/both.txt", "near");
  Write(root_ + "/data/both.txt", "far");
  Write(root_ + "/data/far.txt", "far");
  EXPECT_STREQ(dglGetAbsolutePath("both.txt"), (exe_ + "/data/both.txt").c_str());
  // Not normalised: the path keeps its "/../../".
  EXPECT_STREQ(dglGetAbsolutePath("far.txt"), (exe_ + "/../../data/far.txt").c_str());
}

TEST_F(Files, ALaterLookupOverwritesTheEarlierPointer) {
  Write(exe_ + "/data/one", "1");
  Write(exe_ + "/data/two", "2");
  const char* first = dglGetAbsolutePath("one");
  const char* second = dglGetAbsolutePath("two");
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, (exe_ + "/data/two").c_str());
}

TEST_F(Files, LoadsWholeFilesWithATerminatingZero) {
  Write(exe_ + "/data/empty", "");
  Write(exe_ + "/data/bin", std::string("a\0b", 3));
  size_t size = 99;
  char* empty = dglLoadFileToMemorySized("empty", "rb", &size);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(empty[0], 0);
  free(empty);
  char* bin = dglLoadFileToMemorySized("bin", "rb", &size);
  ASSERT_NE(bin, nullptr);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(std::string(bin, 4), std::string("a\0b\0", 4));
  free(bin);
}

TEST_F(Files, AMissingFileLogsOneLineNamingItAsAsked) {
  StdoutCapture out;
  EXPECT_EQ(dglLoadFileToMemory("missing.ktx", "rb"), nullptr);
  EXPECT_EQ(dglOpenFile("missing.ktx", "rb"), nullptr);
  auto lines = out.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("ERROR: ../source/file_io.cpp(", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("): File not found 'missing.ktx'."), std::string::npos) << lines[0];
}

TEST_F(Files, OverlongNamesGiveNullNotAnOverflow) {
  std::string name(3000, 'n');
  StdoutCapture out;
  EXPECT_EQ(dglGetAbsolutePath(name.c_str()), nullptr);
  EXPECT_EQ(dglLoadFileToMemory(name.c_str(), "rb"), nullptr);
  EXPECT_EQ(dglGetAbsolutePath(nullptr), nullptr);
  EXPECT_EQ(out.Lines().size(), 1u);
}

TEST_F(Files, ADirectoryIsFoundButDoesNotLoad) {
  mkdir((exe_ + "/data/dir").c_str(), 0755);
  StdoutCapture out;
  EXPECT_NE(dglGetAbsolutePath("dir"), nullptr);
  EXPECT_EQ(dglLoadFileToMemory("dir", "rb"), nullptr);
  EXPECT_EQ(out.Lines().size(), 1u);
}

TEST(FilesDefault, FindsTheBuildsDataBesideTheTestProgram) {
  _dglSetExecutableDirectory(nullptr);
  const char* path = dglGetAbsolutePath("font.vsh");
  if (!path) GTEST_SKIP() << "font.vsh not built yet";
  EXPECT_EQ(std::string(path), std::string(DGL_BINARY_DIR) + "/data/font.vsh");
}
