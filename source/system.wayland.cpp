// The Wayland native half: a full-screen xdg-shell window on one output (or DGL_WINDOW=WxH,
// a resizable one), EGL on a wl_egl_window. The compositor scales the 1280x720 picture into
// the fit rectangle through a viewport; without one, the half reports its buffer's size and
// the EGL half scales into it with black bars, the buffer having the output's own pixels on
// a scaled (HiDPI) output, so the picture is as sharp as on an unscaled one. No pointer
// over the show, idle inhibited, no decorations; a key or the compositor's close request
// ends the show. Swaps never block: Mesa's eglSwapBuffers with interval 1 waits for a frame
// callback that a hidden window never gets, so the interval is 0 and the frame callback is
// awaited here, for at most a few tens of milliseconds, with the events dispatched meanwhile.
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>
#include <wayland-egl.h>

#include "fit.h"
#include "idle-inhibit-unstable-v1-client-protocol.h"
#include "presentation-time-client-protocol.h"
#include "system_native.h"
#include "viewporter-client-protocol.h"
#include "xdg-decoration-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

// The frame callback is waited for this long at most: a hidden window gets none.
static const int kFrameWaitMs = 40;

struct WL_OUTPUT_INFO {
  struct wl_output* output;
  struct zxdg_output_v1* xdg_output;
  uint32_t global_name;
  char name[64];
  int mode_width, mode_height, scale;
  int refresh_mhz;
};

static struct wl_display* wl_display_;
static struct wl_registry* wl_registry_;
static struct wl_compositor* wl_compositor_;
static struct xdg_wm_base* wl_wm_base;
static struct wl_seat* wl_seat_;
static struct wl_keyboard* wl_keyboard_;
static struct wl_pointer* wl_pointer_;
static struct wp_viewporter* wl_viewporter;
static struct wp_presentation* wl_presentation;
static struct zwp_idle_inhibit_manager_v1* wl_idle_manager;
static struct zxdg_decoration_manager_v1* wl_decoration_manager;
static struct zxdg_output_manager_v1* wl_xdg_output_manager;
static WL_OUTPUT_INFO wl_outputs[8];
static int wl_output_count;

static struct wl_surface* wl_surface_;
static struct xdg_surface* wl_xdg_surface;
static struct xdg_toplevel* wl_toplevel;
static struct zxdg_toplevel_decoration_v1* wl_decoration;
static struct zwp_idle_inhibitor_v1* wl_inhibitor;
static struct wl_egl_window* wl_egl_window_;
static struct wl_callback* wl_frame_callback;
static struct wp_viewport* wl_viewport;

// Where the compositor offers wp_viewporter, the 1280x720 buffer goes to it as it is, with
// the fit rectangle as its viewport's destination, and the compositor scales it while it
// composites anyway (on a board whose compositor scans the surface out directly, the display
// hardware does); a full-screen surface smaller than its output is centred on black. That
// saves the present pass: measured on sway headless with llvmpipe, 46.7 against 21.8 frames
// a second at 1920x1080. Without the viewporter, or with DGL_WAYLAND_SCALE=gl, present.cpp
// scales into a buffer of the output's own pixels.
static int wl_compositor_scales;
static int wl_show_width, wl_show_height;  // the picture's own size: 1280x720
static int wl_full;                  // full screen, not DGL_WINDOW
static int wl_configured;            // the first configure has come
static int wl_pending_width, wl_pending_height;  // from the toplevel's last configure
static int wl_width, wl_height;      // the surface, logical pixels
static int wl_scale = 1;             // the buffer scale: the output's
static int wl_buffer_width, wl_buffer_height;
static int wl_size_changed;
static int wl_pending_key;
static int wl_swap_interval_set;
static WL_OUTPUT_INFO* wl_on_output;  // where the surface is shown
static WL_OUTPUT_INFO* wl_wanted;     // DGL_MONITOR's, or NULL for the compositor's choice

