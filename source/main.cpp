// The demo driver: start-up, the two frame loops, every exit.
#include <GLES2/gl2.h>

#include "music.h"
#include "system.h"
#include "timeline.h"

static void clear_frame() {
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
}

int main(int argc, char** argv) {
  (void)argv;
  if (timeline_start_up(nullptr) != 0) return -1;

  if (!timeline_skips_carousel(argc)) {
    timeline_start_carousel();
    for (;;) {
      // A pending key leaves the carousel; it stays pending and ends the scroller too.
      if (dglProcessMessages()) break;
      double time = timeline_clock();
      clear_frame();
      if (timeline_carousel_frame(time) != 0) return -1;
      dglSwapBuffers();
      if (timeline_carousel_over(time)) break;
    }
  }

  timeline_start_scroller();
  for (;;) {
    if (!dglIsMusicPlaying()) break;
    if (dglProcessMessages()) break;
    double time = timeline_clock();
    clear_frame();
    if (timeline_scroller_frame(time) != 0) return -1;
    dglSwapBuffers();
  }
  // The music plays on until the process ends.
  dglShutDown();
  return 0;
}
