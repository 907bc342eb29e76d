// The demo driver: start-up, the two frame loops, every exit.
#include <GLES2/gl2.h>

#include "system.h"
#include "util.h"

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  if (dglInit(1280, 720, 32, 16, 8) != 0) return -1;
  glEnable(GL_CULL_FACE);
  glEnable(GL_DEPTH_TEST);
  dglResetTime();
  for (;;) {
    if (dglProcessMessages()) break;
    double time = dglGetTime();
    (void)time;
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
    dglSwapBuffers();
  }
  dglShutDown();
  return 0;
}
