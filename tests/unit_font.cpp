// The embedded font, its box meshes, the vertex merge and the face backdrop's CPU data.
// No GL context: everything here is built on the CPU.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <array>
#include <set>
#include <string>
#include <vector>

#include "font_bitmap.h"
#include "scroller.h"

namespace {

const int kGlyphs = 46;
const int kRowBytes = 512 * 3;

int glyph_index(char c) { return (int)(strchr(font_alphabet, c) - font_alphabet); }

// Row bytes of glyph g read back from the RGB strip, bit 7 = column 0, set = ink.
std::array<int, 7> glyph_rows(int g) {
  std::array<int, 7> rows{};
  for (int r = 0; r < 7; r++)
    for (int k = 0; k < 8; k++)
      if (font[r * kRowBytes + g * 24 + k * 3] == 0) rows[r] |= 0x80 >> k;
  return rows;
}

// An 8x7 RGB bitmap (white) with the given row bytes inked black.
std::vector<unsigned char> bitmap(const std::array<int, 7>& rows) {
  std::vector<unsigned char> px(7 * 24, 0xFF);
  for (int r = 0; r < 7; r++)
    for (int k = 0; k < 8; k++)
      if (rows[r] & (0x80 >> k)) memset(&px[r * 24 + k * 3], 0, 3);
  return px;
}

std::vector<VERTEX> mesh_of(const std::array<int, 7>& rows) {
  std::vector<unsigned char> px = bitmap(rows);
  std::vector<VERTEX> out;
  build_glyph_verts(px.data(), 24, out);
  return out;
}

uint32_t colour(const VERTEX& v) {
  return (uint32_t)v.r | (uint32_t)v.g << 8 | (uint32_t)v.b << 16 | (uint32_t)v.a << 24;
}

struct Census {
  int ink_fronts = 0, outline_fronts = 0, backs = 0, side_walls = 0, cap_walls = 0, other = 0;
  int faces() const { return ink_fronts + outline_fronts + backs + side_walls + cap_walls + other; }
};

// Classifies each run of six vertices (one box face) by its plane and colour.
Census census(const std::vector<VERTEX>& m) {
  Census c;
  for (size_t f = 0; f + 6 <= m.size(); f += 6) {
    bool front = true, back = true, same_colour = true;
    for (int k = 0; k < 6; k++) {
      front = front && m[f + k].z == 0.25f;
      back = back && m[f + k].z == -0.25f;
      same_colour = same_colour && colour(m[f + k]) == colour(m[f]);
    }
    const uint32_t col = colour(m[f]);
    if (!same_colour) c.other++;
    else if (front && col == 0xFFFFFFFF) c.ink_fronts++;
    else if (front && col == 0x00000000) c.outline_fronts++;
    else if (back && col == 0xFFFFFFFF) c.backs++;
    else if (col == 0xFF202020) c.side_walls++;
    else if (col == 0xFF303030) c.cap_walls++;
    else c.other++;
  }
  return c;
}

// The occupied cells of a bitmap (ink and everything touching it), as an oracle for
// which side of each face is solid.
struct Occupancy {
  bool cell[9][10] = {};
  explicit Occupancy(const std::array<int, 7>& rows) {
    for (int r = 0; r < 7; r++)
      for (int k = 0; k < 8; k++)
        if (rows[r] & (0x80 >> k))
          for (int di = 0; di < 3; di++)
            for (int dj = 0; dj < 3; dj++) cell[r + di][k + dj] = true;
  }
  bool solid(double x, double y, double z) const {
    if (fabs(z) >= 0.25) return false;
    int j = (int)floor((x + 1.0) / 0.2), i = (int)floor((1.0 - y) / 0.2);
    return i >= 0 && i < 9 && j >= 0 && j < 10 && cell[i][j];
  }
};

// Every triangle faces out of the slab: just behind it is solid, just in front is not.
void expect_outward(const std::vector<VERTEX>& m, const std::array<int, 7>& rows) {
  Occupancy occ(rows);
  for (size_t t = 0; t + 3 <= m.size(); t += 3) {
    const VERTEX &a = m[t], &b = m[t + 1], &c = m[t + 2];
    double u[3] = {b.x - a.x, b.y - a.y, b.z - a.z}, v[3] = {c.x - a.x, c.y - a.y, c.z - a.z};
    double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    double len = sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    ASSERT_GT(len, 0.0) << "degenerate triangle " << t / 3;
    double p[3] = {(a.x + b.x + c.x) / 3, (a.y + b.y + c.y) / 3, (a.z + b.z + c.z) / 3};
    double e = 0.05 / len;
    EXPECT_TRUE(occ.solid(p[0] - n[0] * e, p[1] - n[1] * e, p[2] - n[2] * e)) << "triangle " << t / 3;
    EXPECT_FALSE(occ.solid(p[0] + n[0] * e, p[1] + n[1] * e, p[2] + n[2] * e)) << "triangle " << t / 3;
  }
}

void reset_font_tables() {
  opt_font_verts.assign(kGlyphs, {});
  opt_font_indices.assign(kGlyphs, {});
  opt_font_vertex_offsets.assign(kGlyphs, 0);
  opt_font_index_offsets.assign(kGlyphs, 0);
  opt_font_verts_bb.clear();
  opt_font_indices_bb.clear();
}

size_t merged_count(const std::vector<VERTEX>& raw) {
  std::vector<VERTEX> verts;
  std::vector<uint16_t> indices;
  merge_glyph_verts(raw, verts, indices);
  EXPECT_EQ(indices.size(), raw.size());
  return verts.size();
}

}  // namespace

