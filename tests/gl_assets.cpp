// The generated assets: the files that the build writes into build/data/, read back
// through the program's own loaders and through the decoders directly.
#include <GLES2/gl2.h>
#include <libopenmpt/libopenmpt.h>
#include <mpg123.h>
#include <stdio.h>
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
#include "music.h"
#include "texture.h"

DGL_GL_TEST_ENVIRONMENT;

namespace {

namespace fs = std::filesystem;

const char* const kCovers[9] = {"cover0.ktx", "cover1.ktx", "cover2.ktx", "cover3.ktx", "cover4.ktx",
                                "cover5.ktx", "cover6.ktx", "cover7.ktx", "cover8.ktx"};
const char* const kCaptions[4] = {"title0.ktx", "title1.ktx", "title2.ktx", "title3.ktx"};

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Through the program's own lookup, so a file missing from build/data/ fails here.
std::string data_path(const char* name) {
  const char* p = dglGetAbsolutePath(name);
  return p ? std::string(p) : std::string();
}

uint32_t u32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | (uint32_t)b[at + 3] << 24;
}

struct Level {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;  // tightly packed rows, top first
};
struct Ktx {
  uint32_t type = 0, format = 0, base_format = 0, width = 0, height = 0, depth = 0, faces = 0, levels = 0;
  int channels = 0;
  std::vector<Level> level;
};

// Parses an uncompressed KTX 1.1 file, checking that its levels fill it exactly.
::testing::AssertionResult parse_ktx(const std::vector<uint8_t>& b, Ktx& k) {
  static const uint8_t kId[12] = {0xAB, 'K', 'T', 'X', ' ', '1', '1', 0xBB, '\r', '\n', 0x1A, '\n'};
  if (b.size() < 64 || memcmp(b.data(), kId, 12) != 0) return ::testing::AssertionFailure() << "no KTX 1.1 identifier";
  if (u32(b, 12) != 0x04030201) return ::testing::AssertionFailure() << "not little-endian";
  k.type = u32(b, 16);
  k.format = u32(b, 24);
  k.base_format = u32(b, 32);
  k.width = u32(b, 36);
  k.height = u32(b, 40);
  k.depth = u32(b, 44);
  k.faces = u32(b, 52);
  k.levels = u32(b, 56);
  k.channels = k.format == GL_RGBA ? 4 : k.format == GL_RGB ? 3 : 0;
  if (k.channels == 0) return ::testing::AssertionFailure() << "format " << k.format;
  size_t at = 64 + u32(b, 60);
  for (uint32_t l = 0; l < std::max(k.levels, 1u); ++l) {
    Level lv;
    lv.width = std::max(1u, k.width >> l);
    lv.height = std::max(1u, k.height >> l);
    const size_t row = (size_t)lv.width * k.channels, padded = (row + 3) & ~(size_t)3;
    if (at + 4 > b.size()) return ::testing::AssertionFailure() << "level " << l << " missing";
    const uint32_t size = u32(b, at);
    at += 4;
    if (size != padded * lv.height) return ::testing::AssertionFailure() << "level " << l << " imageSize " << size;
    if (at + size > b.size()) return ::testing::AssertionFailure() << "level " << l << " cut short";
    for (int y = 0; y < lv.height; ++y) lv.pixels.insert(lv.pixels.end(), &b[at + y * padded], &b[at + y * padded + row]);
    at += (size + 3) & ~3u;
    k.level.push_back(std::move(lv));
  }
  if (at != b.size()) return ::testing::AssertionFailure() << (b.size() - at) << " bytes after the last level";
  return ::testing::AssertionSuccess();
}

