// KTX 1.1 files to GL ES 2.0 textures, every mipmap level the file holds.
#pragma once
#include <GLES2/gl2.h>
#include <stddef.h>

// The texture, left bound to GL_TEXTURE_2D, or 0.  The image is trusted to be whole.
GLuint dglLoadKTXTextureFromMemory(const void* data);
// As above, every read checked against the image's length.
GLuint dglLoadKTXTextureFromMemorySized(const void* data, size_t size);
GLuint dglLoadKTXTextureFromFile(const char* name);
