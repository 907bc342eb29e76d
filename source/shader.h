// GLSL ES shader objects and programs with attribute locations fixed by name order.
#pragma once
#include <GLES2/gl2.h>

GLuint dglCreateShaderFromMemory(unsigned int type, const char* source);
GLuint dglCreateShaderFromFile(unsigned int type, const char* name);
GLuint dglCreateProgram(unsigned int vertex_shader, unsigned int fragment_shader,
                        const char** attribute_names, unsigned int count);
