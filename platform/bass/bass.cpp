// The BASS 2.4 calls this program makes, on free libraries: MP3 streams through
// libmpg123, tracker modules through libopenmpt, output through SDL2 audio (or
// an offline device that a capture tool pulls). As in BASS, an update thread of the
// stand-in's own decodes and mixes ahead into a playback buffer (BASS_CONFIG_BUFFER
// long, topped up every BASS_CONFIG_UPDATEPERIOD), and SDL's device callback only copies
// from it, so a busy moment of the machine is no gap in the sound. Offline, the mix is
// made where BASSX_Render pulls it.
#include "bass.h"

#include <SDL.h>
#ifdef DGL_PULSE
#include <pulse/pulseaudio.h>
#include <pulse/simple.h>
#endif
#ifdef DGL_ALSA
#include <alsa/asoundlib.h>
#endif
#ifdef DGL_PIPEWIRE
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#endif
#include <fcntl.h>
#include <libopenmpt/libopenmpt.h>
#include <math.h>
#include <mpg123.h>
#include <stdio.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <time.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <new>
#include <mutex>
#include <thread>
#include <vector>

#include "bass_offline.h"

namespace {

const int kRate = BASSX_RATE;
// Frames decoded at a time into a channel's buffer.
const size_t kDecodeFrames = 2048;
// Frames mixed at a time.
const size_t kMixFrames = 1024;

enum ChannelKind { KIND_STREAM, KIND_MUSIC };

// mpg123 reads the file's bytes from memory through these.
struct MemoryReader {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

struct Channel {
  DWORD handle = 0;
  ChannelKind kind = KIND_STREAM;
  DWORD flags = 0;
  bool playing = false;
  bool ended = false;
  std::vector<uint8_t> file;
  MemoryReader reader = {nullptr, 0, 0};
  mpg123_handle* mh = nullptr;
  int source_channels = 2;
  // Converts a stream at another rate to the output rate; null at the output rate.
  SDL_AudioStream* resampler = nullptr;
  long source_rate = 0;
  // Frames into and out of the converter since it started (or was last flushed).
  uint64_t converter_in = 0, converter_out = 0;
  openmpt_module* mod = nullptr;
  // Decoded stereo frames not yet mixed, from `pending_pos` on.
  std::vector<int16_t> pending;
  size_t pending_pos = 0;
  // Frame counts: decoded so far, mixed so far, and the decoded count at the
  // end of each finished pass of a looping stream.
  uint64_t decoded = 0;
  uint64_t mixed = 0;
  uint64_t pass_start = 0;
  std::vector<uint64_t> pass_ends;
  // Where the device's stream holds this channel's last frame, once it has ended: it
  // plays until the output has got that far.
  uint64_t end_at = 0;

