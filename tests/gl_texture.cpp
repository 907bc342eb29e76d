// KTX textures on a real GL ES 2.0 context: the public test files, files made
// here (good and broken), through the memory, sized-memory and file loaders.
// Uploads are verified by sampling every level back through a drawn quad.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "file_io.h"
#include "gl_context.h"
#include "shader.h"
#include "texture.h"

DGL_GL_TEST_ENVIRONMENT;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kRgb8 = 0x8051;
constexpr uint32_t kRgba8 = 0x8058;

// --- The test's own reading of the KTX layout, for the expected pixels. ---

uint32_t Word(const Bytes& f, size_t at) {
  uint32_t v;
  memcpy(&v, f.data() + at, 4);
  return v;
}

struct LevelView {
  uint32_t width, height;
  const uint8_t* data;
};

struct KtxInfo {
  uint32_t type, format, width, height, levels;
  std::vector<LevelView> level;
};

KtxInfo Parse(const Bytes& f) {
  KtxInfo k;
  k.type = Word(f, 16);
  k.format = Word(f, 24);
  k.width = Word(f, 36);
  k.height = Word(f, 40);
  k.levels = std::max(Word(f, 56), 1u);
  size_t at = 64 + Word(f, 60);
  for (uint32_t l = 0; l < k.levels; l++) {
    uint32_t size = Word(f, at);
    k.level.push_back({std::max(k.width >> l, 1u), std::max(k.height >> l, 1u), &f[at + 4]});
    at = (at + 4 + size + 3) & ~size_t(3);
  }
  return k;
}

uint32_t ChainLength(uint32_t w, uint32_t h) {
  uint32_t n = 1;
  for (uint32_t m = std::max(w, h); m > 1; m >>= 1) n++;
  return n;
}

int Components(uint32_t format) {
  switch (format) {
    case GL_LUMINANCE: return 1;
    case GL_RGB: return 3;
    case GL_RGBA: return 4;
  }
  return 0;
}

// The colour GL should return for one texel of an uncompressed level.
void Texel(const KtxInfo& k, const LevelView& lv, uint32_t x, uint32_t y, uint8_t rgb[3]) {
  int c = Components(k.format);
  size_t row = (lv.width * c + 3) & ~3u;
  const uint8_t* p = lv.data + y * row + x * c;
  for (int i = 0; i < 3; i++) rgb[i] = c == 1 ? p[0] : p[i];
}

// --- Files made here. ---

struct MadeKtx {
  uint32_t width = 0, height = 0, levels = 0;  // levels as stored; 0 means one
  uint32_t format = GL_RGB, type = GL_UNSIGNED_BYTE;
  uint32_t internal_format = kRgb8, base_internal_format = GL_RGB;
  uint32_t depth = 0, array_size = 0, faces = 1;
  std::string key_values;
  // Bytes added inside imageSize of each level (filler follows up to 4).
  uint32_t slack = 0;
};

MadeKtx Made(uint32_t width, uint32_t height, uint32_t levels) {
  MadeKtx m;
  m.width = width;
  m.height = height;
  m.levels = levels;
  return m;
}

// Every level a different pattern, so a level uploaded from the wrong place shows.
uint8_t Pattern(uint32_t level, uint32_t x, uint32_t y, int channel) {
  return uint8_t(channel == 0 ? x * 37 + level * 50 + 10
                 : channel == 1 ? y * 59 + level * 90 + 20
                 : (x ^ y) * 13 + level * 29 + 30);
}

Bytes Build(const MadeKtx& m) {
  Bytes f(64, 0);
  const uint8_t id[12] = {0xAB, 0x4B, 0x54, 0x58, 0x20, 0x31, 0x31, 0xBB, 0x0D, 0x0A, 0x1A, 0x0A};
  memcpy(f.data(), id, 12);
  uint32_t words[13] = {0x04030201, m.type, 1, m.format, m.internal_format,
                        m.base_internal_format, m.width, m.height, m.depth, m.array_size,
                        m.faces, m.levels, (uint32_t)m.key_values.size()};
  memcpy(f.data() + 12, words, sizeof(words));
  for (char ch : m.key_values) f.push_back(uint8_t(ch));
  int c = Components(m.format);
  for (uint32_t l = 0; l < std::max(m.levels, 1u); l++) {
    uint32_t w = std::max(m.width >> l, 1u), h = std::max(m.height >> l, 1u);
    uint32_t row = (w * c + 3) & ~3u;
    uint32_t size = row * h + m.slack;
    const uint8_t* s = reinterpret_cast<const uint8_t*>(&size);
    f.insert(f.end(), s, s + 4);
    size_t start = f.size();
    f.resize(start + size, 0xEE);  // row padding and slack: bytes nobody may sample
    for (uint32_t y = 0; y < h; y++)
      for (uint32_t x = 0; x < w; x++)
        for (int i = 0; i < c; i++) f[start + y * row + x * c + i] = Pattern(l, x, y, i);
    while (f.size() % 4) f.push_back(0xEE);
  }
  return f;
}

