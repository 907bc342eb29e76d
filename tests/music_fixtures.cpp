#include "music_fixtures.h"

#include <lame/lame.h>
#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace music_fixtures {

std::vector<int16_t> sine(size_t frames, double hz, double amplitude) {
  std::vector<int16_t> out(frames * 2);
  for (size_t i = 0; i < frames; i++) {
    double v = amplitude * std::sin(2.0 * M_PI * hz * (double)i / 44100.0);
    out[i * 2] = out[i * 2 + 1] = (int16_t)std::lround(v);
  }
  return out;
}

std::vector<uint8_t> id3v2_tag(size_t padding) {
  const std::string title = "Test tone";
  std::vector<uint8_t> frame = {'T', 'I', 'T', '2', 0, 0, 0, (uint8_t)(title.size() + 1), 0, 0, 0};
  frame.insert(frame.end(), title.begin(), title.end());
  size_t body = frame.size() + padding;
  std::vector<uint8_t> tag = {'I',
                              'D',
                              '3',
                              3,
                              0,
                              0,
                              (uint8_t)((body >> 21) & 0x7F),
                              (uint8_t)((body >> 14) & 0x7F),
                              (uint8_t)((body >> 7) & 0x7F),
                              (uint8_t)(body & 0x7F)};
  tag.insert(tag.end(), frame.begin(), frame.end());
  tag.resize(tag.size() + padding, 0);
  return tag;
}

std::vector<uint8_t> encode_mp3(const std::vector<int16_t>& stereo, bool id3) {
  lame_t gf = lame_init();
  lame_set_in_samplerate(gf, 44100);
  lame_set_out_samplerate(gf, 44100);
  lame_set_num_channels(gf, 2);
  lame_set_VBR(gf, vbr_off);
  lame_set_brate(gf, 128);
  lame_set_quality(gf, 5);
  lame_set_bWriteVbrTag(gf, 1);
  lame_set_write_id3tag_automatic(gf, 0);
  if (lame_init_params(gf) < 0) throw std::runtime_error("lame_init_params");
  int frames = (int)(stereo.size() / 2);
  std::vector<uint8_t> mp3((size_t)(1.25 * frames) + 7200 + 8192);
  std::vector<short> pcm(stereo.begin(), stereo.end());
  int n = lame_encode_buffer_interleaved(gf, pcm.data(), frames, mp3.data(), (int)mp3.size());
  if (n < 0) throw std::runtime_error("lame_encode_buffer_interleaved");
  int m = lame_encode_flush(gf, mp3.data() + n, (int)mp3.size() - n);
  if (m < 0) throw std::runtime_error("lame_encode_flush");
  mp3.resize((size_t)(n + m));
  // The encoder left room for the Info tag in the first frame; fill it in.
  unsigned char tag[2880];
  size_t tag_size = lame_get_lametag_frame(gf, tag, sizeof(tag));
  if (tag_size == 0 || tag_size > mp3.size()) throw std::runtime_error("lame_get_lametag_frame");
  std::copy(tag, tag + tag_size, mp3.begin());
  lame_close(gf);
  if (id3) {
    std::vector<uint8_t> tagged = id3v2_tag(64);
    tagged.insert(tagged.end(), mp3.begin(), mp3.end());
    return tagged;
  }
  return mp3;
}

static void put16be(std::vector<uint8_t>& out, size_t v) {
  out.push_back((uint8_t)(v >> 8));
  out.push_back((uint8_t)v);
}

