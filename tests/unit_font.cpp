// The embedded font, its box meshes, the vertex merge and the face backdrop's CPU data (no GL).
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <array>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <glm/geometric.hpp>

#include "font_bitmap.h"
#include "scroller.h"

namespace {

const int kGlyphs = 46;
using Rows = std::array<int, 7>;

// Row bytes of glyph g read back from the RGB strip, bit 7 = column 0, set = ink.
Rows glyph_rows(int g) {
  Rows rows{};
  for (int r = 0; r < 7; r++)
    for (int k = 0; k < 8; k++)
      if (font[r * 512 * 3 + g * 24 + k * 3] == 0) rows[r] |= 0x80 >> k;
  return rows;
}

// Meshes an 8x7 white RGB bitmap with the given row bytes inked black.
std::vector<VERTEX> mesh_of(const Rows& rows) {
  std::vector<unsigned char> px(7 * 24, 0xFF);
  for (int r = 0; r < 7; r++)
    for (int k = 0; k < 8; k++)
      if (rows[r] & (0x80 >> k)) memset(&px[r * 24 + k * 3], 0, 3);
  std::vector<VERTEX> out;
  build_glyph_verts(px.data(), 24, out);
  return out;
}

uint32_t colour(const VERTEX& v) { return v.r | v.g << 8 | v.b << 16 | (uint32_t)v.a << 24; }

// Counts six-vertex faces by plane and colour.
using Counts = std::map<std::string, int>;
Counts census(const std::vector<VERTEX>& m) {
  Counts n;
  for (size_t f = 0; f + 6 <= m.size(); f += 6) {
    bool front = true, back = true, same = true;
    for (int k = 0; k < 6; k++) {
      front = front && m[f + k].z == 0.25f;
      back = back && m[f + k].z == -0.25f;
      same = same && colour(m[f + k]) == colour(m[f]);
    }
    const uint32_t c = colour(m[f]);
    n[!same ? "mixed" : front && c == 0xFFFFFFFF ? "ink" : front && c == 0 ? "outline" : back && c == 0xFFFFFFFF ? "back"
      : c == 0xFF202020 ? "side" : c == 0xFF303030 ? "cap" : "other"]++;
  }
  return n;
}

// Every triangle faces out of the slab of occupied cells (ink plus its 3x3 outline):
// just behind it is solid, just in front is not.
void expect_outward(const std::vector<VERTEX>& m, const Rows& rows) {
  bool cell[9][10] = {};
  for (int r = 0; r < 7; r++)
    for (int k = 0; k < 8; k++)
      if (rows[r] & (0x80 >> k))
        for (int di = 0; di < 3; di++)
          for (int dj = 0; dj < 3; dj++) cell[r + di][k + dj] = true;
  auto solid = [&](glm::dvec3 p) {
    int j = (int)floor((p.x + 1.0) / 0.2), i = (int)floor((1.0 - p.y) / 0.2);
    return fabs(p.z) < 0.25 && i >= 0 && i < 9 && j >= 0 && j < 10 && cell[i][j];
  };
  auto at = [&](size_t i) { return glm::dvec3(m[i].x, m[i].y, m[i].z); };
  for (size_t t = 0; t + 3 <= m.size(); t += 3) {
    glm::dvec3 n = glm::cross(at(t + 1) - at(t), at(t + 2) - at(t)), p = (at(t) + at(t + 1) + at(t + 2)) / 3.0;
    ASSERT_GT(glm::length(n), 0.0) << "degenerate triangle " << t / 3;
    n *= 0.05 / glm::length(n);
    EXPECT_TRUE(solid(p - n)) << "triangle " << t / 3;
    EXPECT_FALSE(solid(p + n)) << "triangle " << t / 3;
  }
}

}  // namespace

