// Nine sleeves, each a function of the canvas position evaluated 16 times per pixel.
// Bold shapes and large titles keep them legible when small and turned aside.
#include <stdint.h>

#include <algorithm>

#include "art.h"
#include "dmath.h"
#include "font.h"

namespace {

using dm::clamp;
using dm::mix;
using dm::smoothstep;

double hash2(int x, int y, uint32_t seed) {
  uint32_t h = (uint32_t)x * 374761393u + (uint32_t)y * 668265263u + seed * 2246822519u;
  h = (h ^ (h >> 13)) * 1274126177u;
  h ^= h >> 16;
  return (h & 0xFFFFFF) / 16777216.0;
}

// Smooth value noise in [0, 1).
double vnoise(double x, double y, uint32_t seed) {
  const double fx = floor(x), fy = floor(y);
  const int ix = (int)fx, iy = (int)fy;
  const double tx = smoothstep(0, 1, x - fx), ty = smoothstep(0, 1, y - fy);
  const double a = hash2(ix, iy, seed), b = hash2(ix + 1, iy, seed);
  const double c = hash2(ix, iy + 1, seed), d = hash2(ix + 1, iy + 1, seed);
  return mix(mix(a, b, tx), mix(c, d, tx), ty);
}
double fbm(double x, double y, uint32_t seed) {
  double s = 0, amp = 0.5;
  for (int o = 0; o < 4; ++o) {
    s += amp * vnoise(x, y, seed + o);
    x *= 2.03;
    y *= 2.03;
    amp *= 0.5;
  }
  return s;
}

// A star of a sparse field: brightness at (x, y) from one candidate per cell.
double stars(double x, double y, double cell, double density, uint32_t seed) {
  const int cx = (int)floor(x / cell), cy = (int)floor(y / cell);
  if (hash2(cx, cy, seed) > density) return 0;
  const double sx = (cx + 0.2 + 0.6 * hash2(cx, cy, seed + 1)) * cell;
  const double sy = (cy + 0.2 + 0.6 * hash2(cx, cy, seed + 2)) * cell;
  const double r = 0.5 + 1.1 * hash2(cx, cy, seed + 3);
  const double d2 = (x - sx) * (x - sx) + (y - sy) * (y - sy);
  return d2 < r * r ? 0.5 + 0.5 * hash2(cx, cy, seed + 4) : 0;
}

bool disc(double x, double y, double cx, double cy, double r) {
  return (x - cx) * (x - cx) + (y - cy) * (y - cy) < r * r;
}
double dist(double x, double y, double cx, double cy) {
  return sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy));
}
// Which side of the directed line a->b the point lies on (positive = left).
double side(double x, double y, double ax, double ay, double bx, double by) {
  return (bx - ax) * (y - ay) - (by - ay) * (x - ax);
}
bool triangle(double x, double y, double ax, double ay, double bx, double by, double cx, double cy) {
  const double s1 = side(x, y, ax, ay, bx, by), s2 = side(x, y, bx, by, cx, cy), s3 = side(x, y, cx, cy, ax, ay);
  return (s1 >= 0 && s2 >= 0 && s3 >= 0) || (s1 <= 0 && s2 <= 0 && s3 <= 0);
}

// A line of text over `base`: fill colour graded from top to bottom, and a drop shadow.
struct Title {
  font::Line line;
  Rgba top, bottom;
  Rgba shadow;
  double shadow_dx = 0, shadow_dy = 0;  // 0, 0 = no shadow
  double outline = 0;                   // width of an outline in the shadow colour
};
Rgba title(const Rgba& base, const Title& t, double x, double y) {
  if (font::hit(t.line, x, y)) {
    const double k = clamp((y - t.line.y) / (font::kH * t.line.cell), 0.0, 1.0);
    return over(base, lerp(t.top, t.bottom, k));
  }
  if (t.outline > 0 && font::near(t.line, x, y, t.outline)) return over(base, t.shadow);
  if ((t.shadow_dx != 0 || t.shadow_dy != 0) && font::hit(t.line, x - t.shadow_dx, y - t.shadow_dy))
    return over(base, t.shadow);
  return base;
}

