#version 100
precision mediump float;
// Smileys over the per-line background, both coloured by the vertex stage. The picture
// is mix(back, mix(ink, tint, lit), alpha), dimmed, with lit = alpha * (4 L - 1) / 3
// from the face's luminance L (0x40 is the drawn ink, 0xFF the face). Written out it is
//   back + alpha * (ink - back - tint / 3) + alpha * L * (tint * 4 / 3)
// and the vertex stage hands over those three colours, dimming and ink worked in, so
// each fragment costs a texture read, one product and two multiply-adds a channel: on a
// tile rasteriser the one-line bands shade every block several times, and each
// operation here counts. Filtering only blends the texels 0x40, 0xFF and the
// background's 0x80 (alpha 0), so lit stays within 0..1 without a clamp.
uniform sampler2D u_face_tex;
varying vec2 v_uv;
varying vec3 v_back;
varying vec3 v_edge;
varying vec3 v_lit;

void main() {
  vec4 face = texture2D(u_face_tex, v_uv);
  gl_FragColor = vec4(v_back + face.a * v_edge + (face.a * face.r) * v_lit, 1.0);
}
