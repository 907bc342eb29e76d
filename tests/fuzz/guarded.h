// A copy of some bytes that ends right at an inaccessible page, so that reading even one
// byte past the end faults at once, without a sanitizer.
#pragma once
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

struct Guarded {
  size_t page = (size_t)sysconf(_SC_PAGESIZE), span;
  uint8_t* base;
  const uint8_t* data;
  Guarded(const void* bytes, size_t size) : span((size + page - 1) / page * page + page) {
    base = (uint8_t*)mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED || mprotect(base + span - page, page, PROT_NONE) != 0) abort();
    data = (const uint8_t*)memcpy(base + span - page - size, bytes, size);
  }
  ~Guarded() { munmap(base, span); }
};
