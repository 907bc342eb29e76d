// Compiling and linking GLSL ES, for the shader loader, the present target and the tools:
// one place that asks the driver and keeps what it said.
#pragma once
#include <GLES2/gl2.h>

// What the driver said about a failed step.
struct DGL_GLSL_LOG {
  int no_object;    // GL made no object at all: gl_error says why, text is empty
  GLenum gl_error;  // glGetError right after the failed create
  char text[4096];  // the driver's compile or link log
};

// A compiled shader of `type`, or 0 with `log` filled (the shader object deleted).
GLuint _dglCompileShader(GLenum type, const char* source, DGL_GLSL_LOG* log);
// A linked program of the two shaders, attribute i bound to location i; or 0 with `log`
// filled (the program deleted, the shaders kept: the caller owns them).
GLuint _dglLinkProgram(GLuint vertex_shader, GLuint fragment_shader, const char* const* attribute_names,
                       unsigned int count, DGL_GLSL_LOG* log);
// Both stages from source and the linked program (the shaders then deleted), or 0 with
// `log` filled and `failed_step` naming the step that failed ("the vertex shader did not
// compile", ...).
GLuint _dglBuildProgram(const char* vertex_source, const char* fragment_source, const char* const* attribute_names,
                        unsigned int count, DGL_GLSL_LOG* log, const char** failed_step);