// Draws `tex` into a w x h corner of the framebuffer (texture row 0 at the bottom, so
// that glReadPixels returns it first) and reads it back as RGBA.
std::vector<uint8_t> draw_texture(GLuint tex, int w, int h) {
  static GLuint program = 0;
  if (!program) {
    const char* vs =
        "attribute vec2 a_position;\n"
        "varying vec2 v_uv;\n"
        "void main() { v_uv = a_position * 0.5 + 0.5; gl_Position = vec4(a_position, 0.0, 1.0); }\n";
    const char* fs =
        "precision mediump float;\n"
        "uniform sampler2D u_tex;\n"
        "varying vec2 v_uv;\n"
        "void main() { gl_FragColor = texture2D(u_tex, v_uv); }\n";
    auto compile = [](GLenum type, const char* src) {
      GLuint s = glCreateShader(type);
      glShaderSource(s, 1, &src, nullptr);
      glCompileShader(s);
      return s;
    };
    program = glCreateProgram();
    glAttachShader(program, compile(GL_VERTEX_SHADER, vs));
    glAttachShader(program, compile(GL_FRAGMENT_SHADER, fs));
    glBindAttribLocation(program, 0, "a_position");
    glLinkProgram(program);
  }
  static const float quad[8] = {-1, -1, 1, -1, -1, 1, 1, 1};
  glViewport(0, 0, w, h);
  glDisable(GL_DEPTH_TEST);
  glDisable(GL_CULL_FACE);
  glDisable(GL_BLEND);
  glClearColor(0, 0, 0, 0);
  glClear(GL_COLOR_BUFFER_BIT);
  glUseProgram(program);
  glUniform1i(glGetUniformLocation(program, "u_tex"), 0);
  glActiveTexture(GL_TEXTURE0);
  glBindTexture(GL_TEXTURE_2D, tex);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 0, quad);
  glEnableVertexAttribArray(0);
  glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
  glDisableVertexAttribArray(0);
  std::vector<uint8_t> rgba((size_t)w * h * 4);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
  return rgba;
}

// Largest difference between a read-back picture and a level's RGB(A) texels.
int max_difference(const std::vector<uint8_t>& rgba, const Level& lv, int channels) {
  int worst = 0;
  for (size_t p = 0; p < (size_t)lv.width * lv.height; ++p)
    for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs((int)rgba[p * 4 + c] - (int)lv.pixels[p * channels + c]));
  return worst;
}

// --- Pictures -------------------------------------------------------------------------

TEST(AssetCovers, AreFullMipChainsThatTheLoaderUploadsAndSamplesAtEveryLevel) {
  std::vector<Ktx> covers(9);
  for (int i = 0; i < 9; ++i) {
    SCOPED_TRACE(kCovers[i]);
    const std::vector<uint8_t> bytes = read_file(data_path(kCovers[i]));
    ASSERT_TRUE(parse_ktx(bytes, covers[i]));
    const Ktx& k = covers[i];
    EXPECT_EQ(k.width, 256u);
    EXPECT_EQ(k.height, 256u);
    EXPECT_EQ(k.type, (uint32_t)GL_UNSIGNED_BYTE);
    EXPECT_EQ(k.format, (uint32_t)GL_RGB);
    EXPECT_EQ(k.base_format, (uint32_t)GL_RGB);
    EXPECT_LE(k.depth, 1u);
    EXPECT_EQ(k.faces, 1u);
    ASSERT_EQ(k.levels, 9u);
    // Each level is the box average of the one above: the overall colour stays put.
    for (int l = 1; l < 9; ++l)
      for (int c = 0; c < 3; ++c) {
        double m0 = 0, ml = 0;
        for (size_t p = 0; p < 256 * 256; ++p) m0 += k.level[0].pixels[p * 3 + c];
        for (size_t p = 0; p < k.level[l].pixels.size() / 3; ++p) ml += k.level[l].pixels[p * 3 + c];
        EXPECT_NEAR(ml / (k.level[l].pixels.size() / 3), m0 / (256 * 256), 2.0) << "level " << l;
      }

    glGetError();
    const GLuint tex = dglLoadKTXTextureFromFile(kCovers[i]);
    ASSERT_NE(tex, 0u);
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
    // Drawn at the size of a level, the mipmap filter picks exactly that level; an
    // incomplete chain would sample black, a flipped one would differ everywhere.
    for (int l : {0, 3, 6}) {
      const Level& lv = k.level[l];
      EXPECT_LE(max_difference(draw_texture(tex, lv.width, lv.height), lv, 3), 2) << "level " << l;
    }
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
  }
  // Nine different, colourful sleeves: no two alike, none grey.
  for (int i = 0; i < 9; ++i) {
    const std::vector<uint8_t>& a = covers[i].level[0].pixels;
    double chroma = 0;
    for (size_t p = 0; p < a.size(); p += 3)
      chroma += std::max({a[p], a[p + 1], a[p + 2]}) - std::min({a[p], a[p + 1], a[p + 2]});
    EXPECT_GT(chroma / (a.size() / 3), 15.0) << kCovers[i] << " is drab";
    for (int j = i + 1; j < 9; ++j) {
      const std::vector<uint8_t>& b = covers[j].level[0].pixels;
      double d = 0;
      for (size_t p = 0; p < a.size(); ++p) d += std::abs((int)a[p] - (int)b[p]);
      EXPECT_GT(d / a.size(), 30.0) << kCovers[i] << " and " << kCovers[j] << " look alike";
    }
  }
}

