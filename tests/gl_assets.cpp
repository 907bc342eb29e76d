// The generated assets in build/data/, read back through the program's loaders and the decoders.
#include <GLES2/gl2.h>
#include <libopenmpt/libopenmpt.h>
#include <mpg123.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bass.h"
#include "bass_offline.h"
#include "file_io.h"
#include "gl_context.h"
#include "texture.h"

DGL_GL_TEST_ENVIRONMENT;

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Through the program's own lookup, so a file missing from build/data/ fails here.
std::string data_path(const std::string& name) {
  const char* p = dglGetAbsolutePath(name.c_str());
  return p ? p : "";
}

const std::vector<std::string> kKtx = {"cover0.ktx", "cover1.ktx", "cover2.ktx", "cover3.ktx", "cover4.ktx",
                                       "cover5.ktx", "cover6.ktx", "cover7.ktx", "cover8.ktx", "title0.ktx",
                                       "title1.ktx", "title2.ktx", "title3.ktx"};

uint32_t u32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | (uint32_t)b[at + 3] << 24;
}

struct Ktx {
  uint32_t format = 0, width = 0, height = 0, levels = 0;
  std::vector<std::vector<uint8_t>> level;  // tightly packed rows, top first
};

// Parses an uncompressed little-endian KTX 1.1 file whose levels must fill it exactly.
::testing::AssertionResult parse_ktx(const std::vector<uint8_t>& b, Ktx& k) {
  static const uint8_t kId[12] = {0xAB, 'K', 'T', 'X', ' ', '1', '1', 0xBB, '\r', '\n', 0x1A, '\n'};
  if (b.size() < 64 || memcmp(b.data(), kId, 12) != 0 || u32(b, 12) != 0x04030201)
    return ::testing::AssertionFailure() << "no little-endian KTX 1.1 header";
  k.format = u32(b, 24), k.width = u32(b, 36), k.height = u32(b, 40), k.levels = std::max(u32(b, 56), 1u);
  const int ch = k.format == GL_RGBA ? 4 : k.format == GL_RGB ? 3 : 0;
  if (!ch || u32(b, 16) != GL_UNSIGNED_BYTE) return ::testing::AssertionFailure() << "format " << k.format;
  size_t at = 64 + u32(b, 60);
  for (uint32_t l = 0; l < k.levels; ++l) {
    const size_t w = std::max(1u, k.width >> l), h = std::max(1u, k.height >> l), row = w * ch;
    const size_t padded = (row + 3) & ~(size_t)3;
    if (at + 4 > b.size() || u32(b, at) != padded * h || at + 4 + padded * h > b.size())
      return ::testing::AssertionFailure() << "level " << l << " missing or of the wrong size";
    at += 4;
    k.level.emplace_back();
    for (size_t y = 0; y < h; ++y) k.level.back().insert(k.level.back().end(), &b[at + y * padded], &b[at + y * padded + row]);
    at += padded * h;
  }
  if (at != b.size()) return ::testing::AssertionFailure() << (b.size() - at) << " bytes after the last level";
  return ::testing::AssertionSuccess();
}

