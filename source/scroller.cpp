// The scroller scene: the glyph meshes built from the embedded font, the scrolling
// row of block letters on its sine waves, and the face backdrop behind it.
#undef NDEBUG  // the mesh invariant must stop the process in every build
#include "scroller.h"

#include <assert.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <glm/glm.hpp>
#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/type_ptr.hpp>

#include "file_io.h"
#include "font_bitmap.h"
#include "shader.h"

const FLEX flex[8] = {
    {0.0f, 0.0f, 0.1f, 0.1f, 6.0f, 3.77f},     // flat and still
    {1.0f, 0.0f, 0.1f, 0.1f, 6.0f, 3.77f},     // ripple
    {1.0f, 1.0f, 0.1f, 0.1f, 6.0f, 3.77f},     // ripple and depth swing
    {2.1f, 0.0f, 0.05f, 0.1f, 3.0f, 3.77f},    // slow, tall ripple
    {0.0f, 1.0f, 0.1f, 0.075f, 6.0f, 3.77f},   // depth swing
    {0.125f, 1.0f, 0.1f, 0.075f, 6.0f, 3.77f}, // depth swing, slight ripple
    {0.2f, 1.0f, 0.05f, 0.0f, 3.0f, 1.77f},    // whole row in and out
    {2.1f, 0.0f, 0.05f, 0.1f, 3.0f, 3.77f},    // slow, tall ripple again
};

