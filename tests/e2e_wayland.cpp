// The demo on real Wayland compositors: sway (the wlroots family of Pi OS's labwc) headless,
// and weston. Pictures come from grim or weston's screenshooter, keys from wtype, window
// state from sway's IPC; every wait is for a state the compositor reports. Skipped, with a
// message, where the compositors are not installed.
#include "fixtures.h"

#define SKIP_WITHOUT_SWAY() SKIP_WITHOUT("sway", "swaymsg", "grim", "wtype", "setpriv", "python3")
static std::string Pid(pid_t pid) { return "n.get('pid') == " + std::to_string(pid); }

static std::function<bool(const Picture&)> Fitted(int w, int h) { return [w, h](const Picture& p) { return p.Fitted(w, h); }; }

// Chosen by itself (WAYLAND_DISPLAY, no DISPLAY), full screen with idle inhibited, the
// picture with its bars at 1024x768, refitted when the output changes to an ultra-wide
// mode and to a doubled scale, and ended by a key on its window with status 0 and the
// frame report. Scaled by the compositor through a viewport (the 1280x720 buffer as it is),
// and by present.cpp (DGL_WAYLAND_SCALE=gl), whose buffer at scale 2 has the output's own
// 1920x1080 pixels, never a blurred 960x540.
class WaylandScale : public testing::TestWithParam<const char*> {};

TEST_P(WaylandScale, FullScreenFittedRefittedAndEndedByAKeyInItsWindow) {
  SKIP_WITHOUT_SWAY();
  Sway sway;
  ASSERT_TRUE(sway.Start("1024x768")) << sway.sway.output;
  Child demo;
  ASSERT_TRUE(demo.StartOnTerminal({kBin + "/demo", "skip"}, sway.Env({std::string("DGL_WAYLAND_SCALE=") + GetParam()})));
  ASSERT_TRUE(sway.WaitWindow(Pid(demo.pid), "n['fullscreen_mode'], n['inhibit_idle']", "1 True"))
      << "full screen, idle inhibited: " << sway.Window(Pid(demo.pid), "n") << "\n" << demo.output;
  EXPECT_TRUE(sway.WaitPicture("HEADLESS-1", Fitted(1024, 768))) << "96-row bars at 1024x768";
  Output(sway.Msg("output HEADLESS-1 mode 2560x1080"));
  EXPECT_TRUE(sway.WaitPicture("HEADLESS-1", Fitted(2560, 1080))) << "320-column pillars at 2560x1080";
  Output(sway.Msg("output HEADLESS-1 mode 1920x1080 scale 2"));
  EXPECT_TRUE(sway.WaitPicture("HEADLESS-1", Fitted(1920, 1080))) << "the whole 1920x1080 output at scale 2";
  int typed = 1;
  Output(sway.Client("wtype -s 500 -k Escape"), &typed);
  EXPECT_EQ(typed, 0);
  EXPECT_EQ(demo.Wait(), 0) << demo.output;
  EXPECT_NE(demo.output.find("paced by the compositor's frame callback"), std::string::npos) << demo.output;
  const std::string buffer = std::string(GetParam()) == "gl" ? "1920x1080" : "1280x720";
  EXPECT_NE(demo.output.find(", at " + buffer + " on HEADLESS-1"), std::string::npos) << demo.output;
}

INSTANTIATE_TEST_SUITE_P(Wayland, WaylandScale, testing::Values("compositor", "gl"),
                         [](const testing::TestParamInfo<const char*>& p) { return std::string(p.param) == "gl" ? "ByPresent" : "ByCompositor"; });

// The compositor's close request ends the show with 0; hidden on another workspace (no
// frame callbacks come) it still ends at once by a key on the terminal and by SIGTERM.
TEST(Wayland, ClosedOrHiddenItStillEndsAtOnce) {
  SKIP_WITHOUT_SWAY();
  Sway sway;
  ASSERT_TRUE(sway.Start("1280x720")) << sway.sway.output;
  for (const char* end : {"close", "terminal key", "SIGTERM"}) {
    SCOPED_TRACE(end);
    Child demo;
    ASSERT_TRUE(demo.StartOnTerminal({kBin + "/demo", "skip"}, sway.Env()));
    ASSERT_TRUE(sway.WaitWindow(Pid(demo.pid), "n['fullscreen_mode']", "1")) << demo.output;
    ASSERT_TRUE(sway.WaitPicture("HEADLESS-1", Fitted(1280, 720)));
    if (!strcmp(end, "close")) {
      Output(sway.Msg("'[pid=" + std::to_string(demo.pid) + "] kill'"));
    } else {
      Output(sway.Msg("workspace 2"));
      ASSERT_TRUE(sway.WaitWindow(Pid(demo.pid), "n['visible']", "False"));
      if (!strcmp(end, "terminal key")) demo.Type("q");
      else kill(demo.pid, SIGTERM);
    }
    EXPECT_EQ(demo.Wait(), 0) << demo.output;
    Output(sway.Msg("workspace 1"));
  }
}

