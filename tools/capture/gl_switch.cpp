#include "gl_switch.h"

#include <GLES2/gl2.h>
#include <dlfcn.h>

bool gl_noop = false;

// The executable's definitions win over the library's for everything linked into it;
// the real entry point is the next one in the search order.
#define GL_PASS(name, params, args)                                              \
  void GL_APIENTRY name params {                                                 \
    static void(GL_APIENTRY * real) params = (void(GL_APIENTRY*) params)dlsym(RTLD_NEXT, #name); \
    if (!gl_noop) real args;                                                     \
  }

GL_PASS(glUseProgram, (GLuint program), (program))
GL_PASS(glBindBuffer, (GLenum target, GLuint buffer), (target, buffer))
GL_PASS(glEnableVertexAttribArray, (GLuint index), (index))
GL_PASS(glDisableVertexAttribArray, (GLuint index), (index))
GL_PASS(glVertexAttribPointer,
        (GLuint index, GLint size, GLenum type, GLboolean normalized, GLsizei stride,
         const void* pointer),
        (index, size, type, normalized, stride, pointer))
GL_PASS(glEnable, (GLenum cap), (cap))
GL_PASS(glDisable, (GLenum cap), (cap))
GL_PASS(glActiveTexture, (GLenum texture), (texture))
GL_PASS(glBindTexture, (GLenum target, GLuint texture), (target, texture))
GL_PASS(glBlendFuncSeparate, (GLenum sfactor_rgb, GLenum dfactor_rgb, GLenum sfactor_alpha,
                              GLenum dfactor_alpha),
        (sfactor_rgb, dfactor_rgb, sfactor_alpha, dfactor_alpha))
GL_PASS(glUniform1f, (GLint location, GLfloat v0), (location, v0))
GL_PASS(glUniform1i, (GLint location, GLint v0), (location, v0))
GL_PASS(glUniformMatrix4fv, (GLint location, GLsizei count, GLboolean transpose,
                             const GLfloat* value),
        (location, count, transpose, value))
GL_PASS(glDrawElements, (GLenum mode, GLsizei count, GLenum type, const void* indices),
        (mode, count, type, indices))
GL_PASS(glDrawArrays, (GLenum mode, GLint first, GLsizei count), (mode, first, count))

GLint GL_APIENTRY glGetUniformLocation(GLuint program, const GLchar* name) {
  static GLint(GL_APIENTRY * real)(GLuint, const GLchar*) =
      (GLint(GL_APIENTRY*)(GLuint, const GLchar*))dlsym(RTLD_NEXT, "glGetUniformLocation");
  return gl_noop ? -1 : real(program, name);
}
