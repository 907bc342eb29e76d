// demo-capture and demo-bench as a user runs them: deterministic frames and sound,
// sound and picture of the same length, the moments the show must show, and clean
// failures that leave no output behind.
#include <gtest/gtest.h>
#include <libopenmpt/libopenmpt.h>
#include <stdint.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "png_io.h"
#include "process.h"

namespace fs = std::filesystem;

static const std::string kBin = DGL_BINARY_DIR;
static const std::string kCapture = kBin + "/demo-capture";

// A fresh directory for one test's outputs, removed afterwards.
struct TempDir {
  std::string path;
  TempDir() {
    char name[] = "/tmp/e2e_capture.XXXXXX";
    path = mkdtemp(name);
  }
  ~TempDir() { fs::remove_all(path); }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(path)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
};

struct Result {
  int status = -1;
  std::string output;
};

static Result RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                  double seconds = 240) {
  Child child;
  Result r;
  if (!child.StartOnTerminal(argv, env)) return r;
  r.status = child.Wait(seconds);
  r.output = child.output;
  return r;
}

static Result Capture(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
  args.insert(args.begin(), kCapture);
  return RunProgram(args, env);
}

static std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

static uint64_t Fnv(const uint8_t* p, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

struct Wav {
  int channels = 0, rate = 0, bits = 0;
  std::vector<int16_t> samples;  // interleaved
  size_t Frames() const { return channels ? samples.size() / channels : 0; }
};

static bool ReadWav(const std::string& path, Wav& wav) {
  std::string b = ReadFile(path);
  if (b.size() < 12 || b.compare(0, 4, "RIFF") || b.compare(8, 4, "WAVE")) return false;
  auto u32 = [&](size_t o) { return (uint32_t)(uint8_t)b[o] | (uint32_t)(uint8_t)b[o + 1] << 8 |
                                    (uint32_t)(uint8_t)b[o + 2] << 16 | (uint32_t)(uint8_t)b[o + 3] << 24; };
  auto u16 = [&](size_t o) { return (uint16_t)((uint8_t)b[o] | (uint8_t)b[o + 1] << 8); };
  for (size_t o = 12; o + 8 <= b.size();) {
    uint32_t size = u32(o + 4);
    if (!b.compare(o, 4, "fmt ")) {
      wav.channels = u16(o + 10);
      wav.rate = (int)u32(o + 12);
      wav.bits = u16(o + 22);
    } else if (!b.compare(o, 4, "data")) {
      if (o + 8 + size > b.size()) return false;
      wav.samples.resize(size / 2);
      memcpy(wav.samples.data(), b.data() + o + 8, size / 2 * 2);
      return wav.channels > 0;
    }
    o += 8 + size + (size & 1);
  }
  return false;
}

// One line of --list.
struct Listed {
  long index, show_frame;
  double show_time;
  std::string sequence;
  double time;
  long samples;
};

static std::vector<Listed> ReadList(const std::string& path) {
  std::vector<Listed> rows;
  std::istringstream in(ReadFile(path));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream f(line);
    Listed r;
    f >> r.index >> r.show_frame >> r.show_time >> r.sequence >> r.time >> r.samples;
    rows.push_back(r);
  }
  return rows;
}

struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> rgba;
  const uint8_t* At(int x, int y) const { return &rgba[((size_t)y * width + x) * 4]; }
  int Max(int x, int y) const { return std::max({At(x, y)[0], At(x, y)[1], At(x, y)[2]}); }
  int Min(int x, int y) const { return std::min({At(x, y)[0], At(x, y)[1], At(x, y)[2]}); }
  // The largest channel value in a region, and how many pixels pass a test there.
  int MaxIn(int x0, int y0, int x1, int y1) const {
    int m = 0;
    for (int y = y0; y < y1; y++)
      for (int x = x0; x < x1; x++) m = std::max(m, Max(x, y));
    return m;
  }
};

static bool LoadPicture(const std::string& path, Picture& p) {
  std::string error;
  return png_read_rgba(path, p.rgba, p.width, p.height, &error);
}

// --- determinism -----------------------------------------------------------------

// Frames of the range as decoded pixels, hashed, and the sound's bytes.
struct Take {
  std::vector<uint64_t> frames;
  std::string audio;
  Wav wav;
};

static void TakeRange(const std::vector<std::string>& args, Take& take) {
  TempDir dir;
  std::vector<std::string> a = args;
  a.push_back("--frames");
  a.push_back(dir.path);
  Result r = Capture(a);
  ASSERT_EQ(r.status, 0) << r.output;
  for (int i = 0;; i++) {
    char name[32];
    snprintf(name, sizeof name, "frame-%06d.png", i);
    Picture p;
    if (!fs::exists(dir / name)) break;
    ASSERT_TRUE(LoadPicture(dir / name, p)) << name;
    ASSERT_EQ(p.width, 1280);
    ASSERT_EQ(p.height, 720);
    take.frames.push_back(Fnv(p.rgba.data(), p.rgba.size()));
  }
  take.audio = ReadFile(dir / "audio.wav");
  ASSERT_TRUE(ReadWav(dir / "audio.wav", take.wav));
}

