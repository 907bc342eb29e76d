// Captures what the code under test writes to standard output (the log's stream).
#pragma once
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

struct StdoutCapture {
  bool capturing = true;
  std::string text;
  StdoutCapture() { testing::internal::CaptureStdout(); }
  ~StdoutCapture() { Stop(); }
  // Everything written since the capture began; standard output is restored.
  std::string Stop() {
    if (capturing) text = testing::internal::GetCapturedStdout(), capturing = false;
    return text;
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    std::istringstream in(Stop());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};
