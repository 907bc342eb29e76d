// Music playback and the audio stand-in under it, with the real decoders: MP3 streams,
// ProTracker modules, the live device (SDL's disk driver, unthrottled) and the offline one.
#include <SDL.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>

#include "audio.h"
#include "bass.h"
#include "bass_offline.h"
#include "file_io.h"
#include "music.h"
#include "square_mod.h"

namespace {

// --- music files made by the test: tones encoded with LAME, small "M.K." modules

// `frames` frames of a sine at `rate` Hz, every channel alike.
std::vector<int16_t> sine(size_t frames, double hz, double amplitude, int rate = 44100, int channels = 2) {
  std::vector<int16_t> out(frames * channels);
  for (size_t i = 0; i < out.size(); i++)
    out[i] = (int16_t)std::lround(amplitude * std::sin(2 * M_PI * hz * (double)(i / channels) / rate));
  return out;
}

// An ID3v2.3 tag holding a title, `padding` zero bytes at its end.
std::vector<uint8_t> id3v2_tag(size_t padding) {
  size_t body = 15 + padding;  // one TIT2 frame, then the padding
  std::vector<uint8_t> tag = {'I', 'D', '3', 3, 0, 0, (uint8_t)((body >> 21) & 0x7F),
                              (uint8_t)((body >> 14) & 0x7F), (uint8_t)((body >> 7) & 0x7F),
                              (uint8_t)(body & 0x7F), 'T', 'I', 'T', '2', 0, 0, 0, 5, 0, 0, 0,
                              'T', 'o', 'n', 'e'};
  tag.resize(tag.size() + padding, 0);
  return tag;
}

// CBR MP3 (MPEG-1, -2 or -2.5 by the rate) by the asset generator's encoder, led by LAME's
// Info tag, whose delay and padding let a gapless decoder give back exactly the frames encoded.
std::vector<uint8_t> encode_mp3(const std::vector<int16_t>& pcm, int rate = 44100, int channels = 2, int kbps = 128) {
  std::vector<uint8_t> mp3;
  std::string error;
  EXPECT_TRUE(encode_mp3_pcm(pcm, rate, channels, kbps, 5, mp3, &error)) << error;
  return mp3;
}

// --- the tests

const size_t kToneFrames = 44100;
const size_t kShortFrames = 16 * 3 * 882;  // short.mod: 16 rows of 3 ticks of 882 frames
const std::vector<int16_t> kTone = sine(kToneFrames, 441.0, 12000.0);

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) { return a.insert(a.end(), b.begin(), b.end()), a; }

