// The cover carousel: nine covers with reflections, and the caption overlay.
#pragma once
#include <GLES2/gl2.h>
#include <stdint.h>

struct TEXTURED_VERTEX {
  float x, y, z;
  float u, v;
  uint8_t r, g, b, a;
};

extern const char* const coverflow_texture_names[9];
extern const char* const title_names[4];

extern TEXTURED_VERTEX coverflow_verts[8];
extern const uint16_t coverflow_indices[12];
extern TEXTURED_VERTEX coverflow_text_verts[4];
extern const uint16_t coverflow_text_indices[6];
extern float h;

extern GLuint coverflow_program, coverflow_text_program;
extern GLuint coverflow_textures[9], title_textures[4];
extern GLuint cover_vbo, cover_ibo, text_vbo, text_ibo;

GLuint CreateBuffer(unsigned int target, int size, const void* data);
int coverflow_init();
int coverflow_render(float position);
int coverflow_render_text(int index, float fade);

// Cover i's whole transform (column-major) and brightness at a carousel position; the
// renderer uploads exactly these.
void coverflow_cover_transform(int i, float position, float matrix[16], float* color);
// The caption's fixed transform, column-major.
void coverflow_text_transform(float matrix[16]);
