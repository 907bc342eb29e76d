// What demo-capture writes: files that appear under their names only when the whole
// capture succeeded, a WAV writer, and an encoder child process fed over a pipe.
#pragma once
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include <string>
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
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
};

// Runs a command to completion with standard input from /dev/null; true on status 0.
bool RunCommand(const std::vector<std::string>& argv);
// The full path of `name` found in PATH, or empty.
std::string FindInPath(const char* name);
