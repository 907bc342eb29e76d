// Music playback and the audio stand-in under it, with the real decoders: MP3
// streams, ProTracker modules, the live device (SDL's disk driver, unthrottled)
// and the offline device.
#include <SDL.h>
#include <gtest/gtest.h>
#include <mpg123.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bass.h"
#include "bass_offline.h"
#include "file_io.h"
#include "music.h"
#include "music_fixtures.h"

using namespace music_fixtures;

namespace {

const size_t kToneFrames = 44100;
// 125 BPM: one tick is 882 frames at 44100 Hz.
const size_t kTickFrames = 882;
const int kShortRows = 16, kShortSpeed = 3;
const size_t kShortFrames = kShortRows * kShortSpeed * kTickFrames;
const DWORD kModuleFlags =
    BASS_MUSIC_NONINTER | BASS_MUSIC_PT1MOD | BASS_MUSIC_RAMP | BASS_SAMPLE_MONO;

// The files every test reads, written once per process under <dir>/data/.
struct Files {
  std::string dir;
  std::vector<int16_t> tone;
  std::vector<uint8_t> tone_mp3;
  std::string path(const std::string& name) const { return dir + "/data/" + name; }
};

const Files& files() {
  static Files* f = [] {
    Files* f = new Files;
    f->dir = make_temp_dir();
    std::filesystem::create_directories(f->dir + "/data");
    f->tone = sine(kToneFrames, 441.0, 12000.0);
    f->tone_mp3 = encode_mp3(f->tone, true);
    write_file(f->path("coverflow.mp3"), f->tone_mp3);
    write_file(f->path("short.mod"), write_mod(square_song(kShortRows, kShortSpeed)));
    // Long enough that it is still playing when a test looks, even unthrottled.
    write_file(f->path("quorvelt.mod"), write_mod(square_song(64, 31)));
    for (int v = 0; v < 3; v++)
      write_file(f->path("lookalike" + std::to_string(v) + ".mod"), write_mod(lookalike_song(v)));
    write_file(f->path("notes.txt"),
               std::vector<uint8_t>{'n', 'o', 't', ' ', 'm', 'u', 's', 'i', 'c', '\n'});
    static pid_t owner = getpid();
    // Forked children exit too; only the process that made the files removes them.
    atexit([] {
      if (getpid() == owner) std::filesystem::remove_all(files().dir);
    });
    return f;
  }();
  return *f;
}

// The live device writes to nowhere, as fast as the mix is made.
void use_disk_driver() {
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIODELAY", "0", 1);
  setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
}

// Polls until `done` holds; false if it has not within a minute.
bool eventually(const std::function<bool()>& done) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::vector<int16_t> render(size_t frames) {
  std::vector<int16_t> out(frames * 2, 0x5555);
  EXPECT_EQ(BASSX_Render(out.data(), (DWORD)frames), (DWORD)frames);
  return out;
}

// Frames rendered one at a time until the channel stops.
size_t frames_until_stopped(DWORD h, size_t limit) {
  short frame[2];
  size_t n = 0;
  while (BASS_ChannelIsActive(h) && n < limit) {
    BASSX_Render(frame, 1);
    n++;
  }
  return n;
}

class Audio : public testing::Test {
 protected:
  void SetUp() override {
    use_disk_driver();
    BASSX_SetOffline(FALSE);
    _dglSetExecutableDirectory(files().dir.c_str());
  }
  void TearDown() override {
    BASS_Free();
    BASSX_SetOffline(FALSE);
    bass_initialized = 0;
    chan = 0;
  }
  void init_offline() {
    BASSX_SetOffline(TRUE);
    ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  }
  HSTREAM stream(const std::string& name, DWORD flags = BASS_SAMPLE_LOOP) {
    return BASS_StreamCreateFile(FALSE, files().path(name).c_str(), 0, 0, flags);
  }
  HMUSIC module(const std::string& name, DWORD flags = kModuleFlags) {
    return BASS_MusicLoad(FALSE, files().path(name).c_str(), 0, 0, flags, 1);
  }
};

using StreamLoader = Audio;
using ModuleLoader = Audio;
using AudioDevice = Audio;
using Music = Audio;

// --- streams ------------------------------------------------------------------

TEST_F(StreamLoader, Mp3LoopsSeamlesslyWithEqualPasses) {
  init_offline();
  HSTREAM h = stream("coverflow.mp3");
  ASSERT_NE(h, 0u);
  EXPECT_EQ(BASS_ChannelIsActive(h), (DWORD)BASS_ACTIVE_STOPPED) << "not started yet";
  ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
  std::vector<int16_t> out = render(kToneFrames * 5 / 2);

  QWORD passes[4] = {};
  ASSERT_EQ(BASSX_ChannelGetPasses(h, passes, 4), 2u);
  // The Info tag's delay and padding give back exactly the frames encoded.
  EXPECT_EQ(passes[0], (QWORD)kToneFrames);
  EXPECT_EQ(passes[1], (QWORD)kToneFrames);
  EXPECT_EQ(BASS_ChannelIsActive(h), (DWORD)BASS_ACTIVE_PLAYING);

  // Every pass is the same audio, joined without a gap or a repeat.
  size_t mismatches = 0;
  for (size_t i = 0; i < kToneFrames * 3; i++) mismatches += out[i] != out[i + kToneFrames * 2];
  EXPECT_EQ(mismatches, 0u);

  // And it is the tone, in time: the decoder's delay has been removed.
  double signal = 0, noise = 0;
  for (size_t i = 0; i < kToneFrames * 2; i++) {
    signal += (double)files().tone[i] * files().tone[i];
    noise += ((double)out[i] - files().tone[i]) * ((double)out[i] - files().tone[i]);
  }
  EXPECT_GT(10 * std::log10(signal / noise), 20.0);
}

TEST_F(StreamLoader, OneShotStreamStopsAtItsLastFrame) {
  init_offline();
  HSTREAM h = stream("coverflow.mp3", 0);
  ASSERT_NE(h, 0u);
  BASS_ChannelPlay(h, FALSE);
  render(kToneFrames - 1);
  EXPECT_NE(BASS_ChannelIsActive(h), 0u);
  render(1);
  EXPECT_EQ(BASS_ChannelIsActive(h), 0u);
  EXPECT_EQ(BASSX_ChannelGetPasses(h, nullptr, 0), 0u);
  std::vector<int16_t> after = render(500);
  EXPECT_EQ(std::count(after.begin(), after.end(), 0), (long)after.size())
      << "silence after the end";
}

TEST_F(StreamLoader, FirstFrameMustFollowTheTagsAndFramesMustChain) {
  init_offline();
  const std::vector<uint8_t>& tagged = files().tone_mp3;
  std::vector<uint8_t> bare = encode_mp3(sine(4410, 1000.0, 8000.0), false);
  auto accepts = [](const std::vector<uint8_t>& bytes) {
    HSTREAM h = BASS_StreamCreateFile(TRUE, bytes.data(), 0, bytes.size(), 0);
    return h != 0;
  };
  EXPECT_TRUE(accepts(tagged));
  EXPECT_TRUE(accepts(bare));

  std::vector<uint8_t> two_tags = id3v2_tag(10);
  two_tags.insert(two_tags.end(), tagged.begin(), tagged.end());
  EXPECT_TRUE(accepts(two_tags)) << "tags one after another";

  std::vector<uint8_t> junk_first = {0x00};
  junk_first.insert(junk_first.end(), bare.begin(), bare.end());
  EXPECT_FALSE(accepts(junk_first)) << "a byte before the first frame";

  std::vector<uint8_t> gap_after_tag = id3v2_tag(0);
  gap_after_tag.push_back(0x20);
  gap_after_tag.insert(gap_after_tag.end(), bare.begin(), bare.end());
  EXPECT_FALSE(accepts(gap_after_tag)) << "a byte between the tag and the first frame";

  // 128 kbit/s at 44100 Hz: 417 bytes a frame, one more when padded.
  size_t second = 417 + ((bare[2] >> 1) & 1);
  ASSERT_EQ(bare[second], 0xFF);
  std::vector<uint8_t> broken_chain = bare;
  broken_chain[second + 1] = 0x00;  // the second frame's sync is gone
  EXPECT_FALSE(accepts(broken_chain)) << "frames that do not follow one another";

  std::vector<uint8_t> cut(bare.begin(), bare.begin() + 300);
  EXPECT_FALSE(accepts(cut)) << "cut inside the first frame";

  std::vector<uint8_t> text = {'h', 'e', 'l', 'l', 'o'};
  EXPECT_FALSE(accepts(text));
  EXPECT_EQ(stream("notes.txt"), 0u);
  EXPECT_EQ(stream("no-such-file.mp3"), 0u);
  EXPECT_EQ(BASS_StreamCreateFile(FALSE, nullptr, 0, 0, 0), 0u);
}

// What a resynchronising MPEG decoder makes of a file.
size_t frames_mpg123_decodes(const std::string& path) {
  mpg123_handle* mh = mpg123_new(nullptr, nullptr);
  mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
  size_t total = 0;
  if (mpg123_open(mh, path.c_str()) == MPG123_OK) {
    unsigned char buf[16384];
    size_t done = 0;
    for (int i = 0; i < 1000; i++) {
      int r = mpg123_read(mh, buf, sizeof(buf), &done);
      total += done;
      if (r != MPG123_OK && r != MPG123_NEW_FORMAT) break;
    }
    mpg123_close(mh);
  }
  mpg123_delete(mh);
  return total;
}

TEST_F(StreamLoader, ModulesHoldingMpegLookalikesAreRefused) {
  init_offline();
  for (int v = 0; v < 3; v++) {
    std::string name = "lookalike" + std::to_string(v) + ".mod";
    SCOPED_TRACE(name);
    // The runs are convincing: mpg123 on its own takes them for audio.
    EXPECT_GT(frames_mpg123_decodes(files().path(name)), 0u);
    EXPECT_EQ(stream(name), 0u);
    EXPECT_NE(module(name), 0u);
  }
  EXPECT_EQ(stream("short.mod"), 0u);
}

// --- modules ------------------------------------------------------------------

TEST_F(ModuleLoader, PlaysOnceAndStopsAtItsEnd) {
  init_offline();
  HMUSIC h = module("short.mod");
  ASSERT_NE(h, 0u);
  EXPECT_EQ(BASS_ChannelIsActive(h), 0u) << "not started yet";
  BASS_ChannelPlay(h, FALSE);
  EXPECT_EQ(BASS_ChannelIsActive(h), (DWORD)BASS_ACTIVE_PLAYING);
  // 16 rows of 3 ticks, and not a frame more: it is not looped.
  EXPECT_EQ(frames_until_stopped(h, kShortFrames * 3), kShortFrames);
  std::vector<int16_t> after = render(kTickFrames * 10);
  EXPECT_EQ(std::count(after.begin(), after.end(), 0), (long)after.size());
  EXPECT_EQ(BASS_ChannelIsActive(h), 0u);
}

TEST_F(ModuleLoader, OfflineRenderIsTheSameInAnyChunks) {
  init_offline();
  const size_t total = kShortFrames + 5000;
  HMUSIC whole = module("short.mod");
  BASS_ChannelPlay(whole, FALSE);
  std::vector<int16_t> big = render(total);
  EXPECT_EQ(BASS_ChannelIsActive(whole), 0u);
  size_t audible = 0;
  for (size_t i = 0; i < kShortFrames * 2; i++) audible += big[i] != 0;
  EXPECT_GT(audible, kShortFrames) << "the song is heard";
  for (size_t i = kShortFrames * 2; i < total * 2; i++) ASSERT_EQ(big[i], 0) << "frame " << i / 2;
  BASS_Free();

  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  HMUSIC chunked = module("short.mod");
  BASS_ChannelPlay(chunked, FALSE);
  const size_t sizes[] = {1, 3, 1021, 7, 4099, 2047, 2049, 13, 9999};
  std::vector<int16_t> pieces;
  for (size_t done = 0, i = 0; done < total; i++) {
    size_t n = std::min(sizes[i % 9], total - done);
    std::vector<int16_t> piece = render(n);
    pieces.insert(pieces.end(), piece.begin(), piece.end());
    done += n;
    // The state follows what has been rendered, frame for frame.
    EXPECT_EQ(BASS_ChannelIsActive(chunked) != 0, done < kShortFrames) << "after " << done;
  }
  EXPECT_TRUE(pieces == big);
}

size_t distinct_values(const std::vector<int16_t>& out, size_t from, size_t to) {
  std::set<int16_t> values;
  for (size_t i = from * 2; i < to * 2; i++) values.insert(out[i]);
  return values.size();
}

TEST_F(ModuleLoader, SquareWaveIsMixedWithoutInterpolation) {
  init_offline();
  // A square wave at a rate that does not divide the output rate: only
  // interpolation could make values between its two levels.
  HMUSIC h = module("short.mod");
  BASS_ChannelPlay(h, FALSE);
  std::vector<int16_t> out = render(kShortFrames);
  size_t steady_from = 4410, steady_to = kShortFrames - 4410;
  EXPECT_LE(distinct_values(out, steady_from, steady_to), 4u);
  // Mono: left and right alike.
  for (size_t i = 0; i < kShortFrames; i++) ASSERT_EQ(out[i * 2], out[i * 2 + 1]);

  // Without the non-interpolation flag the same wave takes many values.
  BASS_Free();
  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  HMUSIC smooth = module("short.mod", kModuleFlags & ~BASS_MUSIC_NONINTER);
  BASS_ChannelPlay(smooth, FALSE);
  EXPECT_GT(distinct_values(render(kShortFrames), steady_from, steady_to), 16u);
}

TEST_F(ModuleLoader, RefusesWhatIsNotAModule) {
  init_offline();
  EXPECT_EQ(module("coverflow.mp3"), 0u);
  EXPECT_EQ(module("notes.txt"), 0u);
  EXPECT_EQ(module("no-such-file.mod"), 0u);
  EXPECT_EQ(BASS_MusicLoad(FALSE, nullptr, 0, 0, kModuleFlags, 1), 0u);
  std::vector<uint8_t> mod = write_mod(square_song(4, 3));
  EXPECT_NE(BASS_MusicLoad(TRUE, mod.data(), 0, (DWORD)mod.size(), kModuleFlags, 1), 0u)
      << "from memory";
}

// --- the device ---------------------------------------------------------------

TEST_F(AudioDevice, NothingWorksBeforeInit) {
  EXPECT_EQ(BASS_GetVersion() >> 16, (DWORD)BASSVERSION);
  EXPECT_EQ(BASS_ChannelIsActive(0), 0u);
  EXPECT_EQ(BASS_ChannelIsActive(12345), 0u);
  EXPECT_EQ(stream("coverflow.mp3"), 0u);
  EXPECT_EQ(module("short.mod"), 0u);
  EXPECT_FALSE(BASS_ChannelPlay(1, FALSE));
  EXPECT_FALSE(BASS_Free());
  short frame[2];
  EXPECT_EQ(BASSX_Render(frame, 1), 0u);
}

TEST_F(AudioDevice, FreeStopsEveryChannelAndHandlesAreNotReused) {
  init_offline();
  EXPECT_FALSE(BASS_Init(-1, 44100, 0, nullptr, nullptr)) << "already open";
  HSTREAM s = stream("coverflow.mp3");
  HMUSIC m = module("short.mod");
  ASSERT_NE(s, 0u);
  ASSERT_NE(m, 0u);
  EXPECT_NE(s, m);
  BASS_ChannelPlay(s, FALSE);
  BASS_ChannelPlay(m, FALSE);
  render(1000);
  EXPECT_NE(BASS_ChannelIsActive(s), 0u);
  EXPECT_NE(BASS_ChannelIsActive(m), 0u);
  EXPECT_TRUE(BASS_Free());
  EXPECT_EQ(BASS_ChannelIsActive(s), 0u);
  EXPECT_EQ(BASS_ChannelIsActive(m), 0u);

  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  HSTREAM again = stream("coverflow.mp3");
  ASSERT_NE(again, 0u);
  EXPECT_NE(again, s);
  EXPECT_NE(again, m);
  BASS_ChannelPlay(again, FALSE);
  EXPECT_EQ(BASS_ChannelIsActive(s), 0u) << "a stale handle reads as stopped";
  EXPECT_FALSE(BASS_ChannelPlay(s, FALSE));
}

TEST_F(AudioDevice, OfflineSilenceWhenNothingPlays) {
  init_offline();
  std::vector<int16_t> out = render(3000);
  EXPECT_EQ(std::count(out.begin(), out.end(), 0), (long)out.size());
  HSTREAM h = stream("coverflow.mp3");
  ASSERT_NE(h, 0u);
  out = render(3000);
  EXPECT_EQ(std::count(out.begin(), out.end(), 0), (long)out.size()) << "loaded, not started";
}

TEST_F(AudioDevice, LiveDeviceMixesOnItsOwnThread) {
  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr)) << SDL_GetError();
  short frame[2];
  EXPECT_EQ(BASSX_Render(frame, 1), 0u) << "a live device is not pulled";
  HSTREAM s = stream("coverflow.mp3");
  HMUSIC m = module("short.mod");
  ASSERT_NE(s, 0u);
  ASSERT_NE(m, 0u);
  BASS_ChannelPlay(s, FALSE);
  BASS_ChannelPlay(m, FALSE);
  EXPECT_TRUE(eventually([&] { return BASSX_ChannelGetPasses(s, nullptr, 0) >= 2; }));
  EXPECT_TRUE(eventually([&] { return BASS_ChannelIsActive(m) == 0; })) << "the module ends";
  QWORD passes[2];
  ASSERT_GE(BASSX_ChannelGetPasses(s, passes, 2), 2u);
  EXPECT_EQ(passes[0], (QWORD)kToneFrames);
  EXPECT_EQ(passes[1], (QWORD)kToneFrames);
  EXPECT_EQ(BASS_ChannelIsActive(s), (DWORD)BASS_ACTIVE_PLAYING) << "the stream goes on";
  EXPECT_TRUE(BASS_Free());
  EXPECT_EQ(BASS_ChannelIsActive(s), 0u);
}