// Frames drawn and the compositor's frame callbacks (which pace the show); presented frames
// against the output's refresh cycles where it reports presentation. For the end's report.
static long wl_swaps, wl_callbacks;
static double wl_first_swap, wl_last_swap;
static long wl_presented, wl_discarded;
static uint32_t wl_refresh_ns;
static uint64_t wl_first_msc, wl_last_msc;
static double wl_first_time, wl_last_time;

// --- event plumbing --------------------------------------------------------------

// Dispatches what has come, waiting up to `timeout_ms` for more; -1 once the connection
// is gone.
static int pump(int timeout_ms) {
  while (wl_display_prepare_read(wl_display_) != 0)
    if (wl_display_dispatch_pending(wl_display_) < 0) return -1;
  wl_display_flush(wl_display_);
  struct pollfd p = {wl_display_get_fd(wl_display_), POLLIN, 0};
  int ready = poll(&p, 1, timeout_ms);
  if (ready > 0) {
    if (wl_display_read_events(wl_display_) < 0) return -1;
  } else {
    wl_display_cancel_read(wl_display_);
    if (ready < 0 && errno != EINTR) return -1;
  }
  return wl_display_dispatch_pending(wl_display_) < 0 ? -1 : 0;
}

static double now_seconds() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

// --- outputs -----------------------------------------------------------------------

static void output_geometry(void*, struct wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t,
                            const char*, const char*, int32_t) {}
static void output_mode(void* data, struct wl_output*, uint32_t flags, int32_t width, int32_t height,
                        int32_t refresh) {
  WL_OUTPUT_INFO* o = (WL_OUTPUT_INFO*)data;
  if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
  o->mode_width = width;
  o->mode_height = height;
  o->refresh_mhz = refresh;
}
static void output_done(void*, struct wl_output*) {}
static void output_scale(void* data, struct wl_output*, int32_t factor) {
  WL_OUTPUT_INFO* o = (WL_OUTPUT_INFO*)data;
  o->scale = factor > 0 ? factor : 1;
  if (o == wl_on_output && o->scale != wl_scale) wl_size_changed = 1;
}
static void output_name(void* data, struct wl_output*, const char* name) {
  snprintf(((WL_OUTPUT_INFO*)data)->name, sizeof(((WL_OUTPUT_INFO*)data)->name), "%s", name);
}
static void output_description(void*, struct wl_output*, const char*) {}
static const struct wl_output_listener output_listener = {
    .geometry = output_geometry,
    .mode = output_mode,
    .done = output_done,
    .scale = output_scale,
    .name = output_name,
    .description = output_description,
};

// Compositors older than wl_output 4 name their outputs through xdg-output.
static void xdg_output_position(void*, struct zxdg_output_v1*, int32_t, int32_t) {}
static void xdg_output_size(void*, struct zxdg_output_v1*, int32_t, int32_t) {}
static void xdg_output_done(void*, struct zxdg_output_v1*) {}
static void xdg_output_name(void* data, struct zxdg_output_v1*, const char* name) {
  WL_OUTPUT_INFO* o = (WL_OUTPUT_INFO*)data;
  if (!o->name[0]) snprintf(o->name, sizeof o->name, "%s", name);
}
static void xdg_output_description(void*, struct zxdg_output_v1*, const char*) {}
static const struct zxdg_output_v1_listener xdg_output_listener = {
    .logical_position = xdg_output_position,
    .logical_size = xdg_output_size,
    .done = xdg_output_done,
    .name = xdg_output_name,
    .description = xdg_output_description,
};

// --- input -------------------------------------------------------------------------