TEST(AssetPictures, CoversAreMipChainsAndCaptionsHoldTextInTheTop72Rows) {
  for (const std::string& name : kKtx) {
    SCOPED_TRACE(name);
    Ktx k;
    ASSERT_TRUE(parse_ktx(read_file(data_path(name)), k));
    glGetError();
    EXPECT_NE(dglLoadKTXTextureFromFile(name.c_str()), 0u);
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
    const bool cover = name[0] == 'c';
    EXPECT_EQ(k.format, (uint32_t)(cover ? GL_RGB : GL_RGBA));
    EXPECT_EQ(k.width, 256u);
    EXPECT_EQ(k.height, cover ? 256u : 128u);
    ASSERT_EQ(k.levels, cover ? 9u : 1u);
    // Each level is a box average of the one above: the mean colour stays put.
    auto mean = [&](int l, int c) {
      double m = 0;
      for (size_t p = c; p < k.level[l].size(); p += 3) m += k.level[l][p];
      return m / (k.level[l].size() / 3);
    };
    for (int l = 1; cover && l < 9; ++l)
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(mean(l, c), mean(0, c), 2.0) << "level " << l;
    if (cover) continue;
    const std::vector<uint8_t>& px = k.level[0];
    int opaque_light = 0;
    for (size_t y = 0; y < 128; ++y)
      for (size_t x = 0; x < 256; ++x) {
        const uint8_t* p = &px[(y * 256 + x) * 4];
        if (y >= 72) ASSERT_EQ(p[3], 0) << "row " << y << " column " << x;
        else if (p[3] == 255 && std::min({p[0], p[1], p[2]}) > 180) ++opaque_light;
      }
    EXPECT_GT(opaque_light, 500) << "light, opaque text";
    for (int x = 0; x < 256; ++x) EXPECT_EQ(px[x * 4 + 3], 0) << "first row must be clear so clamping never smears";
  }
}

int run(const std::string& cmd) {
  const int s = system((cmd + " 2>/dev/null").c_str());
  return WIFEXITED(s) ? WEXITSTATUS(s) : -1;
}

TEST(AssetGenerator, GivesTheSameBytesOnEveryRunAndFailsLoudly) {
  const std::string tool = std::string(DGL_BINARY_DIR) + "/demo-assets";
  const fs::path tmp = fs::temp_directory_path() / ("dgl_assets_" + std::to_string(getpid()));
  fs::remove_all(tmp);
  for (const char* o : {"a", "b"})
    ASSERT_EQ(run(tool + " --out " + (tmp / o).string() + " --sheet " + (tmp / o).string() + ".png"), 0);
  std::vector<std::string> names = kKtx;
  names.insert(names.end(), {"coverflow.mp3", "quorvelt.mod"});
  for (const std::string& n : names) {
    const std::vector<uint8_t> a = read_file((tmp / "a" / n).string());
    EXPECT_FALSE(a.empty()) << n;
    EXPECT_TRUE(a == read_file((tmp / "b" / n).string())) << n << " differs between two runs";
    EXPECT_TRUE(a == read_file(data_path(n))) << n << " differs from build/data";
  }
  EXPECT_TRUE(read_file((tmp / "a.png").string()) == read_file((tmp / "b.png").string()));
  EXPECT_EQ((size_t)std::distance(fs::directory_iterator(tmp / "a"), fs::directory_iterator()), names.size())
      << "stray files left behind";
  EXPECT_EQ(run(tool + " --help >/dev/null"), 0);
  std::ofstream(tmp / "file") << "x";  // a file in the way of the output directory
  for (const std::string& bad : {std::string(), std::string(" --bogus"), std::string(" --out"),
                                 " --out " + (tmp / "file" / "sub").string()})
    EXPECT_NE(run(tool + bad), 0) << "'" << bad << "' accepted";
  fs::remove_all(tmp);
}

// Decodes gaplessly as 44.1 kHz stereo with libmpg123, as the stream player does.
std::vector<int16_t> decode_mp3(const std::string& path) {
  std::vector<int16_t> pcm;
  mpg123_handle* mh = mpg123_new(nullptr, nullptr);
  mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0);
  mpg123_format_none(mh);
  mpg123_format(mh, 44100, MPG123_STEREO, MPG123_ENC_SIGNED_16);
  if (mpg123_open(mh, path.c_str()) == MPG123_OK) {
    unsigned char buf[16384];
    size_t done = 0;
    for (int r = MPG123_OK; r == MPG123_OK || r == MPG123_NEW_FORMAT;) {
      r = mpg123_read(mh, buf, sizeof buf, &done);
      pcm.insert(pcm.end(), (const int16_t*)buf, (const int16_t*)buf + done / 2);
    }
    mpg123_close(mh);
  }
  mpg123_delete(mh);
  return pcm;
}

double rms(const int16_t* s, size_t n) {
  double sum = 0;
  for (size_t i = 0; i < n; ++i) sum += (double)s[i] * s[i];
  return n ? std::sqrt(sum / n) / 32768.0 : 0;
}