// The files every test reads, written once per process under <dir>/data/.
std::string path(const std::string& name) {
  static const std::string dir = [] {
    static std::string tmpl = std::filesystem::temp_directory_path().string() + "/dgl_music_XXXXXX";
    std::filesystem::create_directories(mkdtemp(tmpl.data()) + std::string("/data"));
    auto write = [](const std::string& name, const std::vector<uint8_t>& b) {
      std::ofstream(tmpl + "/data/" + name, std::ios::binary).write((const char*)b.data(), b.size());
    };
    write("coverflow.mp3", cat(id3v2_tag(64), encode_mp3(kTone)));
    write("short.mod", square_mod(16, 3));
    write("quorvelt.mod", square_mod(64, 31));  // still playing when a test looks, even unthrottled
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

struct Audio : testing::Test {
  void SetUp() override { use_disk_driver(), BASSX_SetOffline(FALSE), _dglSetExecutableDirectory(path("").c_str()); }
  void TearDown() override { BASS_Free(), BASSX_SetOffline(FALSE), bass_initialized = 0, chan = 0; }
};
using StreamLoader = Audio;
using AudioDevice = Audio;
using Music = Audio;

// Frame `k` of a 128 kbit/s 44100 Hz stream (417 bytes, or 418 with the padding bit) made
// to start with `header` and to be `length` bytes long, so that the chain goes on.
std::vector<uint8_t> reframed(std::vector<uint8_t> f, int k, std::vector<uint8_t> header, size_t length) {
  size_t at = 0;
  for (int i = 0; i < k; i++) at += 417 + ((f[at + 2] >> 1) & 1);
  size_t old = 417 + ((f[at + 2] >> 1) & 1);
  header.push_back(f[at + 3]);
  f.erase(f.begin() + at, f.begin() + at + old);
  std::vector<uint8_t> frame(length, 0);
  std::copy(header.begin(), header.end(), frame.begin());
  f.insert(f.begin() + at, frame.begin(), frame.end());
  return f;
}

TEST_F(StreamLoader, FirstFrameMustFollowTheTagsAndSixteenFramesMustChainAndAgree) {
  BASSX_SetOffline(TRUE);
  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  const std::vector<uint8_t> bare = encode_mp3(sine(44100, 1000.0, 8000.0));
  auto unsynced = [&](int k) { return reframed(bare, k, {0x00, 0x00, 0x00}, 417); };
  const struct { std::string what; std::vector<uint8_t> bytes; bool accepted; } cases[] = {
      {"bare frames", bare, true},
      {"after a tag", cat(id3v2_tag(64), bare), true},
      {"tags one after another", cat(id3v2_tag(10), cat(id3v2_tag(64), bare)), true},
      {"a byte before the first frame", cat({0x00}, bare), false},
      {"a byte between the tag and the first frame", cat(cat(id3v2_tag(0), {0x20}), bare), false},
      {"cut inside the first frame", {bare.begin(), bare.begin() + 300}, false},
      // Valid for fewer than 16 frames, then something else.
      {"frame 2 unsynced", unsynced(1), false},        {"frame 9 unsynced", unsynced(8), false},
      {"frame 16 unsynced", unsynced(15), false},      {"frame 17 unsynced", unsynced(16), true},
      // Frames that chain but change what the stream is part-way.
      {"frame 6 at 48000 Hz", reframed(bare, 5, {0xFF, 0xFB, 0x94}, 384), false},
      {"frame 6 MPEG-2", reframed(bare, 5, {0xFF, 0xF3, 0xC0}, 417), false},
      {"frame 6 layer II", reframed(bare, 5, {0xFF, 0xFD, 0x80}, 417), false},
      {"frame 6 remade as it was", reframed(bare, 5, {0xFF, 0xFB, 0x90}, 417), true},
      {"text", {'h', 'e', 'l', 'l', 'o'}, false},      {"a module", square_mod(16, 3), false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(BASS_StreamCreateFile(TRUE, c.bytes.data(), 0, c.bytes.size(), 0) != 0, c.accepted) << c.what;
}

// Files at every MPEG rate, mono and stereo, play once at their true pitch and length on
// the 44100 Hz output: a 1 s tone is 1 s of 441 Hz there.
TEST_F(StreamLoader, EveryRatePlaysAtItsPitchAndLength) {
  BASSX_SetOffline(TRUE);
  const int rates[][3] = {{48000, 2, 128}, {32000, 1, 96}, {22050, 2, 64}, {24000, 1, 64},
                          {16000, 1, 48}, {11025, 2, 32}, {8000, 1, 24}, {44100, 1, 96}};
  for (const auto& r : rates) {
    SCOPED_TRACE(std::to_string(r[0]) + " Hz, " + std::to_string(r[1]) + " channel(s)");
    std::vector<uint8_t> mp3 = encode_mp3(sine(r[0], 441.0, 12000.0, r[0], r[1]), r[0], r[1], r[2]);
    ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
    HSTREAM h = BASS_StreamCreateFile(TRUE, mp3.data(), 0, mp3.size(), 0);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    std::vector<int16_t> out = render(2 * 44100);
    EXPECT_EQ(BASS_ChannelIsActive(h), (DWORD)BASS_ACTIVE_STOPPED);
    size_t last = 0, rises = 0;
    for (size_t i = 0; i < out.size() / 2; i++) {
      if (std::abs(out[i * 2]) > 200) last = i;
      if (i > 0 && i < 44100 && out[i * 2 - 2] < 0 && out[i * 2] >= 0) rises++;
    }
    EXPECT_NEAR((double)last, 44100.0, 150.0) << "the tone's length in output frames";
    EXPECT_NEAR((double)rises, 441.0, 4.0) << "cycles in the first second";
    BASS_Free();
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
  HSTREAM h = BASS_StreamCreateFile(FALSE, path("coverflow.mp3").c_str(), 0, 0, BASS_SAMPLE_LOOP);
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

// The live device, mixed ahead by the update thread through a playback buffer shorter than
// the piece (so the buffer wraps), plays exactly the offline mix, once; the module reads as
// playing until the device has taken its last frame. SDL's disk driver at its real-time
// pace writes what the device got.
TEST_F(Music, TheLiveDevicePlaysTheOfflineMixOnceThenStops) {
  BASSX_SetOffline(TRUE);
  ASSERT_EQ(dglPlayMusic("short.mod"), 0);
  const std::vector<int16_t> mix = render(kShortFrames);
  BASSX_SetOffline(FALSE);
  const std::string played = path("") + "/played.raw";
  setenv("SDL_DISKAUDIOFILE", played.c_str(), 1);
  unsetenv("SDL_DISKAUDIODELAY");
  BASS_SetConfig(BASS_CONFIG_BUFFER, 300);
  ASSERT_EQ(dglPlayMusic("short.mod"), 0);
  EXPECT_TRUE(eventually([] { return dglIsMusicPlaying() == 0; }));
  // SDL's disk driver writes what the device took after each call: at the stop all but the
  // last call's 4096 frames are in the file, and then the rest (both from their first sound).
  const size_t at_stop = std::filesystem::file_size(played);
  const std::string mixed((const char*)mix.data(), mix.size() * 2);
  const size_t sound = mixed.find_first_not_of('\0') / 4 * 4;
  std::string bytes;
  size_t first = 0;
  eventually([&] {
    std::ifstream f(played, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(f), {});
    first = std::min(bytes.size(), bytes.find_first_not_of('\0')) / 4 * 4;
    return bytes.size() - first >= mixed.size() - sound;
  });
  ASSERT_GE(bytes.size() - first, mixed.size() - sound) << "the device stopped before the module's end";
  EXPECT_GE(at_stop - first + 4096 * 4, mixed.size() - sound) << "reported stopped before the device had the module's end";
  EXPECT_TRUE(bytes.compare(first, mixed.size() - sound, mixed, sound) == 0) << "the device got another mix";
  EXPECT_EQ(BASSX_ChannelGetPasses(chan, nullptr, 0), 0u);
  BASS_SetConfig(BASS_CONFIG_BUFFER, 500);
}

// Where the mix falls behind (the update thread stalled past the playback buffer), the
// device plays silence and the music goes on after it, nothing lost; the silence is
// reported once and counted to the frame, so the show's clock can wait for the sound.
TEST_F(Music, SilenceWhereTheMixFellBehindIsCountedAndReportedOnce) {
  const std::string played = path("") + "/late.raw";
  setenv("SDL_DISKAUDIOFILE", played.c_str(), 1);
  unsetenv("SDL_DISKAUDIODELAY");  // the device at its real-time pace
  setenv("DGL_FAULT_MIX_STALL_MS", "2000", 1);
  testing::internal::CaptureStderr();
  ASSERT_EQ(dglPlayMusic("quorvelt.mod"), 0);
  unsetenv("DGL_FAULT_MIX_STALL_MS");
  // Into the silence, then two seconds of sound on: the stall is over.
  ASSERT_TRUE(eventually([] { return dglMusicLateSeconds() > 0.5; }));
  const size_t then = std::filesystem::file_size(played);
  EXPECT_TRUE(eventually([&] { return std::filesystem::file_size(played) >= then + 2 * 44100 * 4; }));
  EXPECT_EQ(dglIsMusicPlaying(), (DWORD)BASS_ACTIVE_PLAYING);
  const std::string err = testing::internal::GetCapturedStderr();
  std::ifstream in(played, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  size_t run = 0, longest = 0;
  for (size_t at = bytes.find_first_not_of('\0') / 4 * 4; at + 4 <= bytes.size(); at += 4)
    run = memcmp(&bytes[at], "\0\0\0\0", 4) ? 0 : run + 1, longest = std::max(longest, run);
  EXPECT_GT(longest / 44100.0, 1.0) << "the stall past the 500 ms buffer is heard as silence";
  EXPECT_NEAR(dglMusicLateSeconds(), longest / 44100.0, 0.001) << "the silence the device played, counted";
  const size_t warned = err.find("WARNING: the music fell behind the sound device (");
  EXPECT_TRUE(warned != std::string::npos && err.find("WARNING", warned + 1) == std::string::npos) << err;
}

// Distinct sample values in short.mod, away from its ends.
size_t levels(const std::vector<int16_t>& o) { return std::set<int16_t>(o.begin() + 8820, o.begin() + kShortFrames * 2 - 8820).size(); }

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

// Neither loader takes what is not a regular music file, and neither blocks on a FIFO.
TEST_F(Music, MissingFileFailsAfterBothLoaders) {
  std::filesystem::create_directory(path("dir.mp3"));
  mkfifo(path("fifo.mp3").c_str(), 0644);
  for (const char* name : {"missing.mp3", "notes.txt", "dir.mp3", "fifo.mp3"}) {
    EXPECT_TRUE(fails_logging(name, "Can't play the file."));
    EXPECT_EQ(chan, 0u);
    EXPECT_EQ(bass_initialized, 1) << "the device stays open";
    EXPECT_EQ(dglIsMusicPlaying(), 0u);
    EXPECT_EQ(dglMusicStartDelay(), 0.0) << "no music keeps the show's clock waiting";
  }
}

// Each start stops what played before at once; a failed device start leaves it closed.
TEST_F(Music, EachStartStopsTheLastAndAFailedOneLeavesTheDeviceClosed) {
  uint32_t before = 0;
  for (const char* name : {"quorvelt.mod", "coverflow.mp3", "coverflow.mp3"}) {
    ASSERT_EQ(dglPlayMusic(name), 0);
    EXPECT_TRUE(eventually([] { return dglMusicStartDelay() >= 0; })) << "the device took the first frame";
    EXPECT_NE(dglIsMusicPlaying(), 0u) << name;
    EXPECT_TRUE(before == 0 || BASS_ChannelIsActive(before) == 0) << name;
    EXPECT_NE(chan, before) << "the same piece starts over as a new channel";
    before = chan;
  }
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  EXPECT_TRUE(fails_logging("coverflow.mp3", "Can't initialize device."));
  EXPECT_EQ(bass_initialized, 0);
  EXPECT_EQ(chan, before) << "the old handle stays";
  EXPECT_EQ(dglIsMusicPlaying(), 0u) << "and reads as stopped";
  // A device that music did not open is left alone: the next start fails.
  use_disk_driver();
  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  // Looped, so that the unthrottled device cannot play it to its end before the check.
  HSTREAM other = BASS_StreamCreateFile(FALSE, path("coverflow.mp3").c_str(), 0, 0, BASS_SAMPLE_LOOP);
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
