#include "frame_draws.h"

#include <string.h>

#include "coverflow.h"
#include "scroller.h"
#include "timeline.h"

// The carousel's draws at the position and caption the timeline chose.
FrameDraws carousel_draws() {
  FrameDraws d;
  for (int i = 0; i < 9; i++) {
    Draw c = {cover_vbo, cover_ibo, sizeof(TEXTURED_VERTEX), 0, 12, 0, {}, false,
              coverflow_textures[i], VERTEX_COORDS, false, "coverflow", -1};
    float color;
    coverflow_cover_transform(i, timeline_last_frame.position, c.matrix, &color);
    d.push_back(c);
  }
  Draw t = {text_vbo, text_ibo, sizeof(TEXTURED_VERTEX), 0, 6, 0, {}, false,
            title_textures[timeline_last_frame.caption], VERTEX_COORDS, true, "coverflow_text", -1};
  coverflow_text_transform(t.matrix);
  d.push_back(t);
  return d;
}

// The scroller's draws as the last scroller_render issued them, then the backdrop.
FrameDraws scroller_draws() {
  FrameDraws d;
  for (int i = 0; i < scroller_slot_count; i++) {
    const SCROLLER_SLOT& s = scroller_slots[i];
    if (!s.drawn) continue;
    Draw g = {opt_font_vbo, opt_font_ibo, 16, (intptr_t)opt_font_vertex_offsets[s.glyph] * 16,
              (GLsizei)opt_font_indices[s.glyph].size(),
              (intptr_t)opt_font_index_offsets[s.glyph] * 2, {}, true, 0, NO_TEXTURE, false, "font", s.glyph};
    memcpy(g.matrix, s.matrix, sizeof g.matrix);
    d.push_back(g);
  }
  // The backdrop's strip at the far end of an orthographic 1..200 depth range.
  Draw b = {ouch_vbo, 0, 12, 0, ouch_num_verts, 0,
            {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -0.01005025f, 0, 0, 0, -1.0100503f, 1}, true,
            face_tex, POSITION_COORDS, false, "ouch", -1};
  d.push_back(b);
  return d;
}
