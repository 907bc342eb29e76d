// The carousel on a real GL context: transforms, the caption's place and blending,
// the state each call leaves, and set-up failures.
#include <gtest/gtest.h>
#include <math.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "coverflow.h"
#include "file_io.h"
#include "gl_context.h"
#include "scratch_data.h"
#include "stdout_capture.h"

DGL_GL_TEST_ENVIRONMENT;

// Row r, column c of a column-major matrix.
static float At(const float* m, int r, int c) { return m[c * 4 + r]; }

struct Placement {
  float x, z, degrees, color;
};

// Undoes the fixed projection to read back where a cover stands and how it is turned.
static Placement Place(int i, float position) {
  float m[16], color;
  coverflow_cover_transform(i, position, m, &color);
  Placement p;
  p.x = At(m, 0, 3) / 1.357995f;
  p.z = -At(m, 3, 3);
  // Column 0 is P * (cos, 0, -sin, 0): row 0 holds P00 cos, row 3 holds sin.
  p.degrees = atan2f(At(m, 3, 0), At(m, 0, 0) / 1.357995f) * 57.29578f;
  p.color = color;
  return p;
}

TEST(CarouselTransform, PositionZeroPutsCoverZeroInTheMiddle) {
  float m[16], color;
  coverflow_cover_transform(0, 0.0f, m, &color);
  const float want[4][4] = {{1.357995f, 0, 0, 0},
                            {0, 2.4142134f, 0, -1.81066f},
                            {0, 0, -1.002002f, 3.306807f},
                            {0, 0, -1, 3.5f}};
  for (int r = 0; r < 4; r++)
    for (int c = 0; c < 4; c++) EXPECT_NEAR(At(m, r, c), want[r][c], 2e-5) << r << "," << c;
  EXPECT_EQ(color, 1.0f);
}

TEST(CarouselTransform, MinusKCentresCoverKWithItsNeighboursTurnedInward) {
  for (int k = 0; k <= 8; k++) {
    Placement c = Place(k, (float)-k);
    EXPECT_NEAR(c.x, 0.0f, 1e-6);
    EXPECT_NEAR(c.z, 3.5f - 7.0f, 1e-5);
    EXPECT_NEAR(c.degrees, 0.0f, 1e-4);
    EXPECT_EQ(c.color, 1.0f);
    if (k < 8) {
      Placement right = Place(k + 1, (float)-k);
      EXPECT_NEAR(right.x, 1.483516f, 1e-5);
      EXPECT_NEAR(right.z, -4.972527f, 1e-5);
      EXPECT_NEAR(right.degrees, -58.9011f, 1e-3);
      EXPECT_NEAR(right.color, 0.656410f, 1e-6);
    }
    if (k > 0) {
      Placement left = Place(k - 1, (float)-k);
      EXPECT_NEAR(left.x, -1.483516f, 1e-5);
      EXPECT_NEAR(left.degrees, 58.9011f, 1e-3);
    }
  }
}

TEST(CarouselTransform, CoversTwoAwayStandInTheRowAtFullTurn) {
  Placement p = Place(2, 0.0f);
  EXPECT_NEAR(p.x, 2.1f, 1e-5);
  EXPECT_NEAR(p.z, -5.0f, 1e-5);
  EXPECT_NEAR(p.degrees, -60.0f, 1e-4);
  EXPECT_NEAR(p.color, 0.65f, 1e-6);
  Placement far_left = Place(0, -8.0f);
  EXPECT_NEAR(far_left.x, 0.6f * -8 - 0.9f, 1e-4);
  EXPECT_NEAR(far_left.degrees, 60.0f, 1e-4);
}

TEST(CarouselTransform, HalfwayTheTwoMiddleCoversAreMirrorImages) {
  Placement a = Place(0, -0.5f), b = Place(1, -0.5f);
  EXPECT_NEAR(a.x, -0.868909f, 1e-5);
  EXPECT_NEAR(b.x, 0.868909f, 1e-5);
  EXPECT_NEAR(a.z, -4.448181f, 1e-5);
  EXPECT_NEAR(b.z, -4.448181f, 1e-5);
  EXPECT_NEAR(a.degrees, 37.9272f, 1e-3);
  EXPECT_NEAR(b.degrees, -37.9272f, 1e-3);
  EXPECT_NEAR(a.color, 0.778758f, 1e-6);
}