const char font_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.:,;(!?') ";
int32_t font_letter_lookup[256];

char* scroll_text;
GLuint font_program, ouch_program;
std::vector<std::vector<VERTEX>> opt_font_verts;
std::vector<std::vector<uint16_t>> opt_font_indices;
std::vector<uint32_t> opt_font_vertex_offsets, opt_font_index_offsets;
std::vector<VERTEX> opt_font_verts_bb;
std::vector<uint16_t> opt_font_indices_bb;
GLuint opt_font_vbo, opt_font_ibo;

GLuint ouch_vbo, face_tex;
int32_t ouch_num_verts;

SCROLLER_SLOT scroller_slots[SCROLLER_SLOTS];
int32_t scroller_slot_count;

enum { CELL_EMPTY = 0, CELL_INK = 1, CELL_OUTLINE = 2 };
enum { GRID_ROWS = 9, GRID_COLS = 10 };
enum { FACE_SIZE = 128 };

// ---------------------------------------------------------------------------
// Glyph meshes

static void put_vertex(std::vector<VERTEX>& out, float x, float y, float z, uint32_t colour) {
  VERTEX v;
  v.x = x;
  v.y = y;
  v.z = z;
  v.r = (uint8_t)(colour & 0xFF);
  v.g = (uint8_t)((colour >> 8) & 0xFF);
  v.b = (uint8_t)((colour >> 16) & 0xFF);
  v.a = (uint8_t)(colour >> 24);
  out.push_back(v);
}

void build_glyph_verts(const unsigned char* pixels, int row_stride, std::vector<VERTEX>& out) {
  // Ink cells plus a one-cell outline ring around them, on a grid with a free border.
  unsigned char grid[GRID_ROWS][GRID_COLS];
  memset(grid, CELL_EMPTY, sizeof(grid));
  for (int r = 0; r < 7; r++) {
    for (int k = 0; k < 8; k++) {
      if (pixels[r * row_stride + k * 3] != 0) continue;
      for (int di = -1; di <= 1; di++)
        for (int dj = -1; dj <= 1; dj++)
          if (grid[r + 1 + di][k + 1 + dj] == CELL_EMPTY) grid[r + 1 + di][k + 1 + dj] = CELL_OUTLINE;
      grid[r + 1][k + 1] = CELL_INK;
    }
  }

  for (int i = 0; i < GRID_ROWS; i++) {
    for (int j = 0; j < GRID_COLS; j++) {
      const unsigned char cell = grid[i][j];
      if (cell == CELL_EMPTY) continue;
      const float L = ((float)j / 10.0f) * 2.0f - 1.0f;
      const float R = L + 0.2f;
      const float T = 1.0f + ((float)i / 10.0f) * -2.0f;
      const float B = T - 0.2f;
      const float F = 0.25f;
      const float K = -0.25f;

      // Front: the letter's face; outline cells are transparent black.
      const uint32_t front = cell == CELL_INK ? 0xFFFFFFFFu : 0x00000000u;
      put_vertex(out, L, T, F, front);
      put_vertex(out, L, B, F, front);
      put_vertex(out, R, T, F, front);
      put_vertex(out, R, T, F, front);
      put_vertex(out, L, B, F, front);
      put_vertex(out, R, B, F, front);

      const uint32_t back = 0xFFFFFFFFu;
      put_vertex(out, R, T, K, back);
      put_vertex(out, L, B, K, back);
      put_vertex(out, L, T, K, back);
      put_vertex(out, R, B, K, back);
      put_vertex(out, L, B, K, back);
      put_vertex(out, R, T, K, back);

      // Walls only on the outer surface of the slab.
      const uint32_t side = 0xFF202020u;
      if (j == 0 || grid[i][j - 1] == CELL_EMPTY) {
        put_vertex(out, L, T, F, side);
        put_vertex(out, L, T, K, side);
        put_vertex(out, L, B, F, side);
        put_vertex(out, L, B, F, side);
        put_vertex(out, L, T, K, side);
        put_vertex(out, L, B, K, side);
      }
      if (j == GRID_COLS - 1 || grid[i][j + 1] == CELL_EMPTY) {
        put_vertex(out, R, T, K, side);
        put_vertex(out, R, T, F, side);
        put_vertex(out, R, B, K, side);
        put_vertex(out, R, B, K, side);
        put_vertex(out, R, T, F, side);
        put_vertex(out, R, B, F, side);
      }
      const uint32_t cap = 0xFF303030u;
      if (i == 0 || grid[i - 1][j] == CELL_EMPTY) {
        put_vertex(out, L, T, K, cap);
        put_vertex(out, L, T, F, cap);
        put_vertex(out, R, T, K, cap);
        put_vertex(out, R, T, K, cap);
        put_vertex(out, L, T, F, cap);
        put_vertex(out, R, T, F, cap);
      }
      if (i == GRID_ROWS - 1 || grid[i + 1][j] == CELL_EMPTY) {
        put_vertex(out, L, B, F, cap);
        put_vertex(out, L, B, K, cap);
        put_vertex(out, R, B, F, cap);
        put_vertex(out, R, B, F, cap);
        put_vertex(out, L, B, K, cap);
        put_vertex(out, R, B, K, cap);
      }
    }
  }
}

std::vector<std::vector<VERTEX>> build_font_verts(int glyph_count) {
  std::vector<std::vector<VERTEX>> font_verts(glyph_count > 0 ? glyph_count : 0);
  // Each glyph reads only its own 8-pixel cell of the strip.
  for (int g = 0; g < glyph_count; g++) build_glyph_verts(font + g * 24, 512 * 3, font_verts[g]);
  return font_verts;
}

void build_font_letter_lookup() {
  const int count = (int)strlen(font_alphabet);
  for (int c = 0; c < 256; c++) {
    font_letter_lookup[c] = -1;
    for (int p = 0; p < count; p++) {
      if ((unsigned char)font_alphabet[p] == c) {
        font_letter_lookup[c] = p;
        break;
      }
    }
  }
}

// Corners that neighbouring boxes compute separately differ only in their last bits;
// distinct points of a glyph are at least 0.2 apart.
static bool same_vertex(const VERTEX& v, const VERTEX& w) {
  return fabsf(v.x - w.x) < 0.01f && fabsf(v.y - w.y) < 0.01f && fabsf(v.z - w.z) < 0.01f &&
         v.r == w.r && v.g == w.g && v.b == w.b && v.a == w.a;
}

void merge_glyph_verts(const std::vector<VERTEX>& raw, std::vector<VERTEX>& verts,
                       std::vector<uint16_t>& indices) {
  for (const VERTEX& v : raw) {
    size_t j = 0;
    while (j < verts.size() && !same_vertex(v, verts[j])) j++;
    if (j == verts.size()) verts.push_back(v);
    indices.push_back((uint16_t)j);
  }
}

void optimise_font_meshes(const std::vector<std::vector<VERTEX>>& font_verts) {
  uint32_t V = 0, I = 0;
  for (size_t g = 0; g < font_verts.size(); g++) {
    std::vector<VERTEX>& opt_verts = opt_font_verts[g];
    std::vector<uint16_t>& opt_indices = opt_font_indices[g];
    merge_glyph_verts(font_verts[g], opt_verts, opt_indices);
    for (size_t i = 0; i < opt_indices.size(); i++) assert(opt_indices[ i ] < opt_verts.size());
    // Indices stay glyph-local: the renderer moves the attribute pointers instead.
    opt_font_verts_bb.insert(opt_font_verts_bb.end(), opt_verts.begin(), opt_verts.end());
    opt_font_indices_bb.insert(opt_font_indices_bb.end(), opt_indices.begin(), opt_indices.end());
    opt_font_vertex_offsets[g] = V;
    V += (uint32_t)opt_verts.size();
    opt_font_index_offsets[g] = I;
    I += (uint32_t)opt_indices.size();
  }
}

int scroller_init() {
  scroll_text = dglLoadFileToMemory("scroll.txt", "rb");
  if (!scroll_text) return -1;

  GLuint vs = dglCreateShaderFromFile(GL_VERTEX_SHADER, "font.vsh");
  if (!vs) return -1;
  GLuint fs = dglCreateShaderFromFile(GL_FRAGMENT_SHADER, "font.fsh");
  if (!fs) return -1;
  const char* font_attributes[] = {"a_position", "a_color"};
  font_program = dglCreateProgram(vs, fs, font_attributes, 2);
  if (!font_program) return -1;

  vs = dglCreateShaderFromFile(GL_VERTEX_SHADER, "ouch.vsh");
  if (!vs) return -1;
  fs = dglCreateShaderFromFile(GL_FRAGMENT_SHADER, "ouch.fsh");
  if (!fs) return -1;
  const char* ouch_attributes[] = {"a_position"};
  ouch_program = dglCreateProgram(vs, fs, ouch_attributes, 1);
  if (!ouch_program) return -1;

  const int glyph_count = (int)strlen(font_alphabet);
  std::vector<std::vector<VERTEX>> font_verts = build_font_verts(glyph_count);
  opt_font_verts.resize(glyph_count);
  opt_font_indices.resize(glyph_count);
  opt_font_vertex_offsets.resize(glyph_count, 0);
  opt_font_index_offsets.resize(glyph_count, 0);
  optimise_font_meshes(font_verts);

  glGenBuffers(1, &opt_font_vbo);
  glGenBuffers(1, &opt_font_ibo);
  glBindBuffer(GL_ARRAY_BUFFER, opt_font_vbo);
  glBufferData(GL_ARRAY_BUFFER, opt_font_verts_bb.size() * sizeof(VERTEX), opt_font_verts_bb.data(),
               GL_STATIC_DRAW);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, opt_font_ibo);
  glBufferData(GL_ELEMENT_ARRAY_BUFFER, opt_font_indices_bb.size() * sizeof(uint16_t),
               opt_font_indices_bb.data(), GL_STATIC_DRAW);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);

  build_font_letter_lookup();
  return 0;
}

