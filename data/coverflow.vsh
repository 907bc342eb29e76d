#version 100
// A cover or its reflection: the whole transform is one matrix, made on the CPU.
attribute vec3 a_position;
attribute vec2 a_tex_coord;
attribute vec4 a_color;
uniform mat4 u_proj;
varying vec2 v_tex_coord;
varying vec4 v_color;

void main() {
  v_tex_coord = a_tex_coord;
  v_color = a_color;
  gl_Position = u_proj * vec4(a_position, 1.0);
}
