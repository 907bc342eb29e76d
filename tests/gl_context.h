// One headless GL ES 2.0 context for the whole test program, opened once.
#pragma once
#include <gtest/gtest.h>
#include <GLES2/gl2.h>
#include <stdlib.h>

#include "system.h"

class GlContext : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("DGL_PLATFORM", "headless", 0);
    setenv("EGL_PLATFORM", "surfaceless", 0);
    setenv("MESA_GLES_VERSION_OVERRIDE", "2.0", 0);
    ASSERT_EQ(dglInit(1280, 720, 32, 16, 8), 0) << "no headless GL ES 2.0 context";
  }
  void TearDown() override { dglShutDown(); }
};

// In one test file of a program: static auto* gl_env = ::testing::AddGlobalTestEnvironment(new GlContext);
#define DGL_GL_TEST_ENVIRONMENT \
  static ::testing::Environment* const dgl_gl_env_ = ::testing::AddGlobalTestEnvironment(new GlContext)
