// Shader compilation and program linking on a real GL ES 2.0 context: the
// failure reports, the attribute locations and the file path.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "file_io.h"
#include "gl_context.h"
#include "shader.h"

DGL_GL_TEST_ENVIRONMENT;

namespace {

const char* const kVertex =
    "attribute vec4 a_position; varying vec2 v_uv;"
    " void main() { v_uv = a_position.xy; gl_Position = a_position; }";
// Compiles, but its varying has another type than the vertex shader's.
const char* const kFragmentMismatch =
    "precision mediump float; varying vec3 v_uv; void main() { gl_FragColor = vec4(v_uv, 1.0); }";
const char* const kBroken = "void main() {\n gl_Position = vec4(undeclared_name, 1.0);\n}\n";

// Captured output with each entry's "(line)" dropped: "ERROR: file: message".
std::string Captured() {
  return std::regex_replace(testing::internal::GetCapturedStdout(),
                            std::regex("ERROR: ([^(\n]*)\\(\\d+\\): "), "ERROR: $1: ");
}

std::string CompileLog(const char* source) {
  GLuint s = glCreateShader(GL_VERTEX_SHADER);
  glShaderSource(s, 1, &source, nullptr);
  glCompileShader(s);
  char log[4096] = {0};
  glGetShaderInfoLog(s, sizeof(log), nullptr, log);
  glDeleteShader(s);
  return log;
}

TEST(Shader, CompileFailureReportsFixedTextThenTheCompilerLog) {
  const std::string gl_log = CompileLog(kBroken);
  ASSERT_FALSE(gl_log.empty());
  const std::string expected = "ERROR: ../source/shader.cpp: Shader failed to compile:\n"
                               "ERROR: ../source/shader.cpp: " + gl_log + "\n";
  testing::internal::CaptureStdout();
  EXPECT_EQ(dglCreateShaderFromMemory(GL_VERTEX_SHADER, kBroken), 0u);
  EXPECT_EQ(Captured(), expected);
  // The same from a file; a missing file gives only the lookup's line.
  char dir[] = "/tmp/gl_shader_XXXXXX";
  std::string data = std::string(mkdtemp(dir)) + "/data";
  mkdir(data.c_str(), 0700);
  _dglSetExecutableDirectory(dir);
  std::ofstream(data + "/broken.vsh") << kBroken;
  std::ofstream(data + "/good.vsh") << kVertex;
  testing::internal::CaptureStdout();
  EXPECT_NE(dglCreateShaderFromFile(GL_VERTEX_SHADER, "good.vsh"), 0u);
  EXPECT_EQ(dglCreateShaderFromFile(GL_VERTEX_SHADER, "broken.vsh"), 0u);
  EXPECT_EQ(dglCreateShaderFromFile(GL_VERTEX_SHADER, "missing.vsh"), 0u);
  EXPECT_EQ(Captured(), expected + "ERROR: ../source/file_io.cpp: File not found 'missing.vsh'.\n");
  for (const char* f : {"/broken.vsh", "/good.vsh"}) unlink((data + f).c_str());
  rmdir(data.c_str());
  rmdir(dir);
  // No shader object at all is a failure of one line.
  testing::internal::CaptureStdout();
  EXPECT_EQ(dglCreateShaderFromMemory(0x1234, kVertex), 0u);
  std::string out = Captured();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

TEST(Shader, WarningsAloneAreSilent) {
  // Mesa skips compiling a source it has cached, and with it the warnings; a
  // source of this run's own is compiled for real.
  std::string source = "#extension GL_NO_SUCH_extension : warn\nprecision mediump float;\n// " +
                       std::to_string(getpid()) + " " + std::to_string(time(nullptr)) +
                       "\nvoid main() { gl_FragColor = vec4(1.0); }\n";
  testing::internal::CaptureStdout();
  GLuint s = dglCreateShaderFromMemory(GL_FRAGMENT_SHADER, source.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_NE(s, 0u);
  char log[4096] = {0};
  glGetShaderInfoLog(s, sizeof(log), nullptr, log);
  EXPECT_NE(std::string(log).find("warning"), std::string::npos) << "the sample must really warn";
}

TEST(Shader, AttributesGetTheirListPositions) {
  // Declared in another order than any list, and all used.
  GLuint v = dglCreateShaderFromMemory(
      GL_VERTEX_SHADER,
      "attribute vec4 a_color; attribute vec2 a_tex_coord; attribute vec3 a_position;"
      " varying vec4 v_color; void main() { v_color = a_color + vec4(a_tex_coord, 0.0, 0.0);"
      " gl_Position = vec4(a_position, 1.0); }");
  GLuint f = dglCreateShaderFromMemory(
      GL_FRAGMENT_SHADER,
      "precision mediump float; varying vec4 v_color; void main() { gl_FragColor = v_color; }");
  ASSERT_NE(v, 0u);
  ASSERT_NE(f, 0u);
  const std::vector<const char*> lists[] = {
      {"a_position", "a_tex_coord", "a_color"},
      {"a_color", "a_position", "a_tex_coord"},
      {"a_unused", "a_tex_coord", "a_position", "a_color"},  // an unused name keeps its slot
  };
  for (auto names : lists) {
    testing::internal::CaptureStdout();
    GLuint p = dglCreateProgram(v, f, names.data(), (unsigned)names.size());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_NE(p, 0u);
    for (size_t i = names[0] == std::string("a_unused"); i < names.size(); i++)
      EXPECT_EQ(glGetAttribLocation(p, names[i]), (GLint)i) << names[i];
  }
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

TEST(Shader, LinkFailureReportsFixedTextThenTheLinkerLog) {
  GLuint v = dglCreateShaderFromMemory(GL_VERTEX_SHADER, kVertex);
  GLuint f = dglCreateShaderFromMemory(GL_FRAGMENT_SHADER, kFragmentMismatch);
  ASSERT_NE(v, 0u);
  ASSERT_NE(f, 0u);
  // What GL itself says about this pair.
  GLuint ref = glCreateProgram();
  glAttachShader(ref, v);
  glAttachShader(ref, f);
  glLinkProgram(ref);
  char gl_log[4096] = {0};
  glGetProgramInfoLog(ref, sizeof(gl_log), nullptr, gl_log);
  glDeleteProgram(ref);
  ASSERT_NE(gl_log[0], 0);
  const char* names[] = {"a_position"};
  testing::internal::CaptureStdout();
  EXPECT_EQ(dglCreateProgram(v, f, names, 1), 0u);
  EXPECT_EQ(Captured(), "ERROR: ../source/shader.cpp: Shader program failed to link:\n"
                        "ERROR: ../source/shader.cpp: " + std::string(gl_log) + "\n");
  // The shaders outlive the failed program.
  EXPECT_TRUE(glIsShader(v));
  EXPECT_TRUE(glIsShader(f));
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

}  // namespace
