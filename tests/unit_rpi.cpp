// The VideoCore backend against the recording stand-in: the dispmanx elements for exact,
// letterboxed and pillarboxed displays, the shut-down, and a display that cannot be measured.
#include <gtest/gtest.h>

#include "bcm_host.h"
#include "system_native.h"
#include "vc_record.h"

TEST(VideoCore, TheSurfaceScaledToFitWithBlackBarsAsTwoMoreElements) {
  const std::string head = "element_add update=2 display=1 layer=0 dest=", alpha = " protection=0 alpha=1/255/0 clamp=null transform=0";
  const std::string surface = " src=0 src_rect=(0,0,83886080,47185920)" + alpha, bar = " src=4 src_rect=(0,0,65536,65536)" + alpha;
  const struct { uint32_t w, h; std::vector<std::string> elements; } displays[] = {
      {1920, 1080, {"(0,0,1920,1080)" + surface + " -> 3"}},
      {1024, 768, {"(0,96,1024,576)" + surface + " -> 3", "(0,0,1024,96)" + bar + " -> 5", "(0,672,1024,96)" + bar + " -> 6"}},
      {2560, 1080, {"(320,0,1920,1080)" + surface + " -> 3", "(0,0,320,1080)" + bar + " -> 5", "(2240,0,320,1080)" + bar + " -> 6"}},
      {1366, 768, {"(0,0,1365,768)" + surface + " -> 3", "(0,0,0,768)" + bar + " -> 5", "(1365,0,1,768)" + bar + " -> 6"}}};
  for (const auto& d : displays) {
    SCOPED_TRACE(testing::Message() << d.w << "x" << d.h);
    vc_record_reset(d.w, d.h);
    void *window = nullptr, *display = (void*)1;
    ASSERT_EQ(_dglCreateNativeWindow(1280, 720, &window, &display), 0);
    EXPECT_EQ(display, nullptr);
    std::vector<std::string> want = {"bcm_host_init", "graphics_get_display_size 0", "display_open 0", "update_start 0", head + d.elements[0]};
    if (d.elements.size() > 1)
      want.insert(want.end(), {"resource_create type=43 1x1 image_handle=0 -> 4",
                               "resource_write_data res=4 type=43 pitch=4 pixel=0x00000000 rect=(0,0,1,1)",
                               head + d.elements[1], head + d.elements[2]});
    want.push_back("update_submit_sync 2");
    EXPECT_EQ(vc_record_calls(), want);
    const auto* w = (EGL_DISPMANX_WINDOW_T*)window;
    ASSERT_TRUE(w && std::make_tuple(w->element, w->width, w->height) == std::make_tuple(3u, 1280, 720));
    EXPECT_EQ((_dglDestroyNativeWindow(), vc_record_calls().back()), "bcm_host_deinit");
  }
}

TEST(VideoCoreDeathTest, UnmeasurableDisplayStopsWithTheCondition) {
  void *w, *d;
  EXPECT_DEATH((vc_record_reset(0, 0, -1), _dglCreateNativeWindow(1280, 720, &w, &d)), "graphics_get_display_size\\( 0 , \\(uint32_t\\*\\)&disp_width, \\(uint32_t\\*\\)&disp_height \\) >= 0");
}
