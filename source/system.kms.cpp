// The KMS console native half: DRM/KMS scanout of a GBM surface of the mode's size.
// It reports the mode's size, and the EGL half scales the 1280x720 picture into it with
// black bars; each frame is shown by a page flip, so the show runs at the display's
// refresh. Whatever ends the process (a key, a signal, a failure's exit) gives the
// console back (give_console_back).
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <drm_fourcc.h>
#include <errno.h>
#include <fcntl.h>
#include <gbm.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include "display_mode.h"
#include "system_native.h"

static int drm_fd = -1;
static char drm_path[64];
static uint32_t connector_id, crtc_id;
static drmModeModeInfo mode;
static drmModeCrtc* saved_crtc;
static int crtc_taken;  // our framebuffer went on screen: the saved state must come back
static struct gbm_device* gbm;
static struct gbm_surface* surface;
static struct gbm_bo* front_bo;  // the buffer on screen, locked
static uint32_t front_fb;
static int flip_pending;
static int failure_reported;  // a flip that failed after start: said once
static int size_reported;     // the mode's size, told to the EGL half once
static long frames_shown;
static double first_shown;

static double now_seconds() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

// The first connected connector of a card, or NULL.
static drmModeConnector* connected_connector(int fd, drmModeRes* res) {
  for (int i = 0; i < res->count_connectors; i++) {
    drmModeConnector* c = drmModeGetConnector(fd, res->connectors[i]);
    if (c && c->connection == DRM_MODE_CONNECTED && c->count_modes > 0) return c;
    drmModeFreeConnector(c);
  }
  return NULL;
}

// Being the first to open a card makes a process master; otherwise ask, which only
// works while nobody else (a desktop) holds it.
static int become_master(int fd) {
  if (drmIsMaster(fd)) return 1;
  return drmSetMaster(fd) == 0;
}

// Opens `path` if it drives a connected output; fills `why` when it does not.
static int open_card(const char* path, char* why, size_t size) {
  int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    snprintf(why, size, "cannot open %s: %s", path, strerror(errno));
    return -1;
  }
  drmModeRes* res = drmModeGetResources(fd);
  drmModeConnector* c = res ? connected_connector(fd, res) : NULL;
  drmModeFreeResources(res);
  if (!c) {
    snprintf(why, size, "%s has no connected output", path);
    close(fd);
    return -1;
  }
  drmModeFreeConnector(c);
  return fd;
}

static int card_number(const char* path) {
  const char* digits = path + strcspn(path, "0123456789");
  return *digits ? atoi(digits) : 1 << 20;
}

static int by_card_number(const void* a, const void* b) {
  return card_number(*(const char* const*)a) - card_number(*(const char* const*)b);
}

// DGL_DRM_DEVICE, or the first card (in libdrm's list, by number) with a connected
// output: on a Pi 4 or 5 card0 can be the render-only v3d, the display being card1.
static int find_card(char* why, size_t size) {
  const char* named = getenv("DGL_DRM_DEVICE");
  if (named && *named) {
    snprintf(drm_path, sizeof drm_path, "%s", named);
    return open_card(drm_path, why, size);
  }
  snprintf(why, size, "no DRM card in /dev/dri");
  drmDevicePtr devices[32];
  int count = drmGetDevices2(0, devices, 32);
  if (count <= 0) return -1;
  const char* paths[32];
  int cards = 0;
  for (int i = 0; i < count && i < 32; i++)
    if (devices[i]->available_nodes & (1 << DRM_NODE_PRIMARY)) paths[cards++] = devices[i]->nodes[DRM_NODE_PRIMARY];
  qsort(paths, (size_t)cards, sizeof paths[0], by_card_number);
  int fd = -1;
  for (int i = 0; i < cards && fd < 0; i++) {
    fd = open_card(paths[i], why, size);
    if (fd >= 0) snprintf(drm_path, sizeof drm_path, "%s", paths[i]);
  }
  drmFreeDevices(devices, count < 32 ? count : 32);
  return fd;
}

