// Every program and server an end-to-end test starts, started one way: in a runtime folder,
// socket or display number of its own, waited for through a state it reports, and ended by
// its pid when the fixture goes out of scope, even when the test fails. Servers: X (Xvfb,
// Xephyr), sway, weston and PulseAudio. tests/fixture.cpp offers the same to shell and
// JavaScript tests.
#pragma once
#include <gtest/gtest.h>  // before Xlib, whose None macro it would trip over
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "png_io.h"
#include "test_env.h"

static const std::string kBin = DGL_BINARY_DIR;
using Args = std::vector<std::string>;

inline double NowSeconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// Polls until `done` holds. `seconds` only guards against a hang: a state that must come
// is given minutes, however busy the machine.
inline bool WaitUntil(const std::function<bool()>& done, double seconds = 300) {
  for (double end = NowSeconds() + seconds; !done(); usleep(20000))
    if (NowSeconds() > end) return done();
  return true;
}

// What a shell command printed on standard output, and its status.
inline std::string Output(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int s = pclose(p);
  if (status) *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}
inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}
inline bool Installed(const std::string& program) { return system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0; }
#define SKIP_WITHOUT(...)                      \
  for (const char* p_ : {__VA_ARGS__})         \
    if (!Installed(p_)) GTEST_SKIP() << p_ << " is not installed (scripts/deps.sh installs it)"

// A program run as a user runs it: under a pseudo-terminal that is its controlling terminal,
// or without a terminal, as a menu or a service manager starts it.
struct Child {
  pid_t pid = -1;
  int terminal = -1;  // the pty's master side, or the pipe it prints into
  int slave = -1;     // kept open so the test can read the terminal's mode
  std::string output;