// Values that depend only on x, cached per sample column: the renderer takes 4 samples
// a pixel at x = px + (i + 0.5) / 4, so floor(4x) names the column exactly.
template <int N>
struct Columns {
  double v[kCoverSize * 4][N];
  template <typename F>
  explicit Columns(F f) {
    for (int i = 0; i < kCoverSize * 4; ++i) f((i + 0.5) / 4, v[i]);
  }
  const double* at(double x) const { return v[std::min(kCoverSize * 4 - 1, std::max(0, (int)floor(x * 4)))]; }
};

// 0: synthwave sunset over a neon grid.
Rgba sunset(double x, double y) {
  const double horizon = 166;
  Rgba c;
  if (y < horizon) {
    const double v = y / horizon;
    c = v < 0.55 ? lerp(hex(0x140a3a), hex(0x8e1b6e), v / 0.55) : lerp(hex(0x8e1b6e), hex(0xff8a3d), (v - 0.55) / 0.45);
    const double s = stars(x, y, 9, 0.35, 11) * (1 - v);
    c = lerp(c, hex(0xffffff), s);
    // The sun, banded towards its foot.
    const double cx = 128, cy = 132, r = 74;
    if (disc(x, y, cx, cy, r)) {
      const double k = (y - (cy - r)) / (2 * r);
      bool gap = false;
      if (y > cy - 8) {
        const double band = (y - (cy - 8)) / 13.0;
        const double f = dm::fract(band);
        gap = f < 0.16 + 0.10 * floor(band);
      }
      if (!gap) c = lerp(hex(0xfff27a), hex(0xff2e7e), k);
    } else {
      const double d = dist(x, y, cx, cy) - r;
      c = lerp(c, hex(0xff6fa8), 0.35 * clamp(1 - d / 26, 0.0, 1.0));
    }
    // Distant mountains cut out against the sun.
    static const Columns<1> ridge([](double cx, double* v) {
      v[0] = 166 - 10 - 16 * fabs(dm::sin(cx * 0.045 + 1.3)) - 8 * fabs(dm::sin(cx * 0.11));
    });
    const double m = ridge.at(x)[0];
    if (y > m) c = lerp(hex(0x2a0a4a), hex(0x4a1360), (y - m) / (horizon - m + 1));
  } else {
    // Floor in perspective: depth lines spaced by 1/z, rays to the vanishing point.
    const double dz = y - horizon + 0.5;
    c = lerp(hex(0x1a0633), hex(0x0b0220), clamp(dz / 90, 0.0, 1.0));
    const double z = 400 / dz;
    const double row = dm::fract(z * 0.35 + 0.0);
    const double xw = (x - 128) / dz;
    const double col = dm::fract(xw * 2.2 + 0.5);
    const double lw = 0.05 + 0.006 * dz;
    const bool line = row < 0.08 * dz / 8 + 0.02 || col < lw * 0.35 || col > 1 - lw * 0.35;
    if (line) c = lerp(hex(0xff3ad0), hex(0x3af0ff), clamp(dz / 90, 0.0, 1.0));
    c = lerp(c, hex(0xff5fb0), 0.45 * clamp(1 - dz / 14, 0.0, 1.0));  // haze at the horizon
  }
  Title t{font::centred("SUNSET DRIVE", 128, 16, 3.2), hex(0xffffff), hex(0xffd0f0), hex(0x3a0a5a), 2.5, 2.5, 0};
  c = title(c, t, x, y);
  Title a{font::centred("NIGHT RUNNER", 128, 44, 1.8), hex(0xffe6f6), hex(0xffc0e0), hex(0x3a0a5a), 1.5, 1.5, 0};
  return title(c, a, x, y);
}

