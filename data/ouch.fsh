#version 100
precision mediump float;
// Smileys over the per-line background, both coloured by the vertex stage. The picture
// is mix(back, mix(ink, tint, lit), alpha), dimmed; written out it is
//   back + alpha * (ink - back) + alpha * lit * (tint - ink)
// with the dimming and the subtraction of the ink moved into the vertex stage, so each
// fragment costs a texture read and a few multiply-adds: on a tile rasteriser the
// one-line bands shade every block several times, and each operation here counts.
uniform sampler2D u_face_tex;
varying vec2 v_uv;
varying vec3 v_back;
varying vec3 v_tint;

// The dimmed ink colour.
const vec3 INK = vec3(0.028, 0.007, 0.056);

void main() {
  vec4 face = texture2D(u_face_tex, v_uv);
  // Luminance 0x40 is the drawn ink, 0xFF the face; filtering only blends those and the
  // background's 0x80, so lit stays within 0..1 without a clamp.
  float lit = face.a * (face.r * 1.3333333 - 0.3333333);
  gl_FragColor = vec4(v_back + face.a * (INK - v_back) + lit * v_tint, 1.0);
}
