#version 100
precision mediump float;
// Smileys over the per-line background, both coloured by the vertex stage so this
// stage stays a texture read and two blends; kept dim so the white letters with
// their black outlines stay readable in front.
uniform sampler2D u_face_tex;
varying vec2 v_uv;
varying vec3 v_back;
varying vec3 v_tint;

void main() {
  vec4 face = texture2D(u_face_tex, v_uv);
  // Luminance 0.25 is the drawn ink, 1.0 the face.
  float lit = clamp((face.r - 0.25) * 1.3333333, 0.0, 1.0);
  vec3 skin = mix(vec3(0.04, 0.01, 0.08), v_tint, lit);
  gl_FragColor = vec4(mix(v_back, skin, face.a) * 0.7, 1.0);
}