// ---------------------------------------------------------------------------
// The scrolling row

// 60 degrees vertical, 16:9, near 1, far 200; glm indexes [column][row].
static glm::mat4 scroller_projection() {
  glm::mat4 p(0.0f);
  p[0][0] = 0.9742786f;
  p[1][1] = 1.7320509f;
  p[2][2] = -1.0100503f;
  p[3][2] = -2.0100503f;
  p[2][3] = -1.0f;
  return p;
}
static const glm::mat4 projection = scroller_projection();

// The row's curve at x: a vertical sine and a depth cosine, each travelling with time.
static glm::vec3 row_point(const FLEX& f, double t, float x) {
  const float phase = (float)((double)f.wave_speed * t + (double)(f.wave_freq * x));
  const float phase2 = (float)((double)f.depth_speed * t + (double)(f.depth_freq * x));
  return glm::vec3(x, sinf(phase) * 5.0f * f.wave_amp,
                   (10.0f + cosf(phase2) * 10.0f) * f.depth_amp - 28.5f);
}

// The glyph of slot i follows the chord to the next slot's point: a roll about x by
// the chord's depth slope, then a turn in the screen plane by its height slope.
static glm::mat4 slot_matrix(const FLEX& f, double t, int i, float shift) {
  const float x = (float)(2 * i - 30) + shift;
  const float x2 = shift + (float)(2 * (i + 1) - 30);
  const glm::vec3 p = row_point(f, t, x);
  const glm::vec3 q = row_point(f, t, x2);
  const glm::vec3 d = q - p;
  const glm::vec3 n = d / glm::length(d);
  const float h = sqrtf(d.x * d.x + d.z * d.z);
  const glm::vec3 row1(n.y, n.x, -n.z);
  const glm::vec3 row2(0.0f, d.z / h, d.x / h);
  const glm::vec3 row0 = glm::cross(row1, row2);
  glm::mat4 r(1.0f);
  for (int c = 0; c < 3; c++) {
    r[c][0] = row0[c];
    r[c][1] = row1[c];
    r[c][2] = row2[c];
  }
  return projection * (glm::translate(glm::mat4(1.0f), p) * r);
}