  // env adds "NAME=value" entries to the test's own environment ("NAME=" empties one).
  bool StartOnTerminal(const Args& argv, const Args& env = {}) { return Start(argv, true, -1, env); }
  // `input` as standard input (-1: /dev/null), what it prints read as from a terminal.
  bool StartWithoutTerminal(const Args& argv, int input = -1, const Args& env = {}) { return Start(argv, false, input, env); }
  bool Start(const Args& argv, bool on_terminal, int input, const Args& env) {
    int out[2];
    if (on_terminal ? openpty(&terminal, &slave, nullptr, nullptr, nullptr) != 0 : pipe(out) != 0) return false;
    if ((pid = fork()) < 0) return false;
    if (pid == 0) {
      setsid();
      if (on_terminal) {
        ioctl(slave, TIOCSCTTY, 0);
        for (int fd = 0; fd < 3; fd++) dup2(slave, fd);
        close(terminal);
      } else {
        dup2(input >= 0 ? input : open("/dev/null", O_RDONLY), 0);
        dup2(out[1], 1), dup2(out[1], 2), close(out[0]), close(out[1]);
      }
      Exec(argv, env);
    }
    if (!on_terminal) close(out[1]), terminal = out[0];
    fcntl(terminal, F_SETFL, O_NONBLOCK);
    return true;
  }
  void Drain() {
    char buf[4096];
    for (ssize_t n; (n = read(terminal, buf, sizeof(buf))) > 0;) output.append(buf, (size_t)n);
  }
  bool Running() { return pid > 0 && Wait(0) == -1; }
  // Whether the program printed `text` before it ended (or the hang guard ran out).
  bool WaitFor(const std::string& text, double seconds = 300) {
    WaitUntil([&] { return Drain(), output.find(text) != std::string::npos || !Running(); }, seconds);
    return Drain(), output.find(text) != std::string::npos;
  }
  void Type(const char* keys) { (void)!write(terminal, keys, strlen(keys)); }
  // The exit status, or -1 when it is still running after `seconds`.
  int Wait(double seconds = 300) {
    if (pid < 0) return status_;
    for (double end = NowSeconds() + seconds;; usleep(5000)) {
      Drain();
      int status;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        Drain();
        return status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (NowSeconds() >= end) return -1;
    }
  }
  void Stop(int signal = SIGKILL) {
    if (pid > 0) kill(pid, signal), Wait(60);
  }
  ~Child() {
    Stop();
    if (terminal >= 0) close(terminal);
    if (slave >= 0) close(slave);
  }
  [[noreturn]] static void Exec(const Args& argv, const Args& env) {
    for (const auto& e : env) putenv(strdup(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());  // a bare name is looked up in PATH
    _exit(127);
  }

 private:
  int status_ = -1;
};

// A temporary folder, removed with everything in it when the fixture ends.
struct RuntimeDir {
  std::string dir;
  explicit RuntimeDir(const char* kind = "run") {
    std::string tmpl = std::string("/tmp/dgl-") + kind + "-XXXXXX";
    dir = mkdtemp(&tmpl[0]);
    chmod(dir.c_str(), 0700);
  }
  ~RuntimeDir() { (void)system(("rm -rf " + Quote(dir)).c_str()); }
  std::string operator/(const std::string& name) const { return dir + "/" + name; }
};

// A screen's or a screenshot's pixels, RGB, top row first.
struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  const uint8_t* At(int x, int y) const { return &rgb[((size_t)y * width + x) * 3]; }
  // Black pixels in columns x0..x1 and rows y0..y1, inclusive.
  int Black(int x0, int y0, int x1, int y1) const {
    int n = 0;
    for (int y = y0; y <= y1; y++)
      for (int x = x0; x <= x1; x++) n += !At(x, y)[0] && !At(x, y)[1] && !At(x, y)[2];
    return n;
  }
  // The 1280x720 picture fitted into a w x h output with black bars, once the scroller's
  // backdrop covers it (its first and last rows and columns drawn).
  bool Fitted(int w, int h) const {
    if (width != w || height != h) return false;
    int fw = w, fh = h, x = 0, y = 0;
    if (w * 9 > h * 16) fw = h * 16 / 9, x = (w - fw) / 2;
    else if (w * 9 < h * 16) fh = w * 9 / 16, y = (h - fh) / 2;
    const int r = x + fw - 1, b = y + fh - 1;  // the picture's right column and bottom row
    return !Black(x, y, r, y) && !Black(x, b, r, b) && !Black(x, y, x, b) && !Black(r, y, r, b) &&
           Black(0, 0, w - 1, y - 1) == w * y && Black(0, b + 1, w - 1, h - 1) == w * (h - 1 - b) &&
           Black(0, 0, x - 1, h - 1) == x * h && Black(r + 1, 0, w - 1, h - 1) == (w - 1 - r) * h;
  }
  // A binary PPM (grim, QEMU) or any PNG.
  bool Read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::string magic;
    int max = 0;
    if (f >> magic && magic == "P6") {
      if (!(f >> width >> height >> max) || max != 255) return false;
      f.get();
      rgb.resize((size_t)width * height * 3);
      return (bool)f.read((char*)rgb.data(), (std::streamsize)rgb.size());
    }
    std::vector<uint8_t> rgba;
    if (!png_read_rgba(path, rgba, width, height)) return false;
    rgb.clear();
    for (size_t i = 0; i < rgba.size(); i += 4) rgb.insert(rgb.end(), {rgba[i], rgba[i + 1], rgba[i + 2]});
    return true;
  }
  // The root window of an X display.
  bool Grab(Display* d) {
    XWindowAttributes a;
    if (!d || !XGetWindowAttributes(d, DefaultRootWindow(d), &a)) return false;
    XImage* image = XGetImage(d, DefaultRootWindow(d), 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (!image) return false;
    width = a.width, height = a.height, rgb.clear();
    for (int y = 0; y < height; y++)
      for (int x = 0, p; x < width; x++) p = (int)XGetPixel(image, x, y), rgb.insert(rgb.end(), {uint8_t(p >> 16), uint8_t(p >> 8), uint8_t(p)});
    XDestroyImage(image);
    return true;
  }
};

