#include "image.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "dmath.h"

Rgba rgb(double r, double g, double b, double a) { return Rgba{r, g, b, a}; }
Rgba hex(uint32_t v, double a) {
  return Rgba{((v >> 16) & 255) / 255.0, ((v >> 8) & 255) / 255.0, (v & 255) / 255.0, a};
}
Rgba lerp(const Rgba& x, const Rgba& y, double t) {
  return Rgba{dm::mix(x.r, y.r, t), dm::mix(x.g, y.g, t), dm::mix(x.b, y.b, t), dm::mix(x.a, y.a, t)};
}
Rgba over(const Rgba& b, const Rgba& t) {
  const double a = t.a + b.a * (1 - t.a);
  if (a <= 0) return Rgba{0, 0, 0, 0};
  const double k = b.a * (1 - t.a);
  return Rgba{(t.r * t.a + b.r * k) / a, (t.g * t.a + b.g * k) / a, (t.b * t.a + b.b * k) / a, a};
}

static uint8_t to_byte(double v) {
  v = dm::clamp(v, 0.0, 1.0);
  return (uint8_t)floor(v * 255.0 + 0.5);
}

Image render(int width, int height, int channels, int n, const Shader& shade) {
  Image img;
  img.width = width;
  img.height = height;
  img.channels = channels;
  img.pixels.assign((size_t)width * height * channels, 0);
  const double inv = 1.0 / (n * n);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      double r = 0, g = 0, b = 0, a = 0;
      for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
          const Rgba c = shade(x + (i + 0.5) / n, y + (j + 0.5) / n);
          const double ca = channels == 4 ? dm::clamp(c.a, 0.0, 1.0) : 1.0;
          r += c.r * ca;
          g += c.g * ca;
          b += c.b * ca;
          a += ca;
        }
      uint8_t* p = &img.pixels[((size_t)y * width + x) * channels];
      if (channels == 4) {
        const double al = a * inv;
        p[3] = to_byte(al);
        // Fully transparent texels keep black, so filtering never bleeds a stray colour.
        if (p[3] == 0) continue;
        p[0] = to_byte(r / a);
        p[1] = to_byte(g / a);
        p[2] = to_byte(b / a);
      } else {
        p[0] = to_byte(r * inv);
        p[1] = to_byte(g * inv);
        p[2] = to_byte(b * inv);
      }
    }
  return img;
}

std::vector<Image> mip_chain(const Image& level0) {
  std::vector<Image> chain{level0};
  while (chain.back().width > 1 || chain.back().height > 1) {
    const Image& s = chain.back();
    Image d;
    d.width = s.width > 1 ? s.width / 2 : 1;
    d.height = s.height > 1 ? s.height / 2 : 1;
    d.channels = s.channels;
    d.pixels.resize((size_t)d.width * d.height * d.channels);
    for (int y = 0; y < d.height; ++y)
      for (int x = 0; x < d.width; ++x)
        for (int c = 0; c < d.channels; ++c) {
          const int x0 = x * s.width / d.width, y0 = y * s.height / d.height;
          const int x1 = s.width > 1 ? x0 + 1 : x0, y1 = s.height > 1 ? y0 + 1 : y0;
          auto at = [&](int xx, int yy) { return (int)s.pixels[((size_t)yy * s.width + xx) * s.channels + c]; };
          d.pixels[((size_t)y * d.width + x) * d.channels + c] =
              (uint8_t)((at(x0, y0) + at(x1, y0) + at(x0, y1) + at(x1, y1) + 2) >> 2);
        }
    chain.push_back(std::move(d));
  }
  return chain;
}

static void put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back((uint8_t)(v >> (8 * i)));
}

std::vector<uint8_t> ktx_encode(const std::vector<Image>& levels) {
  static const uint8_t kId[12] = {0xAB, 'K', 'T', 'X', ' ', '1', '1', 0xBB, '\r', '\n', 0x1A, '\n'};
  const Image& base = levels.front();
  const bool rgba = base.channels == 4;
  std::vector<uint8_t> out(kId, kId + 12);
  put32(out, 0x04030201);                  // endianness
  put32(out, 0x1401);                      // glType: GL_UNSIGNED_BYTE
  put32(out, 1);                           // glTypeSize
  put32(out, rgba ? 0x1908 : 0x1907);      // glFormat: GL_RGBA / GL_RGB
  put32(out, rgba ? 0x8058 : 0x8051);      // glInternalFormat: GL_RGBA8 / GL_RGB8
  put32(out, rgba ? 0x1908 : 0x1907);      // glBaseInternalFormat
  put32(out, (uint32_t)base.width);
  put32(out, (uint32_t)base.height);
  put32(out, 0);                           // pixelDepth
  put32(out, 0);                           // numberOfArrayElements
  put32(out, 1);                           // numberOfFaces
  put32(out, (uint32_t)levels.size());     // numberOfMipmapLevels
  static const char kKv[] = "KTXorientation\0S=r,T=d";  // both NULs count
  const uint32_t kv_len = sizeof(kKv);
  const uint32_t kv_padded = (kv_len + 3) & ~3u;
  put32(out, 4 + kv_padded);               // bytesOfKeyValueData
  put32(out, kv_len);
  out.insert(out.end(), kKv, kKv + kv_len);
  out.resize(out.size() + (kv_padded - kv_len), 0);
  for (const Image& l : levels) {
    const size_t row = (size_t)l.width * l.channels, padded = (row + 3) & ~(size_t)3;
    put32(out, (uint32_t)(padded * l.height));
    for (int y = 0; y < l.height; ++y) {
      out.insert(out.end(), l.pixels.begin() + y * row, l.pixels.begin() + (y + 1) * row);
      out.resize(out.size() + (padded - row), 0);
    }
  }
  return out;
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
  const std::string tmp = path + ".tmp";
  FILE* f = fopen(tmp.c_str(), "wb");
  if (!f) {
    *error = "cannot create '" + tmp + "': " + strerror(errno);
    return false;
  }
  const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const int err = errno;
  if (fclose(f) != 0 || !ok) {
    *error = "cannot write '" + tmp + "': " + strerror(ok ? errno : err);
    remove(tmp.c_str());
    return false;
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    *error = "cannot rename '" + tmp + "' to '" + path + "': " + strerror(errno);
    remove(tmp.c_str());
    return false;
  }
  return true;
}