static void keyboard_keymap(void*, struct wl_keyboard*, uint32_t, int32_t fd, uint32_t) { close(fd); }
static void keyboard_enter(void*, struct wl_keyboard*, uint32_t, struct wl_surface*, struct wl_array*) {}
static void keyboard_leave(void*, struct wl_keyboard*, uint32_t, struct wl_surface*) {}
static void keyboard_key(void*, struct wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t state) {
  if (state == WL_KEYBOARD_KEY_STATE_PRESSED) wl_pending_key = 1;
}
static void keyboard_modifiers(void*, struct wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {}
static void keyboard_repeat(void*, struct wl_keyboard*, int32_t, int32_t) {}
static const struct wl_keyboard_listener keyboard_listener = {
    .keymap = keyboard_keymap,
    .enter = keyboard_enter,
    .leave = keyboard_leave,
    .key = keyboard_key,
    .modifiers = keyboard_modifiers,
    .repeat_info = keyboard_repeat,
};

// Over the full-screen show the pointer shows nothing.
static void pointer_enter(void*, struct wl_pointer* pointer, uint32_t serial, struct wl_surface*, wl_fixed_t,
                          wl_fixed_t) {
  if (wl_full) wl_pointer_set_cursor(pointer, serial, NULL, 0, 0);
}
static void pointer_leave(void*, struct wl_pointer*, uint32_t, struct wl_surface*) {}
static void pointer_motion(void*, struct wl_pointer*, uint32_t, wl_fixed_t, wl_fixed_t) {}
static void pointer_button(void*, struct wl_pointer*, uint32_t, uint32_t, uint32_t, uint32_t) {}
static void pointer_axis(void*, struct wl_pointer*, uint32_t, uint32_t, wl_fixed_t) {}
static void pointer_frame(void*, struct wl_pointer*) {}
static void pointer_axis_source(void*, struct wl_pointer*, uint32_t) {}
static void pointer_axis_stop(void*, struct wl_pointer*, uint32_t, uint32_t) {}
static void pointer_axis_discrete(void*, struct wl_pointer*, uint32_t, int32_t) {}
static void pointer_axis_value120(void*, struct wl_pointer*, uint32_t, int32_t) {}
static const struct wl_pointer_listener pointer_listener = {
    .enter = pointer_enter,
    .leave = pointer_leave,
    .motion = pointer_motion,
    .button = pointer_button,
    .axis = pointer_axis,
    .frame = pointer_frame,
    .axis_source = pointer_axis_source,
    .axis_stop = pointer_axis_stop,
    .axis_discrete = pointer_axis_discrete,
    .axis_value120 = pointer_axis_value120,
};

static void seat_capabilities(void*, struct wl_seat* seat, uint32_t caps) {
  if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) && !wl_keyboard_) {
    wl_keyboard_ = wl_seat_get_keyboard(seat);
    wl_keyboard_add_listener(wl_keyboard_, &keyboard_listener, NULL);
  }
  if ((caps & WL_SEAT_CAPABILITY_POINTER) && !wl_pointer_) {
    wl_pointer_ = wl_seat_get_pointer(seat);
    wl_pointer_add_listener(wl_pointer_, &pointer_listener, NULL);
  }
}
static void seat_name(void*, struct wl_seat*, const char*) {}
static const struct wl_seat_listener seat_listener = {.capabilities = seat_capabilities, .name = seat_name};

// --- globals -----------------------------------------------------------------------

static void wm_base_ping(void*, struct xdg_wm_base* base, uint32_t serial) { xdg_wm_base_pong(base, serial); }
static const struct xdg_wm_base_listener wm_base_listener = {.ping = wm_base_ping};

static void presentation_clock(void*, struct wp_presentation*, uint32_t) {}
static const struct wp_presentation_listener presentation_listener = {.clock_id = presentation_clock};

static uint32_t at_most(uint32_t offered, uint32_t wanted) { return offered < wanted ? offered : wanted; }

static void add_xdg_output(WL_OUTPUT_INFO* o) {
  if (!wl_xdg_output_manager || o->xdg_output) return;
  o->xdg_output = zxdg_output_manager_v1_get_xdg_output(wl_xdg_output_manager, o->output);
  zxdg_output_v1_add_listener(o->xdg_output, &xdg_output_listener, o);
}

