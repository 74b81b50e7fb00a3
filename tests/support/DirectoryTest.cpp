// Directories and paths: joining, creation of trees, listing, removal,
// the program's path and the home directory.
#include <gtest/gtest.h>

#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "aDirectory.h"
#include "aFile.h"

namespace {

// Up to eleven components, so that the "one too many" case can be expressed.
aErr build(char* out, size_t size, const std::vector<const char*>& parts) {
  const char* p[11] = {};
  for (size_t i = 0; i < parts.size() && i < 11; ++i) p[i] = parts[i];
  return aDirectory_BuildPath(out, size, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8],
                              p[9], p[10], static_cast<const char*>(nullptr));
}

struct BuildCase {
  std::vector<const char*> parts;
  size_t size;
  aErr result;
  const char* out;
};

TEST(DirectoryBuildPath, JoinsWithOneSeparator) {
  const std::vector<BuildCase> cases = {
      {{"a", "b"}, 64, aErrNone, "a/b"},
      {{"a/", "b"}, 64, aErrNone, "a/b"},
      {{"a", "/b"}, 64, aErrNone, "a/b"},
      {{"a/", "/b"}, 64, aErrNone, "a//b"},
      {{"/root", "x", "y.txt"}, 64, aErrNone, "/root/x/y.txt"},
      {{"", "b"}, 64, aErrNone, "b"},
      {{"only"}, 64, aErrNone, "only"},
      {{"abc"}, 4, aErrOverrun, ""},
      {{"ab"}, 4, aErrNone, "ab"},
      {{"a", "b", "c"}, 5, aErrOverrun, "a/b"},
      {{"a", "b", "c"}, 7, aErrNone, "a/b/c"},
      {{"home", "toolong"}, 10, aErrOverrun, "home/"},
      {{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}, 64, aErrNone, "0/1/2/3/4/5/6/7/8/9"},
      {{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, 64, aErrParam, ""},
      {{nullptr}, 64, aErrParam, ""},
  };
  for (const auto& c : cases) {
    std::string trace;
    for (const char* p : c.parts) trace += std::string(p ? p : "(null)") + ",";
    SCOPED_TRACE(trace + " size " + std::to_string(c.size));
    std::vector<char> out(c.size, 'Z');
    EXPECT_EQ(build(out.data(), c.size, c.parts), c.result);
    EXPECT_STREQ(out.data(), c.out);
  }
}

TEST(DirectoryBuildPath, RefusesComponentsInsideTheOutput) {
  char out[32] = "abcdef";
  EXPECT_EQ(build(out, sizeof out, {out}), aErrParam);
  std::strcpy(out, "abcdef");
  EXPECT_EQ(build(out, sizeof out, {"x", out}), aErrParam);
  EXPECT_STREQ(out, "");
  std::strcpy(out, "abcdef");
  EXPECT_EQ(build(out, sizeof out, {"x", "y", out + 2}), aErrParam);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(aDirectory_BuildPath(nullptr, 10, "a", static_cast<const char*>(nullptr)), aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(out, 0, "a", static_cast<const char*>(nullptr)), aErrParam);
}

TEST(DirectoryJoinPath, JoinsTwo) {
  char out[16];
  EXPECT_EQ(aDirectory_JoinPath(out, sizeof out, "base", "name"), aErrNone);
  EXPECT_STREQ(out, "base/name");
  EXPECT_EQ(aDirectory_JoinPath(out, 6, "base", "name"), aErrOverrun);
}

TEST(DirectoryExists, OnlyForDirectories) {
  cltest::TempDir dir;
  cltest::writeFile(dir / "file", "x");
  EXPECT_TRUE(aDirectory_Exists(dir.path().c_str()));
  EXPECT_TRUE(aDirectory_Exists((dir.path() + "/").c_str()));
  EXPECT_TRUE(aDirectory_Exists("."));
  EXPECT_TRUE(aDirectory_Exists("./"));
  EXPECT_FALSE(aDirectory_Exists((dir / "file").c_str()));
  EXPECT_FALSE(aDirectory_Exists((dir / "missing").c_str()));
  EXPECT_FALSE(aDirectory_Exists(""));
  EXPECT_FALSE(aDirectory_Exists(nullptr));
}

TEST(DirectoryExists, RemovedWorkingDirectoryIsGone) {
  struct BackHome {
    BackHome() { EXPECT_NE(getcwd(path, sizeof path), nullptr); }
    ~BackHome() { EXPECT_EQ(chdir(path), 0); }
    char path[4096] = {};
  } home;
  cltest::TempDir dir;
  const std::string gone = dir / "gone";
  ASSERT_EQ(mkdir(gone.c_str(), 0755), 0);
  ASSERT_EQ(chdir(gone.c_str()), 0);
  EXPECT_TRUE(aDirectory_Exists("."));
  ASSERT_EQ(rmdir(gone.c_str()), 0);
  EXPECT_FALSE(aDirectory_Exists("."));
  EXPECT_FALSE(aDirectory_Exists("./"));
}

TEST(DirectoryEnsure, CreatesEveryMissingLevel) {
  cltest::TempDir dir;
  const std::vector<std::string> paths = {"a/b/c", "a/b/d/", "p//q///r", "a"};
  for (const auto& relative : paths) {
    SCOPED_TRACE(relative);
    const std::string path = dir / relative;
    EXPECT_EQ(aDirectory_Ensure(path.c_str(), 0755), aErrNone);
    EXPECT_TRUE(cltest::isDirectory(path));
    EXPECT_EQ(aDirectory_Ensure(path.c_str(), 0755), aErrNone);
  }
  EXPECT_TRUE(cltest::isDirectory(dir / "p/q"));
}

TEST(DirectoryEnsure, AppliesTheRequestedPermissions) {
  cltest::TempDir dir;
  const mode_t old = umask(022);
  const std::string path = dir / "private/inner";
  EXPECT_EQ(aDirectory_Ensure(path.c_str(), 0700), aErrNone);
  umask(old);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((dir / "private").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(DirectoryEnsure, PathTakenByAFileIsAnError) {
  cltest::TempDir dir;
  const std::string file = dir / "taken";
  cltest::writeFile(file, "keep me");
  EXPECT_EQ(aDirectory_Ensure(file.c_str(), 0755), aErrParam);
  EXPECT_EQ(aDirectory_Ensure((file + "/").c_str(), 0755), aErrParam);
  EXPECT_EQ(aDirectory_Ensure((file + "/sub").c_str(), 0755), aErrParam);
  EXPECT_EQ(aDirectory_Ensure((file + "/sub/deeper").c_str(), 0755), aErrParam);
  EXPECT_EQ(cltest::readFile(file), "keep me");
  EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
  EXPECT_EQ(aDirectory_Ensure("", 0755), aErrParam);
}

struct Seen {
  uint32_t size;
  int32_t isDirectory;
};

bool collect(const aDirectoryEntry* entry, void* context) {
  auto* seen = static_cast<std::map<std::string, Seen>*>(context);
  (*seen)[entry->path] = {entry->size, entry->isDirectory};
  return true;
}

TEST(DirectoryList, HandsEveryEntryWithItsFullPath) {
  cltest::TempDir dir;
  cltest::writeFile(dir / "five", "12345");
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  std::map<std::string, Seen> seen;
  EXPECT_EQ(aDirectory_List(dir.path().c_str(), collect, &seen), aErrNone);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen.count(dir / "."), 1u);
  EXPECT_EQ(seen.count(dir / ".."), 1u);
  ASSERT_EQ(seen.count(dir / "five"), 1u);
  EXPECT_EQ(seen[dir / "five"].size, 5u);
  EXPECT_EQ(seen[dir / "five"].isDirectory, 0);
  ASSERT_EQ(seen.count(dir / "sub"), 1u);
  EXPECT_EQ(seen[dir / "sub"].isDirectory, 1);
}

TEST(DirectoryList, SkipsEntriesWhosePathDoesNotFit) {
  cltest::TempDir dir;
  const std::string longName(aFILE_MAXPATH - dir.path().size(), 'L');
  cltest::writeFile(dir / longName, "x");
  cltest::writeFile(dir / "short", "x");
  std::map<std::string, Seen> seen;
  EXPECT_EQ(aDirectory_List(dir.path().c_str(), collect, &seen), aErrNone);
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen.count(dir / "short"), 1u);
  for (const auto& entry : seen) EXPECT_LT(entry.first.size(), size_t(aFILE_MAXPATH));
}

TEST(DirectoryList, StopsWhenTheCallbackSaysSo) {
  cltest::TempDir dir;
  for (const char* name : {"a", "b", "c"}) cltest::writeFile(dir / name, "x");
  int calls = 0;
  auto once = [](const aDirectoryEntry*, void* context) {
    ++*static_cast<int*>(context);
    return false;
  };
  EXPECT_EQ(aDirectory_List(dir.path().c_str(), once, &calls), aErrNone);
  EXPECT_EQ(calls, 1);
}

TEST(DirectoryList, MissingOrNotADirectoryIsAParameterError) {
  cltest::TempDir dir;
  cltest::writeFile(dir / "file", "x");
  std::map<std::string, Seen> seen;
  EXPECT_EQ(aDirectory_List((dir / "missing").c_str(), collect, &seen), aErrParam);
  EXPECT_EQ(aDirectory_List((dir / "file").c_str(), collect, &seen), aErrParam);
  EXPECT_EQ(aDirectory_List(nullptr, collect, &seen), aErrParam);
  EXPECT_EQ(aDirectory_List(dir.path().c_str(), nullptr, &seen), aErrParam);
  EXPECT_TRUE(seen.empty());
}

TEST(DirectoryDelete, OnlyEmptyDirectories) {
  cltest::TempDir dir;
  ASSERT_EQ(mkdir((dir / "full").c_str(), 0755), 0);
  cltest::writeFile(dir / "full/x", "x");
  ASSERT_EQ(mkdir((dir / "empty").c_str(), 0755), 0);
  EXPECT_EQ(aDirectory_Delete((dir / "full").c_str()), aErrUnknown);
  EXPECT_TRUE(cltest::pathExists(dir / "full/x"));
  EXPECT_EQ(aDirectory_Delete((dir / "empty").c_str()), aErrNone);
  EXPECT_FALSE(cltest::pathExists(dir / "empty"));
  EXPECT_EQ(aDirectory_Delete((dir / "empty").c_str()), aErrUnknown);
}

TEST(DirectoryDeleteTree, RemovesTheTreeButNotWhatLinksPointTo) {
  cltest::TempDir dir;
  const std::string tree = dir / "tree";
  ASSERT_EQ(aDirectory_Ensure((tree + "/a/b/c").c_str(), 0755), aErrNone);
  ASSERT_EQ(aDirectory_Ensure((tree + "/empty").c_str(), 0755), aErrNone);
  cltest::writeFile(tree + "/top.txt", "1");
  cltest::writeFile(tree + "/a/b/mid.txt", "2");
  cltest::writeFile(tree + "/a/b/c/deep.txt", "3");
  const std::string outside = dir / "outside";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  cltest::writeFile(outside + "/precious", "keep");
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/a/link-to-outside").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/precious").c_str(), (tree + "/file-link").c_str()), 0);

  EXPECT_EQ(aDirectory_DeleteTree(tree.c_str()), aErrNone);
  EXPECT_FALSE(cltest::pathExists(tree));
  EXPECT_EQ(cltest::readFile(outside + "/precious"), "keep");
  EXPECT_EQ(aDirectory_DeleteTree(tree.c_str()), aErrParam);
  EXPECT_EQ(aDirectory_DeleteTree(nullptr), aErrParam);
}