int _dglKmsProbe(char* why, int size) {
  int fd = find_card(why, (size_t)size);
  if (fd < 0) return 0;
  int master = become_master(fd);
  if (!master)
    snprintf(why, (size_t)size, "%s is held by another DRM master (a desktop?)", drm_path);
  close(fd);
  return master;
}

// The mode to set (display_mode.cpp), from the connector's list and the card's limits.
static int choose_mode(drmModeRes* res, drmModeConnector* c) {
  DGL_DISPLAY_MODE modes[256];
  int count = c->count_modes < 256 ? c->count_modes : 256;
  for (int i = 0; i < count; i++)
    modes[i] = {c->modes[i].hdisplay, c->modes[i].vdisplay, c->modes[i].vrefresh,
                (c->modes[i].type & DRM_MODE_TYPE_PREFERRED) != 0};
  DGL_CARD_LIMITS limits = {res->min_width, res->max_width, res->min_height, res->max_height};
  char why[1200];
  int chosen = _dglChooseMode(modes, count, limits, getenv("DGL_MODE"), drm_path, why, sizeof why);
  if (chosen < 0) {
    fprintf(stderr, "kms: %s\n", why);
    return -1;
  }
  mode = c->modes[chosen];
  return 0;
}

// A CRTC for the connector: the one it drives now, else one its encoders can drive.
static uint32_t choose_crtc(drmModeRes* res, drmModeConnector* c) {
  if (c->encoder_id) {
    drmModeEncoder* e = drmModeGetEncoder(drm_fd, c->encoder_id);
    uint32_t id = e ? e->crtc_id : 0;
    drmModeFreeEncoder(e);
    if (id) return id;
  }
  for (int i = 0; i < c->count_encoders; i++) {
    drmModeEncoder* e = drmModeGetEncoder(drm_fd, c->encoders[i]);
    if (!e) continue;
    uint32_t possible = e->possible_crtcs;
    drmModeFreeEncoder(e);
    for (int j = 0; j < res->count_crtcs; j++)
      if (possible & (1u << j)) return res->crtcs[j];
  }
  return 0;
}

static void restore_crtc() {
  if (!crtc_taken) return;
  crtc_taken = 0;
  if (saved_crtc && saved_crtc->mode_valid)
    drmModeSetCrtc(drm_fd, saved_crtc->crtc_id, saved_crtc->buffer_id, saved_crtc->x,
                   saved_crtc->y, &connector_id, 1, &saved_crtc->mode);
  else
    drmModeSetCrtc(drm_fd, crtc_id, 0, 0, 0, NULL, 0, NULL);
}

// A test's fault: DGL_FAULT_DROP_FLIP_EVENTS=1 loses every flip's completion, as a display
// switched off or unplugged part-way does.
static int drop_flip_events;

static void on_flip(int, unsigned, unsigned, unsigned, void*) {
  if (!drop_flip_events) flip_pending = 0;
}

// A flip that has not completed in a second is given up, so a dead display cannot hang
// the show (the buffer may then be drawn while still shown). After one such flip the wait
// is a tenth of that: a key or the music's end then ends the show as quickly as ever.
static void wait_for_flip() {
  static int given_up;
  drmEventContext events = {};
  events.version = 2;
  events.page_flip_handler = on_flip;
  const int limit = given_up ? 100 : 1000;
  int waited = 0;
  while (flip_pending && waited < limit) {
    struct pollfd p = {drm_fd, POLLIN, 0};
    int ready = poll(&p, 1, 100);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0) drmHandleEvent(drm_fd, &events);
    else if (ready == 0) waited += 100;
  }
  if (flip_pending && !given_up++)
    fprintf(stderr, "kms: a page flip on %s did not complete within %d ms (the display switched off?); "
            "the show goes on without waiting for the display\n", drm_path, limit);
  flip_pending = 0;
}

// The one way back to the console's own picture: the flip in flight finishes first, then
// the saved CRTC state returns. Every exit comes here (dglShutDown, a failure's exit,
// and the buffer on screen going away with its surface).
static void give_console_back() {
  if (drm_fd < 0) return;
  if (flip_pending) wait_for_flip();
  restore_crtc();
}

