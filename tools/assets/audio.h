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
// The scroller's tune: a 4-channel "M.K." ProTracker module.
std::vector<uint8_t> scroller_module(double* seconds);
