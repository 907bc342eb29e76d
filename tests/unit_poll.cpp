// The keyboard poll on a real pseudo-terminal, on /dev/null and on a closed descriptor.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "system.h"

// Standard input replaced for the length of one test.
class StdinAs {
 public:
  explicit StdinAs(int fd) : saved_(dup(0)) {
    if (fd >= 0) dup2(fd, 0);
    else close(0);
  }
  ~StdinAs() {
    dup2(saved_, 0);
    close(saved_);
  }

 private:
  int saved_;
};

static bool SameMode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof(a.c_cc)) == 0;
}

// A fresh pseudo-terminal as standard input, and its mode when the test began.
struct Terminal {
  int master = -1, slave = -1;
  termios before;
  Terminal() {
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) == 0) tcgetattr(slave, &before);
  }
  ~Terminal() {
    close(master);
    close(slave);
  }
  bool ModeKept() const {
    termios after;
    tcgetattr(slave, &after);
    return SameMode(before, after);
  }
};

TEST(Poll, TerminalWithoutAKeyAnswersZeroAndKeepsItsMode) {
  Terminal t;
  ASSERT_GE(t.slave, 0);
  ASSERT_TRUE(t.before.c_lflag & ICANON) << "a fresh terminal edits lines";
  {
    StdinAs in(t.slave);
    for (int i = 0; i < 5; i++) EXPECT_EQ(dglProcessMessages(), 0);
  }
  EXPECT_TRUE(t.ModeKept());
}

TEST(Poll, OneKeyCountsOnThisAndEveryLaterPoll) {
  Terminal t;
  ASSERT_GE(t.slave, 0);
  {
    StdinAs in(t.slave);
    EXPECT_EQ(dglProcessMessages(), 0);
    // A single byte without a line end: only the poll's raw mode makes it readable.
    ASSERT_EQ(write(t.master, "q", 1), 1);
    usleep(20000);
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
  {
    StdinAs in(-1);
    EXPECT_EQ(dglProcessMessages(), -1);
  }
}
