// The environment of every GL and end-to-end test program, set as it starts: Mesa's
// software rasteriser held to ES 2.0 (nothing beyond what the Pi offers slips in), the
// headless backend, SDL's silent audio driver. A test that needs another sets it per child.
#pragma once
#include <stdlib.h>

static const bool dgl_test_environment_set_ = [] {
  const char* const env[][2] = {{"DGL_PLATFORM", "headless"},       {"EGL_PLATFORM", "surfaceless"},
                                {"LIBGL_ALWAYS_SOFTWARE", "1"},     {"MESA_GLES_VERSION_OVERRIDE", "2.0"},
                                {"LP_NUM_THREADS", "2"},            {"SDL_AUDIODRIVER", "dummy"}};
  for (const auto& e : env) setenv(e[0], e[1], 1);
  return true;
}();
