#version 100
// The backdrop: a screen-filling strip of 720 bands, one per display line. Each band
// gets its own sideways swing of the face pattern, so the smileys ripple line by line,
// and its own background colour, worked out here per line like a copper list: a deep
// gradient with four bars sweeping up and down.
attribute vec3 a_position;
uniform mat4 u_proj;
uniform float u_time;
varying vec2 v_uv;
// The colours arrive ready for the fragment stage's two multiply-adds (see ouch.fsh):
varying vec3 v_back;  // this line's background colour, dimmed
varying vec3 v_edge;  // what the face's alpha adds: ink - back - tint / 3
varying vec3 v_lit;   // what its luminance adds where it is drawn: tint * 4 / 3

// The strip's last band stops one display line short of the bottom edge.
const float LAST_BAND_Y = -0.9972222;
// The whole backdrop is kept dim so the white letters stay readable in front; the
// smileys' ink is a deep violet.
const float DIM = 0.7;
const vec3 INK = vec3(0.04, 0.01, 0.08);

vec3 hue(float h) {
  return clamp(abs(fract(h + vec3(0.0, 0.6666667, 0.3333333)) * 6.0 - 3.0) - 1.0, 0.0, 1.0);
}

float bar(float y, float centre) {
  float d = clamp(1.0 - abs(y - centre) / 0.16, 0.0, 1.0);
  return d * d;
}

void main() {
  float y = a_position.y;
  // Stretched over the whole height, so the bottom line is covered too.
  float stretched = -1.0 + (y - LAST_BAND_Y) * (2.0 / (1.0 - LAST_BAND_Y));
  gl_Position = u_proj * vec4(a_position.x, stretched, a_position.z, 1.0);

  float t = u_time;
  float turn = fract(t * 0.04);
  float b = t * 0.9;
  vec3 back = mix(vec3(0.02, 0.0, 0.10), vec3(0.12, 0.0, 0.18), 0.5 + 0.5 * y);
  back += hue(turn) * bar(y, 0.8 * sin(b));
  back += hue(turn + 0.25) * bar(y, 0.8 * sin(b + 1.6));
  back += hue(turn + 0.5) * bar(y, 0.8 * sin(b + 3.2));
  back += hue(turn + 0.75) * bar(y, 0.8 * sin(b + 4.8));
  v_back = back * DIM;

  float swing = 0.09 * sin(y * 6.0 + t * 2.1) + 0.012 * sin(y * 53.0 - t * 7.3);
  // Four faces down the screen, square on a 16:9 display; the drift is wrapped here,
  // so the fragment stage only sees small texture coordinates.
  vec2 drift = vec2(mod(t * 0.11, 1.0), mod(t * 0.07, 1.0));
  v_uv = vec2(a_position.x * 1.7777778 * 2.0 + swing, y * 2.0) + drift;
  // The faces' colour less the ink, dimmed: the two ends of a line a third of the
  // colour wheel apart, blended across it.
  vec3 tint = (hue(turn + 0.35 * y + 0.17 * a_position.x) * 0.7 - INK) * DIM;
  v_edge = INK * DIM - v_back - tint * 0.3333333;
  v_lit = tint * 1.3333333;
}