// DGL_MONITOR names the output the show goes full screen on; a name the compositor does
// not have is one line listing those it has, and status 255.
TEST(Wayland, DGLMonitorPicksAnOutputByName) {
  SKIP_WITHOUT_SWAY();
  Sway sway;
  ASSERT_TRUE(sway.Start("1920x1080", true)) << sway.sway.output;
  Child demo;
  ASSERT_TRUE(demo.StartOnTerminal({kBin + "/demo", "skip"}, sway.Env({"DGL_MONITOR=HEADLESS-2"})));
  ASSERT_TRUE(sway.WaitWindow(Pid(demo.pid), "n['fullscreen_mode']", "1")) << demo.output;
  EXPECT_TRUE(sway.WaitPicture("HEADLESS-2", Fitted(1280, 720))) << "the show on the second output";
  Picture first;
  ASSERT_TRUE(sway.Grab("HEADLESS-1", first));
  EXPECT_EQ(first.rgb[(first.height / 2 * first.width + first.width / 2) * 3 + 2], 0x60) << "the first output keeps its background";
  demo.Type("q");
  EXPECT_EQ(demo.Wait(), 0) << demo.output;

  Child unknown;
  ASSERT_TRUE(unknown.StartOnTerminal({kBin + "/demo"}, sway.Env({"DGL_MONITOR=HDMI-9"})));
  EXPECT_EQ(unknown.Wait(), 255);
  EXPECT_NE(unknown.output.find("dglInit: DGL_MONITOR=HDMI-9: no such output (this compositor has: HEADLESS-1, HEADLESS-2)"),
            std::string::npos) << unknown.output;
}

// The path today's desktops have taken so far: the x11 half under sway's XWayland (whose X
// clients run as the compositor's user). Full screen, the picture with its bars, a key ends it.
TEST(Wayland, TheX11HalfUnderXWayland) {
  SKIP_WITHOUT_SWAY();
  SKIP_WITHOUT("Xwayland");
  Sway sway;
  ASSERT_TRUE(sway.Start("1024x768", false, "xwayland enable\nexec echo $DISPLAY > {dir}/display\n")) << sway.sway.output;
  std::string display;
  ASSERT_TRUE(WaitUntil([&] { return !!std::getline(std::ifstream(sway.dir / "display"), display); })) << "sway told no DISPLAY";
  Child demo;
  ASSERT_TRUE(demo.StartOnTerminal({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", kBin + "/demo", "skip"},
                                   {"DISPLAY=" + display, "DGL_PLATFORM=x11", "WAYLAND_DISPLAY=", "HOME=" + sway.dir.dir,
                                    "XDG_RUNTIME_DIR=" + sway.dir.dir, "SDL_AUDIODRIVER=dummy"}));
  EXPECT_TRUE(sway.WaitWindow("n.get('name') == 'quorvelt'", "n['shell'], n['fullscreen_mode']", "xwayland 1"))
      << demo.output;
  EXPECT_TRUE(sway.WaitPicture("HEADLESS-1", Fitted(1024, 768))) << "96-row bars at 1024x768";
  int typed = 1;
  Output(sway.Client("wtype -s 500 -k Escape"), &typed);
  EXPECT_EQ(typed, 0);
  EXPECT_EQ(demo.Wait(), 0) << demo.output;
}

// WAYLAND_DISPLAY naming no compositor: one line, then X when DISPLAY is set, else 255.
TEST(Wayland, WithoutItsCompositorXIsTriedElseOneLineAnd255) {
  Child alone;
  ASSERT_TRUE(alone.StartOnTerminal({kBin + "/demo"}, {"WAYLAND_DISPLAY=dgl-none", "DISPLAY=", "DGL_PLATFORM="}));
  EXPECT_EQ(alone.Wait(), 255) << alone.output;
  EXPECT_NE(alone.output.find("dglInit: cannot connect to the Wayland compositor \"dgl-none\""), std::string::npos)
      << alone.output;
  Xvfb x;
  ASSERT_TRUE(x.Start(640, 480));
  Child beside;
  ASSERT_TRUE(beside.StartOnTerminal({kBin + "/demo"}, {"WAYLAND_DISPLAY=dgl-none", "DISPLAY=" + x.display, "DGL_PLATFORM=",
                                                        "SDL_AUDIODRIVER=dummy"}));
  ASSERT_TRUE(beside.WaitFor("display: cannot connect to the Wayland compositor \"dgl-none\": trying X11 (DISPLAY=" +
                             x.display + ")")) << beside.output;
  ASSERT_TRUE(beside.WaitFor("draws with a software renderer")) << beside.output;
  beside.Type("q");
  EXPECT_EQ(beside.Wait(), 0) << beside.output;
}

// A second compositor, so the half keeps to the protocols rather than to one compositor's
// habits: weston headless, the picture's geometry from its screenshooter (its pictures are
// premultiplied: the bars and the picture's edges are what is checked), presentation
// reported; it has no seat, so the terminal's key ends the show.
TEST(Wayland, OnWeston) {
  SKIP_WITHOUT("weston", "weston-screenshooter");
  Weston weston;
  ASSERT_TRUE(weston.Start(1024, 768)) << weston.weston.output;
  Child demo;
  ASSERT_TRUE(demo.StartOnTerminal({kBin + "/demo", "skip"}, weston.Env()));
  Picture p;
  EXPECT_TRUE(WaitUntil([&] { return (weston.Grab(p) && p.Fitted(1024, 768)) || !demo.Running(); }) && demo.Running())
      << "96-row bars at 1024x768\n" << demo.output;
  demo.Type("q");
  EXPECT_EQ(demo.Wait(), 0) << demo.output;
  EXPECT_NE(demo.output.find(" presented, "), std::string::npos) << demo.output;
}
