// The scroller scene on a real GL ES 2.0 context: set-up failures, the slot matrices of
// every wave shape, the clock and the markers, and a letter drawn before the backdrop.

#include "gl_context.h"
#include "scroller.h"

DGL_GL_TEST_ENVIRONMENT;

namespace {

const int W = 1280, H = 720;
const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.:,;(!?')";

class Scene : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    _dglSetExecutableDirectory(nullptr);
    gl_clear(0, 0, 0);
    ready_ = scroller_init() == 0 && ouch_init() == 0;
    loaded_text_ = scroll_text;
  }
  void SetUp() override { ASSERT_TRUE(ready_); }
  void TearDown() override { scroll_text = loaded_text_; }
  // The renderer reads the text through the global; tests point it at their own.
  void set_text(const std::string& text) { text_ = text, scroll_text = &text_[0]; }
  int hash_count() {  // markers counted so far, from a frame of a text without markers
    set_text("NO MARKERS HERE");
    return scroller_render(0.0), scroller_slots[0].hash_count;
  }
  // Counts markers (alternating positions, so each frame counts one) until count & 7 is r.
  void select_record(int r) {
    for (int tries = 0; (hash_count() & 7) != r && tries < 20; tries++)
      set_text(std::string(tries % 2 ? "A#" : "AA#") + std::string(40, 'B')), scroller_render(0.0);
    ASSERT_EQ(hash_count() & 7, r);
  }
  static inline bool ready_ = false;
  static inline char* loaded_text_ = nullptr;
  std::string text_;
};

}  // namespace

TEST(SceneSetUp, StopsAtTheFirstMissingOrBrokenFile) {
  const GLuint kept[2] = {font_program, ouch_program};
  for (const std::string file : {"scroll.txt", "font.fsh"}) {
    ScratchData data;
    ASSERT_TRUE(data.LinkAllBut(file));
    if (file == "font.fsh") std::ofstream(data.dir + "/data/font.fsh") << "#version 100\nthis is not glsl\n";
    _dglSetExecutableDirectory(data.dir.c_str());
    StdoutCapture out;
    EXPECT_EQ(scroller_init(), -1);
    const std::string log = out.Stop();
    EXPECT_NE(log.find(file == "font.fsh" ? "Shader failed to compile:" : "File not found 'scroll.txt'."), std::string::npos) << log;
    EXPECT_EQ(file == "font.fsh", scroll_text != nullptr) << "no shader is read without the text";
    EXPECT_TRUE(log.find("ouch.vsh") == std::string::npos && font_program == kept[0]) << "stops before the backdrop's shaders";
    free(scroll_text);
  }
  font_program = kept[0], ouch_program = kept[1];
  _dglSetExecutableDirectory(nullptr);
}

TEST_F(Scene, EveryWaveShapeBendsTheRowAndTurnsEachLetterAlongItsChord) {
  // The eight shapes: wave and depth amplitude, frequency along x, speed in time.
  const double shapes[8][6] = {{0, 0, 0.1, 0.1, 6, 3.77}, {1, 0, 0.1, 0.1, 6, 3.77}, {1, 1, 0.1, 0.1, 6, 3.77}, {2.1, 0, 0.05, 0.1, 3, 3.77},
      {0, 1, 0.1, 0.075, 6, 3.77}, {0.125, 1, 0.1, 0.075, 6, 3.77}, {0.2, 1, 0.05, 0, 3, 1.77}, {2.1, 0, 0.05, 0.1, 3, 3.77}};
  const glm::dmat4 projection = glm::perspective(M_PI / 3.0, 16.0 / 9.0, 1.0, 200.0);
  for (int r = 0; r < 8; r++) {
    select_record(r);
    set_text(std::string(kLetters) + " " + kLetters);
    const double* f = shapes[r];
    for (double t : {0.37, 4.1, 9.99}) {
      auto curve = [&](double x) { return glm::dvec3(x, sin(f[4] * t + f[2] * x) * 5 * f[0], (10 + cos(f[5] * t + f[3] * x) * 10) * f[1] - 28.5); };
      scroller_render(t);
      ASSERT_EQ(scroller_slot_count, 31);
      for (int i = 0; i < 31; i++) {
        const double x = 2 * i - 30 - (t * 12 - floor(t * 12)) * 2;
        const glm::dvec3 p = curve(x), d = curve(x + 2) - p;
        // A roll about x by the chord's depth slope, then a turn in the screen plane by its height slope.
        const glm::dmat4 turn = glm::rotate(glm::translate(projection, p), atan2(d.y, hypot(d.x, d.z)), glm::dvec3(0, 0, 1));
        expect_matrix(scroller_slots[i].matrix, glm::rotate(turn, atan2(d.z, d.x), glm::dvec3(1, 0, 0)), 3e-4,
                      "shape " + std::to_string(r) + " at " + std::to_string(t) + " slot " + std::to_string(i));
      }
      float sent[16];  // what the record says is what the program received last
      glGetUniformfv(font_program, glGetUniformLocation(font_program, "u_proj"), sent);
      EXPECT_EQ(memcmp(sent, scroller_slots[30].matrix, sizeof(sent)), 0), expect_shared_state(font_program);
    }
  }
}

