// The embedded font, its box meshes, the vertex merge and the face backdrop's CPU data (no GL).
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <array>
#include <map>
#include <set>

#include <glm/geometric.hpp>

#include "font_bitmap.h"
#include "scroller.h"

namespace {

using Rows = std::array<int, 7>;  // one byte a bitmap row, bit 7 = column 0, set = ink
Rows glyph_rows(int g) {
  Rows rows{};
  for (int i = 0; i < 56; i++) rows[i / 8] |= font[i / 8 * 1536 + g * 24 + i % 8 * 3] == 0 ? 0x80 >> i % 8 : 0;
  return rows;
}
std::vector<VERTEX> mesh_of(const Rows& rows) {  // an 8x7 white RGB bitmap with these pixels black
  std::vector<unsigned char> px(7 * 24, 0xFF);
  for (int i = 0; i < 56; i++) memset(&px[i / 8 * 24 + i % 8 * 3], rows[i / 8] & 0x80 >> i % 8 ? 0 : 0xFF, 3);
  std::vector<VERTEX> out;
  return build_glyph_verts(px.data(), 24, out), out;
}
uint32_t colour(const VERTEX& v) { return v.r | v.g << 8 | v.b << 16 | (uint32_t)v.a << 24; }
bool same(const VERTEX& a, const VERTEX& b) {  // the merge's rule: within 0.01 on each axis, equal colours
  return fabsf(a.x - b.x) < 0.01f && fabsf(a.y - b.y) < 0.01f && fabsf(a.z - b.z) < 0.01f && colour(a) == colour(b);
}

// Six-vertex faces counted by plane and colour.
std::map<std::string, int> census(const std::vector<VERTEX>& m) {
  std::map<std::string, int> n;
  for (size_t f = 0; f + 6 <= m.size(); f += 6) {
    bool front = true, back = true, same = true;
    for (int k = 0; k < 6; k++)
      front &= m[f + k].z == 0.25f, back &= m[f + k].z == -0.25f, same &= colour(m[f + k]) == colour(m[f]);
    const uint32_t c = colour(m[f]);
    n[!same ? "mixed" : front && c == 0xFFFFFFFF ? "ink" : front && c == 0 ? "outline" : back && c == 0xFFFFFFFF ? "back"
      : !front && !back && c == 0xFF202020 ? "side" : !front && !back && c == 0xFF303030 ? "cap" : "other"]++;
  }
  return n;
}

// Every triangle faces out of the slab of occupied cells (ink and its 3x3 outline):
// just behind it is solid, just in front is not; side walls face sideways, caps up or down.
void expect_outward(const std::vector<VERTEX>& m, const Rows& rows) {
  bool cell[9][10] = {};
  for (int i = 0; i < 56; i++)
    if (rows[i / 8] & 0x80 >> i % 8)
      for (int d = 0; d < 9; d++) cell[i / 8 + d / 3][i % 8 + d % 3] = true;
  auto solid = [&](glm::dvec3 p) {
    const int j = (int)floor((p.x + 1.0) / 0.2), i = (int)floor((1.0 - p.y) / 0.2);
    return fabs(p.z) < 0.25 && i >= 0 && i < 9 && j >= 0 && j < 10 && cell[i][j];
  };
  auto at = [&](size_t i) { return glm::dvec3(m[i].x, m[i].y, m[i].z); };
  for (size_t t = 0; t + 3 <= m.size(); t += 3) {
    const glm::dvec3 p = (at(t) + at(t + 1) + at(t + 2)) / 3.0, n = 0.05 * glm::normalize(glm::cross(at(t + 1) - at(t), at(t + 2) - at(t)));
    EXPECT_TRUE(solid(p - n) && !solid(p + n)) << "triangle " << t / 3;
    EXPECT_TRUE(colour(m[t]) != 0xFF202020 || fabs(fabs(n.x) - 0.05) < 1e-9) << "side wall " << t / 3;
    EXPECT_TRUE(colour(m[t]) != 0xFF303030 || fabs(fabs(n.y) - 0.05) < 1e-9) << "cap " << t / 3;
  }
}

}  // namespace

