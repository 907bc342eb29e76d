// Music playback and the audio stand-in under it, with the real decoders: MP3 streams,
// ProTracker modules, the live device (SDL's disk driver, unthrottled) and the offline one.
#include <SDL.h>
#include <gtest/gtest.h>
#include <mpg123.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "bass.h"
#include "bass_offline.h"
#include "file_io.h"
#include "music.h"
#include "music_fixtures.h"

using namespace music_fixtures;

namespace {

const size_t kToneFrames = 44100;
const size_t kShortFrames = 16 * 3 * 882;  // short.mod: 16 rows of 3 ticks of 882 frames
const std::vector<int16_t> kTone = sine(kToneFrames, 441.0, 12000.0);

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The files every test reads, written once per process under <dir>/data/.
std::string path(const std::string& name) {
  static const std::string dir = [] {
    static std::string tmpl = std::filesystem::temp_directory_path().string() + "/dgl_music_XXXXXX";
    std::filesystem::create_directories(mkdtemp(tmpl.data()) + std::string("/data"));
    auto write = [](const std::string& name, const std::vector<uint8_t>& b) {
      std::ofstream(tmpl + "/data/" + name, std::ios::binary)
          .write((const char*)b.data(), (std::streamsize)b.size());
    };
    write("coverflow.mp3", cat(id3v2_tag(64), encode_mp3(kTone)));
    write("short.mod", square_mod(16, 3));
    write("quorvelt.mod", square_mod(64, 31));  // still playing when a test looks, even unthrottled
    for (int v = 0; v < 3; v++) write("lookalike" + std::to_string(v) + ".mod", lookalike_mod(v));
    write("notes.txt", {'n', 'o', 't', ' ', 'm', 'u', 's', 'i', 'c', '\n'});
    static pid_t owner = getpid();  // forked children exit too; only the owner cleans up
    atexit([] { if (getpid() == owner) std::filesystem::remove_all(tmpl); });
    return tmpl;
  }();
  return name.empty() ? dir : dir + "/data/" + name;
}

// The live device writes to nowhere, as fast as the mix is made.
void use_disk_driver() {
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIODELAY", "0", 1);
  setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
}

// Polls until `done` holds; false if it has not within a minute.
template <class F> bool eventually(F done) {
  for (int i = 0; i < 60000 && !done(); i++) usleep(1000);
  return done();
}

std::vector<int16_t> render(size_t frames) {
  std::vector<int16_t> out(frames * 2, 0x5555);
  EXPECT_EQ(BASSX_Render(out.data(), (DWORD)frames), (DWORD)frames);
  return out;
}

// dglPlayMusic's result and whether it logged `message`.
testing::AssertionResult fails_logging(const char* name, const std::string& message) {
  testing::internal::CaptureStdout();
  int rc = dglPlayMusic(name);
  std::string log = testing::internal::GetCapturedStdout();
  if (rc == -1 && log.find(message) != std::string::npos) return testing::AssertionSuccess();
  return testing::AssertionFailure() << name << ": returned " << rc << ", logged \"" << log << "\"";
}

class Audio : public testing::Test {
 protected:
  void SetUp() override {
    use_disk_driver();
    BASSX_SetOffline(FALSE);
    _dglSetExecutableDirectory(path("").c_str());
  }
  void TearDown() override {
    BASS_Free();
    BASSX_SetOffline(FALSE);
    bass_initialized = 0;
    chan = 0;
  }
};
using StreamLoader = Audio;
using AudioDevice = Audio;
using Music = Audio;

TEST_F(StreamLoader, FirstFrameMustFollowTheTagsAndFramesMustChain) {
  BASSX_SetOffline(TRUE);
  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  std::vector<uint8_t> bare = encode_mp3(sine(4410, 1000.0, 8000.0)), unchained = bare;
  size_t second = 417 + ((bare[2] >> 1) & 1);  // 128 kbit/s at 44100 Hz, plus the padding bit
  ASSERT_EQ(bare[second], 0xFF);
  unchained[second + 1] = 0x00;
  const struct {
    std::string what;
    std::vector<uint8_t> bytes;
    bool accepted;
  } cases[] = {
      {"bare frames", bare, true},
      {"after a tag", cat(id3v2_tag(64), bare), true},
      {"tags one after another", cat(id3v2_tag(10), cat(id3v2_tag(64), bare)), true},
      {"a byte before the first frame", cat({0x00}, bare), false},
      {"a byte between the tag and the first frame", cat(cat(id3v2_tag(0), {0x20}), bare), false},
      {"the second frame's sync gone", unchained, false},
      {"cut inside the first frame", {bare.begin(), bare.begin() + 300}, false},
      {"text", {'h', 'e', 'l', 'l', 'o'}, false},
      {"a module", square_mod(16, 3), false},
      {"lookalike0.mod", lookalike_mod(0), false},
      {"lookalike1.mod", lookalike_mod(1), false},
      {"lookalike2.mod", lookalike_mod(2), false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(BASS_StreamCreateFile(TRUE, c.bytes.data(), 0, c.bytes.size(), 0) != 0, c.accepted) << c.what;
  // The look-alike runs are convincing: a resynchronising decoder takes them for audio.
  for (const char* name : {"lookalike0.mod", "lookalike1.mod", "lookalike2.mod"}) {
    mpg123_handle* mh = mpg123_new(nullptr, nullptr);
    mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    unsigned char buf[16384];
    size_t decoded = 0;
    ASSERT_EQ(mpg123_open(mh, path(name).c_str()), MPG123_OK);
    while (mpg123_read(mh, buf, sizeof(buf), &decoded) == MPG123_NEW_FORMAT && decoded == 0) {
    }
    EXPECT_GT(decoded, 0u) << name;
    mpg123_delete(mh);
  }
}

TEST_F(AudioDevice, OnlyAnUnchosenDriverFallsBackToDummyWithOneWarning) {
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(BASS_Init(-1, 44100, 0, nullptr, nullptr)) << "the user's choice fails";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  unsetenv("SDL_AUDIODRIVER");  // no choice, and no driver that opens
  SDL_SetHint(SDL_HINT_AUDIODRIVER, "no-such-driver");
  testing::internal::CaptureStderr();
  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  HSTREAM h = BASS_StreamCreateFile(FALSE, path("coverflow.mp3").c_str(), 0, 0, 0);
  ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
  EXPECT_EQ(BASS_ChannelIsActive(h), (DWORD)BASS_ACTIVE_PLAYING);
  BASS_Free();
  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr)) << "and again";
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(err.find("dummy"), std::string::npos) << err;
}

TEST_F(Music, Mp3LoopsSeamlesslyWithEqualPasses) {
  BASSX_SetOffline(TRUE);
  ASSERT_EQ(dglPlayMusic("coverflow.mp3"), 0);
  std::vector<int16_t> out = render(kToneFrames * 5 / 2);
  QWORD passes[4] = {};
  ASSERT_EQ(BASSX_ChannelGetPasses(chan, passes, 4), 2u);
  EXPECT_EQ(passes[0], (QWORD)kToneFrames) << "the Info tag's delay and padding are honoured";
  EXPECT_EQ(passes[1], (QWORD)kToneFrames);
  EXPECT_EQ(dglIsMusicPlaying(), (DWORD)BASS_ACTIVE_PLAYING);
  // Every pass is the tone, in time, joined without a gap or a repeat.
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + kToneFrames * 3, out.begin() + kToneFrames * 2));
  double signal = 0, noise = 0;
  for (size_t i = 0; i < kToneFrames * 2; i++)
    signal += std::pow(kTone[i], 2), noise += std::pow(out[i] - kTone[i], 2);
  EXPECT_GT(10 * std::log10(signal / noise), 20.0);
}

