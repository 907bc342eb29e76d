#include "present.h"

#include <GLES2/gl2.h>
#include <GLES2/gl2ext.h>
#include <stdio.h>
#include <string.h>

#include "fit.h"
#include "glsl.h"

static GLuint target_fbo, target_texture, target_depth, target_stencil;
static GLuint present_program, present_vbo;
static int target_width, target_height;

static const char* const present_vsh =
    "#version 100\n"
    "attribute vec2 a_position;\n"
    "varying vec2 v_uv;\n"
    "void main() { v_uv = a_position * 0.5 + 0.5; gl_Position = vec4(a_position, 0.0, 1.0); }\n";
static const char* const present_fsh =
    "#version 100\n"
    "precision mediump float;\n"
    "uniform sampler2D u_tex;\n"
    "varying vec2 v_uv;\n"
    "void main() { gl_FragColor = vec4(texture2D(u_tex, v_uv).rgb, 1.0); }\n";

static int has_extension(const char* name) {
  const char* all = (const char*)glGetString(GL_EXTENSIONS);
  return all && strstr(all, name) != NULL;
}

int _dglPresentInit(int width, int height, char* why, int size) {
  target_width = width;
  target_height = height;
  glGenTextures(1, &target_texture);
  glBindTexture(GL_TEXTURE_2D, target_texture);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, NULL);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  glBindTexture(GL_TEXTURE_2D, 0);

  glGenFramebuffers(1, &target_fbo);
  glBindFramebuffer(GL_FRAMEBUFFER, target_fbo);
  glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target_texture, 0);
  glGenRenderbuffers(1, &target_depth);
  glBindRenderbuffer(GL_RENDERBUFFER, target_depth);
  if (has_extension("GL_OES_packed_depth_stencil")) {
    glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH24_STENCIL8_OES, width, height);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, target_depth);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_STENCIL_ATTACHMENT, GL_RENDERBUFFER, target_depth);
  } else {
    glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT16, width, height);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, target_depth);
    glGenRenderbuffers(1, &target_stencil);
    glBindRenderbuffer(GL_RENDERBUFFER, target_stencil);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_STENCIL_INDEX8, width, height);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_STENCIL_ATTACHMENT, GL_RENDERBUFFER, target_stencil);
  }
  glBindRenderbuffer(GL_RENDERBUFFER, 0);
  GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
  if (status != GL_FRAMEBUFFER_COMPLETE) {
    snprintf(why, (size_t)size, "the %dx%d target framebuffer is incomplete (status 0x%04x, GL error 0x%04x)",
             width, height, status, glGetError());
    return -1;
  }

  static DGL_GLSL_LOG log;
  const char* step = NULL;
  const char* const attributes[] = {"a_position"};
  present_program = _dglBuildProgram(present_vsh, present_fsh, attributes, 1, &log, &step);
  if (!present_program) {
    if (log.no_object) snprintf(why, (size_t)size, "the scaling program: %s (no object: GL error 0x%04x)", step, log.gl_error);
    else snprintf(why, (size_t)size, "the scaling program: %s: %s", step, log.text);
    // The driver's log ends in a line break; one line is what gets printed.
    for (char* c = why; *c; c++)
      if (*c == '\n') *c = c[1] ? ' ' : 0;
    return -1;
  }

  static const GLfloat quad[] = {-1, -1, 1, -1, -1, 1, 1, 1};
  glGenBuffers(1, &present_vbo);
  glBindBuffer(GL_ARRAY_BUFFER, present_vbo);
  glBufferData(GL_ARRAY_BUFFER, sizeof(quad), quad, GL_STATIC_DRAW);
  glBindBuffer(GL_ARRAY_BUFFER, 0);

  _dglPresentBindTarget();
  GLenum error = glGetError();
  if (error == GL_NO_ERROR) return 0;
  snprintf(why, (size_t)size, "setting up the %dx%d target left GL error 0x%04x", width, height, error);
  return -1;
}

void _dglPresentBindTarget() {
  glBindFramebuffer(GL_FRAMEBUFFER, target_fbo);
  glViewport(0, 0, target_width, target_height);
}

// The frame's own GL state is saved around the scaling draw, so the scenes never see it.
void _dglPresentDraw(int output_width, int output_height) {
  GLint program, array_buffer, texture, active_texture, enabled0;
  glGetIntegerv(GL_CURRENT_PROGRAM, &program);
  glGetIntegerv(GL_ARRAY_BUFFER_BINDING, &array_buffer);
  glGetIntegerv(GL_ACTIVE_TEXTURE, &active_texture);
  glActiveTexture(GL_TEXTURE0);
  glGetIntegerv(GL_TEXTURE_BINDING_2D, &texture);
  glGetVertexAttribiv(0, GL_VERTEX_ATTRIB_ARRAY_ENABLED, &enabled0);
  GLboolean depth = glIsEnabled(GL_DEPTH_TEST), cull = glIsEnabled(GL_CULL_FACE);
  GLboolean blend = glIsEnabled(GL_BLEND), scissor = glIsEnabled(GL_SCISSOR_TEST);
  GLfloat clear[4];
  glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
  GLboolean mask[4];
  glGetBooleanv(GL_COLOR_WRITEMASK, mask);

  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  glDisable(GL_DEPTH_TEST);
  glDisable(GL_CULL_FACE);
  glDisable(GL_BLEND);
  glDisable(GL_SCISSOR_TEST);
  glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  glViewport(0, 0, output_width, output_height);
  glClearColor(0, 0, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT);
  DGL_RECT r = _dglFitRectangle(target_width, target_height, (unsigned)output_width,
                                (unsigned)output_height);
  // GL counts rows from the bottom; the fit rectangle from the top.
  glViewport(r.x, output_height - r.y - r.height, r.width, r.height);
  glUseProgram(present_program);
  glBindTexture(GL_TEXTURE_2D, target_texture);
  glUniform1i(glGetUniformLocation(present_program, "u_tex"), 0);
  glBindBuffer(GL_ARRAY_BUFFER, present_vbo);
  glEnableVertexAttribArray(0);
  glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 0, 0);
  glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);

  if (!enabled0) glDisableVertexAttribArray(0);
  glBindBuffer(GL_ARRAY_BUFFER, (GLuint)array_buffer);
  glBindTexture(GL_TEXTURE_2D, (GLuint)texture);
  glActiveTexture((GLenum)active_texture);
  glUseProgram((GLuint)program);
  if (depth) glEnable(GL_DEPTH_TEST);
  if (cull) glEnable(GL_CULL_FACE);
  if (blend) glEnable(GL_BLEND);
  if (scissor) glEnable(GL_SCISSOR_TEST);
  glColorMask(mask[0], mask[1], mask[2], mask[3]);
  glClearColor(clear[0], clear[1], clear[2], clear[3]);
}
