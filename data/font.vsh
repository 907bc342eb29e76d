#version 100
// Glyph slabs: the mesh's own colours, with a cool sheen that darkens toward the
// letter's foot so the fronts read as chrome rather than flat white.
attribute vec3 a_position;
attribute vec4 a_color;
uniform mat4 u_proj;
varying vec3 v_color;

void main() {
  gl_Position = u_proj * vec4(a_position, 1.0);
  // Glyph space runs from y = -0.8 (foot) to 1.0 (head).
  float h = clamp((a_position.y + 0.8) / 1.8, 0.0, 1.0);
  vec3 sheen = mix(vec3(0.62, 0.74, 1.0), vec3(1.0, 1.0, 1.0), h);
  v_color = a_color.rgb * sheen;
}
