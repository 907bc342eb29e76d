// What the EGL half (system.cpp) needs from a native half (system.rpi.cpp, or
// system.linux.cpp with one backend file per Linux display kind).
#pragma once
#include <EGL/egl.h>
#include "fit.h"

int _dglCreateNativeWindow(int width, int height, void** native_window, void** native_display);
void _dglDestroyNativeWindow();

// The EGL display for the native display (eglGetDisplay, or eglGetPlatformDisplay).
EGLDisplay _dglGetDisplay(void* native_display);
// EGL_WINDOW_BIT, or EGL_PBUFFER_BIT for an offscreen surface.
EGLint _dglSurfaceType();
// Attribute pairs the backend adds to the configuration request (up to `room` values,
// EGL_NONE not included); returns how many values it wrote.
int _dglExtraConfigAttributes(EGLint* attributes, int room);
// 0, or the native visual the configuration must have (a GBM surface's format):
// several configurations match the attribute list and the first may not scan out.
EGLint _dglNativeVisual();
// The surface: a window surface on the native window, or a pbuffer of the requested size.
EGLSurface _dglCreateSurface(EGLDisplay display, EGLConfig config, void* native_window);
// Called once the context is current; a backend that scales in GL sets up its target here.
int _dglNativeContextReady();
// Called before every eglSwapBuffers: a backend that scales in GL draws its target here.
void _dglNativePresent();
// Called after every eglSwapBuffers (page flips on kms).
void _dglNativeAfterSwap();
// The terminal poll: the select count for standard input (1, 0, or -1 on failure).
int _dglPollTerminal();
// Non-zero when the backend's window got a key press or was asked to close.
int _dglPollWindow();
