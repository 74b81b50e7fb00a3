// Files: open modes, line reading, bounded seeks and formatted writes from
// several threads.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "aDirectory.h"
#include "aFile.h"

namespace {

struct ReadLineStep {
  aErr result;
  std::string text;
};

struct ReadLineCase {
  const char* name;
  std::string contents;
  uint32_t size;
  std::vector<ReadLineStep> steps;
};

TEST(FileReadLine, ReturnsLinesAsStored) {
  const std::vector<ReadLineCase> cases = {
      {"feed kept, last line without feed", "x\ny", 10,
       {{aErrNone, "x\n"}, {aErrNone, "y"}, {aErrEOF, ""}}},
      {"long line continues after overrun", "abcde\nf", 4,
       {{aErrOverrun, "abc"}, {aErrNone, "de\n"}, {aErrNone, "f"}, {aErrEOF, ""}}},
      {"carriage return kept", "a\r\nb\r\n", 10, {{aErrNone, "a\r\n"}, {aErrNone, "b\r\n"}, {aErrEOF, ""}}},
      {"text filling the buffer exactly is an overrun", "abc", 4, {{aErrOverrun, "abc"}, {aErrEOF, ""}}},
      {"line and feed filling the buffer", "ab\ncd", 4, {{aErrNone, "ab\n"}, {aErrNone, "cd"}, {aErrEOF, ""}}},
      {"empty lines", "\n\n", 10, {{aErrNone, "\n"}, {aErrNone, "\n"}, {aErrEOF, ""}}},
      {"empty file", "", 10, {{aErrEOF, ""}}},
  };
  cltest::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / "lines.txt";
    cltest::writeFile(path, c.contents);
    aFileRef f = aFile_Open(path.c_str(), aFileModeRead);
    ASSERT_NE(f, nullptr);
    std::vector<char> buffer(c.size, '#');
    for (const auto& step : c.steps) {
      uint32_t length = 99;
      EXPECT_EQ(aFile_ReadLine(f, buffer.data(), c.size, &length), step.result);
      EXPECT_EQ(std::string(buffer.data()), step.text);
      EXPECT_EQ(length, step.text.size());
    }
    EXPECT_EQ(aFile_Close(&f), aErrNone);
  }
}

TEST(FileReadLine, RejectsBuffersWithoutRoomForText) {
  cltest::TempDir dir;
  cltest::writeFile(dir / "f", "abc\n");
  aFileRef f = aFile_Open((dir / "f").c_str(), aFileModeRead);
  ASSERT_NE(f, nullptr);
  char buffer[8] = {'z', 'z', 'z', 'z'};
  uint32_t length = 5;
  EXPECT_EQ(aFile_ReadLine(f, buffer, 1, &length), aErrParam);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(aFile_ReadLine(f, nullptr, sizeof buffer, &length), aErrParam);
  // Nothing was consumed by the refused calls.
  EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof buffer, &length), aErrNone);
  EXPECT_STREQ(buffer, "abc\n");
  aFile_Close(&f);
}

struct SeekCase {
  int32_t start;  // position set before the seek
  int32_t offset;
  int origin;
  aErr result;
  uint32_t position;  // afterwards
};

TEST(FileSeek, StaysWithinTheFile) {
  const std::vector<SeekCase> cases = {
      {0, 10, 0, aErrNone, 10},   {0, 11, 0, aErrRange, 0},   {3, -1, 0, aErrRange, 3},
      {0, 0, 2, aErrNone, 10},    {0, -10, 2, aErrNone, 0},   {5, -11, 2, aErrRange, 5},
      {5, 1, 2, aErrRange, 5},    {4, 6, 1, aErrNone, 10},    {4, -4, 1, aErrNone, 0},
      {4, -5, 1, aErrRange, 4},   {4, 7, 1, aErrRange, 4},    {9, 2, 7, aErrNone, 2},
      {2, INT32_MAX, 1, aErrRange, 2}, {2, INT32_MIN, 1, aErrRange, 2},
  };
  cltest::TempDir dir;
  cltest::writeFile(dir / "ten", "0123456789");
  for (int mode : {aFileModeRead, aFileModeAppend}) {
    aFileRef f = aFile_Open((dir / "ten").c_str(), mode);
    ASSERT_NE(f, nullptr);
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << "mode " << mode << " start " << c.start << " offset "
                                      << c.offset << " origin " << c.origin);
      ASSERT_EQ(aFile_Seek(f, c.start, 0), aErrNone);
      EXPECT_EQ(aFile_Seek(f, c.offset, c.origin), c.result);
      uint32_t position = 999;
      ASSERT_EQ(aFile_GetPosition(f, &position), aErrNone);
      EXPECT_EQ(position, c.position);
    }
    aFile_Close(&f);
  }
}