  ~Channel() {
    if (mh) {
      mpg123_close(mh);
      mpg123_delete(mh);
    }
    if (mod) openmpt_module_destroy(mod);
    if (resampler) SDL_FreeAudioStream(resampler);
  }
};

// Guards the channel list and every channel in it: the audio callback holds it
// while it mixes, the main thread while it creates, starts or asks.
std::mutex mix_lock;
std::vector<std::unique_ptr<Channel>> channels;
// Handles only grow, so a handle from before a BASS_Free never names a new channel.
DWORD next_handle = 1;

bool initialized = false;
bool offline_requested = false;
bool offline_device = false;
SDL_AudioDeviceID device = 0;
bool fell_back_to_dummy = false;
DWORD device_buffer_ms = 30;
DWORD playback_buffer_ms = 500;  // BASS_CONFIG_BUFFER
DWORD update_period_ms = 100;    // BASS_CONFIG_UPDATEPERIOD; 0: no update thread

// Frames of the mix made since the device opened (under mix_lock).
uint64_t mix_position = 0;

// A device that has not called back for this long while a channel sounds is taken for lost.
const int64_t kLostAfterMs = 2000;

int64_t now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}
int64_t now_ms() { return now_ns() / 1000000; }

// The playback buffer: a ring of stereo frames that the update thread writes ahead and
// the device callback reads, one writer and one reader. Positions count frames since the
// device opened; the callback plays silence where the update thread fell behind a
// sounding channel, and counts it.
struct Playback {
  std::vector<int16_t> ring;
  size_t capacity = 0;  // frames
  std::atomic<uint64_t> written{0}, played{0};
  std::atomic<bool> sounding{false};  // a channel is playing and has frames to come
  std::atomic<uint64_t> late_frames{0};
  std::atomic<int> late_times{0};
  std::atomic<int64_t> called_at{0};  // when the device last called back (now_ms)
  // The last started channel's first frame: its output position, when it was started and
  // when the device took it (CLOCK_MONOTONIC ns; -1 until then).
  std::atomic<uint64_t> start_at{0};
  std::atomic<int64_t> started_ns{0}, taken_ns{-1};
  // Frames the device has taken, and the first frame's place among them; where our own
  // output says its latency, the first frame counts as taken only once it is heard.
  std::atomic<uint64_t> device_frames{0}, start_frame{0};
  std::atomic<bool> start_pending{false};
  // When the first frame went out, the last guess of when it is heard, the last two that agreed.
  int64_t written_ns = 0, heard_guess = 0, agreed_ns = 0;
  int readings = 0;
  int warned_late = 0;
  std::thread thread;
  std::condition_variable wake;
  bool quit = false;
} playback;

Channel* find_channel(DWORD handle) {
  for (auto& c : channels)
    if (c->handle == handle) return c.get();
  return nullptr;
}

// --- MPEG audio framing -------------------------------------------------------

struct MpegFrame {
  int version;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
  int layer;    // 1, 2, 3
  int rate;
  size_t length;
};

bool parse_mpeg_header(const uint8_t* p, MpegFrame* f) {
  static const short kbps[2][3][15] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  static const int rates[4][3] = {
      {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
  if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
  int version = (p[1] >> 3) & 3;
  int layer_bits = (p[1] >> 1) & 3;
  int bitrate_index = p[2] >> 4;
  int rate_index = (p[2] >> 2) & 3;
  int padding = (p[2] >> 1) & 1;
  // Reserved version, layer, sample rate and emphasis; free-format bit rates
  // have no length to check.
  if (version == 1 || layer_bits == 0 || rate_index == 3 || (p[3] & 3) == 2) return false;
  if (bitrate_index == 0 || bitrate_index == 15) return false;
  int layer = 4 - layer_bits;
  int rate = rates[version][rate_index];
  long bitrate = kbps[version == 3 ? 0 : 1][layer - 1][bitrate_index] * 1000L;
  size_t length;
  if (layer == 1)
    length = (size_t)((12 * bitrate / rate + padding) * 4);
  else if (layer == 3 && version != 3)
    length = (size_t)(72 * bitrate / rate + padding);
  else
    length = (size_t)(144 * bitrate / rate + padding);
  f->version = version;
  f->layer = layer;
  f->rate = rate;
  f->length = length;
  return true;
}

bool at_trailing_tag(const uint8_t* p, size_t n) {
  return (n >= 3 && memcmp(p, "TAG", 3) == 0) || (n >= 8 && memcmp(p, "APETAGEX", 8) == 0) ||
         (n >= 11 && memcmp(p, "LYRICSBEGIN", 11) == 0);
}

// mpg123 resynchronises on anything that looks like a frame header, and
// tracker modules are full of such byte runs. A stream must therefore begin
// with its first frame right where the leading ID3v2 tags end, and its first
// frames (up to 16) must follow one another cleanly.
bool is_mpeg_audio(const uint8_t* d, size_t n) {
  size_t pos = 0;
  while (n - pos >= 10 && memcmp(d + pos, "ID3", 3) == 0) {
    const uint8_t* t = d + pos;
    if (t[3] == 0xFF || t[4] == 0xFF) return false;
    if ((t[6] | t[7] | t[8] | t[9]) & 0x80) return false;
    size_t size = ((size_t)t[6] << 21) | ((size_t)t[7] << 14) | ((size_t)t[8] << 7) | t[9];
    size_t total = 10 + size + ((t[5] & 0x10) ? 10 : 0);
    if (total > n - pos) return false;
    pos += total;
  }
  MpegFrame first = {}, f = {};
  for (int i = 0; i < 16; i++) {
    size_t left = n - pos;
    if (i > 0 && (left < 4 || at_trailing_tag(d + pos, left))) break;
    if (left < 4 || !parse_mpeg_header(d + pos, &f)) return false;
    if (i == 0)
      first = f;
    else if (f.version != first.version || f.layer != first.layer || f.rate != first.rate)
      return false;
    if (f.length > left) return false;
    pos += f.length;
  }
  return true;
}

// --- file access --------------------------------------------------------------

bool read_source(BOOL mem, const void* file, QWORD offset, QWORD length,
                 std::vector<uint8_t>* out) {
  if (!file) return false;
  if (mem) {
    if (length == 0) return false;
    const uint8_t* p = (const uint8_t*)file + offset;
    out->assign(p, p + length);
    return true;
  }
  // Only a regular file: a FIFO must not block the open, and a directory or device
  // has no length to read.
  int fd = open((const char*)file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && (QWORD)info.st_size >= offset;
  if (ok) {
    QWORD avail = (QWORD)info.st_size - offset;
    QWORD take = length ? std::min(length, avail) : avail;
    // A file too large for memory is refused like any unreadable one (this is a C interface).
    try {
      out->resize((size_t)take);
    } catch (const std::bad_alloc&) {
      ok = false;
    }
    size_t done = 0;
    while (ok && done < out->size()) {
      ssize_t n = pread(fd, out->data() + done, out->size() - done, (off_t)(offset + done));
      if (n <= 0) ok = false;
      done += n > 0 ? (size_t)n : 0;
    }
  }
  close(fd);
  return ok && !out->empty();
}

mpg123_ssize_t reader_read(void* handle, void* buf, size_t count) {
  MemoryReader* r = (MemoryReader*)handle;
  size_t n = std::min(count, r->size - r->pos);
  memcpy(buf, r->data + r->pos, n);
  r->pos += n;
  return (mpg123_ssize_t)n;
}

off_t reader_seek(void* handle, off_t offset, int whence) {
  MemoryReader* r = (MemoryReader*)handle;
  off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? (off_t)r->pos : (off_t)r->size;
  off_t target = base + offset;
  if (target < 0 || target > (off_t)r->size) return -1;
  r->pos = (size_t)target;
  return target;
}

// --- decoding (under mix_lock) ------------------------------------------------

void append_frames(Channel* c, const int16_t* samples, size_t frames, int source_channels) {
  if (source_channels == 2) {
    c->pending.insert(c->pending.end(), samples, samples + frames * 2);
  } else {
    for (size_t i = 0; i < frames; i++) {
      c->pending.push_back(samples[i]);
      c->pending.push_back(samples[i]);
    }
  }
  c->decoded += frames;
}

// Starts converting from the stream's current rate, if it is not the output rate.
bool set_source_rate(Channel* c) {
  long rate = 0;
  int channels = 0, encoding = 0;
  if (mpg123_getformat(c->mh, &rate, &channels, &encoding) != MPG123_OK) return false;
  if (rate == c->source_rate) return true;
  if (c->resampler) SDL_FreeAudioStream(c->resampler);
  c->resampler = nullptr;
  c->source_rate = rate;
  c->converter_in = c->converter_out = 0;
  if (rate == kRate) return true;
  c->resampler = SDL_NewAudioStream(AUDIO_S16SYS, (Uint8)c->source_channels, (int)rate,
                                    AUDIO_S16SYS, (Uint8)c->source_channels, kRate);
  return c->resampler != nullptr;
}

// Hands decoded frames on, through the rate converter when there is one; `flush` at the
// end of the data lets the converter give back what it holds. SDL keeps its filter's
// tail even through a flush, so silence pushes it out, and the output is cut at the
// length the input has at the output rate.
void deliver(Channel* c, const int16_t* samples, size_t frames, bool flush) {
  if (!c->resampler) {
    if (frames) append_frames(c, samples, frames, c->source_channels);
    return;
  }
  const int frame_bytes = (int)sizeof(int16_t) * c->source_channels;
  if (frames) SDL_AudioStreamPut(c->resampler, samples, (int)frames * frame_bytes);
  c->converter_in += frames;
  uint64_t due = (c->converter_in * kRate + c->source_rate / 2) / c->source_rate;
  if (flush) {
    static const int16_t silence[kDecodeFrames * 2] = {};
    SDL_AudioStreamPut(c->resampler, silence, (int)kDecodeFrames * frame_bytes);
    SDL_AudioStreamFlush(c->resampler);
  }
  int16_t block[kDecodeFrames * 2];
  for (int got; (got = SDL_AudioStreamGet(c->resampler, block, sizeof(block))) > 0;) {
    uint64_t n = std::min<uint64_t>((size_t)got / frame_bytes, due - std::min(due, c->converter_out));
    if (n) append_frames(c, block, (size_t)n, c->source_channels);
    c->converter_out += n;
  }
  if (flush) {
    SDL_AudioStreamClear(c->resampler);
    c->converter_in = c->converter_out = 0;
  }
}

// Decodes the stream's next block; false at its end. A looping stream plays
// the last data that arrives with MPG123_DONE, then starts over from the top
// (through the same converter, so the join stays seamless).
bool decode_stream(Channel* c) {
  int16_t block[kDecodeFrames * 2];
  const size_t frame_bytes = sizeof(int16_t) * (size_t)c->source_channels;
  for (int attempt = 0; attempt < 64; attempt++) {
    size_t done = 0;
    uint64_t before = c->decoded;
    int r = mpg123_read(c->mh, (unsigned char*)block, kDecodeFrames * frame_bytes, &done);
    // A new rate part-way: what came before is converted at the old one.
    if (r == MPG123_NEW_FORMAT) {
      deliver(c, block, done / frame_bytes, true);
      if (!set_source_rate(c)) return c->decoded > before;
      continue;
    }
    bool end = r != MPG123_OK;
    bool pass_had_audio = c->decoded + done / frame_bytes > c->pass_start;
    bool loops = end && (c->flags & BASS_SAMPLE_LOOP) && pass_had_audio &&
                 mpg123_seek(c->mh, 0, SEEK_SET) >= 0;
    deliver(c, block, done / frame_bytes, end && !loops);
    if (!end) {
      if (c->decoded > before) return true;
      continue;
    }
    // The end of the data, or a fault that ends it.
    if (!loops) return c->decoded > before;
    c->pass_ends.push_back(c->decoded);
    c->pass_start = c->decoded;
    if (c->decoded > before) return true;
  }
  return false;
}

bool decode_music(Channel* c) {
  int16_t block[kDecodeFrames * 2];
  size_t frames;
  if (c->flags & BASS_SAMPLE_MONO) {
    frames = openmpt_module_read_mono(c->mod, kRate, kDecodeFrames, block);
    if (frames) append_frames(c, block, frames, 1);
  } else {
    frames = openmpt_module_read_interleaved_stereo(c->mod, kRate, kDecodeFrames, block);
    if (frames) append_frames(c, block, frames, 2);
  }
  return frames > 0;
}

// Refills an empty buffer; false when the channel has nothing more to play.
bool refill(Channel* c) {
  c->pending.clear();
  c->pending_pos = 0;
  return c->kind == KIND_STREAM ? decode_stream(c) : decode_music(c);
}

void mix(int16_t* out, size_t frames) {
  static int32_t acc[kMixFrames * 2];
  while (frames) {
    size_t n = std::min(frames, kMixFrames);
    memset(acc, 0, sizeof(acc[0]) * n * 2);
    for (auto& holder : channels) {
      Channel* c = holder.get();
      if (!c->playing || c->ended) continue;
      size_t done = 0;
      while (done < n) {
        if (c->pending_pos == c->pending.size() && !refill(c)) {
          c->ended = true;
          c->end_at = mix_position + done;
          break;
        }
        size_t avail = (c->pending.size() - c->pending_pos) / 2;
        size_t take = std::min(avail, n - done);
        const int16_t* src = c->pending.data() + c->pending_pos;
        for (size_t i = 0; i < take * 2; i++) acc[done * 2 + i] += src[i];
        c->pending_pos += take * 2;
        c->mixed += take;
        done += take;
      }
      // Look one block ahead, so that a channel whose last frame has just been
      // mixed reads as stopped now, not one pull later.
      if (!c->ended && c->pending_pos == c->pending.size() && !refill(c)) c->ended = true, c->end_at = mix_position + n;
    }
    for (size_t i = 0; i < n * 2; i++) out[i] = (int16_t)std::clamp(acc[i], -32768, 32767);
    out += n * 2;
    frames -= n;
    mix_position += n;
  }
}

bool any_sounding() {
  for (auto& c : channels)
    if (c->playing && !c->ended) return true;
  return false;
}

// How far the output has got: what the device took from the playback buffer, or offline
// (and without an update thread) what was mixed.
uint64_t output_position() { return playback.thread.joinable() ? playback.played.load() : mix_position; }

// The update thread: keeps the playback buffer full while a channel sounds. Nothing is
// mixed ahead while none does, so a channel started then is heard at once, not after
// buffered silence.
// Mixes one block into the playback buffer, if it has room (under mix_lock).
bool mix_ahead() {
  const uint64_t at = playback.written;
  if (!any_sounding() || at - playback.played + kMixFrames > playback.capacity) return false;
  int16_t block[kMixFrames * 2];
  mix(block, kMixFrames);
  for (size_t i = 0; i < kMixFrames; i++)
    memcpy(&playback.ring[(size_t)((at + i) % playback.capacity) * 2], &block[i * 2], 2 * sizeof(int16_t));
  playback.written.store(at + kMixFrames, std::memory_order_release);
  return true;
}

void update_thread() {
  // A test's fault: DGL_FAULT_MIX_STALL_MS=N stalls the mixing for N ms once the playback
  // buffer is first full, as a machine too busy to mix would.
  const char* stall = getenv("DGL_FAULT_MIX_STALL_MS");
  int64_t stall_ms = stall ? atoll(stall) : 0;
  std::unique_lock<std::mutex> lock(mix_lock);
  while (!playback.quit) {
    while (!playback.quit && mix_ahead()) {
      lock.unlock();  // the main thread's calls wait for one block at most
      lock.lock();
    }
    if (stall_ms > 0 && playback.written > 0) {
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(stall_ms));
      lock.lock();
      stall_ms = 0;
      continue;
    }
    playback.sounding = any_sounding();
    playback.wake.wait_for(lock, std::chrono::milliseconds(update_period_ms));
  }
}

bool own_output_open();

// A started channel's first frame, in the buffer the device takes at `at`. On SDL's devices
// that marks its moment (what a sound server holds after SDL, SDL does not say); our own
// outputs say it, and settle the moment once the frame is heard (heard_by_now).
void note_taken(uint64_t first, size_t frames, int64_t at) {
  const uint64_t start = playback.start_at;
  if (playback.taken_ns >= 0 || playback.start_pending || start >= first + frames) return;  // before `first`: the last call's
  const uint64_t offset = start > first ? start - first : 0;
  playback.start_frame = playback.device_frames + offset;
  if (own_output_open()) playback.start_pending = true, playback.written_ns = at, playback.heard_guess = playback.agreed_ns = 0, playback.readings = 0;
  else playback.taken_ns = at + (int64_t)(offset * 1000000000 / kRate);
}

// The pending first frame settled as heard at `at` (never before it was written).
void heard_at(int64_t at) {
  bool pending = true;
  if (playback.start_pending.compare_exchange_strong(pending, false)) playback.taken_ns = std::max(at, playback.written_ns);
}

// The first frame counts as taken once the output says it is heard: a server that has not
// begun to play a new stream (a sink waking up) still reports its usual latency, so a
// moment foretold before then can be off by a second. Until then the picture holds. A
// stream just begun (or a sink just woken) may also report a latency it does not have yet:
// a moment is believed once two readings agree on it and it is not before the frame was
// written, or, where readings never agree, after a second's worth of them.
void heard_by_now(int64_t now, int64_t latency_ns) {
  if (!playback.start_pending) return;
  if (latency_ns < 0) {  // an output that cannot say for a while: heard by now, as good as
    if (++playback.readings > 40) heard_at(now);
    return;
  }
  const int64_t heard = now + latency_ns + ((int64_t)playback.start_frame - (int64_t)playback.device_frames) * 1000000000 / kRate;
  const bool agreed = std::llabs(heard - playback.heard_guess) <= 2000000 && heard >= playback.written_ns;
  if (agreed) playback.agreed_ns = heard;
  playback.heard_guess = heard;
  if (heard <= now && (agreed || ++playback.readings > 40)) heard_at(heard);
}

// An underrun before the first frame was heard: all that was written has played, the first
// frame where the readings before it agreed, or, without such readings, about now.
void heard_before_underrun(int64_t now) {
  if (playback.start_pending) heard_at(playback.agreed_ns > 0 ? playback.agreed_ns : now);
}

void SDLCALL audio_callback(void*, Uint8* stream, int len) {
  const int64_t now = now_ns();
  playback.called_at = now / 1000000;
  int16_t* out = (int16_t*)stream;
  const size_t frames = (size_t)len / (2 * sizeof(int16_t));
  if (!playback.thread.joinable()) {  // no update thread: mixed here, as it is pulled
    std::lock_guard<std::mutex> lock(mix_lock);
    note_taken(mix_position, frames, now);
    mix(out, frames);
    playback.device_frames += frames;
    return;
  }
  const uint64_t played = playback.played, ready = playback.written.load(std::memory_order_acquire) - played;
  note_taken(played, frames, now);
  const size_t n = (size_t)std::min<uint64_t>(ready, frames);
  for (size_t i = 0; i < n; i++)
    memcpy(&out[i * 2], &playback.ring[(size_t)((played + i) % playback.capacity) * 2], 2 * sizeof(int16_t));
  memset(out + n * 2, 0, (frames - n) * 2 * sizeof(int16_t));
  if (n < frames && playback.sounding) playback.late_frames += frames - n, playback.late_times++;
  playback.played.store(played + n, std::memory_order_release);
  playback.device_frames += frames;
  playback.wake.notify_one();
}

void start_update_thread() {
  playback.capacity = std::max<size_t>(2 * kMixFrames, (size_t)playback_buffer_ms * kRate / 1000);
  playback.ring.assign(playback.capacity * 2, 0);
  playback.written = playback.played = 0;
  playback.late_frames = 0;
  playback.late_times = 0;
  // No start pending until a channel plays: a device without music keeps no clock waiting.
  playback.started_ns = playback.taken_ns = 0;
  playback.device_frames = playback.start_frame = 0;
  playback.start_pending = false;
  playback.warned_late = 0;
  playback.quit = false;
  if (update_period_ms) playback.thread = std::thread(update_thread);
}

void stop_update_thread() {
  if (!playback.thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mix_lock);
    playback.quit = true;
  }
  playback.wake.notify_one();
  playback.thread.join();
}

// Once, where the update thread fell behind a sounding channel (the machine too busy for a
// whole playback buffer): the output played silence there.
void report_late_output() {
  const int times = playback.late_times;
  if (times > playback.warned_late && !playback.warned_late)
    fprintf(stderr, "WARNING: the music fell behind the sound device (%.3f s of silence played); the picture waits for it. Raise BASS_CONFIG_BUFFER.\n",
            playback.late_frames / (double)kRate);
  playback.warned_late = times;
}

// --- the output device --------------------------------------------------------

// A power of two near the configured buffer length (in frames).
Uint16 device_buffer_frames() {
  double want = (double)device_buffer_ms * kRate / 1000.0;
  unsigned best = 256;
  for (unsigned p = 512; p <= 16384; p *= 2)
    if (fabs(log2(want / p)) < fabs(log2(want / best))) best = p;
  return (Uint16)best;
}

// --- our own output on PipeWire, a pulse server or ALSA ------------------------------
// Where SDL's choice is PipeWire, a pulse server (PulseAudio, or PipeWire's pulse server)
// or ALSA (a console, or a card named by the user), the music plays through a stream of
// our own instead, which tells how long until what it is given is heard: SDL keeps that to
// itself, and it is the 50 to 280 ms that the picture would otherwise show ahead of the
// sound. Fed by the same callback as SDL's devices: on a pulse server or ALSA a quarter of
// the device buffer at a time, on PipeWire what each of the graph's cycles asks for.
struct OwnOutput {
#ifdef DGL_PIPEWIRE
  pw_thread_loop* pw_loop = nullptr;
  pw_stream* pw = nullptr;
  bool pw_streaming = false;
  std::atomic<int> pw_steady{0};  // cycles in a row as long as they asked for
  int64_t pw_last_now = 0;
#endif
#ifdef DGL_PULSE
  pa_simple* pulse = nullptr;
#endif
#ifdef DGL_ALSA
  snd_pcm_t* pcm = nullptr;
#endif
  std::atomic<bool> open{false};
  std::thread writer;
  std::atomic<bool> quit{false}, failed{false};
  // An ALSA underrun: when what was queued ran out, and the frames written since.
  int64_t dry_ns = 0;
  bool underrun = false;
  uint64_t written_since = 0;
} own;

// Nanoseconds until what is written next is heard; -1 where the output cannot say now
// (a stream in an underrun).
int64_t own_latency_ns() {
#ifdef DGL_PULSE
  int error = 0;
  if (own.pulse) {
    const pa_usec_t latency = pa_simple_get_latency(own.pulse, &error);
    return latency == (pa_usec_t)-1 ? -1 : (int64_t)latency * 1000;
  }
#endif
#ifdef DGL_ALSA
  snd_pcm_sframes_t queued = 0;
  if (own.pcm) return snd_pcm_delay(own.pcm, &queued) == 0 && queued >= 0 ? (int64_t)queued * 1000000000 / kRate : -1;
#endif
  return -1;
}

// False once the output is gone (a server stopped, a card pulled).
bool own_write(const int16_t* buf, size_t frames) {
  (void)buf, (void)frames;  // a build with neither output writes nothing
#ifdef DGL_PULSE
  int error = 0;
  if (own.pulse) return pa_simple_write(own.pulse, buf, frames * 2 * sizeof(int16_t), &error) >= 0;
#endif
#ifdef DGL_ALSA
  while (frames && own.pcm && !own.quit) {
    snd_pcm_sframes_t n = snd_pcm_writei(own.pcm, buf, frames);
    // An underrun (the writer not run in time on a busy machine) restarts the stream.
    if (n == -EPIPE) own.underrun = true, own.written_since = 0, heard_before_underrun(now_ns());
    if (n < 0 && snd_pcm_recover(own.pcm, (int)n, 0) < 0) return false;
    if (n > 0) buf += n * 2, frames -= (size_t)n, own.written_since += (uint64_t)n;
  }
  // The card played silence from when the queue ran out until the first frame written after
  // it is heard: late, like a mix that fell behind, so the picture waits for the sound.
  snd_pcm_sframes_t queued = 0;
  if (own.pcm && snd_pcm_state(own.pcm) == SND_PCM_STATE_RUNNING && snd_pcm_delay(own.pcm, &queued) == 0) {
    const int64_t now = now_ns();
    // Only once the first frame is heard: before, the picture waits for it anyway.
    const int64_t taken = playback.taken_ns, from = std::max(own.dry_ns, taken);
    if (own.underrun && playback.sounding && taken >= 0 && !playback.start_pending) {
      const int64_t heard = now + ((int64_t)queued - (int64_t)own.written_since) * 1000000000 / kRate;
      if (heard > from) playback.late_frames += (uint64_t)((heard - from) * kRate / 1000000000), playback.late_times++;
    }
    own.underrun = false;
    own.dry_ns = now + (int64_t)queued * 1000000000 / kRate;
  }
#endif
  return true;
}

bool own_output_open() { return own.open; }

void own_writer(size_t frames) {
  std::vector<int16_t> buf(frames * 2);
  // A test's fault: DGL_FAULT_OUTPUT_STALL_MS=N stalls this writer once for N ms, a second
  // into the music, as a machine too busy to run it would.
  const char* stall = getenv("DGL_FAULT_OUTPUT_STALL_MS");
  int64_t stall_ms = stall ? atoll(stall) : 0;
  while (!own.quit) {
    if (stall_ms > 0 && playback.taken_ns > 0 && now_ns() - playback.taken_ns > 1000000000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(stall_ms));
      stall_ms = 0;
    }
    heard_by_now(now_ns(), own_latency_ns());
    audio_callback(nullptr, (Uint8*)buf.data(), (int)(buf.size() * sizeof(int16_t)));
    if (!own_write(buf.data(), frames)) {
      own.failed = true;  // recover_lost_device moves on
      break;
    }
  }
  // Gone before it was heard: as good as heard now, for the next output to go on from.
  heard_at(now_ns());
}

#ifdef DGL_PIPEWIRE
// Each cycle of the graph asks for its length in frames. The sink takes what is queued now
// in this cycle and puts it behind the cycle's worth a device still holds (PipeWire runs a
// card one cycle ahead): heard a cycle after this one began, behind what is still queued
// and the delay PipeWire reports from the sink to the device (a card's headroom).
void pw_output_process(void*) {
  pw_buffer* b = pw_stream_dequeue_buffer(own.pw);
  if (!b) return;
  spa_data& d = b->buffer->datas[0];
  uint32_t frames = d.data ? d.maxsize / 4 : 0;
  if (b->requested) frames = std::min(frames, (uint32_t)b->requested);
  pw_time t = {};
  if (frames && pw_stream_get_time_n(own.pw, &t, sizeof t) == 0 && t.now > 0 && t.rate.denom) {
    const int64_t ahead = frames + (int64_t)t.queued + (int64_t)t.buffered;  // queued counts b->size: frames
    const int64_t heard = t.now + t.delay * 1000000000 * t.rate.num / t.rate.denom + ahead * 1000000000 / kRate, now = now_ns();
    heard_by_now(now, std::max<int64_t>(0, heard - now));
    const int64_t cycle = t.now - own.pw_last_now, asked = (int64_t)frames * 1000000000 / kRate;
    own.pw_steady = std::llabs(cycle - asked) < 1000000 ? own.pw_steady + 1 : 0;
    own.pw_last_now = t.now;
  }
  if (frames) audio_callback(nullptr, (Uint8*)d.data, (int)(frames * 4));
  d.chunk->offset = 0, d.chunk->stride = 4, d.chunk->size = frames * 4;
  b->size = frames;
  pw_stream_queue_buffer(own.pw, b);
}

// A server gone (stopped, killed) or a stream refused: recover_lost_device moves on.
void pw_output_state(void*, pw_stream_state, pw_stream_state state, const char*) {
  if (state == PW_STREAM_STATE_STREAMING) own.pw_streaming = true;
  if (state == PW_STREAM_STATE_ERROR || (state == PW_STREAM_STATE_UNCONNECTED && own.pw_streaming)) own.failed = true;
  pw_thread_loop_signal(own.pw_loop, false);
}

void close_pipewire_output() {
  pw_thread_loop_stop(own.pw_loop);  // no cycle runs after this
  if (own.pw) pw_stream_destroy(own.pw);
  pw_thread_loop_destroy(own.pw_loop);
  own.pw_loop = nullptr, own.pw = nullptr;
}

// Asks the graph for cycles of the device buffer's length, as SDL's driver would.
bool open_pipewire_output(size_t device_frames) {
  static bool initialised = false;
  if (!initialised) pw_init(nullptr, nullptr), initialised = true;
  static const pw_stream_events events = [] {
    pw_stream_events e = {};
    e.version = PW_VERSION_STREAM_EVENTS, e.state_changed = pw_output_state, e.process = pw_output_process;
    return e;
  }();
  own.pw_streaming = false, own.failed = false, own.pw_steady = 0, own.pw_last_now = 0;
  if (!(own.pw_loop = pw_thread_loop_new("quorvelt-audio", nullptr))) return false;
  char latency[32];
  snprintf(latency, sizeof latency, "%zu/%d", device_frames, kRate);
  pw_thread_loop_lock(own.pw_loop);
  own.pw = pw_stream_new_simple(pw_thread_loop_get_loop(own.pw_loop), "music",
                                pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
                                                  PW_KEY_APP_NAME, "quorvelt", PW_KEY_NODE_NAME, "quorvelt", PW_KEY_NODE_LATENCY, latency,
                                                  PW_KEY_NODE_ALWAYS_PROCESS, "true", nullptr),
                                &events, nullptr);
  uint8_t pod[256];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
  spa_audio_info_raw format = {};
  format.format = SPA_AUDIO_FORMAT_S16, format.rate = kRate, format.channels = 2;
  format.position[0] = SPA_AUDIO_CHANNEL_FL, format.position[1] = SPA_AUDIO_CHANNEL_FR;
  const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
  const auto flags = (pw_stream_flags)(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
  bool ok = own.pw && pw_stream_connect(own.pw, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) == 0 && pw_thread_loop_start(own.pw_loop) == 0;
  // Playing, or refused; a graph that does not start it in two seconds leaves it to SDL.
  for (const int64_t until = now_ns() + 2000000000; ok && !own.pw_streaming && !own.failed && now_ns() < until;)
    pw_thread_loop_timed_wait(own.pw_loop, 1);
  ok = ok && own.pw_streaming && !own.failed;
  pw_thread_loop_unlock(own.pw_loop);
  // A graph that has just taken the stream in may still be changing its cycle's length, and
  // a sound begun then came a cycle later than told (4 runs in 28 here): the music starts once
  // the cycles run as long as they ask for.
  for (const int64_t until = now_ns() + 1000000000; ok && own.pw_steady < 3 && now_ns() < until;)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!ok) close_pipewire_output();
  return ok;
}
#endif

