// What demo-capture writes: files that appear under their names only when the whole
// capture succeeded, a WAV writer, and an encoder child process fed over a pipe.
#pragma once
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Every output is written under a temporary name beside its final one and renamed
// into place by Commit; Abort removes whatever was written. Directories made on the
// way are removed again on Abort when they are empty.
class Outputs {
 public:
  // A temporary path beside `final_path`, registered for Commit or Abort.
  std::string Add(const std::string& final_path);
  // A scratch file that is removed either way.
  std::string AddScratch(const std::string& near_path, const std::string& suffix);
  // Creates `dir` (and missing parents); false with errno set on failure.
  bool MakeDir(const std::string& dir);
  // Renames every output into place; false (and Abort) at the first failure.
  bool Commit(std::string* error);
  void Abort();
  void RemoveScratch();

 private:
  struct Entry {
    std::string temp, final_path;
  };
  std::vector<Entry> entries_;
  std::vector<std::string> scratch_;
  std::vector<std::string> made_dirs_;
};

// 16-bit stereo PCM at 44100 Hz.
class WavWriter {
 public:
  ~WavWriter();
  bool Open(const std::string& path);
  bool Write(const int16_t* samples, size_t frames);
  // Fills in the sizes and closes; false when anything failed to reach the disk.
  bool Close();
  uint64_t frames() const { return frames_; }

 private:
  FILE* file_ = nullptr;
  uint64_t frames_ = 0;
  bool ok_ = true;
};

// A child process whose standard input is a pipe from this one.
class PipedChild {
 public:
  ~PipedChild();
  bool Start(const std::vector<std::string>& argv);
  // False when the child stopped reading (EPIPE) or the write failed.
  bool Write(const void* data, size_t size);
  // Closes the pipe and waits; true when the child exited with status 0.
  bool Finish();
  // Ends the child at once (on failure).
  void Kill();
  // Asks the child to end (SIGTERM) without waiting; Kill or Finish still reaps it.
  void Signal();
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
};

// Frames on their way to an encoder child: a thread of their own writes each frame into
// the encoder's pipe while the caller draws and reads back the next one into another of
// a few buffers, so drawing, read-back and encoding overlap instead of taking turns.
class FrameWriter {
 public:
  ~FrameWriter();
  bool Start(const std::vector<std::string>& argv, size_t frame_bytes, int buffers = 3);
  // A buffer for the next frame, waiting while every buffer is still queued; null when
  // the encoder stopped taking frames (errno tells why).
  uint8_t* Next();
  // Queues the buffer that Next gave.
  void Submit();
  // Writes what is queued, closes the pipe and waits; true when all was written and
  // the encoder exited with status 0.
  bool Finish();
  // Ends the encoder at once (on failure).
  void Kill();
  bool running() const { return child_.running(); }
  // Frames the encoder has taken through its pipe so far.
  int64_t written() const;

 private:
  void Run();
  PipedChild child_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<uint8_t>> buffers_;
  int64_t queued_ = 0, written_ = 0;  // frames handed in, frames written
  bool closing_ = false, failed_ = false;
  int error_ = 0;
};

// The encoder for demo-capture's video: raw RGBA frames as glReadPixels gives them
// (rows bottom up) on standard input, H.264 into `out` (`format` "mp4", or "null" to
// encode and discard). The flip and the conversion to YUV are ffmpeg's: the flip is
// only a negative line stride there, and its converters are faster than a copy here.
extern const char kEncoderPreset[];  // demo-capture's default x264 preset
const int kEncoderCrf = 16;
std::vector<std::string> EncoderArgs(int fps, const std::string& preset, int crf,
                                     const std::string& format, const std::string& out);

// Runs a command to completion with standard input from /dev/null; true on status 0.
bool RunCommand(const std::vector<std::string>& argv);
// The full path of `name` found in PATH, or empty.
std::string FindInPath(const char* name);