TEST(FileModes, OperationsOutsideTheModeAnswerModeError) {
  cltest::TempDir dir;
  const std::string path = dir / "m";
  cltest::writeFile(path, "line\n");
  uint8_t bytes[8];
  char text[8];
  uint32_t count = 0;
  struct Expect {
    int mode;
    aErr read, readLine, write, printf;
  };
  const std::vector<Expect> table = {
      {aFileModeRead, aErrNone, aErrNone, aErrMode, aErrMode},
      {aFileModeWrite, aErrMode, aErrMode, aErrNone, aErrNone},
      {aFileModeAppend, aErrNone, aErrNone, aErrNone, aErrNone},
  };
  for (const auto& e : table) {
    SCOPED_TRACE(e.mode);
    cltest::writeFile(path, "line\n");
    aFileRef f = aFile_Open(path.c_str(), e.mode);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(aFile_Seek(f, 0, 0), aErrNone);
    EXPECT_EQ(aFile_Read(f, bytes, 1, &count), e.read);
    EXPECT_EQ(aFile_ReadLine(f, text, sizeof text, &count), e.readLine);
    EXPECT_EQ(aFile_Write(f, reinterpret_cast<const uint8_t*>("w"), 1, &count), e.write);
    EXPECT_EQ(aFile_Printf(f, "%d", 5), e.printf);
    EXPECT_EQ(aFile_SetUnbuffered(f), aErrMode);
    aFile_Close(&f);
  }
}

TEST(FileOpen, RefusesWhatCannotBeAFileHandle) {
  cltest::TempDir dir;
  const std::string missing = dir / "missing";
  EXPECT_EQ(aFile_Open(missing.c_str(), aFileModeRead), nullptr);
  for (int mode : {-1, 3, 100}) {
    EXPECT_EQ(aFile_Open(missing.c_str(), mode), nullptr) << mode;
    EXPECT_FALSE(cltest::pathExists(missing)) << mode;
  }
  EXPECT_EQ(aFile_Open(nullptr, aFileModeRead), nullptr);
  for (int mode : {aFileModeRead, aFileModeWrite, aFileModeAppend})
    EXPECT_EQ(aFile_Open(dir.path().c_str(), mode), nullptr) << mode;

  // 260 characters is the longest path accepted.
  std::string longest = dir.path() + "/";
  longest += std::string(aFILE_MAXPATH - longest.size(), 'n');
  ASSERT_EQ(longest.size(), size_t(aFILE_MAXPATH));
  aFileRef f = aFile_Open(longest.c_str(), aFileModeWrite);
  EXPECT_NE(f, nullptr);
  aFile_Close(&f);
  const std::string tooLong = longest + "x";
  EXPECT_EQ(aFile_Open(tooLong.c_str(), aFileModeWrite), nullptr);
  EXPECT_FALSE(cltest::pathExists(tooLong));
}

TEST(FileOpen, WriteTruncatesAndAppendKeepsAndStartsAtEnd) {
  cltest::TempDir dir;
  const std::string path = dir / "f";
  cltest::writeFile(path, "old text");
  aFileRef f = aFile_Open(path.c_str(), aFileModeAppend);
  ASSERT_NE(f, nullptr);
  uint32_t position = 0;
  EXPECT_EQ(aFile_GetPosition(f, &position), aErrNone);
  EXPECT_EQ(position, 8u);
  EXPECT_EQ(aFile_Printf(f, "+%s", "more"), aErrNone);
  ASSERT_EQ(aFile_Seek(f, 0, 0), aErrNone);
  uint8_t bytes[32];
  uint32_t got = 0;
  EXPECT_EQ(aFile_Read(f, bytes, sizeof bytes, &got), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), got), "old text+more");
  EXPECT_EQ(aFile_Read(f, bytes, sizeof bytes, &got), aErrEOF);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(aFile_Read(f, bytes, 0, &got), aErrNone);
  aFile_Close(&f);

  f = aFile_Open(path.c_str(), aFileModeWrite);
  ASSERT_NE(f, nullptr);
  uint32_t size = 99;
  EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
  EXPECT_EQ(size, 0u);
  uint32_t written = 0;
  EXPECT_EQ(aFile_Write(f, reinterpret_cast<const uint8_t*>("new"), 3, &written), aErrNone);
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
  EXPECT_EQ(size, 3u);
  aFile_Close(&f);
  EXPECT_EQ(cltest::readFile(path), "new");
}

// A size or position past 32 bits cannot be told in 32 bits: cut to its low
// bits it would name a small, wrong file.
TEST(FileSize, BeyondThirtyTwoBitsIsARangeError) {
  cltest::TempDir dir;
  const std::string path = dir / "huge";
  cltest::writeFile(path, "");
  const off_t huge = (off_t(1) << 32) + 5;
  ASSERT_EQ(truncate(path.c_str(), huge), 0);  // sparse: takes no room
  aFileRef f = aFile_Open(path.c_str(), aFileModeRead);
  ASSERT_NE(f, nullptr);
  uint32_t value = 99;
  EXPECT_EQ(aFile_GetSize(f, &value), aErrRange);
  EXPECT_EQ(value, 0u);
  aFile_Close(&f);
  f = aFile_Open(path.c_str(), aFileModeAppend);  // starts at the end
  ASSERT_NE(f, nullptr);
  value = 99;
  EXPECT_EQ(aFile_GetPosition(f, &value), aErrRange);
  EXPECT_EQ(value, 0u);
  aFile_Close(&f);
}