// An X server on a display number it picks and reports (-displayfd), so parallel tests never
// collide.
struct XServer {
  Child server;
  std::string display;
  bool Launch(Args argv, const Args& env = {}) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    // -noreset: by default a server resets when its last client leaves, and a program
    // connecting during the reset is refused.
    argv.insert(argv.end(), {"-displayfd", std::to_string(fds[1]), "-nolisten", "tcp", "-noreset"});
    argv.insert(argv.begin(), {"sh", "-c", "exec \"$@\" >/dev/null 2>&1", "sh"});  // its log would fill the pipe
    const bool started = server.StartWithoutTerminal(argv, -1, env);
    close(fds[1]);
    std::string number;
    char c;
    pollfd p = {fds[0], POLLIN, 0};
    while (started && poll(&p, 1, 300000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    display = ":" + number;
    return !number.empty();
  }
  ~XServer() { server.Stop(SIGTERM); }
};
struct Xvfb : XServer {
  bool Start(int width, int height) { return Launch({"Xvfb", "-screen", "0", std::to_string(width) + "x" + std::to_string(height) + "x24"}); }
};
// Two monitors of the given size side by side, as Xinerama heads of one screen: Xephyr inside
// an Xvfb. Its RandR, when kept, lists only the left one.
struct TwoMonitors {
  Xvfb host;
  XServer nested;
  bool Start(int width, int height, bool randr) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    Args argv = {"Xephyr", "+xinerama", "-screen", size, "-screen", size};
    if (!randr) argv.insert(argv.end(), {"-extension", "RANDR"});
    return host.Start(2 * width, height) && nested.Launch(argv, {"DISPLAY=" + host.display});
  }
};

// sway headless, run as nobody (it refuses root) in a runtime folder of its own, with one
// output of the given mode (and a second when asked); clients run as root and connect.
struct Sway {
  RuntimeDir dir{"sway"};
  std::string socket;
  Child sway;