TEST_F(Scene, SlotsFollowTheClockAndSkipWhatHasNoGlyph) {
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
  // Line break and lower case: empty slots; the blank: pointers and matrix but no draw.
  set_text("A\nb" + std::string(27, 'C') + " "), scroller_render(0.0);
  const struct { int slot, glyph, drawn; } want[] = {{0, 0, 1}, {1, -1, 0}, {2, -1, 0}, {3, 2, 1}, {30, 45, 0}};
  for (const auto& w : want) EXPECT_EQ(std::make_pair(scroller_slots[w.slot].glyph, scroller_slots[w.slot].drawn), std::make_pair(w.glyph, w.drawn));
  void* pointer[2] = {};  // position and colour of the blank's first vertex
  for (GLuint a : {0u, 1u}) glGetVertexAttribPointerv(a, GL_VERTEX_ATTRIB_ARRAY_POINTER, &pointer[a]);
  EXPECT_EQ((std::vector<uintptr_t>{(uintptr_t)pointer[0], (uintptr_t)pointer[1]}), (std::vector<uintptr_t>{opt_font_vertex_offsets[45] * 16u, opt_font_vertex_offsets[45] * 16u + 12}));
  for (const std::string& text : {std::string(31, ' '), std::string()}) {  // nothing to draw
    set_text(text), gl_clear(0, 0, 1);
    EXPECT_EQ(scroller_render(2.5), 0);
    const std::vector<uint8_t> px = gl_pixels();
    for (int i = 0; i < W * H; i++) ASSERT_TRUE(px[i * 4] == 0 && px[i * 4 + 2] == 255) << "text of " << text.size();
    EXPECT_EQ(scroller_slot_count, text.empty() ? 0 : 31);
    expect_shared_state(font_program);
  }
}

TEST_F(Scene, MarkersCountOnceWhenTheyArrive) {
  // A marker at position 0 is the position already stored: not counted when first met.
  set_text("#" + std::string(60, 'A')), scroller_render(0.0);  // now the stored position is 0 either way
  const int before = hash_count();
  set_text("#" + std::string(60, 'B')), scroller_render(0.0);
  EXPECT_EQ(scroller_slots[0].glyph, -1) << "a marker takes an empty slot";
  EXPECT_EQ(hash_count(), before);
  set_text("AB#CDEFGH");  // one marker shown several times in the row: counted once
  for (double time : {0.0, 0.5, 1.0}) EXPECT_EQ((scroller_render(time), scroller_slots[30].hash_count), before + 1) << time;
  // Counted in the frame it enters at the right end. Two markers less than 31 apart: once
  // both are in the row each differs from the one the other stored, so a frame counts two.
  std::string text(200, 'A');
  text[100] = text[110] = '#';
  set_text(text);
  const struct { int step, added; } frames[] = {{69, 0}, {70, 1}, {71, 1}, {80, 2}, {81, 4}, {82, 6}, {100, 8}, {101, 8}};
  for (const auto& fr : frames) EXPECT_EQ((scroller_render(fr.step / 12.0), scroller_slots[30].hash_count), before + 1 + fr.added) << fr.step;
}

