// The demo clock: seconds since the last reset.
#pragma once

void dglResetTime();
double dglGetTime();

// The clock's arithmetic: whole seconds and microseconds differenced apart.
double _dglTimeDifference(long now_sec, long now_usec, long base_sec, long base_usec);
