#include "shader.h"

#include <stdlib.h>

#include "file_io.h"
#include "log.h"

GLuint dglCreateShaderFromMemory(unsigned int type, const char* source) {
  // Only the call that fails reads it, so one buffer serves every compile.
  static char log[4096];
  GLuint handle = glCreateShader(type);
  if (handle == 0) {
    // No context or a bad type: there is no object to ask for a log.
    dglLogError("glCreateShader(0x%04x) failed: GL error 0x%04x.", type, glGetError());
    return 0;
  }
  glShaderSource(handle, 1, &source, NULL);
  glCompileShader(handle);
  GLint status = GL_FALSE;
  glGetShaderiv(handle, GL_COMPILE_STATUS, &status);
  if (status == GL_TRUE) return handle;
  log[0] = 0;
  glGetShaderInfoLog(handle, sizeof(log), NULL, log);
  dglLogError("%s", "Shader failed to compile:");
  dglLogError("%s", log);
  glDeleteShader(handle);
  return 0;
}

GLuint dglCreateShaderFromFile(unsigned int type, const char* name) {
  // The lookup has already reported a missing file.
  char* source = dglLoadFileToMemory(name, "ra");
  if (!source) return 0;
  GLuint handle = dglCreateShaderFromMemory(type, source);
  free(source);
  return handle;
}

GLuint dglCreateProgram(unsigned int vertex_shader, unsigned int fragment_shader,
                        const char** attribute_names, unsigned int count) {
  static char log[4096];
  GLuint program = glCreateProgram();
  if (program == 0) {
    dglLogError("glCreateProgram failed: GL error 0x%04x.", glGetError());
    return 0;
  }
  glAttachShader(program, vertex_shader);
  glAttachShader(program, fragment_shader);
  // The draw code enables attribute arrays by these same indices.
  for (unsigned int i = 0; i < count; i++) glBindAttribLocation(program, i, attribute_names[i]);
  glLinkProgram(program);
  GLint status = GL_FALSE;
  glGetProgramiv(program, GL_LINK_STATUS, &status);
  if (status == GL_TRUE) return program;
  log[0] = 0;
  glGetProgramInfoLog(program, sizeof(log), NULL, log);
  dglLogError("%s", "Shader program failed to link:");
  dglLogError("%s", log);
  // The shaders stay alive: the caller may still own them elsewhere.
  glDeleteProgram(program);
  return 0;
}
