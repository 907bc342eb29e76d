// Which native half shows the show. A new half is one more file and one more line here.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "system_native.h"

// The halves, each a record filled in its own file.
extern const DGL_NATIVE_BACKEND dgl_backend_rpi;
extern const DGL_NATIVE_BACKEND dgl_backend_x11;
extern const DGL_NATIVE_BACKEND dgl_backend_kms;
extern const DGL_NATIVE_BACKEND dgl_backend_headless;
extern const DGL_NATIVE_BACKEND dgl_backend_wayland;
// Non-zero when the compositor of WAYLAND_DISPLAY has what the wayland half needs; otherwise
// `why` says what is missing (system.wayland.cpp).
int _dglWaylandProbe(char* why, int size);

#if DGL_RPI
// The Broadcom stack has one display kind.
const DGL_NATIVE_BACKEND* _dglChooseBackend() { return &dgl_backend_rpi; }
#else
// DGL_PLATFORM if set; else wayland when WAYLAND_DISPLAY is set (before x11: XWayland sets
// DISPLAY too), x11 when DISPLAY is set, kms on a console that has a display to take, else
// headless with a line saying why.
const DGL_NATIVE_BACKEND* _dglChooseBackend() {
  static const DGL_NATIVE_BACKEND* const halves[] = {
#if DGL_HAVE_WAYLAND
      &dgl_backend_wayland,
#endif
      &dgl_backend_x11,
#if DGL_HAVE_KMS
      &dgl_backend_kms,
#endif
      &dgl_backend_headless,
  };
  const char* name = getenv("DGL_PLATFORM");
  if (name && *name) {
    for (const DGL_NATIVE_BACKEND* half : halves)
      if (!strcmp(name, half->name)) return half;
#if !DGL_HAVE_KMS
    if (!strcmp(name, "kms")) {
      fprintf(stderr, "DGL_PLATFORM=kms: this build has no KMS backend (libdrm and gbm missing)\n");
      return NULL;
    }
#endif
#if !DGL_HAVE_WAYLAND
    if (!strcmp(name, "wayland")) {
      fprintf(stderr, "DGL_PLATFORM=wayland: this build has no Wayland backend (libwayland missing)\n");
      return NULL;
    }
#endif
    fprintf(stderr, "DGL_PLATFORM=%s: unknown backend (wayland, x11, kms or headless)\n", name);
    return NULL;
  }
  const char* display = getenv("DISPLAY");
  const char* wayland = getenv("WAYLAND_DISPLAY");
#if DGL_HAVE_WAYLAND
  if (wayland && *wayland) {
    char why[256];
    if (_dglWaylandProbe(why, sizeof why)) return &dgl_backend_wayland;
    if (!display || !*display) {
      fprintf(stderr, "dglInit: %s\n", why);
      return NULL;
    }
    fprintf(stderr, "display: %s: trying X11 (DISPLAY=%s)\n", why, display);
    return &dgl_backend_x11;
  }
#endif
  if (display && *display) return &dgl_backend_x11;
  if (wayland && *wayland) {
    fprintf(stderr, "display: Wayland without XWayland (DISPLAY unset), and this build has no Wayland backend: "
                    "drawing offscreen (headless)\n");
    return &dgl_backend_headless;
  }
#if DGL_HAVE_KMS
  char why[256];
  if (_dglKmsProbe(why, sizeof why)) return &dgl_backend_kms;
  fprintf(stderr, "display: no X display and no KMS console (%s): drawing offscreen (headless)\n", why);
#else
  fprintf(stderr, "display: no X display, and this build has no KMS backend: drawing offscreen (headless)\n");
#endif
  return &dgl_backend_headless;
}
#endif