static void registry_global(void*, struct wl_registry* registry, uint32_t name, const char* interface,
                            uint32_t version) {
  if (!strcmp(interface, wl_compositor_interface.name)) {
    wl_compositor_ = (struct wl_compositor*)wl_registry_bind(registry, name, &wl_compositor_interface, at_most(version, 4));
  } else if (!strcmp(interface, xdg_wm_base_interface.name)) {
    wl_wm_base = (struct xdg_wm_base*)wl_registry_bind(registry, name, &xdg_wm_base_interface, at_most(version, 2));
    xdg_wm_base_add_listener(wl_wm_base, &wm_base_listener, NULL);
  } else if (!strcmp(interface, wl_seat_interface.name) && !wl_seat_) {
    wl_seat_ = (struct wl_seat*)wl_registry_bind(registry, name, &wl_seat_interface, at_most(version, 5));
    wl_seat_add_listener(wl_seat_, &seat_listener, NULL);
  } else if (!strcmp(interface, wl_output_interface.name) && wl_output_count < 8) {
    WL_OUTPUT_INFO* o = &wl_outputs[wl_output_count++];
    *o = {};
    o->global_name = name;
    o->scale = 1;
    o->output = (struct wl_output*)wl_registry_bind(registry, name, &wl_output_interface, at_most(version, 4));
    wl_output_add_listener(o->output, &output_listener, o);
    add_xdg_output(o);
  } else if (!strcmp(interface, wp_viewporter_interface.name)) {
    wl_viewporter = (struct wp_viewporter*)wl_registry_bind(registry, name, &wp_viewporter_interface, 1);
  } else if (!strcmp(interface, wp_presentation_interface.name)) {
    wl_presentation = (struct wp_presentation*)wl_registry_bind(registry, name, &wp_presentation_interface, 1);
    wp_presentation_add_listener(wl_presentation, &presentation_listener, NULL);
  } else if (!strcmp(interface, zwp_idle_inhibit_manager_v1_interface.name)) {
    wl_idle_manager = (struct zwp_idle_inhibit_manager_v1*)wl_registry_bind(
        registry, name, &zwp_idle_inhibit_manager_v1_interface, 1);
  } else if (!strcmp(interface, zxdg_decoration_manager_v1_interface.name)) {
    wl_decoration_manager = (struct zxdg_decoration_manager_v1*)wl_registry_bind(
        registry, name, &zxdg_decoration_manager_v1_interface, 1);
  } else if (!strcmp(interface, zxdg_output_manager_v1_interface.name)) {
    wl_xdg_output_manager = (struct zxdg_output_manager_v1*)wl_registry_bind(
        registry, name, &zxdg_output_manager_v1_interface, at_most(version, 3));
    for (int i = 0; i < wl_output_count; i++) add_xdg_output(&wl_outputs[i]);
  }
}

static void registry_remove(void*, struct wl_registry*, uint32_t name) {
  for (int i = 0; i < wl_output_count; i++)
    if (wl_outputs[i].global_name == name && &wl_outputs[i] == wl_on_output) wl_on_output = NULL;
}
static const struct wl_registry_listener registry_listener = {.global = registry_global,
                                                              .global_remove = registry_remove};

// --- the window --------------------------------------------------------------------

static void surface_enter(void*, struct wl_surface*, struct wl_output* output) {
  for (int i = 0; i < wl_output_count; i++)
    if (wl_outputs[i].output == output) {
      wl_on_output = &wl_outputs[i];
      if (wl_outputs[i].scale != wl_scale) wl_size_changed = 1;
    }
}
static void surface_leave(void*, struct wl_surface*, struct wl_output*) {}
static const struct wl_surface_listener surface_listener = {.enter = surface_enter, .leave = surface_leave};

static void toplevel_configure(void*, struct xdg_toplevel*, int32_t width, int32_t height, struct wl_array*) {
  wl_pending_width = width;
  wl_pending_height = height;
}
static void toplevel_close(void*, struct xdg_toplevel*) { wl_pending_key = 1; }
static void toplevel_bounds(void*, struct xdg_toplevel*, int32_t, int32_t) {}
static void toplevel_capabilities(void*, struct xdg_toplevel*, struct wl_array*) {}
static const struct xdg_toplevel_listener toplevel_listener = {
    .configure = toplevel_configure,
    .close = toplevel_close,
    .configure_bounds = toplevel_bounds,
    .wm_capabilities = toplevel_capabilities,
};

