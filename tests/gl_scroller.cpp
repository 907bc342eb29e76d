// The scroller scene on a real GL ES 2.0 context: set-up, the slot matrices, the marker
// counting, the picture it draws with the face backdrop, and the GL state it leaves.
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>
#include <glm/glm.hpp>
#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/type_ptr.hpp>
#include "file_io.h"
#include "gl_context.h"
#include "png_io.h"
#include "scroller.h"
#include "stdout_capture.h"

DGL_GL_TEST_ENVIRONMENT;

namespace {

const int W = 1280, H = 720;
const uint32_t kBlue = 0x0000ff, kMagenta = 0xff00ff;  // clear colours no glyph or backdrop uses
const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.:,;(!?')";
// The fixed projection, from its definition rather than from the program.
const glm::dmat4 kProj = glm::perspective(M_PI / 3.0, 16.0 / 9.0, 1.0, 200.0);

double slot_x(double time, int i) { return 2.0 * i - 30.0 - (time * 12.0 - floor(time * 12.0)) * 2.0; }
GLint get_int(GLenum e) { GLint v = -1; glGetIntegerv(e, &v); return v; }
GLint attrib_enabled(GLuint i) { GLint v = -1; glGetVertexAttribiv(i, GL_VERTEX_ATTRIB_ARRAY_ENABLED, &v); return v; }

void expect_matrix(const float* m, const glm::dmat4& want, const std::string& what) {
  const glm::dmat4 got(glm::make_mat4(m));
  for (int c = 0; c < 4; c++)
    for (int r = 0; r < 4; r++) EXPECT_NEAR(got[c][r], want[c][r], 2e-5) << what << " [" << c << "][" << r << "]";
}
// P times a pure translation to (x, 0, -28.5), as the flat record places every glyph.
glm::dmat4 flat(double x) { return glm::translate(kProj, glm::dvec3(x, 0.0, -28.5)); }

// What both renderers leave: their program, no buffers bound, no arrays enabled, depth test on.
void expect_state_on_exit(GLuint program) {
  EXPECT_EQ(get_int(GL_CURRENT_PROGRAM), (GLint)program);
  for (GLenum e : {GL_ARRAY_BUFFER_BINDING, GL_ELEMENT_ARRAY_BUFFER_BINDING}) EXPECT_EQ(get_int(e), 0) << e;
  for (GLuint a : {0u, 1u}) EXPECT_EQ(attrib_enabled(a), GL_FALSE) << a;
  EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
  EXPECT_TRUE(glIsEnabled(GL_CULL_FACE) && !glIsEnabled(GL_BLEND));
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

void clear(uint32_t rgb) {
  glClearColor((rgb >> 16) / 255.0f, (rgb >> 8 & 255) / 255.0f, (rgb & 255) / 255.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
}

// The framebuffer as read back after a draw.
struct Frame {
  std::vector<uint8_t> px = std::vector<uint8_t>(W * H * 4);
  Frame() {
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, W, H, GL_RGBA, GL_UNSIGNED_BYTE, px.data());
  }
  bool is(int i, uint32_t rgb) const { return (uint32_t)(px[i * 4] << 16 | px[i * 4 + 1] << 8 | px[i * 4 + 2]) == rgb; }
  bool same(int i, const Frame& o) const { return memcmp(&px[i * 4], &o.px[i * 4], 3) == 0; }
  int count(uint32_t rgb) const { int n = 0; for (int i = 0; i < W * H; i++) n += is(i, rgb); return n; }
};

class Scene : public ::testing::Test {
 protected:
  void SetUp() override {
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_CULL_FACE);
    glDisable(GL_BLEND);
    if (init_result_ == 1) {  // once per program, as the driver does at start-up
      if ((init_result_ = scroller_init()) == 0) ouch_init();
      loaded_text_ = scroll_text;
    }
    ASSERT_EQ(init_result_, 0);
  }
  void TearDown() override { scroll_text = loaded_text_; }

  // The renderer reads the text through the global; tests point it at their own.
  void set_text(const std::string& text) { text_ = text; scroll_text = &text_[0]; }
  // Markers counted so far, read from a frame of a text without markers.
  int hash_count() {
    set_text("NO MARKERS HERE");
    scroller_render(0.0);
    return scroller_slots[0].hash_count;
  }
  // Counts markers (alternating positions, so each frame counts one) until count & 7 is r.
  void select_record(int r) {
    for (int tries = 0; (hash_count() & 7) != r && tries < 20; tries++) {
      set_text(tries % 2 ? "A#" + std::string(40, 'B') : "AA#" + std::string(40, 'B'));
      scroller_render(0.0);
    }
    ASSERT_EQ(hash_count() & 7, r);
  }

  static inline int init_result_ = 1;  // 1: not yet run
  static inline char* loaded_text_ = nullptr;
  std::string text_;
};

}  // namespace

TEST_F(Scene, InitStopsAtTheFirstMissingOrBrokenFile) {
  const std::string dir = testing::TempDir() + "gl_scroller_init", data = dir + "/data";
  std::filesystem::remove_all(dir);
  ASSERT_TRUE(std::filesystem::create_directories(data));
  _dglSetExecutableDirectory(dir.c_str());
  const GLuint kept_font = font_program, kept_ouch = ouch_program;
  auto failing_init_log = [] {
    StdoutCapture out;
    EXPECT_EQ(scroller_init(), -1);
    return out.Stop();
  };
  std::string log = failing_init_log();
  EXPECT_NE(log.find("File not found 'scroll.txt'."), std::string::npos) << log;
  EXPECT_EQ(log.find(".vsh"), std::string::npos) << "no shader is read without the text";
  EXPECT_EQ(scroll_text, nullptr);

  std::ofstream(data + "/scroll.txt") << "HELLO";
  std::ofstream(data + "/font.vsh") << std::ifstream(DGL_SOURCE_DIR "/data/font.vsh").rdbuf();
  std::ofstream(data + "/font.fsh") << "#version 100\nthis is not glsl\n";
  log = failing_init_log();
  EXPECT_NE(log.find("Shader failed to compile:"), std::string::npos) << log;
  EXPECT_EQ(log.find("ouch.vsh"), std::string::npos) << "stops before the backdrop's shaders";
  EXPECT_EQ(font_program, kept_font);

  free(scroll_text);
  font_program = kept_font, ouch_program = kept_ouch;
  _dglSetExecutableDirectory(nullptr);
  std::filesystem::remove_all(dir);
}

TEST_F(Scene, FlatRecordIsProjectionTimesTranslation) {
  select_record(0);
  set_text(std::string(kLetters) + " " + kLetters);
  for (double time : {0.0, 0.37, 1.5, 9.99}) {
    scroller_render(time);
    ASSERT_EQ(scroller_slot_count, 31);
    for (int i = 0; i < 31; i++) {
      ASSERT_GE(scroller_slots[i].glyph, 0);
      expect_matrix(scroller_slots[i].matrix, flat(slot_x(time, i)), "slot " + std::to_string(i) + " at " + std::to_string(time));
    }
    float sent[16];  // what the record says is what the program received last
    glGetUniformfv(font_program, glGetUniformLocation(font_program, "u_proj"), sent);
    EXPECT_EQ(memcmp(sent, scroller_slots[30].matrix, sizeof(sent)), 0);
    expect_state_on_exit(font_program);
  }
}

TEST_F(Scene, SlotZeroFollowsTheClock) {
  select_record(0);
  // 135 characters, and a text shorter than the row that repeats within it.
  for (const std::string& text : {std::string(kLetters) + kLetters + kLetters, std::string("ABC")}) {
    set_text(text);
    for (int n = 0; n <= 300; n += 7) {
      scroller_render(n / 12.0);
      for (int i = 0; i < 31; i++) ASSERT_EQ(scroller_slots[i].text_pos, (n + i) % text.size()) << n;
      scroller_render((n + 0.999) / 12.0);
      EXPECT_EQ(scroller_slots[0].text_pos, n % text.size()) << "not before the next step";
    }
  }
}

TEST_F(Scene, MarkersCountOnceWhenTheyArrive) {
  // A marker at position 0 is the position already stored: not counted when first met.
  set_text("#" + std::string(60, 'A'));
  scroller_render(0.0);  // now the stored position is 0 either way
  const int before = hash_count();
  set_text("#" + std::string(60, 'B'));
  scroller_render(0.0);
  EXPECT_EQ(scroller_slots[0].glyph, -1) << "a marker takes an empty slot";
  EXPECT_EQ(hash_count(), before);

  set_text("AB#CDEFGH");  // one marker shown several times in the row: counted once
  for (double time : {0.0, 0.5, 1.0}) {
    scroller_render(time);
    EXPECT_EQ(scroller_slots[30].hash_count, before + 1) << time;
  }

  // Counted in the frame it enters at the right end. Two markers less than 31 apart: once
  // both are in the row each differs from the one the other stored, so a frame counts two.
  std::string text(200, 'A');
  text[100] = text[110] = '#';
  set_text(text);
  const struct { int step, added; } frames[] = {{69, 0}, {70, 1}, {71, 1}, {80, 2},
                                                {81, 4}, {82, 6}, {100, 8}, {101, 8}};
  for (const auto& fr : frames) {
    scroller_render(fr.step / 12.0);
    EXPECT_EQ(scroller_slots[30].hash_count, before + 1 + fr.added) << "row from " << fr.step;
  }
}

TEST_F(Scene, EmptySlotsTheBlankAndEmptyText) {
  select_record(0);
  // Line break and lower case: empty slots; the blank: pointers and matrix but no draw.
  set_text("A\nb" + std::string(27, 'C') + " ");
  scroller_render(0.0);
  const struct { int slot, glyph, drawn; } want[] = {{0, 0, 1}, {1, -1, 0}, {2, -1, 0}, {30, 45, 0}};
  for (const auto& w : want)
    EXPECT_EQ(std::make_pair(scroller_slots[w.slot].glyph, scroller_slots[w.slot].drawn), std::make_pair(w.glyph, w.drawn)) << w.slot;
  EXPECT_EQ(std::count_if(scroller_slots, scroller_slots + 31, [](const SCROLLER_SLOT& s) { return s.drawn; }), 28);
  float sent[16];  // the blank was the last slot
  glGetUniformfv(font_program, glGetUniformLocation(font_program, "u_proj"), sent);
  expect_matrix(sent, flat(30.0), "blank");
  for (GLuint a : {0u, 1u}) {
    void* pointer = nullptr;
    glGetVertexAttribPointerv(a, GL_VERTEX_ATTRIB_ARRAY_POINTER, &pointer);
    EXPECT_EQ((uintptr_t)pointer, (uintptr_t)opt_font_vertex_offsets[45] * 16 + a * 12) << a;
  }

  for (const std::string& text : {std::string(31, ' '), std::string()}) {  // nothing to draw
    set_text(text);
    clear(kBlue);
    EXPECT_EQ(scroller_render(2.5), 0);
    EXPECT_EQ(Frame().count(kBlue), W * H) << "text of " << text.size();
    EXPECT_EQ(scroller_slot_count, text.empty() ? 0 : 31);
    expect_state_on_exit(font_program);
  }
}

TEST_F(Scene, FirstCharacterAtTheLeftLaterOnesToItsRight) {
  select_record(0);
  int last_centre = -1;
  for (int j : {0, 1, 8, 15, 22, 29, 30}) {
    std::string text(31, ' ');
    text[j] = 'W';
    set_text(text);
    clear(kBlue);
    scroller_render(0.0);
    const Frame frame;
    int min_x = W, max_x = -1;
    for (int i = 0; i < W * H; i++)
      if (!frame.is(i, kBlue)) min_x = std::min(min_x, i % W), max_x = std::max(max_x, i % W);
    ASSERT_GE(max_x, 0) << "nothing drawn for slot " << j;
    const int centre = (min_x + max_x) / 2;
    EXPECT_GT(centre, last_centre) << "slot " << j;
    last_centre = centre;
    if (j == 0) { EXPECT_EQ(min_x, 0) << "slot 0 sits at the left end of the row"; }
    if (j == 15) { EXPECT_NEAR(centre, W / 2, 24); }
    if (j == 30) { EXPECT_EQ(max_x, W - 1); }
  }
}

TEST_F(Scene, BackdropFillsWhatTheLettersLeaveFree) {
  select_record(0);
  set_text("HELLO, WORLD! 0123456789 QUORVELT");
  const double t = 12.25;
  auto ouch = [&](bool keep_depth_test) {
    ouch_render(t, 0.0f, keep_depth_test);
    EXPECT_EQ(get_int(GL_ACTIVE_TEXTURE), GL_TEXTURE0);
    EXPECT_EQ(get_int(GL_TEXTURE_BINDING_2D), (GLint)face_tex);
    expect_state_on_exit(ouch_program);
  };
  clear(kMagenta);
  ouch(true);
  const Frame backdrop;
  EXPECT_EQ(backdrop.count(kMagenta), 0) << "the backdrop alone covers every pixel";

  // The letters, then the backdrop behind them: glyph pixels stay, the rest is backdrop.
  // Without the depth test the layer covers the letters too.
  clear(kMagenta);
  scroller_render(t - 7.0);
  const Frame letters;
  ouch(true);
  const Frame both;
  clear(kMagenta);
  scroller_render(t - 7.0);
  ouch(false);
  const Frame over;
  int glyph_pixels = 0, behind = 0, covered = 0;
  for (int i = 0; i < W * H; i++) {
    const bool glyph = !letters.is(i, kMagenta);
    glyph_pixels += glyph;
    behind += !both.same(i, glyph ? letters : backdrop);
    covered += !over.same(i, backdrop);
  }
  EXPECT_GT(glyph_pixels, W * H / 50);
  EXPECT_EQ(behind, 0);
  EXPECT_EQ(covered, 0);
}

// Pictures of the scene as the show draws it, for looking at.
TEST_F(Scene, WritesPictures) {
  const struct { int record; double time; const char* name; } shots[] = {{0, 2.0, "scroller_flat.png"},
      {1, 2.3, "scroller_ripple.png"}, {2, 2.6, "scroller_swing.png"}, {6, 2.9, "scroller_float.png"}};
  for (const auto& shot : shots) {
    select_record(shot.record);
    scroll_text = loaded_text_;  // no marker within reach of these times
    clear(0);
    scroller_render(shot.time);
    ouch_render(shot.time + 7.0, 0.0f, true);
    ASSERT_EQ(scroller_slots[30].hash_count & 7, shot.record);
    EXPECT_TRUE(png_write(std::string(DGL_BINARY_DIR) + "/" + shot.name, Frame().px.data(), W, H, 4, true));
  }
}

// The shipped text: every byte has a glyph or is a marker or line break, and its eight
// markers stand far enough apart to count once each and all arrive while the module
// plays (a marker counts when it enters at slot 30; the scroller starts 7 s in).
TEST(ScrollText, ShowsEveryWaveShapeOnce) {
  std::ifstream in(std::string(DGL_SOURCE_DIR) + "/data/scroll.txt", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  ASSERT_FALSE(text.empty());
  build_font_letter_lookup();
  std::vector<size_t> markers;
  for (size_t k = 0; k < text.size(); k++) {
    unsigned char c = (unsigned char)text[k];
    if (c == '#') {
      markers.push_back(k);
    } else if (c != '\n') {
      EXPECT_NE(font_letter_lookup[c], -1) << "no glyph for byte " << (int)c << " at " << k;
    }
  }
  ASSERT_GE(markers.size(), 8u);
  for (size_t i = 1; i < markers.size(); i++) EXPECT_GE(markers[i] - markers[i - 1], 31u);
  EXPECT_GE(text.size() - markers.back() + markers.front(), 31u) << "across the wrap";
  // quorvelt.mod plays 92 s: the last shape must still have seconds on screen.
  double eighth_arrives = (markers[7] - 30.0) / 12.0;
  EXPECT_LT(eighth_arrives, 92.0 - 7.0 - 5.0);
}