std::vector<uint8_t> write_mod(const ModSong& song) {
  std::vector<uint8_t> out;
  std::string title = song.title.substr(0, 20);
  title.resize(20, '\0');
  out.insert(out.end(), title.begin(), title.end());
  for (int i = 0; i < 31; i++) {
    std::string name = "sample " + std::to_string(i + 1);
    name.resize(22, '\0');
    out.insert(out.end(), name.begin(), name.end());
    if (i < (int)song.samples.size()) {
      const ModSample& s = song.samples[i];
      put16be(out, s.data.size() / 2);
      out.push_back(0);  // finetune
      out.push_back((uint8_t)s.volume);
      put16be(out, s.loop_length ? s.loop_start / 2 : 0);
      put16be(out, s.loop_length ? s.loop_length / 2 : 1);
    } else {
      put16be(out, 0);
      out.push_back(0);
      out.push_back(0);
      put16be(out, 0);
      put16be(out, 1);
    }
  }
  out.push_back((uint8_t)song.order.size());
  out.push_back(127);
  for (int i = 0; i < 128; i++)
    out.push_back(i < (int)song.order.size() ? (uint8_t)song.order[i] : 0);
  out.insert(out.end(), {'M', '.', 'K', '.'});
  for (const auto& pattern : song.patterns) {
    for (int i = 0; i < 64 * 4; i++) {
      ModCell c = i < (int)pattern.size() ? pattern[i] : ModCell{};
      out.push_back((uint8_t)((c.sample & 0xF0) | ((c.period >> 8) & 0x0F)));
      out.push_back((uint8_t)(c.period & 0xFF));
      out.push_back((uint8_t)(((c.sample & 0x0F) << 4) | (c.effect & 0x0F)));
      out.push_back((uint8_t)c.param);
    }
  }
  for (const auto& s : song.samples) out.insert(out.end(), s.data.begin(), s.data.end());
  return out;
}

static ModSample square_sample() {
  ModSample s;
  for (int i = 0; i < 32; i++) s.data.push_back(i < 16 ? 100 : -100);
  s.loop_start = 0;
  s.loop_length = 32;
  return s;
}

ModSong square_song(int rows, int speed) {
  ModSong song;
  song.title = "square";
  song.samples.push_back(square_sample());
  std::vector<ModCell> pattern(64 * 4);
  pattern[0] = ModCell{1, 428, 0xF, speed};
  pattern[(rows - 1) * 4 + 1] = ModCell{0, 0, 0xD, 0};
  song.patterns.push_back(pattern);
  song.order = {0};
  return song;
}

std::vector<int8_t> mpeg_lookalike(int count, unsigned seed) {
  std::vector<int8_t> out;
  unsigned state = seed;
  for (int f = 0; f < count; f++) {
    const uint8_t header[4] = {0xFF, 0xFB, 0x90, 0x64};
    for (uint8_t b : header) out.push_back((int8_t)b);
    for (int i = 4; i < 417; i++) {
      state = state * 1103515245u + 12345u;
      out.push_back(seed ? (int8_t)(state >> 16) : 0);
    }
  }
  if (out.size() % 2) out.push_back(0);
  return out;
}

ModSong lookalike_song(int variant) {
  ModSong song = square_song(8, 3);
  song.title = "lookalike " + std::to_string(variant);
  ModSample s;
  if (variant == 0) {
    // The whole sample is a run of silent-looking frames.
    s.data = mpeg_lookalike(24, 0);
  } else if (variant == 1) {
    // Noise, then frames with noise for payload, then noise again.
    std::vector<int8_t> run = mpeg_lookalike(20, 7);
    s.data = {3, -5, 17, 9, 1};
    s.data.insert(s.data.end(), run.begin(), run.end());
    for (int i = 0; i < 101; i++) s.data.push_back((int8_t)(i * 37));
  } else {
    // Frames up to the very end of the file, as a clean stream tail would be.
    s.data = mpeg_lookalike(30, 11);
  }
  if (s.data.size() % 2) s.data.push_back(0);
  song.samples.push_back(s);
  // Play the lookalike sample too, so the module is a song that uses it.
  song.patterns[0][4 * 2 + 2] = ModCell{2, 214, 0, 0};
  return song;
}

std::string make_temp_dir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/dgl_music_XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp");
  return std::string(buf.data());
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot write " + path);
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

}  // namespace music_fixtures