// 1: overlapping Bauhaus circles.
Rgba circles(double x, double y) {
  Rgba c = lerp(hex(0xf4ead5), hex(0xe8d9b8), y / 256);
  const bool blue = disc(x, y, 98, 104, 74);
  const bool red = disc(x, y, 172, 146, 52);
  const bool yellow = disc(x, y, 40, 196, 44) && y < 196;
  if (yellow) c = hex(0xf5b800);
  if (blue) c = hex(0x1d4fa0);
  if (red) c = hex(0xe0262f);
  if (blue && red) c = hex(0x14141c);
  // A ring around the red circle and a black bar to anchor it.
  const double dr = dist(x, y, 172, 146);
  if (dr > 60 && dr < 66 && !blue) c = hex(0x14141c);
  if (y > 196 && y < 203 && x > 18 && x < 238) c = hex(0x14141c);
  if (x > 214 && x < 222 && y > 20 && y < 80) c = hex(0xe0262f);
  Title t{font::Line{"CIRCLES", 18, 212, 4.2, 0}, hex(0x14141c), hex(0x14141c), hex(0), 0, 0, 0};
  c = title(c, t, x, y);
  Title a{font::Line{"DOT AND LINE", 18, 14, 1.8, 0}, hex(0x14141c), hex(0x14141c), hex(0), 0, 0, 0};
  return title(c, a, x, y);
}

// 2: glowing bands of waves.
Rgba waves(double x, double y) {
  Rgba c = lerp(hex(0x07102e), hex(0x1a0838), y / 256);
  static const uint32_t kCol[6] = {0x2af6ff, 0x3ab0ff, 0x8a5cff, 0xe64cff, 0xff4f9a, 0xffc23a};
  static const Columns<6> crest([](double cx, double* v) {
    for (int i = 0; i < 6; ++i) v[i] = 70 + i * 24 + 14 * dm::sin(cx * 0.035 + i * 0.9) + 6 * dm::sin(cx * 0.09 - i * 1.7);
  });
  const double* crests = crest.at(x);
  for (int i = 0; i < 6; ++i) {
    const double wy = crests[i];
    const double d = fabs(y - wy);
    const Rgba col = hex(kCol[i]);
    if (d < 3.2) {
      c = lerp(col, hex(0xffffff), 0.35 * (1 - d / 3.2));
    } else {
      const double g = 0.5 * clamp(1 - (d - 3.2) / 12, 0.0, 1.0);
      c = lerp(c, col, g * g);
    }
  }
  Title t{font::centred("NEON WAVES", 128, 18, 3.6), hex(0xffffff), hex(0xb8f8ff), hex(0x2a0a60), 2.5, 2.5, 0};
  c = title(c, t, x, y);
  Title a{font::centred("TIDAL", 128, 228, 2.4), hex(0xffc23a), hex(0xff4f9a), hex(0), 0, 0, 0};
  return title(c, a, x, y);
}

