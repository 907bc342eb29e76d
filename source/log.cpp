#include "log.h"

#include <stdarg.h>
#include <stdio.h>

static const char* const level_labels[] = {"INFO", "WARNING", "ERROR"};

void _Log(DGL_LOG_LEVEL level, const char* file, long line, const char* format, ...) {
  static char log_temp[8192];
  printf("%s: %s(%li): ", level_labels[level], file, line);
  va_list args;
  va_start(args, format);
  vsnprintf(log_temp, sizeof(log_temp), format, args);
  va_end(args);
  printf("%s\n", log_temp);
  // Log lines must survive a crash or a pipe that is read as we go.
  fflush(stdout);
}
