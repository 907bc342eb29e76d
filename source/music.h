// One piece of music at a time from the data directory.
#pragma once
#include <stdint.h>

// 0 when the music has started, -1 on failure.
int dglPlayMusic(const char* name);
// Non-zero while the current music plays.
uint32_t dglIsMusicPlaying();

extern uint32_t chan;
extern int bass_initialized;
