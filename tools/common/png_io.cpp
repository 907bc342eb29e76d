#include "png_io.h"

#include <png.h>
#include <stdio.h>

bool png_write(const std::string& path, const uint8_t* pixels, int width, int height,
               int channels, bool bottom_up) {
  if (width <= 0 || height <= 0 || (channels != 3 && channels != 4)) return false;
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, info ? &info : nullptr);
    fclose(f);
    remove(path.c_str());
    return false;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, width, height, 8, channels == 4 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const size_t stride = (size_t)width * channels;
  for (int y = 0; y < height; y++) {
    int row = bottom_up ? height - 1 - y : y;
    png_write_row(png, (png_const_bytep)(pixels + (size_t)row * stride));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return fclose(f) == 0;
}

bool png_read_rgba(const std::string& path, std::vector<uint8_t>& rgba, int& width, int& height,
                   std::string* error) {
  png_image image = {};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) {
    if (error) *error = image.message;
    return false;
  }
  image.format = PNG_FORMAT_RGBA;
  rgba.assign(PNG_IMAGE_SIZE(image), 0);
  if (!png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr)) {
    if (error) *error = image.message;
    png_image_free(&image);
    return false;
  }
  width = (int)image.width;
  height = (int)image.height;
  return true;
}
