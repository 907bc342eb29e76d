// KTX textures on a real GL ES 2.0 context, through the memory, sized-memory and
// file loaders; uploads are checked by sampling every level back through a quad.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>

#include "file_io.h"
#include "fuzz/guarded.h"
#include "gl_context.h"
#include "shader.h"
#include "texture.h"

DGL_GL_TEST_ENVIRONMENT;

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Word(const Bytes& f, size_t at) { uint32_t v; return memcpy(&v, &f[at], 4), v; }
void Put(Bytes& f, size_t at, uint32_t v) { memcpy(&f[at], &v, 4); }
size_t Align4(size_t n) { return (n + 3) & ~size_t(3); }
uint32_t Extent(uint32_t size, uint32_t level) { return std::max(size >> level, 1u); }

Bytes Header(uint32_t type, uint32_t format, uint32_t internal, uint32_t width, uint32_t height,
             uint32_t levels) {
  Bytes f(64, 0);
  const uint8_t id[12] = {0xAB, 0x4B, 0x54, 0x58, 0x20, 0x31, 0x31, 0xBB, 0x0D, 0x0A, 0x1A, 0x0A};
  const uint32_t words[13] = {0x04030201, type, 1, format, internal, format, width, height, 0, 0,
                              1, levels, 0};
  memcpy(&f[0], id, 12);
  memcpy(&f[12], words, sizeof(words));
  return f;
}

// An ETC1 file of one level: the header, imageSize, then `bytes` bytes.
Bytes Etc1(uint32_t width, uint32_t height, uint32_t image_size, size_t bytes) {
  Bytes f = Header(0, 0, 0x8D64, width, height, 1);
  f.resize(68 + bytes, 0x55);
  Put(f, 64, image_size);
  return f;
}

// An RGB file; every level a different pattern, so a level read from the wrong
// place shows. `slack` bytes are added inside each level's imageSize.
Bytes Build(uint32_t width, uint32_t height, uint32_t levels, uint32_t slack = 0) {
  Bytes f = Header(GL_UNSIGNED_BYTE, GL_RGB, 0x8051, width, height, levels);
  for (uint32_t l = 0; l < levels; l++) {
    uint32_t w = Extent(width, l), h = Extent(height, l), row = (w * 3 + 3) & ~3u;
    size_t start = f.size() + 4;
    f.resize(start);
    Put(f, start - 4, row * h + slack);
    f.resize(Align4(start + row * h + slack), 0xEE);  // padding, slack, filler: never sampled
    for (uint32_t y = 0; y < h; y++)
      for (uint32_t x = 0; x < w; x++)
        for (uint32_t i = 0; i < 3; i++)
          f[start + y * row + x * 3 + i] = uint8_t((i + 1) * (x * 37 + y * 59) + l * 50 + i * 90);
  }
  return f;
}