// Runs when a buffer object goes (with its EGL surface at eglTerminate, or with the GBM
// surface): the console comes back before the framebuffer on screen is removed, since
// removing it would switch the display off.
static void destroy_framebuffer(struct gbm_bo* bo, void* data) {
  uint32_t fb = (uint32_t)(uintptr_t)data;
  if (fb == front_fb) {
    give_console_back();
    front_fb = 0;
  }
  if (bo == front_bo) front_bo = NULL;
  if (drm_fd >= 0) drmModeRmFB(drm_fd, fb);
}

// The buffer object's framebuffer, made at its first use and cached on it. The buffer
// is ARGB8888 for EGL and shown as XRGB8888: the display ignores the alpha.
static uint32_t framebuffer_for(struct gbm_bo* bo) {
  void* cached = gbm_bo_get_user_data(bo);
  if (cached) return (uint32_t)(uintptr_t)cached;
  uint32_t handles[4] = {gbm_bo_get_handle(bo).u32}, pitches[4] = {gbm_bo_get_stride(bo)};
  uint32_t offsets[4] = {0}, fb = 0;
  if (drmModeAddFB2(drm_fd, gbm_bo_get_width(bo), gbm_bo_get_height(bo), DRM_FORMAT_XRGB8888,
                    handles, pitches, offsets, &fb, 0) != 0)
    return 0;
  gbm_bo_set_user_data(bo, (void*)(uintptr_t)fb, destroy_framebuffer);
  return fb;
}

// Shows the buffer EGL just finished: a mode set the first time, a page flip after. A
// failure at start fails dglInit; after it, one line says so and the show goes on (the
// picture stays as it was, the music and every way to end the show work as before).
static int scan_out() {
  struct gbm_bo* bo = gbm_surface_lock_front_buffer(surface);
  if (!bo) {
    if (crtc_taken && !failure_reported++)
      fprintf(stderr, "kms: %s: EGL gave no buffer to show; the picture stays as it was\n", drm_path);
    return -1;
  }
  uint32_t fb = framebuffer_for(bo);
  int shown = -1;
  if (fb && !crtc_taken) {
    shown = drmModeSetCrtc(drm_fd, crtc_id, fb, 0, 0, &connector_id, 1, &mode);
    if (shown == 0) {
      crtc_taken = 1;
      frames_shown = 0;
      first_shown = now_seconds();
    } else fprintf(stderr, "kms: cannot set %ux%u on %s: %s\n", mode.hdisplay, mode.vdisplay,
                 drm_path, strerror(errno));
  } else if (fb) {
    shown = drmModePageFlip(drm_fd, crtc_id, fb, DRM_MODE_PAGE_FLIP_EVENT, NULL);
    if (shown == 0) {
      flip_pending = 1;
      wait_for_flip();
    } else if (!failure_reported++) {
      fprintf(stderr, "kms: page flip on %s failed: %s; the picture stays as it was\n", drm_path,
              strerror(errno));
    }
  } else if (crtc_taken && !failure_reported++) {
    fprintf(stderr, "kms: %s refused a framebuffer for a %ux%u buffer: %s; the picture stays as it was\n",
            drm_path, mode.hdisplay, mode.vdisplay, strerror(errno));
  }
  if (shown != 0) {
    gbm_surface_release_buffer(surface, bo);
    return -1;
  }
  if (front_bo) gbm_surface_release_buffer(surface, front_bo);
  front_bo = bo;
  front_fb = fb;
  frames_shown++;
  return 0;
}

// A failure's exit (return -1 from main) never reaches dglShutDown.
static void restore_at_exit() { give_console_back(); }

static void kms_destroy_window() {
  if (drm_fd < 0) return;
  give_console_back();
  // What the display kept up with, for anyone tuning a board.
  double seconds = now_seconds() - first_shown;
  if (frames_shown > 1 && seconds > 0)
    fprintf(stderr, "kms: %ld frames in %.1f s (%.1f fps) at %ux%u@%u on %s\n", frames_shown,
            seconds, (double)(frames_shown - 1) / seconds, mode.hdisplay, mode.vdisplay,
            mode.vrefresh, drm_path);
  frames_shown = 0;
  if (front_bo && surface) gbm_surface_release_buffer(surface, front_bo);
  front_bo = NULL;
  front_fb = 0;
  if (surface) gbm_surface_destroy(surface);
  surface = NULL;
  if (gbm) gbm_device_destroy(gbm);
  gbm = NULL;
  drmModeFreeCrtc(saved_crtc);
  saved_crtc = NULL;
  drmDropMaster(drm_fd);
  close(drm_fd);
  drm_fd = -1;
}