TEST(FontBitmap, StripHoldsDistinctBlackAndWhiteGlyphs) {
  EXPECT_STREQ(font_alphabet, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.:,;(!?') ");
  for (int i = 0; i < 512 * 7 * 3; i++)  // black or white, three equal channels
    ASSERT_TRUE((font[i] == 0x00 || font[i] == 0xFF) && font[i] == font[i - i % 3]) << "byte " << i;
  EXPECT_EQ(glyph_rows(0), (Rows{0x38, 0x6C, 0xC6, 0xC6, 0xFE, 0xC6, 0xC6}));
  EXPECT_EQ(glyph_rows(36), (Rows{0, 0, 0, 0, 0, 0x30, 0x30}));
  EXPECT_EQ(glyph_rows(45), Rows{});
  std::set<Rows> seen;
  for (int g = 0; g < kGlyphs; g++) EXPECT_TRUE(seen.insert(glyph_rows(g)).second) << "glyph " << g;
}

TEST(FontLookup, MapsAlphabetCharactersAndNothingElse) {
  build_font_letter_lookup();
  const std::pair<int, int> listed[] = {{'A', 0}, {'Z', 25}, {'0', 26}, {'9', 35}, {'.', 36}, {')', 44},
                                        {' ', 45}, {'a', -1}, {'\n', -1}, {'#', -1}, {0, -1}, {0xC4, -1}};
  for (auto [c, g] : listed) EXPECT_EQ(font_letter_lookup[c], g) << "byte " << c;
  for (int g = 0; g < kGlyphs; g++) EXPECT_EQ(font_letter_lookup[(unsigned char)font_alphabet[g]], g);
  int unmapped = 0;
  for (int c = 0; c < 256; c++) unmapped += font_letter_lookup[c] == -1;
  EXPECT_EQ(unmapped, 256 - 46);
}

TEST(GlyphMesh, BoxCountsAndEveryGlyphFacesOutward) {
  std::vector<std::vector<VERTEX>> raw = build_font_verts(kGlyphs);
  ASSERT_EQ(raw.size(), 46u);
  EXPECT_EQ(raw[0].size(), 1116u);  // 186 faces
  EXPECT_EQ(census(raw[0]), (Counts{{"ink", 30}, {"outline", 43}, {"back", 73}, {"side", 22}, {"cap", 18}}));
  EXPECT_TRUE(raw[45].empty()) << "the blank has no ink";

  ASSERT_EQ(raw[36].size(), 288u);
  for (const VERTEX& v : raw[36])  // the full stop's ink fronts lie in x -0.4..0, y -0.6..-0.2
    EXPECT_TRUE(v.z != 0.25f || colour(v) != 0xFFFFFFFF ||
                (fabsf(v.x + 0.2f) <= 0.2f + 1e-6f && fabsf(v.y + 0.4f) <= 0.2f + 1e-6f)) << v.x << "," << v.y;

  // One pixel in the middle, in the corner (outline on the grid's edge) and a full-width bar.
  struct Case { Rows rows; size_t raw, merged; Counts faces; };
  const Case cases[] = {
      {{0, 0, 0, 0x10, 0, 0, 0}, 180, 68, {{"ink", 1}, {"outline", 8}, {"back", 9}, {"side", 6}, {"cap", 6}}},
      {{0x80, 0, 0, 0, 0, 0, 0}, 180, 68, {{"ink", 1}, {"outline", 8}, {"back", 9}, {"side", 6}, {"cap", 6}}},
      {{0, 0, 0, 0xFE, 0, 0, 0}, 468, 152, {{"ink", 7}, {"outline", 20}, {"back", 27}, {"side", 6}, {"cap", 18}}}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.rows[0] + k.rows[3]);
    std::vector<VERTEX> m = mesh_of(k.rows);
    std::vector<VERTEX> verts;
    std::vector<uint16_t> idx;
    merge_glyph_verts(m, verts, idx);
    EXPECT_EQ(m.size(), k.raw);
    EXPECT_EQ(idx.size(), k.raw);
    EXPECT_EQ(verts.size(), k.merged);
    EXPECT_EQ(census(m), k.faces);
    expect_outward(m, k.rows);
  }
  EXPECT_TRUE(mesh_of({}).empty());

  for (int g = 0; g < kGlyphs; g++) {
    SCOPED_TRACE(testing::Message() << "glyph " << g);
    EXPECT_EQ(raw[g].size() % 6, 0u);
    for (const auto& [kind, n] : census(raw[g])) EXPECT_TRUE(kind != "mixed" && kind != "other") << n << " " << kind;
    expect_outward(raw[g], glyph_rows(g));
  }
}

TEST(FontMerge, WholeFontPacksIntoGlyphLocalLists) {
  std::vector<std::vector<VERTEX>> raw = build_font_verts(kGlyphs);
  opt_font_verts.assign(kGlyphs, {});
  opt_font_indices.assign(kGlyphs, {});
  opt_font_vertex_offsets.assign(kGlyphs, 0);
  opt_font_index_offsets.assign(kGlyphs, 0);
  opt_font_verts_bb.clear();
  opt_font_indices_bb.clear();
  optimise_font_meshes(raw);

  uint32_t v_sum = 0, i_sum = 0;
  std::vector<VERTEX> joined_verts;
  std::vector<uint16_t> joined_indices;
  for (int g = 0; g < kGlyphs; g++) {
    SCOPED_TRACE(testing::Message() << "glyph " << g);
    const std::vector<VERTEX>& verts = opt_font_verts[g];
    const std::vector<uint16_t>& idx = opt_font_indices[g];
    EXPECT_EQ(opt_font_vertex_offsets[g], v_sum);
    EXPECT_EQ(opt_font_index_offsets[g], i_sum);
    v_sum += verts.size();
    i_sum += idx.size();
    ASSERT_EQ(idx.size(), raw[g].size());
    for (size_t t = 0; t < idx.size(); t++) {  // each index names a vertex matching its raw vertex
      ASSERT_LT(idx[t], verts.size());
      const VERTEX &w = verts[idx[t]], &v = raw[g][t];
      EXPECT_TRUE(fabsf(w.x - v.x) < 0.01f && fabsf(w.y - v.y) < 0.01f && fabsf(w.z - v.z) < 0.01f) << t;
      EXPECT_EQ(colour(w), colour(v)) << t;
    }
    if (!idx.empty()) {  // the first box: its front, then its back
      const std::vector<uint16_t> first_box = {0, 1, 2, 2, 1, 3, 4, 5, 6, 7, 5, 4};
      ASSERT_GE(idx.size(), 12u);
      EXPECT_EQ(std::vector<uint16_t>(idx.begin(), idx.begin() + 12), first_box);
    }
    joined_verts.insert(joined_verts.end(), verts.begin(), verts.end());
    joined_indices.insert(joined_indices.end(), idx.begin(), idx.end());
  }
  EXPECT_EQ(v_sum, 13512u);
  EXPECT_EQ(i_sum, 43824u);
  ASSERT_EQ(opt_font_verts_bb.size(), joined_verts.size());
  EXPECT_EQ(memcmp(opt_font_verts_bb.data(), joined_verts.data(), joined_verts.size() * sizeof(VERTEX)), 0);
  EXPECT_EQ(opt_font_indices_bb, joined_indices);

  EXPECT_EQ(opt_font_indices[0].size(), 1116u);
  EXPECT_EQ(opt_font_verts[0].size(), 344u);
  EXPECT_EQ(opt_font_verts[36].size(), 98u);
  EXPECT_TRUE(opt_font_verts[45].empty());
}

TEST(FaceImage, ThreeKindsOfTexelInTheirPlaces) {
  std::vector<unsigned char> image(128 * 128 * 2, 0x11);
  build_face_image(image.data());
  const std::pair<int, int> kBackground(0x80, 0x00), kInk(0x40, 0xFF), kFace(0xFF, 0xFF);
  auto texel = [&](int i) { return std::make_pair((int)image[i * 2], (int)image[i * 2 + 1]); };
  std::map<std::pair<int, int>, int> count;  // any fourth kind of texel shows up here too
  for (int i = 0; i < 128 * 128; i++) count[texel(i)]++;
  EXPECT_EQ(count, (std::map<std::pair<int, int>, int>{{kFace, 7666}, {kInk, 4978}, {kBackground, 3740}}));
  const std::tuple<int, int, std::pair<int, int>> samples[] = {
      {0, 0, kBackground}, {0, 64, kBackground}, {64, 0, kBackground}, {64, 127, kBackground}, {127, 64, kBackground},
      {1, 64, kInk}, {64, 1, kInk}, {64, 9, kInk}, {22, 64, kInk}, {86, 41, kInk}, {86, 86, kInk},
      {64, 64, kFace}, {86, 64, kFace}};
  for (auto [r, c, want] : samples) EXPECT_EQ(texel(r * 128 + c), want) << r << "," << c;
}

TEST(FaceImage, BandStripCoversTheScreen) {
  std::vector<glm::vec3> v;
  build_ouch_verts(v);
  ASSERT_EQ(v.size(), 1440u);
  EXPECT_EQ(v[0], glm::vec3(1.0f, 1.0f, -199.9f));
  EXPECT_EQ(v[1], glm::vec3(-1.0f, 1.0f, -199.9f));
  EXPECT_EQ(v[1438], glm::vec3(1.0f, v[1439].y, -199.9f));
  EXPECT_EQ(v[1439].x, -1.0f);
  EXPECT_NEAR(v[1439].y, 1.0 - 1438.0 / 720.0, 1e-6);
  for (const glm::vec3& p : v) EXPECT_EQ(p.z, -199.9f);
  for (size_t i = 2; i < v.size(); i++) EXPECT_NEAR(v[i - 2].y - v[i].y, 2.0 / 720.0, 1e-5) << "bands run down, evenly";
  EXPECT_GT(glm::cross(v[1] - v[0], v[2] - v[0]).z, 0.0f) << "clockwise: culling would drop the strip";
}
