#version 100
precision mediump float;
// Texture times vertex colour (the reflection fades to black) times the cover's brightness.
uniform sampler2D u_tex;
uniform float u_color;
varying vec2 v_tex_coord;
varying vec4 v_color;

void main() {
  vec4 texel = texture2D(u_tex, v_tex_coord);
  gl_FragColor = vec4(texel.rgb * v_color.rgb * u_color, 1.0);
}
