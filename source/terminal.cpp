#include <sys/select.h>
#include <stddef.h>
#include <termios.h>

#include "system_native.h"

// Raw mode only for the poll itself, so one key counts as input; the byte is never
// read, so it stays pending and every later poll reports it too.
int _dglPollTerminal() {
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
