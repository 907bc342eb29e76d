#include "util.h"

#include <time.h>

// Monotonic, not the wall clock: a board without a real-time clock steps its time
// when the network time arrives, and the show must not jump with it.
static struct timespec g_base_time;

double _dglTimeDifference(long now_sec, long now_usec, long base_sec, long base_usec) {
  double seconds = (double)(now_sec - base_sec);
  double micro = (double)(now_usec - base_usec) / 1000000.0;
  return seconds + micro;
}

void dglResetTime() { clock_gettime(CLOCK_MONOTONIC, &g_base_time); }

double dglGetTime() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return _dglTimeDifference(now.tv_sec, now.tv_nsec / 1000, g_base_time.tv_sec,
                            g_base_time.tv_nsec / 1000);
}
