// The show's sound through a real sound server: PulseAudio with a null sink, recorded from
// the sink's monitor and compared sample by sample with demo-capture's mix of the same
// stretch; then the server killed while the show plays, which must still end with its
// module. Skipped, with a message, where PulseAudio is not installed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "process.h"
#include "scratch_data.h"
#include "square_mod.h"

static const std::string kBin = DGL_BINARY_DIR;

static bool Installed(const char* program) {
  return system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
}

static std::vector<int16_t> Samples(const std::string& path, size_t skip_bytes) {
  std::ifstream f(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(f)), {});
  std::vector<int16_t> s(bytes.size() > skip_bytes ? (bytes.size() - skip_bytes) / 2 : 0);
  if (!s.empty()) memcpy(s.data(), bytes.data() + skip_bytes, s.size() * 2);
  return s;
}

// A PulseAudio server of the test's own (runtime folder, socket and cookie in a temporary
// folder) with one null sink, "show", at the show's 44100 Hz, and programs started with
// its address.
struct SoundServer {
  std::string dir;
  Child daemon;

  bool Start() {
    char tmpl[] = "/tmp/dgl-pulse-XXXXXX";
    dir = mkdtemp(tmpl);
    if (!Spawn(daemon, {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                        "--system=no", "-L", "module-null-sink sink_name=show rate=44100 channels=2", "-L",
                        "module-native-protocol-unix auth-anonymous=1 socket=" + dir + "/native"}))
      return false;
    // Ready once a client's request is answered.
    for (double end = NowSeconds() + 30; NowSeconds() < end; usleep(50000))
      if (Run("pactl info") == 0) return true;
    return false;
  }
  std::vector<std::string> Env(std::vector<std::string> more = {}) const {
    more.insert(more.end(), {"PULSE_RUNTIME_PATH=" + dir, "PULSE_SERVER=unix:" + dir + "/native", "HOME=" + dir,
                             "XDG_RUNTIME_DIR=" + dir, "PULSE_COOKIE=" + dir + "/cookie"});
    return more;
  }
  // Started without a terminal, input /dev/null, as a service would be.
  bool Spawn(Child& child, const std::vector<std::string>& argv, std::vector<std::string> env = {}) const {
    const int null_fd = open("/dev/null", O_RDONLY);
    const bool ok = child.StartWithoutTerminal(argv, null_fd, Env(env));
    close(null_fd);
    return ok;
  }
  int Run(const std::string& command) const {
    Child c;
    return Spawn(c, {"sh", "-c", command + " >/dev/null 2>&1"}) ? c.Wait(30) : -1;
  }
  ~SoundServer() {
    if (daemon.pid > 0) kill(daemon.pid, SIGKILL), daemon.Wait(10);
    if (!dir.empty()) (void)system(("rm -rf '" + dir + "'").c_str());
  }
};

#define SKIP_WITHOUT_PULSEAUDIO()                                             \
  if (!Installed("pulseaudio") || !Installed("parec") || !Installed("pactl")) \
  GTEST_SKIP() << "PulseAudio is not installed (pulseaudio, pulseaudio-utils; scripts/deps.sh installs them)"

// How much of the recording follows the mix.
struct Walk {
  size_t matched = 0, gaps = 0, gap_samples = 0, mismatch_at = SIZE_MAX;
};

// Follows `heard` along `mix`: equal samples in order; where the player fell behind (a busy
// machine) the server played silence, a run of zeros inserted into the stream: counted as a
// gap and skipped, never anything else. Stops at the first sample that is neither.
static Walk Follow(const std::vector<int16_t>& heard, const std::vector<int16_t>& mix) {
  Walk w;
  size_t h = 0, m = 0;
  while (h + 1 < heard.size() && !heard[h] && !heard[h + 1]) h += 2;
  while (m + 1 < mix.size() && !mix[m] && !mix[m + 1]) m += 2;
  while (h < heard.size() && m < mix.size()) {
    if (heard[h] == mix[m]) {
      h++, m++, w.matched++;
      continue;
    }
    size_t zeros = 0;
    while (h + zeros < heard.size() && !heard[h + zeros]) zeros++;
    if (!zeros) {
      w.mismatch_at = m;
      break;
    }
    w.gaps++, w.gap_samples += zeros, h += zeros;
  }
  return w;
}

