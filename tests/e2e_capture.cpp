// demo-capture and demo-bench as a user runs them: deterministic frames and sound of equal
// length, the moments the show must show, and clean failures that leave no output behind.
#include "fixtures.h"

#include <libopenmpt/libopenmpt.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
namespace fs = std::filesystem;

// A fresh directory for one test's outputs, removed afterwards.
struct TempDir : RuntimeDir {
  const std::string& path = dir;
  long Count() const { return std::distance(fs::directory_iterator(path), {}); }
};

struct Result { int status = -1; std::string output; };
static Result RunProgram(const Args& argv, const Args& env = {}) {
  Child child;
  if (!child.StartOnTerminal(argv, env)) return {};
  return {child.Wait(), child.output};  // braced: waits before the output is copied
}
static Result Capture(Args args, const Args& env = {}) {
  args.insert(args.begin(), kBin + "/demo-capture");
  return RunProgram(args, env);
}
static std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The samples of a 16-bit stereo 44.1 kHz WAV file whose header states its true length.
static std::vector<int16_t> WavSamples(const std::string& b) {
  uint16_t channels = 0;
  uint32_t rate = 0, size = 0;
  if (b.size() >= 44 && !b.compare(0, 4, "RIFF") && !b.compare(36, 4, "data"))
    memcpy(&channels, &b[22], 2), memcpy(&rate, &b[24], 4), memcpy(&size, &b[40], 4);
  if (channels != 2 || rate != 44100 || size != b.size() - 44)
    return ADD_FAILURE() << "not a 16-bit stereo 44.1 kHz WAV of " << b.size() << " bytes", std::vector<int16_t>();
  std::vector<int16_t> samples(size / 2);
  return memcpy(samples.data(), &b[44], size), samples;
}
static void Load(const std::string& path, Picture& p) {  // a 1280x720 PNG
  ASSERT_TRUE(p.Read(path)) << path;
  ASSERT_TRUE(p.width == 1280 && p.height == 720) << p.width << "x" << p.height;
}
// The frames of a range (the PNG files' bytes) and the sound's bytes.
static void TakeRange(Args args, Args& frames, std::string& audio) {
  TempDir dir;
  args.insert(args.end(), {"--frames", dir.path});
  Result r = Capture(args);
  ASSERT_EQ(r.status, 0) << r.output;
  char name[32];
  for (int i = 0; snprintf(name, sizeof name, "frame-%06d.png", i), fs::exists(dir / name); i++)
    frames.push_back(ReadFile(dir / name));
  audio = ReadFile(dir / "audio.wav");
}

TEST(Capture, TwoRunsGiveTheSameFramesAndTheSameSound) {
  // Across the change from carousel to scroller, and deep into the scroller where state
  // has built up over the frames before.
  for (const Args& range : {Args{"--from", "36.2", "--to", "36.3"},
                            Args{"--skip-carousel", "--from", "20", "--to", "20.05"}}) {
    SCOPED_TRACE(range[0] + " " + range[1]);
    Args frames[2];
    std::string audio[2];
    for (int i = 0; i < 2; i++) ASSERT_NO_FATAL_FAILURE(TakeRange(range, frames[i], audio[i]));
    ASSERT_GE(frames[0].size(), 3u);
    EXPECT_TRUE(frames[0] == frames[1]);
    EXPECT_EQ(audio[0], audio[1]);
    EXPECT_TRUE(frames[0].front() != frames[0].back()) << "the picture does not move";
    const std::vector<int16_t> wav = WavSamples(audio[0]);
    EXPECT_EQ(wav.size(), frames[0].size() * 735 * 2);  // 735 samples a frame at 60 fps
    int peak = 0;
    for (int16_t s : wav) peak = std::max(peak, std::abs((int)s));
    EXPECT_GT(peak, 1000) << "silence where music plays";
  }
}

