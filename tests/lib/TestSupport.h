// Helpers for tests: running a program of build/bin with a bound on time,
// temporary folders, reading and writing whole files.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace cltest {

struct RunResult {
  int status = -1;       // exit status, or 128 + signal
  bool timedOut = false; // killed after the time bound
  std::string out;
  std::string err;
};

struct RunOptions {
  std::map<std::string, std::string> setEnv;  // added or replaced
  std::vector<std::string> unsetEnv;
  std::string input;                          // written to standard input
  int timeoutSeconds = 60;
  std::string workDir;
};

// Path of a program built into build/bin.
std::string binPath(const std::string& name);
// Path of a file in the source tree.
std::string sourcePath(const std::string& relative);

RunResult runProgram(const std::string& path, const std::vector<std::string>& args,
                     const RunOptions& options = {});

// A fresh folder under TMPDIR, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);
bool pathExists(const std::string& path);
bool isDirectory(const std::string& path);

}  // namespace cltest
