#include "shader.h"

#include <stdlib.h>

#include "file_io.h"
#include "glsl.h"
#include "log.h"

// Only the call that fails reads it, so one log serves every compile and link.
static DGL_GLSL_LOG glsl_log;

GLuint dglCreateShaderFromMemory(unsigned int type, const char* source) {
  GLuint handle = _dglCompileShader(type, source, &glsl_log);
  if (!handle && glsl_log.no_object) dglLogError("glCreateShader(0x%04x) failed: GL error 0x%04x.", type, glsl_log.gl_error);
  if (handle || glsl_log.no_object) return handle;
  // A source the driver refused: its own log follows our line. The loader's lines keep
  // the places in this file that they have always had (24 and 25 here, 57 and 58 for a
  // link), so a log read years apart still points at the same statements.
  //
  // No context or a bad type makes no object at all (above): there is then no log to ask
  // for, and the GL error says why. The shader object of a refused source is already
  // deleted, so nothing leaks on any path.
  //
  dglLogError("%s", "Shader failed to compile:");
  dglLogError("%s", glsl_log.text);
  return 0;
}

GLuint dglCreateShaderFromFile(unsigned int type, const char* name) {
  // The lookup has already reported a missing file.
  char* source = dglLoadFileToMemory(name, "ra");
  if (!source) return 0;
  GLuint handle = dglCreateShaderFromMemory(type, source);
  free(source);
  return handle;
}

// The draw code enables attribute arrays by the indices that the names' order gives
// here. A program that does not link is deleted; its shaders stay alive, since the
// caller may still own them elsewhere.
GLuint dglCreateProgram(unsigned int vertex_shader, unsigned int fragment_shader,
                        const char** attribute_names, unsigned int count) {
  GLuint program = _dglLinkProgram(vertex_shader, fragment_shader, attribute_names, count, &glsl_log);
  if (!program && glsl_log.no_object) dglLogError("glCreateProgram failed: GL error 0x%04x.", glsl_log.gl_error);
  if (program || glsl_log.no_object) return program;
  // What the driver said about the link follows our line, as for a compile. The usual
  // causes, for whoever reads such a log:
  //  - a varying that the fragment stage reads and the vertex stage never declares, or
  //    declares with another type or precision;
  //  - a uniform declared in both stages with different types or precisions;
  //  - more attributes, varyings or uniforms than the GPU has room for, which on a Pi's
  //    VideoCore IV comes sooner than on a desktop driver;
  //  - a stage whose compile failed, when the caller went on with shader 0 (the compile
  //    error above it in the log then says the rest).
  // Attribute names that the shaders never use are not an error: the binding is kept
  // and simply unused.
  dglLogError("%s", "Shader program failed to link:");
  dglLogError("%s", glsl_log.text);
  return 0;
}
