// The two pieces of music.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

// Interleaved stereo at 44.1 kHz in [-1, 1], exactly a whole number of bars long and
// periodic: whatever rings past the end is folded back onto the start.
std::vector<float> carousel_song(double* seconds);
// The song encoded by libmp3lame, CBR with its Info tag in the first frame. False with
// `error` set when the encoder fails.
bool encode_mp3(const std::vector<float>& stereo, std::vector<uint8_t>& out, std::string* error);
// Interleaved 16-bit samples of 1 or 2 channels at any MPEG rate, CBR at `kbps`, LAME's
// `quality` (0 best to 9); the song's encoder, and the tests' for files of their own.
bool encode_mp3_pcm(const std::vector<int16_t>& pcm, int rate, int channels, int kbps, int quality,
                    std::vector<uint8_t>& out, std::string* error);
// The scroller's tune: a 4-channel "M.K." ProTracker module.
std::vector<uint8_t> scroller_module(double* seconds);