// Each configure gives the surface its size; 0x0 leaves the choice to us (the first one,
// before full screen takes effect on some compositors): the output's size, else what we had.
static void xdg_surface_configure(void*, struct xdg_surface* surface, uint32_t serial) {
  xdg_surface_ack_configure(surface, serial);
  int width = wl_pending_width, height = wl_pending_height;
  if (width <= 0 || height <= 0) {
    WL_OUTPUT_INFO* o = wl_wanted ? wl_wanted : wl_on_output ? wl_on_output : wl_output_count ? &wl_outputs[0] : NULL;
    if (wl_full && o && o->mode_width > 0) {
      width = o->mode_width / o->scale;
      height = o->mode_height / o->scale;
    } else {
      width = wl_width;
      height = wl_height;
    }
  }
  if (width != wl_width || height != wl_height) wl_size_changed = 1;
  wl_width = width;
  wl_height = height;
  wl_configured = 1;
}
static const struct xdg_surface_listener xdg_surface_listener = {.configure = xdg_surface_configure};

// The buffer follows the surface's size and its output's scale; or, where the compositor
// scales, the buffer stays the picture's and the viewport takes the fit rectangle.
static void apply_size() {
  if (wl_compositor_scales) {
    DGL_RECT fit = _dglFitRectangle(wl_show_width, wl_show_height, (unsigned)wl_width, (unsigned)wl_height);
    wp_viewport_set_destination(wl_viewport, fit.width > 0 ? fit.width : 1, fit.height > 0 ? fit.height : 1);
    wl_buffer_width = wl_show_width;
    wl_buffer_height = wl_show_height;
    return;
  }
  int scale = wl_on_output ? wl_on_output->scale : 1;
  if (scale != wl_scale) {
    wl_scale = scale;
    wl_surface_set_buffer_scale(wl_surface_, wl_scale);
  }
  wl_buffer_width = wl_width * wl_scale;
  wl_buffer_height = wl_height * wl_scale;
  if (wl_egl_window_) wl_egl_window_resize(wl_egl_window_, wl_buffer_width, wl_buffer_height, 0, 0);
}

static void release_all() {
  if (wl_frame_callback) wl_callback_destroy(wl_frame_callback);
  wl_frame_callback = NULL;
  if (wl_viewport) wp_viewport_destroy(wl_viewport);
  wl_viewport = NULL;
  if (wl_egl_window_) wl_egl_window_destroy(wl_egl_window_);
  wl_egl_window_ = NULL;
  if (wl_inhibitor) zwp_idle_inhibitor_v1_destroy(wl_inhibitor);
  wl_inhibitor = NULL;
  if (wl_decoration) zxdg_toplevel_decoration_v1_destroy(wl_decoration);
  wl_decoration = NULL;
  if (wl_toplevel) xdg_toplevel_destroy(wl_toplevel);
  wl_toplevel = NULL;
  if (wl_xdg_surface) xdg_surface_destroy(wl_xdg_surface);
  wl_xdg_surface = NULL;
  if (wl_surface_) wl_surface_destroy(wl_surface_);
  wl_surface_ = NULL;
  if (wl_display_) wl_display_disconnect(wl_display_);  // every other proxy goes with it
  wl_display_ = NULL;
  wl_registry_ = NULL;
  wl_compositor_ = NULL;
  wl_wm_base = NULL;
  wl_seat_ = NULL;
  wl_keyboard_ = NULL;
  wl_pointer_ = NULL;
  wl_viewporter = NULL;
  wl_presentation = NULL;
  wl_idle_manager = NULL;
  wl_decoration_manager = NULL;
  wl_xdg_output_manager = NULL;
  wl_output_count = 0;
  wl_on_output = wl_wanted = NULL;
}

