// The headless display: the context the demo asks for, failure undo, and a second start.
#include <gtest/gtest.h>
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES2/gl2.h>
#include <stdlib.h>
#include <string.h>

#include "system.h"

class Display : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("DGL_PLATFORM", "headless", 1);
    setenv("MESA_GLES_VERSION_OVERRIDE", "2.0", 0);
  }
};

TEST_F(Display, OpensACurrentES2ContextOfTheRequestedSize) {
  ASSERT_EQ(dglInit(1280, 720, 32, 16, 8), 0);
  EXPECT_NE(eglGetCurrentContext(), EGL_NO_CONTEXT);
  const char* version = (const char*)glGetString(GL_VERSION);
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(strncmp(version, "OpenGL ES 2.0", 13), 0) << version;
  GLint viewport[4];
  glGetIntegerv(GL_VIEWPORT, viewport);
  EXPECT_EQ(viewport[2], 1280);
  EXPECT_EQ(viewport[3], 720);
  GLint depth = 0, stencil = 0;
  glGetIntegerv(GL_DEPTH_BITS, &depth);
  glGetIntegerv(GL_STENCIL_BITS, &stencil);
  EXPECT_GE(depth, 16);
  EXPECT_GE(stencil, 8);
  // Eight bits a channel, like the Pi's surface, not a 10-bit configuration.
  GLint red = 0, alpha = 0;
  glGetIntegerv(GL_RED_BITS, &red);
  glGetIntegerv(GL_ALPHA_BITS, &alpha);
  EXPECT_EQ(red, 8);
  EXPECT_EQ(alpha, 8);
  // The surface holds what was drawn.
  glClearColor(1, 0, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT);
  unsigned char px[4] = {};
  glReadPixels(640, 360, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, px);
  EXPECT_EQ(px[0], 255);
  EXPECT_EQ(px[1], 0);
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
  dglShutDown();
  EXPECT_EQ(eglGetCurrentContext(), EGL_NO_CONTEXT);
}

TEST_F(Display, AnImpossibleConfigurationFailsAndLeavesEGLTerminated) {
  EXPECT_EQ(dglInit(1280, 720, 32, 16, 255), -1);
  EXPECT_EQ(eglGetCurrentContext(), EGL_NO_CONTEXT);
  EGLDisplay d = eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, NULL);
  ASSERT_NE(d, EGL_NO_DISPLAY);
  EXPECT_EQ(eglQueryString(d, EGL_VENDOR), nullptr);
  EXPECT_EQ(eglGetError(), EGL_NOT_INITIALIZED);
}

TEST_F(Display, StartsAgainAfterAShutDown) {
  ASSERT_EQ(dglInit(1280, 720, 32, 16, 8), 0);
  dglShutDown();
  ASSERT_EQ(dglInit(1280, 720, 32, 16, 8), 0);
  EXPECT_NE(eglGetCurrentContext(), EGL_NO_CONTEXT);
  dglSwapBuffers();
  dglShutDown();
}

TEST_F(Display, AnUnknownBackendFails) {
  setenv("DGL_PLATFORM", "nonesuch", 1);
  EXPECT_EQ(dglInit(1280, 720, 32, 16, 8), -1);
}