TEST(CarouselTransform, NotANumberPositionGivesTheFarRowNotGarbage) {
  float m[16], color;
  coverflow_cover_transform(3, NAN, m, &color);
  EXPECT_EQ(color, 0.65f);
}

TEST(CaptionTransform, IsTheFixedOrthographicShift) {
  float c[16];
  coverflow_text_transform(c);
  const float want[4][4] = {
      {1, 0, 0, 0}, {0, 1, 0, -0.81f}, {0, 0, -0.01005025f, -0.9899498f}, {0, 0, 0, 1}};
  for (int r = 0; r < 4; r++)
    for (int col = 0; col < 4; col++) EXPECT_NEAR(At(c, r, col), want[r][col], 1e-6);
  EXPECT_FLOAT_EQ(h, 0.1f);
  EXPECT_FLOAT_EQ(coverflow_text_verts[2].v, 0.5625f);
}

class Carousel : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    _dglSetExecutableDirectory(nullptr);
    glEnable(GL_CULL_FACE);
    glEnable(GL_DEPTH_TEST);
    ready_ = coverflow_init() == 0;
  }
  void SetUp() override {
    ASSERT_TRUE(ready_) << "coverflow_init failed on the built data";
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
  }
  static std::vector<unsigned char> Read() {
    std::vector<unsigned char> px(1280 * 720 * 4);
    glReadPixels(0, 0, 1280, 720, GL_RGBA, GL_UNSIGNED_BYTE, px.data());
    return px;
  }
  static void ExpectSharedStateRestored() {
    EXPECT_TRUE(glIsEnabled(GL_CULL_FACE));
    EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
    EXPECT_FALSE(glIsEnabled(GL_BLEND));
    GLint array = -1, element = -1;
    glGetIntegerv(GL_ARRAY_BUFFER_BINDING, &array);
    glGetIntegerv(GL_ELEMENT_ARRAY_BUFFER_BINDING, &element);
    EXPECT_EQ(array, 0);
    EXPECT_EQ(element, 0);
    for (GLuint i = 0; i < 3; i++) {
      GLint on = -1;
      glGetVertexAttribiv(i, GL_VERTEX_ATTRIB_ARRAY_ENABLED, &on);
      EXPECT_EQ(on, 0) << "attribute " << i;
    }
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
  }
  static bool ready_;
};
bool Carousel::ready_ = false;

TEST_F(Carousel, RendersTheSeamsMatricesAndRestoresState) {
  EXPECT_EQ(coverflow_render(-4.0f), 0);
  GLint program = 0;
  glGetIntegerv(GL_CURRENT_PROGRAM, &program);
  EXPECT_EQ((GLuint)program, coverflow_program);
  // The last cover drawn was cover 8: its upload is the seam's matrix.
  float uploaded[16], want[16], color, uploaded_color = 0;
  glGetUniformfv(coverflow_program, glGetUniformLocation(coverflow_program, "u_proj"), uploaded);
  glGetUniformfv(coverflow_program, glGetUniformLocation(coverflow_program, "u_color"), &uploaded_color);
  coverflow_cover_transform(8, -4.0f, want, &color);
  for (int i = 0; i < 16; i++) EXPECT_EQ(uploaded[i], want[i]);
  EXPECT_EQ(uploaded_color, color);
  GLint texture = 0;
  glGetIntegerv(GL_TEXTURE_BINDING_2D, &texture);
  EXPECT_EQ((GLuint)texture, coverflow_textures[8]);
  ExpectSharedStateRestored();
}

TEST_F(Carousel, TheMiddleCoverIsBrightAndItsReflectionDarkerBelowIt) {
  coverflow_render(-4.0f);
  auto px = Read();
  auto lum = [&](int x, int y_from_top) {
    const unsigned char* p = &px[((size_t)(719 - y_from_top) * 1280 + x) * 4];
    return p[0] + p[1] + p[2];
  };
  // The centred cover's face spans the screen's middle; its reflection lies below the
  // line y = -0.75 on which it stands.
  long cover = 0, reflection = 0;
  for (int x = 560; x < 720; x += 8) {
    for (int y = 220; y < 380; y += 8) cover += lum(x, y);
    for (int y = 560; y < 700; y += 8) reflection += lum(x, y);
  }
  EXPECT_GT(cover, 0);
  EXPECT_LT(reflection, cover);
}

