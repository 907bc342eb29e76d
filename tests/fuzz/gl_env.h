// The headless GL ES 2.0 context the GL targets draw with: Mesa's software rasteriser,
// held to ES 2.0 like the GL tests.
#pragma once
#include <stdlib.h>

#include "system.h"

static void open_gl_context() {
  setenv("DGL_PLATFORM", "headless", 1);
  setenv("EGL_PLATFORM", "surfaceless", 1);
  setenv("LIBGL_ALWAYS_SOFTWARE", "1", 1);
  setenv("MESA_GLES_VERSION_OVERRIDE", "2.0", 1);
  setenv("LP_NUM_THREADS", "2", 1);
  if (dglInit(1280, 720, 32, 16, 8) != 0) abort();
}
