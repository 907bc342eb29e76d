// The headless display: the context the demo asks for, undoing a failed start, a second start.
#include <gtest/gtest.h>
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES2/gl2.h>
#include <signal.h>
#include <string.h>

#include "present.h"
#include "system.h"
#include "test_env.h"

TEST(Display, OpensACurrentES2ContextOfTheRequestedSizeTwice) {
  setenv("DGL_PLATFORM", "headless", 1);
  setenv("MESA_GLES_VERSION_OVERRIDE", "2.0", 0);
  for (int start = 0; start < 2; start++) {
    ASSERT_EQ(dglInit(1280, 720, 32, 16, 8), 0);
    EXPECT_EQ(strncmp((const char*)glGetString(GL_VERSION), "OpenGL ES 2.0", 13), 0) << glGetString(GL_VERSION);
    GLint v[4], red, alpha, depth, stencil;
    for (auto [name, value] : {std::pair{GL_VIEWPORT, v}, {GL_RED_BITS, &red}, {GL_ALPHA_BITS, &alpha}, {GL_DEPTH_BITS, &depth}, {GL_STENCIL_BITS, &stencil}})
      glGetIntegerv(name, value);
    // Eight bits a channel, like the Pi's surface, not a 10-bit configuration.
    EXPECT_EQ(std::make_tuple(v[2], v[3], red, alpha), std::make_tuple(1280, 720, 8, 8));
    EXPECT_TRUE(depth >= 16 && stencil >= 8) << depth << " " << stencil;
    glClearColor(1, 0, 0, 1), glClear(GL_COLOR_BUFFER_BIT);  // the surface holds what was drawn
    unsigned char px[4] = {};
    glReadPixels(1279, 719, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, px);
    EXPECT_EQ(px[0] + px[1] * 256, 255);
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
    dglSwapBuffers(), dglShutDown();
    EXPECT_EQ(eglGetCurrentContext(), EGL_NO_CONTEXT);
  }
}

TEST(Display, AFailedStartLeavesEGLTerminated) {
  setenv("DGL_PLATFORM", "headless", 1);
  EXPECT_EQ(dglInit(1280, 720, 32, 16, 255), -1);
  EGLDisplay d = eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, NULL);
  EXPECT_TRUE(eglGetCurrentContext() == EGL_NO_CONTEXT && d != EGL_NO_DISPLAY && !eglQueryString(d, EGL_VENDOR));
  EXPECT_EQ(eglGetError(), EGL_NOT_INITIALIZED);
  setenv("DGL_PLATFORM", "nonesuch", 1);
  EXPECT_EQ(dglInit(1280, 720, 32, 16, 8), -1);
}

// A present target that cannot be made says which step failed and what GL said.
TEST(Display, APresentTargetThatCannotBeMadeNamesItsStep) {
  setenv("DGL_PLATFORM", "headless", 1);
  ASSERT_EQ(dglInit(1280, 720, 32, 16, 8), 0);
  GLint largest = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &largest);
  char why[4200] = "";
  EXPECT_EQ(_dglPresentInit(largest * 2, 720, why, sizeof why), -1);
  EXPECT_EQ(std::string(why), "the " + std::to_string(largest * 2) + "x720 target framebuffer is incomplete (status 0x8cd6, GL error 0x0501)");
  dglShutDown();
}

// From the start on, SIGINT, SIGTERM and SIGHUP end the show like a key instead of killing
// it (the display must come back), SIGINT even where a script's background job inherited it
// ignored; a SIGHUP ignored by nohup stays ignored; dglShutDown gives every one back as it
// found it.
TEST(Display, StopSignalsEndTheShowLikeAKeyUntilShutDown) {
  setenv("DGL_PLATFORM", "headless", 1);
  signal(SIGHUP, SIG_IGN), signal(SIGINT, SIG_IGN);
  ASSERT_EQ(dglInit(1280, 720, 32, 16, 8), 0);
  struct sigaction term, hup, interrupt;
  sigaction(SIGTERM, nullptr, &term), sigaction(SIGHUP, nullptr, &hup), sigaction(SIGINT, nullptr, &interrupt);
  EXPECT_TRUE(term.sa_handler != SIG_DFL && interrupt.sa_handler != SIG_IGN && hup.sa_handler == SIG_IGN);
  raise(SIGTERM);
  EXPECT_EQ(dglProcessMessages(), 1);
  dglShutDown();
  sigaction(SIGTERM, nullptr, &term), sigaction(SIGHUP, nullptr, &hup), sigaction(SIGINT, nullptr, &interrupt);
  EXPECT_TRUE(term.sa_handler == SIG_DFL && interrupt.sa_handler == SIG_IGN && hup.sa_handler == SIG_IGN);
  signal(SIGHUP, SIG_DFL), signal(SIGINT, SIG_DFL);
}
