// Collects what debugLog writes while it lives, with the given mask bits set.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

#include "updater/UpdaterDisplay.h"

class TraceCapture {
 public:
  explicit TraceCapture(uint32_t mask) : file_(std::tmpfile()) {
    setDebugMask(mask);
    setDebugOutput(file_);
  }
  ~TraceCapture() {
    setDebugOutput(nullptr);
    if (file_) std::fclose(file_);
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::string text() const {
    std::string out;
    char buffer[4096];
    off_t offset = 0;
    ssize_t n;
    while ((n = pread(fileno(file_), buffer, sizeof buffer, offset)) > 0) {
      out.append(buffer, size_t(n));
      offset += n;
    }
    return out;
  }

 private:
  FILE* file_;
};