TEST(Capture, TwoRunsGiveTheSameFramesAndTheSameSound) {
  // Across the change from the carousel to the scroller sequence, and well into the
  // scroller, where the row's marker state has built up over the frames before.
  const std::vector<std::vector<std::string>> ranges = {
      {"--from", "36.22", "--to", "36.3"}, {"--skip-carousel", "--from", "20", "--to", "20.05"}};
  for (const auto& range : ranges) {
    SCOPED_TRACE(range[0] + " " + range[1]);
    Take first, second;
    ASSERT_NO_FATAL_FAILURE(TakeRange(range, first));
    ASSERT_NO_FATAL_FAILURE(TakeRange(range, second));
    ASSERT_GE(first.frames.size(), 3u);
    EXPECT_EQ(first.frames, second.frames);
    EXPECT_EQ(first.audio, second.audio);
    // The picture moves from frame to frame, and the sound is there and fills the
    // range exactly: 735 samples a frame at 60 fps.
    EXPECT_NE(first.frames.front(), first.frames.back());
    EXPECT_EQ(first.wav.Frames(), first.frames.size() * 735);
    EXPECT_EQ(first.wav.rate, 44100);
    EXPECT_EQ(first.wav.channels, 2);
    int peak = 0;
    for (int16_t s : first.wav.samples) peak = std::max(peak, std::abs((int)s));
    EXPECT_GT(peak, 1000) << "silence where music plays";
  }
}

// --- length ------------------------------------------------------------------------

static double ModuleSeconds() {
  std::string data = ReadFile(kBin + "/data/quorvelt.mod");
  openmpt_module* mod = openmpt_module_create_from_memory2(
      data.data(), data.size(), openmpt_log_func_silent, nullptr, openmpt_error_func_ignore,
      nullptr, nullptr, nullptr, nullptr);
  if (!mod) return 0.0;
  double seconds = openmpt_module_get_duration_seconds(mod);
  openmpt_module_destroy(mod);
  return seconds;
}

TEST(Capture, TheWholeShowHasSoundAsLongAsItsPictureAndEndsWithTheModule) {
  // 24 fps does not divide 44100: each frame's share of samples alternates, and the
  // fraction must carry over. No picture is asked for, so the frames are cheap.
  TempDir dir;
  Result r = Capture({"--fps", "24", "--wav", dir / "show.wav", "--list", dir / "show.txt"});
  ASSERT_EQ(r.status, 0) << r.output;
  std::vector<Listed> rows = ReadList(dir / "show.txt");
  Wav wav;
  ASSERT_TRUE(ReadWav(dir / "show.wav", wav));
  ASSERT_GT(rows.size(), 100u);

  long samples = 0;
  size_t carousel = 0;
  for (size_t i = 0; i < rows.size(); i++) {
    EXPECT_EQ(rows[i].show_frame, (long)i);
    EXPECT_TRUE(rows[i].samples == 1837 || rows[i].samples == 1838) << rows[i].samples;
    samples += rows[i].samples;
    if (rows[i].sequence == "carousel") carousel = i + 1;
  }
  // Sound and picture end together, to the sample: n frames own n * 44100 / 24 samples.
  EXPECT_EQ((long)wav.Frames(), samples);
  EXPECT_EQ(samples, (long)(rows.size() * 44100 / 24));

  // The carousel's last frame is the first at or past 36.25 s; the scroller follows.
  ASSERT_GT(carousel, 1u);
  EXPECT_GE(rows[carousel - 1].time, 36.25);
  EXPECT_LT(rows[carousel - 2].time, 36.25);
  ASSERT_LT(carousel, rows.size());
  EXPECT_EQ(rows[carousel].sequence, "scroller");
  EXPECT_EQ(rows[carousel].time, 0.0);
  for (size_t i = carousel; i < rows.size(); i++) EXPECT_EQ(rows[i].sequence, "scroller");

  // The scroller sequence lasts as long as the module, to within a frame.
  const double module = ModuleSeconds();
  ASSERT_GT(module, 30.0);
  const double scroller = (double)(rows.size() - carousel) / 24.0;
  EXPECT_NEAR(scroller, module, 1.0 / 24.0 + 1e-6);
}

// --- pictures --------------------------------------------------------------------

