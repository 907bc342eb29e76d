// Shader compilation and program linking on a real GL ES 2.0 context: the failure
// reports with GL's own logs, silence on warnings, and the attribute locations.
#include <unistd.h>

#include <regex>

#include "gl_context.h"
#include "shader.h"

DGL_GL_TEST_ENVIRONMENT;

namespace {

const char* const kVertex = "attribute vec4 a_position; varying vec2 v_uv; void main() { v_uv = a_position.xy; gl_Position = a_position; }";
const char* const kBroken = "void main() {\n gl_Position = vec4(undeclared_name, 1.0);\n}\n";

// The log with each line's "(number)" dropped; `call` runs while it is captured.
template <class F> std::string log_of(F call) {
  StdoutCapture out;
  call();
  return std::regex_replace(out.Stop(), std::regex("ERROR: ([^(\n]*)\\(\\d+\\): "), "ERROR: $1: ");
}

}  // namespace

TEST(Shader, FailuresReportFixedTextThenGLsOwnLog) {
  GLuint s = glCreateShader(GL_VERTEX_SHADER);  // what GL itself says about the broken source
  char gl_log[4096] = {0};
  glShaderSource(s, 1, &kBroken, nullptr), glCompileShader(s), glGetShaderInfoLog(s, sizeof(gl_log), nullptr, gl_log);
  ASSERT_NE(gl_log[0], 0);
  const std::string compile = std::string("ERROR: ../source/shader.cpp: Shader failed to compile:\nERROR: ../source/shader.cpp: ") + gl_log + "\n";
  EXPECT_EQ(log_of([] { EXPECT_EQ(dglCreateShaderFromMemory(GL_VERTEX_SHADER, kBroken), 0u); }), compile);
  ScratchData data;  // the same from files; a missing one gives only the lookup's line
  std::ofstream(data.dir + "/data/broken.vsh") << kBroken, std::ofstream(data.dir + "/data/good.vsh") << kVertex;
  _dglSetExecutableDirectory(data.dir.c_str());
  EXPECT_EQ(log_of([] {
              EXPECT_NE(dglCreateShaderFromFile(GL_VERTEX_SHADER, "good.vsh"), 0u);
              EXPECT_EQ(dglCreateShaderFromFile(GL_VERTEX_SHADER, "broken.vsh"), 0u);
              EXPECT_EQ(dglCreateShaderFromFile(GL_VERTEX_SHADER, "missing.vsh"), 0u);
            }), compile + "ERROR: ../source/file_io.cpp: File not found 'missing.vsh'.\n");
  _dglSetExecutableDirectory(nullptr);
  const std::string bad_type = log_of([] { EXPECT_EQ(dglCreateShaderFromMemory(0x1234, kVertex), 0u); });
  EXPECT_EQ(std::count(bad_type.begin(), bad_type.end(), '\n'), 1) << "no shader object is one line: " << bad_type;
  // A varying of another type than the vertex shader's: compiles, does not link.
  GLuint v = dglCreateShaderFromMemory(GL_VERTEX_SHADER, kVertex), f = dglCreateShaderFromMemory(GL_FRAGMENT_SHADER,
      "precision mediump float; varying vec3 v_uv; void main() { gl_FragColor = vec4(v_uv, 1.0); }");
  GLuint ref = glCreateProgram();
  glAttachShader(ref, v), glAttachShader(ref, f), glLinkProgram(ref), glGetProgramInfoLog(ref, sizeof(gl_log), nullptr, gl_log);
  const char* names[] = {"a_position"};
  EXPECT_EQ(log_of([&] { EXPECT_EQ(dglCreateProgram(v, f, names, 1), 0u); }),
            std::string("ERROR: ../source/shader.cpp: Shader program failed to link:\nERROR: ../source/shader.cpp: ") + gl_log + "\n");
  EXPECT_TRUE(glIsShader(v) && glIsShader(f)) << "the shaders outlive the failed program";
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

TEST(Shader, WarningsAloneAreSilentAndAttributesGetTheirListPositions) {
  // Mesa skips compiling a source it has cached, and with it the warnings; this one is new.
  const std::string warns = "#extension GL_NO_SUCH_extension : warn\nprecision mediump float;\n// " +
                            std::to_string(getpid()) + " " + std::to_string(time(nullptr)) + "\nvarying vec4 c; void main() { gl_FragColor = c; }\n";
  GLuint f = 0, v = 0;
  EXPECT_EQ(log_of([&] { f = dglCreateShaderFromMemory(GL_FRAGMENT_SHADER, warns.c_str()); }), "");
  char log[4096] = {0};
  EXPECT_NE((glGetShaderInfoLog(f, sizeof(log), nullptr, log), std::string(log)).find("warning"), std::string::npos) << "the sample must really warn";
  v = dglCreateShaderFromMemory(GL_VERTEX_SHADER, "attribute vec4 a_color; attribute vec2 a_tex_coord; attribute vec3 a_position;"
      " varying vec4 c; void main() { c = a_color + vec4(a_tex_coord, 0.0, 0.0); gl_Position = vec4(a_position, 1.0); }");
  ASSERT_NE(f * v, 0u);
  const std::vector<const char*> lists[] = {{"a_position", "a_tex_coord", "a_color"}, {"a_color", "a_position", "a_tex_coord"},
                                            {"a_unused", "a_tex_coord", "a_position", "a_color"}};  // an unused name keeps its slot
  for (auto names : lists) {
    GLuint p = 0;
    EXPECT_EQ(log_of([&] { p = dglCreateProgram(v, f, names.data(), (unsigned)names.size()); }), "");
    ASSERT_NE(p, 0u);
    for (size_t i = names[0] == std::string("a_unused"); i < names.size(); i++) EXPECT_EQ(glGetAttribLocation(p, names[i]), (GLint)i) << names[i];
  }
}
