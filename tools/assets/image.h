// Pictures in memory, their supersampled rendering, and the KTX 1.1 container.
#pragma once
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

struct Rgba {
  double r = 0, g = 0, b = 0, a = 1;
};
Rgba rgb(double r, double g, double b, double a = 1);
Rgba hex(uint32_t rrggbb, double a = 1);
Rgba lerp(const Rgba& x, const Rgba& y, double t);
// Straight-alpha "over": top composited onto bottom.
Rgba over(const Rgba& bottom, const Rgba& top);

struct Image {
  int width = 0, height = 0, channels = 3;  // 3 = RGB, 4 = RGBA
  std::vector<uint8_t> pixels;              // rows top first, tightly packed
};

// Evaluates `shade` at n x n points inside every pixel of a width x height picture
// (canvas coordinates: pixel (x, y) spans [x, x+1) x [y, y+1), y down) and averages them.
// RGBA results are averaged premultiplied and stored straight.
using Shader = std::function<Rgba(double x, double y)>;
Image render(int width, int height, int channels, int n, const Shader& shade);

// The level chain down to 1x1, each level the 2x2 box average of the one above.
std::vector<Image> mip_chain(const Image& level0);

// A KTX 1.1 file image (little-endian, uncompressed, GL_UNSIGNED_BYTE) holding `levels`,
// rows padded to 4 bytes, with a KTXorientation entry saying row 0 is the top.
std::vector<uint8_t> ktx_encode(const std::vector<Image>& levels);

// Writes bytes under a temporary name and renames it into place. False with `error` set.
bool write_file(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);
