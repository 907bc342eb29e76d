// The scroller scene on a real GL ES 2.0 context: set-up, the slot matrices, the marker
// counting, the picture it draws with the face backdrop, and the GL state it leaves.
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <glm/glm.hpp>
#include <glm/gtc/type_ptr.hpp>

#include "file_io.h"
#include "gl_context.h"
#include "png_io.h"
#include "scroller.h"
#include "stdout_capture.h"

DGL_GL_TEST_ENVIRONMENT;

namespace {

const int W = 1280, H = 720;

// scroller_init and ouch_init once per test program, as the driver does at start-up.
class Scene : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (initialised_) return;
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_CULL_FACE);
    init_result_ = scroller_init();
    if (init_result_ == 0) ouch_init();
    loaded_text_ = scroll_text;
    initialised_ = true;
  }
  void SetUp() override {
    ASSERT_EQ(init_result_, 0);
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_CULL_FACE);
    glDisable(GL_BLEND);
  }
  void TearDown() override { scroll_text = loaded_text_; }

  // The renderer reads the text through the global; tests point it at their own.
  void set_text(const std::string& text) {
    text_ = text;
    scroll_text = &text_[0];
  }

  // Markers counted so far, read from a frame of a text without markers.
  int hash_count() {
    set_text("NO MARKERS HERE");
    scroller_render(0.0);
    return scroller_slots[0].hash_count;
  }

  // Counts markers until the wave record (count & 7) is r: two texts whose single
  // markers sit at different positions, so each frame after the first counts one.
  void select_record(int r) {
    for (int tries = 0; (hash_count() & 7) != r && tries < 20; tries++) {
      set_text(tries % 2 ? "A#" + std::string(40, 'B') : "AA#" + std::string(40, 'B'));
      scroller_render(0.0);
    }
    ASSERT_EQ(hash_count() & 7, r);
  }

  void clear(float r, float g, float b) {
    glClearColor(r, g, b, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
  }

  std::vector<uint8_t> read_frame() {
    std::vector<uint8_t> px(W * H * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, W, H, GL_RGBA, GL_UNSIGNED_BYTE, px.data());
    return px;
  }

  static bool is_rgb(const std::vector<uint8_t>& px, int i, int r, int g, int b) {
    return px[i * 4] == r && px[i * 4 + 1] == g && px[i * 4 + 2] == b;
  }

  static int init_result_;
  static bool initialised_;
  static char* loaded_text_;
  std::string text_;
};
int Scene::init_result_ = -1;
bool Scene::initialised_ = false;
char* Scene::loaded_text_ = nullptr;

// The fixed perspective projection, from its definition rather than from the program.
glm::dmat4 perspective() {
  const double f = 1.0 / tan(M_PI / 6.0), n = 1.0, fa = 200.0;
  glm::dmat4 p(0.0);
  p[0][0] = f / (16.0 / 9.0);
  p[1][1] = f;
  p[2][2] = (fa + n) / (n - fa);
  p[3][2] = 2.0 * fa * n / (n - fa);
  p[2][3] = -1.0;
  return p;
}

glm::dmat4 to_dmat(const float* m) {
  glm::dmat4 d;
  for (int c = 0; c < 4; c++)
    for (int r = 0; r < 4; r++) d[c][r] = m[c * 4 + r];
  return d;
}

double slot_x(double time, int i) {
  double s = time * 12.0;
  return 2.0 * i - 30.0 - (s - floor(s)) * 2.0;
}

void expect_near_matrix(const glm::dmat4& a, const glm::dmat4& b, double tol, const std::string& what) {
  for (int c = 0; c < 4; c++)
    for (int r = 0; r < 4; r++) EXPECT_NEAR(a[c][r], b[c][r], tol) << what << " [" << c << "][" << r << "]";
}

GLint get_int(GLenum e) {
  GLint v = -1;
  glGetIntegerv(e, &v);
  return v;
}