TEST_F(Carousel, CaptionLandsInItsPixelRectangleAndKeepsDestinationAlpha) {
  // A destination alpha the caption must not touch.
  glClearColor(0, 0, 0, 0.5f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  EXPECT_EQ(coverflow_render_text(0, 1.0f), 0);
  auto px = Read();
  long inside = 0;
  for (int y = 0; y < 720; y++)
    for (int x = 0; x < 1280; x++) {
      const unsigned char* p = &px[((size_t)y * 1280 + x) * 4];
      ASSERT_EQ(p[3], 128) << x << "," << y;
      bool lit = p[0] | p[1] | p[2];
      // 256 x 72 pixels, centred, from 32.4 to 104.4 pixels above the bottom edge.
      bool in_rect = x >= 512 && x < 768 && y >= 32 && y <= 104;
      if (!in_rect) {
        ASSERT_FALSE(lit) << "caption outside its rectangle at " << x << "," << y;
      }
      inside += lit;
    }
  EXPECT_GT(inside, 500) << "the caption shows no text";
  ExpectSharedStateRestored();
}

TEST_F(Carousel, FadeZeroLeavesTheColourBufferUnchanged) {
  coverflow_render(-2.3f);
  auto before = Read();
  EXPECT_EQ(coverflow_render_text(3, 0.0f), 0);
  auto after = Read();
  EXPECT_TRUE(before == after);
  ExpectSharedStateRestored();
}

TEST_F(Carousel, TheCaptionIsInFrontOfEveryCover) {
  coverflow_render(-4.0f);
  auto covers = Read();
  coverflow_render_text(1, 1.0f);
  auto both = Read();
  long changed = 0;
  for (size_t i = 0; i < both.size(); i += 4) changed += covers[i] != both[i];
  EXPECT_GT(changed, 500);
}

// Set-up from a data directory with one file taken out.
class CarouselSetUp : public ::testing::Test {
 protected:
  void SetUp() override {
    coverflow_program = coverflow_text_program = 0;
    for (auto& t : coverflow_textures) t = 0;
    for (auto& t : title_textures) t = 0;
    cover_vbo = cover_ibo = text_vbo = text_ibo = 0;
  }
  void TearDown() override { _dglSetExecutableDirectory(nullptr); }
  void DataWithout(const std::string& missing) {
    ASSERT_TRUE(data_.LinkAllBut(missing));
    _dglSetExecutableDirectory(data_.dir.c_str());
  }
  ScratchData data_;
};

TEST_F(CarouselSetUp, AMissingCaptionShaderStopsBeforeAnyTexture) {
  DataWithout("coverflow_text.fsh");
  StdoutCapture out;
  EXPECT_EQ(coverflow_init(), -1);
  auto lines = out.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("File not found 'coverflow_text.fsh'."), std::string::npos);
  EXPECT_NE(coverflow_program, 0u);
  GLint sampler = -1;
  glGetUniformiv(coverflow_program, glGetUniformLocation(coverflow_program, "u_tex"), &sampler);
  EXPECT_EQ(sampler, 0);
  EXPECT_EQ(coverflow_text_program, 0u);
  EXPECT_EQ(coverflow_textures[0], 0u);
}

TEST_F(CarouselSetUp, AMissingSeventhCoverLeavesTheFirstSixAndNothingAfter) {
  DataWithout("cover6.ktx");
  StdoutCapture out;
  EXPECT_EQ(coverflow_init(), -1);
  EXPECT_EQ(out.Lines().size(), 1u);
  for (int i = 0; i < 6; i++) EXPECT_NE(coverflow_textures[i], 0u) << i;
  EXPECT_EQ(coverflow_textures[6], 0u);
  for (auto t : title_textures) EXPECT_EQ(t, 0u);
  EXPECT_EQ(cover_vbo, 0u);
}
