// The generated assets in build/data/, read back through the program's loaders and the decoders.
#include <libopenmpt/libopenmpt.h>
#include <mpg123.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <numeric>

#include "gl_context.h"
#include "texture.h"

DGL_GL_TEST_ENVIRONMENT;

namespace {

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}
// Through the program's own lookup, so a file missing from build/data/ fails here.
std::string data_path(const std::string& name) { return dglGetAbsolutePath(name.c_str()) ? dglGetAbsolutePath(name.c_str()) : ""; }
uint32_t u32(const std::vector<uint8_t>& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | (uint32_t)b[at + 3] << 24; }
const char* const kPictures[] = {"cover0.ktx", "cover1.ktx", "cover2.ktx", "cover3.ktx", "cover4.ktx", "cover5.ktx", "cover6.ktx",
                                 "cover7.ktx", "cover8.ktx", "title0.ktx", "title1.ktx", "title2.ktx", "title3.ktx"};

}  // namespace

// Covers: 256x256 RGB, every mipmap level, each the box average of the one above. Captions:
// 256x128 RGBA, one level, light opaque text in the first 72 rows, clear elsewhere.
TEST(AssetPictures, CoversAreMipChainsAndCaptionsHoldTextInTheTop72Rows) {
  for (const std::string name : kPictures) {
    SCOPED_TRACE(name);
    const std::vector<uint8_t> b = read_file(data_path(name));
    ASSERT_GE(b.size(), 64u);
    EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + 12), (std::vector<uint8_t>{0xAB, 'K', 'T', 'X', ' ', '1', '1', 0xBB, '\r', '\n', 0x1A, '\n'}));
    const bool cover = name[0] == 'c';
    const int ch = cover ? 3 : 4, levels = cover ? 9 : 1;
    EXPECT_EQ(std::make_tuple(u32(b, 12), u32(b, 16), u32(b, 24), u32(b, 36), u32(b, 40), std::max(u32(b, 56), 1u)),
              std::make_tuple(0x04030201u, (uint32_t)GL_UNSIGNED_BYTE, (uint32_t)(cover ? GL_RGB : GL_RGBA), 256u, cover ? 256u : 128u, (uint32_t)levels));
    std::vector<std::vector<uint8_t>> level;  // tightly packed rows, top first
    size_t at = 64 + u32(b, 60);
    for (int l = 0; l < levels; ++l) {
      const size_t w = 256 >> l, h = (cover ? 256 : 128) >> l, row = w * ch, padded = (row + 3) & ~(size_t)3;
      ASSERT_TRUE(at + 4 <= b.size() && u32(b, at) == padded * h && at + 4 + padded * h <= b.size()) << "level " << l;
      level.emplace_back();
      for (size_t y = 0; y < h; ++y) level.back().insert(level.back().end(), &b[at + 4 + y * padded], &b[at + 4 + y * padded + row]);
      at += 4 + padded * h;
    }
    EXPECT_EQ(at, b.size()) << "bytes after the last level";
    glGetError();
    EXPECT_TRUE(dglLoadKTXTextureFromFile(name.c_str()) != 0 && glGetError() == GL_NO_ERROR) << "the loader refuses it";
    double mean[9][3] = {};  // each level's mean colour, which box averaging keeps
    for (int l = 0; cover && l < 9; ++l)
      for (size_t p = 0; p < level[l].size(); p++) mean[l][p % 3] += level[l][p] * 3.0 / level[l].size();
    for (int i = 3; cover && i < 27; ++i) EXPECT_NEAR(mean[i / 3][i % 3], mean[0][i % 3], 2.0) << "level " << i / 3;
    int opaque_light = 0, stray = 0;  // no alpha in the first row either, so clamping never smears
    for (size_t i = 0; !cover && i < 256 * 128; ++i)
      stray += level[0][i * 4 + 3] != 0 && (i >= 72 * 256 || i < 256), opaque_light += level[0][i * 4 + 3] == 255 && std::min({level[0][i * 4], level[0][i * 4 + 1], level[0][i * 4 + 2]}) > 180;
    EXPECT_TRUE(stray == 0 && (cover || opaque_light > 500)) << stray << " stray texels, " << opaque_light << " of light, opaque text";
  }
}

