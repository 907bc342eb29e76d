#include "glsl.h"

#include <stddef.h>

// A fresh log for a step whose object is `object`: 0 means GL made none at all.
static GLuint begin(DGL_GLSL_LOG* log, GLuint object) {
  log->no_object = object == 0;
  log->gl_error = object == 0 ? glGetError() : GL_NO_ERROR;
  log->text[0] = 0;
  return object;
}

GLuint _dglCompileShader(GLenum type, const char* source, DGL_GLSL_LOG* log) {
  // No context or a bad type makes no object: there is no log to ask for then.
  GLuint shader = begin(log, glCreateShader(type));
  if (!shader) return 0;
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
  GLuint program = begin(log, glCreateProgram());
  if (!program) return 0;
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

GLuint _dglBuildProgram(const char* vertex_source, const char* fragment_source, const char* const* attribute_names,
                        unsigned int count, DGL_GLSL_LOG* log, const char** failed_step) {
  GLuint program = 0, fragment = 0, vertex = _dglCompileShader(GL_VERTEX_SHADER, vertex_source, log);
  *failed_step = "the vertex shader did not compile";
  if (vertex) {
    *failed_step = "the fragment shader did not compile";
    fragment = _dglCompileShader(GL_FRAGMENT_SHADER, fragment_source, log);
  }
  if (fragment) {
    *failed_step = "the program did not link";
    program = _dglLinkProgram(vertex, fragment, attribute_names, count, log);
  }
  if (vertex) glDeleteShader(vertex);
  if (fragment) glDeleteShader(fragment);
  if (program) *failed_step = NULL;
  return program;
}