TEST(AssetCaptions, HoldOpaqueTextInTheTop72RowsOnly) {
  for (const char* name : kCaptions) {
    SCOPED_TRACE(name);
    Ktx k;
    ASSERT_TRUE(parse_ktx(read_file(data_path(name)), k));
    EXPECT_EQ(k.width, 256u);
    EXPECT_EQ(k.height, 128u);
    EXPECT_EQ(k.format, (uint32_t)GL_RGBA);
    EXPECT_EQ(k.type, (uint32_t)GL_UNSIGNED_BYTE);
    ASSERT_EQ(std::max(k.levels, 1u), 1u);
    const Level& lv = k.level[0];
    int opaque_light = 0, clear_top = 0, edge = 0;
    for (int y = 0; y < 128; ++y)
      for (int x = 0; x < 256; ++x) {
        const uint8_t* p = &lv.pixels[((size_t)y * 256 + x) * 4];
        if (y >= 72) {
          ASSERT_EQ(p[3], 0) << "row " << y << " column " << x;
          continue;
        }
        if (p[3] == 255 && std::min({p[0], p[1], p[2]}) > 180) ++opaque_light;
        if (p[3] == 0) ++clear_top;
        if (p[3] > 0 && p[3] < 255 && std::max({p[0], p[1], p[2]}) < 60) ++edge;
      }
    EXPECT_GT(opaque_light, 500) << "light, opaque text";
    EXPECT_GT(edge, 500) << "a soft dark edge";
    EXPECT_GT(clear_top, 256 * 72 / 3) << "transparent around the text";
    // The caption's first row and column are clear, so clamping never smears text.
    for (int x = 0; x < 256; ++x) EXPECT_EQ(lv.pixels[x * 4 + 3], 0);

    glGetError();
    const GLuint tex = dglLoadKTXTextureFromFile(name);
    ASSERT_NE(tex, 0u);
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
    // The carousel samples captions without mipmaps, as here.
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    const std::vector<uint8_t> shown = draw_texture(tex, 256, 128);
    int worst = 0;
    for (size_t p = 0; p < 256 * 128; ++p)
      if (lv.pixels[p * 4 + 3] == 255)
        for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs((int)shown[p * 4 + c] - (int)lv.pixels[p * 4 + c]));
    EXPECT_LE(worst, 2);
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
  }
}

// --- The generator --------------------------------------------------------------------

int run(const std::string& cmd) {
  const int s = system((cmd + " 2>/dev/null").c_str());
  return WIFEXITED(s) ? WEXITSTATUS(s) : -1;
}

TEST(AssetGenerator, GivesTheSameBytesOnEveryRunAndFailsLoudly) {
  const std::string tool = std::string(DGL_BINARY_DIR) + "/demo-assets";
  const fs::path tmp = fs::temp_directory_path() / ("dgl_assets_" + std::to_string(getpid()));
  fs::remove_all(tmp);
  ASSERT_EQ(run(tool + " --out " + (tmp / "a").string() + " --sheet " + (tmp / "a.png").string()), 0);
  ASSERT_EQ(run(tool + " --out " + (tmp / "b").string() + " --sheet " + (tmp / "b.png").string()), 0);
  std::vector<std::string> names(std::begin(kCovers), std::end(kCovers));
  names.insert(names.end(), std::begin(kCaptions), std::end(kCaptions));
  names.push_back("coverflow.mp3");
  names.push_back("quorvelt.mod");
  for (const std::string& n : names) {
    const std::vector<uint8_t> a = read_file((tmp / "a" / n).string()), b = read_file((tmp / "b" / n).string());
    EXPECT_FALSE(a.empty()) << n;
    EXPECT_TRUE(a == b) << n << " differs between two runs";
    // And the build's own copy is the same file.
    EXPECT_TRUE(a == read_file(data_path(n.c_str()))) << n << " differs from build/data";
  }
  EXPECT_TRUE(read_file((tmp / "a.png").string()) == read_file((tmp / "b.png").string()));
  size_t entries = 0;
  for (auto it = fs::directory_iterator(tmp / "a"); it != fs::directory_iterator(); ++it) ++entries;
  EXPECT_EQ(entries, names.size()) << "stray files (temporaries) left behind";

  EXPECT_EQ(run(tool + " --help >/dev/null"), 0);
  EXPECT_NE(run(tool), 0) << "no output directory";
  EXPECT_NE(run(tool + " --bogus"), 0);
  EXPECT_NE(run(tool + " --out"), 0);
  // A directory that cannot be made (a file stands in the way) is an error, not a crash.
  std::ofstream(tmp / "file") << "x";
  EXPECT_NE(run(tool + " --out " + (tmp / "file" / "sub").string()), 0);
  fs::remove_all(tmp);
}

