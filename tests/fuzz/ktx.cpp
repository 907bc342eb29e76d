// The KTX loader from memory, on a real GL context. The input ends at a guard page, so a
// read of even one byte past the file faults; an accepted texture is deleted again.
#include <stdio.h>

#include "gl_env.h"
#include "guarded.h"
#include "texture.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  open_gl_context();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Guarded file(data, size);
  fflush(stdout);
  GLuint texture = dglLoadKTXTextureFromMemorySized(file.data, size);
  if (texture) glDeleteTextures(1, &texture);
  return 0;
}