GLint attrib_enabled(GLuint index) {
  GLint v = -1;
  glGetVertexAttribiv(index, GL_VERTEX_ATTRIB_ARRAY_ENABLED, &v);
  return v;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.:,;(!?')";

}  // namespace

TEST_F(Scene, InitBuildsProgramsBuffersAndTables) {
  EXPECT_EQ(std::string(scroll_text), read_file(DGL_SOURCE_DIR "/data/scroll.txt"));
  ASSERT_NE(font_program, 0u);
  ASSERT_NE(ouch_program, 0u);
  EXPECT_EQ(glGetAttribLocation(font_program, "a_position"), 0);
  EXPECT_EQ(glGetAttribLocation(font_program, "a_color"), 1);
  EXPECT_EQ(glGetAttribLocation(ouch_program, "a_position"), 0);
  EXPECT_GE(glGetUniformLocation(font_program, "u_proj"), 0);
  for (const char* u : {"u_proj", "u_time", "u_face_tex"})
    EXPECT_GE(glGetUniformLocation(ouch_program, u), 0) << u;

  GLint size = 0;
  glBindBuffer(GL_ARRAY_BUFFER, opt_font_vbo);
  glGetBufferParameteriv(GL_ARRAY_BUFFER, GL_BUFFER_SIZE, &size);
  EXPECT_EQ(size, 216192);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, opt_font_ibo);
  glGetBufferParameteriv(GL_ELEMENT_ARRAY_BUFFER, GL_BUFFER_SIZE, &size);
  EXPECT_EQ(size, 87648);
  glBindBuffer(GL_ARRAY_BUFFER, ouch_vbo);
  glGetBufferParameteriv(GL_ARRAY_BUFFER, GL_BUFFER_SIZE, &size);
  EXPECT_EQ(size, 17280);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
  EXPECT_EQ(ouch_num_verts, 1440);
  EXPECT_TRUE(glIsTexture(face_tex));

  EXPECT_EQ(font_letter_lookup[(unsigned char)'A'], 0);
  EXPECT_EQ(font_letter_lookup[(unsigned char)' '], 45);
  EXPECT_EQ(font_letter_lookup[(unsigned char)'#'], -1);
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);

  // The shipped text: capitals of the alphabet, line breaks and markers, with eight or
  // more markers due within the first 80 s and none two close to count twice at once.
  const std::string text(scroll_text);
  std::vector<size_t> markers;
  for (size_t i = 0; i < text.size(); i++) {
    const unsigned char c = text[i];
    if (c == '#') markers.push_back(i);
    else EXPECT_TRUE(c == '\n' || font_letter_lookup[c] >= 0) << "byte " << (int)c << " at " << i;
  }
  ASSERT_GE(markers.size(), 8u);
  EXPECT_GT(markers[0], 0u) << "a marker at position 0 is not counted on the first pass";
  EXPECT_LE((markers[7] - 30) / 12.0, 80.0);
  for (size_t k = 0; k < markers.size(); k++) {
    size_t next = k + 1 < markers.size() ? markers[k + 1] : markers[0] + text.size();
    EXPECT_GE(next - markers[k], 31u) << "markers at " << markers[k] << " and " << next;
  }
  EXPECT_EQ(markers.size() % 8, 0u) << "each pass should start on the same wave";
}

TEST_F(Scene, InitStopsAtTheFirstMissingOrBrokenFile) {
  char dir_template[] = "/tmp/gl_scroller_XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template, data = dir + "/data";
  ASSERT_EQ(mkdir(data.c_str(), 0700), 0);
  _dglSetExecutableDirectory(dir.c_str());
  char* kept_text = scroll_text;
  const GLuint kept_font = font_program, kept_ouch = ouch_program;

  {
    StdoutCapture out;
    EXPECT_EQ(scroller_init(), -1);
    std::string log = out.Stop();
    EXPECT_NE(log.find("File not found 'scroll.txt'."), std::string::npos) << log;
    EXPECT_EQ(log.find(".vsh"), std::string::npos) << "no shader is read without the text";
    EXPECT_EQ(scroll_text, nullptr);
  }
  auto put = [&](const char* name, const std::string& body) { std::ofstream(data + "/" + name) << body; };
  put("scroll.txt", "HELLO");
  put("font.vsh", read_file(DGL_SOURCE_DIR "/data/font.vsh"));
  put("font.fsh", "#version 100\nthis is not glsl\n");
  {
    StdoutCapture out;
    EXPECT_EQ(scroller_init(), -1);
    std::string log = out.Stop();
    EXPECT_NE(log.find("Shader failed to compile:"), std::string::npos) << log;
    EXPECT_EQ(log.find("ouch.vsh"), std::string::npos) << "stops before the backdrop's shaders";
    EXPECT_EQ(font_program, kept_font);
  }
  free(scroll_text);
  scroll_text = kept_text;
  font_program = kept_font;
  ouch_program = kept_ouch;
  _dglSetExecutableDirectory(nullptr);
  for (const char* f : {"scroll.txt", "font.vsh", "font.fsh"}) unlink((data + "/" + f).c_str());
  rmdir(data.c_str());
  rmdir(dir.c_str());
}

