#include "coverflow.h"

#include <math.h>
#include <string.h>

#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/type_ptr.hpp>
#include <glm/mat4x4.hpp>

#include "shader.h"
#include "texture.h"

const char* const coverflow_texture_names[9] = {
    "cover0.ktx", "cover1.ktx", "cover2.ktx", "cover3.ktx", "cover4.ktx",
    "cover5.ktx", "cover6.ktx", "cover7.ktx", "cover8.ktx"};
const char* const title_names[4] = {"title0.ktx", "title1.ktx", "title2.ktx", "title3.ktx"};

// The caption: a pixels high on the 720-line surface, w clip units half-wide.
static const float a = 72.0f;
static const float w = 0.2f;
float h = a / 720.0f;

// A cover standing on y = 0, first texture row at the top, and its reflection hanging
// below, fading from mid grey to black.
TEXTURED_VERTEX coverflow_verts[8] = {
    {-1, 2, 0, 0, 0, 255, 255, 255, 255}, {1, 2, 0, 1, 0, 255, 255, 255, 255},
    {-1, 0, 0, 0, 1, 255, 255, 255, 255}, {1, 0, 0, 1, 1, 255, 255, 255, 255},
    {-1, 0, 0, 0, 1, 128, 128, 128, 255}, {1, 0, 0, 1, 1, 128, 128, 128, 255},
    {-1, -2, 0, 0, 0, 0, 0, 0, 255},      {1, -2, 0, 1, 0, 0, 0, 0, 255},
};
const uint16_t coverflow_indices[12] = {0, 2, 1, 1, 2, 3, 4, 6, 5, 5, 6, 7};

// The first 72 of the caption texture's 128 rows, one texel per pixel.
TEXTURED_VERTEX coverflow_text_verts[4] = {
    {-w, h, 0, 0, 0, 0, 0, 0, 255},
    {w, h, 0, 1, 0, 0, 0, 0, 255},
    {-w, -h, 0, 0, a * 0.0078125f, 255, 255, 255, 255},
    {w, -h, 0, 1, a * 0.0078125f, 255, 255, 255, 255},
};
const uint16_t coverflow_text_indices[6] = {0, 2, 1, 1, 2, 3};

GLuint coverflow_program, coverflow_text_program;
GLuint coverflow_textures[9], title_textures[4];
GLuint cover_vbo, cover_ibo, text_vbo, text_ibo;

static const char* attribute_names[] = {"a_position", "a_tex_coord", "a_color"};

// OpenGL ES 2.0 lets the index buffers be made through GL_ARRAY_BUFFER and drawn from as
// element buffers; WebGL ties a buffer to the first kind of target it was bound to.
#ifdef __EMSCRIPTEN__
static const unsigned int index_target = GL_ELEMENT_ARRAY_BUFFER;
#else
static const unsigned int index_target = GL_ARRAY_BUFFER;
#endif

GLuint CreateBuffer(unsigned int target, int size, const void* data) {
  GLuint buffer;
  glGenBuffers(1, &buffer);
  glBindBuffer(target, buffer);
  glBufferData(target, size, data, GL_STATIC_DRAW);
  glBindBuffer(target, 0);
  return buffer;
}

static GLuint create_program(const char* vsh, const char* fsh) {
  GLuint vertex = dglCreateShaderFromFile(GL_VERTEX_SHADER, vsh);
  if (!vertex) return 0;
  GLuint fragment = dglCreateShaderFromFile(GL_FRAGMENT_SHADER, fsh);
  if (!fragment) return 0;
  GLuint program = dglCreateProgram(vertex, fragment, attribute_names, 3);
  if (!program) return 0;
  glUseProgram(program);
  glUniform1i(glGetUniformLocation(program, "u_tex"), 0);
  return program;
}

int coverflow_init() {
  coverflow_program = create_program("coverflow.vsh", "coverflow.fsh");
  if (!coverflow_program) return -1;
  coverflow_text_program = create_program("coverflow_text.vsh", "coverflow_text.fsh");
  if (!coverflow_text_program) return -1;
  for (int i = 0; i < 9; i++) {
    coverflow_textures[i] = dglLoadKTXTextureFromFile(coverflow_texture_names[i]);
    if (!coverflow_textures[i]) return -1;
  }
  for (int j = 0; j < 4; j++) {
    title_textures[j] = dglLoadKTXTextureFromFile(title_names[j]);
    if (!title_textures[j]) return -1;
    // Captions carry level 0 only: a mipmap filter would leave them incomplete.
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  }
  // Index buffers too are made on GL_ARRAY_BUFFER; they are bound as element arrays to draw.
  cover_vbo = CreateBuffer(GL_ARRAY_BUFFER, sizeof(coverflow_verts), coverflow_verts);
  cover_ibo = CreateBuffer(index_target, sizeof(coverflow_indices), coverflow_indices);
  text_vbo = CreateBuffer(GL_ARRAY_BUFFER, sizeof(coverflow_text_verts), coverflow_text_verts);
  text_ibo = CreateBuffer(index_target, sizeof(coverflow_text_indices), coverflow_text_indices);
  return 0;
}