TEST(Capture, PicturesShowWhatTheirMomentsMustShow) {
  TempDir dir;
  {
    // 30 s into the carousel: cover 3 rests in the middle at full brightness, caption
    // 2 fully faded in below it.
    Result r = Capture({"--at", "30", "--at-dir", dir.path});
    ASSERT_EQ(r.status, 0) << r.output;
    Picture p;
    ASSERT_TRUE(LoadPicture(dir / "at-30.png", p));
    ASSERT_EQ(p.width, 1280);
    ASSERT_EQ(p.height, 720);

    // Above the covers the screen is black. A row just below the middle cover's top
    // edge, above the side covers, crosses the middle cover alone: it is centred and
    // the widest of the row.
    EXPECT_EQ(p.MaxIn(0, 0, 1280, 20), 0);
    int left = -1, right = -1;
    for (int x = 0; x < 1280; x++) {
      if (p.Max(x, 75) > 0) {
        if (left < 0) left = x;
        right = x;
      }
    }
    ASSERT_GE(left, 0) << "no cover at the top of the middle";
    EXPECT_NEAR((left + right) / 2.0, 639.5, 6.0);
    EXPECT_GT(right - left, 400);
    // Covers away from the middle are dimmed to about 65%; only the middle one reaches
    // near full brightness.
    EXPECT_GT(p.MaxIn(left + 10, 80, right - 10, 480), 220);
    EXPECT_LT(p.MaxIn(0, 80, left - 20, 480), 180);
    EXPECT_LT(p.MaxIn(right + 20, 80, 1280, 480), 180);

    // The caption: 72 lines high and 256 pixels wide, centred 0.81 below the middle of
    // the screen. The reflection around it is at most half bright; the caption's
    // lettering is brighter, and none of it strays outside its rectangle.
    const int cx0 = 512, cx1 = 768, cy0 = 616, cy1 = 688;
    EXPECT_GT(p.MaxIn(cx0, cy0, cx1, cy1), 200);
    EXPECT_LT(p.MaxIn(cx0 - 100, cy0, cx0 - 4, cy1), 140);
    EXPECT_LT(p.MaxIn(cx1 + 4, cy0, cx1 + 100, cy1), 140);
    EXPECT_LT(p.MaxIn(cx0, cy1 + 4, cx1, 720), 140);
  }
  {
    // 20 s into the scroller sequence (13 s of scrolling): white letters across the
    // row, over the backdrop that covers the whole screen and is never brighter than
    // 62% of full.
    Result r = Capture({"--at", "20", "--skip-carousel", "--at-dir", dir.path});
    ASSERT_EQ(r.status, 0) << r.output;
    Picture p;
    ASSERT_TRUE(LoadPicture(dir / "at-20.png", p));
    ASSERT_EQ(p.width, 1280);
    // Only the letters' outlines are black, and the row stays clear of the screen's
    // top and bottom edges: there nothing is black.
    long black = 0, white = 0;
    int bands[8] = {};
    for (int y = 0; y < 720; y++) {
      for (int x = 0; x < 1280; x++) {
        if (p.Max(x, y) == 0 && (y < 100 || y >= 620)) black++;
        if (p.Min(x, y) > 200) {
          white++;
          bands[x / 160]++;
        }
      }
    }
    const long all = 1280L * 720;
    EXPECT_EQ(black, 0) << "the backdrop leaves the screen uncovered";
    EXPECT_GT(white, all / 400) << "no letters";
    EXPECT_LT(white, all / 8) << "more white than a row of letters";
    int lettered = 0;
    for (int b : bands) lettered += b > 50;
    EXPECT_GE(lettered, 6) << "the letters do not run across the screen";
  }
}

// --- failures --------------------------------------------------------------------

TEST(Capture, BadArgumentsAndAMissingOrFailingEncoderLeaveNoOutput) {
  TempDir dir;
  const std::string mp4 = dir / "show.mp4";
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const std::vector<Case> bad = {
      {{"--bogus", "-o", mp4}, "unknown option --bogus"},
      {{"--fps", "0", "-o", mp4}, "--fps"},
      {{"--fps", "ten", "-o", mp4}, "--fps"},
      {{"--at", "-1", "--at-dir", dir.path}, "--at"},
      {{"--from", "5", "--to", "2", "-o", mp4}, "--to"},
      {{"-o"}, "needs a value"},
      {{}, "nothing to write"},
  };
  for (const Case& c : bad) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    Result r = Capture(c.args);
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    EXPECT_TRUE(dir.Entries().empty());
  }

  Result help = Capture({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("usage: demo-capture"), std::string::npos);

  // No ffmpeg in PATH: the message names the package, before any frame is drawn.
  Result missing = Capture({"-o", mp4}, {"PATH=" + dir.path});
  EXPECT_EQ(missing.status, 1) << missing.output;
  EXPECT_NE(missing.output.find("ffmpeg"), std::string::npos) << missing.output;
  EXPECT_NE(missing.output.find("apt-get install ffmpeg"), std::string::npos) << missing.output;
  EXPECT_TRUE(dir.Entries().empty());

  // An encoder that dies at once: the frames meet a broken pipe, the capture fails,
  // and neither the MP4 nor any temporary file is left behind.
  TempDir tools;
  {
    std::ofstream fake(tools / "ffmpeg");
    fake << "#!/bin/sh\necho 'fake ffmpeg: out of space' >&2\nexit 1\n";
  }
  chmod((tools / "ffmpeg").c_str(), 0755);
  Result broken = Capture({"-o", mp4, "--wav", dir / "show.wav", "--to", "1"},
                          {"PATH=" + tools.path + ":/usr/bin:/bin"});
  EXPECT_EQ(broken.status, 1) << broken.output;
  EXPECT_NE(broken.output.find("ffmpeg"), std::string::npos) << broken.output;
  EXPECT_TRUE(dir.Entries().empty()) << dir.Entries().front();

  // A picture asked for after the show has ended is a failure too, and the pictures
  // that were made are removed with it.
  Result late = Capture({"--at", "1", "--at", "100000", "--at-dir", dir / "pictures"});
  EXPECT_EQ(late.status, 1) << late.output;
  EXPECT_NE(late.output.find("ended"), std::string::npos) << late.output;
  EXPECT_TRUE(dir.Entries().empty());
}

