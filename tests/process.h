// Runs a real program for end-to-end tests: under a pseudo-terminal (its controlling
// terminal, as from a shell) or with plain pipes, and an Xvfb server of its own.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

static inline double NowSeconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

struct Child {
  pid_t pid = -1;
  int terminal = -1;  // the pty's master side: what the program prints, where keys go
  int slave = -1;     // kept open so the test can read the terminal's mode
  std::string output;

  // Starts argv under a new pseudo-terminal as its controlling terminal; env adds
  // "NAME=value" entries to the test's own environment.
  bool StartOnTerminal(const std::vector<std::string>& argv,
                       const std::vector<std::string>& env = {}) {
    if (openpty(&terminal, &slave, nullptr, nullptr, nullptr) != 0) return false;
    pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
      setsid();
      ioctl(slave, TIOCSCTTY, 0);
      dup2(slave, 0);
      dup2(slave, 1);
      dup2(slave, 2);
      close(terminal);
      Exec(argv, env);
    }
    fcntl(terminal, F_SETFL, O_NONBLOCK);
    return true;
  }

  // Starts argv as a desktop's menu or a service manager does: no controlling terminal,
  // `input` as standard input; what it prints is read as from a terminal.
  bool StartWithoutTerminal(const std::vector<std::string>& argv, int input,
                            const std::vector<std::string>& env = {}) {
    int out[2];
    if (pipe(out) != 0) return false;
    pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
      setsid();
      dup2(input, 0);
      dup2(out[1], 1);
      dup2(out[1], 2);
      close(out[0]);
      close(out[1]);
      Exec(argv, env);
    }
    close(out[1]);
    terminal = out[0];
    fcntl(terminal, F_SETFL, O_NONBLOCK);
    return true;
  }

  // Reads what the program printed so far (non-blocking).
  void Drain() {
    char buf[4096];
    for (;;) {
      ssize_t n = read(terminal, buf, sizeof(buf));
      if (n <= 0) break;
      output.append(buf, (size_t)n);
    }
  }

  // Whether the program printed `text` within `seconds`.
  bool WaitFor(const std::string& text, double seconds) {
    for (double end = NowSeconds() + seconds; NowSeconds() < end; usleep(5000)) {
      Drain();
      if (output.find(text) != std::string::npos) return true;
    }
    return false;
  }

  void Type(const char* keys) { (void)!write(terminal, keys, strlen(keys)); }

  // The exit status, or -1 when the program is still running after `seconds`.
  int Wait(double seconds) {
    double end = NowSeconds() + seconds;
    for (;;) {
      Drain();
      int status;
      pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == pid) {
        pid = -1;
        Drain();
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return 128 + WTERMSIG(status);
      }
      if (NowSeconds() > end) return -1;
      usleep(5000);
    }
  }

  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (terminal >= 0) close(terminal);
    if (slave >= 0) close(slave);
  }

  [[noreturn]] static void Exec(const std::vector<std::string>& argv,
                                const std::vector<std::string>& env) {
    for (const auto& e : env) putenv(strdup(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());  // a bare name is looked up in PATH
    _exit(127);
  }
};

// An X server on a free display number (it picks one and tells us, so parallel tests
// never collide); env adds "NAME=value" entries to its environment.
struct XServer {
  pid_t pid = -1;
  std::string display;

  bool Launch(std::vector<std::string> argv, const std::vector<std::string>& env = {}) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    // -noreset: by default a server resets when its last client leaves, and a program
    // connecting during the reset is refused (the tests' screen reads come and go).
    argv.insert(argv.end(), {"-displayfd", std::to_string(fds[1]), "-nolisten", "tcp", "-noreset"});
    pid = fork();
    if (pid == 0) {
      close(fds[0]);
      int null_fd = open("/dev/null", O_RDWR);
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
      Child::Exec(argv, env);
    }
    close(fds[1]);
    std::string number;
    char c;
    pollfd p = {fds[0], POLLIN, 0};
    while (poll(&p, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) return false;
    display = ":" + number;
    return true;
  }

  ~XServer() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

// One screen of the given size.
struct Xvfb : XServer {
  bool Start(int width, int height) {
    return Launch({"Xvfb", "-screen", "0", std::to_string(width) + "x" + std::to_string(height) + "x24"});
  }
};

// Two monitors of the given size side by side, as Xinerama heads of one screen: Xephyr
// inside an Xvfb. Its RandR, when kept, lists only the left one.
struct TwoMonitors {
  Xvfb host;
  XServer nested;

  bool Start(int width, int height, bool randr) {
    std::string size = std::to_string(width) + "x" + std::to_string(height);
    std::vector<std::string> argv = {"Xephyr", "+xinerama", "-screen", size, "-screen", size};
    if (!randr) argv.insert(argv.end(), {"-extension", "RANDR"});
    return host.Start(2 * width, height) && nested.Launch(argv, {"DISPLAY=" + host.display});
  }
};