TEST_F(Music, ModulePlaysOnceThenStops) {
  for (const char* name : {"short.mod", "lookalike0.mod", "lookalike1.mod", "lookalike2.mod"}) {
    ASSERT_EQ(dglPlayMusic(name), 0) << name;
    EXPECT_TRUE(eventually([] { return dglIsMusicPlaying() == 0; })) << name;
    EXPECT_EQ(BASSX_ChannelGetPasses(chan, nullptr, 0), 0u) << name;
  }
}

// Distinct sample values in short.mod, away from its ends.
size_t levels(const std::vector<int16_t>& out) {
  return std::set<int16_t>(out.begin() + 8820, out.begin() + kShortFrames * 2 - 8820).size();
}

TEST_F(Music, OfflineRenderOfASquareWaveModule) {
  BASSX_SetOffline(TRUE);
  ASSERT_EQ(dglPlayMusic("short.mod"), 0);
  std::vector<int16_t> whole = render(kShortFrames + 5000);
  EXPECT_GT(kShortFrames * 2 - std::count(whole.begin(), whole.begin() + kShortFrames * 2, 0), kShortFrames);
  EXPECT_TRUE(std::all_of(whole.begin() + kShortFrames * 2, whole.end(), [](int16_t s) { return s == 0; }));
  // The square's rate does not divide the output rate: only interpolation makes in-between values.
  EXPECT_LE(levels(whole), 4u);
  for (size_t i = 0; i < kShortFrames; i++) ASSERT_EQ(whole[i * 2], whole[i * 2 + 1]) << "mono";

  ASSERT_EQ(dglPlayMusic("short.mod"), 0) << "reopens the offline device";
  const size_t sizes[] = {1, 3, 1021, 7, 4099, 2047, 2049, 13, 9999};
  size_t done = 0;
  auto step = [&](size_t n) {  // the same samples in any chunks
    EXPECT_TRUE(std::equal(whole.begin() + done * 2, whole.begin() + (done + n) * 2, render(n).begin()));
    done += n;
  };
  for (size_t i = 0; done < kShortFrames - 1; i++) {
    step(std::min(sizes[i % 9], kShortFrames - 1 - done));
    EXPECT_NE(dglIsMusicPlaying(), 0u) << "after " << done;
  }
  step(1);
  EXPECT_EQ(dglIsMusicPlaying(), 0u) << "stopped at its last frame";
  step(5000);

  BASS_Free();
  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  DWORD smooth = BASS_MUSIC_PT1MOD | BASS_MUSIC_RAMP | BASS_SAMPLE_MONO;  // no BASS_MUSIC_NONINTER
  BASS_ChannelPlay(BASS_MusicLoad(FALSE, path("short.mod").c_str(), 0, 0, smooth, 1), FALSE);
  EXPECT_GT(levels(render(kShortFrames)), 16u) << "interpolated, the wave takes many values";
}

