// Data files by bare name, from "data" beside the executable or two levels above it.
#pragma once
#include <stddef.h>
#include <stdio.h>

// Full path of an existing data file, in a buffer that the next lookup overwrites; or null.
const char* dglGetAbsolutePath(const char* name);
// The opened file, or null after one "File not found" error line.
FILE* dglOpenFile(const char* name, const char* mode);
// The whole file plus a terminating zero byte, for the caller to free(); or null.
char* dglLoadFileToMemory(const char* name, const char* mode);
// As dglLoadFileToMemory, also giving the file's length (without the extra zero byte).
char* dglLoadFileToMemorySized(const char* name, const char* mode, size_t* size);

// Tests point the lookup at a directory of their own instead of the executable's.
void _dglSetExecutableDirectory(const char* dir);