// --- the video itself --------------------------------------------------------------

// Mean absolute difference per channel between two pictures, one optionally read upside
// down or with red and blue exchanged.
static double Difference(const Picture& a, const Picture& b, bool flip, bool swap) {
  double sum = 0;
  for (int y = 0; y < a.height; y++)
    for (int x = 0; x < a.width; x++) {
      const uint8_t* p = a.At(x, y);
      const uint8_t* q = b.At(x, flip ? b.height - 1 - y : y);
      for (int c = 0; c < 3; c++) sum += std::abs(p[c] - q[swap ? 2 - c : c]);
    }
  return sum / (3.0 * a.width * a.height);
}

TEST(Capture, WritesAnMp4WithH264PictureAndAacSound) {
  TempDir dir;
  const std::string mp4 = dir / "show.mp4";
  // What run.sh does on a machine without a display, cut to half a second, with the
  // first frame as a picture beside it.
  Result r = Capture({"-o", mp4, "--to", "0.5", "--preset", "ultrafast", "--at", "0", "--at-dir",
                      dir.path});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"at-0.png", "show.mp4"}));
  Result probe = RunProgram({"/usr/bin/ffprobe", "-v", "error", "-show_entries",
                             "stream=codec_name,width,height,nb_frames,sample_rate", "-of",
                             "compact", mp4});
  ASSERT_EQ(probe.status, 0) << probe.output;
  EXPECT_NE(probe.output.find("codec_name=h264|width=1280|height=720|nb_frames=30"), std::string::npos)
      << probe.output;
  EXPECT_NE(probe.output.find("codec_name=aac|sample_rate=44100"), std::string::npos) << probe.output;

  // The video's first frame is the picture, the right way up and in its own colours.
  Result decode = RunProgram({"/usr/bin/ffmpeg", "-v", "error", "-i", mp4, "-frames:v", "1",
                              dir / "decoded.png"});
  ASSERT_EQ(decode.status, 0) << decode.output;
  Picture shown, decoded;
  ASSERT_TRUE(LoadPicture(dir / "at-0.png", shown));
  ASSERT_TRUE(LoadPicture(dir / "decoded.png", decoded));
  ASSERT_EQ(decoded.width, 1280);
  ASSERT_EQ(decoded.height, 720);
  const double same = Difference(shown, decoded, false, false);
  EXPECT_LT(same, 4.0);
  EXPECT_GT(Difference(shown, decoded, true, false), same * 4) << same;
  EXPECT_GT(Difference(shown, decoded, false, true), same * 4) << same;
}

// --- the bench ---------------------------------------------------------------------

TEST(Bench, ReportsStartUpAndEveryFrameRowAsJsonLines) {
  Result r = RunProgram({kBin + "/demo-bench", "--frames", "6", "--warmup", "2", "--json"});
  ASSERT_EQ(r.status, 0) << r.output;
  for (const char* row : {"\"phase\":\"display (dglInit)\"", "\"phase\":\"first frame, presented\"",
                          "\"phase\":\"total\"", "\"name\":\"floor.clear\"",
                          "\"name\":\"floor.carousel_geometry\"", "\"name\":\"carousel\"",
                          "\"name\":\"floor.scroller_geometry\"", "\"name\":\"scroller\""})
    EXPECT_NE(r.output.find(row), std::string::npos) << row << "\n" << r.output;
  EXPECT_NE(r.output.find("\"x_geometry_floor\":"), std::string::npos);
  EXPECT_NE(r.output.find("\"cpu_median_us\":"), std::string::npos);
}
