// The show's sound through a real sound server: PulseAudio with a null sink, recorded from
// the sink's monitor and followed along demo-capture's mix of the same stretch
// (tests/sound_walk.py); then the server killed while the show plays, which must still end
// with its module. Skipped, with a message, where PulseAudio is not installed.
#include "fixtures.h"
#include "scratch_data.h"
#include "square_mod.h"

#define SKIP_WITHOUT_PULSEAUDIO() SKIP_WITHOUT("pulseaudio", "parec", "pactl", "python3")

// The scroller sequence played through the server: every sample that reached the sink is
// capture's, in capture's order, for at least eight seconds. Where the player fell behind,
// the server played silence (a gap, reported); nothing may be lost, replayed or wrong.
TEST(SoundServer, TheSinkGetsCapturesMixSampleForSample) {
  SKIP_WITHOUT_PULSEAUDIO();
  SoundServer pulse;
  ASSERT_TRUE(pulse.Start()) << pulse.daemon.output;
  const std::string heard = pulse.dir / "heard.raw", mix = pulse.dir / "mix.wav";
  Child recorder, demo;
  ASSERT_TRUE(pulse.Spawn(recorder, {"sh", "-c", "exec parec --device=show.monitor --raw --format=s16le --rate=44100 "
                                                 "--channels=2 --latency-msec=20 >" + Quote(heard)}));
  // SDL's own choice of driver, as on a desktop: the server's.
  ASSERT_TRUE(pulse.Spawn(demo, {kBin + "/demo", "skip"}, {"DGL_PLATFORM=headless", "SDL_AUDIODRIVER="}));
  // Until eight seconds of the show have reached the sink.
  ASSERT_TRUE(WaitUntil([&] {
    std::ifstream f(heard, std::ios::binary);
    const std::string b((std::istreambuf_iterator<char>(f)), {});
    return b.size() - std::min(b.size(), b.find_first_not_of('\0')) >= 8 * 44100 * 4 || !demo.Running();
  }) && demo.Running()) << "the sink heard too little of the show\n" << demo.output;
  kill(demo.pid, SIGTERM);
  EXPECT_EQ(demo.Wait(), 0) << demo.output;
  recorder.Stop(SIGTERM);
  Child capture;
  ASSERT_TRUE(pulse.Spawn(capture, {kBin + "/demo-capture", "--skip-carousel", "--wav", mix, "--to", "60"}));
  ASSERT_EQ(capture.Wait(), 0) << capture.output;
  int status = -1;
  const std::string walk = Output("python3 " DGL_SOURCE_DIR "/tests/sound_walk.py --min-s 7 " + heard + " " + mix, &status);
  printf("sound server: %s\n", walk.c_str());
  EXPECT_EQ(status, 0) << walk;
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
  ASSERT_TRUE(WaitUntil([&] { return pulse.Run("pactl list short sink-inputs | grep -q .") == 0 || !demo.Running(); }) && demo.Running())
      << demo.output;
  pulse.daemon.Stop();
  EXPECT_EQ(demo.Wait(), 0) << "the show did not end with its module\n" << demo.output;
  EXPECT_NE(demo.output.find("WARNING: the audio device stopped (pulseaudio); the music goes on through "),
            std::string::npos) << demo.output;
}
