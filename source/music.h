// One piece of music at a time from the data directory.
#pragma once
#include <stdint.h>

// 0 when the music has started, -1 on failure.
int dglPlayMusic(const char* name);
// Non-zero while the current music plays.
uint32_t dglIsMusicPlaying();
// Seconds of silence the output played where the music was not ready since it started
// (the machine too busy to mix): the music is that much behind the wall clock.
double dglMusicLateSeconds();
// Seconds from the music's start until its first frame went to the output, where it is
// heard; negative until then.
double dglMusicStartDelay();

extern uint32_t chan;
extern int bass_initialized;