#ifdef DGL_PIPEWIRE
// PipeWire's pulse server tells its streams' latency two of the graph's cycles short (about
// 90 ms at its 2048-frame cycles), so there the music goes to PipeWire itself.
bool pulse_server_is_pipewire() {
#ifdef DGL_PULSE
  struct Ask {
    bool answered = false, pipewire = false;
  } ask;
  pa_mainloop* loop = pa_mainloop_new();
  pa_context* context = loop ? pa_context_new(pa_mainloop_get_api(loop), "quorvelt") : nullptr;
  if (context && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
    pa_operation* op = nullptr;
    while (!ask.answered && PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) && pa_mainloop_iterate(loop, 1, nullptr) >= 0)
      if (!op && pa_context_get_state(context) == PA_CONTEXT_READY)
        op = pa_context_get_server_info(context, [](pa_context*, const pa_server_info* info, void* data) {
          auto* a = (Ask*)data;
          a->answered = true, a->pipewire = info && info->server_name && strstr(info->server_name, "PipeWire");
        }, &ask);
    if (op) pa_operation_unref(op);
    pa_context_disconnect(context);
  }
  if (context) pa_context_unref(context);
  if (loop) pa_mainloop_free(loop);
  return ask.pipewire;
#else
  return false;
#endif
}
#endif