TEST_F(AudioDevice, NamedDriverThatFailsFailsInit) {
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "no fallback when the user chose";
  EXPECT_EQ(stream("coverflow.mp3"), 0u);
  use_disk_driver();
  EXPECT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
}

TEST_F(AudioDevice, WithoutADeviceFallsBackToSilenceWithOneWarning) {
  // No user choice, and no driver that opens: the machine has no sound.
  unsetenv("SDL_AUDIODRIVER");
  SDL_SetHint(SDL_HINT_AUDIODRIVER, "no-such-driver");
  testing::internal::CaptureStderr();
  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  HSTREAM h = stream("coverflow.mp3");
  ASSERT_NE(h, 0u);
  BASS_ChannelPlay(h, FALSE);
  EXPECT_EQ(BASS_ChannelIsActive(h), (DWORD)BASS_ACTIVE_PLAYING);
  BASS_Free();
  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr)) << "and again";
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(err.find("dummy"), std::string::npos) << err;
}

// --- music --------------------------------------------------------------------

TEST_F(Music, NothingPlaysBeforeTheFirstStart) {
  EXPECT_EQ(chan, 0u);
  EXPECT_EQ(bass_initialized, 0);
  EXPECT_EQ(dglIsMusicPlaying(), 0u);
}

TEST_F(Music, Mp3PlaysAsALoopingStream) {
  ASSERT_EQ(dglPlayMusic("coverflow.mp3"), 0);
  EXPECT_EQ(bass_initialized, 1);
  EXPECT_TRUE(eventually([] { return BASSX_ChannelGetPasses(chan, nullptr, 0) >= 2; }));
  EXPECT_NE(dglIsMusicPlaying(), 0u) << "still playing after two passes";
  QWORD passes[2];
  BASSX_ChannelGetPasses(chan, passes, 2);
  EXPECT_EQ(passes[0], passes[1]);
  EXPECT_EQ(passes[0], (QWORD)kToneFrames);
}

