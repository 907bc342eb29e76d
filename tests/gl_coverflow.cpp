// The carousel on a real GL context: where each cover stands, the pictures of a cover, its
// reflection and the caption over a background, what the script draws, set-up failures.

#include "coverflow.h"
#include "gl_context.h"
#include "scroller.h"
#include "timeline.h"

DGL_GL_TEST_ENVIRONMENT;

namespace {

const int W = 1280, H = 720;

GLuint texture_of(int w, int h, const std::vector<uint8_t>& rgba) {  // linear, clamped, level 0 only
  GLuint t;
  glGenTextures(1, &t), glBindTexture(GL_TEXTURE_2D, t);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
  for (GLenum p : {GL_TEXTURE_MIN_FILTER, GL_TEXTURE_MAG_FILTER, GL_TEXTURE_WRAP_S, GL_TEXTURE_WRAP_T})
    glTexParameteri(GL_TEXTURE_2D, p, p == GL_TEXTURE_WRAP_S || p == GL_TEXTURE_WRAP_T ? GL_CLAMP_TO_EDGE : GL_LINEAR);
  return t;
}

// Counts the pixels (channel c of pixel i) that miss what the test expects, naming the first few.
struct Misses {
  int n = 0;
  void check(int got, double want, double tolerance, int i, int c) {
    if (fabs(got - want) > tolerance && n++ < 5) ADD_FAILURE() << "pixel " << i % W << "," << i / W << " channel " << c << ": " << got << " not " << want;
  }
};

}  // namespace

TEST(CarouselTransform, EachCoverStandsTurnsAndDimsByItsOffsetFromTheMiddle) {
  struct Place { int i; float position; double x, z, degrees, color; };
  std::vector<Place> places = {{2, 0, 2.1, -5, -60, 0.65}, {0, -8, -5.7, -5, 60, 0.65}, {0, -0.5f, -0.868909, -4.448181, 37.9272, 0.778758},
                               {1, -0.5f, 0.868909, -4.448181, -37.9272, 0.778758}};
  for (int k = 0; k <= 8; k++) {  // -k centres cover k, its neighbours turned towards it
    places.push_back({k, (float)-k, 0, -3.5, 0, 1});
    if (k < 8) places.push_back({k + 1, (float)-k, 1.483516, -4.972527, -58.9011, 0.656410});
    if (k > 0) places.push_back({k - 1, (float)-k, -1.483516, -4.972527, 58.9011, 0.656410});
  }
  const glm::dmat4 projection = glm::perspective(glm::radians(45.0), 16.0 / 9.0, 0.1, 100.0);
  for (const Place& p : places) {
    float m[16], color;
    coverflow_cover_transform(p.i, p.position, m, &color);
    expect_matrix(m, glm::rotate(glm::translate(projection, glm::dvec3(p.x, -0.75, p.z)), glm::radians(p.degrees), glm::dvec3(0, 1, 0)),
                  1e-4, "cover " + std::to_string(p.i) + " at " + std::to_string(p.position));
    EXPECT_NEAR(color, p.color, 1e-6);
  }
  float m[16], color;
  EXPECT_EQ((coverflow_cover_transform(3, NAN, m, &color), color), 0.65f) << "a position that is not a number gives the far row's brightness";
  coverflow_text_transform(m);
  expect_matrix(m, glm::translate(glm::ortho(-1.0, 1.0, -1.0, 1.0, 1.0, 200.0), glm::dvec3(0, -0.81, -2)), 1e-6, "caption");
}

class Carousel : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    _dglSetExecutableDirectory(nullptr);
    gl_clear(0, 0, 0);
    ready_ = coverflow_init() == 0 && scroller_init() == 0 && ouch_init() == 0;
  }
  void SetUp() override { ASSERT_TRUE(ready_) << "set-up failed on the built data"; }
  static inline bool ready_ = false;
};

TEST_F(Carousel, TheMiddleCoverShowsItsPictureAndItsReflectionMirroredBelowIt) {
  std::vector<uint8_t> ramp(4 * 256 * 4, 255);  // red at the top row, green at the bottom
  for (int i = 0; i < 4 * 256; i++) ramp[i * 4] = 255 - i / 4, ramp[i * 4 + 1] = i / 4, ramp[i * 4 + 2] = 0;
  GLuint picture = texture_of(4, 256, ramp);
  std::swap(picture, coverflow_textures[4]), gl_clear(0, 0, 0);
  EXPECT_EQ(coverflow_render(-4.0f), 0);
  std::swap(picture, coverflow_textures[4]), expect_shared_state(coverflow_program);
  const std::vector<uint8_t> px = gl_pixels();
  Misses misses;
  // Cover 4 faces the eye at z = -3.5, so each screen row is one model height y above the
  // line it stands on; below the line the reflection shows the same row, fading to black.
  for (int row = 0; row < H; row++) {
    const double y = ((row + 0.5) / 360.0 - 1.0) * 3.5 / 2.4142134 + 0.75;
    if (fabs(y) < 0.01 || fabs(y - 2) < 0.01) continue;
    const double t = std::clamp((2 - fabs(y)) / 2 * 256 - 0.5, 0.0, 255.0);
    const double shade = y > 2 ? 0 : y > 0 ? 1 : 128.0 / 255 * (1 + y / 2);
    for (int c = 0; c < 3; c++)
      misses.check(px[(row * W + 640) * 4 + c], (c == 0 ? 255 - t : c == 1 ? t : 0) * shade, 3, row * W + 640, c);
  }
}

