#version 100
precision mediump float;
// The caption fades with u_color; u_mix_vertex_color 0 leaves the vertex colour out.
uniform sampler2D u_tex;
uniform float u_color;
uniform float u_mix_vertex_color;
varying vec2 v_tex_coord;
varying vec4 v_color;

void main() {
  vec4 texel = texture2D(u_tex, v_tex_coord);
  vec3 tint = mix(vec3(1.0), v_color.rgb, u_mix_vertex_color);
  gl_FragColor = vec4(texel.rgb * tint, texel.a * u_color);
}