// 3: white light split by a prism.
Rgba prism(double x, double y) {
  Rgba c = lerp(hex(0x22144e), hex(0x06040e), clamp(dist(x, y, 128, 150) / 170, 0.0, 1.0));
  const double ax = 128, ay = 78, bx = 72, by = 176, cx = 184, cy = 176;  // apex, left, right
  // Incoming beam meets the left face; the spectrum leaves the right face and widens.
  const double ex = 146, ey = 132;  // exit point on the right face
  if (!triangle(x, y, ax, ay, bx, by, cx, cy)) {
    const double inx = 104, iny = 125;  // entry point on the left face
    const double t = side(x, y, 0, 150, inx, iny) / dist(0, 150, inx, iny);
    if (x < inx && fabs(t) < 2.2) c = lerp(c, hex(0xffffff), 0.95);
    if (x > ex) {
      const double ang = (y - ey) / (x - ex + 1e-9);  // slope from the exit point
      const double k = (ang - 0.02) / 0.62;           // 0..1 across the fan
      static const uint32_t kBand[6] = {0xff2a2a, 0xff8c1a, 0xffe81a, 0x2ee65a, 0x2a8cff, 0x9a3aff};
      if (k >= 0 && k < 1) c = hex(kBand[(int)(k * 6)]);
    }
  }
  if (triangle(x, y, ax, ay, bx, by, cx, cy)) {
    c = lerp(hex(0x2a2a40), hex(0x12121e), (y - ay) / (by - ay));
    // Faint white light inside from entry to exit.
    const double t = side(x, y, 104, 125, ex, ey) / dist(104, 125, ex, ey);
    if (fabs(t) < 1.6 && x > 104 && x < ex) c = lerp(c, hex(0xffffff), 0.22 * (1 - fabs(t) / 1.6));
  }
  // The prism's bright edges.
  const double l = dist(ax, ay, bx, by), r = dist(ax, ay, cx, cy);
  const double e1 = fabs(side(x, y, ax, ay, bx, by)) / l, e2 = fabs(side(x, y, cx, cy, ax, ay)) / r;
  const double e3 = fabs(y - by);
  const bool in_y = y > ay - 2 && y < by + 2;
  if (in_y && (e1 < 2 || e2 < 2 || (e3 < 2 && x > bx - 1 && x < cx + 1)) && x > bx - 2 && x < cx + 2)
    c = hex(0xf2f2ff);
  Title t{font::centred("PRISM", 128, 18, 6.0), hex(0xffffff), hex(0xc8c8e0), hex(0), 0, 0, 0};
  c = title(c, t, x, y);
  Title a{font::centred("SPECTRA", 128, 222, 2.6), hex(0xff8c1a), hex(0x9a3aff), hex(0), 0, 0, 0};
  return title(c, a, x, y);
}

// 4: a twisted chequerboard with a title band.
Rgba tiles(double x, double y) {
  const double dx = x - 128, dy = y - 128;
  const double r = sqrt(dx * dx + dy * dy);
  const double a = 0.78539816 + 0.9 * smoothstep(150, 0, r);
  const double ca = dm::cos(a), sa = dm::sin(a);
  const double u = (dx * ca - dy * sa) / 30, v = (dx * sa + dy * ca) / 30;
  const bool odd = (((int)floor(u) + (int)floor(v)) & 1) != 0;
  Rgba c = odd ? hex(0x00a6a6) : hex(0xff7a00);
  c = lerp(c, hex(0x101018), 0.35 * smoothstep(80, 190, r));
  if (y > 104 && y < 152) {
    c = hex(0x101018);
    if (y < 107 || y > 149) c = hex(0xf4f0e8);
  }
  Title t{font::centred("TILE DANCE", 128, 113, 3.6), hex(0xffffff), hex(0xffd8a8), hex(0), 0, 0, 0};
  c = title(c, t, x, y);
  Title b{font::centred("THE SQUARES", 128, 14, 2.0), hex(0x101018), hex(0x101018), hex(0xf4f0e8), 0, 0, 1.6};
  return title(c, b, x, y);
}

// 5: rolling hills at noon.
Rgba hills(double x, double y) {
  Rgba c = lerp(hex(0x62c4ff), hex(0xfff3c4), smoothstep(0, 170, y));
  const double d = dist(x, y, 186, 92);
  if (d < 30) c = hex(0xfffbe6);
  else c = lerp(c, hex(0xfff6cc), 0.5 * clamp(1 - (d - 30) / 40, 0.0, 1.0));
  // A couple of flat clouds.
  const double cl = vnoise(x / 28, y / 9, 5);
  if (y < 120 && cl > 0.72) c = lerp(c, hex(0xffffff), smoothstep(0.72, 0.8, cl) * 0.85);
  static const uint32_t kHill[4] = {0x9ad66b, 0x5fb548, 0x2f8a3a, 0x145c2b};
  static const Columns<4> ridge([](double cx, double* v) {
    for (int i = 0; i < 4; ++i)
      v[i] = 130 + i * 26 + 16 * dm::sin(cx * (0.018 + 0.006 * i) + i * 2.1) + 7 * dm::sin(cx * (0.05 + 0.01 * i) + i);
  });
  for (int i = 0; i < 4; ++i) {
    const double top = ridge.at(x)[i];
    if (y > top) {
      c = hex(kHill[i]);
      c = lerp(c, hex(0x0b3a1c), 0.25 * clamp((y - top) / 60, 0.0, 1.0));
      // Furrows on the nearest hill.
      if (i == 3 && dm::fract((x + (y - top) * 1.5) / 14) < 0.18) c = lerp(c, hex(0x0b3a1c), 0.5);
    }
  }
  Title t{font::centred("HILLTOP", 128, 20, 5.0), hex(0xffffff), hex(0xf6ffe0), hex(0x1c5e2c), 3, 3, 0};
  c = title(c, t, x, y);
  Title a{font::centred("GREEN STATION", 128, 232, 1.8), hex(0xd8ff9a), hex(0xb8f070), hex(0), 0, 0, 0};
  return title(c, a, x, y);
}

