// The VideoCore backend against the recording stand-in: the dispmanx sequence for
// letterbox, pillarbox and exact displays.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bcm_host.h"
#include "system_native.h"
#include "vc_record.h"

static std::vector<std::string> Open(uint32_t w, uint32_t h, void** window = nullptr) {
  vc_record_reset(w, h);
  void* native_window = nullptr;
  void* native_display = (void*)1;
  EXPECT_EQ(_dglCreateNativeWindow(1280, 720, &native_window, &native_display), 0);
  EXPECT_EQ(native_display, nullptr);
  if (window) *window = native_window;
  return vc_record_calls();
}

static const char* kAlpha = "alpha=1/255/0 clamp=null transform=0";

TEST(VideoCore, ExactDisplayGetsOneElementAndNoBars) {
  void* window = nullptr;
  auto calls = Open(1920, 1080, &window);
  std::vector<std::string> want = {
      "bcm_host_init",
      "graphics_get_display_size 0",
      "display_open 0",
      "update_start 0",
      std::string("element_add update=2 display=1 layer=0 dest=(0,0,1920,1080) src=0 "
                  "src_rect=(0,0,83886080,47185920) protection=0 ") + kAlpha + " -> 3",
      "update_submit_sync 2",
  };
  EXPECT_EQ(calls, want);
  auto* w = (EGL_DISPMANX_WINDOW_T*)window;
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->element, 3u);
  EXPECT_EQ(w->width, 1280);
  EXPECT_EQ(w->height, 720);
}

TEST(VideoCore, FourByThreeGetsBarsAboveAndBelow) {
  auto calls = Open(1024, 768);
  ASSERT_EQ(calls.size(), 10u);
  EXPECT_EQ(calls[4], std::string("element_add update=2 display=1 layer=0 dest=(0,96,1024,576) "
                                  "src=0 src_rect=(0,0,83886080,47185920) protection=0 ") +
                          kAlpha + " -> 3");
  EXPECT_EQ(calls[5], "resource_create type=43 1x1 image_handle=0 -> 4");
  EXPECT_EQ(calls[6], "resource_write_data res=4 type=43 pitch=4 pixel=0x00000000 rect=(0,0,1,1)");
  EXPECT_EQ(calls[7], std::string("element_add update=2 display=1 layer=0 dest=(0,0,1024,96) "
                                  "src=4 src_rect=(0,0,65536,65536) protection=0 ") +
                          kAlpha + " -> 5");
  EXPECT_NE(calls[8].find("dest=(0,672,1024,96) src=4"), std::string::npos) << calls[8];
}

TEST(VideoCore, UltraWideGetsBarsLeftAndRight) {
  auto calls = Open(2560, 1080);
  ASSERT_EQ(calls.size(), 10u);
  EXPECT_NE(calls[4].find("dest=(320,0,1920,1080) src=0"), std::string::npos) << calls[4];
  EXPECT_NE(calls[7].find("dest=(0,0,320,1080) src=4"), std::string::npos) << calls[7];
  EXPECT_NE(calls[8].find("dest=(2240,0,320,1080) src=4"), std::string::npos) << calls[8];
  EXPECT_EQ(calls[9], "update_submit_sync 2");
}

TEST(VideoCore, NearlyWideDisplayGetsZeroAndOnePixelBars) {
  auto calls = Open(1366, 768);
  ASSERT_EQ(calls.size(), 10u);
  EXPECT_NE(calls[7].find("dest=(0,0,0,768)"), std::string::npos) << calls[7];
  EXPECT_NE(calls[8].find("dest=(1365,0,1,768)"), std::string::npos) << calls[8];
}

TEST(VideoCore, ShutDownEndsTheHostInterface) {
  Open(1920, 1080);
  _dglDestroyNativeWindow();
  EXPECT_EQ(vc_record_calls().back(), "bcm_host_deinit");
}

static void OpenUnmeasurable() {
  vc_record_reset(0, 0, -1);
  void *w, *d;
  _dglCreateNativeWindow(1280, 720, &w, &d);
}

TEST(VideoCoreDeathTest, UnmeasurableDisplayStopsWithTheCondition) {
  EXPECT_DEATH(OpenUnmeasurable(),
               "graphics_get_display_size\\( 0 , \\(uint32_t\\*\\)&disp_width, "
               "\\(uint32_t\\*\\)&disp_height \\) >= 0");
}
