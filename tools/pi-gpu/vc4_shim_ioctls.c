/* The vc4 requests that Mesa's noop DRM shim for vc4 does not answer (it aborts on the
 * first shader without them): shader buffers, command-list submission and the two waits.
 * Preloaded before the shim (LD_PRELOAD="this shim"), this ioctl sees every request
 * first, answers those four and passes everything else on to the shim's. Nothing runs on
 * a GPU: a submitted frame is done at once, which is all the compilers under test need.
 * Shader buffers are made through the shim's own create and map requests, so its
 * handles, mappings and closes stay consistent. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <vc4_drm.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static ioctl_fn next_ioctl(void) {
  static ioctl_fn next;
  if (!next) next = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
  return next;
}

static uint64_t last_seqno;

static int create_shader_bo(int fd, struct drm_vc4_create_shader_bo* shader) {
  struct drm_vc4_create_bo create = {.size = shader->size};
  if (next_ioctl()(fd, DRM_IOCTL_VC4_CREATE_BO, &create) != 0) return -1;
  struct drm_vc4_mmap_bo map = {.handle = create.handle};
  if (next_ioctl()(fd, DRM_IOCTL_VC4_MMAP_BO, &map) != 0) return -1;
  void* bytes = mmap(NULL, shader->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, (off_t)map.offset);
  if (bytes == MAP_FAILED) return -1;
  memcpy(bytes, (const void*)(uintptr_t)shader->data, shader->size);
  munmap(bytes, shader->size);
  shader->handle = create.handle;
  return 0;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list list;
  va_start(list, request);
  void* arg = va_arg(list, void*);
  va_end(list);
  switch (request) {
    case DRM_IOCTL_VC4_CREATE_SHADER_BO:
      return create_shader_bo(fd, arg);
    case DRM_IOCTL_VC4_SUBMIT_CL:
      ((struct drm_vc4_submit_cl*)arg)->seqno = ++last_seqno;
      return 0;
    case DRM_IOCTL_VC4_WAIT_SEQNO:
    case DRM_IOCTL_VC4_WAIT_BO:
      return 0;
    default:
      return next_ioctl()(fd, request, arg);
  }
}
