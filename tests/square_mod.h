// A tiny ProTracker module for tests that need a short, known piece of music.
#pragma once
#include <stdint.h>

#include <algorithm>
#include <vector>

// One note of a looped square wave held for `rows` rows at `speed` ticks a row
// (125 BPM: 882 frames a tick), then a pattern break that ends the song: a four-channel
// "M.K." module of one pattern, played once.
inline std::vector<uint8_t> square_mod(int rows, int speed) {
  std::vector<uint8_t> out(20, 0);  // title
  auto put16 = [&](size_t v) { out.insert(out.end(), {(uint8_t)(v >> 8), (uint8_t)v}); };
  for (int i = 0; i < 31; i++) {  // sample 1: 16 words, looped whole; the rest empty
    out.resize(out.size() + 22, 0);  // name
    put16(i ? 0 : 16);
    out.insert(out.end(), {0, (uint8_t)(i ? 0 : 64)});  // finetune, volume
    put16(0);
    put16(i ? 1 : 16);  // loop length
  }
  out.insert(out.end(), {1, 127});  // one position: pattern 0
  out.resize(out.size() + 128, 0);
  out.insert(out.end(), {'M', '.', 'K', '.'});
  const size_t pattern = out.size();
  out.resize(pattern + 64 * 4 * 4, 0);  // 64 rows x 4 channels x 4 bytes
  const uint8_t note[4] = {428 >> 8, 428 & 0xFF, 0x10 | 0xF, (uint8_t)speed};  // sample 1, period 428, speed
  std::copy(note, note + 4, out.begin() + pattern);
  out[pattern + ((rows - 1) * 4 + 1) * 4 + 2] = 0xD;  // pattern break
  for (int i = 0; i < 32; i++) out.push_back(i < 16 ? 100 : (uint8_t)-100);
  return out;
}