static int kms_create_window(int width, int height, void** native_window, void** native_display) {
  (void)width;
  (void)height;
  failure_reported = 0;
  size_reported = 0;
  const char* fault = getenv("DGL_FAULT_DROP_FLIP_EVENTS");
  drop_flip_events = fault && !strcmp(fault, "1");
  char why[256];
  drm_fd = find_card(why, sizeof why);
  if (drm_fd < 0) {
    fprintf(stderr, "kms: %s\n", why);
    return -1;
  }
  if (!become_master(drm_fd)) {
    fprintf(stderr, "kms: %s: not DRM master, another program (a desktop?) holds the display\n",
            drm_path);
    close(drm_fd);
    drm_fd = -1;
    return -1;
  }
  drmModeRes* res = drmModeGetResources(drm_fd);
  drmModeConnector* c = res ? connected_connector(drm_fd, res) : NULL;
  int ok = c && choose_mode(res, c) == 0;
  if (ok) {
    connector_id = c->connector_id;
    crtc_id = choose_crtc(res, c);
    if (!crtc_id) fprintf(stderr, "kms: %s: no CRTC can drive connector %u\n", drm_path, connector_id);
    ok = crtc_id != 0;
  }
  drmModeFreeConnector(c);
  drmModeFreeResources(res);
  if (ok) {
    saved_crtc = drmModeGetCrtc(drm_fd, crtc_id);
    gbm = gbm_create_device(drm_fd);
    // ARGB so that the designed 32-bit colour request matches (Mesa counts XRGB as 24).
    if (gbm)
      surface = gbm_surface_create(gbm, mode.hdisplay, mode.vdisplay, GBM_FORMAT_ARGB8888,
                                   GBM_BO_USE_SCANOUT | GBM_BO_USE_RENDERING);
    if (!surface) fprintf(stderr, "kms: %s: cannot make a GBM surface of %ux%u\n", drm_path,
                          mode.hdisplay, mode.vdisplay);
    ok = surface != NULL;
  }
  if (!ok) {
    kms_destroy_window();
    return -1;
  }

  static int exit_hook;
  if (!exit_hook) atexit(restore_at_exit);
  exit_hook = 1;

  *native_window = surface;
  *native_display = gbm;
  return 0;
}

static EGLDisplay kms_get_display(void* native_display) {
  return eglGetPlatformDisplay(EGL_PLATFORM_GBM_KHR, native_display, NULL);
}

static EGLint kms_native_visual() { return GBM_FORMAT_ARGB8888; }

static EGLSurface kms_create_surface(EGLDisplay display, EGLConfig config, void* native_window) {
  return eglCreatePlatformWindowSurface(display, config, native_window, NULL);
}

// The first frame shown sets the mode; a display that refuses it fails dglInit rather
// than leaving the show running unseen.
static int kms_after_swap() { return scan_out(); }

static int kms_output_size_changed(int* width, int* height) {
  if (size_reported) return 0;
  size_reported = 1;
  *width = mode.hdisplay;
  *height = mode.vdisplay;
  return 1;
}

extern const DGL_NATIVE_BACKEND dgl_backend_kms = {
    .name = "kms",
    .create_window = kms_create_window,
    .destroy_window = kms_destroy_window,
    .get_display = kms_get_display,
    .surface_type = EGL_WINDOW_BIT,
    .extra_config_attributes = NULL,
    .native_visual = kms_native_visual,
    .create_surface = kms_create_surface,
    .output_size_changed = kms_output_size_changed,
    .after_swap = kms_after_swap,
    .watched = 1,
    .poll_window = NULL,
};