TEST(DirectoryCWD, AnswersTheWorkingDirectory) {
  char buffer[4096];
  ASSERT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
  char expected[4096];
  ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
  EXPECT_STREQ(buffer, expected);
  EXPECT_EQ(aDirectory_CWD(buffer, 1), aErrParam);
  EXPECT_EQ(aDirectory_CWD(nullptr, 10), aErrParam);
}

TEST(DirectoryExecutableFilePath, NamesThisProgram) {
  char buffer[4096];
  ASSERT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
  const std::string path(buffer);
  ASSERT_GT(path.size(), 12u);
  EXPECT_EQ(path.front(), '/');
  EXPECT_EQ(path.substr(path.size() - 12), "test_support");
  EXPECT_TRUE(aFile_Exists(buffer));
  EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, 5), aErrOverrun);
}

// Sets the three variables for one case and puts the caller's values back.
class HomeEnvironment {
 public:
  HomeEnvironment() {
    for (const char* name : kNames) {
      const char* value = getenv(name);
      saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }
  }
  ~HomeEnvironment() {
    for (const auto& [name, value] : saved_) set(name.c_str(), value);
  }
  static void set(const char* name, const std::optional<std::string>& value) {
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }

  static constexpr const char* kNames[] = {"HOMEDRIVE", "HOMEPATH", "HOME"};

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

std::string passwordHome() {
  struct passwd* entry = getpwuid(getuid());
  return entry && entry->pw_dir ? entry->pw_dir : "";
}

TEST(DirectoryHome, ResolutionOrder) {
  using Opt = std::optional<std::string>;
  struct Case {
    Opt drive, path, home;
    std::string expected;  // "<passwd>" for the password database's entry
  };
  const std::vector<Case> cases = {
      {"C:", "/Users/ana", "/home/ana", "C:/Users/ana"},
      {"D:", "work", std::nullopt, "D:/work"},
      {"E:", std::nullopt, "/home/ana", "/home/ana"},
      {std::nullopt, "/Users/ana", "/home/ana", "/home/ana"},
      {"", "", "/home/ana", "/home/ana"},
      {std::nullopt, std::nullopt, "/home/ana", "/home/ana"},
      {std::nullopt, std::nullopt, "", "<passwd>"},
      {std::nullopt, std::nullopt, std::nullopt, "<passwd>"},
  };
  const std::string fromPassword = passwordHome();
  ASSERT_FALSE(fromPassword.empty());
  HomeEnvironment restore;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    HomeEnvironment::set("HOMEDRIVE", c.drive);
    HomeEnvironment::set("HOMEPATH", c.path);
    HomeEnvironment::set("HOME", c.home);
    char buffer[512];
    EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrNone);
    EXPECT_EQ(std::string(buffer), c.expected == "<passwd>" ? fromPassword : c.expected);
  }
}

TEST(DirectoryHome, TooSmallABufferIsAnOverrun) {
  HomeEnvironment restore;
  unsetenv("HOMEDRIVE");
  unsetenv("HOMEPATH");
  setenv("HOME", "/home/somebody", 1);
  char buffer[8];
  EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrOverrun);
  EXPECT_EQ(aDirectory_GetHomeDirectory(nullptr, 8), aErrParam);
}

}  // namespace
