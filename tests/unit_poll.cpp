// The keyboard poll on a real pseudo-terminal as the controlling terminal of a foreground
// and of a background job, and without a terminal: /dev/null, pipes, a closed descriptor.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "system.h"

// Standard input replaced for the length of one test.
struct StdinAs {
  int saved = dup(0);
  explicit StdinAs(int fd) { fd >= 0 ? dup2(fd, 0) : close(0); }
  ~StdinAs() { dup2(saved, 0), close(saved); }
};

// A fresh pseudo-terminal and its mode when the test began.
struct Terminal {
  int master = -1, slave = -1;
  termios before = {};
  Terminal() { openpty(&master, &slave, nullptr, nullptr, nullptr), tcgetattr(slave, &before); }
  ~Terminal() { close(master), close(slave); }
  bool ModeKept() const {
    termios now;
    tcgetattr(slave, &now);
    return now.c_iflag == before.c_iflag && now.c_oflag == before.c_oflag &&
           now.c_cflag == before.c_cflag && now.c_lflag == before.c_lflag &&
           memcmp(now.c_cc, before.c_cc, sizeof(now.c_cc)) == 0;
  }
  // Types `keys` and waits until the terminal has taken them in (their echo is back).
  void Type(const char* keys) const {
    pollfd p = {master, POLLIN, 0};
    ASSERT_EQ(write(master, keys, strlen(keys)), (ssize_t)strlen(keys));
    ASSERT_EQ(poll(&p, 1, -1), 1);
  }
};

// Without a terminal (a menu launcher, a service, ssh -n) only a byte actually waiting is a
// key, and it stays one: /dev/null, a pipe at its end, an empty pipe and a closed input are not.
TEST(Poll, WithoutATerminalOnlyAWaitingByteIsAKey) {
  int null_fd = open("/dev/null", O_RDONLY), empty[2], ended[2], carries[2];
  ASSERT_TRUE(null_fd >= 0 && pipe(empty) == 0 && pipe(ended) == 0 && pipe(carries) == 0);
  close(ended[1]);
  ASSERT_EQ(write(carries[1], "q", 1), 1);
  const struct { const char* what; int fd, key; } cases[] = {
      {"/dev/null", null_fd, 0}, {"an empty pipe", empty[0], 0}, {"a pipe at its end", ended[0], 0},
      {"a closed input", -1, 0}, {"a pipe that carries a byte", carries[0], 1}};
  for (const auto& c : cases) {
    StdinAs in(c.fd);
    EXPECT_EQ(dglProcessMessages(), c.key) << c.what;
    EXPECT_EQ(dglProcessMessages(), c.key) << c.what << ", polled again";
  }
  for (int fd : {null_fd, empty[0], empty[1], ended[0], carries[0], carries[1]}) close(fd);
}

// On its controlling terminal, as from a shell. In the foreground one key, a single byte
// without a line end (only the poll's raw mode makes it readable), counts on this and
// every later poll. "demo &" runs in the background: it keeps polling (a mode change
// would stop it with SIGTTOU), and what is typed belongs to the shell: no key. Either
// way the terminal keeps its mode.
TEST(Poll, AKeyCountsInTheForegroundAndABackgroundJobIsNeverStopped) {
  for (bool background : {false, true}) {
    Terminal t;
    ASSERT_TRUE(t.before.c_lflag & ICANON) << "a fresh terminal edits lines";
    t.Type("q");
    pid_t session = fork();
    ASSERT_GE(session, 0);
    if (session == 0) {  // the "shell": a session on the terminal, its group in the foreground
      setsid();
      ioctl(t.slave, TIOCSCTTY, 0);
      pid_t job = fork();
      if (job == 0) {
        setpgid(0, 0);
        signal(SIGTTOU, SIG_IGN);
        if (!background) tcsetpgrp(t.slave, getpgrp());
        signal(SIGTTOU, SIG_DFL);
        dup2(t.slave, 0);
        int keys = 0;
        for (int i = 0; i < 5; i++) keys += dglProcessMessages();
        _exit(keys == (background ? 0 : 5) ? 0 : 1);
      }
      int status = 0;
      waitpid(job, &status, WUNTRACED);
      if (WIFSTOPPED(status)) kill(job, SIGKILL);
      _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(session, &status, 0), session);
    EXPECT_EQ(WEXITSTATUS(status), 0) << (background ? "background (2: stopped)" : "foreground");
    EXPECT_TRUE(t.ModeKept());
  }
}
