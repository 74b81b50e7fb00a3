// The ROM boot loader of an NXP part as a serial device: the autobaud
// handshake, the ISP command lines with their echo and status replies, data
// written to RAM as uuencoded lines in checksummed groups, RAM copied to a
// 512 KB flash of 30 sectors, and switches that make it misbehave.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

struct IspConfig {
  uint32_t partId = 0x26113F37;
  uint32_t bootMajor = 4;
  uint32_t bootMinor = 1;
  uint32_t uid[4] = {0x0F0A1B2C, 0x3D4E5F60, 0x71829304, 0xA5B6C7D8};
  uint8_t flashFill = 0x5A;  // what the flash holds before the first erase

  // Faults.
  bool silent = false;         // answer nothing at all
  unsigned muteAfter = 0;      // after N command lines, neither echo nor reply
  unsigned resend = 0;         // answer RESEND to the first N checksums
  bool badEcho = false;        // echo "#" for the first byte of every line
  unsigned dropLine = 0;       // ignore the Nth line after the handshake whole
  int refuseSerial = -1;       // answer N with this return code instead
};

class IspDevice {
 public:
  static constexpr uint32_t kFlashSize = 512 * 1024;
  static constexpr uint32_t kRamBase = 0x10000000;
  static constexpr uint32_t kRamSize = 32 * 1024;
  static constexpr int kSectors = 30;
  static constexpr uint32_t kUnlockCode = 23130;

  using Trace = std::function<void(const std::string& line)>;
  IspDevice(const IspConfig& config, Trace trace);

  // Bytes from the host; answers what the device sends back (echo and replies).
  std::string receive(const uint8_t* bytes, size_t count);

  const std::vector<uint8_t>& flash() const { return flash_; }
  const std::vector<uint8_t>& ram() const { return ram_; }
  // True once after the flash or RAM changed.
  bool takeChanged();

  uint64_t lines() const { return lineCount_; }

 private:
  enum class State { Autobaud, SyncLine, Crystal, Command, Data, Running };

  void onByte(uint8_t b, std::string& out);
  void onLine(const std::string& line, std::string& out);
  void command(const std::string& line, std::string& out);
  void dataLine(const std::string& line, std::string& out);
  void reply(std::string& out, const std::string& text);
  int sectorOf(uint32_t address) const;
  bool sectorsPrepared(int first, int last) const;

  IspConfig config_;
  Trace trace_;
  State state_ = State::Autobaud;
  bool echo_ = true;
  bool unlocked_ = false;
  bool prepared_[kSectors] = {};
  std::vector<uint8_t> flash_;
  std::vector<uint8_t> ram_;
  bool changed_ = true;

  std::string line_;
  bool dropping_ = false;
  bool lineStarted_ = false;
  uint64_t lineCount_ = 0;     // lines after the handshake, dropped ones included
  uint64_t commandCount_ = 0;  // command lines taken
  unsigned checksums_ = 0;

  // The write in progress.
  uint32_t writeAddress_ = 0;
  uint32_t writeCount_ = 0;
  uint32_t writeDone_ = 0;
  std::vector<uint8_t> group_;
  unsigned groupLines_ = 0;
  bool groupBad_ = false;
};

// corelatch-sim --isp ...: the boot loader on a pseudo-terminal.
int ispMain(int argc, char** argv);

}  // namespace sim
