// demo-capture: the show recorded at a fixed step on the headless backend, with the
// sound pulled from the offline audio device frame by frame, so that picture and
// sound stay in step and every run gives the same bytes.
#include <GLES2/gl2.h>
#include <errno.h>
#include <libopenmpt/libopenmpt.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "bass_offline.h"
#include "file_io.h"
#include "music.h"
#include "output.h"
#include "png_io.h"
#include "system.h"
#include "timeline.h"

namespace {

const int kWidth = 1280, kHeight = 720;

const char kUsage[] =
    "usage: demo-capture [options] [ARG]\n"
    "Records the demo at a fixed frame rate on the headless backend, with its sound.\n"
    "\n"
    "Outputs (any together; at least one):\n"
    "  -o FILE.mp4        H.264 video and AAC sound, through the ffmpeg command\n"
    "  --frames DIR       every frame as DIR/frame-NNNNNN.png (numbered from 0) and the\n"
    "                     sound as DIR/audio.wav\n"
    "  --wav FILE         the sound as a WAV file (16-bit stereo, 44100 Hz)\n"
    "  --list FILE        one line per frame: index, show frame, show time, sequence,\n"
    "                     the sequence time it shows, audio samples\n"
    "  --at T             the picture at show time T as DIR/at-T.png, T as written by\n"
    "                     %g (at-30.png, at-20.5.png); repeatable; DIR from --at-dir\n"
    "  --at-dir DIR       where --at pictures go (default: the current directory)\n"
    "\n"
    "What is recorded:\n"
    "  --from T, --to T   only show times from T (inclusive) to T (exclusive) for -o,\n"
    "                     --frames, --wav and --list; earlier frames are still run\n"
    "  --fps N            frames per second, 1 to 240 (default 60)\n"
    "  --skip-carousel    start with the scroller sequence\n"
    "  ARG                exactly one argument skips the carousel, as for the demo\n"
    "  --preset P, --crf N  x264 settings for -o (default PRESET, CRF)\n"
    "  -h, --help         this text\n"
    "\n"
    "Show time is the video's own clock: seconds since the first frame of the show,\n"
    "frame n on screen from n / fps. Each frame shows the moment its interval ends, as\n"
    "the live show, whose clock has always moved on a little by the time it draws:\n"
    "the first frame of a sequence shows its time 1 / fps. The carousel runs until its\n"
    "first frame showing 36.25 s or later; the scroller sequence follows at once and runs\n"
    "until the module ends. With the carousel skipped, show time is the scroller\n"
    "sequence's own time. --at T gives the frame on screen at T (the last frame starting\n"
    "at or before it).\n"
    "\n"
    "Drawing, read-back and encoding overlap (the encoder is fed from a thread of its\n"
    "own); the progress line counts the frames the encoder has taken. The frames and the\n"
    "sound do not depend on the machine's speed.\n"
    "\n"
    "Nothing appears under an output's name unless the whole capture succeeded.\n"
    "Exit status: 0 on success, 1 on failure, 2 for bad arguments.\n";

struct Options {
  std::string mp4, frames_dir, wav, list, at_dir = ".";
  std::vector<double> at;
  double from = 0.0, to = -1.0;
  int fps = 60;
  bool skip_carousel = false;
  int positional = 0;
  std::string preset = kEncoderPreset;
  int crf = kEncoderCrf;
};

volatile sig_atomic_t g_interrupted = 0;
void on_signal(int) { g_interrupted = 1; }

double now_seconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

bool parse_number(const char* s, double* out) {
  char* end = nullptr;
  errno = 0;
  double v = strtod(s, &end);
  if (errno || end == s || *end || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

std::string time_name(double t) {
  char buf[64];
  snprintf(buf, sizeof buf, "%g", t);
  return buf;
}

// 0 when parsed, 1 after --help, 2 after a message on standard error.
int parse(int argc, char** argv, Options& o) {
  auto bad = [](const std::string& what) {
    fprintf(stderr, "demo-capture: %s (see --help)\n", what.c_str());
    return 2;
  };
  bool options_done = false;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (options_done || a.empty() || a[0] != '-' || a == "-") {
      o.positional++;
      continue;
    }
    if (a == "--") {
      options_done = true;
      continue;
    }
    if (a == "-h" || a == "--help") {
      std::string usage = kUsage;
      usage.replace(usage.find("PRESET"), 6, kEncoderPreset);
      usage.replace(usage.find("CRF"), 3, std::to_string(kEncoderCrf));
      fputs(usage.c_str(), stdout);
      return 1;
    }
    if (a == "--skip-carousel") {
      o.skip_carousel = true;
      continue;
    }
    static const char* const with_value[] = {"-o",   "--frames", "--wav", "--list", "--at",
                                             "--at-dir", "--from", "--to", "--fps",
                                             "--preset", "--crf"};
    bool known = false;
    for (const char* name : with_value) known = known || a == name;
    if (!known) return bad("unknown option " + a);
    if (i + 1 >= argc) return bad(a + " needs a value");
    const char* v = argv[++i];
    if (!*v) return bad(a + " needs a value");
    double number = 0.0;
    if (a == "-o") {
      o.mp4 = v;
    } else if (a == "--frames") {
      o.frames_dir = v;
    } else if (a == "--wav") {
      o.wav = v;
    } else if (a == "--list") {
      o.list = v;
    } else if (a == "--at-dir") {
      o.at_dir = v;
    } else if (a == "--preset") {
      o.preset = v;
    } else if (a == "--at" || a == "--from" || a == "--to") {
      if (!parse_number(v, &number) || number < 0.0)
        return bad(a + " takes a time in seconds, 0 or more, not '" + v + "'");
      if (a == "--at") o.at.push_back(number);
      if (a == "--from") o.from = number;
      if (a == "--to") o.to = number;
    } else if (a == "--fps" || a == "--crf") {
      if (!parse_number(v, &number) || number != floor(number))
        return bad(a + " takes a whole number, not '" + v + "'");
      if (a == "--fps") {
        if (number < 1 || number > 240) return bad("--fps must be 1 to 240");
        o.fps = (int)number;
      } else {
        if (number < 0 || number > 51) return bad("--crf must be 0 to 51");
        o.crf = (int)number;
      }
    }
  }
  if (o.mp4.empty() && o.frames_dir.empty() && o.wav.empty() && o.list.empty() && o.at.empty())
    return bad("nothing to write: give -o FILE.mp4, --frames DIR, --wav FILE, --list FILE or --at T");
  if (o.to >= 0.0 && o.to <= o.from) return bad("--to must be later than --from");
  return 0;
}

// The progress line: in place on a terminal, a few times a second; a line every few
// seconds otherwise, so a log stays readable.
class Progress {
 public:
  explicit Progress(int fps) : fps_(fps), tty_(isatty(2)), start_(now_seconds()), last_(start_) {}
  void Update(int64_t done, int64_t total, bool force = false) {
    double now = now_seconds();
    if (!force && now - last_ < (tty_ ? 0.25 : 5.0)) return;
    last_ = now;
    double elapsed = now - start_;
    double speed = elapsed > 0 ? (double)done / fps_ / elapsed : 0.0;
    double left = done > 0 && total > done ? (double)(total - done) * elapsed / (double)done : 0.0;
    fprintf(stderr, "%sdemo-capture: frame %lld of ~%lld (%.1f s of show), %.2fx real time, %d:%02d left%s",
            tty_ ? "\r" : "", (long long)done, (long long)total, (double)done / fps_, speed,
            (int)left / 60, (int)left % 60, tty_ ? "   " : "\n");
    shown_ = true;
  }
  void End() {
    if (shown_ && tty_) fputc('\n', stderr);
    shown_ = false;
  }

 private:
  int fps_;
  bool tty_;
  double start_, last_;
  bool shown_ = false;
};

// The module's length, for the progress estimate only; 0 when it cannot be read.
double module_seconds() {
  size_t size = 0;
  char* data = dglLoadFileToMemorySized("quorvelt.mod", "rb", &size);
  if (!data) return 0.0;
  openmpt_module* mod = openmpt_module_create_from_memory2(
      data, size, openmpt_log_func_silent, nullptr, openmpt_error_func_ignore, nullptr, nullptr,
      nullptr, nullptr);
  double seconds = mod ? openmpt_module_get_duration_seconds(mod) : 0.0;
  if (mod) openmpt_module_destroy(mod);
  free(data);
  return seconds;
}

int64_t frame_at(double t, int fps) { return (int64_t)floor(t * fps + 1e-6); }
// The moment frame n of a sequence shows: the end of its interval. The live show never
// draws at t = 0 exactly (its clock has always advanced a little by the first frame),
// where the keyframe rule gives both tracks their last values; so neither does this.
double frame_time(int64_t n, int fps) { return (double)(n + 1) / fps; }
int64_t first_frame_from(double t, int fps) { return (int64_t)ceil(t * fps - 1e-6); }

class Capture {
 public:
  Capture(const Options& o) : o_(o), progress_(o.fps) {}
  int Run();

 private:
  bool Open();
  bool Frame(bool carousel, int64_t seq_frame);
  bool Finish();
  void Fail(const std::string& message);

  const Options& o_;
  Outputs outputs_;
  FrameWriter encoder_;
  WavWriter wav_;
  std::string video_temp_, wav_temp_, mp4_temp_;
  FILE* list_ = nullptr;
  std::map<int64_t, std::string> at_frames_;  // show frame -> temporary PNG path
  int64_t from_frame_ = 0, to_frame_ = -1;    // range outputs: [from, to), to -1 for the end
  int64_t last_needed_ = -1;                  // -1: run to the end of the show
  bool range_outputs_ = false;
  int64_t show_frame_ = 0, captured_ = 0, total_estimate_ = 0;
  uint64_t samples_pulled_ = 0;
  std::vector<uint8_t> rgba_, picture_;
  std::vector<int16_t> audio_;
  Progress progress_;
  bool failed_ = false;
};

void Capture::Fail(const std::string& message) {
  if (failed_) return;
  failed_ = true;
  progress_.End();
  fprintf(stderr, "demo-capture: %s\n", message.c_str());
  encoder_.Kill();
  if (list_) fclose(list_);
  list_ = nullptr;
  outputs_.Abort();
}

bool Capture::Open() {
  range_outputs_ = !o_.mp4.empty() || !o_.frames_dir.empty() || !o_.wav.empty() || !o_.list.empty();
  from_frame_ = first_frame_from(o_.from, o_.fps);
  to_frame_ = o_.to >= 0.0 ? first_frame_from(o_.to, o_.fps) : -1;
  if (range_outputs_) last_needed_ = to_frame_ >= 0 ? to_frame_ - 1 : -1;
  int64_t last_at = -1;
  if (!o_.at.empty()) {
    if (!outputs_.MakeDir(o_.at_dir)) {
      Fail("cannot make " + o_.at_dir + ": " + strerror(errno));
      return false;
    }
    for (double t : o_.at) {
      int64_t f = frame_at(t, o_.fps);
      if (!at_frames_.count(f))
        at_frames_[f] = outputs_.Add(o_.at_dir + "/at-" + time_name(t) + ".png");
      last_at = std::max(last_at, f);
    }
  }
  if (!range_outputs_) last_needed_ = last_at;
  else if (last_needed_ >= 0) last_needed_ = std::max(last_needed_, last_at);

  double show = module_seconds();
  if (!o_.skip_carousel) show += coverflow_keys.back().time;
  total_estimate_ = (int64_t)(show * o_.fps) + 1;
  if (last_needed_ >= 0) total_estimate_ = std::min(total_estimate_, last_needed_ + 1);

  if (!o_.frames_dir.empty() && !outputs_.MakeDir(o_.frames_dir)) {
    Fail("cannot make " + o_.frames_dir + ": " + strerror(errno));
    return false;
  }
  if (!o_.list.empty()) {
    std::string temp = outputs_.Add(o_.list);
    list_ = fopen(temp.c_str(), "we");
    if (!list_) {
      Fail("cannot write " + o_.list + ": " + strerror(errno));
      return false;
    }
    fprintf(list_, "# index show_frame show_time sequence sequence_time audio_samples\n");
  }
  // One WAV serves --wav, --frames and the sound of the MP4.
  std::string wav_final;
  if (!o_.wav.empty()) wav_temp_ = outputs_.Add(o_.wav), wav_final = o_.wav;
  if (!o_.frames_dir.empty()) {
    std::string path = o_.frames_dir + "/audio.wav";
    if (wav_temp_.empty()) wav_temp_ = outputs_.Add(path), wav_final = path;
  }
  if (!o_.mp4.empty()) {
    if (wav_temp_.empty()) wav_temp_ = outputs_.AddScratch(o_.mp4, ".wav");
    video_temp_ = outputs_.AddScratch(o_.mp4, ".video.mp4");
    mp4_temp_ = outputs_.Add(o_.mp4);
  }
  if (!wav_temp_.empty() && !wav_.Open(wav_temp_)) {
    Fail("cannot write " + (wav_final.empty() ? wav_temp_ : wav_final) + ": " + strerror(errno));
    return false;
  }
  if (!o_.mp4.empty()) {
    if (!encoder_.Start(EncoderArgs(o_.fps, o_.preset, o_.crf, "mp4", video_temp_),
                        (size_t)kWidth * kHeight * 4)) {
      Fail(std::string("cannot start ffmpeg: ") + strerror(errno));
      return false;
    }
  }
  return true;
}

// One frame of the show, exactly as the live loop draws it, then its share of the sound.
bool Capture::Frame(bool carousel, int64_t seq_frame) {
  const double time = frame_time(seq_frame, o_.fps);
  const bool in_range =
      range_outputs_ && show_frame_ >= from_frame_ && (to_frame_ < 0 || show_frame_ < to_frame_);
  auto at = at_frames_.find(show_frame_);
  const bool picture = (in_range && (!o_.mp4.empty() || !o_.frames_dir.empty())) ||
                       at != at_frames_.end();
  // A frame that nobody sees still runs every draw call (the scroller keeps state from
  // frame to frame), but only into one pixel.
  if (!picture) {
    glEnable(GL_SCISSOR_TEST);
    glScissor(0, 0, 1, 1);
  }
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
  int drawn = carousel ? timeline_carousel_frame(time) : timeline_scroller_frame(time);
  if (drawn != 0) {
    char buf[128];
    snprintf(buf, sizeof buf, "a draw call failed at show time %.3f s", (double)show_frame_ / o_.fps);
    Fail(buf);
    return false;
  }
  // Straight into the encoder's next buffer when there is one (rows bottom up, as the
  // encoder takes them); it goes on its way while the next frame is drawn.
  const bool to_encoder = in_range && encoder_.running();
  uint8_t* pixels = nullptr;
  if (to_encoder && !(pixels = encoder_.Next())) {
    Fail(std::string("ffmpeg stopped taking frames (") + strerror(errno) + "); see its message above");
    return false;
  }
  if (picture) {
    if (!pixels) {
      rgba_.resize((size_t)kWidth * kHeight * 4);
      pixels = rgba_.data();
    }
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(0, 0, kWidth, kHeight, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
  } else {
    glDisable(GL_SCISSOR_TEST);
  }
  dglSwapBuffers();

  if (picture) {
    // GL's rows run bottom up; pictures and video run top down. What the screen shows
    // has no alpha, so PNGs carry RGB.
    const size_t row4 = (size_t)kWidth * 4, row3 = (size_t)kWidth * 3;
    if (at != at_frames_.end() || (in_range && !o_.frames_dir.empty())) {
      picture_.resize(row3 * kHeight);
      for (int y = 0; y < kHeight; y++) {
        const uint8_t* src = pixels + (size_t)(kHeight - 1 - y) * row4;
        uint8_t* dst = picture_.data() + (size_t)y * row3;
        for (int x = 0; x < kWidth; x++) {
          dst[x * 3 + 0] = src[x * 4 + 0];
          dst[x * 3 + 1] = src[x * 4 + 1];
          dst[x * 3 + 2] = src[x * 4 + 2];
        }
      }
      std::vector<std::string> names;  // temporary names
      if (at != at_frames_.end()) names.push_back(at->second);
      if (in_range && !o_.frames_dir.empty()) {
        char name[64];
        snprintf(name, sizeof name, "/frame-%06lld.png", (long long)captured_);
        names.push_back(outputs_.Add(o_.frames_dir + name));
      }
      for (const std::string& n : names) {
        if (!png_write(n, picture_.data(), kWidth, kHeight, 3)) {
          Fail("cannot write " + n.substr(0, n.rfind(".part-")) + ": " + strerror(errno));
          return false;
        }
      }
    }
    if (to_encoder) encoder_.Submit();
  }

  // Frame n owns the samples from n * 44100 / fps up to (n + 1) * 44100 / fps: the
  // fraction carries over, so no sample is lost or doubled however the rate divides.
  const uint64_t end = (uint64_t)(show_frame_ + 1) * BASSX_RATE / (uint64_t)o_.fps;
  const DWORD samples = (DWORD)(end - samples_pulled_);
  samples_pulled_ = end;
  audio_.resize((size_t)samples * 2);
  if (BASSX_Render(audio_.data(), samples) != samples)
    std::fill(audio_.begin(), audio_.end(), (int16_t)0);  // no device: silence, as live
  if (in_range) {
    if (!wav_temp_.empty() && !wav_.Write(audio_.data(), samples)) {
      Fail("cannot write the sound: " + std::string(strerror(errno)));
      return false;
    }
    if (list_ && fprintf(list_, "%lld %lld %.6f %s %.6f %u\n", (long long)captured_,
                         (long long)show_frame_, (double)show_frame_ / o_.fps,
                         carousel ? "carousel" : "scroller", time, (unsigned)samples) < 0) {
      Fail("cannot write " + o_.list + ": " + strerror(errno));
      return false;
    }
    captured_++;
  }
  show_frame_++;
  // Frames still queued for the encoder are not counted as done.
  const int64_t queued = encoder_.running() ? captured_ - encoder_.written() : 0;
  progress_.Update(show_frame_ - queued, std::max(total_estimate_, show_frame_));
  return true;
}

bool Capture::Finish() {
  progress_.Update(show_frame_ - (encoder_.running() ? captured_ - encoder_.written() : 0),
                   show_frame_, true);
  progress_.End();
  for (const auto& a : at_frames_) {
    if (a.first >= show_frame_) {
      char buf[160];
      snprintf(buf, sizeof buf, "the show ended at %.3f s, before an --at time (%.3f s)",
               (double)show_frame_ / o_.fps, (double)a.first / o_.fps);
      Fail(buf);
      return false;
    }
  }
  if (range_outputs_ && captured_ == 0) {
    Fail("no frame of the show lies in the --from/--to range");
    return false;
  }
  if (list_) {
    bool ok = fflush(list_) == 0;
    ok = fclose(list_) == 0 && ok;
    list_ = nullptr;
    if (!ok) {
      Fail("cannot write " + o_.list + ": " + strerror(errno));
      return false;
    }
  }
  if (!wav_temp_.empty() && !wav_.Close()) {
    Fail("cannot write the sound: " + std::string(strerror(errno)));
    return false;
  }
  if (encoder_.running()) {
    fprintf(stderr, "demo-capture: the encoder finishes its last frames, then the sound is added\n");
    if (!encoder_.Finish()) {
      Fail("ffmpeg failed to encode the video; see its message above");
      return false;
    }
    std::vector<std::string> mux = {
        "ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-i", video_temp_,
        "-i", wav_temp_, "-map", "0:v:0", "-map", "1:a:0", "-c:v", "copy", "-c:a", "aac",
        "-b:a", "192k", "-movflags", "+faststart", "-f", "mp4", mp4_temp_};
    if (!RunCommand(mux)) {
      Fail("ffmpeg failed to add the sound to the video; see its message above");
      return false;
    }
  }
  if (g_interrupted) {
    Fail("interrupted");
    return false;
  }
  std::string error;
  if (!outputs_.Commit(&error)) {
    failed_ = true;
    fprintf(stderr, "demo-capture: %s\n", error.c_str());
    return false;
  }
  if (range_outputs_)
    fprintf(stderr, "demo-capture: %lld frames at %d fps (%.3f s), %llu audio samples\n",
            (long long)captured_, o_.fps, (double)captured_ / o_.fps,
            (unsigned long long)wav_.frames());
  if (!at_frames_.empty())
    fprintf(stderr, "demo-capture: %zu picture(s) in %s\n", at_frames_.size(), o_.at_dir.c_str());
  return true;
}

int Capture::Run() {
  if (!Open()) return 1;
  auto done = [&]() { return last_needed_ >= 0 && show_frame_ > last_needed_; };
  if (!o_.skip_carousel) {
    timeline_start_carousel();
    for (int64_t n = 0; !done(); n++) {
      if (g_interrupted) {
        Fail("interrupted");
        return 1;
      }
      if (!Frame(true, n)) return 1;
      if (timeline_carousel_over(frame_time(n, o_.fps))) break;
    }
  }
  if (!done()) {
    timeline_start_scroller();
    for (int64_t n = 0; !done(); n++) {
      if (!dglIsMusicPlaying()) break;
      if (g_interrupted) {
        Fail("interrupted");
        return 1;
      }
      if (!Frame(false, n)) return 1;
    }
  }
  return Finish() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int parsed = parse(argc, argv, o);
  if (parsed == 1) return 0;
  if (parsed != 0) return 2;
  // The demo's own rule on its argument count decides whether the carousel runs.
  if (timeline_skips_carousel(o.positional + 1)) o.skip_carousel = true;

  if (!o.mp4.empty() && FindInPath("ffmpeg").empty()) {
    fprintf(stderr,
            "demo-capture: the ffmpeg command is not in PATH; it encodes the video. Install\n"
            "the Debian package ffmpeg (sudo apt-get install ffmpeg), or use --frames DIR.\n");
    return 1;
  }

  signal(SIGPIPE, SIG_IGN);  // a dead encoder shows as EPIPE on write, checked there
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  setenv("DGL_PLATFORM", "headless", 0);
  BASSX_SetOffline(TRUE);

  int started = timeline_start_up(nullptr);
  if (started == -1) {
    fprintf(stderr, "demo-capture: cannot open a headless GL ES 2.0 display\n");
    return 1;
  }
  if (started != 0) {
    fprintf(stderr, "demo-capture: the scenes could not be set up (see the log above)\n");
    return 1;
  }
  // The display layer holds SIGHUP for the live show's clean end; a capture has no display
  // to give back and ends with its terminal, as any tool does.
  signal(SIGHUP, SIG_DFL);
  Capture capture(o);
  int status = capture.Run();
  dglShutDown();
  return status;
}