// Connects and learns the compositor's globals and outputs; `why` says what is missing.
static int connect_compositor(char* why, int size) {
  wl_display_ = wl_display_connect(NULL);
  if (!wl_display_) {
    const char* name = getenv("WAYLAND_DISPLAY");
    snprintf(why, (size_t)size, "cannot connect to the Wayland compositor \"%s\"", name ? name : "wayland-0");
    return -1;
  }
  wl_registry_ = wl_display_get_registry(wl_display_);
  wl_registry_add_listener(wl_registry_, &registry_listener, NULL);
  // The globals, then what the bound ones tell (outputs' names, modes and scales).
  if (wl_display_roundtrip(wl_display_) < 0 || wl_display_roundtrip(wl_display_) < 0) {
    snprintf(why, (size_t)size, "the Wayland compositor closed the connection");
    return -1;
  }
  if (!wl_compositor_ || !wl_wm_base) {
    snprintf(why, (size_t)size, "the Wayland compositor offers no %s", !wl_compositor_ ? "wl_compositor" : "xdg_wm_base (xdg-shell)");
    return -1;
  }
  return 0;
}

int _dglWaylandProbe(char* why, int size) {
  int ok = connect_compositor(why, size) == 0;
  release_all();
  return ok;
}

static void output_names(char* list, size_t size) {
  list[0] = 0;
  for (int i = 0; i < wl_output_count; i++)
    snprintf(list + strlen(list), size - strlen(list), "%s%s", i ? ", " : "",
             wl_outputs[i].name[0] ? wl_outputs[i].name : "?");
}

static int wayland_create_window(int width, int height, void** native_window, void** native_display) {
  char why[256];
  wl_pending_key = wl_configured = wl_swap_interval_set = 0;
  wl_pending_width = wl_pending_height = 0;
  wl_presented = wl_discarded = 0;
  wl_swaps = wl_callbacks = 0;
  wl_refresh_ns = 0;
  wl_first_msc = wl_last_msc = 0;
  if (connect_compositor(why, sizeof why) != 0) {
    fprintf(stderr, "dglInit: %s\n", why);
    release_all();
    return -1;
  }
  const char* want = getenv("DGL_MONITOR");
  if (want && *want) {
    for (int i = 0; i < wl_output_count && !wl_wanted; i++)
      if (!strcmp(wl_outputs[i].name, want)) wl_wanted = &wl_outputs[i];
    if (!wl_wanted) {
      char list[256];
      output_names(list, sizeof list);
      fprintf(stderr, "dglInit: DGL_MONITOR=%s: no such output (this compositor has: %s)\n", want,
              wl_output_count ? list : "no outputs");
      release_all();
      return -1;
    }
  }
  const char* window = getenv("DGL_WINDOW");
  int window_width = 0, window_height = 0;
  wl_full = !(window && sscanf(window, "%dx%d", &window_width, &window_height) == 2 && window_width > 0 &&
              window_height > 0);
  wl_width = wl_full ? width : window_width;
  wl_height = wl_full ? height : window_height;
  wl_scale = 1;
  wl_on_output = wl_wanted;
  wl_show_width = width;
  wl_show_height = height;
  const char* scaler = getenv("DGL_WAYLAND_SCALE");
  wl_compositor_scales = wl_viewporter && !(scaler && !strcmp(scaler, "gl"));

  wl_surface_ = wl_compositor_create_surface(wl_compositor_);
  wl_surface_add_listener(wl_surface_, &surface_listener, NULL);
  wl_xdg_surface = xdg_wm_base_get_xdg_surface(wl_wm_base, wl_surface_);
  xdg_surface_add_listener(wl_xdg_surface, &xdg_surface_listener, NULL);
  if (wl_compositor_scales) wl_viewport = wp_viewporter_get_viewport(wl_viewporter, wl_surface_);
  wl_toplevel = xdg_surface_get_toplevel(wl_xdg_surface);
  xdg_toplevel_add_listener(wl_toplevel, &toplevel_listener, NULL);
  xdg_toplevel_set_title(wl_toplevel, "quorvelt");
  xdg_toplevel_set_app_id(wl_toplevel, "quorvelt");
  if (wl_decoration_manager) {
    // Full screen shows nothing but the show; a window gets the compositor's frame.
    wl_decoration = zxdg_decoration_manager_v1_get_toplevel_decoration(wl_decoration_manager, wl_toplevel);
    zxdg_toplevel_decoration_v1_set_mode(wl_decoration, wl_full ? ZXDG_TOPLEVEL_DECORATION_V1_MODE_CLIENT_SIDE
                                                                : ZXDG_TOPLEVEL_DECORATION_V1_MODE_SERVER_SIDE);
  }
  if (wl_full) xdg_toplevel_set_fullscreen(wl_toplevel, wl_wanted ? wl_wanted->output : NULL);
  if (wl_idle_manager) wl_inhibitor = zwp_idle_inhibit_manager_v1_create_inhibitor(wl_idle_manager, wl_surface_);
  wl_surface_commit(wl_surface_);
  // The first configure, before anything is drawn.
  for (double end = now_seconds() + 10; !wl_configured && now_seconds() < end;)
    if (pump(100) < 0) break;
  if (!wl_configured) {
    fprintf(stderr, "dglInit: the Wayland compositor never configured the window\n");
    release_all();
    return -1;
  }
  apply_size();
  wl_size_changed = 1;
  wl_egl_window_ = wl_egl_window_create(wl_surface_, wl_buffer_width, wl_buffer_height);
  if (!wl_egl_window_) {
    fprintf(stderr, "dglInit: wl_egl_window_create failed for %dx%d\n", wl_buffer_width, wl_buffer_height);
    release_all();
    return -1;
  }
  *native_window = wl_egl_window_;
  *native_display = wl_display_;
  return 0;
}