void Put(Bytes& f, size_t at, uint32_t v) { memcpy(&f[at], &v, 4); }

// --- Loading through each entry point. ---

enum Entry { kMemory = 1, kSized = 2, kFile = 4 };
constexpr int kAll = kMemory | kSized | kFile;
constexpr int kBounded = kSized | kFile;

const char* EntryName(int e) { return e == kMemory ? "memory" : e == kSized ? "sized" : "file"; }

class DataDir {
 public:
  DataDir() {
    char tmpl[] = "/tmp/gl_texture_XXXXXX";
    dir_ = mkdtemp(tmpl);
    mkdir((dir_ + "/data").c_str(), 0700);
    _dglSetExecutableDirectory(dir_.c_str());
  }
  ~DataDir() {
    for (const auto& f : files_) unlink(f.c_str());
    rmdir((dir_ + "/data").c_str());
    rmdir(dir_.c_str());
  }
  void Write(const std::string& name, const Bytes& bytes) {
    std::string path = dir_ + "/data/" + name;
    std::ofstream(path, std::ios::binary).write((const char*)bytes.data(), bytes.size());
    files_.push_back(path);
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  std::vector<std::string> files_;
};

struct Loaded {
  GLuint texture;
  std::string out;
};

Loaded Load(int entry, const Bytes& bytes, DataDir& dir) {
  testing::internal::CaptureStdout();
  GLuint t = 0;
  if (entry == kMemory) {
    // The unsized loader gets a heap image, as the file loader would hand it.
    void* copy = malloc(bytes.size());
    memcpy(copy, bytes.data(), bytes.size());
    t = dglLoadKTXTextureFromMemory(copy);
    free(copy);
  } else if (entry == kSized) {
    t = dglLoadKTXTextureFromMemorySized(bytes.data(), bytes.size());
  } else {
    dir.Write("t.ktx", bytes);
    t = dglLoadKTXTextureFromFile("t.ktx");
  }
  return {t, testing::internal::GetCapturedStdout()};
}

int LogEntries(const std::string& out) {
  int n = 0;
  for (size_t p = out.find("ERROR: "); p != std::string::npos; p = out.find("ERROR: ", p + 1)) n++;
  return n;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string SourceLine(long line) {
  std::ifstream in(std::string(DGL_SOURCE_DIR) + "/source/texture.cpp");
  std::string text;
  for (long i = 0; i < line && std::getline(in, text); i++) {
  }
  return text;
}

// --- Sampling a texture back. ---

class Sampler {
 public:
  Sampler() {
    const char* vs =
        "#version 100\n"
        "attribute vec2 a_position;\n"
        "varying vec2 v_uv;\n"
        "void main() { v_uv = a_position * 0.5 + 0.5; gl_Position = vec4(a_position, 0.0, 1.0); }\n";
    const char* fs =
        "#version 100\n"
        "precision mediump float;\n"
        "uniform sampler2D u_texture;\n"
        "uniform float u_bias;\n"
        "varying vec2 v_uv;\n"
        "void main() { gl_FragColor = texture2D(u_texture, v_uv, u_bias); }\n";
    const char* names[] = {"a_position"};
    program_ = dglCreateProgram(dglCreateShaderFromMemory(GL_VERTEX_SHADER, vs),
                                dglCreateShaderFromMemory(GL_FRAGMENT_SHADER, fs), names, 1);
    bias_ = glGetUniformLocation(program_, "u_bias");
  }

  // The texture drawn 1:1 into a w x h viewport; RGBA bytes, bottom row first.
  Bytes Draw(GLuint texture, uint32_t w, uint32_t h, float bias) {
    static const float quad[] = {-1, -1, 1, -1, -1, 1, 1, 1};
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glDisable(GL_BLEND);
    glViewport(0, 0, w, h);
    glClearColor(1, 0, 1, 1);  // magenta: a quad that is not drawn is not black
    glClear(GL_COLOR_BUFFER_BIT);
    glUseProgram(program_);
    glUniform1i(glGetUniformLocation(program_, "u_texture"), 0);
    glUniform1f(bias_, bias);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, texture);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 0, quad);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    glDisableVertexAttribArray(0);
    Bytes px(size_t(w) * h * 4);
    glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, px.data());
    return px;
  }

  bool ok() const { return program_ != 0; }

 private:
  GLuint program_ = 0;
  GLint bias_ = -1;
};

