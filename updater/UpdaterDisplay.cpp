#include "updater/UpdaterDisplay.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstring>

namespace {

std::atomic<uint32_t> gDebugMask{0};
std::atomic<FILE*> gDebugSink{nullptr};
std::atomic<uint8_t> gSpinnerFrame{0};

const char* const kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};
const char kBarFill[] = "=====================================================================";

constexpr size_t kTextSize = 2048;

}  // namespace

CLI_Display::CLI_Display() : interactive_(isatty(STDOUT_FILENO) == 1) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::clearLine(bool keep) {
  if (!interactive_ || keep) return;
  fprintf(stdout, "\r%*s\r", 88, " ");
}

void CLI_Display::showProgress(double fraction, const char* label) {
  if (!interactive_) return;
  if (fraction < 0.0) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;
  const int percent = static_cast<int>(fraction * 100);
  if (!label) {
    const int n = static_cast<int>(fraction * 69);
    fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", n, kBarFill, 68 - n, "", percent);
    return;
  }
  // Labels too long for the line get a bar of zero width rather than a negative one.
  int len = static_cast<int>(strlen(label));
  int room = 65 - len;
  if (room < 0) room = 0;
  const int n = static_cast<int>(room * fraction);
  fprintf(stdout, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, n, kBarFill, room - 1 - n, "", percent);
}

void CLI_Display::showActivity(bool active, const char* label) {
  if (!interactive_) return;
  if (!active) {
    clearLine(false);
    return;
  }
  const uint8_t frame = gSpinnerFrame.fetch_add(1) % 8;
  if (label)
    fprintf(stdout, "\r (%s) %s      \r", label, kSpinnerFrames[frame]);
  else
    fprintf(stdout, "\r %s      \r", kSpinnerFrames[frame]);
}

void CLI_Display::showMessage(const char* text) { fprintf(stdout, "%s\n", text); }

void CLI_Display::showError(const char* text) { fprintf(stderr, "%s\n", text); }

void displayPrint(UpdaterDisplayInterface* display, int level, const char* format, ...) {
  if (!display) return;
  auto* cli = dynamic_cast<CLI_Display*>(display);
  if (cli && cli->suppressOutput) return;
  char text[kTextSize];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (level == kDisplayError)
    display->showError(text);
  else
    display->showMessage(text);
}

void debugLog(uint32_t mask, const char* format, ...) {
  if (mask != 0 && (mask & gDebugMask.load(std::memory_order_relaxed)) == 0) return;
  FILE* sink = gDebugSink.load();
  if (!sink) return;
  char text[kTextSize];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) return;
  size_t length = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
  // One write per trace so that lines from two threads never interleave.
  if (write(fileno(sink), text, length) < 0) return;
}

void setDebugMask(uint32_t bits) { gDebugMask.fetch_or(bits); }

uint32_t getDebugMask() { return gDebugMask.load(); }

void setDebugOutput(FILE* stream) { gDebugSink.store(stream); }
