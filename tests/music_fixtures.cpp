#include "music_fixtures.h"

#include <lame/lame.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace music_fixtures {

std::vector<int16_t> sine(size_t frames, double hz, double amplitude, int rate, int channels) {
  std::vector<int16_t> out(frames * channels);
  for (size_t i = 0; i < out.size(); i++)
    out[i] = (int16_t)std::lround(amplitude * std::sin(2 * M_PI * hz * (double)(i / channels) / rate));
  return out;
}

std::vector<uint8_t> id3v2_tag(size_t padding) {
  size_t body = 15 + padding;  // one TIT2 frame, then the padding
  std::vector<uint8_t> tag = {'I', 'D', '3', 3, 0, 0, (uint8_t)((body >> 21) & 0x7F),
                              (uint8_t)((body >> 14) & 0x7F), (uint8_t)((body >> 7) & 0x7F),
                              (uint8_t)(body & 0x7F), 'T', 'I', 'T', '2', 0, 0, 0, 5, 0, 0, 0,
                              'T', 'o', 'n', 'e'};
  tag.resize(tag.size() + padding, 0);
  return tag;
}

std::vector<uint8_t> encode_mp3(const std::vector<int16_t>& pcm, int rate, int channels, int kbps) {
  lame_t gf = lame_init();
  lame_set_in_samplerate(gf, rate);
  lame_set_out_samplerate(gf, rate);
  lame_set_num_channels(gf, channels);
  lame_set_mode(gf, channels == 1 ? MONO : JOINT_STEREO);
  lame_set_VBR(gf, vbr_off);
  lame_set_brate(gf, kbps);
  lame_set_quality(gf, 5);
  lame_set_bWriteVbrTag(gf, 1);
  lame_set_write_id3tag_automatic(gf, 0);
  if (lame_init_params(gf) < 0) throw std::runtime_error("lame_init_params");
  int frames = (int)(pcm.size() / channels);
  std::vector<uint8_t> mp3((size_t)(1.25 * frames * channels) + 7200 + 8192);
  std::vector<short> left(frames), right(frames);
  for (int i = 0; i < frames; i++) left[i] = pcm[i * channels], right[i] = pcm[i * channels + channels - 1];
  int n = lame_encode_buffer(gf, left.data(), right.data(), frames, mp3.data(), (int)mp3.size());
  int m = n < 0 ? -1 : lame_encode_flush(gf, mp3.data() + n, (int)mp3.size() - n);
  if (m < 0) throw std::runtime_error("lame_encode");
  mp3.resize((size_t)(n + m));
  // The encoder left room for the Info tag in the first frame; fill it in.
  unsigned char tag[2880];
  size_t tag_size = lame_get_lametag_frame(gf, tag, sizeof(tag));
  if (tag_size == 0 || tag_size > mp3.size()) throw std::runtime_error("lame_get_lametag_frame");
  std::copy(tag, tag + tag_size, mp3.begin());
  lame_close(gf);
  return mp3;
}

namespace {

struct Cell {
  int sample, period, effect, param;
};
// Samples (the first loops as a whole) and one pattern of 64 rows x 4 channels, played once.
struct Song {
  std::vector<std::vector<int8_t>> samples;
  std::vector<Cell> pattern = std::vector<Cell>(64 * 4, Cell{0, 0, 0, 0});
};

Song square_song(int rows, int speed) {
  Song song;
  song.samples.push_back(std::vector<int8_t>(32, 100));
  std::fill(song.samples[0].begin() + 16, song.samples[0].end(), -100);
  song.pattern[0] = Cell{1, 428, 0xF, speed};
  song.pattern[(rows - 1) * 4 + 1] = Cell{0, 0, 0xD, 0};
  return song;
}

std::vector<uint8_t> write_mod(const Song& song) {
  std::vector<uint8_t> out(20, 0);  // title
  auto put16 = [&](size_t v) { out.insert(out.end(), {(uint8_t)(v >> 8), (uint8_t)v}); };
  for (size_t i = 0; i < 31; i++) {
    size_t words = i < song.samples.size() ? song.samples[i].size() / 2 : 0;
    out.resize(out.size() + 22, 0);  // name
    put16(words);
    out.insert(out.end(), {0, (uint8_t)(words ? 64 : 0)});  // finetune, volume
    put16(0);
    put16(i == 0 ? words : 1);  // loop length
  }
  out.insert(out.end(), {1, 127});  // one position: pattern 0
  out.resize(out.size() + 128, 0);
  out.insert(out.end(), {'M', '.', 'K', '.'});
  for (const Cell& c : song.pattern)
    out.insert(out.end(), {(uint8_t)((c.sample & 0xF0) | ((c.period >> 8) & 0x0F)), (uint8_t)c.period,
                           (uint8_t)(((c.sample & 0x0F) << 4) | (c.effect & 0x0F)), (uint8_t)c.param});
  for (const auto& s : song.samples) out.insert(out.end(), s.begin(), s.end());
  return out;
}

// `count` frames of 417 bytes: header FF FB 90 64, then filler from `seed` (0: zeros).
void append_mpeg_lookalike(std::vector<int8_t>& out, int count, unsigned seed) {
  unsigned state = seed;
  for (int f = 0; f < count; f++) {
    out.insert(out.end(), {-1, (int8_t)0xFB, (int8_t)0x90, 0x64});
    for (int i = 4; i < 417; i++)
      out.push_back(seed ? (int8_t)((state = state * 1103515245u + 12345u) >> 16) : 0);
  }
}

}  // namespace

std::vector<uint8_t> square_mod(int rows, int speed) { return write_mod(square_song(rows, speed)); }

std::vector<uint8_t> lookalike_mod(int variant) {
  // All silent-looking frames; noise around frames with noise for payload; frames up to the end.
  const int counts[] = {24, 20, 30};
  const unsigned seeds[] = {0, 7, 11};
  std::vector<int8_t> s;
  if (variant == 1) s = {3, -5, 17, 9, 1};
  append_mpeg_lookalike(s, counts[variant], seeds[variant]);
  for (int i = 0; variant == 1 && i < 101; i++) s.push_back((int8_t)(i * 37));
  if (s.size() % 2) s.push_back(0);
  Song song = square_song(8, 3);
  song.samples.push_back(s);
  song.pattern[4 * 2 + 2] = Cell{2, 214, 0, 0};  // the song plays it too
  return write_mod(song);
}

}  // namespace music_fixtures