Sampler& TheSampler() {
  static Sampler* s = new Sampler;
  return *s;
}

bool AllBlack(const Bytes& px) {
  for (size_t i = 0; i < px.size(); i += 4)
    if (px[i] || px[i + 1] || px[i + 2]) return false;
  return true;
}

// Compares a drawing against `level` of the file; pixels that sample right at
// a texel boundary (non-power-of-two sizes) could go either way and are skipped.
void ExpectLevel(const KtxInfo& k, uint32_t level, const Bytes& px) {
  const LevelView& lv = k.level[level];
  int bad = 0;
  std::string first;
  for (uint32_t y = 0; y < k.height; y++) {
    double fy = (y + 0.5) * lv.height / k.height;
    if (std::fabs(fy - std::round(fy)) < 1e-3 && lv.height > 1) continue;
    for (uint32_t x = 0; x < k.width; x++) {
      double fx = (x + 0.5) * lv.width / k.width;
      if (std::fabs(fx - std::round(fx)) < 1e-3 && lv.width > 1) continue;
      uint8_t want[3];
      Texel(k, lv, std::min<uint32_t>(fx, lv.width - 1), std::min<uint32_t>(fy, lv.height - 1),
            want);
      const uint8_t* got = &px[(size_t(y) * k.width + x) * 4];
      for (int i = 0; i < 3; i++) {
        if (std::abs(int(got[i]) - int(want[i])) > 2) {
          if (!bad++) {
            std::ostringstream s;
            s << "pixel " << x << "," << y << " channel " << i << ": got " << int(got[i])
              << ", want " << int(want[i]);
            first = s.str();
          }
          break;
        }
      }
    }
  }
  EXPECT_EQ(bad, 0) << "level " << level << " differs from the file; first: " << first;
}

// A texture the loader accepted: left bound, sampling parameters set, every
// level of the file present with the file's pixels.
void ExpectUploaded(GLuint texture, const Bytes& file) {
  ASSERT_NE(texture, 0u);
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
  GLint bound = 0;
  glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
  EXPECT_EQ(bound, (GLint)texture);
  const GLint want[][2] = {{GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_NEAREST},
                           {GL_TEXTURE_MAG_FILTER, GL_LINEAR},
                           {GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE},
                           {GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE}};
  for (const auto& p : want) {
    GLint v = 0;
    glGetTexParameteriv(GL_TEXTURE_2D, p[0], &v);
    EXPECT_EQ(v, p[1]) << "parameter 0x" << std::hex << p[0];
  }

  KtxInfo k = Parse(file);
  bool compressed = k.type == 0 && k.format == 0;
  Sampler& s = TheSampler();
  ASSERT_TRUE(s.ok());
  Bytes px = s.Draw(texture, k.width, k.height, 0);
  if (k.levels < ChainLength(k.width, k.height)) {
    // Short of a full chain the mipmap filter leaves it incomplete: black.
    EXPECT_TRUE(AllBlack(px)) << "a texture without its full chain must sample black";
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    px = s.Draw(texture, k.width, k.height, 0);
    EXPECT_FALSE(AllBlack(px)) << "GL_LINEAR must make level 0 visible";
    if (!compressed) ExpectLevel(k, 0, px);
  } else {
    EXPECT_FALSE(AllBlack(px)) << "a full chain is complete under the mipmap filter";
    ASSERT_FALSE(compressed);
    // Each level on its own: nearest level, biased to it.
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST_MIPMAP_NEAREST);
    for (uint32_t l = 0; l < k.levels; l++) ExpectLevel(k, l, s.Draw(texture, k.width, k.height, l));
  }
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