TEST_F(Scene, ALetterInFrontOfTheBackdrop) {
  select_record(0);
  set_text(std::string(15, ' ') + "A" + std::string(15, ' '));  // in the middle slot, flat at z = -28.5: its front at -28.25
  auto draw = [&](bool letter, int backdrop) {  // backdrop 1: behind, 2: without the depth test
    gl_clear(1, 0, 1);
    if (letter) scroller_render(0.0);
    if (backdrop) {
      EXPECT_EQ(ouch_render(12.25, 0.0f, backdrop == 1), 0);
      GLint unit = 0, bound = 0;
      glGetIntegerv(GL_ACTIVE_TEXTURE, &unit), glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
      EXPECT_EQ(std::make_pair(unit, bound), std::make_pair((GLint)GL_TEXTURE0, (GLint)face_tex));
      expect_shared_state(ouch_program);
    }
    return gl_pixels();
  };
  const std::vector<uint8_t> letter = draw(true, 0), backdrop = draw(false, 1), both = draw(true, 1), over = draw(true, 2);
  // Each pixel of the 8x7 bitmap (rows 38 6C C6 C6 FE C6 C6) is a cell of 0.2 units: ink is
  // white, a cell touching ink is black, the rest is not drawn.
  const int rows[7] = {0x38, 0x6C, 0xC6, 0xC6, 0xFE, 0xC6, 0xC6};
  auto ink = [&](int r, int k) { return r >= 0 && r < 7 && k >= 0 && k < 8 && (rows[r] >> (7 - k) & 1); };
  for (int cell = 0; cell < 90; cell++) {
    const int r = cell / 10 - 1, k = cell % 10 - 1;
    int touching = 0;
    for (int n = 0; n < 9; n++) touching += ink(r + n / 3 - 1, k + n % 3 - 1);
    const int x = (1 + 0.9742786 * (0.2 * k - 0.7) / 28.25) * 640, y = (1 + 1.7320509 * (0.7 - 0.2 * r) / 28.25) * 360;
    const uint8_t* p = &letter[(y * W + x) * 4];
    EXPECT_TRUE(ink(r, k) ? std::min({p[0], p[1], p[2]}) > 140 : touching ? std::max({p[0], p[1], p[2]}) < 10
                                                                           : p[0] == 255 && p[1] == 0 && p[2] == 255)
        << "cell " << r << "," << k << ": " << +p[0] << " " << +p[1] << " " << +p[2];
  }
  // The backdrop fills every pixel and stays behind the letter; without the depth test it covers it.
  int letter_pixels = 0, wrong = 0;
  for (int i = 0; i < W * H * 4; i += 4) {
    const bool drawn = !(letter[i] == 255 && letter[i + 1] == 0 && letter[i + 2] == 255);
    letter_pixels += drawn;
    wrong += (backdrop[i] == 255 && backdrop[i + 1] == 0 && backdrop[i + 2] == 255) + !!memcmp(&both[i], drawn ? &letter[i] : &backdrop[i], 3) +
             !!memcmp(&over[i], &backdrop[i], 3);
  }
  EXPECT_GT(letter_pixels, 600);
  EXPECT_EQ(wrong, 0);
}