// Our own stream on SDL's chosen driver, where it is one we speak; false leaves it to SDL.
bool open_own_output(const char* driver, size_t device_frames) {
  if (!driver) return false;
#ifdef DGL_PIPEWIRE
  if (!strcmp(driver, "pipewire") || (!strcmp(driver, "pulseaudio") && pulse_server_is_pipewire())) {
    own.quit = false;
    if (open_pipewire_output(device_frames)) return own.open = true;
  }
#endif
#ifdef DGL_PULSE
  if (!strcmp(driver, "pulseaudio")) {
    const pa_sample_spec format = {PA_SAMPLE_S16NE, kRate, 2};
    // Three device buffers as the server's target length: a server whose stream runs dry
    // drops what comes late (a jump in the music), and the clock counts the latency anyway.
    const uint32_t bytes = (uint32_t)(device_frames * 4);
    const pa_buffer_attr attr = {(uint32_t)-1, 3 * bytes, (uint32_t)-1, bytes / 4, (uint32_t)-1};
    int error = 0;
    own.pulse = pa_simple_new(nullptr, "quorvelt", PA_STREAM_PLAYBACK, nullptr, "music", &format, nullptr, &attr, &error);
    own.open = own.pulse != nullptr;
  }
#endif
#ifdef DGL_ALSA
  if (!strcmp(driver, "alsa")) {
    // The device SDL's ALSA driver would open: AUDIODEV, or ALSA's default.
    const char* name = getenv("AUDIODEV") && *getenv("AUDIODEV") ? getenv("AUDIODEV") : "default";
    if (snd_pcm_open(&own.pcm, name, SND_PCM_STREAM_PLAYBACK, 0) == 0 &&
        snd_pcm_set_params(own.pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 2, kRate, 1,
                           (unsigned)(device_frames * 1000000 / kRate)) == 0) {
      own.open = true;
    } else if (own.pcm) {
      snd_pcm_close(own.pcm);
      own.pcm = nullptr;
    }
  }
#endif
  if (!own.open) return false;
  own.quit = own.failed = false;
  own.underrun = false, own.written_since = 0, own.dry_ns = 0;
  own.writer = std::thread(own_writer, device_frames / 4);
  return true;
}

