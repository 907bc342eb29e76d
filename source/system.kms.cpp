// The KMS console native half: DRM/KMS scanout of a GBM surface.
#include <stddef.h>
#include <stdio.h>

#include "system_linux.h"

static int kms_create_window(int, int, void**, void**) {
  fprintf(stderr, "DGL_PLATFORM=kms: the KMS console backend is not built in yet\n");
  return -1;
}

static void kms_destroy_window() {}
static EGLDisplay kms_get_display(void*) { return EGL_NO_DISPLAY; }
static EGLSurface kms_create_surface(EGLDisplay, EGLConfig, void*) { return EGL_NO_SURFACE; }

const DGL_NATIVE_BACKEND dgl_backend_kms = {
    "kms", kms_create_window, kms_destroy_window, kms_get_display, EGL_WINDOW_BIT, NULL, NULL,
    kms_create_surface, NULL, NULL, NULL, NULL,
};
