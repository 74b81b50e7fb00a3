// The i.MX boot ROM's serial download protocol: status, file writes and jumps,
// through an SDP transport (HID or UART).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "recovery/SDPLoader.h"

namespace sdp {

constexpr uint32_t kWriteComplete = 0x88888888;
constexpr size_t kCommandReportSize = 17;
constexpr size_t kMaxDataBytes = 1024;
constexpr int kStatusAttempts = 5;
constexpr int kResponseTimeoutMs = 100;

// Reports (first byte the HID report ID; multi-byte fields big-endian).
std::vector<uint8_t> errorStatusReport();
std::vector<uint8_t> writeFileReport(uint32_t address, uint32_t byteCount);
std::vector<uint8_t> jumpAddressReport(uint32_t address);
// Report 2 with the next up to 1024 bytes of data from `offset`.
std::vector<uint8_t> dataReport(const std::vector<uint8_t>& data, size_t offset);

}  // namespace sdp

class SDPProtocol {
 public:
  enum : int {
    kOk = 0,
    kNoTransport = 1,
    kNoAck = 2,
    kAborted = 3,
    kNotConfirmed = 4,
    kOpenFailed = 6,
  };

  bool setTransport(SDPLoader_Interface* transport);
  int open();
  bool errorStatus();
  int writeFile(const std::vector<uint8_t>& data, uint32_t address);
  void jumpAddress(uint32_t address);

 private:
  std::unique_ptr<SDPLoader_Interface> transport_;
};