TEST(Capture, TheWholeShowHasSoundAsLongAsItsPictureAndEndsWithTheModule) {
  // 24 fps does not divide 44100, so each frame's fraction of a sample must carry over.
  TempDir dir;
  Result r = Capture({"--fps", "24", "--wav", dir / "show.wav", "--list", dir / "show.txt"});
  ASSERT_EQ(r.status, 0) << r.output;
  // --list rows: index, show frame, show time, sequence, sequence time, samples.
  Args sequence;
  std::vector<double> time;
  long samples = 0, n;
  std::istringstream in(ReadFile(dir / "show.txt"));
  for (std::string line, skip; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream(line) >> skip >> skip >> skip >> sequence.emplace_back() >> time.emplace_back() >> n;
    EXPECT_TRUE(n == 1837 || n == 1838) << n;  // the fraction spreads evenly
    samples += n;
  }
  const size_t rows = sequence.size();
  ASSERT_GT(rows, 100u);
  EXPECT_EQ((long)WavSamples(ReadFile(dir / "show.wav")).size() / 2, samples);
  EXPECT_EQ(samples, (long)(rows * 44100 / 24));

  // The carousel's last frame is the first at or past 36.25 s; then only the scroller.
  const size_t carousel = std::find(sequence.begin(), sequence.end(), "scroller") - sequence.begin();
  ASSERT_TRUE(carousel > 1 && carousel < rows) << carousel;
  EXPECT_GE(time[carousel - 1], 36.25);
  EXPECT_LT(time[carousel - 2], 36.25);
  // Each frame shows the end of its interval, a moment the live show reaches (never t = 0).
  EXPECT_NEAR(time[0], 1.0 / 24, 1e-6);
  EXPECT_NEAR(time[carousel], 1.0 / 24, 1e-6);
  EXPECT_EQ(std::count(sequence.begin(), sequence.end(), "carousel"), (long)carousel);
  EXPECT_EQ(std::count(sequence.begin(), sequence.end(), "scroller"), (long)(rows - carousel));

  // The scroller lasts as long as the module, to within a frame.
  const std::string mod = ReadFile(kBin + "/data/quorvelt.mod");
  openmpt_module* m = openmpt_module_create_from_memory2(
      mod.data(), mod.size(), openmpt_log_func_silent, nullptr, openmpt_error_func_ignore, 0, 0, 0, 0);
  ASSERT_TRUE(m);
  const double module = openmpt_module_get_duration_seconds(m);
  openmpt_module_destroy(m);
  EXPECT_NEAR((double)(rows - carousel) / 24.0, module, 1.0 / 24.0 + 1e-6);
}

TEST(Capture, BadArgumentsAndAMissingOrFailingEncoderLeaveNoOutput) {
  TempDir dir, tools;
  const std::string mp4 = dir / "show.mp4";
  std::ofstream(tools / "ffmpeg") << "#!/bin/sh\necho 'fake ffmpeg: out of space' >&2\nexit 1\n";
  fs::permissions(tools / "ffmpeg", fs::perms::owner_all);
  const Args none, no_ffmpeg = {"PATH=" + dir.path}, dying = {"PATH=" + tools.path + ":/usr/bin:/bin"};
  const struct { Args args, env; int status; const char* says; } cases[] = {
      {{"--bogus", "-o", mp4}, none, 2, "unknown option --bogus"}, {{"--fps", "0", "-o", mp4}, none, 2, "--fps"},
      {{"--fps", "ten", "-o", mp4}, none, 2, "--fps"}, {{"--at", "-1", "--at-dir", dir.path}, none, 2, "--at"},
      {{"--from", "5", "--to", "2", "-o", mp4}, none, 2, "--to"}, {{"-o"}, none, 2, "needs a value"},
      {{}, none, 2, "nothing to write"}, {{"--help"}, none, 0, "usage: demo-capture"},
      {{"-o", mp4}, no_ffmpeg, 1, "apt-get install ffmpeg"},
      // The encoder dies at once: neither the MP4 nor the WAV nor a temporary file stays.
      {{"-o", mp4, "--wav", dir / "show.wav", "--to", "1"}, dying, 1, "ffmpeg"},
      // A picture past the show's end fails, and the pictures already made are removed.
      {{"--at", "1", "--at", "100000", "--at-dir", dir / "pictures"}, none, 1, "ended"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.env) + " " + testing::PrintToString(c.args));
    Result r = Capture(c.args, c.env);
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    EXPECT_EQ(dir.Count(), 0);
  }
}