static void wayland_destroy_window() {
  if (!wl_display_) return;
  // What the compositor kept up with, for anyone tuning a board.
  const double seconds = wl_last_swap - wl_first_swap;
  if (wl_swaps > 1 && seconds > 0) {
    char presentation[160] = "";
    if (wl_presented > 1) {
      // The output's counter where it has one; a virtual output's refresh period otherwise.
      long cycles = (long)(wl_last_msc - wl_first_msc) + 1;
      if (wl_last_msc == wl_first_msc && wl_refresh_ns)
        cycles = (long)((wl_last_time - wl_first_time) / (wl_refresh_ns * 1e-9) + 0.5) + 1;
      snprintf(presentation, sizeof presentation, "; %ld presented, %ld of %ld refresh cycles without a new frame",
               wl_presented, cycles > wl_presented ? cycles - wl_presented : 0, cycles);
    } else if (wl_presentation) {
      snprintf(presentation, sizeof presentation, "; the compositor reported none presented (%ld discarded)",
               wl_discarded);
    }
    fprintf(stderr, "wayland: %ld frames in %.1f s (%.1f fps), %ld paced by the compositor's frame callback%s, at %dx%d on %s\n",
            wl_swaps, seconds, (double)(wl_swaps - 1) / seconds, wl_callbacks, presentation, wl_buffer_width,
            wl_buffer_height, wl_on_output && wl_on_output->name[0] ? wl_on_output->name : "its output");
  }
  release_all();
}

static EGLDisplay wayland_get_display(void* native_display) {
  return eglGetPlatformDisplay(EGL_PLATFORM_WAYLAND_KHR, native_display, NULL);
}

// Exactly 8 bits a channel: Mesa lists 10-bit configurations first.
static int wayland_extra_config_attributes(EGLint* attributes, int room) {
  if (room < 8) return 0;
  const EGLint exact[] = {EGL_RED_SIZE, 8, EGL_GREEN_SIZE, 8, EGL_BLUE_SIZE, 8, EGL_ALPHA_SIZE, 8};
  memcpy(attributes, exact, sizeof exact);
  return 8;
}

