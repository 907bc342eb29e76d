// The native halves for Linux without VideoCore, one file per display kind. Each fills
// one of these records; system.linux.cpp picks one at start and forwards the native list
// of system_native.h to it.
#pragma once
#include <EGL/egl.h>

struct DGL_NATIVE_BACKEND {
  const char* name;
  int (*create_window)(int width, int height, void** native_window, void** native_display);
  void (*destroy_window)();
  EGLDisplay (*get_display)(void* native_display);
  EGLint surface_type;
  int (*extra_config_attributes)(EGLint* attributes, int room);
  // 0 takes the first matching configuration; otherwise the one with this visual.
  EGLint (*native_visual)();
  EGLSurface (*create_surface)(EGLDisplay display, EGLConfig config, void* native_window);
  int (*context_ready)();
  void (*present)();
  void (*after_swap)();
  int (*poll_window)();
};

extern const DGL_NATIVE_BACKEND dgl_backend_headless;
extern const DGL_NATIVE_BACKEND dgl_backend_x11;
#if DGL_HAVE_KMS
extern const DGL_NATIVE_BACKEND dgl_backend_kms;
// Non-zero when a card has a connected output and mastership can be had; otherwise
// `why` says what is missing.
int dgl_kms_probe(char* why, int size);
#endif