void close_own_output() {
  if (!own.open) return;
  own.quit = true;
  if (own.writer.joinable()) own.writer.join();
#ifdef DGL_PIPEWIRE
  if (own.pw_loop) {
    close_pipewire_output();
    heard_at(now_ns());  // gone before it was heard: as good as heard now
  }
#endif
#ifdef DGL_PULSE
  if (own.pulse) pa_simple_free(own.pulse);
  own.pulse = nullptr;
#endif
#ifdef DGL_ALSA
  if (own.pcm) snd_pcm_close(own.pcm);
  own.pcm = nullptr;
#endif
  own.open = false;
}

// The live device, SDL's or our own stream, closed; no callback runs after this.
void close_live_device() {
  if (device) {
    SDL_CloseAudioDevice(device);
    device = 0;
  }
  close_own_output();
}

void stop_device_at_exit() {
  close_live_device();
  stop_update_thread();
}

// Opens SDL audio on `driver` (null: SDL's own choice) and starts the callback.
bool open_sdl_device(const char* driver) {
  if (driver) SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, driver, SDL_HINT_OVERRIDE);
  int r = SDL_InitSubSystem(SDL_INIT_AUDIO);
  if (driver) {
#if SDL_VERSION_ATLEAST(2, 24, 0)
    SDL_ResetHint(SDL_HINT_AUDIODRIVER);
#else
    SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, nullptr, SDL_HINT_OVERRIDE);