// What the backdrop shows, read from the picture alone: round smileys (dark rim, two
// upright eyes above a curved mouth) tiled four down the screen and square, so a face is
// 180 pixels both ways, with each display line's row of faces pushed sideways on its own
// (the ripple), moving with time. The same frame drawn with one-texel textures (all
// background, all face, all ink) tells, pixel by pixel, how much of the face texture's
// alpha and luminance the picture holds, whatever the line's colours.
TEST_F(Scene, TheBackdropShowsRoundFacesFourDownAndSquareRippledLineByLine) {
  const int D = 180;  // 720 / 4 rows, and 1280 / (4 * 16 / 9) columns
  auto frame = [&](double t, int luminance, int alpha) {
    if (luminance >= 0) {  // one texel, repeated; ouch_init below puts the face back
      const uint8_t texel[2] = {(uint8_t)luminance, (uint8_t)alpha};
      glBindTexture(GL_TEXTURE_2D, face_tex);
      glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE_ALPHA, 1, 1, 0, GL_LUMINANCE_ALPHA, GL_UNSIGNED_BYTE, texel);
    }
    gl_clear(1, 0, 1);
    ouch_render(t, 0.0f, true);
    std::vector<uint8_t> px = gl_pixels();
    if (luminance >= 0) ouch_init();
    return px;
  };
  struct Picture {
    std::vector<std::vector<int>> face;  // top row first: 0 background, 1 face, 2 ink
    std::vector<std::vector<std::pair<int, int>>> runs;  // each row's faces that lie inside the picture
  };
  auto read = [&](double t) {
    const std::vector<uint8_t> p = frame(t, -1, 0), back = frame(t, 0x80, 0), white = frame(t, 0xFF, 0xFF), dark = frame(t, 0x40, 0xFF);
    Picture pic;
    pic.face.assign(H, std::vector<int>(W));
    pic.runs.resize(H);
    for (int r = 0; r < H; r++) {
      for (int c = 0; c < W; c++) {
        // The picture is linear in the texel's alpha A and in A * L: p = back + A e + A L l,
        // with l and e from the all-face and all-ink frames. Least squares over the channels.
        const size_t i = ((H - 1 - r) * W + c) * 4;
        double d[3], e[3], l[3], ee = 0, el = 0, ll = 0, de = 0, dl = 0;
        for (int k = 0; k < 3; k++) {
          l[k] = (white[i + k] - dark[i + k]) / (1 - 0x40 / 255.0);
          e[k] = white[i + k] - back[i + k] - l[k];
          d[k] = p[i + k] - back[i + k];
          ee += e[k] * e[k], el += e[k] * l[k], ll += l[k] * l[k], de += d[k] * e[k], dl += d[k] * l[k];
        }
        const double det = ee * ll - el * el;
        const double a = det ? (de * ll - dl * el) / det : 0, al = det ? (dl * ee - de * el) / det : 0;
        pic.face[r][c] = a < 0.5 ? 0 : al / a < 0.62 ? 2 : 1;
      }
      for (int c = 1, start = -1; c < W; c++) {
        if (pic.face[r][c] && !pic.face[r][c - 1]) start = c;
        if (!pic.face[r][c] && pic.face[r][c - 1] && start > 0) pic.runs[r].push_back({start, c});
      }
    }
    return pic;
  };
  const Picture pic = read(12.25);
  // Across: along every line the faces repeat every D pixels, the whole width, and no
  // nearby spacing fits better (one column of faces, or faces of another width, fail).
  int lines = 0, repeating = 0;
  for (int r = 0; r < H; r++) {
    auto agree = [&](int s) {  // of the line's face pixels, the share that s pixels on is the same
      int face = 0, same = 0;
      for (int c = 0; c + s < W; c++)
        if (pic.face[r][c]) face++, same += pic.face[r][c + s] == pic.face[r][c];
      return face ? same / double(face) : -1.0;
    };
    double at_d = agree(D), best = at_d;
    for (int s = D - 30; s <= D + 30; s++) best = std::max(best, agree(s));
    if (at_d < 0) continue;
    lines++, repeating += at_d > 0.9 && at_d > best - 0.02;
  }
  EXPECT_GE(repeating, lines * 95 / 100) << "of " << lines << " lines with faces, those whose faces repeat every " << D << " pixels";
  // Each line's chord of a face: its shortest inner run; D where the faces touch, 0 between.
  std::vector<double> chord(H);
  for (int r = 0; r < H; r++) {
    int shortest = std::count(pic.face[r].begin(), pic.face[r].end(), 0) < W / 2 ? D : 0;
    for (auto [a, b] : pic.runs[r]) shortest = std::min(b - a, shortest ? shortest : D);
    chord[r] = shortest;
  }
  // Down: the chords repeat every D lines, four faces down the screen.
  int best_shift = 0;
  double best_error = 1e9;
  for (int s = 120; s <= 240; s++) {
    double error = 0;
    for (int r = 0; r + s < H; r++) error += fabs(chord[r] - chord[r + s]);
    if ((error /= H - s) < best_error) best_error = error, best_shift = s;
  }
  EXPECT_NEAR(best_shift, D, 1) << "faces down the screen repeat every " << D << " lines";
  EXPECT_LT(best_error, 3.0);
  // Round, as wide as the lines repeat: of a disc D across and D tall, the lines whose chord
  // is at least x * D are sqrt(1 - x^2) of all (a face of another width fails here).
  for (double x : {0.5, 0.7, 0.9}) {
    int n = 0;
    for (int r = 0; r < H; r++) n += chord[r] >= x * D;
    EXPECT_NEAR(n / double(H), sqrt(1 - x * x), 0.04) << "share of lines with a chord of " << x << " D";
  }
  // The face itself, folded from every whole face on screen: a chord's middle is its face's
  // middle whatever the line's shift, and the chord's length gives the line's height in it.
  // The centre lines are where the chords fit a circle best.
  int centre = 0;
  double centre_error = 1e18;
  for (int c = 0; c < D; c++) {
    double error = 0;
    for (int r = 0; r < H; r++) {
      const double dy = ((r - c) % D + D + D / 2) % D - D / 2;
      error += fabs(chord[r] - D * sqrt(std::max(0.0, 1 - 4 * dy * dy / (D * D))));
    }
    if (error < centre_error) centre_error = error, centre = c;
  }
  auto ink_share = [&](double u, double v) {  // u right, v up, both in face radii
    int ink = 0, all = 0;
    for (int k = -1; k < 4; k++)
      for (int dr = -1; dr <= 1; dr++) {
        const int r = centre + k * D - (int)lround(v * D / 2) + dr;
        if (r < 0 || r >= H) continue;
        for (auto [a, b] : pic.runs[r]) {
          if (b - a > D) continue;  // faces that touch: no chord to find the middle by
          const int c = (int)lround((a + b) / 2.0 + u * D / 2);
          for (int dc = -1; dc <= 1; dc++) all++, ink += pic.face[r][c + dc] == 2;
        }
      }
    return all ? ink / double(all) : -1.0;
  };
  const struct { double u, v; bool ink; const char* what; } spots[] = {
      {-0.35, 0.35, true, "left eye"},  {0.35, 0.35, true, "right eye"},   {0, 0.35, false, "between the eyes"},
      {0, -0.65, true, "mouth"},        {-0.45, -0.45, true, "mouth's left"}, {0, 0.65, false, "forehead"},
      {-0.35, -0.3, false, "left cheek"}, {0.88, 0.27, true, "rim"},         {-0.28, -0.88, true, "rim below"}};
  for (const auto& s : spots) {
    const double share = ink_share(s.u, s.v);
    EXPECT_TRUE(s.ink ? share > 0.8 : share >= 0 && share < 0.2) << s.what << ": ink in " << share << " of its samples";
  }
  // The ripple: each line's faces sit at their own offset, which changes smoothly from line
  // to line, spans more than a few pixels down the screen, and moves with time.
  auto offsets = [&](const Picture& p) {
    std::vector<double> at(H, -1);
    for (int r = 0; r < H; r++)
      for (auto [a, b] : p.runs[r])
        if (b - a <= D) { at[r] = fmod((a + b) / 2.0, D); break; }
    return at;
  };
  auto apart = [&](double a, double b) { double d = fabs(a - b); return std::min(d, D - d); };
  const std::vector<double> now = offsets(pic), later = offsets(read(12.75));
  int steps = 0, smooth = 0, moved = 0, both = 0;
  double spread = 0;
  for (int r = 0; r < H; r++) {
    if (now[r] < 0) continue;
    if (r + 1 < H && now[r + 1] >= 0) steps++, smooth += apart(now[r], now[r + 1]) <= 3;
    for (int q = r + 1; q < H; q++)
      if (now[q] >= 0) spread = std::max(spread, apart(now[r], now[q]));
    if (later[r] >= 0) both++, moved += apart(now[r], later[r]) >= 2;
  }
  EXPECT_GE(smooth, steps * 95 / 100) << "neighbouring lines' offsets";
  EXPECT_GT(spread, 12) << "the lines' offsets down the screen";
  EXPECT_GT(moved, both * 3 / 4) << "lines whose faces moved in half a second";
}
