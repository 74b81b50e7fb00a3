// The console display: drawing only on a terminal, exact bar and spinner
// texts, message cutting, and the debug-mask gate.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "TestSupport.h"
#include "updater/UpdaterDisplay.h"

namespace {

// Runs body with standard output sent to a pseudo-terminal (or to a file when
// terminal is false) and answers what it wrote.
template <typename Body>
std::string captureStdout(bool terminal, Body body) {
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  int master = -1, slave = -1;
  cltest::TempDir dir;
  const std::string file = dir / "out";
  if (terminal) {
    EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
  } else {
    slave = fileno(fopen(file.c_str(), "w"));
  }
  dup2(slave, STDOUT_FILENO);
  body();
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(slave);
  std::string out;
  if (terminal) {
    char buf[8192];
    for (;;) {
      fd_set set;
      FD_ZERO(&set);
      FD_SET(master, &set);
      timeval tv{0, 200000};
      if (select(master + 1, &set, nullptr, nullptr, &tv) <= 0) break;
      const ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    close(master);
  } else {
    out = cltest::readFile(file);
  }
  return out;
}

TEST(Display, ProgressBarHalfWay) {
  const std::string out = captureStdout(true, [] { CLI_Display().showProgress(0.5, nullptr); });
  EXPECT_EQ(out, "\r[" + std::string(34, '=') + ">" + std::string(34, ' ') + "] ( 50% ) ");
}

TEST(Display, ProgressBarFullAndEmpty) {
  EXPECT_EQ(captureStdout(true, [] { CLI_Display().showProgress(1.0, nullptr); }),
            "\r[" + std::string(69, '=') + "> ] (100% ) ");
  EXPECT_EQ(captureStdout(true, [] { CLI_Display().showProgress(0.0, nullptr); }),
            "\r[>" + std::string(68, ' ') + "] (  0% ) ");
}

TEST(Display, ProgressBarWithLabel) {
  // label of 5: n = trunc(60 * 0.25) = 15, spaces = 64 - 5 - 15 = 44
  EXPECT_EQ(captureStdout(true, [] { CLI_Display().showProgress(0.25, "block"); }),
            "\r (block) [" + std::string(15, '=') + ">" + std::string(44, ' ') + "] ( 25% ) ");
}

TEST(Display, SpinnerCyclesThroughEightFrames) {
  const std::string out = captureStdout(true, [] {
    CLI_Display display;
    for (int i = 0; i < 9; ++i) display.showActivity(true, nullptr);
  });
  // The frame counter is shared by every display; find where this run began.
  const char* frames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};
  std::string expected[8];
  for (int start = 0; start < 8; ++start) {
    std::string text;
    for (int i = 0; i < 9; ++i) text += std::string("\r ") + frames[(start + i) % 8] + "      \r";
    expected[start] = text;
  }
  bool matched = false;
  for (const auto& e : expected) matched = matched || out == e;
  EXPECT_TRUE(matched) << out;
}

TEST(Display, ActivityOffAndClearLineErase) {
  const std::string erase = "\r" + std::string(88, ' ') + "\r";
  EXPECT_EQ(captureStdout(true, [] { CLI_Display().showActivity(false, "x"); }), erase);
  EXPECT_EQ(captureStdout(true, [] { CLI_Display().clearLine(false); }), erase);
  EXPECT_EQ(captureStdout(true, [] { CLI_Display().clearLine(true); }), "");
}

TEST(Display, NothingDrawnWhenRedirected) {
  const std::string out = captureStdout(false, [] {
    CLI_Display display;
    display.showProgress(0.5, nullptr);
    display.showActivity(true, "x");
    display.showActivity(false, nullptr);
    display.clearLine(false);
    displayPrint(&display, kDisplayInfo, "line %d", 1);
  });
  EXPECT_EQ(out, "line 1\n");
}

TEST(Display, LongMessageIsCutTo2047Characters) {
  const std::string longText(3000, 'a');
  const std::string out = captureStdout(false, [&] {
    CLI_Display display;
    displayPrint(&display, kDisplayInfo, "%s", longText.c_str());
  });
  EXPECT_EQ(out, std::string(2047, 'a') + "\n");
}

TEST(Display, SuppressedDisplayPrintsNothing) {
  const std::string out = captureStdout(false, [] {
    CLI_Display display;
    display.suppressOutput = true;
    displayPrint(&display, kDisplayInfo, "hidden");
  });
  EXPECT_EQ(out, "");
}

// debugLog writes to its sink only for mask 0 or a bit the debug mask holds.
TEST(DebugLog, MaskGatesTraces) {
  cltest::TempDir dir;
  FILE* sink = fopen((dir / "log").c_str(), "w");
  ASSERT_NE(sink, nullptr);
  setDebugOutput(sink);
  const uint32_t before = getDebugMask();
  debugLog(0x100, "gated\n");
  debugLog(0, "always\n");
  setDebugMask(0x100);
  debugLog(0x100, "open %d\n", 7);
  debugLog(0x200, "still gated\n");
  setDebugOutput(nullptr);
  fclose(sink);
  EXPECT_EQ(before & 0x100, 0u);
  EXPECT_EQ(cltest::readFile(dir / "log"), "always\nopen 7\n");
  setDebugMask(0x20);
  EXPECT_EQ(getDebugMask() & 0x120, 0x120u);  // bits accumulate, never clear
}

}  // namespace