TEST(FontBitmap, StripOfDistinctBlackAndWhiteGlyphsAndItsLookup) {
  for (int i = 0; i < 512 * 7 * 3; i++)
    ASSERT_TRUE((font[i] == 0x00 || font[i] == 0xFF) && font[i] == font[i - i % 3]) << "byte " << i;
  EXPECT_EQ(glyph_rows(0), (Rows{0x38, 0x6C, 0xC6, 0xC6, 0xFE, 0xC6, 0xC6}));
  EXPECT_EQ(glyph_rows(36), (Rows{0, 0, 0, 0, 0, 0x30, 0x30}));
  std::set<Rows> seen = {Rows{}};
  for (int g = 0; g < 45; g++) {  // column 7 is the gap between letters
    int columns = 0;
    for (int row : glyph_rows(g)) columns |= row;
    EXPECT_TRUE(seen.insert(glyph_rows(g)).second && !(columns & 1)) << g;
  }
  EXPECT_EQ(glyph_rows(45), Rows{});
  build_font_letter_lookup();
  const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.:,;(!?') ";
  for (int c = 0; c < 256; c++) EXPECT_EQ(font_letter_lookup[c], c && strchr(alphabet, c) ? strchr(alphabet, c) - alphabet : -1) << "byte " << c;
}

TEST(GlyphMesh, BoxCountsAndEveryGlyphFacesOutward) {
  const std::vector<std::vector<VERTEX>> raw = build_font_verts(46);
  ASSERT_EQ(raw.size(), 46u);
  EXPECT_EQ(census(raw[0]), (std::map<std::string, int>{{"ink", 30}, {"outline", 43}, {"back", 73}, {"side", 22}, {"cap", 18}}));
  ASSERT_TRUE(raw[45].empty() && raw[36].size() == 288u) << "the blank has no ink, the full stop 48 faces";
  for (const VERTEX& v : raw[36])  // the full stop's ink fronts lie in x -0.4..0, y -0.6..-0.2
    EXPECT_TRUE(v.z != 0.25f || colour(v) != 0xFFFFFFFF || (fabsf(v.x + 0.2f) <= 0.2f + 1e-6f && fabsf(v.y + 0.4f) <= 0.2f + 1e-6f));
  // One pixel in the middle, in the corner (outline on the grid's edge) and a full-width bar.
  const struct { Rows rows; size_t merged; std::map<std::string, int> faces; } cases[] = {
      {{0, 0, 0, 0x10, 0, 0, 0}, 68, {{"ink", 1}, {"outline", 8}, {"back", 9}, {"side", 6}, {"cap", 6}}},
      {{0x80, 0, 0, 0, 0, 0, 0}, 68, {{"ink", 1}, {"outline", 8}, {"back", 9}, {"side", 6}, {"cap", 6}}},
      {{0, 0, 0, 0xFE, 0, 0, 0}, 152, {{"ink", 7}, {"outline", 20}, {"back", 27}, {"side", 6}, {"cap", 18}}}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.rows[0] + k.rows[3]);
    const std::vector<VERTEX> m = mesh_of(k.rows);
    std::vector<VERTEX> verts;
    std::vector<uint16_t> idx;
    EXPECT_EQ((merge_glyph_verts(m, verts, idx), std::make_pair(idx.size(), verts.size())), std::make_pair(m.size(), k.merged));
    EXPECT_EQ(census(m), k.faces);
    expect_outward(m, k.rows);
  }
  for (int g = 0; g < 46; g++) {
    SCOPED_TRACE(testing::Message() << "glyph " << g);
    for (const auto& [kind, n] : census(raw[g])) EXPECT_TRUE(kind != "mixed" && kind != "other" && raw[g].size() % 6 == 0) << n << " " << kind;
    expect_outward(raw[g], glyph_rows(g));
  }
}

