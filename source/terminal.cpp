#include <sys/ioctl.h>
#include <sys/select.h>
#include <stddef.h>
#include <termios.h>
#include <unistd.h>

#include "system_native.h"

// Without a terminal (started from a desktop menu, by a service manager, by `ssh -n` or
// cron), standard input is usually /dev/null or a pipe whose writer has gone, and select
// reports their end of file as readable: that is no key. Only bytes actually waiting are
// one (a pipe that carries a byte, a file with something in it).
static int poll_without_terminal() {
  fd_set read_set;
  FD_ZERO(&read_set);
  FD_SET(0, &read_set);
  struct timeval timeout = {0, 0};
  if (select(1, &read_set, NULL, NULL, &timeout) <= 0) return 0;
  int waiting = 0;
  // /dev/null answers no count at all: nothing can ever be waiting there.
  if (ioctl(0, FIONREAD, &waiting) != 0) return 0;
  return waiting > 0;
}

// Raw mode only for the poll itself, so one key counts as input; the byte is never
// read, so it stays pending and every later poll reports it too.
int _dglPollTerminal() {
  if (!isatty(0)) return poll_without_terminal();
  // Run in the background of its controlling terminal ("demo &"), the demo must not
  // touch the terminal: changing its mode would stop the process (SIGTTOU), and what is
  // typed there belongs to the shell in the foreground. No key is pending for us then.
  pid_t foreground = tcgetpgrp(0);
  if (foreground != -1 && foreground != getpgrp()) return 0;
  struct termios saved = {}, raw;
  tcgetattr(0, &saved);
  raw = saved;
  cfmakeraw(&raw);
  tcsetattr(0, TCSANOW, &raw);
  fd_set read_set;
  FD_ZERO(&read_set);
  FD_SET(0, &read_set);
  struct timeval timeout = {0, 0};
  int ready = select(1, &read_set, NULL, NULL, &timeout);
  tcsetattr(0, TCSANOW, &saved);
  return ready;
}