#endif
  }
  if (r != 0) return false;
  SDL_AudioSpec want, have;
  SDL_zero(want);
  want.freq = kRate;
  want.format = AUDIO_S16SYS;
  want.channels = 2;
  want.samples = device_buffer_frames();
  want.callback = audio_callback;
  if (!open_own_output(SDL_GetCurrentAudioDriver(), want.samples)) device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
  if (!device && !own.open) {
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return false;
  }
  // The music plays until the process ends, but the device's thread must stop before
  // exit destroys the channels it mixes from. Registered after those globals exist,
  // the handler runs before their destructors.
  static bool stop_at_exit_registered = false;
  if (!stop_at_exit_registered) {
    atexit(stop_device_at_exit);
    stop_at_exit_registered = true;
  }
  playback.called_at = now_ms();
  if (device) SDL_PauseAudioDevice(device, 0);
  return true;
}

// SDL's choice of device on `driver` (null: SDL's own choice of driver too), with the
// backends' reports of what they could not open (ALSA alone prints a dozen lines) kept off
// standard error: the one warning of a fallback says it all.
bool open_sdl_device_quietly(const char* driver = nullptr) {
  fflush(stderr);
  int saved = dup(STDERR_FILENO);
  int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  bool redirected = saved >= 0 && null_fd >= 0 && dup2(null_fd, STDERR_FILENO) >= 0;
  bool ok = open_sdl_device(driver);
  if (redirected) {
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
  }
  if (saved >= 0) close(saved);
  if (null_fd >= 0) close(null_fd);
  return ok;
}

