// Shader compilation and program linking on a real GL ES 2.0 context: the
// failure reports, the attribute locations and the file path.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "file_io.h"
#include "gl_context.h"
#include "shader.h"

DGL_GL_TEST_ENVIRONMENT;

namespace {

const char* const kVertex =
    "#version 100\n"
    "attribute vec4 a_position;\n"
    "varying vec2 v_uv;\n"
    "void main() { v_uv = a_position.xy; gl_Position = a_position; }\n";
const char* const kFragment =
    "#version 100\n"
    "precision mediump float;\n"
    "varying vec2 v_uv;\n"
    "void main() { gl_FragColor = vec4(v_uv, 0.0, 1.0); }\n";
// Compiles, but its varying has another type than the vertex shader's.
const char* const kFragmentMismatch =
    "#version 100\n"
    "precision mediump float;\n"
    "varying vec3 v_uv;\n"
    "void main() { gl_FragColor = vec4(v_uv, 1.0); }\n";
const char* const kBroken =
    "#version 100\n"
    "void main() {\n"
    "  gl_Position = vec4(undeclared_name, 1.0);\n"
    "  this is not glsl\n"
    "}\n";

struct LogEntry {
  std::string file;
  long line = 0;
  std::string message;
};

// Splits captured output into log entries; a message may span several lines.
std::vector<LogEntry> ParseLog(const std::string& out) {
  std::vector<LogEntry> entries;
  size_t pos = 0;
  const std::string prefix = "ERROR: ";
  while (pos < out.size()) {
    EXPECT_EQ(out.compare(pos, prefix.size(), prefix), 0) << "not a log entry: " << out.substr(pos);
    if (out.compare(pos, prefix.size(), prefix) != 0) break;
    size_t open = out.find('(', pos);
    size_t close = out.find("): ", open);
    LogEntry e;
    e.file = out.substr(pos + prefix.size(), open - pos - prefix.size());
    e.line = atol(out.substr(open + 1, close - open - 1).c_str());
    size_t next = out.find("\nERROR: ", close);
    size_t end = next == std::string::npos ? out.size() : next + 1;
    e.message = out.substr(close + 3, end - close - 3);
    entries.push_back(e);
    pos = end;
  }
  return entries;
}

std::string SourceLine(const std::string& module, long line) {
  std::ifstream in(std::string(DGL_SOURCE_DIR) + "/" + module.substr(3));
  std::string text;
  for (long i = 0; i < line && std::getline(in, text); i++) {
  }
  return text;
}

std::string GlCompileLog(GLenum type, const char* source) {
  GLuint s = glCreateShader(type);
  glShaderSource(s, 1, &source, nullptr);
  glCompileShader(s);
  char log[4096] = {0};
  glGetShaderInfoLog(s, sizeof(log), nullptr, log);
  glDeleteShader(s);
  return log;
}

class TempDataDir {
 public:
  TempDataDir() {
    char tmpl[] = "/tmp/gl_shader_XXXXXX";
    dir_ = mkdtemp(tmpl);
    mkdir((dir_ + "/data").c_str(), 0700);
    _dglSetExecutableDirectory(dir_.c_str());
  }
  ~TempDataDir() {
    for (const auto& f : files_) unlink(f.c_str());
    rmdir((dir_ + "/data").c_str());
    rmdir(dir_.c_str());
  }
  void Write(const std::string& name, const std::string& text) {
    std::string path = dir_ + "/data/" + name;
    std::ofstream(path) << text;
    files_.push_back(path);
  }