int scroller_render(double time) {
  // The marker state carries over between frames for the life of the process.
  static int32_t hash_char = 0;
  static int32_t hash_count = 0;

  glUseProgram(font_program);
  glEnableVertexAttribArray(0);
  glEnableVertexAttribArray(1);
  glBindBuffer(GL_ARRAY_BUFFER, opt_font_vbo);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, opt_font_ibo);

  // An empty text has no position to show: the row stays empty.
  const size_t length = scroll_text ? strlen(scroll_text) : 0;
  scroller_slot_count = length > 0 ? SCROLLER_SLOTS : 0;
  if (length > 0) {
    const double s = time * 12.0;
    const int32_t first = (int32_t)s;
    const float shift = (float)(-(s - first) * 2.0);
    for (int i = 0; i < SCROLLER_SLOTS; i++) {
      SCROLLER_SLOT& slot = scroller_slots[i];
      const size_t k = (size_t)(first + i) % length;
      const unsigned char c = (unsigned char)scroll_text[k];
      slot.text_pos = (uint32_t)k;
      slot.glyph = -1;
      slot.drawn = 0;
      // A marker counts once, when it first comes into the window, and takes a slot.
      const bool marker = c == '#';
      if (marker && (int32_t)k != hash_char) {
        hash_char = (int32_t)k;
        hash_count++;
      }
      slot.hash_count = hash_count;
      if (marker) continue;
      const int32_t g = font_letter_lookup[c];
      if (g == -1) continue;
      slot.glyph = g;

      const GLsizeiptr vertex_offset = (GLsizeiptr)opt_font_vertex_offsets[g] * 16;
      glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 16, (const void*)vertex_offset);
      glVertexAttribPointer(1, 4, GL_UNSIGNED_BYTE, GL_TRUE, 16, (const void*)(vertex_offset + 12));

      const glm::mat4 m = slot_matrix(flex[hash_count & 7], time, i, shift);
      memcpy(slot.matrix, glm::value_ptr(m), sizeof(slot.matrix));
      glUniformMatrix4fv(glGetUniformLocation(font_program, "u_proj"), 1, GL_FALSE, slot.matrix);

      const GLsizei n = (GLsizei)opt_font_indices[g].size();
      if (n != 0) {
        glDrawElements(GL_TRIANGLES, n, GL_UNSIGNED_SHORT,
                       (const void*)((GLsizeiptr)opt_font_index_offsets[g] * 2));
        slot.drawn = 1;
      }
    }
  }

  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
  glDisableVertexAttribArray(1);
  glDisableVertexAttribArray(0);
  return 0;
}

// ---------------------------------------------------------------------------
// The face backdrop

