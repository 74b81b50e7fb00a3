// A program of build/bin running beside a test (a device simulator, a server):
// its standard output is collected line by line while it runs, and it is stopped
// with SIGTERM (then SIGKILL) when the object goes.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cltest {

class ChildProcess {
 public:
  // Starts path with args; throws std::runtime_error when it cannot be started.
  ChildProcess(const std::string& path, const std::vector<std::string>& args);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Index of the first line at or after `from` that contains text, waiting up to
  // timeoutMs for it; -1 when none came (or the program ended without it).
  int waitForLine(const std::string& text, int timeoutMs, size_t from = 0);
  // Number of lines at or after `from` that contain text, now.
  size_t countLines(const std::string& text, size_t from = 0) const;
  std::vector<std::string> lines() const;
  size_t lineCount() const;

  // Sends SIGTERM, waits up to timeoutMs (then SIGKILL) and answers the exit
  // status (128 + signal when killed). Later calls answer the same status.
  int stop(int timeoutMs = 5000);

 private:
  void readLoop(int fd);

  pid_t pid_ = -1;
  int status_ = -1;
  std::thread reader_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool ended_ = false;
};

}  // namespace cltest