TEST_F(Scene, FlatRecordIsProjectionTimesTranslation) {
  select_record(0);
  set_text(std::string(kLetters) + " " + kLetters);
  const glm::dmat4 p = perspective();
  for (double time : {0.0, 0.37, 1.5, 9.99}) {
    scroller_render(time);
    ASSERT_EQ(scroller_slot_count, 31);
    for (int i = 0; i < 31; i++) {
      const SCROLLER_SLOT& s = scroller_slots[i];
      ASSERT_GE(s.glyph, 0);
      glm::dmat4 t(1.0);
      t[3] = glm::dvec4(slot_x(time, i), 0.0, -28.5, 1.0);
      expect_near_matrix(to_dmat(s.matrix), p * t, 2e-5, "slot " + std::to_string(i) + " at " + std::to_string(time));
    }
    // What the record says is what the program received last.
    float sent[16];
    glUseProgram(font_program);
    glGetUniformfv(font_program, glGetUniformLocation(font_program, "u_proj"), sent);
    EXPECT_EQ(memcmp(sent, scroller_slots[30].matrix, sizeof(sent)), 0);
  }
}

TEST_F(Scene, WavesPlaceAndTurnGlyphsAlongTheCurve) {
  const glm::dmat4 p_inv = glm::inverse(perspective());
  const std::string text = std::string(kLetters) + kLetters;
  for (int record : {1, 2, 3, 4, 5, 6}) {
    select_record(record);
    const FLEX& f = flex[record];
    set_text(text);
    for (double time : {0.25, 3.7}) {
      scroller_render(time);
      auto curve = [&](double x) {
        return glm::dvec3(x, sin(f.wave_speed * time + f.wave_freq * x) * 5.0 * f.wave_amp,
                          (10.0 + cos(f.depth_speed * time + f.depth_freq * x) * 10.0) * f.depth_amp - 28.5);
      };
      for (int i = 0; i < 31; i++) {
        SCOPED_TRACE("record " + std::to_string(record) + " time " + std::to_string(time) + " slot " + std::to_string(i));
        const glm::dmat4 m = p_inv * to_dmat(scroller_slots[i].matrix);
        const double x = slot_x(time, i);
        const glm::dvec3 pos = curve(x), d = curve(x + 2.0) - pos;
        EXPECT_NEAR(m[3][0], pos.x, 2e-4);
        EXPECT_NEAR(m[3][1], pos.y, 2e-4);
        EXPECT_NEAR(m[3][2], pos.z, 2e-4);
        EXPECT_NEAR(m[3][3], 1.0, 1e-5);
        // A roll about x by the depth slope, then a turn about z by the height slope.
        const double h = sqrt(d.x * d.x + d.z * d.z);
        const double phi = atan2(d.z, d.x), theta = atan2(d.y, h);
        glm::dmat3 rx(1.0), rz(1.0);
        rx[1][1] = cos(phi), rx[1][2] = sin(phi), rx[2][1] = -sin(phi), rx[2][2] = cos(phi);
        rz[0][0] = cos(theta), rz[0][1] = sin(theta), rz[1][0] = -sin(theta), rz[1][1] = cos(theta);
        const glm::dmat3 want = rz * rx;
        for (int c = 0; c < 3; c++)
          for (int r = 0; r < 3; r++) EXPECT_NEAR(m[c][r], want[c][r], 2e-4) << c << "," << r;
        EXPECT_NEAR(m[0][2], 0.0, 1e-5) << "the glyph's x axis stays in the screen plane";
        if (d.z > 0.05) {
          EXPECT_GT(m[1][2], 0.0) << "top leans toward the viewer where the row comes forward";
        }
        if (record == 6) {
          EXPECT_NEAR(m[3][2], curve(0.0).z, 1e-4) << "the row moves as one piece";
        }
      }
    }
  }
}