static EGLSurface wayland_create_surface(EGLDisplay display, EGLConfig config, void* native_window) {
  return eglCreatePlatformWindowSurface(display, config, native_window, NULL);
}

static int wayland_output_size_changed(int* width, int* height) {
  // Once the context is current: swaps never wait for the compositor (see the top).
  if (!wl_swap_interval_set) {
    eglSwapInterval(eglGetCurrentDisplay(), 0);
    wl_swap_interval_set = 1;
  }
  if (wl_compositor_scales) return -1;
  if (!wl_size_changed) return 0;
  wl_size_changed = 0;
  apply_size();
  *width = wl_buffer_width;
  *height = wl_buffer_height;
  return 1;
}

// --- pacing and presentation ------------------------------------------------------------

static void frame_done(void*, struct wl_callback* callback, uint32_t) {
  wl_callbacks++;
  wl_callback_destroy(callback);
  if (callback == wl_frame_callback) wl_frame_callback = NULL;
}
static const struct wl_callback_listener frame_listener = {.done = frame_done};

static void feedback_sync_output(void*, struct wp_presentation_feedback*, struct wl_output*) {}
static void feedback_presented(void*, struct wp_presentation_feedback* feedback, uint32_t tv_sec_hi, uint32_t tv_sec_lo,
                               uint32_t tv_nsec, uint32_t refresh, uint32_t seq_hi, uint32_t seq_lo, uint32_t) {
  const uint64_t msc = ((uint64_t)seq_hi << 32) | seq_lo;
  const double when = (double)(((uint64_t)tv_sec_hi << 32) | tv_sec_lo) + tv_nsec * 1e-9;
  if (!wl_presented) wl_first_msc = msc, wl_first_time = when;
  wl_last_msc = msc;
  wl_last_time = when;
  wl_refresh_ns = refresh;
  wl_presented++;
  wp_presentation_feedback_destroy(feedback);
}
static void feedback_discarded(void*, struct wp_presentation_feedback* feedback) {
  wl_discarded++;
  wp_presentation_feedback_destroy(feedback);
}
static const struct wp_presentation_feedback_listener feedback_listener = {
    .sync_output = feedback_sync_output,
    .presented = feedback_presented,
    .discarded = feedback_discarded,
};

// After a swap: wait (briefly) for the compositor's word that the frame went out, then ask
// for the same about the next one, which the next swap's commit carries.
static int wayland_after_swap() {
  if (wl_compositor_scales && wl_size_changed) {
    wl_size_changed = 0;
    apply_size();  // the next swap's commit carries the new destination
  }
  const double now = now_seconds();
  if (!wl_swaps++) wl_first_swap = now;
  wl_last_swap = now;
  for (double end = now + kFrameWaitMs * 1e-3; wl_frame_callback && now_seconds() < end;)
    if (pump(5) < 0) break;
  if (wl_frame_callback) wl_callback_destroy(wl_frame_callback);
  wl_frame_callback = wl_surface_frame(wl_surface_);
  wl_callback_add_listener(wl_frame_callback, &frame_listener, NULL);
  if (wl_presentation)
    wp_presentation_feedback_add_listener(wp_presentation_feedback(wl_presentation, wl_surface_), &feedback_listener,
                                          NULL);
  return 0;
}

static int wayland_poll_window() {
  if (!wl_display_) return 0;
  // A compositor that went away ends the show as a close would.
  if (pump(0) < 0) wl_pending_key = 1;
  return wl_pending_key;
}

extern const DGL_NATIVE_BACKEND dgl_backend_wayland = {
    .name = "wayland",
    .create_window = wayland_create_window,
    .destroy_window = wayland_destroy_window,
    .get_display = wayland_get_display,
    .surface_type = EGL_WINDOW_BIT,
    .extra_config_attributes = wayland_extra_config_attributes,
    .native_visual = NULL,
    .create_surface = wayland_create_surface,
    .output_size_changed = wayland_output_size_changed,
    .after_swap = wayland_after_swap,
    .watched = 1,
    .poll_window = wayland_poll_window,
};
