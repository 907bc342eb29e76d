// Scales the 1280x720 offscreen target into the fit rectangle of a larger or smaller
// output, with black bars, for native halves without a hardware scaler. The EGL half
// (system.cpp) drives it; nothing else does.
#pragma once

// The offscreen target (colour texture, depth and stencil) and the scaling program, the
// target bound for drawing. 0, or -1 with `why` naming the step and what GL said.
int _dglPresentInit(int width, int height, char* why, int size);
// Draws the target into the fit rectangle of the default framebuffer (output_width x
// output_height), bars black, the frame's own GL state kept.
void _dglPresentDraw(int output_width, int output_height);
// Binds the target again with its own viewport, for the next frame.
void _dglPresentBindTarget();
