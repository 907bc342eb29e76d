// The largest centred rectangle of the surface's aspect ratio on a display.
#pragma once
#include <stdint.h>

struct DGL_RECT {
  int32_t x, y, width, height;
};

// The destination of a width x height surface on a disp_width x disp_height display.
DGL_RECT _dglFitRectangle(int width, int height, unsigned int disp_width, unsigned int disp_height);
