// Music files made by the tests themselves: tones encoded as MP3 with LAME,
// and small ProTracker modules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace music_fixtures {

// `frames` stereo frames at 44100 Hz of a sine at `hz` (left and right alike).
std::vector<int16_t> sine(size_t frames, double hz, double amplitude);

// Constant bit rate MP3 (128 kbit/s, 44100 Hz) of interleaved stereo samples,
// led by LAME's Info tag, which carries the encoder delay and padding so that
// a gapless decoder gives back exactly the frames encoded. With `id3`, an
// ID3v2 tag comes first.
std::vector<uint8_t> encode_mp3(const std::vector<int16_t>& stereo, bool id3);

// An ID3v2.3 tag holding a title, `padding` zero bytes at its end.
std::vector<uint8_t> id3v2_tag(size_t padding);

struct ModSample {
  std::vector<int8_t> data;  // even length
  int volume = 64;
  size_t loop_start = 0;   // bytes, even
  size_t loop_length = 0;  // bytes, even; 0: no loop
};

struct ModCell {
  int sample = 0;  // 1-based, 0: none
  int period = 0;  // Amiga period, 0: no note
  int effect = 0;
  int param = 0;
};

// A 4-channel "M.K." ProTracker module.
struct ModSong {
  std::string title;
  std::vector<ModSample> samples;              // up to 31
  std::vector<std::vector<ModCell>> patterns;  // 64 rows x 4 channels each
  std::vector<int> order;
};

std::vector<uint8_t> write_mod(const ModSong& song);

// One note of a looped square wave held for `rows` rows at `speed` ticks a row
// (125 BPM: 882 frames a tick), then a pattern break that ends the song.
ModSong square_song(int rows, int speed);

// Sample data made of `count` back-to-back MPEG-1 layer III frames (128 kbit/s,
// 44100 Hz, 417 bytes each): headers 0xFF 0xFB 0x90 .. followed by filler
// bytes from `seed` (0: zeros). Decoders that resynchronise take such runs for
// audio.
std::vector<int8_t> mpeg_lookalike(int count, unsigned seed);

// A playable song whose samples carry MPEG frame runs, in a few layouts
// (`variant` 0 to 2).
ModSong lookalike_song(int variant);

// A fresh directory under the system's temporary directory.
std::string make_temp_dir();
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace music_fixtures