TEST(AssetSong, IsALoudEnoughUnclippedSeamlessLoopOfAtLeast40Seconds) {
  const std::vector<int16_t> pcm = decode_mp3(data_path("coverflow.mp3"));
  const size_t frames = pcm.size() / 2;
  ASSERT_GE(frames, 40u * 44100);
  EXPECT_GT(rms(pcm.data(), pcm.size()), 0.05) << "too quiet";
  EXPECT_EQ(std::count_if(pcm.begin(), pcm.end(), [](int16_t s) { return s >= 32767 || s <= -32767; }), 0) << "clips";
  for (size_t at = 0; at + 88200 <= frames; at += 88200)
    EXPECT_GT(rms(&pcm[at * 2], 88200 * 2), 0.01) << "near-silence at " << at / 44100 << " s";
  for (int c = 0; c < 2; ++c) {
    int largest = 0;
    for (size_t i = 1; i < frames; ++i) largest = std::max(largest, std::abs(pcm[i * 2 + c] - pcm[(i - 1) * 2 + c]));
    const int seam = std::abs(pcm[c] - pcm[(frames - 1) * 2 + c]);
    EXPECT_LE(seam, largest) << "channel " << c;
    EXPECT_LT(seam, largest / 4) << "channel " << c << ": a click is of the order of the largest step";
  }
}

TEST(AssetModule, IsAFourChannelSongOfOneToTwoMinutesThatEnds) {
  const std::vector<uint8_t> bytes = read_file(data_path("quorvelt.mod"));
  openmpt_module* m = openmpt_module_create_from_memory2(bytes.data(), bytes.size(), nullptr, nullptr, nullptr,
                                                         nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(m, nullptr) << "libopenmpt refuses the module";
  EXPECT_EQ(openmpt_module_get_num_channels(m), 4);
  const double seconds = openmpt_module_get_duration_seconds(m);
  EXPECT_GE(seconds, 60.0);
  EXPECT_LE(seconds, 120.0);
  // Played once, it ends by itself near that duration.
  openmpt_module_set_repeat_count(m, 0);
  std::vector<int16_t> pcm, buf(2 * 4096);
  for (size_t n; pcm.size() < 2 * 200 * 44100 && (n = openmpt_module_read_interleaved_stereo(m, 44100, 4096, buf.data()));)
    pcm.insert(pcm.end(), buf.begin(), buf.begin() + 2 * n);
  openmpt_module_destroy(m);
  ASSERT_LT(pcm.size(), 2u * 200 * 44100) << "the module does not end";
  EXPECT_NEAR(pcm.size() / 2 / 44100.0, seconds, 1.0);
  EXPECT_GT(rms(pcm.data(), pcm.size()), 0.03) << "too quiet";
}

TEST(AssetPlayback, TheSongIsALoopingStreamAndTheModuleIsNot) {
  const std::string mp3 = data_path("coverflow.mp3"), mod = data_path("quorvelt.mod");
  BASSX_SetOffline(TRUE);
  ASSERT_EQ(BASS_Init(-1, 44100, 0, nullptr, nullptr), TRUE);
  EXPECT_NE(BASS_StreamCreateFile(FALSE, mp3.c_str(), 0, 0, BASS_SAMPLE_LOOP), 0u) << "stream loader refuses the MP3";
  EXPECT_EQ(BASS_StreamCreateFile(FALSE, mod.c_str(), 0, 0, BASS_SAMPLE_LOOP), 0u) << "module taken for MP3";
  EXPECT_NE(BASS_MusicLoad(FALSE, mod.c_str(), 0, 0, BASS_MUSIC_NONINTER | BASS_MUSIC_PT1MOD, 1), 0u);
  EXPECT_EQ(BASS_MusicLoad(FALSE, mp3.c_str(), 0, 0, 0, 1), 0u);
  BASS_Free();
  BASSX_SetOffline(FALSE);
}

}  // namespace
