// The draws of the frame the timeline drew last, as plain records: buffers, ranges,
// matrices and the state each ran with. demo-bench replays them with its own programs
// (its floors, and the fragment count behind the board estimates).
#pragma once
#include <GLES2/gl2.h>
#include <stdint.h>

#include <vector>

// One draw: what it reads, its transform and state, and whose it is.
enum Coords { NO_TEXTURE, VERTEX_COORDS, POSITION_COORDS };
struct Draw {
  GLuint vbo, ibo;  // ibo 0: glDrawArrays as a triangle strip
  GLsizei stride;
  intptr_t vertex_offset;
  GLsizei count;
  intptr_t index_offset;
  float matrix[16];
  bool cull;
  GLuint texture;  // what the draw samples (the texture floor only)
  Coords coords;
  bool blend;      // the caption is blended over the covers
  const char* program;  // the show's program that draws it
  int glyph;            // the letter's glyph (its vertices in opt_font_verts), or -1
};
typedef std::vector<Draw> FrameDraws;

// The carousel's draws at the position and caption the timeline chose.
FrameDraws carousel_draws();
// The scroller's draws as the last scroller_render issued them, then the backdrop.
FrameDraws scroller_draws();
