// One headless GL ES 2.0 context for the whole test program, and what the GL tests read
// back from it.
#pragma once
#include <gtest/gtest.h>
#include <GLES2/gl2.h>
#include <math.h>
#include <string.h>

#include <fstream>
#include <vector>

#include <glm/gtc/matrix_transform.hpp>

#include "file_io.h"
#include "scratch_data.h"
#include "stdout_capture.h"
#include "system.h"
#include "test_env.h"

struct GlContext : ::testing::Environment {
  void SetUp() override {
    ASSERT_EQ(dglInit(1280, 720, 32, 16, 8), 0) << "no headless GL ES 2.0 context";
  }
  void TearDown() override { dglShutDown(); }
};
#define DGL_GL_TEST_ENVIRONMENT \
  static ::testing::Environment* const dgl_gl_env_ = ::testing::AddGlobalTestEnvironment(new GlContext)

// The 1280x720 surface as RGBA bytes, bottom row first.
inline std::vector<uint8_t> gl_pixels() {
  std::vector<uint8_t> px(1280 * 720 * 4);
  return glReadPixels(0, 0, 1280, 720, GL_RGBA, GL_UNSIGNED_BYTE, px.data()), px;
}

// The driver's shared state (depth test and culling on) and a cleared frame.
inline void gl_clear(float r, float g, float b, float a = 1.0f) {
  glEnable(GL_CULL_FACE), glEnable(GL_DEPTH_TEST), glClearColor(r, g, b, a);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
}

// What every draw function leaves: its program, no buffer bound, no attribute array on,
// depth test and culling on, blending off.
inline void expect_shared_state(GLuint program) {
  GLint v[6] = {-1, -1, -1, -1, -1, -1};
  const GLenum names[3] = {GL_CURRENT_PROGRAM, GL_ARRAY_BUFFER_BINDING, GL_ELEMENT_ARRAY_BUFFER_BINDING};
  for (int i = 0; i < 3; i++) glGetIntegerv(names[i], &v[i]);
  for (GLuint a = 0; a < 3; a++) glGetVertexAttribiv(a, GL_VERTEX_ATTRIB_ARRAY_ENABLED, &v[3 + a]);
  EXPECT_EQ(std::vector<GLint>(v, v + 6), (std::vector<GLint>{(GLint)program, 0, 0, 0, 0, 0})) << "program, buffers, arrays";
  EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST) && glIsEnabled(GL_CULL_FACE) && !glIsEnabled(GL_BLEND));
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

// A column-major upload against the test's own matrix, entry by entry.
inline void expect_matrix(const float* m, const glm::dmat4& want, double tolerance, const std::string& what) {
  for (int i = 0; i < 16; i++) EXPECT_NEAR(m[i], want[i / 4][i % 4], tolerance) << what << " row " << i % 4 << " col " << i / 4;
}