Bytes Real(const char* name) {
  std::ifstream in(std::string(DGL_TESTDATA_DIR) + "/ktx/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A data directory of the test's own, for the file loader.
struct DataDir {
  char dir[32] = "/tmp/gl_texture_XXXXXX";
  std::string data = std::string(mkdtemp(dir)) + "/data";
  DataDir() { mkdir(data.c_str(), 0700), _dglSetExecutableDirectory(dir); }
  ~DataDir() { unlink((data + "/t.ktx").c_str()), rmdir(data.c_str()), rmdir(dir); }
};

enum Entry { kMemory = 1, kSized = 2, kFile = 4, kAll = 7, kBounded = kSized | kFile };
const char* EntryName(int e) { return e == kMemory ? "memory" : e == kSized ? "sized" : "file"; }

struct Loaded { GLuint texture; std::string out; };

Loaded Load(int entry, const Bytes& bytes) {
  testing::internal::CaptureStdout();
  GLuint t = 0;
  if (entry == kMemory) {
    Bytes copy = bytes;  // a heap block of exactly the image, so a read past it is caught
    t = dglLoadKTXTextureFromMemory(copy.data());
  } else if (entry == kSized) {
    Guarded copy(bytes.data(), bytes.size());  // a read past the end faults
    t = dglLoadKTXTextureFromMemorySized(copy.data, bytes.size());
  } else {
    DataDir d;
    std::ofstream(d.data + "/t.ktx", std::ios::binary).write((const char*)&bytes[0], bytes.size());
    t = dglLoadKTXTextureFromFile("t.ktx");
  }
  return {t, testing::internal::GetCapturedStdout()};
}

// The texture drawn 1:1 into a w x h viewport at LOD `bias`; RGBA, bottom row first.
Bytes Draw(GLuint texture, uint32_t w, uint32_t h, float bias) {
  static const GLuint program = [] {
    const char* vs = "attribute vec2 a_position; varying vec2 v_uv; void main() {"
                     " v_uv = a_position * 0.5 + 0.5; gl_Position = vec4(a_position, 0.0, 1.0); }";
    const char* fs = "precision mediump float; uniform sampler2D u_texture; uniform float u_bias;"
                     " varying vec2 v_uv;"
                     " void main() { gl_FragColor = texture2D(u_texture, v_uv, u_bias); }";
    const char* names[] = {"a_position"};
    return dglCreateProgram(dglCreateShaderFromMemory(GL_VERTEX_SHADER, vs),
                            dglCreateShaderFromMemory(GL_FRAGMENT_SHADER, fs), names, 1);
  }();
  static const float quad[] = {-1, -1, 1, -1, -1, 1, 1, 1};
  EXPECT_NE(program, 0u);
  glViewport(0, 0, w, h);
  glClearColor(1, 0, 1, 1);  // magenta: a quad that is not drawn is not black
  glClear(GL_COLOR_BUFFER_BIT);
  glUseProgram(program);
  glUniform1f(glGetUniformLocation(program, "u_bias"), bias);
  glBindTexture(GL_TEXTURE_2D, texture);
  glEnableVertexAttribArray(0);
  glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 0, quad);
  glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
  Bytes px(size_t(w) * h * 4);
  glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, px.data());
  return px;
}

bool AllBlack(const Bytes& px) {
  for (size_t i = 0; i < px.size(); i += 4)
    if (px[i] || px[i + 1] || px[i + 2]) return false;
  return true;
}

// Compares a drawing with level `level` of an uncompressed file; pixels that sample
// right on a texel boundary (non-power-of-two sizes) could go either way: skipped.
void ExpectLevel(const Bytes& f, uint32_t level, const Bytes& px) {
  uint32_t width = Word(f, 36), height = Word(f, 40);
  uint32_t w = Extent(width, level), h = Extent(height, level);
  size_t at = 64 + Word(f, 60);
  for (uint32_t l = 0; l < level; l++) at = Align4(at + 4 + Word(f, at));
  int c = Word(f, 24) == GL_LUMINANCE ? 1 : Word(f, 24) == GL_RGB ? 3 : 4;
  const uint8_t* data = &f[at + 4];
  size_t row = (w * c + 3) & ~3u;
  for (uint32_t y = 0; y < height; y++) {
    double fy = (y + 0.5) * h / height;
    if (std::fabs(fy - std::round(fy)) < 1e-3 && h > 1) continue;
    for (uint32_t x = 0; x < width; x++) {
      double fx = (x + 0.5) * w / width;
      if (std::fabs(fx - std::round(fx)) < 1e-3 && w > 1) continue;
      const uint8_t* want =
          data + std::min<uint32_t>(fy, h - 1) * row + std::min<uint32_t>(fx, w - 1) * c;
      const uint8_t* got = &px[(size_t(y) * width + x) * 4];
      for (int i = 0; i < 3; i++) {
        int expected = want[c == 1 ? 0 : i];
        if (std::abs(got[i] - expected) > 2)
          return ADD_FAILURE() << "level " << level << " pixel " << x << "," << y << " channel "
                               << i << ": got " << int(got[i]) << ", want " << expected;
      }
    }
  }
}