TEST(FontBitmap, StripHoldsTheGlyphsInAlphabetOrder) {
  ASSERT_EQ(strlen(font_alphabet), 46u);
  EXPECT_STREQ(font_alphabet, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.:,;(!?') ");
  // Every byte of the 10,752-byte strip is black or white, the three channels equal.
  for (int i = 0; i < 512 * 7; i++) {
    ASSERT_TRUE(font[i * 3] == 0x00 || font[i * 3] == 0xFF) << "pixel " << i;
    ASSERT_EQ(font[i * 3 + 1], font[i * 3]);
    ASSERT_EQ(font[i * 3 + 2], font[i * 3]);
  }
  EXPECT_EQ(glyph_rows(0), (std::array<int, 7>{0x38, 0x6C, 0xC6, 0xC6, 0xFE, 0xC6, 0xC6}));
  EXPECT_EQ(glyph_rows(36), (std::array<int, 7>{0, 0, 0, 0, 0, 0x30, 0x30}));
  EXPECT_EQ(glyph_rows(45), (std::array<int, 7>{}));

  std::set<std::array<int, 7>> seen;
  for (int g = 0; g < kGlyphs; g++) {
    std::array<int, 7> rows = glyph_rows(g);
    int ink = 0;
    for (int r : rows) {
      EXPECT_EQ(r & 1, 0) << "column 7 of glyph " << g << " must stay blank";
      ink += __builtin_popcount(r);
    }
    if (g != 45) {
      EXPECT_GE(ink, 4) << "glyph " << g << " has too little ink";
    }
    EXPECT_TRUE(seen.insert(rows).second) << "glyph " << g << " repeats an earlier one";
  }
  // The look-alike pairs must differ by more than a stray pixel.
  for (const char* pair : {"O0", "I1", "S5", "B8", "D0", "Z2"}) {
    std::array<int, 7> a = glyph_rows(glyph_index(pair[0])), b = glyph_rows(glyph_index(pair[1]));
    int diff = 0;
    for (int r = 0; r < 7; r++) diff += __builtin_popcount(a[r] ^ b[r]);
    EXPECT_GE(diff, 4) << pair;
  }
}

TEST(FontLookup, MapsAlphabetCharactersAndNothingElse) {
  build_font_letter_lookup();
  const std::pair<int, int> listed[] = {{'A', 0}, {'Z', 25}, {'0', 26}, {'9', 35}, {'.', 36},
                                        {')', 44}, {' ', 45}, {'a', -1}, {'\n', -1}, {'#', -1},
                                        {0, -1},  {0xC4, -1}};
  for (auto [c, g] : listed) EXPECT_EQ(font_letter_lookup[c], g) << "byte " << c;
  int mapped = 0;
  for (int c = 0; c < 256; c++) {
    if (font_letter_lookup[c] == -1) continue;
    mapped++;
    ASSERT_GE(font_letter_lookup[c], 0);
    ASSERT_LT(font_letter_lookup[c], kGlyphs);
    EXPECT_EQ((unsigned char)font_alphabet[font_letter_lookup[c]], c);
  }
  EXPECT_EQ(mapped, 46);
}

TEST(GlyphMesh, LetterAHasTheExpectedBoxesAndWalls) {
  std::vector<std::vector<VERTEX>> raw = build_font_verts(kGlyphs);
  ASSERT_EQ(raw.size(), 46u);
  const std::vector<VERTEX>& a = raw[0];
  ASSERT_EQ(a.size(), 1116u);
  Census c = census(a);
  EXPECT_EQ(c.ink_fronts, 30);
  EXPECT_EQ(c.outline_fronts, 43);
  EXPECT_EQ(c.backs, 73);
  EXPECT_EQ(c.side_walls + c.cap_walls, 40);
  EXPECT_EQ(c.other, 0);
  EXPECT_EQ(c.faces(), 186);
  expect_outward(a, {0x38, 0x6C, 0xC6, 0xC6, 0xFE, 0xC6, 0xC6});

  // Everything inside the glyph box.
  for (const VERTEX& v : a) {
    EXPECT_GE(v.x, -1.0f - 1e-6f);
    EXPECT_LE(v.x, 1.0f + 1e-6f);
    EXPECT_GE(v.y, -0.8f - 1e-6f);
    EXPECT_LE(v.y, 1.0f + 1e-6f);
    EXPECT_TRUE(v.z == 0.25f || v.z == -0.25f);
  }
  // Same glyph through the bitmap seam: identical.
  std::vector<VERTEX> again = mesh_of({0x38, 0x6C, 0xC6, 0xC6, 0xFE, 0xC6, 0xC6});
  ASSERT_EQ(again.size(), a.size());
  EXPECT_EQ(memcmp(again.data(), a.data(), a.size() * sizeof(VERTEX)), 0);

  EXPECT_TRUE(raw[45].empty()) << "the blank has no ink";
}

TEST(GlyphMesh, FullStopSitsBottomLeftOfCentre) {
  std::vector<VERTEX> m = build_font_verts(kGlyphs)[36];
  ASSERT_EQ(m.size(), 288u);
  Census c = census(m);
  EXPECT_EQ(c.ink_fronts, 4);
  EXPECT_EQ(c.outline_fronts, 12);
  EXPECT_EQ(c.backs, 16);
  EXPECT_EQ(c.side_walls + c.cap_walls, 16);
  for (const VERTEX& v : m) {
    if (v.z != 0.25f || colour(v) != 0xFFFFFFFF) continue;
    EXPECT_NEAR(v.x, -0.2, 0.2 + 1e-6);  // between -0.4 and 0
    EXPECT_NEAR(v.y, -0.4, 0.2 + 1e-6);  // between -0.6 and -0.2
  }
  expect_outward(m, {0, 0, 0, 0, 0, 0x30, 0x30});
  EXPECT_EQ(merged_count(m), 98u);
}

TEST(GlyphMesh, SinglePixelAndGridEdges) {
  // One ink pixel in the middle: nine boxes, twelve walls.
  std::array<int, 7> dot = {0, 0, 0, 0x10, 0, 0, 0};
  std::vector<VERTEX> m = mesh_of(dot);
  ASSERT_EQ(m.size(), 180u);
  Census c = census(m);
  EXPECT_EQ(c.ink_fronts, 1);
  EXPECT_EQ(c.outline_fronts, 8);
  EXPECT_EQ(c.side_walls, 6);
  EXPECT_EQ(c.cap_walls, 6);
  expect_outward(m, dot);
  EXPECT_EQ(merged_count(m), 68u);

  // Ink in the corner pixel puts outline on the grid's top row and left column, which
  // get their walls at y = 1 and x = -1.
  std::array<int, 7> corner = {0x80, 0, 0, 0, 0, 0, 0};
  std::vector<VERTEX> e = mesh_of(corner);
  expect_outward(e, corner);
  int top = 0, left = 0;
  for (size_t f = 0; f < e.size(); f += 6) {
    bool all_top = true, all_left = true;
    for (int k = 0; k < 6; k++) {
      all_top = all_top && e[f + k].y == 1.0f;
      all_left = all_left && e[f + k].x == -1.0f;
    }
    top += all_top && colour(e[f]) == 0xFF303030;
    left += all_left && colour(e[f]) == 0xFF202020;
  }
  EXPECT_EQ(top, 3);
  EXPECT_EQ(left, 3);

  // Glyphs never see their neighbours: a full-width bar meshes like any other bitmap.
  std::array<int, 7> bar = {0, 0, 0, 0xFE, 0, 0, 0};
  std::vector<VERTEX> b = mesh_of(bar);
  expect_outward(b, bar);
  EXPECT_EQ(census(b).ink_fronts, 7);
  EXPECT_TRUE(mesh_of({}).empty());
}

TEST(GlyphMesh, EveryGlyphFacesOutward) {
  std::vector<std::vector<VERTEX>> raw = build_font_verts(kGlyphs);
  for (int g = 0; g < kGlyphs; g++) {
    SCOPED_TRACE(std::string("glyph ") + font_alphabet[g]);
    EXPECT_EQ(raw[g].size() % 6, 0u);
    EXPECT_EQ(census(raw[g]).other, 0);
    expect_outward(raw[g], glyph_rows(g));
  }
}

TEST(FontMerge, WholeFontPacksIntoGlyphLocalLists) {
  std::vector<std::vector<VERTEX>> raw = build_font_verts(kGlyphs);
  reset_font_tables();
  optimise_font_meshes(raw);

  size_t raw_total = 0, max_raw = 0, max_merged = 0;
  uint32_t v_sum = 0, i_sum = 0;
  std::vector<VERTEX> joined_verts;
  std::vector<uint16_t> joined_indices;
  for (int g = 0; g < kGlyphs; g++) {
    SCOPED_TRACE(std::string("glyph ") + font_alphabet[g]);
    const std::vector<VERTEX>& verts = opt_font_verts[g];
    const std::vector<uint16_t>& idx = opt_font_indices[g];
    raw_total += raw[g].size();
    max_raw = std::max(max_raw, raw[g].size());
    max_merged = std::max(max_merged, verts.size());
    EXPECT_EQ(opt_font_vertex_offsets[g], v_sum);
    EXPECT_EQ(opt_font_index_offsets[g], i_sum);
    v_sum += verts.size();
    i_sum += idx.size();
    ASSERT_EQ(idx.size(), raw[g].size());
    EXPECT_EQ(idx.size() % 3, 0u);

    // Each index names a vertex that matches its raw vertex; a vertex keeps the values
    // of the first raw vertex that produced it, and new vertices appear in order.
    size_t next_new = 0;
    for (size_t t = 0; t < idx.size(); t++) {
      ASSERT_LT(idx[t], verts.size());
      const VERTEX &w = verts[idx[t]], &v = raw[g][t];
      EXPECT_LT(fabsf(w.x - v.x), 0.01f);
      EXPECT_LT(fabsf(w.y - v.y), 0.01f);
      EXPECT_LT(fabsf(w.z - v.z), 0.01f);
      EXPECT_EQ(colour(w), colour(v));
      ASSERT_LE(idx[t], next_new);
      if (idx[t] == next_new) {
        EXPECT_EQ(memcmp(&w, &v, sizeof(VERTEX)), 0);
        next_new++;
      }
    }
    // No two vertices of a glyph could have been merged.
    for (size_t a = 0; a < verts.size(); a++)
      for (size_t b = a + 1; b < verts.size(); b++)
        ASSERT_FALSE(fabsf(verts[a].x - verts[b].x) < 0.01f && fabsf(verts[a].y - verts[b].y) < 0.01f &&
                     fabsf(verts[a].z - verts[b].z) < 0.01f && colour(verts[a]) == colour(verts[b]))
            << a << " and " << b;

    if (!idx.empty()) {
      // The first box: its front, then its back.
      const uint16_t first_box[12] = {0, 1, 2, 2, 1, 3, 4, 5, 6, 7, 5, 4};
      ASSERT_GE(idx.size(), 12u);
      for (int k = 0; k < 12; k++) EXPECT_EQ(idx[k], first_box[k]) << "index " << k;
    }
    joined_verts.insert(joined_verts.end(), verts.begin(), verts.end());
    joined_indices.insert(joined_indices.end(), idx.begin(), idx.end());
  }
  EXPECT_EQ(raw_total, 43824u);
  EXPECT_EQ(v_sum, 13512u);
  EXPECT_EQ(i_sum, 43824u);
  EXPECT_LE(max_raw, 1188u);
  EXPECT_LE(max_merged, 372u);

  ASSERT_EQ(opt_font_verts_bb.size(), joined_verts.size());
  EXPECT_EQ(memcmp(opt_font_verts_bb.data(), joined_verts.data(), joined_verts.size() * sizeof(VERTEX)), 0);
  EXPECT_EQ(opt_font_indices_bb, joined_indices);
  EXPECT_EQ(opt_font_verts_bb.size() * sizeof(VERTEX), 216192u);
  EXPECT_EQ(opt_font_indices_bb.size() * 2, 87648u);

  EXPECT_EQ(opt_font_indices[0].size(), 1116u);
  EXPECT_EQ(opt_font_verts[0].size(), 344u);
  // The blank: nothing of its own, offsets at the end of glyph 44.
  EXPECT_TRUE(opt_font_verts[45].empty());
  EXPECT_TRUE(opt_font_indices[45].empty());
  EXPECT_EQ(opt_font_vertex_offsets[45], 13512u);
  EXPECT_EQ(opt_font_index_offsets[45], 43824u);
}

TEST(FontMerge, FullStopKeepsColoursApart) {
  std::vector<std::vector<VERTEX>> raw = build_font_verts(kGlyphs);
  reset_font_tables();
  optimise_font_meshes(raw);
  const std::vector<VERTEX>& v = opt_font_verts[36];
  ASSERT_EQ(v.size(), 98u);
  EXPECT_EQ(opt_font_indices[36].size(), 288u);
  int front_black = 0, front_white = 0, back = 0, walls = 0;
  std::set<std::pair<long, long>> black_pos, white_pos;
  for (const VERTEX& w : v) {
    std::pair<long, long> pos(lroundf(w.x * 10), lroundf(w.y * 10));
    if (w.z == 0.25f && colour(w) == 0) front_black++, black_pos.insert(pos);
    else if (w.z == 0.25f && colour(w) == 0xFFFFFFFF) front_white++, white_pos.insert(pos);
    else if (w.z == -0.25f && colour(w) == 0xFFFFFFFF) back++;
    else walls++;
  }
  EXPECT_EQ(front_black, 24);
  EXPECT_EQ(front_white, 9);
  EXPECT_EQ(back, 25);
  EXPECT_EQ(walls, 40);
  int both = 0;
  for (auto& p : white_pos) both += black_pos.count(p);
  EXPECT_EQ(both, 8);
}

TEST(FaceImage, ThreeKindsOfTexelInTheirPlaces) {
  std::vector<unsigned char> image(128 * 128 * 2, 0x11);
  build_face_image(image.data());
  int face = 0, ink = 0, background = 0;
  for (int i = 0; i < 128 * 128; i++) {
    const unsigned char l = image[i * 2], a = image[i * 2 + 1];
    if (l == 0xFF && a == 0xFF) face++;
    else if (l == 0x40 && a == 0xFF) ink++;
    else if (l == 0x80 && a == 0x00) background++;
    else ADD_FAILURE() << "texel " << i << " is " << (int)l << "," << (int)a;
  }
  EXPECT_EQ(face, 7666);
  EXPECT_EQ(ink, 4978);
  EXPECT_EQ(background, 3740);

  auto texel = [&](int r, int c) { return std::make_pair((int)image[r * 256 + c * 2], (int)image[r * 256 + c * 2 + 1]); };
  const auto kBackground = std::make_pair(0x80, 0x00), kInk = std::make_pair(0x40, 0xFF),
             kFace = std::make_pair(0xFF, 0xFF);
  for (auto [r, c] : {std::pair{0, 0}, {0, 64}, {64, 0}, {64, 127}, {127, 64}})
    EXPECT_EQ(texel(r, c), kBackground) << r << "," << c;
  for (auto [r, c] : {std::pair{1, 64}, {64, 1}, {64, 9}, {22, 64}, {86, 41}, {86, 86}})
    EXPECT_EQ(texel(r, c), kInk) << r << "," << c;
  for (auto [r, c] : {std::pair{64, 64}, {86, 64}}) EXPECT_EQ(texel(r, c), kFace) << r << "," << c;
}

TEST(FaceImage, BandStripCoversTheScreen) {
  std::vector<glm::vec3> v;
  build_ouch_verts(v);
  ASSERT_EQ(v.size(), 1440u);
  EXPECT_EQ(v[0], glm::vec3(1.0f, 1.0f, -199.9f));
  EXPECT_EQ(v[1], glm::vec3(-1.0f, 1.0f, -199.9f));
  EXPECT_EQ(v[1438].x, 1.0f);
  EXPECT_EQ(v[1439].x, -1.0f);
  EXPECT_NEAR(v[1438].y, 1.0 - 1438.0 / 720.0, 1e-6);
  EXPECT_EQ(v[1438].y, v[1439].y);
  for (size_t i = 0; i < v.size(); i++) {
    EXPECT_EQ(v[i].z, -199.9f);
    if (i >= 2) {
      EXPECT_LT(v[i].y, v[i - 2].y) << "bands run top to bottom";
      EXPECT_NEAR(v[i - 2].y - v[i].y, 2.0 / 720.0, 1e-5);
    }
  }
  // The first triangle is counter-clockwise, so culling keeps the strip.
  glm::vec3 a = v[0], b = v[1], c = v[2];
  EXPECT_GT((b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x), 0.0f);
}
