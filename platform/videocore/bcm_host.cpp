#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "bcm_host.h"
#include "vc_record.h"

static std::vector<std::string> calls;
static uint32_t disp_w = 1920, disp_h = 1080;
static int32_t disp_result = 0;
static uint32_t next_handle = 1;

static void record(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void record(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  calls.push_back(line);
}

static std::string rect(const VC_RECT_T* r) {
  if (!r) return "null";
  char s[96];
  snprintf(s, sizeof(s), "(%d,%d,%d,%d)", r->x, r->y, r->width, r->height);
  return s;
}

const std::vector<std::string>& vc_record_calls() { return calls; }

void vc_record_reset(uint32_t w, uint32_t h, int32_t result) {
  calls.clear();
  disp_w = w;
  disp_h = h;
  disp_result = result;
  next_handle = 1;
}

void bcm_host_init(void) { record("bcm_host_init"); }
void bcm_host_deinit(void) { record("bcm_host_deinit"); }

int32_t graphics_get_display_size(const uint16_t display_number, uint32_t* width, uint32_t* height) {
  record("graphics_get_display_size %u", display_number);
  if (disp_result >= 0) {
    *width = disp_w;
    *height = disp_h;
  }
  return disp_result;
}

DISPMANX_DISPLAY_HANDLE_T vc_dispmanx_display_open(uint32_t device) {
  record("display_open %u", device);
  return next_handle++;
}

DISPMANX_UPDATE_HANDLE_T vc_dispmanx_update_start(int32_t priority) {
  record("update_start %d", priority);
  return next_handle++;
}

DISPMANX_ELEMENT_HANDLE_T vc_dispmanx_element_add(
    DISPMANX_UPDATE_HANDLE_T update, DISPMANX_DISPLAY_HANDLE_T display, int32_t layer,
    const VC_RECT_T* dest_rect, DISPMANX_RESOURCE_HANDLE_T src, const VC_RECT_T* src_rect,
    DISPMANX_PROTECTION_T protection, VC_DISPMANX_ALPHA_T* alpha, DISPMANX_CLAMP_T* clamp,
    DISPMANX_TRANSFORM_T transform) {
  DISPMANX_ELEMENT_HANDLE_T handle = next_handle++;
  record("element_add update=%u display=%u layer=%d dest=%s src=%u src_rect=%s protection=%u "
         "alpha=%d/%u/%u clamp=%s transform=%d -> %u",
         update, display, layer, rect(dest_rect).c_str(), src, rect(src_rect).c_str(), protection,
         alpha ? (int)alpha->flags : -1, alpha ? alpha->opacity : 0, alpha ? alpha->mask : 0,
         clamp ? "set" : "null", (int)transform, handle);
  return handle;
}

DISPMANX_RESOURCE_HANDLE_T vc_dispmanx_resource_create(VC_IMAGE_TYPE_T type, uint32_t width,
                                                       uint32_t height, uint32_t* native_image_handle) {
  DISPMANX_RESOURCE_HANDLE_T handle = next_handle++;
  record("resource_create type=%d %ux%u image_handle=%u -> %u", (int)type, width, height,
         native_image_handle ? *native_image_handle : 0xffffffffu, handle);
  return handle;
}

int vc_dispmanx_resource_write_data(DISPMANX_RESOURCE_HANDLE_T res, VC_IMAGE_TYPE_T src_type,
                                    int src_pitch, void* src_address, const VC_RECT_T* r) {
  uint32_t pixel = 0xffffffffu;
  if (src_address) memcpy(&pixel, src_address, 4);
  record("resource_write_data res=%u type=%d pitch=%d pixel=0x%08x rect=%s", res, (int)src_type,
         src_pitch, pixel, rect(r).c_str());
  return 0;
}

int vc_dispmanx_rect_set(VC_RECT_T* r, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
  r->x = (int32_t)x;
  r->y = (int32_t)y;
  r->width = (int32_t)w;
  r->height = (int32_t)h;
  return 0;
}

int vc_dispmanx_update_submit_sync(DISPMANX_UPDATE_HANDLE_T update) {
  record("update_submit_sync %u", update);
  return 0;
}
