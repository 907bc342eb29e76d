// PNG files through libpng, for the tools and the tests.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>

// Writes 8-bit RGB (channels 3) or RGBA (channels 4) pixels, rows top first.
// When bottom_up is set the rows are taken last first (GL's glReadPixels order).
bool png_write(const std::string& path, const uint8_t* pixels, int width, int height,
               int channels, bool bottom_up = false);

// Reads any PNG as 8-bit RGBA, rows top first. False with `error` set on failure.
bool png_read_rgba(const std::string& path, std::vector<uint8_t>& rgba, int& width, int& height,
                   std::string* error = nullptr);