// 6: seventies stripes sweeping out of a corner.
Rgba groove(double x, double y) {
  static const uint32_t kStripe[6] = {0xf7c548, 0xf08a24, 0xd9541e, 0xa8321a, 0x5a2412, 0xf3ead2};
  const double r = dist(x, y, 0, 256);
  const int band = (int)floor(r / 30);
  Rgba c = hex(kStripe[((band % 6) + 6) % 6]);
  if (r < 40) c = hex(0x5a2412);
  // A cream panel top-right for the title.
  if (x > 92 && y < 104 && x < 244 && y > 14) {
    c = hex(0xf3ead2);
    if (x < 96 || y > 100 || x > 240 || y < 18) c = hex(0x5a2412);
  }
  Title t{font::Line{"GROOVE", 106, 28, 3.6, 0.18}, hex(0xa8321a), hex(0x5a2412), hex(0), 0, 0, 0};
  c = title(c, t, x, y);
  Title u{font::Line{"LINES", 120, 62, 3.6, 0.18}, hex(0xd9541e), hex(0xa8321a), hex(0), 0, 0, 0};
  c = title(c, u, x, y);
  Title a{font::Line{"FUNK UNIT", 124, 228, 2.2, 0}, hex(0xf3ead2), hex(0xf3ead2), hex(0x5a2412), 0, 0, 1.4};
  return title(c, a, x, y);
}

// 7: a ringed planet in deep space, the album of the demo itself.
Rgba planet(double x, double y) {
  Rgba c = lerp(hex(0x1c0f4e), hex(0x04030f), clamp(dist(x, y, 150, 120) / 200, 0.0, 1.0));
  const double n = fbm(x / 60, y / 60, 21);
  c = lerp(c, hex(0x7a2a9a), 0.55 * smoothstep(0.45, 0.8, n));
  c = lerp(c, hex(0x1aa6b0), 0.35 * smoothstep(0.55, 0.85, fbm(x / 45 + 7, y / 45, 41)));
  c = lerp(c, hex(0xffffff), stars(x, y, 8, 0.45, 3));
  const double px = 146, py = 118, pr = 56;
  // The ring: an ellipse tilted across the planet, drawn behind above its centre line.
  const double ta = -0.38, ct = dm::cos(ta), st = dm::sin(ta);
  const double rx = (x - px) * ct - (y - py) * st, ry = (x - px) * st + (y - py) * ct;
  const double e = sqrt(rx * rx / (100.0 * 100.0) + ry * ry / (24.0 * 24.0));
  const bool ring = (e > 0.74 && e < 0.86) || (e > 0.89 && e < 1.0);
  const Rgba ring_col = lerp(hex(0xffe2a8), hex(0xc07a4a), clamp((e - 0.74) / 0.26, 0.0, 1.0));
  if (ring && ry < 0) c = ring_col;
  if (disc(x, y, px, py, pr)) {
    const double lx = (x - px) / pr, ly = (y - py) / pr;
    const double lz = sqrt(clamp(1 - lx * lx - ly * ly, 0.0, 1.0));
    const double light = clamp(-0.55 * lx - 0.6 * ly + 0.58 * lz, 0.0, 1.0);
    const double stripes = 0.5 + 0.5 * dm::sin(ly * 19 + 2.5 * fbm(lx * 3, ly * 3, 9));
    Rgba surf = lerp(hex(0xff8a3d), hex(0xffc46b), stripes * 0.6);
    surf = lerp(hex(0x2a0626), surf, 0.15 + 0.85 * light);
    c = surf;
  }
  if (ring && ry >= 0) c = ring_col;
  Title t{font::centred("QUORVELT", 128, 204, 4.4), hex(0xffe9a8), hex(0xff9a3d), hex(0x1a0830), 2.5, 2.5, 0};
  c = title(c, t, x, y);
  Title a{font::centred("THE ORBITERS", 128, 14, 1.8), hex(0xd0c8ff), hex(0xa090ff), hex(0), 0, 0, 0};
  return title(c, a, x, y);
}

