// Music: one piece at a time from the data directory, played by BASS 2.4.
// Every start closes the audio device and opens it afresh, which stops what
// played before; there is no cross-fade.
#include "music.h"

#include <stddef.h>

#include "bass.h"
#include "bass_offline.h"
#include "file_io.h"
#include "log.h"

// The current music. After a failed start it may still hold the handle from
// before the device was closed, which BASS then reports as stopped.
uint32_t chan = 0;
// 1 while the audio device is open.
int bass_initialized = 0;

// Non-interpolated mixing, ProTracker 1 rules, normal volume ramping, mono.
static const DWORD module_flags =
    BASS_MUSIC_NONINTER | BASS_MUSIC_PT1MOD | BASS_MUSIC_RAMP | BASS_SAMPLE_MONO;

int dglPlayMusic(const char* name) {
  // Whatever played before stops here.
  if (bass_initialized) {
    BASS_Free();
    bass_initialized = 0;
  }

  // The high word holds the major and minor version; the calls below are
  // those of the 2.4 interface.
  if ((BASS_GetVersion() >> 16) != BASSVERSION) {
    dglLogError("%s", "An incorrect version of BASS was loaded");
    return -1;
  }

  // A 100 ms output buffer, then the default device at 44100 Hz.
  BASS_SetConfig(BASS_CONFIG_DEV_BUFFER, 100);

  if (!BASS_Init(-1, 44100, 0, 0, NULL)) {
    dglLogError("%s", "Can't initialize device.");
    return -1;
  }
  bass_initialized = 1;

  // Content, not name, decides: a stream loops, anything else may be a module.
  const char* path = dglGetAbsolutePath(name);
  chan = BASS_StreamCreateFile(FALSE, path, 0, 0, BASS_SAMPLE_LOOP);
  if (chan) {
    BASS_ChannelPlay(chan, FALSE);
    return 0;
  }
  chan = BASS_MusicLoad(FALSE, path, 0, 0, module_flags, 1);
  if (chan) {
    BASS_ChannelPlay(chan, FALSE);
    return 0;
  }
  dglLogError("%s", "Can't play the file.");
  return -1;
}

uint32_t dglIsMusicPlaying() { return BASS_ChannelIsActive(chan); }

double dglMusicLateSeconds() { return bass_initialized ? BASSX_GetLateSeconds() : 0.0; }

double dglMusicStartDelay() { return bass_initialized ? BASSX_GetStartDelaySeconds() : 0.0; }
