// The display and the GL ES 2.0 rendering context; the terminal poll.
#pragma once
#include <stdint.h>

int dglInit(int width, int height, int color_bits, int depth_bits, int stencil_bits);
void dglSwapBuffers();
void dglShutDown();
// 1 when input is waiting on the terminal (or the window asked to close), 0 if not, -1 on failure.
int dglProcessMessages();
