// Captures what the code under test writes to standard output (the log's stream).
#pragma once
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

class StdoutCapture {
 public:
  StdoutCapture() {
    fflush(stdout);
    file_ = tmpfile();
    saved_ = dup(1);
    dup2(fileno(file_), 1);
  }
  ~StdoutCapture() { Stop(); }
  // Everything written since the capture began; standard output is restored.
  std::string Stop() {
    if (saved_ >= 0) {
      fflush(stdout);
      dup2(saved_, 1);
      close(saved_);
      saved_ = -1;
      rewind(file_);
      char buf[4096];
      size_t n;
      while ((n = fread(buf, 1, sizeof(buf), file_)) > 0) text_.append(buf, n);
      fclose(file_);
    }
    return text_;
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    std::istringstream in(Stop());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  FILE* file_ = nullptr;
  int saved_ = -1;
  std::string text_;
};
