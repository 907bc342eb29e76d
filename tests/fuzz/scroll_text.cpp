// The scroll text: any bytes as the text, drawn by the scroller at times taken from the
// input's first bytes. The text ends at its zero byte, right before a guard page.
#include <string.h>

#include "file_io.h"
#include "gl_env.h"
#include "guarded.h"
#include "scroller.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  open_gl_context();
  _dglSetExecutableDirectory(DGL_DATA_PARENT);  // data/ holds the shaders and a scroll text
  if (scroller_init() != 0) abort();
  static char* shipped = scroll_text;  // kept reachable: not a leak
  (void)shipped;
  glViewport(0, 0, 64, 36);  // the same draws on fewer pixels: more inputs a second
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint16_t times[2] = {};
  size_t skip = size < sizeof(times) ? size : sizeof(times);
  memcpy(times, data, skip);
  std::vector<uint8_t> text(data + skip, data + size);
  text.push_back(0);
  Guarded copy(text.data(), text.size());
  scroll_text = (char*)copy.data;
  // Seconds into the scroller, 7 s on (when it starts drawing), up to about 18 minutes.
  for (uint16_t t : times)
    if (scroller_render(7.0 + t / 60.0) != 0) abort();
  scroll_text = NULL;
  return 0;
}
