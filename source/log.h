// One diagnostic line on standard output: label, caller's source path and line, message.
#pragma once

enum DGL_LOG_LEVEL { DGL_LOG_INFO = 0, DGL_LOG_WARNING = 1, DGL_LOG_ERROR = 2 };

void _Log(DGL_LOG_LEVEL level, const char* file, long line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// The call site's own path and line; the build maps the source tree to "../".
#define dglLogError(...) _Log(DGL_LOG_ERROR, __FILE__, __LINE__, __VA_ARGS__)