TEST_F(Music, ModulePlaysOnceThenStops) {
  for (std::string name : {"short.mod", "lookalike0.mod", "lookalike1.mod", "lookalike2.mod"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(dglPlayMusic(name.c_str()), 0);
    EXPECT_TRUE(eventually([] { return dglIsMusicPlaying() == 0; }));
    EXPECT_EQ(BASSX_ChannelGetPasses(chan, nullptr, 0), 0u);
  }
}

TEST_F(Music, SecondStartStopsTheFirstAtOnce) {
  ASSERT_EQ(dglPlayMusic("quorvelt.mod"), 0);
  uint32_t first = chan;
  EXPECT_NE(dglIsMusicPlaying(), 0u);
  ASSERT_EQ(dglPlayMusic("coverflow.mp3"), 0);
  EXPECT_EQ(BASS_ChannelIsActive(first), 0u);
  EXPECT_NE(chan, first);
  uint32_t second = chan;
  EXPECT_NE(dglIsMusicPlaying(), 0u);
  ASSERT_EQ(dglPlayMusic("coverflow.mp3"), 0);
  EXPECT_EQ(BASS_ChannelIsActive(second), 0u) << "the same piece starts over as a new channel";
  EXPECT_NE(dglIsMusicPlaying(), 0u);
}

TEST_F(Music, MissingFileFailsAfterBothLoaders) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(dglPlayMusic("missing.mp3"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "ERROR: ../source/music.cpp(57): Can't play the file.\n");
  EXPECT_EQ(chan, 0u);
  EXPECT_EQ(bass_initialized, 1) << "the device stays open";
  EXPECT_EQ(dglIsMusicPlaying(), 0u);
  testing::internal::CaptureStdout();
  EXPECT_EQ(dglPlayMusic("notes.txt"), -1) << "neither a stream nor a module";
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Can't play the file."), std::string::npos);
}

TEST_F(Music, FailedDeviceStartLeavesTheDeviceClosed) {
  ASSERT_EQ(dglPlayMusic("coverflow.mp3"), 0);
  uint32_t before = chan;
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(dglPlayMusic("coverflow.mp3"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "ERROR: ../source/music.cpp(40): Can't initialize device.\n");
  EXPECT_EQ(bass_initialized, 0);
  EXPECT_EQ(chan, before) << "the old handle stays";
  EXPECT_EQ(dglIsMusicPlaying(), 0u) << "and reads as stopped";

  // A device that music did not open (it thinks none is) is left alone by the
  // next start: that start cannot open the device and fails.
  use_disk_driver();
  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  HSTREAM other = stream("coverflow.mp3");
  BASS_ChannelPlay(other, FALSE);
  testing::internal::CaptureStdout();
  EXPECT_EQ(dglPlayMusic("coverflow.mp3"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "ERROR: ../source/music.cpp(40): Can't initialize device.\n");
  EXPECT_EQ(BASS_ChannelIsActive(other), (DWORD)BASS_ACTIVE_PLAYING);

  BASS_Free();
  EXPECT_EQ(dglPlayMusic("coverflow.mp3"), 0);
  EXPECT_NE(dglIsMusicPlaying(), 0u);
}

TEST_F(Music, OfflineDeviceFollowsWhatWasRendered) {
  BASSX_SetOffline(TRUE);
  ASSERT_EQ(dglPlayMusic("coverflow.mp3"), 0);
  render(kToneFrames * 3);
  EXPECT_NE(dglIsMusicPlaying(), 0u);
  ASSERT_EQ(dglPlayMusic("short.mod"), 0) << "reopens the offline device";
  render(kShortFrames - 1);
  EXPECT_NE(dglIsMusicPlaying(), 0u);
  render(1);
  EXPECT_EQ(dglIsMusicPlaying(), 0u);
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
