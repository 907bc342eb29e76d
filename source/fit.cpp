#include "fit.h"

DGL_RECT _dglFitRectangle(int width, int height, unsigned int disp_width, unsigned int disp_height) {
  DGL_RECT r = {0, 0, (int32_t)disp_width, (int32_t)disp_height};
  float aspect = (float)width / (float)height;
  float disp_aspect = (float)disp_width / (float)disp_height;
  if (aspect < disp_aspect) {
    unsigned int w = (unsigned int)(aspect * (float)disp_height);
    r.width = (int32_t)w;
    r.x = (int32_t)((disp_width - w) >> 1);
  } else if (aspect > disp_aspect) {
    unsigned int h = (unsigned int)((float)disp_width * (1.0f / aspect));
    r.height = (int32_t)h;
    r.y = (int32_t)((disp_height - h) >> 1);
  }
  return r;
}
