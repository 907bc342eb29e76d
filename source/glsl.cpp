#include "glsl.h"

#include <stddef.h>

static void start_log(DGL_GLSL_LOG* log) {
  log->no_object = 0;
  log->gl_error = GL_NO_ERROR;
  log->text[0] = 0;
}

GLuint _dglCompileShader(GLenum type, const char* source, DGL_GLSL_LOG* log) {
  start_log(log);
  GLuint shader = glCreateShader(type);
  if (shader == 0) {
    // No context or a bad type: there is no object to ask for a log.
    log->no_object = 1;
    log->gl_error = glGetError();
    return 0;
  }
  glShaderSource(shader, 1, &source, NULL);
  glCompileShader(shader);
  GLint status = GL_FALSE;
  glGetShaderiv(shader, GL_COMPILE_STATUS, &status);
  if (status == GL_TRUE) return shader;
  glGetShaderInfoLog(shader, sizeof(log->text), NULL, log->text);
  glDeleteShader(shader);
  return 0;
}

GLuint _dglLinkProgram(GLuint vertex_shader, GLuint fragment_shader, const char* const* attribute_names,
                       unsigned int count, DGL_GLSL_LOG* log) {
  start_log(log);
  GLuint program = glCreateProgram();
  if (program == 0) {
    log->no_object = 1;
    log->gl_error = glGetError();
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
  glGetProgramInfoLog(program, sizeof(log->text), NULL, log->text);
  glDeleteProgram(program);
  return 0;
}
