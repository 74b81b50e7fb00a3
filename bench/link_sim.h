// The device simulator as a child of a benchmark: started with posix_spawn, its
// port or pty read from the first lines of its output, stopped at exit.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace linkbench {

class SimChild {
 public:
  explicit SimChild(std::vector<std::string> args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    args.insert(args.begin(), std::string(CL_BIN_DIR) + "/corelatch-sim");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) fail("cannot start corelatch-sim");
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    FILE* in = fdopen(out[0], "r");
    char line[512];
    while (fgets(line, sizeof line, in)) {
      std::string l(line);
      if (!l.empty() && l.back() == '\n') l.pop_back();
      if (l.rfind("tcp ", 0) == 0) port_ = static_cast<uint16_t>(std::stoi(l.substr(l.rfind(' ') + 1)));
      if (l.rfind("pty ", 0) == 0) pty_ = l.substr(4);
      if (l == "ready") break;
    }
    fclose(in);  // it prints nothing more without --trace
  }
  ~SimChild() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  uint16_t port() const { return port_; }
  const std::string& pty() const { return pty_; }

 private:
  [[noreturn]] static void fail(const char* what) {
    std::fprintf(stderr, "bench: %s\n", what);
    std::exit(1);
  }
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::string pty_;
};

}  // namespace linkbench
