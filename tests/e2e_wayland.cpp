// The demo on real Wayland compositors: sway (the wlroots family of Pi OS's labwc) headless,
// and weston. Pictures come from grim or weston's screenshooter, keys from wtype, window
// state from sway's IPC; every wait is for a state the compositor reports. Skipped, with a
// message, where the compositors are not installed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "png_io.h"
#include "process.h"
#include "scratch_data.h"

static const std::string kBin = DGL_BINARY_DIR;

static bool Installed(const char* program) {
  return system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
}

// What a command printed on standard output, and its status.
static std::string Output(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int s = pclose(p);
  if (status) *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  return out;
}

static std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  // Black pixels in columns x0..x1 and rows y0..y1, inclusive.
  int Black(int x0, int y0, int x1, int y1) const {
    int n = 0;
    for (int y = y0; y <= y1; y++)
      for (int x = x0; x <= x1; x++) n += !rgb[(y * width + x) * 3] && !rgb[(y * width + x) * 3 + 1] && !rgb[(y * width + x) * 3 + 2];
    return n;
  }
};

static bool ReadPpm(const std::string& path, Picture& p) {
  std::ifstream f(path, std::ios::binary);
  std::string magic;
  int max = 0;
  if (!(f >> magic >> p.width >> p.height >> max) || magic != "P6" || max != 255) return false;
  f.get();
  p.rgb.resize((size_t)p.width * p.height * 3);
  return (bool)f.read((char*)p.rgb.data(), (std::streamsize)p.rgb.size());
}

// sway headless, run as nobody (it refuses root) in a runtime folder of its own, with one
// output of the given mode (and a second when asked); clients run as root and connect.
struct Sway {
  std::string dir, socket;
  Child sway;

  bool Start(const std::string& mode, bool second_output = false, const std::string& extra = "") {
    char tmpl[] = "/tmp/dgl-sway-XXXXXX";
    dir = mkdtemp(tmpl);
    const passwd* nobody = getpwnam("nobody");
    if (!nobody || chown(dir.c_str(), nobody->pw_uid, nobody->pw_gid) != 0 || chmod(dir.c_str(), 0700) != 0)
      return false;
    std::string lines = extra;  // "{dir}" stands for the runtime folder
    for (size_t at; (at = lines.find("{dir}")) != std::string::npos;) lines.replace(at, 5, dir);
    std::ofstream(dir + "/config") << "output HEADLESS-1 mode " << mode << " bg #204060 solid_color\n"
                                   << "output HEADLESS-2 mode 1280x720 position 4000 0 bg #402060 solid_color\n"
                                   << "default_border none\nfocus_follows_mouse no\n"
                                   << (lines.empty() ? "xwayland disable\n" : lines);
    const int null_fd = open("/dev/null", O_RDONLY);
    const bool started = sway.StartWithoutTerminal(
        {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "sway", "-c", dir + "/config"}, null_fd,
        {"XDG_RUNTIME_DIR=" + dir, "HOME=" + dir, "WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1",
         "WLR_RENDERER=pixman", "WAYLAND_DISPLAY=", "DISPLAY="});
    close(null_fd);
    if (!started) return false;
    // Ready once its IPC answers.
    for (double end = NowSeconds() + 30; NowSeconds() < end; usleep(50000)) {
      socket = Output("ls " + dir + "/sway-ipc.*.sock 2>/dev/null | head -n1");
      if (!socket.empty()) socket.pop_back();
      int status = 1;
      if (!socket.empty()) Output(Msg("-t get_version"), &status);
      if (status == 0) break;
    }
    if (socket.empty()) return false;
    if (second_output && Output(Msg("create_output") + " >/dev/null; " + Msg("-t get_outputs -r") ).find("HEADLESS-2") == std::string::npos)
      return false;
    return true;
  }
  std::string Msg(const std::string& what) const {
    return "SWAYSOCK=" + Quote(socket) + " swaymsg " + what + " 2>&1";
  }
  std::string Client(const std::string& command) const {
    return "XDG_RUNTIME_DIR=" + Quote(dir) + " WAYLAND_DISPLAY=wayland-1 " + command;
  }
  // The environment a client of this compositor gets: automatic choice of backend, no X.
  std::vector<std::string> Env(std::vector<std::string> more = {}) const {
    more.insert(more.end(), {"XDG_RUNTIME_DIR=" + dir, "WAYLAND_DISPLAY=wayland-1", "DISPLAY=", "DGL_PLATFORM=",
                             "SDL_AUDIODRIVER=dummy"});
    return more;
  }
  // One fact about the window that `match` (a Python condition on the tree's node n) picks.
  std::string Window(const std::string& match, const std::string& expression) const {
    const std::string script =
        "import json,sys\n"
        "def walk(n):\n"
        "  if n.get('type') in ('con', 'floating_con') and (" + match + "): print(" + expression + ")\n"
        "  for c in n.get('nodes', []) + n.get('floating_nodes', []): walk(c)\n"
        "walk(json.load(sys.stdin))\n";
    std::string out = Output(Msg("-t get_tree -r") + " | python3 -c " + Quote(script));
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
  }
  bool Grab(const std::string& output, Picture& p) const {
    const std::string file = dir + "/shot.ppm";
    int status = 1;
    Output(Client("grim -o " + output + " -t ppm " + Quote(file)) + " 2>&1", &status);
    return status == 0 && ReadPpm(file, p);
  }
  // Waits up to `seconds` for a picture of `output` that passes `test`.
  bool WaitPicture(const std::string& output, const std::function<bool(const Picture&)>& test, double seconds) const {
    Picture p;
    for (double end = NowSeconds() + seconds; NowSeconds() < end; usleep(100000))
      if (Grab(output, p) && test(p)) return true;
    return false;
  }
  bool WaitWindow(const std::string& match, const std::string& expression, const std::string& want, double seconds) const {
    for (double end = NowSeconds() + seconds; NowSeconds() < end; usleep(100000))
      if (Window(match, expression) == want) return true;
    return false;
  }
  ~Sway() {
    if (sway.pid > 0) kill(sway.pid, SIGTERM), sway.Wait(10);
    if (!dir.empty()) (void)system(("rm -rf " + Quote(dir)).c_str());
  }
};

