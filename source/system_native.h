// The contract between the EGL half (system.cpp) and a native half: one record per display
// kind, filled by name in that half's own file (system.rpi.cpp, system.x11.cpp, ...). The
// EGL half drives everything from it: the EGL sequence, present.cpp's scaled target for a
// half without a hardware scaler, the swap and the window's events. docs/ARCHITECTURE.md
// says how to add a half.
#pragma once
#include <EGL/egl.h>

struct DGL_NATIVE_BACKEND {
  // What DGL_PLATFORM calls it.
  const char* name;
  // Opens the native display and window for a width x height surface; prints one line on
  // standard error when it cannot. 0, or -1 with nothing left open.
  int (*create_window)(int width, int height, void** native_window, void** native_display);
  // Gives the display back; safe to call after a failed or partial create_window.
  void (*destroy_window)();
  // The EGL display for the native display (eglGetDisplay, or eglGetPlatformDisplay).
  EGLDisplay (*get_display)(void* native_display);
  // EGL_WINDOW_BIT, or EGL_PBUFFER_BIT for an offscreen surface.
  EGLint surface_type;
  // Optional: attribute pairs added to the configuration request (up to `room` values,
  // EGL_NONE not included); returns how many values it wrote.
  int (*extra_config_attributes)(EGLint* attributes, int room);
  // Optional: the native visual the configuration must have (a GBM surface's format), where
  // several match and the first may not scan out.
  EGLint (*native_visual)();
  // The surface: a window surface on the native window, or a pbuffer of the requested size.
  EGLSurface (*create_surface)(EGLDisplay display, EGLConfig config, void* native_window);
  // Optional, for a half without a hardware scaler: its output's size in pixels. Returns 1
  // and fills the size the first time and whenever the size changed (a resized window), 0
  // otherwise. With it, the scenes draw into present.cpp's target, which the EGL half scales
  // into the output with black bars before every swap. -1 on the first call: the surface is
  // shown scaled by someone else after all (a compositor's viewport), as without the slot.
  int (*output_size_changed)(int* width, int* height);
  // Optional: runs after every eglSwapBuffers (a page flip). Non-zero when the frame could
  // not be shown; at start that fails dglInit, after it the half has said why and goes on.
  int (*after_swap)();
  // Non-zero for a display a person watches (not an offscreen surface): a software GL
  // renderer there is named on standard error, as the show will crawl.
  int watched;
  // Optional: non-zero once the window got a key press, was asked to close, or the process
  // a signal to stop: the show ends as for a key on the terminal.
  int (*poll_window)();
};

// The native half to use: fixed by the build on the Pi, chosen at start elsewhere. NULL,
// with one line on standard error, when the one asked for cannot be had.
const DGL_NATIVE_BACKEND* _dglChooseBackend();

// The VideoCore half's own steps (system.rpi.cpp): the aspect fit, then the dispmanx
// elements (the second form); undone by _dglDestroyNativeWindow.
int _dglCreateNativeWindow(int width, int height, void** native_window, void** native_display);
void _dglDestroyNativeWindow();

// Non-zero when a card has a connected output and mastership can be had; otherwise `why`
// says what is missing (system.kms.cpp).
int _dglKmsProbe(char* why, int size);

// The terminal poll (terminal.cpp): the select count for standard input (1, 0, or -1).
int _dglPollTerminal();