// 8: a big pixel heart.
Rgba heart(double x, double y) {
  static const char* kHeart[10] = {
      " ##   ## ", "#### ####", "#########", "#########", "#########",
      " ####### ", "  #####  ", "   ###   ", "    #    ", "         "};
  Rgba c = lerp(hex(0xff5aa5), hex(0x9a2af0), clamp((x + y) / 512, 0.0, 1.0));
  // Sparkles: small pixel crosses.
  const int gx = (int)floor(x / 8), gy = (int)floor(y / 8);
  if (hash2(gx / 3, gy / 3, 77) < 0.12) {
    const int lx = gx % 3, ly = gy % 3;
    if ((lx == 1 || ly == 1) && (lx + ly) >= 1 && (lx + ly) <= 3) c = lerp(c, hex(0xffffff), 0.55);
  }
  const double cell = 20, ox = 128 - 4.5 * cell, oy = 42;
  const int hx = (int)floor((x - ox) / cell), hy = (int)floor((y - oy) / cell);
  auto on = [&](int i, int j) { return i >= 0 && i < 9 && j >= 0 && j < 10 && kHeart[j][i] == '#'; };
  if (on(hx, hy)) {
    c = hex(0xe8003d);
    if ((hx == 1 && hy == 1) || (hx == 2 && hy == 1) || (hx == 1 && hy == 2)) c = hex(0xffffff);
    if (hx >= 5 && hy >= 3 && on(hx + 1, hy + 1) == false) c = hex(0xa8002c);
    // Inner pixel grid lines for the 8-bit look.
    const double fx = dm::fract((x - ox) / cell), fy = dm::fract((y - oy) / cell);
    if (fx < 0.06 || fy < 0.06) c = lerp(c, hex(0x000000), 0.18);
  } else if (on(hx - 1, hy) || on(hx + 1, hy) || on(hx, hy - 1) || on(hx, hy + 1)) {
    const double fx = (x - ox) / cell - hx, fy = (y - oy) / cell - hy;
    const bool edge = (on(hx - 1, hy) && fx < 0.3) || (on(hx + 1, hy) && fx > 0.7) ||
                      (on(hx, hy - 1) && fy < 0.3) || (on(hx, hy + 1) && fy > 0.7);
    if (edge) c = hex(0x2a0630);
  }
  Title t{font::centred("8 BIT LOVE", 128, 212, 3.6), hex(0xffffff), hex(0xffe0f0), hex(0x2a0630), 0, 0, 2.2};
  c = title(c, t, x, y);
  Title a{font::centred("PIXEL HEARTS", 128, 14, 1.8), hex(0xffffff), hex(0xffffff), hex(0x2a0630), 0, 0, 1.2};
  return title(c, a, x, y);
}

}  // namespace

Image cover_image(int i) {
  static Rgba (*const kCover[kCoverCount])(double, double) = {sunset, circles, waves, prism, tiles,
                                                              hills,  groove,  planet, heart};
  return render(kCoverSize, kCoverSize, 3, 4, kCover[i]);
}
