// The generator's own 5x7 pixel font: capitals, digits and a little punctuation.
#pragma once
#include <string>

namespace font {

constexpr int kW = 5, kH = 7, kAdvance = 6;  // glyph cell and advance, in font pixels

// True when font pixel (x, y) of character c is set; characters without a glyph are blank.
bool pixel(char c, int x, int y);
// Width of a line of text in font pixels (no trailing gap).
int width(const std::string& s);

// A line of text placed on a canvas: top-left corner and size of one font pixel.
struct Line {
  std::string text;
  double x = 0, y = 0, cell = 1;
  double italic = 0;  // horizontal shear per unit of height (0 = upright)
};
// A line centred horizontally on cx.
Line centred(const std::string& text, double cx, double y, double cell, double italic = 0);
// Whether canvas point (px, py) lies inside a set font pixel of the line.
bool hit(const Line& l, double px, double py);
// Whether the point lies within `r` canvas units of a set pixel (a square outline).
bool near(const Line& l, double px, double py, double r);

}  // namespace font