// A refused file: 0, one error line containing `reason`, no GL error, and no
// texture name generated (the one bound before is still bound, names go on).
void ExpectRefused(int entry, const Bytes& file, const std::string& reason, DataDir& dir) {
  SCOPED_TRACE(EntryName(entry));
  GLuint sentinel = 0;
  glGenTextures(1, &sentinel);
  glBindTexture(GL_TEXTURE_2D, sentinel);
  Loaded r = Load(entry, file, dir);
  EXPECT_EQ(r.texture, 0u);
  EXPECT_EQ(LogEntries(r.out), 1) << r.out;
  EXPECT_NE(r.out.find(reason), std::string::npos) << r.out;
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
  GLint bound = 0;
  glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
  EXPECT_EQ(bound, (GLint)sentinel);
  GLuint next = 0;
  glGenTextures(1, &next);
  EXPECT_EQ(next, sentinel + 1);
}

// The contract conditions name the loader, the module and their real line.
void ExpectContractReport(const std::string& out, const std::string& condition) {
  const std::string head = "ERROR: ../source/texture.cpp(";
  ASSERT_EQ(out.compare(0, head.size(), head), 0) << out;
  long line = atol(out.c_str() + head.size());
  std::string rest = out.substr(out.find("): ") + 3);
  EXPECT_EQ(rest, "GLuint dglLoadKTXTextureFromMemory(const void*): Assertion `" + condition +
                      "' failed.\n");
  EXPECT_NE(SourceLine(line).find(condition), std::string::npos) << "line " << line;
}

const std::string kKtxDir = std::string(DGL_TESTDATA_DIR) + "/ktx/";

TEST(KtxRealFiles, LoadOrAreRefusedAsTheManifestSays) {
  enum Outcome { kLoads, kDriverRefuses, kContract };
  struct Case {
    const char* file;
    Outcome outcome;
    const char* condition;
  };
  const Case cases[] = {
      {"rgb-reference.ktx", kLoads, nullptr},
      {"rgba-reference.ktx", kLoads, nullptr},
      {"rgb-mipmap-reference.ktx", kLoads, nullptr},
      {"rgb-amg-reference.ktx", kLoads, nullptr},
      {"not4_rgb888_srgb.ktx", kLoads, nullptr},
      {"hi_mark_sq.ktx", kLoads, nullptr},
      {"orient-up-metadata.ktx", kLoads, nullptr},
      {"luminance_unsized_reference.ktx", kLoads, nullptr},
      {"etc1.ktx", kLoads, nullptr},
      // ETC2 and EAC are beyond OpenGL ES 2.0.
      {"etc2-rgb.ktx", kDriverRefuses, nullptr},
      {"conftestimage_R11_EAC.ktx", kDriverRefuses, nullptr},
      {"texturearray_etc2_unorm.ktx", kContract, "header->array_size <= 1"},
      {"cubemap_yokohama_etc2_srgb.ktx", kContract, "header->num_faces == 1"},
  };
  DataDir dir;
  for (const Case& c : cases) {
    Bytes file = ReadFile(kKtxDir + c.file);
    ASSERT_GT(file.size(), 64u) << c.file;
    for (int entry : {kMemory, kSized, kFile}) {
      SCOPED_TRACE(std::string(c.file) + " via " + EntryName(entry));
      if (c.outcome == kContract) {
        ExpectRefused(entry, file, c.condition, dir);
        ExpectContractReport(Load(entry, file, dir).out, c.condition);
        continue;
      }
      Loaded r = Load(entry, file, dir);
      EXPECT_EQ(r.out, "");
      if (c.outcome == kLoads) {
        ExpectUploaded(r.texture, file);
      } else {
        // The driver's refusal is consumed, and the name it got stays bound.
        EXPECT_EQ(r.texture, 0u);
        EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
        GLint bound = 0;
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
        EXPECT_NE(bound, 0);
      }
    }
  }
}