// Accepted: left bound, sampling parameters set, every level with the file's pixels.
void ExpectUploaded(GLuint texture, const Bytes& f) {
  ASSERT_NE(texture, 0u);
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
  GLint bound = 0;
  glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
  EXPECT_EQ(bound, (GLint)texture);
  const GLint want[][2] = {{GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_NEAREST}, {GL_TEXTURE_MAG_FILTER, GL_LINEAR},
                           {GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE}, {GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE}};
  for (const auto& w : want) {
    GLint v = 0;
    glGetTexParameteriv(GL_TEXTURE_2D, w[0], &v);
    EXPECT_EQ(v, w[1]) << "parameter 0x" << std::hex << w[0];
  }
  uint32_t width = Word(f, 36), height = Word(f, 40), levels = std::max(Word(f, 56), 1u);
  uint32_t chain = 1;
  bool compressed = Word(f, 16) == 0 && Word(f, 24) == 0;
  for (uint32_t m = std::max(width, height); m > 1; m >>= 1) chain++;
  Bytes px = Draw(texture, width, height, 0);
  if (levels < chain) {
    // Short of a full chain the mipmap filter leaves it incomplete: black.
    EXPECT_TRUE(AllBlack(px)) << "a texture without its full chain must sample black";
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    px = Draw(texture, width, height, 0);
    EXPECT_FALSE(AllBlack(px)) << "GL_LINEAR must make level 0 visible";
    if (!compressed) ExpectLevel(f, 0, px);
  } else {
    EXPECT_FALSE(AllBlack(px)) << "a full chain is complete under the mipmap filter";
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST_MIPMAP_NEAREST);
    for (uint32_t l = 0; l < levels; l++) ExpectLevel(f, l, Draw(texture, width, height, l));
  }
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

// Refused: 0 and no GL error; then one error line containing `reason` and no
// texture name generated (the one bound before stays bound, names go on in sequence).
void ExpectRefused(int entry, const Bytes& file, const char* reason) {
  SCOPED_TRACE(EntryName(entry));
  GLuint sentinel = 0, next = 0;
  glGenTextures(1, &sentinel);
  glBindTexture(GL_TEXTURE_2D, sentinel);
  Loaded r = Load(entry, file);
  EXPECT_EQ(r.texture, 0u);
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
  EXPECT_EQ(r.out == "", !reason) << r.out;  // no reason: the driver's refusal, none of ours
  if (!reason) return;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  EXPECT_EQ(r.out.find("ERROR: "), 0u) << r.out;
  EXPECT_NE(r.out.find(reason), std::string::npos) << r.out;
  GLint bound = 0;
  glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
  EXPECT_EQ(bound, (GLint)sentinel);
  glGenTextures(1, &next);
  EXPECT_EQ(next, sentinel + 1);
}

TEST(Ktx, AcceptedFilesUploadEveryLevel) {
  std::vector<std::pair<std::string, Bytes>> cases = {
      {"256x256 full chain", Build(256, 256, 9)},
      {"256x128 full chain, short side stops at 1", Build(256, 128, 9)},
      {"imageSize 17, then three filler bytes", Build(2, 2, 2, 1)}};
  // Real files: level 0 only, full chains, no level count, padded rows, key/values.
  for (const char* name : {"rgb-reference.ktx", "rgba-reference.ktx", "rgb-mipmap-reference.ktx",
                           "rgb-amg-reference.ktx", "not4_rgb888_srgb.ktx", "hi_mark_sq.ktx",
                           "orient-up-metadata.ktx", "luminance_unsized_reference.ktx", "etc1.ktx"})
    cases.push_back({name, Real(name)});
  for (const auto& c : cases) {
    ASSERT_GT(c.second.size(), 64u) << c.first;
    for (int entry : {kMemory, kSized, kFile}) {
      SCOPED_TRACE(c.first + " via " + EntryName(entry));
      glEnable(0x1234);  // an error left by someone else is not the new texture's fault
      Loaded r = Load(entry, c.second);
      EXPECT_EQ(r.out, "");
      ExpectUploaded(r.texture, c.second);
    }
  }
}

