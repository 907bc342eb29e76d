// The scroller scene: 3D block letters from the embedded pixel font on sine waves,
// over the face backdrop.
#pragma once
#include <GLES2/gl2.h>
#include <stdint.h>
#include <vector>

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

int scroller_init();
int scroller_render(double time);
int ouch_init();
int ouch_render(double time, float y_offset, bool keep_depth_test);
