// The two output channels of the application: the display (what the user is
// meant to see) and debugLog (diagnostics gated by the debug mask).
#pragma once

#include <cstdint>
#include <cstdio>

class UpdaterDisplayInterface {
 public:
  virtual void clearLine(bool keep) = 0;
  virtual void showProgress(double fraction, const char* label) = 0;
  virtual void showActivity(bool active, const char* label) = 0;
  virtual void showMessage(const char* text) = 0;
  virtual void showError(const char* text) = 0;

 protected:
  ~UpdaterDisplayInterface() = default;
};

// Console display: messages to stdout, errors to stderr; the bar, spinner and
// erase sequences only when stdout is a terminal.
class CLI_Display : public UpdaterDisplayInterface {
 public:
  CLI_Display();
  void clearLine(bool keep) override;
  void showProgress(double fraction, const char* label) override;
  void showActivity(bool active, const char* label) override;
  void showMessage(const char* text) override;
  void showError(const char* text) override;

  bool suppressOutput = false;

 private:
  bool interactive_;
};

enum DisplayLevel { kDisplayInfo = 0, kDisplayError = 1 };

// Formats into 2048 bytes (cut to 2047 characters); level 1 goes to showError.
void displayPrint(UpdaterDisplayInterface* display, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

enum : uint32_t {
  DEBUG_Updater = 0x00000001,
  DEBUG_History = 0x00000002,
  DEBUG_Attributes = 0x00000004,
  DEBUG_BirdFile = 0x00000008,
  DEBUG_Network_Legacy = 0x00000010,
  DEBUG_ServerComm = 0x00000020,
  DEBUG_Network = 0x00000100,
  DEBUG_Network_SR = 0x00000200,
  DEBUG_Network_FIRM = 0x00000400,
  DEBUG_NXPSerial = 0x00001000,
  DEBUG_NXPSerial_E = 0x00002000,
  DEBUG_NXPSerial_SR = 0x00004000,
  DEBUG_APP = 0x00010000,
  DEBUG_iMXSerial = 0x10000000,
};

// Written when mask is 0 or shares a bit with the debug mask; one write per call.
void debugLog(uint32_t mask, const char* format, ...) __attribute__((format(printf, 2, 3)));
void setDebugMask(uint32_t bits);
uint32_t getDebugMask();
void setDebugOutput(FILE* stream);
