// The keyboard poll on a real pseudo-terminal (as a plain input, and as the controlling
// terminal of a foreground and a background job), on /dev/null and on a closed descriptor.
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

TEST(Poll, OneKeyCountsOnThisAndEveryLaterPollAndTheModeIsKept) {
  Terminal t;
  ASSERT_TRUE(t.before.c_lflag & ICANON) << "a fresh terminal edits lines";
  {
    StdinAs in(t.slave);
    for (int i = 0; i < 3; i++) EXPECT_EQ(dglProcessMessages(), 0);
    // A single byte without a line end: only the poll's raw mode makes it readable.
    t.Type("q");
    for (int i = 0; i < 3; i++) EXPECT_EQ(dglProcessMessages(), 1);
  }
  EXPECT_TRUE(t.ModeKept());
}

TEST(Poll, NullDeviceReadsAsAKeyAndAClosedInputAsFailure) {
  int null_fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(null_fd, 0);
  {
    StdinAs in(null_fd);
    EXPECT_EQ(dglProcessMessages(), 1);
  }
  close(null_fd);
  StdinAs in(-1);
  EXPECT_EQ(dglProcessMessages(), -1);
}

// "demo &" from a shell: a job in the background of its controlling terminal. It keeps
// polling (a mode change would stop it with SIGTTOU), sees no key in what the user types
// to the shell, and leaves the terminal's mode alone. The foreground job sees the key.
TEST(Poll, ABackgroundJobIsNeverStoppedAndTypingToTheShellIsNoKey) {
  for (bool background : {true, false}) {
    Terminal t;
    pid_t session = fork();
    ASSERT_GE(session, 0);
    if (session == 0) {  // the "shell": a session on the terminal, its group in the foreground
      pollfd p = {t.slave, POLLIN, 0};
      setsid();
      ioctl(t.slave, TIOCSCTTY, 0);
      poll(&p, 1, -1);  // the line is in
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
    t.Type("ls\n");  // a line typed to the shell before the job polls
    int status = 0;
    ASSERT_EQ(waitpid(session, &status, 0), session);
    EXPECT_EQ(WEXITSTATUS(status), 0) << (background ? "background: 2 = stopped" : "foreground");
    EXPECT_TRUE(t.ModeKept());
  }
}
