// Scales the 1280x720 offscreen target into the fit rectangle of a larger or smaller
// surface, with black bars, for backends without a hardware scaler.
#pragma once

// The offscreen target (colour texture, depth and stencil), bound for drawing. 0 or -1.
int dglPresentInit(int width, int height);
// Draws the target into the fit rectangle of the default framebuffer (window_width x
// window_height), bars black; afterwards the target is bound again for the next frame.
void dglPresentDraw(int window_width, int window_height);
// Binds the target again with its own viewport.
void dglPresentBindTarget();