TEST(Ktx, RefusedFilesReturnZeroAndLeaveNoError) {
  const struct { const char* what; void (*damage)(Bytes&); int entries; const char* reason; } cases[] = {
      {"truncated inside level 3",
       [](Bytes& f) { f.resize(64 + 4 * 3 + 196608 + 49152 + 12288 + 1000); }, kBounded, "level 3"},
      {"level 0 claims 1 GiB", [](Bytes& f) { Put(f, 64, 1u << 30); }, kBounded, "level 0"},
      {"key/value block of 1 GiB", [](Bytes& f) { Put(f, 60, 1u << 30); }, kBounded, "key/value"},
      {"header cut short", [](Bytes& f) { f.resize(40); }, kBounded, "header"},
      {"wrong identifier", [](Bytes& f) { f[1] = 'X'; }, kAll, "identifier"},
      {"big-endian",
       [](Bytes& f) { for (size_t at = 12; at < 64; at += 4) std::reverse(&f[at], &f[at + 4]); },
       kAll, "little-endian"},
      {"rows without their padding", [](Bytes& f) { f = Build(2, 2, 1), Put(f, 64, 12); }, kAll,
       "need"},
      {"more levels than the size allows", [](Bytes& f) { Put(f, 56, 10); }, kAll, "levels"},
      // Sizes whose arithmetic wraps inside the driver, which then takes the process down.
      {"ETC1 0x44BF904D x 0xFFFFFFFF", [](Bytes& f) { f = Etc1(0x44BF904D, 0xFFFFFFFF, 4, 21); },
       kAll, "outside 1 to"},
      {"ETC1 0x40000008 x 8", [](Bytes& f) { f = Etc1(0x40000008, 8, 32, 46); }, kAll,
       "outside 1 to"},
      {"width 0", [](Bytes& f) { Put(f, 36, 0); }, kAll, "outside 1 to"},
      {"ETC1 8x8 in 24 bytes", [](Bytes& f) { f = Etc1(8, 8, 24, 24); }, kAll, "take 32"},
      {"ETC1 5x4 in 8 bytes", [](Bytes& f) { f = Etc1(5, 4, 8, 8); }, kAll, "take 16"},
      {"type 0 with a pixel format", [](Bytes& f) { Put(f, 16, 0); }, kAll, "not supported"},
      {"no faces", [](Bytes& f) { Put(f, 52, 0); }, kAll, "header->num_faces == 1"},
      {"depth 2 reported first", [](Bytes& f) { Put(f, 44, 2), Put(f, 48, 4), Put(f, 52, 6); },
       kAll, "Assertion `header->depth <= 1' failed."},
      {"real array texture", [](Bytes& f) { f = Real("texturearray_etc2_unorm.ktx"); }, kAll,
       "header->array_size <= 1"},
      {"real cube map", [](Bytes& f) { f = Real("cubemap_yokohama_etc2_srgb.ktx"); }, kAll,
       "header->num_faces == 1"},
      // ETC2 and EAC are beyond OpenGL ES 2.0.
      {"real ETC2", [](Bytes& f) { f = Real("etc2-rgb.ktx"); }, kAll, nullptr},
      {"real EAC", [](Bytes& f) { f = Real("conftestimage_R11_EAC.ktx"); }, kAll, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes file = Build(256, 256, 9);
    c.damage(file);
    for (int entry : {kMemory, kSized, kFile})
      if (c.entries & entry) ExpectRefused(entry, file, c.reason);
  }
}

// Cut at every byte after the header: refused, without a read past the cut (the sized copy
// ends at a guard page), except inside the last level's filler, past everything read.
TEST(Ktx, FilesCutAnywhereAfterTheHeaderAreRefused) {
  const Bytes whole = Build(4, 2, 3, 1);  // each level's imageSize followed by 3 filler bytes
  for (size_t size = 64; size < whole.size(); size++) {
    SCOPED_TRACE("cut to " + std::to_string(size) + " of " + std::to_string(whole.size()));
    Bytes cut(whole.begin(), whole.begin() + size);
    if (size >= whole.size() - 3) {
      Loaded r = Load(kSized, cut);
      EXPECT_EQ(r.out, "");
      ExpectUploaded(r.texture, whole);
    } else {
      for (int entry : {kSized, kFile}) ExpectRefused(entry, cut, "level");
    }
  }
}

}  // namespace
