// The show's sound through real sound servers, as desktops have them: PulseAudio (also
// through ALSA's pulse plugin, the ALSA path of a console's card), and PipeWire through
// SDL's own pipewire driver and through its pulse server. Each has a null
// sink, recorded from its monitor and followed along demo-capture's mix of the same stretch
// (tests/sound_walk.py); then the server killed while the show plays, which must still end
// with its module. Skipped, with a message, where a server is not installed.
#include "fixtures.h"
#include "scratch_data.h"
#include "square_mod.h"

struct Path {
  const char* server;
  const char* driver;  // SDL_AUDIODRIVER: empty for SDL's own choice, as on a desktop
  const char* lost;    // the driver a lost device is reported on
};
void PrintTo(const Path& p, std::ostream* os) { *os << p.server << " through " << (*p.driver ? p.driver : "SDL's choice"); }
class SoundServers : public testing::TestWithParam<Path> {
 protected:
  void SetUp() override {
    if (std::string(GetParam().server) == "pulseaudio") {
      SKIP_WITHOUT("pulseaudio", "parec", "pactl", "python3");
      if (std::string(GetParam().driver) == "alsa" && Output("ls /usr/lib/*/alsa-lib/libasound_module_pcm_pulse.so 2>/dev/null").empty())
        GTEST_SKIP() << "ALSA's pulse plugin is not installed (libasound2-plugins; scripts/deps.sh installs it)";
    } else {
      SKIP_WITHOUT("pipewire", "wireplumber", "pipewire-pulse", "pw-record", "pw-cli", "pw-metadata", "pactl", "python3");
    }
    ASSERT_TRUE(server.Start()) << server.daemons[0].output << server.daemons[1].output << server.daemons[2].output;
  }
  Args Env(Args more = {}) const {
    more.insert(more.end(), {"DGL_PLATFORM=headless", std::string("SDL_AUDIODRIVER=") + GetParam().driver});
    return more;
  }
  SoundServer server{GetParam().server};
};

// The scroller sequence played through the server: every sample that reached the sink is
// capture's, in capture's order, for at least seven seconds. Where the player fell behind,
// the server played silence (a gap, reported); nothing may be lost, replayed or wrong.
TEST_P(SoundServers, TheSinkGetsCapturesMixSampleForSample) {
  const std::string heard = server.dir / "heard", mix = server.dir / "mix.wav";
  Child recorder, demo;
  ASSERT_TRUE(server.Record(recorder, heard));
  ASSERT_TRUE(server.Spawn(demo, {kBin + "/demo", "skip"}, Env()));
  // Until eight seconds of the show have reached the sink.
  ASSERT_TRUE(WaitUntil([&] {
    std::ifstream f(heard, std::ios::binary);
    const std::string b((std::istreambuf_iterator<char>(f)), {});
    return b.size() - std::min(b.size(), b.find_first_not_of('\0', 44)) >= 8 * 44100 * 4 || !demo.Running();
  }) && demo.Running()) << "the sink heard too little of the show\n" << demo.output;
  kill(demo.pid, SIGTERM);
  EXPECT_EQ(demo.Wait(), 0) << demo.output;
  recorder.Stop(SIGINT);
  Child capture;
  ASSERT_TRUE(server.Spawn(capture, {kBin + "/demo-capture", "--skip-carousel", "--wav", mix, "--to", "60"}));
  ASSERT_EQ(capture.Wait(), 0) << capture.output;
  int status = -1;
  const std::string walk = Output("python3 " DGL_SOURCE_DIR "/tests/sound_walk.py --min-s 7 " + heard + " " + mix, &status);
  printf("%s through SDL's %s driver: %s\n", GetParam().server, *GetParam().driver ? GetParam().driver : "chosen", walk.c_str());
  EXPECT_EQ(status, 0) << walk;
}

