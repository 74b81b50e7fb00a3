// The boot ROM of an i.MX processor speaking its serial download protocol (SDP)
// over a UART: 16-byte commands, file writes into a RAM model, status and jump,
// and switches that make it misbehave.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

struct SdpConfig {
  bool silent = false;          // answer nothing at all
  bool badStatus = false;       // confirm file writes with 0 instead of 0x88888888
  bool shortResponse = false;   // send the 4-byte mode word but no status word
};

class SdpDevice {
 public:
  static constexpr uint32_t kRamBase = 0x00900000;
  static constexpr uint32_t kRamSize = 256 * 1024;
  static constexpr uint32_t kHabOpen = 0x56787856;
  static constexpr uint32_t kStatusIdle = 0xF0F0F0F0;
  static constexpr uint32_t kWriteComplete = 0x88888888;
  static constexpr uint32_t kWriteFailed = 0x12345678;

  using Trace = std::function<void(const std::string& line)>;
  SdpDevice(const SdpConfig& config, Trace trace);

  // Bytes from the host; answers what the device sends back.
  std::string receive(const uint8_t* bytes, size_t count);

  const std::vector<uint8_t>& ram() const { return ram_; }
  bool takeChanged();
  uint64_t commands() const { return commands_; }

 private:
  void onCommand(std::string& out);
  void answer(std::string& out, uint32_t status);

  SdpConfig config_;
  Trace trace_;
  std::vector<uint8_t> ram_;
  bool changed_ = true;
  std::vector<uint8_t> command_;
  uint64_t commands_ = 0;
  // The file write in progress.
  bool receiving_ = false;
  uint32_t address_ = 0;
  uint32_t expected_ = 0;
  uint32_t received_ = 0;
  bool inRange_ = false;
};

// corelatch-sim --sdp ...: the ROM on a pseudo-terminal.
int sdpMain(int argc, char** argv);

}  // namespace sim
