#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace cltest {

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> argStrings{path};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argStrings) argv.push_back(s.data());
  argv.push_back(nullptr);
  int err = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (err != 0) {
    close(out[0]);
    throw std::runtime_error("cannot start " + path + ": " + std::strerror(err));
  }
  reader_ = std::thread(&ChildProcess::readLoop, this, out[0]);
}

ChildProcess::~ChildProcess() {
  stop();
  if (reader_.joinable()) reader_.join();
}

void ChildProcess::readLoop(int fd) {
  std::string partial;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    partial.append(buf, static_cast<size_t>(n));
    size_t nl;
    std::lock_guard<std::mutex> g(lock_);
    while ((nl = partial.find('\n')) != std::string::npos) {
      lines_.push_back(partial.substr(0, nl));
      partial.erase(0, nl + 1);
    }
    changed_.notify_all();
  }
  close(fd);
  std::lock_guard<std::mutex> g(lock_);
  if (!partial.empty()) lines_.push_back(partial);
  ended_ = true;
  changed_.notify_all();
}

int ChildProcess::waitForLine(const std::string& text, int timeoutMs, size_t from) {
  std::unique_lock<std::mutex> g(lock_);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t next = from;
  for (;;) {
    for (; next < lines_.size(); ++next)
      if (lines_[next].find(text) != std::string::npos) return static_cast<int>(next);
    if (ended_) return -1;
    if (changed_.wait_until(g, deadline) == std::cv_status::timeout) {
      for (; next < lines_.size(); ++next)
        if (lines_[next].find(text) != std::string::npos) return static_cast<int>(next);
      return -1;
    }
  }
}

size_t ChildProcess::countLines(const std::string& text, size_t from) const {
  std::lock_guard<std::mutex> g(lock_);
  size_t count = 0;
  for (size_t i = from; i < lines_.size(); ++i)
    if (lines_[i].find(text) != std::string::npos) ++count;
  return count;
}

std::vector<std::string> ChildProcess::lines() const {
  std::lock_guard<std::mutex> g(lock_);
  return lines_;
}

size_t ChildProcess::lineCount() const {
  std::lock_guard<std::mutex> g(lock_);
  return lines_.size();
}

int ChildProcess::stop(int timeoutMs) {
  if (pid_ < 0) return status_;
  kill(pid_, SIGTERM);
  int raw = 0;
  pid_t done = 0;
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    done = waitpid(pid_, &raw, WNOHANG);
    if (done != 0) break;
    usleep(10000);
  }
  if (done == 0) {
    kill(pid_, SIGKILL);
    done = waitpid(pid_, &raw, 0);
  }
  if (done == pid_) status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  pid_ = -1;
  return status_;
}

}  // namespace cltest
