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

TEST(Poll, TerminalWithoutAKeyAnswersZeroAndKeepsItsMode) {
  int master, slave;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  termios before;
  tcgetattr(slave, &before);
  ASSERT_TRUE(before.c_lflag & ICANON) << "a fresh terminal edits lines";
  {
    StdinAs in(slave);
    for (int i = 0; i < 5; i++) EXPECT_EQ(dglProcessMessages(), 0);
  }
  termios after;
  tcgetattr(slave, &after);
  EXPECT_TRUE(SameMode(before, after));
  close(master);
  close(slave);
}

TEST(Poll, OneKeyCountsOnThisAndEveryLaterPoll) {
  int master, slave;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  termios before;
  tcgetattr(slave, &before);
  {
    StdinAs in(slave);
    EXPECT_EQ(dglProcessMessages(), 0);
    // A single byte without a line end: only the poll's raw mode makes it readable.
    ASSERT_EQ(write(master, "q", 1), 1);
    usleep(20000);
    for (int i = 0; i < 3; i++) EXPECT_EQ(dglProcessMessages(), 1);
  }
  termios after;
  tcgetattr(slave, &after);
  EXPECT_TRUE(SameMode(before, after));
  close(master);
  close(slave);
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