  bool Start(const std::string& mode, bool second_output = false, std::string extra = "xwayland disable\n") {
    const passwd* nobody = getpwnam("nobody");
    if (!nobody || chown(dir.dir.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) return false;
    for (size_t at; (at = extra.find("{dir}")) != std::string::npos;) extra.replace(at, 5, dir.dir);
    std::ofstream(dir / "config") << "output HEADLESS-1 mode " << mode << " bg #204060 solid_color\n"
                                  << "output HEADLESS-2 mode 1280x720 position 4000 0 bg #402060 solid_color\n"
                                  << "default_border none\nfocus_follows_mouse no\n" << extra;
    if (!sway.StartWithoutTerminal({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "sway", "-c", dir / "config"}, -1,
                                   {"XDG_RUNTIME_DIR=" + dir.dir, "HOME=" + dir.dir, "WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1",
                                    "WLR_RENDERER=pixman", "WAYLAND_DISPLAY=", "DISPLAY="}))
      return false;
    // Ready once its IPC answers.
    const bool ready = WaitUntil([&] {
      socket = Output("ls " + dir.dir + "/sway-ipc.*.sock 2>/dev/null | head -n1");
      int status = 1;
      if (!socket.empty()) Output(Msg("-t get_version"), &status);
      return status == 0 || !sway.Running();
    }) && sway.Running();
    return ready && (!second_output || Output(Msg("create_output") + " >/dev/null; " + Msg("-t get_outputs -r")).find("HEADLESS-2") != std::string::npos);
  }
  std::string Msg(const std::string& what) const { return "SWAYSOCK=" + Quote(socket) + " swaymsg " + what + " 2>&1"; }
  std::string Client(const std::string& command) const { return "XDG_RUNTIME_DIR=" + Quote(dir.dir) + " WAYLAND_DISPLAY=wayland-1 " + command; }
  // The environment a client of this compositor gets: automatic choice of backend, no X.
  Args Env(Args more = {}) const {
    more.insert(more.end(), {"XDG_RUNTIME_DIR=" + dir.dir, "WAYLAND_DISPLAY=wayland-1", "DISPLAY=", "DGL_PLATFORM=", "SDL_AUDIODRIVER=dummy"});
    return more;
  }
  // One fact about the window that `match` (a Python condition on the tree's node n) picks.
  std::string Window(const std::string& match, const std::string& expression) const {
    const std::string script = "import json,sys\ndef walk(n):\n"
                               "  if n.get('type') in ('con', 'floating_con') and (" + match + "): print(" + expression + ")\n"
                               "  for c in n.get('nodes', []) + n.get('floating_nodes', []): walk(c)\nwalk(json.load(sys.stdin))\n";
    return Output(Msg("-t get_tree -r") + " | python3 -c " + Quote(script));
  }
  bool Grab(const std::string& output, Picture& p) const {
    int status = 1;
    Output(Client("grim -o " + output + " -t ppm " + Quote(dir / "shot.ppm")) + " 2>&1", &status);
    return status == 0 && p.Read(dir / "shot.ppm");
  }
  bool WaitPicture(const std::string& output, const std::function<bool(const Picture&)>& test) const {
    Picture p;
    return WaitUntil([&] { return Grab(output, p) && test(p); });
  }
  bool WaitWindow(const std::string& match, const std::string& expression, const std::string& want) const {
    return WaitUntil([&] { return Window(match, expression) == want; });
  }
  ~Sway() { sway.Stop(SIGTERM); }
};

// weston headless on a socket of its own; pictures from its screenshooter.
struct Weston {
  RuntimeDir dir{"weston"};
  Child weston;
  bool Start(int width, int height) {
    return weston.StartWithoutTerminal({"weston", "--backend=headless-backend.so", "--use-pixman", "--width=" + std::to_string(width),
                                        "--height=" + std::to_string(height), "--socket=wayland-w", "--idle-time=0", "--debug"},
                                       -1, {"XDG_RUNTIME_DIR=" + dir.dir, "HOME=" + dir.dir, "WAYLAND_DISPLAY=", "DISPLAY="}) &&
           weston.WaitFor("launching '");
  }
  Args Env() const { return {"XDG_RUNTIME_DIR=" + dir.dir, "WAYLAND_DISPLAY=wayland-w", "DISPLAY=", "DGL_PLATFORM=", "SDL_AUDIODRIVER=dummy"}; }
  // Its pictures are premultiplied: only the bars and the picture's edges can be compared.
  bool Grab(Picture& p) const {
    const std::string name = Output("cd " + Quote(dir.dir) + " && rm -f wayland-screenshot-*.png && XDG_RUNTIME_DIR=" + Quote(dir.dir) +
                                    " WAYLAND_DISPLAY=wayland-w weston-screenshooter >/dev/null 2>&1 && ls wayland-screenshot-*.png");
    return !name.empty() && p.Read(dir / name);
  }
  ~Weston() { weston.Stop(SIGTERM); }
};

// A sound server of the test's own, PulseAudio or PipeWire (with WirePlumber and its pulse
// server, as Pi OS and GNOME have it), its runtime folder, sockets and configuration in its
// folder, with one null sink, "show", the default, at the show's 44100 Hz (PipeWire's graph
// held there, so nothing is resampled); its clients are started with its address. No
// D-Bus: WirePlumber's device reservation, portal and bluetooth are off.
struct SoundServer {
  std::string kind;
  RuntimeDir dir{"sound"};
  Child daemons[3];
  explicit SoundServer(std::string k = "pulseaudio") : kind(std::move(k)) {}
  bool Start() {
    // ALSA's default device (for clients whose HOME this is) plays to the server.
    std::ofstream(dir / ".asoundrc") << "pcm.!default { type pulse }\nctl.!default { type pulse }\n";
    if (kind == "pulseaudio")
      return Spawn(daemons[0], {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no", "--system=no", "-L",
                                "module-null-sink sink_name=show rate=44100 channels=2", "-L",
                                "module-native-protocol-unix auth-anonymous=1 socket=" + dir / "native"}) &&
             Ready("pactl info");
    const std::string conf = dir / "config";
    (void)!system(("mkdir -p " + conf + "/pipewire/pipewire.conf.d " + conf + "/wireplumber/main.lua.d " + conf +
                   "/wireplumber/bluetooth.lua.d").c_str());
    std::ofstream(conf + "/pipewire/pipewire.conf.d/60-show.conf")
        << "context.properties = { default.clock.rate = 44100 default.clock.allowed-rates = [ 44100 ] }\n";
    // After the packaged defaults (50-*), before they are enabled (90-*).
    std::ofstream(conf + "/wireplumber/main.lua.d/60-show.lua")
        << "alsa_monitor.properties[\"alsa.reserve\"] = false\ndefault_access.properties[\"enable-flatpak-portal\"] = false\n";
    std::ofstream(conf + "/wireplumber/bluetooth.lua.d/60-show.lua") << "bluez_monitor.enabled = false\n";
    return Spawn(daemons[0], {"pipewire"}) && Ready("pw-cli info 0") && Spawn(daemons[1], {"wireplumber"}) &&
           Ready("pw-metadata 0 | grep -q Found") && Spawn(daemons[2], {"pipewire-pulse"}) && Ready("pactl info") &&
           Run("pactl load-module module-null-sink sink_name=show rate=44100 channels=2 && pactl set-default-sink show") == 0;
  }
  // Waits until `command` succeeds, while every daemon started so far runs.
  bool Ready(const std::string& command) {
    auto up = [&] { return std::all_of(std::begin(daemons), std::end(daemons), [](Child& d) { return d.terminal < 0 || d.Running(); }); };
    return WaitUntil([&] { return Run(command) == 0 || !up(); }) && up();
  }
  Args Env(Args more = {}) const {
    more.insert(more.end(), {"PULSE_RUNTIME_PATH=" + dir.dir, "HOME=" + dir.dir, "XDG_RUNTIME_DIR=" + dir.dir, "PULSE_COOKIE=" + dir / "cookie",
                             "PIPEWIRE_RUNTIME_DIR=" + dir.dir, "XDG_CONFIG_HOME=" + dir / "config", "DBUS_SESSION_BUS_ADDRESS=",
                             "PULSE_SERVER=unix:" + dir / "native"});
    return more;
  }
  // Started without a terminal, input /dev/null, as a service would be.
  bool Spawn(Child& child, const Args& argv, const Args& env = {}) const { return child.StartWithoutTerminal(argv, -1, Env(env)); }
  // A client command's status; one that hangs (a server that stopped answering) fails.
  int Run(const std::string& command) const {
    Child c;
    return Spawn(c, {"timeout", "-k", "5", "60", "sh", "-c", command + " >/dev/null 2>&1"}) ? c.Wait() : -1;
  }
  // What reaches the sink, into `file` (raw samples from parec; a WAV from pw-record, which
  // buffers in memory where parec loses data on PipeWire).
  bool Record(Child& recorder, const std::string& file) const {
    return Spawn(recorder, {"sh", "-c", kind == "pulseaudio"
        ? "exec parec --device=show.monitor --raw --format=s16le --rate=44100 --channels=2 --latency-msec=20 >" + Quote(file)
        : "exec pw-record --target show -P '{ stream.capture.sink = true }' --format s16 --rate 44100 --channels 2 " + Quote(file)});
  }
  void Kill() {
    for (Child& d : daemons) d.Stop();
  }
  ~SoundServer() { Kill(); }
};
