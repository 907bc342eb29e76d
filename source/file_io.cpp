#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "log.h"

static int first_time = 1;
static char exe_path[1024];
static char full_path[2048];

static const char* const search_prefixes[] = {"/data/", "/../../data/"};

void _dglSetExecutableDirectory(const char* dir) {
  if (!dir || strlen(dir) >= sizeof(exe_path)) {
    first_time = 1;
    return;
  }
  snprintf(exe_path, sizeof(exe_path), "%s", dir);
  first_time = 0;
}

static int find_executable_directory() {
  char link[64];
  snprintf(link, sizeof(link), "/proc/%d/exe", (int)getpid());
  // One byte stays free for the terminator; a path that fills the buffer is cut
  // and must not be used.
  ssize_t n = readlink(link, exe_path, sizeof(exe_path) - 1);
  if (n < 0 || n >= (ssize_t)sizeof(exe_path) - 1) {
    exe_path[0] = 0;
    return -1;
  }
  exe_path[n] = 0;
  char* slash = strrchr(exe_path, '/');
  if (slash) *slash = 0;
  first_time = 0;
  return 0;
}

const char* dglGetAbsolutePath(const char* name) {
  if (!name) return NULL;
  if (first_time && find_executable_directory() != 0) return NULL;
  for (const char* prefix : search_prefixes) {
    int n = snprintf(full_path, sizeof(full_path), "%s%s%s", exe_path, prefix, name);
    if (n < 0 || n >= (int)sizeof(full_path)) {
      full_path[0] = 0;
      return NULL;
    }
    if (access(full_path, F_OK) == 0) return full_path;
  }
  return NULL;
}

// Only a regular file is a data file, and its kind is known before it is opened: a FIFO
// would block the open until a writer came, and a directory or a device opens but reads
// as nonsense. The open itself does not wait either, should the name change meanwhile.
FILE* dglOpenFile(const char* name, const char* mode) {
  const char* path = dglGetAbsolutePath(name);
  struct stat info;
  if (path && stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
    dglLogError("'%s' is not a regular file.", name);
    return NULL;
  }
  FILE* f = NULL;
  if (path && strpbrk(mode, "wa+")) {
    f = fopen(path, mode);
  } else if (path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
                    fcntl(fd, F_SETFL, 0) != 0 || !(f = fdopen(fd, mode))))
      close(fd);
  }
  if (!f) dglLogError("File not found '%s'.", name ? name : "(null)");
  return f;
}

char* dglLoadFileToMemorySized(const char* name, const char* mode, size_t* size_out) {
  if (size_out) *size_out = 0;
  FILE* f = dglOpenFile(name, mode);
  if (!f) return NULL;
  long size = -1;
  if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
  if (size < 0 || fseek(f, 0, SEEK_SET) != 0) {
    dglLogError("Can't determine the size of '%s'.", name);
    fclose(f);
    return NULL;
  }
  char* buffer = (char*)malloc((size_t)size + 1);
  if (!buffer) {
    dglLogError("Out of memory loading '%s' (%ld bytes).", name, size);
    fclose(f);
    return NULL;
  }
  size_t got = fread(buffer, 1, (size_t)size, f);
  fclose(f);
  if (got != (size_t)size) {
    dglLogError("Short read of '%s': %zu of %ld bytes.", name, got, size);
    free(buffer);
    return NULL;
  }
  buffer[size] = 0;
  if (size_out) *size_out = (size_t)size;
  return buffer;
}

char* dglLoadFileToMemory(const char* name, const char* mode) {
  return dglLoadFileToMemorySized(name, mode, NULL);
}