#define SKIP_WITHOUT(programs)                                                              \
  for (const char* p : programs)                                                            \
    if (!Installed(p)) GTEST_SKIP() << p << " is not installed (scripts/deps.sh installs it)"

static const std::vector<const char*> kSwayTools = {"sway", "swaymsg", "grim", "wtype", "setpriv", "python3"};
static std::string Pid(pid_t pid) { return "n.get('pid') == " + std::to_string(pid); }

// The show's picture in a WxH output: the 1280x720 picture fitted with bars, once the
// scroller's backdrop covers it (its first and last rows and columns drawn).
static std::function<bool(const Picture&)> Fitted(int w, int h) {
  return [w, h](const Picture& p) {
    if (p.width != w || p.height != h) return false;
    int fw = w, fh = h, x = 0, y = 0;
    if (w * 9 > h * 16) fw = h * 16 / 9, x = (w - fw) / 2;
    else if (w * 9 < h * 16) fh = w * 9 / 16, y = (h - fh) / 2;
    const int r = x + fw - 1, b = y + fh - 1;  // the picture's right column and bottom row
    return !p.Black(x, y, r, y) && !p.Black(x, b, r, b) && !p.Black(x, y, x, b) && !p.Black(r, y, r, b) &&
           p.Black(0, 0, w - 1, y - 1) == w * y && p.Black(0, b + 1, w - 1, h - 1) == w * (h - 1 - b) &&
           p.Black(0, 0, x - 1, h - 1) == x * h && p.Black(r + 1, 0, w - 1, h - 1) == (w - 1 - r) * h;
  };
}

