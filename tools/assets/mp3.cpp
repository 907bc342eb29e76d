// MP3 encoding through libmp3lame: constant bit rate, with LAME's Info tag in the first
// frame, whose delay and padding give a gapless decoder back exactly the frames encoded.
#include <lame/lame.h>
#include <string.h>

#include <algorithm>

#include "audio.h"

bool encode_mp3_pcm(const std::vector<int16_t>& pcm, int rate, int channels, int kbps, int quality,
                    std::vector<uint8_t>& out, std::string* error) {
  lame_global_flags* gf = lame_init();
  if (!gf) {
    *error = "lame_init failed";
    return false;
  }
  lame_set_in_samplerate(gf, rate);
  lame_set_out_samplerate(gf, rate);
  lame_set_num_channels(gf, channels);
  lame_set_mode(gf, channels == 1 ? MONO : JOINT_STEREO);
  lame_set_VBR(gf, vbr_off);
  lame_set_brate(gf, kbps);
  lame_set_quality(gf, quality);
  lame_set_bWriteVbrTag(gf, 1);          // the Info tag: exact length for gapless looping
  lame_set_write_id3tag_automatic(gf, 0);
  if (lame_init_params(gf) < 0) {
    lame_close(gf);
    *error = "lame_init_params refused the settings";
    return false;
  }
  const size_t frames = pcm.size() / channels;
  out.clear();
  std::vector<unsigned char> buf(1 << 16);
  const size_t chunk = 8192;
  for (size_t at = 0; at < frames; at += chunk) {
    const int n = (int)std::min(chunk, frames - at);
    buf.resize((size_t)(1.25 * n + 7200));
    short* samples = (short*)&pcm[at * channels];
    const int w = channels == 1 ? lame_encode_buffer(gf, samples, samples, n, buf.data(), (int)buf.size())
                                : lame_encode_buffer_interleaved(gf, samples, n, buf.data(), (int)buf.size());
    if (w < 0) {
      lame_close(gf);
      *error = "lame_encode_buffer failed (" + std::to_string(w) + ")";
      return false;
    }
    out.insert(out.end(), buf.begin(), buf.begin() + w);
  }
  buf.resize(7200 * 2);
  const int w = lame_encode_flush(gf, buf.data(), (int)buf.size());
  if (w < 0) {
    lame_close(gf);
    *error = "lame_encode_flush failed";
    return false;
  }
  out.insert(out.end(), buf.begin(), buf.begin() + w);
  // The first frame was reserved for the tag; fill it in now that the length is known.
  unsigned char tag[2880];
  const size_t tag_len = lame_get_lametag_frame(gf, tag, sizeof tag);
  lame_close(gf);
  if (tag_len == 0 || tag_len > out.size()) {
    *error = "lame_get_lametag_frame gave no tag";
    return false;
  }
  memcpy(out.data(), tag, tag_len);
  return true;
}
