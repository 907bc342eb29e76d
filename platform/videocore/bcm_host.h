// A stand-in for the Broadcom VideoCore host interface, so the VideoCore backend builds
// and is tested off the Pi. Same names and prototypes as the real headers; every call
// is recorded (vc_record.h) and the display size is whatever the test sets.
#pragma once
#include <stdint.h>

typedef uint32_t DISPMANX_DISPLAY_HANDLE_T;
typedef uint32_t DISPMANX_UPDATE_HANDLE_T;
typedef uint32_t DISPMANX_ELEMENT_HANDLE_T;
typedef uint32_t DISPMANX_RESOURCE_HANDLE_T;
typedef uint32_t DISPMANX_PROTECTION_T;
typedef int DISPMANX_TRANSFORM_T;

#define DISPMANX_PROTECTION_NONE 0
#define DISPMANX_NO_ROTATE 0

typedef enum { VC_IMAGE_ARGB8888 = 43 } VC_IMAGE_TYPE_T;

typedef enum {
  DISPMANX_FLAGS_ALPHA_FROM_SOURCE = 0,
  DISPMANX_FLAGS_ALPHA_FIXED_ALL_PIXELS = 1,
} DISPMANX_FLAGS_ALPHA_T;

typedef struct tag_VC_RECT_T {
  int32_t x, y, width, height;
} VC_RECT_T;

typedef struct {
  DISPMANX_FLAGS_ALPHA_T flags;
  uint32_t opacity;
  DISPMANX_RESOURCE_HANDLE_T mask;
} VC_DISPMANX_ALPHA_T;

typedef struct DISPMANX_CLAMP_T DISPMANX_CLAMP_T;

typedef struct {
  DISPMANX_ELEMENT_HANDLE_T element;
  int width;
  int height;
} EGL_DISPMANX_WINDOW_T;

void bcm_host_init(void);
void bcm_host_deinit(void);
int32_t graphics_get_display_size(const uint16_t display_number, uint32_t* width, uint32_t* height);

DISPMANX_DISPLAY_HANDLE_T vc_dispmanx_display_open(uint32_t device);
DISPMANX_UPDATE_HANDLE_T vc_dispmanx_update_start(int32_t priority);
DISPMANX_ELEMENT_HANDLE_T vc_dispmanx_element_add(
    DISPMANX_UPDATE_HANDLE_T update, DISPMANX_DISPLAY_HANDLE_T display, int32_t layer,
    const VC_RECT_T* dest_rect, DISPMANX_RESOURCE_HANDLE_T src, const VC_RECT_T* src_rect,
    DISPMANX_PROTECTION_T protection, VC_DISPMANX_ALPHA_T* alpha, DISPMANX_CLAMP_T* clamp,
    DISPMANX_TRANSFORM_T transform);
DISPMANX_RESOURCE_HANDLE_T vc_dispmanx_resource_create(VC_IMAGE_TYPE_T type, uint32_t width,
                                                       uint32_t height,
                                                       uint32_t* native_image_handle);
int vc_dispmanx_resource_write_data(DISPMANX_RESOURCE_HANDLE_T res, VC_IMAGE_TYPE_T src_type,
                                    int src_pitch, void* src_address, const VC_RECT_T* rect);
int vc_dispmanx_rect_set(VC_RECT_T* rect, uint32_t x_offset, uint32_t y_offset, uint32_t width,
                         uint32_t height);
int vc_dispmanx_update_submit_sync(DISPMANX_UPDATE_HANDLE_T update);