static const glm::mat4 cover_projection =
    glm::perspective(glm::radians(45.0f), 1280.0f / 720.0f, 0.1f, 100.0f);

void coverflow_cover_transform(int i, float position, float matrix[16], float* color) {
  float d = (float)i + position;
  // A bell of the offset from the middle: 1 there, ~0 two covers away.
  float g = powf(2.7182817f, -(2.0f * d) * (2.0f * d));
  if (!(g > 0.0f)) g = 0.0f;
  float s = d > 0.0f ? 1.0f : (d < 0.0f ? -1.0f : 0.0f);
  float x = 0.6f * d + 0.9f * (1.0f - g) * s;
  float y = -0.75f;
  float z = 1.5f * g - 5.0f;
  float theta = 60.0f * (1.0f - g) * (-s) * 0.017453292f;
  float sin_t, cos_t;
  sincosf(theta, &sin_t, &cos_t);
  glm::mat4 r(1.0f);  // about +y; glm is indexed [column][row]
  r[0][0] = cos_t;
  r[2][0] = sin_t;
  r[0][2] = -sin_t;
  r[2][2] = cos_t;
  glm::mat4 m = cover_projection * glm::translate(glm::mat4(1.0f), glm::vec3(x, y, z)) * r;
  memcpy(matrix, glm::value_ptr(m), sizeof(float) * 16);
  *color = 1.0f - 0.35f * (1.0f - g);
}

static void bind_textured_vertex_arrays() {
  glEnableVertexAttribArray(0);
  glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, sizeof(TEXTURED_VERTEX), (const void*)0);
  glEnableVertexAttribArray(1);
  glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, sizeof(TEXTURED_VERTEX), (const void*)12);
  glEnableVertexAttribArray(2);
  glVertexAttribPointer(2, 4, GL_UNSIGNED_BYTE, GL_TRUE, sizeof(TEXTURED_VERTEX), (const void*)20);
}

int coverflow_render(float position) {
  glUseProgram(coverflow_program);
  glBindBuffer(GL_ARRAY_BUFFER, cover_vbo);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, cover_ibo);
  bind_textured_vertex_arrays();
  // Turned covers and mirrored reflections must show whichever side faces the eye.
  glDisable(GL_CULL_FACE);
  for (int i = 0; i < 9; i++) {
    float m[16], color;
    coverflow_cover_transform(i, position, m, &color);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, coverflow_textures[i]);
    glUniform1f(glGetUniformLocation(coverflow_program, "u_color"), color);
    glUniformMatrix4fv(glGetUniformLocation(coverflow_program, "u_proj"), 1, GL_FALSE, m);
    glDrawElements(GL_TRIANGLES, 12, GL_UNSIGNED_SHORT, 0);
  }
  glDisableVertexAttribArray(2);
  glDisableVertexAttribArray(1);
  glDisableVertexAttribArray(0);
  glEnable(GL_CULL_FACE);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
  return 0;
}

void coverflow_text_transform(float matrix[16]) {
  glm::mat4 c = glm::ortho(-1.0f, 1.0f, -1.0f, 1.0f, 1.0f, 200.0f) *
                glm::translate(glm::mat4(1.0f), glm::vec3(0.0f, -0.81f, -2.0f));
  memcpy(matrix, glm::value_ptr(c), sizeof(float) * 16);
}

int coverflow_render_text(int index, float fade) {
  static float caption_matrix[16];
  static int caption_matrix_ready = 0;
  if (!caption_matrix_ready) {
    coverflow_text_transform(caption_matrix);
    caption_matrix_ready = 1;
  }
  glUseProgram(coverflow_text_program);
  glBindBuffer(GL_ARRAY_BUFFER, text_vbo);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, text_ibo);
  bind_textured_vertex_arrays();
  glDisable(GL_CULL_FACE);
  glActiveTexture(GL_TEXTURE0);
  glBindTexture(GL_TEXTURE_2D, title_textures[index]);
  glEnable(GL_BLEND);
  // Colour blends by the caption's alpha; the destination alpha is kept as it was.
  glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ZERO, GL_ONE);
  glUniform1f(glGetUniformLocation(coverflow_text_program, "u_color"), fade);
  glUniform1f(glGetUniformLocation(coverflow_text_program, "u_mix_vertex_color"), 0.0f);
  glUniformMatrix4fv(glGetUniformLocation(coverflow_text_program, "u_proj"), 1, GL_FALSE,
                     caption_matrix);
  glDrawElements(GL_TRIANGLES, 6, GL_UNSIGNED_SHORT, 0);
  glDisable(GL_BLEND);
  glDisableVertexAttribArray(2);
  glDisableVertexAttribArray(1);
  glDisableVertexAttribArray(0);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
  glEnable(GL_CULL_FACE);
  return 0;
}