// Chosen by itself (WAYLAND_DISPLAY, no DISPLAY), full screen with idle inhibited, the
// picture with its bars at 1024x768, refitted when the output changes to an ultra-wide
// mode and to a doubled scale, and ended by a key on its window with status 0 and the
// frame report. Scaled by the compositor through a viewport (the 1280x720 buffer as it is),
// and by present.cpp (DGL_WAYLAND_SCALE=gl), whose buffer at scale 2 has the output's own
// 1920x1080 pixels, never a blurred 960x540.
class WaylandScale : public testing::TestWithParam<const char*> {};

TEST_P(WaylandScale, FullScreenFittedRefittedAndEndedByAKeyInItsWindow) {
  SKIP_WITHOUT(kSwayTools);
  Sway sway;
  ASSERT_TRUE(sway.Start("1024x768")) << sway.sway.output;
  Child demo;
  ASSERT_TRUE(demo.StartOnTerminal({kBin + "/demo", "skip"}, sway.Env({std::string("DGL_WAYLAND_SCALE=") + GetParam()})));
  ASSERT_TRUE(sway.WaitWindow(Pid(demo.pid), "n['fullscreen_mode'], n['inhibit_idle']", "1 True", 60))
      << "full screen, idle inhibited: " << sway.Window(Pid(demo.pid), "n") << "\n" << demo.output;
  EXPECT_TRUE(sway.WaitPicture("HEADLESS-1", Fitted(1024, 768), 60)) << "96-row bars at 1024x768";
  Output(sway.Msg("output HEADLESS-1 mode 2560x1080"));
  EXPECT_TRUE(sway.WaitPicture("HEADLESS-1", Fitted(2560, 1080), 60)) << "320-column pillars at 2560x1080";
  Output(sway.Msg("output HEADLESS-1 mode 1920x1080 scale 2"));
  EXPECT_TRUE(sway.WaitPicture("HEADLESS-1", Fitted(1920, 1080), 60)) << "the whole 1920x1080 output at scale 2";
  int typed = 1;
  Output(sway.Client("wtype -s 500 -k Escape"), &typed);
  EXPECT_EQ(typed, 0);
  EXPECT_EQ(demo.Wait(30), 0) << demo.output;
  EXPECT_NE(demo.output.find("paced by the compositor's frame callback"), std::string::npos) << demo.output;
  const std::string buffer = std::string(GetParam()) == "gl" ? "1920x1080" : "1280x720";
  EXPECT_NE(demo.output.find(", at " + buffer + " on HEADLESS-1"), std::string::npos) << demo.output;
}

INSTANTIATE_TEST_SUITE_P(Wayland, WaylandScale, testing::Values("compositor", "gl"),
                         [](const testing::TestParamInfo<const char*>& p) { return std::string(p.param) == "gl" ? "ByPresent" : "ByCompositor"; });

// The compositor's close request ends the show with 0; hidden on another workspace (no
// frame callbacks come) it still ends at once by a key on the terminal and by SIGTERM.
TEST(Wayland, ClosedOrHiddenItStillEndsAtOnce) {
  SKIP_WITHOUT(kSwayTools);
  Sway sway;
  ASSERT_TRUE(sway.Start("1280x720")) << sway.sway.output;
  for (const char* end : {"close", "terminal key", "SIGTERM"}) {
    SCOPED_TRACE(end);
    Child demo;
    ASSERT_TRUE(demo.StartOnTerminal({kBin + "/demo", "skip"}, sway.Env()));
    ASSERT_TRUE(sway.WaitWindow(Pid(demo.pid), "n['fullscreen_mode']", "1", 60)) << demo.output;
    ASSERT_TRUE(sway.WaitPicture("HEADLESS-1", Fitted(1280, 720), 60));
    if (!strcmp(end, "close")) {
      Output(sway.Msg("'[pid=" + std::to_string(demo.pid) + "] kill'"));
    } else {
      Output(sway.Msg("workspace 2"));
      ASSERT_TRUE(sway.WaitWindow(Pid(demo.pid), "n['visible']", "False", 30));
      if (!strcmp(end, "terminal key")) demo.Type("q");
      else kill(demo.pid, SIGTERM);
    }
    EXPECT_EQ(demo.Wait(30), 0) << demo.output;
    Output(sway.Msg("workspace 1"));
  }
}