// A console without a sound server (Pi OS Lite), or a desktop image started from the
// console, whose ALSA "default" goes through a PipeWire or PulseAudio plugin that finds no
// server: ALSA's own devices still play. The card's default device, then the first card.
// Not where the user named a device (AUDIODEV).
bool open_alsa_hardware() {
  const char* named = getenv("AUDIODEV");
  if (named && *named) return false;
  for (const char* pcm : {"sysdefault", "plughw:0,0"}) {
    setenv("AUDIODEV", pcm, 1);  // what SDL's ALSA backend opens as its default device
    bool ok = open_sdl_device_quietly("alsa");
    unsetenv("AUDIODEV");
    if (ok) return true;
  }
  return false;
}

bool open_live_device() {
  const char* named = getenv("SDL_AUDIODRIVER");
  if (named && *named) return open_sdl_device(nullptr);
  if (!fell_back_to_dummy) {
    if (open_sdl_device_quietly() || open_alsa_hardware()) return true;
    // A machine without sound still plays the show, timed by a silent device.
    fprintf(stderr,
            "WARNING: no audio device opened (%s); playing silently on SDL's dummy driver.\n",
            SDL_GetError());
    fell_back_to_dummy = true;
  }
  return open_sdl_device("dummy");
}

// A device that goes away part-way (a sound server stopped or killed, a USB card pulled)
// stops SDL's callback, and with it the music's own clock: a module would never end. The
// mix moves to the next device that opens, the silent one at worst, and goes on where it
// was. Called outside the mix lock: closing the device waits for its callback.
void recover_lost_device() {
  if (offline_device || (!device && !own.open)) return;
  // Some drivers (SDL's pipewire one) report a device whose server has gone as playing and
  // just stop calling back: a device silent for seconds while a channel sounds is lost too.
  const bool silent = playback.sounding && now_ms() - playback.called_at > kLostAfterMs;
  const bool stopped = device ? SDL_GetAudioDeviceStatus(device) == SDL_AUDIO_STOPPED : own.failed.load();
  if (!stopped && !silent) return;
  char lost[64];
  snprintf(lost, sizeof lost, "%s", SDL_GetCurrentAudioDriver() ? SDL_GetCurrentAudioDriver() : "?");
  close_live_device();
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
  const char* named = getenv("SDL_AUDIODRIVER");
  bool ok = (named && *named) ? open_sdl_device(nullptr)
                              : !fell_back_to_dummy && (open_sdl_device_quietly() || open_alsa_hardware());
  if (!ok) ok = open_sdl_device("dummy");
  const char* now = ok ? SDL_GetCurrentAudioDriver() : nullptr;
  fprintf(stderr, "WARNING: the audio device stopped (%s); the music goes on %s%s.\n", lost,
          now ? "through " : "nowhere: no device opens", now ? now : "");}

DWORD add_channel(std::unique_ptr<Channel> c) {
  std::lock_guard<std::mutex> lock(mix_lock);
  c->handle = next_handle++;
  if (!next_handle) next_handle = 1;
  DWORD h = c->handle;
  channels.push_back(std::move(c));
  return h;
}

openmpt_module* open_module(const std::vector<uint8_t>& file, DWORD flags) {
  static const openmpt_module_initial_ctl ctls[] = {
      {"play.at_end", "stop"},
      // Plain 16-bit output, as BASS mixes: no dither noise on top of the samples.
      {"dither", "0"},
      // The Amiga resampler would override the interpolation filter chosen below.
      {"render.resampler.emulate_amiga", "0"},
      {nullptr, nullptr}};
  int error = 0;
  const char* message = nullptr;
  openmpt_module* mod = openmpt_module_create_from_memory2(
      file.data(), file.size(), openmpt_log_func_silent, nullptr, openmpt_error_func_ignore,
      nullptr, &error, &message, ctls);
  if (message) openmpt_free_string(message);
  if (!mod) return nullptr;
  openmpt_module_set_repeat_count(mod, (flags & BASS_SAMPLE_LOOP) ? -1 : 0);
  int filter = (flags & BASS_MUSIC_NONINTER) ? 1 : (flags & BASS_MUSIC_SINCINTER) ? 8 : 2;
  openmpt_module_set_render_param(mod, OPENMPT_MODULE_RENDER_INTERPOLATIONFILTER_LENGTH, filter);
  int ramping = (flags & (BASS_MUSIC_RAMP | BASS_MUSIC_RAMPS)) ? -1 : 0;
  openmpt_module_set_render_param(mod, OPENMPT_MODULE_RENDER_VOLUMERAMPING_STRENGTH, ramping);
  return mod;
}

// Back to the first frame with nothing pending: a new start.
bool rewind_channel(Channel* c) {
  c->pending.clear();
  c->pending_pos = 0;
  c->decoded = c->mixed;
  c->pass_start = c->decoded;
  if (c->kind == KIND_STREAM) return mpg123_seek(c->mh, 0, SEEK_SET) >= 0;
  // A module that has stopped at its end stays stopped, so start a fresh one.
  openmpt_module* mod = open_module(c->file, c->flags);
  if (!mod) return false;
  openmpt_module_destroy(c->mod);
  c->mod = mod;
  return true;
}

}  // namespace