// --- Music ----------------------------------------------------------------------------

struct Pcm {
  long rate = 0;
  int channels = 0;
  std::vector<int16_t> samples;  // interleaved
};

// Decodes with libmpg123, gapless, as the stream player does.
Pcm decode_mp3(const std::string& path) {
  Pcm pcm;
  mpg123_handle* mh = mpg123_new(nullptr, nullptr);
  if (!mh) return pcm;
  mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0);
  mpg123_format_none(mh);
  mpg123_format(mh, 44100, MPG123_STEREO, MPG123_ENC_SIGNED_16);
  if (mpg123_open(mh, path.c_str()) == MPG123_OK) {
    int enc = 0;
    mpg123_getformat(mh, &pcm.rate, &pcm.channels, &enc);
    unsigned char buf[16384];
    for (;;) {
      size_t done = 0;
      const int r = mpg123_read(mh, buf, sizeof buf, &done);
      const int16_t* s = reinterpret_cast<const int16_t*>(buf);
      pcm.samples.insert(pcm.samples.end(), s, s + done / 2);
      if (r != MPG123_OK && r != MPG123_NEW_FORMAT) break;
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

TEST(AssetSong, IsALoudEnoughSeamlessLoopOfAtLeast40Seconds) {
  const std::string path = data_path("coverflow.mp3");
  const std::vector<uint8_t> bytes = read_file(path);
  ASSERT_GT(bytes.size(), 4096u);
  // First frame: MPEG-1 layer III at 44.1 kHz, carrying LAME's Info tag.
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[1] & 0xFE, 0xFA);
  EXPECT_EQ(std::string(bytes.begin() + 36, bytes.begin() + 40), "Info");

  const Pcm pcm = decode_mp3(path);
  ASSERT_EQ(pcm.rate, 44100);
  ASSERT_EQ(pcm.channels, 2);
  const size_t frames = pcm.samples.size() / 2;
  EXPECT_GE(frames, 40u * 44100);
  EXPECT_GT(rms(pcm.samples.data(), pcm.samples.size()), 0.05) << "too quiet";
  // No clipping: no sample at full scale.
  size_t clipped = 0;
  for (int16_t s : pcm.samples) clipped += s >= 32767 || s <= -32767;
  EXPECT_EQ(clipped, 0u);
  // Every few seconds has sound in it; nothing drops out.
  for (size_t at = 0; at + 88200 <= frames; at += 88200)
    EXPECT_GT(rms(&pcm.samples[at * 2], 88200 * 2), 0.01) << "near-silence at " << at / 44100 << " s";
  // The seam: the step from the last frame back to the first is no bigger than the
  // largest step inside the track.
  for (int c = 0; c < 2; ++c) {
    int largest = 0;
    for (size_t i = 1; i < frames; ++i)
      largest = std::max(largest, std::abs(pcm.samples[i * 2 + c] - pcm.samples[(i - 1) * 2 + c]));
    const int seam = std::abs(pcm.samples[c] - pcm.samples[(frames - 1) * 2 + c]);
    EXPECT_LE(seam, largest) << "channel " << c;
    // And far below it: a click would be of the order of the largest step.
    EXPECT_LT(seam, largest / 4) << "channel " << c;
  }
}

struct Module {
  openmpt_module* m = nullptr;
  explicit Module(const std::vector<uint8_t>& bytes) {
    m = openmpt_module_create_from_memory2(bytes.data(), bytes.size(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr);
  }
  ~Module() {
    if (m) openmpt_module_destroy(m);
  }
};

TEST(AssetModule, IsAFourChannelProTrackerSongOfOneToTwoMinutesThatEnds) {
  const std::vector<uint8_t> bytes = read_file(data_path("quorvelt.mod"));
  ASSERT_GT(bytes.size(), 1084u);
  EXPECT_EQ(std::string(bytes.begin() + 1080, bytes.begin() + 1084), "M.K.");
  // Every note is an Amiga period that ProTracker can play, and nothing jumps back.
  const int orders = bytes[950];
  int patterns = 0;
  for (int i = 0; i < 128; ++i) patterns = std::max(patterns, bytes[952 + i] + 1);
  ASSERT_GE(bytes.size(), 1084u + patterns * 1024u);
  int notes = 0;
  for (int p = 0; p < patterns; ++p)
    for (int cell = 0; cell < 256; ++cell) {
      const uint8_t* c = &bytes[1084 + p * 1024 + cell * 4];
      const int period = (c[0] & 0x0F) << 8 | c[1], effect = c[2] & 0x0F;
      if (period) {
        ++notes;
        EXPECT_GE(period, 113);
        EXPECT_LE(period, 856);
      }
      EXPECT_NE(effect, 0xB) << "position jump in pattern " << p;
    }
  EXPECT_GT(notes, 500);
  EXPECT_GT(orders, 0);

  Module mod(bytes);
  ASSERT_NE(mod.m, nullptr) << "libopenmpt refuses the module";
  EXPECT_EQ(openmpt_module_get_num_channels(mod.m), 4);
  const double seconds = openmpt_module_get_duration_seconds(mod.m);
  EXPECT_GE(seconds, 60.0);
  EXPECT_LE(seconds, 120.0);
  // Played once it ends by itself, near the stated duration, and is not silent.
  openmpt_module_set_repeat_count(mod.m, 0);
  std::vector<int16_t> buf(2 * 4096);
  size_t frames = 0;
  double sum = 0;
  for (;;) {
    const size_t n = openmpt_module_read_interleaved_stereo(mod.m, 44100, 4096, buf.data());
    if (n == 0) break;
    for (size_t i = 0; i < 2 * n; ++i) sum += (double)buf[i] * buf[i];
    frames += n;
    ASSERT_LT(frames, 200u * 44100) << "the module does not end";
  }
  EXPECT_NEAR(frames / 44100.0, seconds, 1.0);
  EXPECT_GT(std::sqrt(sum / (2.0 * frames)) / 32768.0, 0.03);
}

// --- Through the demo's music player --------------------------------------------------

class AssetPlayback : public ::testing::Test {
 protected:
  void SetUp() override { BASSX_SetOffline(TRUE); }
  void TearDown() override {
    if (bass_initialized) BASS_Free();
    bass_initialized = 0;
    BASSX_SetOffline(FALSE);
  }
};

TEST_F(AssetPlayback, TheSongIsALoopingStreamAndTheModuleIsNot) {
  ASSERT_EQ(BASS_Init(-1, 44100, 0, nullptr, nullptr), TRUE);
  const std::string mp3 = data_path("coverflow.mp3"), mod = data_path("quorvelt.mod");
  const HSTREAM s = BASS_StreamCreateFile(FALSE, mp3.c_str(), 0, 0, BASS_SAMPLE_LOOP);
  EXPECT_NE(s, 0u) << "the stream loader refuses coverflow.mp3";
  EXPECT_EQ(BASS_StreamCreateFile(FALSE, mod.c_str(), 0, 0, BASS_SAMPLE_LOOP), 0u)
      << "the stream loader takes quorvelt.mod for MP3";
  EXPECT_NE(BASS_MusicLoad(FALSE, mod.c_str(), 0, 0, BASS_MUSIC_NONINTER | BASS_MUSIC_PT1MOD, 1), 0u);
  EXPECT_EQ(BASS_MusicLoad(FALSE, mp3.c_str(), 0, 0, 0, 1), 0u);
  BASS_Free();
}

TEST_F(AssetPlayback, TheSongLoopsWithoutAGapAndTheModuleEndsTheShow) {
  ASSERT_EQ(dglPlayMusic("coverflow.mp3"), 0);
  const Pcm pcm = decode_mp3(data_path("coverflow.mp3"));
  const QWORD length = pcm.samples.size() / 2;
  std::vector<short> out(2 * 44100);
  for (QWORD done = 0; done < length + 3 * 44100; done += 44100) BASSX_Render(out.data(), 44100);
  EXPECT_NE(dglIsMusicPlaying(), 0u) << "the carousel's music stopped";
  QWORD passes[2] = {0, 0};
  ASSERT_GE(BASSX_ChannelGetPasses(chan, passes, 2), 1u);
  EXPECT_EQ(passes[0], length) << "one pass is the whole track, no more, no less";

  ASSERT_EQ(dglPlayMusic("quorvelt.mod"), 0);
  size_t seconds = 0;
  while (dglIsMusicPlaying() && seconds < 200) {
    BASSX_Render(out.data(), 44100);
    ++seconds;
  }
  EXPECT_EQ(dglIsMusicPlaying(), 0u) << "the module never ends";
  EXPECT_GE(seconds, 60u);
  EXPECT_LE(seconds, 121u);
}

}  // namespace