// DGL_MONITOR names the output the show goes full screen on; a name the compositor does
// not have is one line listing those it has, and status 255.
TEST(Wayland, DGLMonitorPicksAnOutputByName) {
  SKIP_WITHOUT(kSwayTools);
  Sway sway;
  ASSERT_TRUE(sway.Start("1920x1080", true)) << sway.sway.output;
  Child demo;
  ASSERT_TRUE(demo.StartOnTerminal({kBin + "/demo", "skip"}, sway.Env({"DGL_MONITOR=HEADLESS-2"})));
  ASSERT_TRUE(sway.WaitWindow(Pid(demo.pid), "n['fullscreen_mode']", "1", 60)) << demo.output;
  EXPECT_TRUE(sway.WaitPicture("HEADLESS-2", Fitted(1280, 720), 60)) << "the show on the second output";
  Picture first;
  ASSERT_TRUE(sway.Grab("HEADLESS-1", first));
  EXPECT_EQ(first.rgb[(first.height / 2 * first.width + first.width / 2) * 3 + 2], 0x60) << "the first output keeps its background";
  demo.Type("q");
  EXPECT_EQ(demo.Wait(30), 0) << demo.output;

  Child unknown;
  ASSERT_TRUE(unknown.StartOnTerminal({kBin + "/demo"}, sway.Env({"DGL_MONITOR=HDMI-9"})));
  EXPECT_EQ(unknown.Wait(30), 255);
  EXPECT_NE(unknown.output.find("dglInit: DGL_MONITOR=HDMI-9: no such output (this compositor has: HEADLESS-1, HEADLESS-2)"),
            std::string::npos) << unknown.output;
}