TEST(FontMerge, WholeFontPacksIntoGlyphLocalLists) {
  const std::vector<std::vector<VERTEX>> raw = build_font_verts(46);
  opt_font_verts.assign(46, {}), opt_font_indices.assign(46, {}), opt_font_vertex_offsets.assign(46, 0), opt_font_index_offsets.assign(46, 0);
  optimise_font_meshes(raw);
  uint32_t v_sum = 0, i_sum = 0;
  std::vector<uint16_t> joined;
  for (int g = 0; g < 46; g++) {
    SCOPED_TRACE(testing::Message() << "glyph " << g);
    const std::vector<VERTEX>& verts = opt_font_verts[g];
    const std::vector<uint16_t>& idx = opt_font_indices[g];
    EXPECT_EQ(std::make_pair(opt_font_vertex_offsets[g], opt_font_index_offsets[g]), std::make_pair(v_sum, i_sum));
    ASSERT_EQ(idx.size(), raw[g].size());
    for (size_t t = 0; t < idx.size(); t++)  // each index names a vertex matching its raw vertex, and no two match
      ASSERT_TRUE(idx[t] < verts.size() && same(verts[idx[t]], raw[g][t])) << t;
    for (size_t a = 0; a < verts.size() * verts.size(); a++) ASSERT_TRUE(a / verts.size() >= a % verts.size() || !same(verts[a / verts.size()], verts[a % verts.size()])) << a;
    const std::vector<uint16_t> first_box = {0, 1, 2, 2, 1, 3, 4, 5, 6, 7, 5, 4};  // its front, then its back
    EXPECT_TRUE(idx.empty() || std::equal(first_box.begin(), first_box.end(), idx.begin()));
    EXPECT_TRUE(verts.empty() || !memcmp(&opt_font_verts_bb[v_sum], verts.data(), verts.size() * sizeof(VERTEX)));
    v_sum += verts.size(), i_sum += idx.size();
    joined.insert(joined.end(), idx.begin(), idx.end());
  }
  EXPECT_EQ(std::make_tuple(v_sum, i_sum, opt_font_verts_bb.size()), std::make_tuple(13512u, 43824u, (size_t)13512));
  EXPECT_EQ(opt_font_indices_bb, joined);
  EXPECT_EQ(std::make_tuple(opt_font_indices[0].size(), opt_font_verts[0].size(), opt_font_verts[36].size()),
            std::make_tuple((size_t)1116, (size_t)344, (size_t)98));
}

TEST(FaceBackdrop, ThreeKindsOfTexelInTheirPlacesAndBandsDownTheScreen) {
  std::vector<unsigned char> image(128 * 128 * 2, 0x11);
  using Texel = std::pair<int, int>;  // luminance, alpha
  const Texel kBack(0x80, 0x00), kInk(0x40, 0xFF), kFace(0xFF, 0xFF);
  auto texel = [&](int r, int c) { return Texel(image[r * 256 + c * 2], image[r * 256 + c * 2 + 1]); };
  std::map<Texel, int> count;  // any fourth kind of texel shows up here too
  for (int i = (build_face_image(image.data()), 0); i < 128 * 128; i++) count[texel(i / 128, i % 128)]++;
  EXPECT_EQ(count, (std::map<Texel, int>{{kFace, 7666}, {kInk, 4978}, {kBack, 3740}}));
  const std::tuple<int, int, Texel> samples[] = {{0, 0, kBack}, {0, 64, kBack}, {64, 0, kBack}, {64, 127, kBack}, {127, 64, kBack},
      {1, 64, kInk}, {64, 1, kInk}, {64, 9, kInk}, {22, 64, kInk}, {86, 41, kInk}, {86, 86, kInk}, {64, 64, kFace}, {86, 64, kFace}};
  for (auto [r, c, want] : samples) EXPECT_EQ(texel(r, c), want) << r << "," << c;
  std::vector<glm::vec3> v;
  ASSERT_EQ((build_ouch_verts(v), v.size()), 1440u);
  for (size_t i = 0; i < v.size(); i++)  // right then left end of band i / 2, evenly down from y = 1
    ASSERT_EQ(v[i], glm::vec3(i % 2 ? -1.0f : 1.0f, 1.0f + ((float)(i / 2) / 720.0f) * -2.0f, -199.9f)) << i;
  EXPECT_GT(glm::cross(v[1] - v[0], v[2] - v[0]).z, 0.0f) << "clockwise: culling would drop the strip";
}