void build_ouch_verts(std::vector<glm::vec3>& out) {
  // One band per display line, each a left/right pair the vertex shader can move alone.
  for (int i = 0; i < 720; i++) {
    const float y = 1.0f + ((float)i / 720.0f) * -2.0f;
    out.push_back(glm::vec3(1.0f, y, -199.9f));
    out.push_back(glm::vec3(-1.0f, y, -199.9f));
  }
}

void build_face_image(unsigned char* image) {
  for (int r = 0; r < FACE_SIZE; r++) {
    for (int c = 0; c < FACE_SIZE; c++) {
      unsigned char* texel = image + r * FACE_SIZE * 2 + c * 2;
      const float v = ((float)r / 127.0f) * 2.0f - 1.0f;
      const float u = ((float)c / 127.0f) * 2.0f - 1.0f;
      const float d = sqrtf(v * v + u * u);
      bool ink = false, face = false;
      if (d >= 1.0f) {
        // outside the disc
      } else if (d >= 0.85f) {
        ink = true;  // the rim
      } else {
        face = true;
        if ((double)d < 0.7 && (double)d > 0.6 && v < -0.125f) ink = true;  // the mouth
        const float ev = (v - 0.35f) * 0.5f;
        const float e = ev * ev;
        if (sqrtf((u + 0.35f) * (u + 0.35f) + e) < 0.125f) ink = true;
        if (sqrtf((u - 0.35f) * (u - 0.35f) + e) < 0.125f) ink = true;
      }
      if (ink) {
        texel[0] = 0x40;
        texel[1] = 0xFF;
      } else if (face) {
        texel[0] = 0xFF;
        texel[1] = 0xFF;
      } else {
        texel[0] = 0x80;
        texel[1] = 0x00;
      }
    }
  }
}

int ouch_init() {
  std::vector<glm::vec3> verts;
  build_ouch_verts(verts);
  ouch_num_verts = (int32_t)verts.size();
  glGenBuffers(1, &ouch_vbo);
  glBindBuffer(GL_ARRAY_BUFFER, ouch_vbo);
  glBufferData(GL_ARRAY_BUFFER, ouch_num_verts * 12, verts.data(), GL_STATIC_DRAW);

  glGenTextures(1, &face_tex);
  std::vector<unsigned char> image(FACE_SIZE * FACE_SIZE * 2);
  build_face_image(image.data());
  glBindTexture(GL_TEXTURE_2D, face_tex);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE_ALPHA, FACE_SIZE, FACE_SIZE, 0, GL_LUMINANCE_ALPHA,
               GL_UNSIGNED_BYTE, image.data());
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
  return 0;
}

int ouch_render(double time, float y_offset, bool keep_depth_test) {
  if (!keep_depth_test) glDisable(GL_DEPTH_TEST);
  glUseProgram(ouch_program);

  // Orthographic -1..1 on x and y, near 1, far 200, then shifted up by y_offset.
  const GLfloat m[16] = {1.0f, 0.0f, 0.0f,        0.0f, 0.0f, 1.0f,     0.0f,       0.0f,
                         0.0f, 0.0f, -0.01005025f, 0.0f, 0.0f, y_offset, -1.0100503f, 1.0f};
  glUniformMatrix4fv(glGetUniformLocation(ouch_program, "u_proj"), 1, GL_FALSE, m);
  glUniform1f(glGetUniformLocation(ouch_program, "u_time"), (float)time);
  glUniform1i(glGetUniformLocation(ouch_program, "u_face_tex"), 0);
  glActiveTexture(GL_TEXTURE0);
  glBindTexture(GL_TEXTURE_2D, face_tex);

  glBindBuffer(GL_ARRAY_BUFFER, ouch_vbo);
  glEnableVertexAttribArray(0);
  glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 12, 0);
  glDrawArrays(GL_TRIANGLE_STRIP, 0, ouch_num_verts);
  glDisableVertexAttribArray(0);
  glBindBuffer(GL_ARRAY_BUFFER, 0);

  glEnable(GL_DEPTH_TEST);
  return 0;
}