 private:
  std::string dir_;
  std::vector<std::string> files_;
};

TEST(ShaderCompile, FailureReportsFixedTextThenTheCompilerLog) {
  std::string gl_log = GlCompileLog(GL_VERTEX_SHADER, kBroken);
  ASSERT_FALSE(gl_log.empty());
  testing::internal::CaptureStdout();
  GLuint s = dglCreateShaderFromMemory(GL_VERTEX_SHADER, kBroken);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(s, 0u);
  auto log = ParseLog(out);
  ASSERT_EQ(log.size(), 2u) << out;
  EXPECT_EQ(log[0].file, "../source/shader.cpp");
  EXPECT_EQ(log[0].message, "Shader failed to compile:\n");
  EXPECT_EQ(log[1].file, "../source/shader.cpp");
  EXPECT_EQ(log[1].message, gl_log + "\n");
  // The reported lines are the two reporting calls themselves.
  EXPECT_NE(SourceLine(log[0].file, log[0].line).find("Shader failed to compile:"),
            std::string::npos);
  EXPECT_NE(SourceLine(log[1].file, log[1].line).find("dglLogError"), std::string::npos);
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

TEST(ShaderCompile, WarningsAloneAreSilent) {
  // Mesa skips compiling a source it has cached, and with it the warnings; a
  // source of this run's own is compiled for real.
  std::string source = "#version 100\n"
                       "#extension GL_NO_SUCH_extension : warn\n"
                       "precision mediump float;\n"
                       "// run " + std::to_string(getpid()) + " " + std::to_string(time(nullptr)) +
                       "\n"
                       "void main() { gl_FragColor = vec4(1.0); }\n";
  const char* warns = source.c_str();
  testing::internal::CaptureStdout();
  GLuint s = dglCreateShaderFromMemory(GL_FRAGMENT_SHADER, warns);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_NE(s, 0u);
  char log[4096] = {0};
  glGetShaderInfoLog(s, sizeof(log), nullptr, log);
  EXPECT_NE(std::string(log).find("warning"), std::string::npos) << "the sample must really warn";
  GLint type = 0;
  glGetShaderiv(s, GL_SHADER_TYPE, &type);
  EXPECT_EQ(type, GL_FRAGMENT_SHADER);
}

TEST(ShaderCompile, NoShaderObjectIsAFailure) {
  testing::internal::CaptureStdout();
  GLuint s = dglCreateShaderFromMemory(0x1234, kVertex);
  auto log = ParseLog(testing::internal::GetCapturedStdout());
  EXPECT_EQ(s, 0u);
  EXPECT_EQ(log.size(), 1u);
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

TEST(ShaderFile, LoadsFromTheDataDirectory) {
  TempDataDir data;
  data.Write("good.vsh", kVertex);
  data.Write("broken.vsh", kBroken);

  testing::internal::CaptureStdout();
  GLuint good = dglCreateShaderFromFile(GL_VERTEX_SHADER, "good.vsh");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_NE(good, 0u);

  testing::internal::CaptureStdout();
  EXPECT_EQ(dglCreateShaderFromFile(GL_VERTEX_SHADER, "broken.vsh"), 0u);
  auto log = ParseLog(testing::internal::GetCapturedStdout());
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].message, "Shader failed to compile:\n");

  testing::internal::CaptureStdout();
  EXPECT_EQ(dglCreateShaderFromFile(GL_VERTEX_SHADER, "missing.vsh"), 0u);
  log = ParseLog(testing::internal::GetCapturedStdout());
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].file, "../source/file_io.cpp");
  EXPECT_EQ(log[0].message, "File not found 'missing.vsh'.\n");
}

TEST(ShaderProgram, AttributesGetTheirListPositions) {
  // Declared in another order than the list, and all used.
  const char* vs =
      "#version 100\n"
      "attribute vec4 a_color;\n"
      "attribute vec2 a_tex_coord;\n"
      "attribute vec3 a_position;\n"
      "varying vec4 v_color;\n"
      "void main() { v_color = a_color + vec4(a_tex_coord, 0.0, 0.0);\n"
      "  gl_Position = vec4(a_position, 1.0); }\n";
  const char* fs =
      "#version 100\n"
      "precision mediump float;\n"
      "varying vec4 v_color;\n"
      "void main() { gl_FragColor = v_color; }\n";
  GLuint v = dglCreateShaderFromMemory(GL_VERTEX_SHADER, vs);
  GLuint f = dglCreateShaderFromMemory(GL_FRAGMENT_SHADER, fs);
  ASSERT_NE(v, 0u);
  ASSERT_NE(f, 0u);

  struct Case {
    std::vector<const char*> names;
  };
  const Case cases[] = {
      {{"a_position", "a_tex_coord", "a_color"}},
      {{"a_color", "a_position", "a_tex_coord"}},
      // A name the shader does not use takes its slot without complaint.
      {{"a_unused", "a_tex_coord", "a_position", "a_color"}},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    GLuint p = dglCreateProgram(v, f, const_cast<const char**>(c.names.data()),
                                (unsigned)c.names.size());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_NE(p, 0u);
    for (size_t i = 0; i < c.names.size(); i++) {
      if (std::string(c.names[i]) == "a_unused") continue;
      EXPECT_EQ(glGetAttribLocation(p, c.names[i]), (GLint)i) << c.names[i];
    }
    // Both shaders stay attached to the program.
    GLint attached = 0;
    glGetProgramiv(p, GL_ATTACHED_SHADERS, &attached);
    EXPECT_EQ(attached, 2);
  }
  // With no names GL picks distinct locations itself.
  GLuint p = dglCreateProgram(v, f, nullptr, 0);
  ASSERT_NE(p, 0u);
  GLint a = glGetAttribLocation(p, "a_position"), b = glGetAttribLocation(p, "a_color");
  EXPECT_GE(a, 0);
  EXPECT_GE(b, 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

TEST(ShaderProgram, LinkFailureReportsFixedTextThenTheLinkerLog) {
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
  GLuint p = dglCreateProgram(v, f, names, 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(p, 0u);
  auto log = ParseLog(out);
  ASSERT_EQ(log.size(), 2u) << out;
  EXPECT_EQ(log[0].file, "../source/shader.cpp");
  EXPECT_EQ(log[0].message, "Shader program failed to link:\n");
  EXPECT_EQ(log[1].message, std::string(gl_log) + "\n");
  EXPECT_NE(SourceLine(log[0].file, log[0].line).find("Shader program failed to link:"),
            std::string::npos);
  EXPECT_NE(SourceLine(log[1].file, log[1].line).find("dglLogError"), std::string::npos);
  // The shaders outlive the failed program.
  EXPECT_TRUE(glIsShader(v));
  EXPECT_TRUE(glIsShader(f));
  // The good pair still links.
  GLuint ok_f = dglCreateShaderFromMemory(GL_FRAGMENT_SHADER, kFragment);
  EXPECT_NE(dglCreateProgram(v, ok_f, names, 1), 0u);
  EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
}

}  // namespace
