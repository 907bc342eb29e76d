// Music files made by the tests themselves: tones encoded as MP3 with LAME,
// and small four-channel "M.K." ProTracker modules.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace music_fixtures {

// `frames` frames of a sine at `rate` Hz, every channel alike.
std::vector<int16_t> sine(size_t frames, double hz, double amplitude, int rate = 44100, int channels = 2);
// CBR MP3 (MPEG-1, -2 or -2.5 by the rate) led by LAME's Info tag, whose delay and
// padding let a gapless decoder give back exactly the frames encoded.
std::vector<uint8_t> encode_mp3(const std::vector<int16_t>& pcm, int rate = 44100, int channels = 2,
                                int kbps = 128);
// An ID3v2.3 tag holding a title, `padding` zero bytes at its end.
std::vector<uint8_t> id3v2_tag(size_t padding);
// One note of a looped square wave held for `rows` rows at `speed` ticks a row
// (125 BPM: 882 frames a tick), then a pattern break that ends the song.
std::vector<uint8_t> square_mod(int rows, int speed);
// A playable module whose second sample holds runs of MPEG-1 layer III frame
// headers with filler, in a few layouts (`variant` 0 to 2).
std::vector<uint8_t> lookalike_mod(int variant);

}  // namespace music_fixtures