TEST(FileClose, SecondCloseAndClosedHandlesAreRefused) {
  cltest::TempDir dir;
  aFileRef f = aFile_Open((dir / "c").c_str(), aFileModeWrite);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(aFile_Close(&f), aErrNone);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(aFile_Close(&f), aErrParam);
  EXPECT_EQ(aFile_Close(nullptr), aErrParam);
  uint32_t value = 7;
  EXPECT_EQ(aFile_GetSize(nullptr, &value), aErrParam);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(aFile_Write(nullptr, reinterpret_cast<const uint8_t*>("x"), 1, nullptr), aErrParam);
  EXPECT_EQ(aFile_Printf(nullptr, "x"), aErrParam);
  EXPECT_EQ(aFile_Seek(nullptr, 0, 0), aErrParam);
  EXPECT_EQ(aFile_SetUnbuffered(nullptr), aErrParam);
}

TEST(FileExists, OnlyForEntriesThatAreNotDirectories) {
  cltest::TempDir dir;
  cltest::writeFile(dir / "file", "x");
  EXPECT_TRUE(aFile_Exists((dir / "file").c_str()));
  EXPECT_FALSE(aFile_Exists(dir.path().c_str()));
  EXPECT_FALSE(aFile_Exists((dir / "missing").c_str()));
  EXPECT_FALSE(aFile_Exists(nullptr));
}

TEST(FileDelete, MapsFailures) {
  cltest::TempDir dir;
  const std::string path = dir / "gone";
  cltest::writeFile(path, "x");
  EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
  EXPECT_FALSE(cltest::pathExists(path));
  EXPECT_EQ(aFile_Delete(path.c_str()), aErrNotFound);
  EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
  // A directory is not a file: it stays.
  EXPECT_EQ(aFile_Delete(dir.path().c_str()), aErrIO);
  EXPECT_TRUE(cltest::isDirectory(dir.path()));
}

TEST(FilePrintf, TooLongTextWritesNothing) {
  cltest::TempDir dir;
  const std::string path = dir / "p";
  aFileRef f = aFile_Open(path.c_str(), aFileModeWrite);
  ASSERT_NE(f, nullptr);
  const std::string fits(65535, 'a');
  const std::string tooLong(65536, 'b');
  EXPECT_EQ(aFile_Printf(f, "%s", tooLong.c_str()), aErrIO);
  EXPECT_EQ(aFile_Printf(f, "%s", fits.c_str()), aErrNone);
  EXPECT_EQ(aFile_Printf(f, "%s", ""), aErrNone);
  aFile_Close(&f);
  EXPECT_EQ(cltest::readFile(path), fits);
}

TEST(FilePrintf, ThreadsSharingAHandleNeverMixLines) {
  cltest::TempDir dir;
  const std::string path = dir / "shared.log";
  aFileRef f = aFile_Open(path.c_str(), aFileModeWrite);
  ASSERT_NE(f, nullptr);
  constexpr int kThreads = 4;
  constexpr int kLines = 40;
  std::vector<std::thread> writers;
  std::vector<aErr> failures(kThreads, aErrNone);
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        // Lines of very different lengths, so a torn write would show.
        const std::string body(static_cast<size_t>(1 + (i * 997 + t * 131) % 9000), char('a' + t));
        aErr e = aFile_Printf(f, "T%d %d %s|\n", t, i, body.c_str());
        if (e != aErrNone) failures[t] = e;
      }
    });
  }
  for (auto& w : writers) w.join();
  aFile_Close(&f);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], aErrNone);

  const std::string all = cltest::readFile(path);
  std::map<int, std::vector<int>> seen;
  size_t start = 0;
  while (start < all.size()) {
    const size_t end = all.find('\n', start);
    ASSERT_NE(end, std::string::npos) << "text after the last line feed";
    const std::string line = all.substr(start, end - start);
    start = end + 1;
    int t = -1, i = -1, used = 0;
    ASSERT_EQ(sscanf(line.c_str(), "T%d %d %n", &t, &i, &used), 2) << line.substr(0, 40);
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    const std::string body = line.substr(static_cast<size_t>(used));
    const std::string expected(static_cast<size_t>(1 + (i * 997 + t * 131) % 9000), char('a' + t));
    ASSERT_EQ(body, expected + "|") << "line of thread " << t << " number " << i << " is mixed";
    seen[t].push_back(i);
  }
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), size_t(kLines)) << t;
    for (int i = 0; i < kLines; ++i) EXPECT_EQ(seen[t][static_cast<size_t>(i)], i);
  }
}

}  // namespace