extern "C" {

DWORD BASS_GetVersion(void) { return (DWORD)BASSVERSION << 16; }

BOOL BASS_SetConfig(DWORD option, DWORD value) {
  // Each takes effect at the next BASS_Init, within the ranges BASS 2.4 allows.
  if (option == BASS_CONFIG_DEV_BUFFER) {
    device_buffer_ms = value ? value : 1;
  } else if (option == BASS_CONFIG_BUFFER) {
    playback_buffer_ms = std::clamp<DWORD>(value, 10, 5000);
  } else if (option == BASS_CONFIG_UPDATEPERIOD) {
    update_period_ms = value ? std::clamp<DWORD>(value, 5, 100) : 0;
  } else {
    return FALSE;
  }
  return TRUE;
}

BOOL BASS_Init(int device_index, DWORD freq, DWORD flags, void* win, const void* dsguid) {
  (void)freq, (void)flags, (void)win, (void)dsguid;
  // -1 is the default device, 1 the first real one; this stand-in has one.
  if (initialized || (device_index != -1 && device_index != 1)) return FALSE;
  offline_device = offline_requested;
  mix_position = 0;
  if (!offline_device) {
    start_update_thread();
    if (!open_live_device()) {
      stop_update_thread();
      return FALSE;
    }
  }
  initialized = true;
  return TRUE;
}

BOOL BASS_Free(void) {
  if (!initialized) return FALSE;
  if (device || own.open) {
    close_live_device();  // joins the audio thread
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
  }
  stop_update_thread();
  std::lock_guard<std::mutex> lock(mix_lock);
  channels.clear();
  initialized = false;
  offline_device = false;
  return TRUE;
}

HSTREAM BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags) {
  if (!initialized) return 0;
  auto c = std::make_unique<Channel>();
  if (!read_source(mem, file, offset, length, &c->file)) return 0;
  if (!is_mpeg_audio(c->file.data(), c->file.size())) return 0;
  c->kind = KIND_STREAM;
  c->flags = flags;
  c->reader = {c->file.data(), c->file.size(), 0};
  c->source_channels = (flags & BASS_SAMPLE_MONO) ? 1 : 2;
  int err = MPG123_OK;
  c->mh = mpg123_new(nullptr, &err);
  if (!c->mh) return 0;
  long mpg_flags = MPG123_QUIET | MPG123_GAPLESS |
                   (c->source_channels == 1 ? MPG123_MONO_MIX : MPG123_FORCE_STEREO);
  mpg123_param(c->mh, MPG123_FLAGS, mpg_flags, 0);
  // Every MPEG rate, decoded as it is; rates other than the output's are converted
  // (SDL's band-limited resampler, cleaner than the decoder's own N-to-M synthesis).
  mpg123_format_none(c->mh);
  const long* rates = nullptr;
  size_t rate_count = 0;
  mpg123_rates(&rates, &rate_count);
  for (size_t i = 0; i < rate_count; i++)
    mpg123_format(c->mh, rates[i], c->source_channels == 1 ? MPG123_MONO : MPG123_STEREO,
                  MPG123_ENC_SIGNED_16);
  if (mpg123_replace_reader_handle(c->mh, reader_read, reader_seek, nullptr) != MPG123_OK ||
      mpg123_open_handle(c->mh, &c->reader) != MPG123_OK || !set_source_rate(c.get()))
    return 0;
  return add_channel(std::move(c));
}

HMUSIC BASS_MusicLoad(BOOL mem, const void* file, QWORD offset, DWORD length, DWORD flags,
                      DWORD freq) {
  (void)freq;  // Modules render at the output rate.
  if (!initialized) return 0;
  auto c = std::make_unique<Channel>();
  if (!read_source(mem, file, offset, length, &c->file)) return 0;
  size_t probe_size = std::min(c->file.size(), openmpt_probe_file_header_get_recommended_size());
  int error = 0;
  const char* message = nullptr;
  int probe = openmpt_probe_file_header(
      OPENMPT_PROBE_FILE_HEADER_FLAGS_DEFAULT, c->file.data(), probe_size, c->file.size(),
      openmpt_log_func_silent, nullptr, openmpt_error_func_ignore, nullptr, &error, &message);
  if (message) openmpt_free_string(message);
  if (probe != OPENMPT_PROBE_FILE_HEADER_RESULT_SUCCESS) return 0;
  c->kind = KIND_MUSIC;
  c->flags = flags;
  c->mod = open_module(c->file, flags);
  if (!c->mod) return 0;
  return add_channel(std::move(c));
}

BOOL BASS_ChannelPlay(DWORD handle, BOOL restart) {
  if (initialized) recover_lost_device();
  std::lock_guard<std::mutex> lock(mix_lock);
  Channel* c = initialized ? find_channel(handle) : nullptr;
  if (!c) return FALSE;
  if ((restart || c->ended) && c->mixed > 0) {
    if (!rewind_channel(c)) return FALSE;
  }
  c->ended = false;
  c->playing = true;
  playback.start_at = mix_position;
  playback.started_ns = now_ns();
  playback.taken_ns = -1;
  playback.start_pending = false;
  // As BASS does, the start fills what the device asks for first, so the sound begins
  // with the channel's first frame rather than with a wait for the update thread.
  if (playback.thread.joinable())
    for (size_t ahead = 0; ahead < device_buffer_frames() + kMixFrames && mix_ahead(); ahead += kMixFrames) {
    }
  playback.sounding = true;
  playback.called_at = now_ms();
  playback.wake.notify_one();
  return TRUE;
}

DWORD BASS_ChannelIsActive(DWORD handle) {
  if (initialized) recover_lost_device(), report_late_output();
  std::lock_guard<std::mutex> lock(mix_lock);
  Channel* c = find_channel(handle);
  // An ended channel plays on until the output has taken its last frame.
  if (!c || !c->playing || (c->ended && output_position() >= c->end_at)) return BASS_ACTIVE_STOPPED;
  return BASS_ACTIVE_PLAYING;
}

void BASSX_SetOffline(BOOL on) { offline_requested = on != 0; }

DWORD BASSX_Render(short* out, DWORD frames) {
  if (!initialized || !offline_device || !out) return 0;
  std::lock_guard<std::mutex> lock(mix_lock);
  mix(out, frames);
  return frames;
}

double BASSX_GetLateSeconds(void) { return playback.late_frames / (double)kRate; }

double BASSX_GetStartDelaySeconds(void) {
  if (offline_device) return 0.0;
  const int64_t taken = playback.taken_ns;
  return taken < 0 ? -1.0 : (taken - playback.started_ns) / 1e9;
}

DWORD BASSX_ChannelGetPasses(DWORD handle, QWORD* lengths, DWORD max) {
  std::lock_guard<std::mutex> lock(mix_lock);
  Channel* c = find_channel(handle);
  if (!c) return 0;
  DWORD n = 0;
  uint64_t start = 0;
  for (uint64_t end : c->pass_ends) {
    if (end > c->mixed) break;
    if (lengths && n < max) lengths[n] = end - start;
    start = end;
    n++;
  }
  return n;
}

}  // extern "C"
