// The cover carousel: nine covers with reflections, and the caption overlay.
#pragma once
#include <GLES2/gl2.h>

int coverflow_init();
int coverflow_render(float position);
int coverflow_render_text(int index, float fade);
