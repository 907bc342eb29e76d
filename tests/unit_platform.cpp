// The platform layer without a window: the fit rectangle, the clock, the log line, the
// data-file lookup and what dglInit says when it fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <string>

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
