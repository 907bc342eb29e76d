// The scroller scene: 3D block letters from the embedded pixel font on sine waves,
// over the face backdrop.
#pragma once
#include <GLES2/gl2.h>
#include <stdint.h>
#include <vector>

#include <glm/vec3.hpp>

struct VERTEX {
  float x, y, z;
  uint8_t r, g, b, a;  // in memory order; the 32-bit little-endian value is 0xAABBGGRR
};

struct FLEX {
  float wave_amp, depth_amp, wave_freq, depth_freq, wave_speed, depth_speed;
};

extern const FLEX flex[8];
extern const char font_alphabet[];
extern int32_t font_letter_lookup[256];

extern char* scroll_text;
extern GLuint font_program, ouch_program;
extern std::vector<std::vector<VERTEX>> opt_font_verts;
extern std::vector<std::vector<uint16_t>> opt_font_indices;
extern std::vector<uint32_t> opt_font_vertex_offsets, opt_font_index_offsets;
extern std::vector<VERTEX> opt_font_verts_bb;
extern std::vector<uint16_t> opt_font_indices_bb;
extern GLuint opt_font_vbo, opt_font_ibo;

extern GLuint ouch_vbo, face_tex;
extern int32_t ouch_num_verts;

std::vector<std::vector<VERTEX>> build_font_verts(int glyph_count);
void build_font_letter_lookup();
void optimise_font_meshes(const std::vector<std::vector<VERTEX>>& font_verts);

// One glyph's raw box mesh from an 8x7 bitmap: pixel (row r, column k) is ink when
// pixels[r * row_stride + k * 3] is 0 (RGB rows, as in the font strip). Appends to `out`.
void build_glyph_verts(const unsigned char* pixels, int row_stride, std::vector<VERTEX>& out);
// One glyph's raw triangle list merged into distinct vertices and an index per raw vertex.
void merge_glyph_verts(const std::vector<VERTEX>& raw, std::vector<VERTEX>& verts,
                       std::vector<uint16_t>& indices);
// The backdrop's band strip and its 128x128 luminance-alpha face (32,768 bytes).
void build_ouch_verts(std::vector<glm::vec3>& out);
void build_face_image(unsigned char* image);

// What the last scroller_render did with each of its 31 slots.
struct SCROLLER_SLOT {
  uint32_t text_pos;   // index into scroll_text
  int32_t glyph;       // -1: a marker or a character without a glyph (nothing set)
  int32_t hash_count;  // markers counted once this slot was handled
  int32_t drawn;       // 1 when a draw call was issued
  float matrix[16];    // "u_proj" as uploaded, column-major (glyph >= 0 only)
};
enum { SCROLLER_SLOTS = 31 };
extern SCROLLER_SLOT scroller_slots[SCROLLER_SLOTS];
extern int32_t scroller_slot_count;  // 31, or 0 when the text is empty

int scroller_init();
int scroller_render(double time);
int ouch_init();
int ouch_render(double time, float y_offset, bool keep_depth_test);