TEST_F(Scene, SlotZeroFollowsTheClock) {
  select_record(0);
  std::string text;
  for (int i = 0; i < 3; i++) text += kLetters;  // 135 characters
  set_text(text);
  for (int n = 0; n <= 300; n += 7) {
    scroller_render(n / 12.0);
    for (int i = 0; i < 31; i++) ASSERT_EQ(scroller_slots[i].text_pos, (uint32_t)((n + i) % text.size())) << n;
    // Just before the next step the row has slid almost a whole glyph to the left.
    scroller_render((n + 0.999) / 12.0);
    EXPECT_EQ(scroller_slots[0].text_pos, (uint32_t)(n % text.size()));
    const glm::dmat4 m = glm::inverse(perspective()) * to_dmat(scroller_slots[0].matrix);
    EXPECT_NEAR(m[3][0], -30.0 - 1.998, 1e-3);
  }
  // A text shorter than the row repeats within it.
  set_text("ABC");
  scroller_render(0.0);
  for (int i = 0; i < 31; i++) EXPECT_EQ(scroller_slots[i].text_pos, (uint32_t)(i % 3));
}

TEST_F(Scene, MarkersCountOnceWhenTheyArrive) {
  select_record(0);
  // A marker at position 0 is the position already stored: not counted when first met.
  set_text("#" + std::string(60, 'A'));
  scroller_render(0.0);  // now the stored position is 0 either way
  int before = hash_count();
  set_text("#" + std::string(60, 'B'));
  scroller_render(0.0);
  EXPECT_EQ(scroller_slots[0].glyph, -1) << "a marker takes an empty slot";
  EXPECT_EQ(hash_count(), before);

  // A short text shows its one marker several times in the row: counted once.
  set_text("AB#CDEFGH");
  scroller_render(0.0);
  EXPECT_EQ(scroller_slots[30].hash_count, before + 1);
  scroller_render(0.5);
  scroller_render(1.0);
  EXPECT_EQ(hash_count(), before + 1);

  // Counted in the frame it enters at the right end, not earlier; the slots right of
  // a marker met in the same pass already see the new count.
  std::string text(200, 'A');
  text[100] = '#';
  text[150] = '#';
  set_text(text);
  before = hash_count();
  set_text(text);
  scroller_render(69 / 12.0);  // window 69..99
  EXPECT_EQ(scroller_slots[30].hash_count, before);
  scroller_render(70 / 12.0);  // window 70..100
  EXPECT_EQ(scroller_slots[30].text_pos, 100u);
  EXPECT_EQ(scroller_slots[30].hash_count, before + 1);
  scroller_render(71 / 12.0);
  EXPECT_EQ(scroller_slots[30].hash_count, before + 1) << "still in the window: not again";

  // The second marker arrives 50 positions later; the windows never hold both.
  scroller_render(119 / 12.0);
  EXPECT_EQ(scroller_slots[30].hash_count, before + 1);
  scroller_render(120 / 12.0);
  EXPECT_EQ(scroller_slots[30].hash_count, before + 2);

  // Two markers less than 31 apart: once both are in the window, each differs from the
  // position the other stored, so every frame counts two until the first one leaves.
  std::string close(200, 'A');
  close[100] = '#';
  close[110] = '#';
  set_text(close);
  scroller_render(70 / 12.0);  // 100 arrives
  int c0 = scroller_slots[30].hash_count;
  scroller_render(80 / 12.0);  // 110 arrives: 100 was stored, so only 110 counts
  EXPECT_EQ(scroller_slots[30].hash_count, c0 + 1);
  scroller_render(81 / 12.0);
  EXPECT_EQ(scroller_slots[30].hash_count, c0 + 3);
  scroller_render(82 / 12.0);
  EXPECT_EQ(scroller_slots[30].hash_count, c0 + 5);
  scroller_render(100 / 12.0);  // 100 still in slot 0
  EXPECT_EQ(scroller_slots[30].hash_count, c0 + 7);
  scroller_render(101 / 12.0);  // 100 has left: 110 is the stored one
  EXPECT_EQ(scroller_slots[30].hash_count, c0 + 7);
  // The record in use comes from the count at each slot.
  EXPECT_EQ(scroller_slots[0].hash_count, c0 + 7);
}

