// The embedded pixel font: a 512x7 RGB strip of 8x7 glyph cells, black ink on white.
#pragma once

extern const unsigned char* font;