// The picture meant for a sound is shown as it is heard: the show says where its clock's
// 0 s lies, the sink's monitor when the first sound was played (both CLOCK_MONOTONIC), and
// demo-capture's mix where that sound lies in the music. Within a 60 Hz frame.
TEST_P(SoundServers, TheFirstSoundIsHeardWithThePictureMeantForIt) {
  Child recorder, demo, capture;
  ASSERT_TRUE(server.Spawn(recorder, {kBin + "/fixture", "first-sound", GetParam().server}));
  ASSERT_TRUE(recorder.WaitFor("recording")) << recorder.output;
  ASSERT_TRUE(server.Spawn(capture, {kBin + "/demo-capture", "--skip-carousel", "--wav", server.dir / "start.wav", "--to", "1"}));
  ASSERT_EQ(capture.Wait(), 0) << capture.output;
  ASSERT_TRUE(server.Spawn(demo, {kBin + "/demo", "skip"}, Env({"DGL_CLOCK_REPORT=1"})));
  ASSERT_TRUE(demo.WaitFor("clock: the scroller's 0 s at ")) << demo.output;
  ASSERT_EQ(recorder.Wait(), 0) << recorder.output;
  kill(demo.pid, SIGTERM);
  EXPECT_EQ(demo.Wait(), 0) << demo.output;
  std::ifstream f(server.dir / "start.wav", std::ios::binary);
  const std::string mix((std::istreambuf_iterator<char>(f)), {});
  const double zero = std::stod(demo.output.substr(demo.output.find("0 s at ") + 7)),
               heard = std::stod(recorder.output.substr(recorder.output.find("first-sound ") + 12)),
               first = (mix.find_first_not_of('\0', 44) - 44) / 4 / 44100.0;
  const double offset_ms = (heard - zero - first) * 1000;
  printf("%s through SDL's %s driver: the first sound heard %.1f ms after the picture meant for it\n", GetParam().server,
         *GetParam().driver ? GetParam().driver : "chosen", offset_ms);
  EXPECT_LE(std::abs(offset_ms), 16.7) << demo.output << recorder.output;
}

// The server killed while the show plays (a desktop session ending, a crash): the show
// carries on without it and ends with its module, status 0, saying once what happened.
TEST_P(SoundServers, KilledPartWayTheShowStillEndsWithItsModule) {
  ScratchData data;  // a module of eight seconds in place of the show's
  ASSERT_TRUE(data.LinkAllBut("quorvelt.mod"));
  const std::vector<uint8_t> mod = square_mod(64, 6);
  std::ofstream(data.dir + "/data/quorvelt.mod", std::ios::binary).write((const char*)mod.data(), (std::streamsize)mod.size());
  ASSERT_EQ(system(("cp '" + kBin + "/demo' '" + data.dir + "/demo'").c_str()), 0);
  Child demo;
  ASSERT_TRUE(server.Spawn(demo, {data.dir + "/demo", "skip"}, Env({"DGL_CLOCK_REPORT=1"})));
  // Until the music is heard: its stream open, not in the making (a server seen to hold
  // the stream may still be answering its opening).
  ASSERT_TRUE(demo.WaitFor("clock: the scroller's 0 s at ")) << demo.output;
  server.Kill();
  EXPECT_EQ(demo.Wait(), 0) << "the show did not end with its module\n" << demo.output;
  EXPECT_NE(demo.output.find(std::string("WARNING: the audio device stopped (") + GetParam().lost + "); the music goes on through "),
            std::string::npos) << demo.output;
}

INSTANTIATE_TEST_SUITE_P(Desktops, SoundServers,
                         testing::Values(Path{"pulseaudio", "", "pulseaudio"}, Path{"pulseaudio", "alsa", "alsa"}, Path{"pipewire", "pipewire", "pipewire"},
                                         Path{"pipewire", "pulseaudio", "pulseaudio"}),
                         [](const testing::TestParamInfo<Path>& p) {
                           return std::string(p.param.server) + (*p.param.driver ? std::string("_") + p.param.driver : "");
                         });
