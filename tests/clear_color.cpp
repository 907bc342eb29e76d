// Test helper: clears every frame to one colour until input arrives on standard input,
// printing "ready" once a few frames are on screen. Usage: clear_color R G B (0-255).
#include <GLES2/gl2.h>
#include <stdio.h>
#include <stdlib.h>

#include "system.h"

int main(int argc, char** argv) {
  if (argc != 4) return fprintf(stderr, "usage: clear_color R G B\n"), 2;
  if (dglInit(1280, 720, 32, 16, 8) != 0) return 1;
  for (int frame = 0; !dglProcessMessages(); frame++) {
    glClearColor(atoi(argv[1]) / 255.0f, atoi(argv[2]) / 255.0f, atoi(argv[3]) / 255.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
    dglSwapBuffers();
    if (frame == 5) printf("ready\n"), fflush(stdout);
  }
  dglShutDown();
  return 0;
}