TEST_F(Scene, EmptySlotsAndTheBlank) {
  select_record(0);
  // Line break and lower case: empty slots; the blank: pointers and matrix but no draw.
  std::string text = "A\nb" + std::string(27, 'C') + " ";
  ASSERT_EQ(text.size(), 31u);
  set_text(text);
  scroller_render(0.0);
  EXPECT_EQ(scroller_slots[0].glyph, 0);
  EXPECT_EQ(scroller_slots[0].drawn, 1);
  EXPECT_EQ(scroller_slots[1].glyph, -1);
  EXPECT_EQ(scroller_slots[1].drawn, 0);
  EXPECT_EQ(scroller_slots[2].glyph, -1);
  EXPECT_EQ(scroller_slots[2].drawn, 0);
  EXPECT_EQ(scroller_slots[30].glyph, 45);
  EXPECT_EQ(scroller_slots[30].drawn, 0);
  int draws = 0;
  for (const SCROLLER_SLOT& s : scroller_slots) draws += s.drawn;
  EXPECT_EQ(draws, 28);

  // The blank was the last slot: its matrix and its attribute pointers were set.
  glm::dmat4 t(1.0);
  t[3] = glm::dvec4(30.0, 0.0, -28.5, 1.0);
  float sent[16];
  glGetUniformfv(font_program, glGetUniformLocation(font_program, "u_proj"), sent);
  expect_near_matrix(to_dmat(sent), perspective() * t, 2e-5, "blank");
  void* pointer = nullptr;
  glGetVertexAttribPointerv(0, GL_VERTEX_ATTRIB_ARRAY_POINTER, &pointer);
  EXPECT_EQ((uintptr_t)pointer, (uintptr_t)opt_font_vertex_offsets[45] * 16);
  glGetVertexAttribPointerv(1, GL_VERTEX_ATTRIB_ARRAY_POINTER, &pointer);
  EXPECT_EQ((uintptr_t)pointer, (uintptr_t)opt_font_vertex_offsets[45] * 16 + 12);

  // A row of blanks draws nothing at all.
  set_text(std::string(31, ' '));
  clear(0.0f, 0.0f, 1.0f);
  scroller_render(0.0);
  std::vector<uint8_t> px = read_frame();
  for (int i = 0; i < W * H; i++) ASSERT_TRUE(is_rgb(px, i, 0, 0, 255)) << "pixel " << i;
}

