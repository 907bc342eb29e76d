// The captions shown at the carousel's four stops, and the contact sheet.
#include <algorithm>

#include "art.h"
#include "dmath.h"
#include "font.h"

namespace {

struct Caption {
  const char* title;
  const char* artist;
};
// Stop j rests on covers 7, 1, 3 and 5: each caption names that sleeve.
const Caption kCaptions[kCaptionCount] = {
    {"QUORVELT", "THE ORBITERS"},
    {"CIRCLES", "DOT AND LINE"},
    {"PRISM", "SPECTRA"},
    {"HILLTOP", "GREEN STATION"},
};

// Separable box blur of radius r, clamped at the edges.
void box_blur(std::vector<double>& v, int w, int h, int r) {
  std::vector<double> t(v.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double s = 0;
      for (int k = -r; k <= r; ++k) s += v[(size_t)y * w + std::clamp(x + k, 0, w - 1)];
      t[(size_t)y * w + x] = s / (2 * r + 1);
    }
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double s = 0;
      for (int k = -r; k <= r; ++k) s += t[(size_t)std::clamp(y + k, 0, h - 1) * w + x];
      v[(size_t)y * w + x] = s / (2 * r + 1);
    }
}

}  // namespace

Image caption_image(int j) {
  const int w = kCaptionWidth, h = kCaptionHeight;
  const font::Line lines[2] = {font::centred(kCaptions[j].title, 128, 9, 4.0),
                               font::centred(kCaptions[j].artist, 128, 46, 2.0)};
  // Coverage and colour of the text, 4x4 samples per pixel.
  std::vector<double> cover((size_t)w * h, 0), r((size_t)w * h, 0), g((size_t)w * h, 0), b((size_t)w * h, 0);
  for (int y = 0; y < kCaptionRows; ++y)
    for (int x = 0; x < w; ++x) {
      double n = 0, sr = 0, sg = 0, sb = 0;
      for (int sj = 0; sj < 4; ++sj)
        for (int si = 0; si < 4; ++si) {
          const double px = x + (si + 0.5) / 4, py = y + (sj + 0.5) / 4;
          if (font::hit(lines[0], px, py)) {
            const double k = (py - lines[0].y) / (font::kH * lines[0].cell);
            const Rgba c = lerp(hex(0xffffff), hex(0xffdc8a), k);
            n += 1, sr += c.r, sg += c.g, sb += c.b;
          } else if (font::hit(lines[1], px, py)) {
            const Rgba c = hex(0xd6e2ff);
            n += 1, sr += c.r, sg += c.g, sb += c.b;
          }
        }
      const size_t i = (size_t)y * w + x;
      cover[i] = n / 16;
      if (n > 0) r[i] = sr / n, g[i] = sg / n, b[i] = sb / n;
    }
  // The soft dark edge: the text grown by a pixel, then blurred twice.
  std::vector<double> edge((size_t)w * h, 0);
  for (int y = 0; y < kCaptionRows; ++y)
    for (int x = 0; x < w; ++x) {
      double m = 0;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          const int xx = x + dx, yy = y + dy;
          if (xx >= 0 && yy >= 0 && xx < w && yy < kCaptionRows) m = std::max(m, cover[(size_t)yy * w + xx]);
        }
      edge[(size_t)y * w + x] = m;
    }
  box_blur(edge, w, h, 2);
  box_blur(edge, w, h, 1);
  Image img;
  img.width = w;
  img.height = h;
  img.channels = 4;
  img.pixels.assign((size_t)w * h * 4, 0);
  for (int y = 0; y < kCaptionRows; ++y)
    for (int x = 0; x < w; ++x) {
      const size_t i = (size_t)y * w + x;
      const double t = cover[i], s = dm::clamp(edge[i] * 1.6, 0.0, 0.9);
      const double a = t + s * (1 - t);
      uint8_t* p = &img.pixels[i * 4];
      const int ab = (int)floor(a * 255 + 0.5);
      if (ab == 0) continue;
      p[0] = (uint8_t)floor(r[i] * t / a * 255 + 0.5);
      p[1] = (uint8_t)floor(g[i] * t / a * 255 + 0.5);
      p[2] = (uint8_t)floor(b[i] * t / a * 255 + 0.5);
      p[3] = (uint8_t)ab;
    }
  return img;
}

Image contact_sheet(const Image* covers, const Image* captions) {
  const int gap = 16, grid = 3 * kCoverSize + 4 * gap;
  Image s;
  s.width = grid + kCaptionWidth + gap;
  s.height = grid;
  s.channels = 3;
  s.pixels.assign((size_t)s.width * s.height * 3, 0x70);
  for (int i = 0; i < kCoverCount; ++i) {
    const int ox = gap + (i % 3) * (kCoverSize + gap), oy = gap + (i / 3) * (kCoverSize + gap);
    for (int y = 0; y < kCoverSize; ++y)
      std::copy_n(&covers[i].pixels[(size_t)y * kCoverSize * 3], kCoverSize * 3,
                  &s.pixels[((size_t)(oy + y) * s.width + ox) * 3]);
  }
  for (int j = 0; j < kCaptionCount; ++j) {
    const int ox = grid, oy = gap + j * (kCaptionHeight + gap);
    for (int y = 0; y < kCaptionHeight; ++y)
      for (int x = 0; x < kCaptionWidth; ++x) {
        const uint8_t* c = &captions[j].pixels[((size_t)y * kCaptionWidth + x) * 4];
        uint8_t* d = &s.pixels[((size_t)(oy + y) * s.width + ox + x) * 3];
        // A slightly lighter panel marks the caption's full 256x128 extent.
        const int ground = y < kCaptionRows ? 0x88 : 0x7c;
        for (int k = 0; k < 3; ++k) d[k] = (uint8_t)((c[k] * c[3] + ground * (255 - c[3]) + 127) / 255);
      }
  }
  return s;
}
