// Extensions of the audio stand-in beyond the BASS interface: an offline device
// that a capture tool pulls sample-exactly, a look at a channel's passes, and how
// far the live sound has fallen behind.
#ifndef BASS_OFFLINE_H
#define BASS_OFFLINE_H

#include "bass.h"

#ifdef __cplusplus
extern "C" {
#endif

// The output rate of every device, live or offline, in frames per second.
#define BASSX_RATE 44100

// While on, BASS_Init opens no audio device: nothing plays until BASSX_Render
// pulls the mix. Takes effect at the next BASS_Init.
void BASSX_SetOffline(BOOL on);

// Renders the next `frames` stereo frames (interleaved left, right) of the mix
// into `out`: silence where nothing plays. Channel state afterwards is exactly
// that after those frames: a channel whose last frame has been rendered is
// stopped. Returns `frames`, or 0 when no offline device is initialised.
DWORD BASSX_Render(short* out, DWORD frames);

// Number of passes that a playing channel has completed (a looping stream
// restarts after each), with the length in frames of the first `max` of them
// stored in `lengths` (may be null). 0 for an unknown handle.
DWORD BASSX_ChannelGetPasses(DWORD handle, QWORD* lengths, DWORD max);

// Seconds of silence the live device has played since BASS_Init where a playing
// channel's mix was not ready (the machine too busy to mix ahead): the sound is
// that much later than the wall clock since its start. 0 offline.
double BASSX_GetLateSeconds(void);

// Seconds from the last BASS_ChannelPlay until the live device took the channel's first
// frame, where its sound begins; -1 until it has. 0 offline.
double BASSX_GetStartDelaySeconds(void);

#ifdef __cplusplus
}
#endif

#endif