TEST(Capture, WritesAnMp4WithH264PictureAndAacSound) {
  TempDir dir;
  const std::string mp4 = dir / "show.mp4";
  Result r = Capture({"-o", mp4, "--to", "0.5", "--preset", "ultrafast", "--at", "0", "--at-dir", dir.path});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(dir.Count(), 2) << "only show.mp4 and at-0.png";
  const std::string probe = RunProgram({"/usr/bin/ffprobe", "-v", "error", "-of", "compact", "-show_entries",
                                        "stream=codec_name,width,height,nb_frames,sample_rate", mp4}).output;
  for (const char* stream :
       {"codec_name=h264|width=1280|height=720|nb_frames=30", "codec_name=aac|sample_rate=44100"})
    EXPECT_NE(probe.find(stream), std::string::npos) << probe;

  // The first frame is the picture, the right way up and in its own colours.
  ASSERT_EQ(RunProgram({"/usr/bin/ffmpeg", "-v", "error", "-i", mp4, "-frames:v", "1", dir / "d.png"}).status,
            0);
  Picture shown, decoded;
  ASSERT_NO_FATAL_FAILURE(Load(dir / "at-0.png", shown));
  ASSERT_NO_FATAL_FAILURE(Load(dir / "d.png", decoded));
  double d[3] = {};  // summed absolute differences: as it is, upside down, red and blue exchanged
  for (int y = 0; y < 720; y++)
    for (int x = 0; x < 1280; x++)
      for (int c = 0; c < 3; c++)
        for (int k = 0; k < 3; k++)
          d[k] += std::abs(shown.At(x, y)[c] - decoded.At(x, k == 1 ? 719 - y : y)[k == 2 ? 2 - c : c]);
  EXPECT_LT(d[0] / (3 * 1280 * 720), 4.0);
  // At t = 0 exactly both tracks give their last values (caption 0 fully shown); just
  // after it, as live, the caption has not faded in.
  int caption = 0;
  for (int y = 616; y < 688; y++)
    for (int x = 512; x < 768; x++) caption = std::max({caption, (int)shown.At(x, y)[0], (int)shown.At(x, y)[1], (int)shown.At(x, y)[2]});
  EXPECT_LT(caption, 140) << "a caption in the first frame";
  EXPECT_GT(d[1], d[0] * 4) << "upside down";
  EXPECT_GT(d[2], d[0] * 4) << "red and blue exchanged";
}

TEST(Bench, EveryJsonLineParsesAndHoldsEveryRow) {
  // Python's json module reads each line; it prints each row's kind, name and number keys.
  TempDir dir;
  const std::string parse = "import json, sys\nfor line in open(sys.argv[1], encoding='utf-8'):\n  o = json.loads(line)\n"
      "  print(o['bench'], o.get('name', o.get('phase', o.get('gl_version'))), '|',\n"
      "        ' '.join(k for k, v in o.items() if type(v) in (int, float)))\n";
  Result r = RunProgram({"/bin/sh", "-c", kBin + "/demo-bench --frames 6 --warmup 2 --json > " + dir / "b.json" +
                                              " && python3 -c \"$0\" " + dir / "b.json", parse});
  ASSERT_EQ(r.status, 0) << r.output;
  for (const char* row : {"machine OpenGL ES ", "startup first frame, presented | ms", "startup total | ms",
                          "frame floor.carousel_texture | frame_median_ms", "frame floor.scroller_texture |",
                          "x_geometry_floor x_texture_floor submit_median_ms", "recording recording.carousel | fps",
                          "recording recording.scroller | fps x_real_time_at_60_fps"})
    EXPECT_NE(r.output.find(row), std::string::npos) << row << "\n" << r.output;
}

TEST(Bench, BoardEstimatesCountHelperLanesAndDivideByTheBoardsThroughput) {
  // One instruction per fragment, no vertex work: each part's time is then its lanes over
  // the board's QPUs x 4 lanes x clock. The backdrop's one-line bands pay every 2x2 quad
  // twice; the covers are large quads, the present pass exactly its fit rectangle.
  TempDir dir;
  std::string counts;
  for (const char* driver : {"vc4", "v3d"})
    for (const char* p : {"coverflow", "coverflow_text", "font", "ouch", "present"})
      counts += std::string(driver) + " " + p + " FRAGMENT 1 2 0 1\n";
  std::ofstream(dir / "counts.txt") << counts;
  const std::string check =
      "import json, sys\nrows = [json.loads(l) for l in open(sys.argv[1])]\n"
      "work = {r['program']: r for r in rows if r['bench'] == 'work'}\n"
      "board = {(r['board'], r['part']): r for r in rows if r['bench'] == 'board'}\n"
      "assert 1.98 < work['ouch']['lanes_per_fragment'] < 2.02, work['ouch']\n"
      "assert 1.0 <= work['coverflow']['lanes_per_fragment'] < 1.05, work['coverflow']\n"
      "assert 0.9 * 921600 < work['ouch']['fragments'] < 921600, work['ouch']\n"
      "assert abs(board[('Pi 3', 'present 1920x1080')]['median_ms'] - 1920 * 1080 / 14.4e6) < 1e-3\n"
      "assert abs(board[('Pi 4', 'present 3840x2160')]['median_ms'] - 3840 * 2160 / 16e6) < 1e-3\n"
      "s = board[('Pi 4', 'scroller')]['median_ms'] * 16e6\n"
      "assert abs(s - work['ouch']['fragments'] * 2 - work['font']['fragments'] * work['font']['lanes_per_fragment']) < 0.02 * s, s\n"
      "print('ok')\n";
  Result r = RunProgram({"/bin/sh", "-c", kBin + "/demo-bench --boards --frames 3 --json --counts " + dir / "counts.txt" +
                                              " > " + dir / "b.json" + " && python3 -c \"$0\" " + dir / "b.json", check});
  ASSERT_EQ(r.status, 0) << r.output;
}
