// The audio stand-in's choice between stream and module and its decoding: each input is
// offered to the stream loader, then to the module loader, as the music module does, and
// what is accepted is rendered for up to two seconds on the offline device.
#include <stddef.h>
#include <stdint.h>

#include "bass.h"
#include "bass_offline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BASSX_SetOffline(TRUE);
  if (!BASS_Init(-1, 44100, 0, 0, NULL)) return 0;
  DWORD chan = size ? BASS_StreamCreateFile(TRUE, data, 0, size, BASS_SAMPLE_LOOP) : 0;
  if (!chan && size) chan = BASS_MusicLoad(TRUE, data, 0, (DWORD)size, 0x14202, 1);
  if (chan) {
    BASS_ChannelPlay(chan, FALSE);
    static short out[4410 * 2];
    for (int i = 0; i < 20 && BASS_ChannelIsActive(chan); i++) BASSX_Render(out, 4410);
  }
  BASS_Free();
  return 0;
}