TEST_F(Carousel, TheCaptionBlendsByItsAlphaTimesTheFadeOverWhatIsThere) {
  std::vector<uint8_t> caption(256 * 128 * 4);  // red across, green down, alpha in steps of 16 columns
  for (int i = 0; i < 256 * 128; i++)
    caption[i * 4] = i % 256, caption[i * 4 + 1] = 2 * (i / 256), caption[i * 4 + 2] = 255 - i % 256, caption[i * 4 + 3] = 17 * (i % 256 / 16);
  GLuint picture = texture_of(256, 128, caption);
  std::swap(picture, title_textures[2]);
  for (float fade : {0.0f, 0.5f, 1.0f}) {
    gl_clear(0, 0, 0), coverflow_render(-4.0f);  // the covers' depth, which the caption must pass
    glEnable(GL_SCISSOR_TEST);  // then grey stripes, the destination alpha at one half
    for (int s = 0; s < 16; s++)
      glScissor(s * 80, 0, 80, H), glClearColor((96 + 5 * s) / 255.0f, (96 + 5 * s) / 255.0f, (96 + 5 * s) / 255.0f, 0.5f), glClear(GL_COLOR_BUFFER_BIT);
    glDisable(GL_SCISSOR_TEST);
    const std::vector<uint8_t> before = gl_pixels();
    EXPECT_EQ(coverflow_render_text(2, fade), 0);
    expect_shared_state(coverflow_text_program);
    const std::vector<uint8_t> after = gl_pixels();
    Misses misses;
    // 256 x 72 pixels, centred, from 32.4 to 104.4 pixels above the bottom: one texel a
    // pixel across, the texture's first 72 of 128 rows down.
    for (int i = 0; i < W * H; i++) {
      const int x = i % W, row = i / W;
      const bool inside = x >= 512 && x < 768 && row >= 32 && row < 104;
      const double texel_row = std::clamp(103.4 - row, 0.0, 127.0);  // 104.4 - (row + 0.5) - half a texel
      const double src[3] = {double(x - 512), 2 * texel_row, double(255 - (x - 512))};
      const double a = inside ? 17 * ((x - 512) / 16) / 255.0 * fade : 0;
      for (int c = 0; c < 3; c++) misses.check(after[i * 4 + c], src[c] * a + before[i * 4 + c] * (1 - a), 3, i, c);
      misses.check(after[i * 4 + 3], before[i * 4 + 3], 0, i, 3);
    }
    EXPECT_EQ(misses.n, 0) << "fade " << fade;
  }
  std::swap(picture, title_textures[2]);
}

TEST_F(Carousel, EachFrameDrawsWhatTheScriptSays) {
  if (coverflow_keys.empty()) timeline_fill_tracks();
  const struct { bool scroller_sequence; double t; float position; int caption; float fade; double scroller_time; } frames[] = {
      {false, 1, -6, 0, 0, -1}, {false, 12, -4, 0, 0, -1}, {false, 14.125, -1, 1, 0.5f, -1}, {false, 36, -5, 3, 0, -1},
      {true, 0.5, -5, 3, 1, -1}, {true, 6.99, -5, 3, 1, -1}, {true, 7, 0, 0, 0, 0}, {true, 9.5, 0, 0, 0, 2.5}};
  for (const auto& f : frames) {
    SCOPED_TRACE(testing::Message() << (f.scroller_sequence ? "scroller sequence at " : "carousel at ") << f.t);
    EXPECT_EQ(f.scroller_sequence ? timeline_scroller_frame(f.t) : timeline_carousel_frame(f.t), 0);
    const TIMELINE_FRAME& got = timeline_last_frame;
    EXPECT_TRUE(got.scroller == (f.scroller_time >= 0) && got.carousel == (f.scroller_time < 0));
    EXPECT_EQ(std::make_tuple(got.position, got.caption, got.fade, got.scroller_time),
              got.carousel ? std::make_tuple(f.position, f.caption, f.fade, 0.0) : std::make_tuple(0.0f, 0, 0.0f, f.scroller_time));
  }
}

// Set-up from a data folder with one file left out: what was made before the gap stays.
TEST(CarouselSetUp, StopsAtTheFirstMissingFile) {
  for (const std::string missing : {"coverflow_text.fsh", "cover6.ktx"}) {
    SCOPED_TRACE(missing);
    coverflow_program = coverflow_text_program = cover_vbo = 0;
    std::fill(coverflow_textures, coverflow_textures + 9, 0u), std::fill(title_textures, title_textures + 4, 0u);
    ScratchData data;
    ASSERT_TRUE(data.LinkAllBut(missing));
    _dglSetExecutableDirectory(data.dir.c_str());
    StdoutCapture out;
    EXPECT_EQ(coverflow_init(), -1);
    const std::vector<std::string> lines = out.Lines();
    ASSERT_TRUE(lines.size() == 1 && lines[0].find("File not found '" + missing + "'.") != std::string::npos) << out.Stop();
    GLint sampler = -1, covers = missing == "cover6.ktx" ? 6 : 0;
    EXPECT_EQ((glGetUniformiv(coverflow_program, glGetUniformLocation(coverflow_program, "u_tex"), &sampler), sampler), 0);
    for (int i = 0; i < 9; i++) EXPECT_EQ(coverflow_textures[i] != 0, i < covers) << "cover " << i;
    EXPECT_EQ(coverflow_text_program != 0, covers > 0);
    EXPECT_EQ(title_textures[0] | cover_vbo, 0u);
  }
  _dglSetExecutableDirectory(nullptr);
}
