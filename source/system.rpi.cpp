// The VideoCore half of the display: one dispmanx element for the GL surface, scaled by
// the display hardware into the fit rectangle, and black bars over the rest.
#undef NDEBUG  // the display-size check must stop the process in every build
#include <assert.h>
#include <stddef.h>
#include <stdint.h>

#include <EGL/egl.h>

#include "bcm_host.h"
#include "fit.h"
#include "system_native.h"

static EGL_DISPMANX_WINDOW_T native_window;

int _dglCreateNativeWindow(unsigned int disp_width, unsigned int disp_height,
                           const VC_RECT_T* source, const VC_RECT_T* dest, void** out_window,
                           void** out_display) {
  DISPMANX_DISPLAY_HANDLE_T display = vc_dispmanx_display_open(0);
  DISPMANX_UPDATE_HANDLE_T update = vc_dispmanx_update_start(0);

  VC_DISPMANX_ALPHA_T alpha = {DISPMANX_FLAGS_ALPHA_FIXED_ALL_PIXELS, 255, 0};
  VC_RECT_T src_rect = {0, 0, source->width << 16, source->height << 16};
  DISPMANX_ELEMENT_HANDLE_T element =
      vc_dispmanx_element_add(update, display, 0, dest, 0, &src_rect, DISPMANX_PROTECTION_NONE,
                              &alpha, 0, (DISPMANX_TRANSFORM_T)0);

  if ((unsigned int)dest->width != disp_width || (unsigned int)dest->height != disp_height) {
    uint32_t image_handle = 0;
    DISPMANX_RESOURCE_HANDLE_T black =
        vc_dispmanx_resource_create(VC_IMAGE_ARGB8888, 1, 1, &image_handle);
    uint32_t pixel = 0;
    VC_RECT_T one = {0, 0, 1, 1};
    vc_dispmanx_resource_write_data(black, VC_IMAGE_ARGB8888, 4, &pixel, &one);

    VC_RECT_T bar_a, bar_b;
    if ((unsigned int)dest->width == disp_width) {
      vc_dispmanx_rect_set(&bar_a, 0, 0, disp_width, dest->y);
      vc_dispmanx_rect_set(&bar_b, 0, dest->y + dest->height, disp_width,
                           disp_height - (dest->y + dest->height));
    } else {
      vc_dispmanx_rect_set(&bar_a, 0, 0, dest->x, disp_height);
      vc_dispmanx_rect_set(&bar_b, dest->x + dest->width, 0, disp_width - (dest->x + dest->width),
                           disp_height);
    }
    VC_RECT_T whole_pixel = {0, 0, 1 << 16, 1 << 16};
    vc_dispmanx_element_add(update, display, 0, &bar_a, black, &whole_pixel,
                            DISPMANX_PROTECTION_NONE, &alpha, 0, (DISPMANX_TRANSFORM_T)0);
    vc_dispmanx_element_add(update, display, 0, &bar_b, black, &whole_pixel,
                            DISPMANX_PROTECTION_NONE, &alpha, 0, (DISPMANX_TRANSFORM_T)0);
  }
  vc_dispmanx_update_submit_sync(update);

  native_window.element = element;
  native_window.width = source->width;
  native_window.height = source->height;
  *out_window = &native_window;
  *out_display = 0;
  return 0;
}

int _dglCreateNativeWindow(int width, int height, void** out_window, void** out_display) {
  bcm_host_init();
  uint32_t disp_width = 0, disp_height = 0;
  assert(graphics_get_display_size( 0 , (uint32_t*)&disp_width, (uint32_t*)&disp_height ) >= 0);
  VC_RECT_T source = {0, 0, width, height};
  DGL_RECT fit = _dglFitRectangle(width, height, disp_width, disp_height);
  VC_RECT_T dest = {fit.x, fit.y, fit.width, fit.height};
  return _dglCreateNativeWindow(disp_width, disp_height, &source, &dest, out_window, out_display);
}

void _dglDestroyNativeWindow() { bcm_host_deinit(); }

static EGLDisplay rpi_get_display(void* native_display) {
  return eglGetDisplay((EGLNativeDisplayType)native_display);
}

static EGLSurface rpi_create_surface(EGLDisplay display, EGLConfig config, void* window) {
  return eglCreateWindowSurface(display, config, (EGLNativeWindowType)(uintptr_t)window, NULL);
}

// The display hardware scales the 1280x720 surface: nothing to present in GL, and the
// terminal is the only input.
extern const DGL_NATIVE_BACKEND dgl_backend_rpi = {
    .name = "rpi",
    .create_window = _dglCreateNativeWindow,
    .destroy_window = _dglDestroyNativeWindow,
    .get_display = rpi_get_display,
    .surface_type = EGL_WINDOW_BIT,
    .extra_config_attributes = NULL,
    .native_visual = NULL,
    .create_surface = rpi_create_surface,
    .output_size_changed = NULL,
    .after_swap = NULL,
    .watched = 0,
    .poll_window = NULL,
};