TEST_F(Scene, EmptyTextDrawsNothing) {
  set_text("");
  clear(0.0f, 0.0f, 1.0f);
  EXPECT_EQ(scroller_render(2.5), 0);
  EXPECT_EQ(scroller_slot_count, 0);
  std::vector<uint8_t> px = read_frame();
  for (int i = 0; i < W * H; i++) ASSERT_TRUE(is_rgb(px, i, 0, 0, 255)) << "pixel " << i;
  EXPECT_EQ(get_int(GL_CURRENT_PROGRAM), (GLint)font_program);
  EXPECT_EQ(get_int(GL_ARRAY_BUFFER_BINDING), 0);
  EXPECT_EQ(attrib_enabled(0), GL_FALSE);
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

TEST_F(Scene, FirstCharacterAtTheLeftLaterOnesToItsRight) {
  select_record(0);
  int last_centre = -1;
  for (int j : {0, 1, 8, 15, 22, 29, 30}) {
    std::string text(31, ' ');
    text[j] = 'W';
    set_text(text);
    clear(0.0f, 0.0f, 1.0f);
    scroller_render(0.0);
    std::vector<uint8_t> px = read_frame();
    int min_x = W, max_x = -1;
    for (int i = 0; i < W * H; i++)
      if (!is_rgb(px, i, 0, 0, 255)) min_x = std::min(min_x, i % W), max_x = std::max(max_x, i % W);
    ASSERT_GE(max_x, 0) << "nothing drawn for slot " << j;
    int centre = (min_x + max_x) / 2;
    EXPECT_GT(centre, last_centre) << "slot " << j;
    last_centre = centre;
    if (j == 0) {
      EXPECT_EQ(min_x, 0) << "slot 0 sits at the left end of the row";
    }
    if (j == 15) {
      EXPECT_NEAR(centre, W / 2, 24);
    }
    if (j == 30) {
      EXPECT_EQ(max_x, W - 1);
    }
  }
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

TEST_F(Scene, BackdropFillsWhatTheLettersLeaveFree) {
  select_record(0);
  set_text("HELLO, WORLD! 0123456789 QUORVELT");
  const double t = 12.25;
  // C: the backdrop alone covers every pixel.
  clear(1.0f, 0.0f, 1.0f);
  ouch_render(t, 0.0f, true);
  std::vector<uint8_t> backdrop = read_frame();
  int uncovered = 0;
  for (int i = 0; i < W * H; i++) uncovered += is_rgb(backdrop, i, 255, 0, 255);
  EXPECT_EQ(uncovered, 0);

  // A: the letters alone. B: letters, then the backdrop behind them.
  clear(1.0f, 0.0f, 1.0f);
  scroller_render(t - 7.0);
  std::vector<uint8_t> letters = read_frame();
  ouch_render(t, 0.0f, true);
  std::vector<uint8_t> both = read_frame();
  int glyph_pixels = 0, mismatches = 0;
  for (int i = 0; i < W * H; i++) {
    const bool glyph = !is_rgb(letters, i, 255, 0, 255);
    glyph_pixels += glyph;
    const std::vector<uint8_t>& want = glyph ? letters : backdrop;
    mismatches += memcmp(&both[i * 4], &want[i * 4], 3) != 0;
  }
  EXPECT_GT(glyph_pixels, W * H / 50);
  EXPECT_EQ(mismatches, 0);

  // Without the depth test the layer covers the letters too, and the test is back on.
  clear(1.0f, 0.0f, 1.0f);
  scroller_render(t - 7.0);
  ouch_render(t, 0.0f, false);
  EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
  std::vector<uint8_t> over = read_frame();
  mismatches = 0;
  for (int i = 0; i < W * H; i++) mismatches += memcmp(&over[i * 4], &backdrop[i * 4], 3) != 0;
  EXPECT_EQ(mismatches, 0);

  // y_offset 1 lifts the layer by half the screen; 2 lifts it off.
  clear(1.0f, 0.0f, 1.0f);
  ouch_render(t, 1.0f, true);
  std::vector<uint8_t> lifted = read_frame();
  int lower_uncovered = 0, upper_covered = 0, moved_off = 0;
  for (int y = 0; y < H; y++)
    for (int x = 0; x < W; x++) {
      const int i = y * W + x;
      if (y < H / 2) lower_uncovered += is_rgb(lifted, i, 255, 0, 255);
      else {
        upper_covered += !is_rgb(lifted, i, 255, 0, 255);
        const int j = (y - H / 2) * W + x;
        for (int k = 0; k < 3; k++) moved_off += abs(lifted[i * 4 + k] - backdrop[j * 4 + k]) > 8;
      }
    }
  EXPECT_EQ(lower_uncovered, W * H / 2);
  EXPECT_EQ(upper_covered, W * H / 2);
  EXPECT_LT(moved_off, W * H / 200) << "the upper half shows the lower half of the layer";
  clear(1.0f, 0.0f, 1.0f);
  ouch_render(t, 2.0f, true);
  std::vector<uint8_t> gone = read_frame();
  uncovered = 0;
  for (int i = 0; i < W * H; i++) uncovered += is_rgb(gone, i, 255, 0, 255);
  EXPECT_EQ(uncovered, W * H);
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

TEST_F(Scene, BackdropMovesWithTime) {
  clear(0.0f, 0.0f, 0.0f);
  ouch_render(10.0, 0.0f, true);
  std::vector<uint8_t> a = read_frame();
  clear(0.0f, 0.0f, 0.0f);
  ouch_render(10.5, 0.0f, true);
  std::vector<uint8_t> b = read_frame();
  int changed = 0;
  for (int i = 0; i < W * H; i++) changed += memcmp(&a[i * 4], &b[i * 4], 3) != 0;
  EXPECT_GT(changed, W * H / 4);
  // Colourful: pixels of several distinct hues.
  int reddish = 0, greenish = 0, bluish = 0;
  for (int i = 0; i < W * H; i++) {
    int r = a[i * 4], g = a[i * 4 + 1], bl = a[i * 4 + 2];
    reddish += r > g + 30 && r > bl + 30;
    greenish += g > r + 30 && g > bl + 30;
    bluish += bl > r + 30 && bl > g + 30;
  }
  EXPECT_GT(reddish, 1000);
  EXPECT_GT(greenish, 1000);
  EXPECT_GT(bluish, 1000);
}

TEST_F(Scene, StateOnExit) {
  select_record(2);
  set_text(kLetters);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  scroller_render(4.0);
  EXPECT_EQ(get_int(GL_CURRENT_PROGRAM), (GLint)font_program);
  EXPECT_EQ(get_int(GL_ARRAY_BUFFER_BINDING), 0);
  EXPECT_EQ(get_int(GL_ELEMENT_ARRAY_BUFFER_BINDING), 0);
  EXPECT_EQ(attrib_enabled(0), GL_FALSE);
  EXPECT_EQ(attrib_enabled(1), GL_FALSE);
  EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
  EXPECT_TRUE(glIsEnabled(GL_CULL_FACE));
  EXPECT_FALSE(glIsEnabled(GL_BLEND));

  for (bool keep : {true, false}) {
    ouch_render(11.0, 0.0f, keep);
    EXPECT_EQ(get_int(GL_CURRENT_PROGRAM), (GLint)ouch_program);
    EXPECT_EQ(get_int(GL_ACTIVE_TEXTURE), GL_TEXTURE0);
    EXPECT_EQ(get_int(GL_TEXTURE_BINDING_2D), (GLint)face_tex);
    EXPECT_EQ(get_int(GL_ARRAY_BUFFER_BINDING), 0);
    EXPECT_EQ(attrib_enabled(0), GL_FALSE);
    EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
    EXPECT_TRUE(glIsEnabled(GL_CULL_FACE));
    EXPECT_FALSE(glIsEnabled(GL_BLEND));
  }
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

// Pictures of the scene as the show draws it, for looking at: flat, ripple, depth swing,
// and the whole row floating.
TEST_F(Scene, WritesPictures) {
  const struct {
    int record;
    double time;
    const char* name;
  } shots[] = {{0, 2.0, "scroller_flat.png"},
               {1, 2.3, "scroller_ripple.png"},
               {2, 2.6, "scroller_swing.png"},
               {6, 2.9, "scroller_float.png"}};
  for (const auto& shot : shots) {
    select_record(shot.record);
    scroll_text = loaded_text_;  // no marker within reach of these times
    clear(0.0f, 0.0f, 0.0f);
    scroller_render(shot.time);
    ouch_render(shot.time + 7.0, 0.0f, true);
    ASSERT_EQ(scroller_slots[30].hash_count & 7, shot.record);
    std::vector<uint8_t> px = read_frame();
    EXPECT_TRUE(png_write(std::string(DGL_BINARY_DIR) + "/" + shot.name, px.data(), W, H, 4, true));
  }
}
