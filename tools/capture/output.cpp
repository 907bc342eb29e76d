#include "output.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static std::string temp_name(const std::string& path, const std::string& suffix) {
  return path + ".part-" + std::to_string((long)getpid()) + suffix;
}

std::string Outputs::Add(const std::string& final_path) {
  Entry e{temp_name(final_path, ""), final_path};
  entries_.push_back(e);
  return e.temp;
}

std::string Outputs::AddScratch(const std::string& near_path, const std::string& suffix) {
  scratch_.push_back(temp_name(near_path, suffix));
  return scratch_.back();
}

bool Outputs::MakeDir(const std::string& dir) {
  struct stat st;
  if (dir.empty() || stat(dir.c_str(), &st) == 0) {
    if (!dir.empty() && !S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return false;
    }
    return true;
  }
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDir(dir.substr(0, slash))) return false;
  if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) return false;
  made_dirs_.push_back(dir);
  return true;
}

bool Outputs::Commit(std::string* error) {
  for (const Entry& e : entries_) {
    if (rename(e.temp.c_str(), e.final_path.c_str()) != 0) {
      if (error) *error = "cannot rename " + e.temp + " to " + e.final_path + ": " + strerror(errno);
      Abort();
      return false;
    }
  }
  entries_.clear();
  made_dirs_.clear();
  RemoveScratch();
  return true;
}

void Outputs::Abort() {
  for (const Entry& e : entries_) unlink(e.temp.c_str());
  entries_.clear();
  RemoveScratch();
  for (auto it = made_dirs_.rbegin(); it != made_dirs_.rend(); ++it) rmdir(it->c_str());
  made_dirs_.clear();
}

void Outputs::RemoveScratch() {
  for (const std::string& s : scratch_) unlink(s.c_str());
  scratch_.clear();
}

// --- WAV ---------------------------------------------------------------------

static void put16(uint8_t* p, uint16_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}
static void put32(uint8_t* p, uint32_t v) {
  put16(p, (uint16_t)v);
  put16(p + 2, (uint16_t)(v >> 16));
}

static void wav_header(uint8_t h[44], uint64_t frames) {
  const uint32_t data = (uint32_t)(frames * 4);
  memcpy(h, "RIFF", 4);
  put32(h + 4, 36 + data);
  memcpy(h + 8, "WAVEfmt ", 8);
  put32(h + 16, 16);
  put16(h + 20, 1);  // PCM
  put16(h + 22, 2);
  put32(h + 24, 44100);
  put32(h + 28, 44100 * 4);
  put16(h + 32, 4);
  put16(h + 34, 16);
  memcpy(h + 36, "data", 4);
  put32(h + 40, data);
}

WavWriter::~WavWriter() {
  if (file_) fclose(file_);
}

bool WavWriter::Open(const std::string& path) {
  file_ = fopen(path.c_str(), "wbe");
  if (!file_) return false;
  uint8_t h[44];
  wav_header(h, 0);
  ok_ = fwrite(h, 1, 44, file_) == 44;
  return ok_;
}

bool WavWriter::Write(const int16_t* samples, size_t frames) {
  if (!file_ || !ok_) return false;
  // The file holds little-endian samples, as this machine does.
  ok_ = fwrite(samples, 4, frames, file_) == frames;
  frames_ += frames;
  return ok_;
}

bool WavWriter::Close() {
  if (!file_) return false;
  uint8_t h[44];
  wav_header(h, frames_);
  if (ok_) ok_ = fseek(file_, 0, SEEK_SET) == 0 && fwrite(h, 1, 44, file_) == 44;
  if (ok_) ok_ = fflush(file_) == 0;
  int saved = errno;
  bool closed = fclose(file_) == 0;
  file_ = nullptr;
  if (ok_ && !closed) ok_ = false;
  else errno = saved;
  return ok_;
}

// --- child processes -----------------------------------------------------------

PipedChild::~PipedChild() { Kill(); }

// posix_spawnp, not fork: this process runs Mesa's threads and the frame writer, and a
// forked child may only make async-signal-safe calls before exec (an allocation could wait
// forever on a lock another thread held at the fork). Everything is set up beforehand.
bool PipedChild::Start(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  // The pipe's end becomes standard input (dup2 clears close-on-exec on the copy);
  // standard output goes nowhere; SIGPIPE, ignored here, is the default again there.
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int error = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(fds[0]);
  if (error != 0) {
    close(fds[1]);
    errno = error;
    pid_ = -1;
    return false;
  }
  pid_ = pid;
  fd_ = fds[1];
  return true;
}

bool PipedChild::Write(const void* data, size_t size) {
  const char* p = (const char*)data;
  while (size > 0) {
    ssize_t n = write(fd_, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= (size_t)n;
  }
  return true;
}

bool PipedChild::Finish() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (pid_ <= 0) return false;
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void PipedChild::Signal() {
  if (pid_ > 0) kill(pid_, SIGTERM);
}

void PipedChild::Kill() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
}

// --- frames to the encoder -------------------------------------------------------

FrameWriter::~FrameWriter() { Kill(); }

bool FrameWriter::Start(const std::vector<std::string>& argv, size_t frame_bytes, int buffers) {
  buffers_.assign((size_t)buffers, std::vector<uint8_t>(frame_bytes));
  if (!child_.Start(argv)) return false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void FrameWriter::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return written_ < queued_ || closing_; });
    if (written_ == queued_ || failed_) return;
    std::vector<uint8_t>& frame = buffers_[(size_t)(written_ % (int64_t)buffers_.size())];
    lock.unlock();
    const bool ok = child_.Write(frame.data(), frame.size());
    const int error = errno;
    lock.lock();
    if (!ok) {
      failed_ = true;
      error_ = error;
      changed_.notify_all();
      return;
    }
    written_++;
    changed_.notify_all();
  }
}

uint8_t* FrameWriter::Next() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return queued_ - written_ < (int64_t)buffers_.size() || failed_; });
  if (failed_) {
    errno = error_;
    return nullptr;
  }
  return buffers_[(size_t)(queued_ % (int64_t)buffers_.size())].data();
}

void FrameWriter::Submit() {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_++;
  changed_.notify_all();
}

int64_t FrameWriter::written() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return written_;
}

bool FrameWriter::Finish() {
  if (!thread_.joinable()) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    changed_.notify_all();
  }
  thread_.join();
  const bool all = !failed_ && written_ == queued_;
  return child_.Finish() && all;
}

void FrameWriter::Kill() {
  // The child goes first, so that a write blocked in the thread returns (EPIPE).
  child_.Signal();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = failed_ = true;
    changed_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
  child_.Kill();
}

const char kEncoderPreset[] = "veryfast";

std::vector<std::string> EncoderArgs(int fps, const std::string& preset, int crf,
                                     const std::string& format, const std::string& out) {
  return {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-f", "rawvideo",
          "-pixel_format", "rgba", "-video_size", "1280x720", "-framerate", std::to_string(fps),
          "-i", "pipe:0", "-vf", "vflip", "-c:v", "libx264", "-preset", preset, "-crf",
          std::to_string(crf), "-pix_fmt", "yuv420p", "-f", format, out};
}

bool RunCommand(const std::vector<std::string>& argv) {
  PipedChild child;
  if (!child.Start(argv)) return false;
  return child.Finish();
}

std::string FindInPath(const char* name) {
  const char* path = getenv("PATH");
  if (!path) return "";
  std::string all = path;
  size_t start = 0;
  for (;;) {
    size_t end = all.find(':', start);
    std::string dir = all.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + name;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return "";
}