TEST(KtxMadeFiles, AcceptedFilesUploadEveryLevel) {
  struct Case {
    const char* what;
    MadeKtx ktx;
  };
  MadeKtx filler = Made(2, 2, 2);
  filler.slack = 1;  // imageSize 17, then three filler bytes
  filler.key_values = std::string("\x0c\0\0\0note\0hello\0\0", 16);
  MadeKtx rgba_caption = Made(256, 128, 1);
  rgba_caption.format = rgba_caption.base_internal_format = GL_RGBA;
  rgba_caption.internal_format = kRgba8;
  const Case cases[] = {
      {"256x256 full chain", Made(256, 256, 9)},
      {"256x128 full chain, short side stops at 1", Made(256, 128, 9)},
      {"odd rows padded to 4", Made(5, 3, 3)},
      {"imageSize not a multiple of 4, key/value block", filler},
      {"256x128 RGBA, level 0 only", rgba_caption},
      {"no level count", Made(16, 8, 0)},
  };
  DataDir dir;
  for (const Case& c : cases) {
    Bytes file = Build(c.ktx);
    for (int entry : {kMemory, kSized, kFile}) {
      SCOPED_TRACE(std::string(c.what) + " via " + EntryName(entry));
      // An error left by someone else is not the new texture's fault.
      glEnable(0x1234);
      Loaded r = Load(entry, file, dir);
      EXPECT_EQ(r.out, "");
      ExpectUploaded(r.texture, file);
    }
  }
}

TEST(KtxMadeFiles, BrokenFilesAreRefusedWithOneLine) {
  const Bytes good = Build(Made(256, 256, 9));
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
    int entries;
    const char* reason;
  };
  const Case cases[] = {
      {"truncated inside level 3", [](Bytes& f) { f.resize(64 + 4 * 3 + 196608 + 49152 + 12288 + 1000); },
       kBounded, "level 3"},
      {"level 0 claims 1 GiB", [](Bytes& f) { Put(f, 64, 1u << 30); }, kBounded, "level 0"},
      {"key/value block of 1 GiB", [](Bytes& f) { Put(f, 60, 1u << 30); }, kBounded, "key/value"},
      {"header cut short", [](Bytes& f) { f.resize(40); }, kBounded, "header"},
      {"wrong identifier", [](Bytes& f) { f[1] = 'X'; }, kAll, "identifier"},
      {"big-endian", [](Bytes& f) {
         for (size_t at = 12; at < 64; at += 4) std::swap(f[at], f[at + 3]), std::swap(f[at + 1], f[at + 2]);
       }, kAll, "little-endian"},
      {"level 0 without its row padding", [](Bytes& f) { Put(f, 64, 256 * 256 * 3 - 4); }, kAll,
       "need"},
      {"odd rows without their padding", [](Bytes& f) { f = Build(Made(5, 3, 1)); Put(f, 64, 5 * 3 * 3); },
       kAll, "need"},
      {"more levels than the size allows", [](Bytes& f) { Put(f, 56, 10); }, kAll, "levels"},
      {"type 0 with a pixel format", [](Bytes& f) { Put(f, 16, 0); }, kAll, "not supported"},
      {"depth 2 and six faces", [](Bytes& f) { Put(f, 44, 2); Put(f, 52, 6); }, kAll,
       "header->depth <= 1"},
      {"array of 3 cube maps", [](Bytes& f) { Put(f, 48, 3); Put(f, 52, 6); }, kAll,
       "header->array_size <= 1"},
      {"no faces", [](Bytes& f) { Put(f, 52, 0); }, kAll, "header->num_faces == 1"},
  };
  DataDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes file = good;
    c.damage(file);
    for (int entry : {kMemory, kSized, kFile})
      if (c.entries & entry) ExpectRefused(entry, file, c.reason, dir);
  }
  // The depth report comes first, whatever else is wrong, and names its line.
  Bytes file = good;
  Put(file, 44, 2);
  Put(file, 48, 4);
  Put(file, 52, 6);
  ExpectContractReport(Load(kSized, file, dir).out, "header->depth <= 1");
}

TEST(KtxFile, MissingFileGivesOnlyTheLookupsLine) {
  DataDir dir;
  testing::internal::CaptureStdout();
  GLuint t = dglLoadKTXTextureFromFile("absent.ktx");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(t, 0u);
  EXPECT_EQ(LogEntries(out), 1);
  EXPECT_NE(out.find("../source/file_io.cpp"), std::string::npos) << out;
  EXPECT_NE(out.find("File not found 'absent.ktx'."), std::string::npos) << out;
}

}  // namespace