TEST_F(Music, MissingFileFailsAfterBothLoaders) {
  for (const char* name : {"missing.mp3", "notes.txt"}) {
    EXPECT_TRUE(fails_logging(name, "Can't play the file."));
    EXPECT_EQ(chan, 0u);
    EXPECT_EQ(bass_initialized, 1) << "the device stays open";
    EXPECT_EQ(dglIsMusicPlaying(), 0u);
  }
}

TEST_F(Music, SecondStartStopsTheFirstAtOnce) {
  uint32_t before = 0;
  for (const char* name : {"quorvelt.mod", "coverflow.mp3", "coverflow.mp3"}) {
    ASSERT_EQ(dglPlayMusic(name), 0);
    EXPECT_NE(dglIsMusicPlaying(), 0u) << name;
    EXPECT_TRUE(before == 0 || BASS_ChannelIsActive(before) == 0) << name;
    EXPECT_NE(chan, before) << "the same piece starts over as a new channel";
    before = chan;
  }
}

TEST_F(Music, FailedDeviceStartLeavesTheDeviceClosed) {
  ASSERT_EQ(dglPlayMusic("coverflow.mp3"), 0);
  uint32_t before = chan;
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  EXPECT_TRUE(fails_logging("coverflow.mp3", "Can't initialize device."));
  EXPECT_EQ(bass_initialized, 0);
  EXPECT_EQ(chan, before) << "the old handle stays";
  EXPECT_EQ(dglIsMusicPlaying(), 0u) << "and reads as stopped";
  // A device that music did not open is left alone: the next start fails.
  use_disk_driver();
  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  HSTREAM other = BASS_StreamCreateFile(FALSE, path("coverflow.mp3").c_str(), 0, 0, 0);
  BASS_ChannelPlay(other, FALSE);
  EXPECT_TRUE(fails_logging("coverflow.mp3", "Can't initialize device."));
  EXPECT_EQ(BASS_ChannelIsActive(other), (DWORD)BASS_ACTIVE_PLAYING);
  BASS_Free();
  EXPECT_EQ(dglPlayMusic("coverflow.mp3"), 0);
  EXPECT_NE(dglIsMusicPlaying(), 0u);
}

}  // namespace

// The live device's thread mixes until the process ends; exit must not pull the
// channels away from under it.
TEST_F(Music, ExitingWhileMusicPlaysIsClean) {
  for (int i = 0; i < 12; i++) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (dglPlayMusic(i % 2 ? "quorvelt.mod" : "short.mod") != 0) _exit(3);
      usleep(1000 * (i % 4));
      exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "run " << i << " status " << status;
  }
}