int run(const std::string& cmd) { return WEXITSTATUS(system((cmd + " 2>/dev/null").c_str())); }

// The same bytes as the build's own run, and a clear failure on bad arguments.
TEST(AssetGenerator, GivesTheSameBytesOnEveryRunAndFailsLoudly) {
  const std::string tool = DGL_BINARY_DIR "/demo-assets", tmp = testing::TempDir() + "dgl_assets_" + std::to_string(getpid());
  ASSERT_EQ(run(tool + " --out " + tmp + "/a --sheet " + tmp + "/a.png"), 0);
  std::vector<std::string> names(std::begin(kPictures), std::end(kPictures));
  names.insert(names.end(), {"coverflow.mp3", "quorvelt.mod"});
  for (const std::string& n : names) EXPECT_TRUE(read_file(tmp + "/a/" + n) == read_file(data_path(n)) && !read_file(data_path(n)).empty()) << n;
  EXPECT_EQ((size_t)std::distance(std::filesystem::directory_iterator(tmp + "/a"), {}), names.size()) << "stray files";
  EXPECT_EQ(run(tool + " --help >/dev/null"), 0);
  std::ofstream(tmp + "/file") << "x";  // a file in the way of the output directory
  for (const std::string& bad : {std::string(), std::string(" --bogus"), std::string(" --out"), " --out " + tmp + "/file/sub"})
    EXPECT_NE(run(tool + bad), 0) << "'" << bad << "' accepted";
  std::filesystem::remove_all(tmp);
}

double rms(const int16_t* s, size_t n) { return std::sqrt(std::inner_product(s, s + n, s, 0.0) / n) / 32768.0; }

TEST(AssetMusic, ASongOfAtLeast40sNeverSilentNorClippedAndAFourChannelModule) {
  std::vector<int16_t> pcm;  // decoded gaplessly as 44.1 kHz stereo, as the stream player does
  mpg123_handle* mh = mpg123_new(nullptr, nullptr);
  mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0);
  mpg123_format_none(mh);
  mpg123_format(mh, 44100, MPG123_STEREO, MPG123_ENC_SIGNED_16);
  ASSERT_EQ(mpg123_open(mh, data_path("coverflow.mp3").c_str()), MPG123_OK);
  unsigned char buf[16384];
  size_t done = 0;
  for (int r = MPG123_OK; r == MPG123_OK || r == MPG123_NEW_FORMAT; pcm.insert(pcm.end(), (int16_t*)buf, (int16_t*)buf + done / 2))
    r = mpg123_read(mh, buf, sizeof buf, &done);
  mpg123_delete(mh);
  const size_t frames = pcm.size() / 2;
  ASSERT_GE(frames, 40u * 44100);
  EXPECT_EQ(std::count_if(pcm.begin(), pcm.end(), [](int16_t s) { return s >= 32767 || s <= -32767; }), 0) << "clips";
  for (size_t at = 0; at + 88200 <= frames; at += 88200) EXPECT_GT(rms(&pcm[at * 2], 88200 * 2), 0.01) << "near-silence at " << at / 44100 << " s";
  const std::vector<uint8_t> mod = read_file(data_path("quorvelt.mod"));
  openmpt_module* m = openmpt_module_create_from_memory2(mod.data(), mod.size(), 0, 0, 0, 0, 0, 0, 0);
  ASSERT_NE(m, nullptr) << "libopenmpt refuses the module";
  const double seconds = openmpt_module_get_duration_seconds(m);
  EXPECT_EQ(openmpt_module_get_num_channels(m), 4);
  EXPECT_TRUE(seconds >= 60 && seconds <= 120) << seconds;
  openmpt_module_destroy(m);  // that it ends by itself, the whole show's run shows
}