// The path today's desktops have taken so far: the x11 half under sway's XWayland (whose X
// clients run as the compositor's user). Full screen, the picture with its bars, a key ends it.
TEST(Wayland, TheX11HalfUnderXWayland) {
  SKIP_WITHOUT(kSwayTools);
  if (!Installed("Xwayland")) GTEST_SKIP() << "Xwayland is not installed (xwayland; scripts/deps.sh installs it)";
  Sway sway;
  ASSERT_TRUE(sway.Start("1024x768", false, "xwayland enable\nexec echo $DISPLAY > {dir}/display\n")) << sway.sway.output;
  std::string display;
  for (double end = NowSeconds() + 30; display.empty() && NowSeconds() < end; usleep(50000))
    std::getline(std::ifstream(sway.dir + "/display"), display);
  ASSERT_FALSE(display.empty()) << "sway told no DISPLAY";
  Child demo;
  ASSERT_TRUE(demo.StartOnTerminal({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", kBin + "/demo", "skip"},
                                   {"DISPLAY=" + display, "DGL_PLATFORM=x11", "WAYLAND_DISPLAY=", "HOME=" + sway.dir,
                                    "XDG_RUNTIME_DIR=" + sway.dir, "SDL_AUDIODRIVER=dummy"}));
  EXPECT_TRUE(sway.WaitWindow("n.get('name') == 'quorvelt'", "n['shell'], n['fullscreen_mode']", "xwayland 1", 60))
      << demo.output;
  EXPECT_TRUE(sway.WaitPicture("HEADLESS-1", Fitted(1024, 768), 60)) << "96-row bars at 1024x768";
  int typed = 1;
  Output(sway.Client("wtype -s 500 -k Escape"), &typed);
  EXPECT_EQ(typed, 0);
  EXPECT_EQ(demo.Wait(30), 0) << demo.output;
}

// WAYLAND_DISPLAY naming no compositor: one line, then X when DISPLAY is set, else 255.
TEST(Wayland, WithoutItsCompositorXIsTriedElseOneLineAnd255) {
  Child alone;
  ASSERT_TRUE(alone.StartOnTerminal({kBin + "/demo"}, {"WAYLAND_DISPLAY=dgl-none", "DISPLAY=", "DGL_PLATFORM="}));
  EXPECT_EQ(alone.Wait(30), 255) << alone.output;
  EXPECT_NE(alone.output.find("dglInit: cannot connect to the Wayland compositor \"dgl-none\""), std::string::npos)
      << alone.output;
  Xvfb x;
  ASSERT_TRUE(x.Start(640, 480));
  Child beside;
  ASSERT_TRUE(beside.StartOnTerminal({kBin + "/demo"}, {"WAYLAND_DISPLAY=dgl-none", "DISPLAY=" + x.display, "DGL_PLATFORM=",
                                                        "SDL_AUDIODRIVER=dummy"}));
  ASSERT_TRUE(beside.WaitFor("display: cannot connect to the Wayland compositor \"dgl-none\": trying X11 (DISPLAY=" +
                             x.display + ")", 30)) << beside.output;
  ASSERT_TRUE(beside.WaitFor("draws with a software renderer", 60)) << beside.output;
  beside.Type("q");
  EXPECT_EQ(beside.Wait(30), 0) << beside.output;
}

// A second compositor, so the half keeps to the protocols rather than to one compositor's
// habits: weston headless, the picture's geometry from its screenshooter (its pictures are
// premultiplied: the bars and the picture's edges are what is checked), presentation
// reported; it has no seat, so the terminal's key ends the show.
TEST(Wayland, OnWeston) {
  for (const char* p : {"weston", "weston-screenshooter"})
    if (!Installed(p)) GTEST_SKIP() << p << " is not installed (weston; scripts/deps.sh installs it)";
  ScratchData scratch;  // removed when the test ends, as weston is killed with its Child
  const std::string dir = scratch.dir;
  chmod(dir.c_str(), 0700);
  Child weston;
  const int null_fd = open("/dev/null", O_RDONLY);
  ASSERT_TRUE(weston.StartWithoutTerminal({"weston", "--backend=headless-backend.so", "--use-pixman", "--width=1024",
                                           "--height=768", "--socket=wayland-w", "--idle-time=0", "--debug"},
                                          null_fd, {"XDG_RUNTIME_DIR=" + dir, "HOME=" + dir, "WAYLAND_DISPLAY=", "DISPLAY="}));
  close(null_fd);
  ASSERT_TRUE(weston.WaitFor("launching '", 30)) << weston.output;
  Child demo;
  ASSERT_TRUE(demo.StartOnTerminal({kBin + "/demo", "skip"}, {"XDG_RUNTIME_DIR=" + dir, "WAYLAND_DISPLAY=wayland-w", "DISPLAY=",
                                                              "DGL_PLATFORM=", "SDL_AUDIODRIVER=dummy"}));
  const std::string shoot = "cd " + Quote(dir) + " && rm -f wayland-screenshot-*.png && XDG_RUNTIME_DIR=" + Quote(dir) +
                            " WAYLAND_DISPLAY=wayland-w weston-screenshooter >/dev/null 2>&1 && ls wayland-screenshot-*.png";
  bool fitted = false;
  for (double end = NowSeconds() + 60; !fitted && NowSeconds() < end && demo.Wait(0) == -1; usleep(200000)) {
    std::string name = Output(shoot);
    while (!name.empty() && name.back() == '\n') name.pop_back();
    std::vector<uint8_t> rgba;
    Picture p;
    if (name.empty() || !png_read_rgba(dir + "/" + name, rgba, p.width, p.height)) continue;
    for (size_t i = 0; i < rgba.size(); i += 4) p.rgb.insert(p.rgb.end(), {rgba[i], rgba[i + 1], rgba[i + 2]});
    fitted = Fitted(1024, 768)(p);
  }
  EXPECT_TRUE(fitted) << "96-row bars at 1024x768\n" << demo.output;
  demo.Type("q");
  EXPECT_EQ(demo.Wait(30), 0) << demo.output;
  EXPECT_NE(demo.output.find(" presented, "), std::string::npos) << demo.output;
}