// The scroller sequence played through the server: every sample that reached the sink is
// capture's, in capture's order, for at least eight seconds.
TEST(SoundServer, TheSinkGetsCapturesMixSampleForSample) {
  SKIP_WITHOUT_PULSEAUDIO();
  SoundServer pulse;
  ASSERT_TRUE(pulse.Start()) << pulse.daemon.output;
  const std::string heard_path = pulse.dir + "/heard.raw", mix_path = pulse.dir + "/mix.wav";
  Child recorder, demo;
  ASSERT_TRUE(pulse.Spawn(recorder, {"sh", "-c", "exec parec --device=show.monitor --raw --format=s16le --rate=44100 "
                                                 "--channels=2 --latency-msec=20 >'" + heard_path + "'"}));
  // SDL's own choice of driver, as on a desktop: the server's.
  ASSERT_TRUE(pulse.Spawn(demo, {kBin + "/demo", "skip"}, {"DGL_PLATFORM=headless", "SDL_AUDIODRIVER="}));
  // Until eight seconds of the show have reached the sink.
  const size_t wanted = 8 * 44100 * 2;
  size_t heard_from_first = 0;
  for (double end = NowSeconds() + 120; heard_from_first < wanted && NowSeconds() < end && demo.Wait(0) == -1; usleep(100000)) {
    const std::vector<int16_t> heard = Samples(heard_path, 0);
    size_t first = 0;
    while (first < heard.size() && !heard[first]) first++;
    heard_from_first = heard.size() - first;
  }
  ASSERT_GE(heard_from_first, wanted) << "the sink heard too little of the show\n" << demo.output;
  kill(demo.pid, SIGTERM);
  EXPECT_EQ(demo.Wait(30), 0) << demo.output;
  kill(recorder.pid, SIGTERM), recorder.Wait(30);

  Child capture;
  ASSERT_TRUE(pulse.Spawn(capture, {kBin + "/demo-capture", "--skip-carousel", "--wav", mix_path, "--to", "60"}));
  ASSERT_EQ(capture.Wait(120), 0) << capture.output;
  const Walk w = Follow(Samples(heard_path, 0), Samples(mix_path, 44));
  printf("sound server: %zu samples (%.2f s) as captured, %zu gap(s) of silence (%.3f s in all)\n", w.matched,
         w.matched / 88200.0, w.gaps, w.gap_samples / 88200.0);
  EXPECT_GE(w.matched, wanted - 88200) << "a sample differs from capture's at " << w.mismatch_at;
  EXPECT_EQ(w.mismatch_at, SIZE_MAX) << "heard differs from capture's mix at sample " << w.mismatch_at;
}

// The server killed while the show plays (a desktop session ending, a crash): the show
// carries on without it and ends with its module, status 0, saying once what happened.
TEST(SoundServer, KilledPartWayTheShowStillEndsWithItsModule) {
  SKIP_WITHOUT_PULSEAUDIO();
  SoundServer pulse;
  ASSERT_TRUE(pulse.Start()) << pulse.daemon.output;
  ScratchData data;  // a module of eight seconds in place of the show's
  ASSERT_TRUE(data.LinkAllBut("quorvelt.mod"));
  const std::vector<uint8_t> mod = square_mod(64, 6);
  std::ofstream(data.dir + "/data/quorvelt.mod", std::ios::binary).write((const char*)mod.data(), (std::streamsize)mod.size());
  ASSERT_EQ(system(("cp '" + kBin + "/demo' '" + data.dir + "/demo'").c_str()), 0);
  Child demo;
  ASSERT_TRUE(pulse.Spawn(demo, {data.dir + "/demo", "skip"}, {"DGL_PLATFORM=headless", "SDL_AUDIODRIVER="}));
  // Until the server has the show's stream.
  bool playing = false;
  for (double end = NowSeconds() + 60; !playing && NowSeconds() < end && demo.Wait(0) == -1; usleep(50000))
    playing = pulse.Run("pactl list short sink-inputs | grep -q .") == 0;
  ASSERT_TRUE(playing) << demo.output;
  kill(pulse.daemon.pid, SIGKILL);
  pulse.daemon.Wait(10);
  EXPECT_EQ(demo.Wait(120), 0) << "the show did not end with its module\n" << demo.output;
  EXPECT_NE(demo.output.find("WARNING: the audio device stopped (pulseaudio); the music goes on through "),
            std::string::npos) << demo.output;
}
