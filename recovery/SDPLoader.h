// Transports of the i.MX boot ROM's serial download protocol (SDP): USB HID
// reports or a UART. The protocol object (SDPProtocol.h) drives either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct hid_device_;

class SDPLoader_Interface {
 public:
  virtual ~SDPLoader_Interface() = default;
  virtual bool open() = 0;
  // bytes[0] is the HID report ID (not sent over a UART); answers bytes written,
  // negative on failure.
  virtual int write(const std::vector<uint8_t>& bytes) = 0;
  // Appends what the device sent; answers the count appended.
  virtual int read(std::vector<uint8_t>& bytes, int timeoutMs) = 0;
  // ORs the 32-bit little-endian word `index` of a response into *word.
  virtual bool getWord(const std::vector<uint8_t>& response, unsigned index, uint32_t* word) = 0;
};

namespace sdp {

// The HID response: report 3 (5 bytes with its ID) and report 4 (65 bytes).
constexpr size_t kHidReportSize = 65;
constexpr size_t kHidResponseSize = 70;
// A device that never stops sending cannot keep a read going for ever: one read
// takes at most this many reports (HID) or bytes (UART).
constexpr int kMaxReportsPerRead = 16;
constexpr size_t kMaxSerialResponse = 4096;

// Appends what one HID report of `count` bytes contributes to a response:
// report 3 its first 5 bytes (fewer when the report was shorter), any other
// report all its bytes. Answers the count appended.
int appendHidReport(std::vector<uint8_t>& bytes, const uint8_t* report, size_t count);

bool hidWord(const std::vector<uint8_t>& response, unsigned index, uint32_t* word);
bool serialWord(const std::vector<uint8_t>& response, unsigned index, uint32_t* word);

}  // namespace sdp

class HID_SDPLoader : public SDPLoader_Interface {
 public:
  HID_SDPLoader(uint16_t vendorId, uint16_t productId);
  ~HID_SDPLoader() override;
  HID_SDPLoader(const HID_SDPLoader&) = delete;
  HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

  bool open() override;
  int write(const std::vector<uint8_t>& bytes) override;
  int read(std::vector<uint8_t>& bytes, int timeoutMs) override;
  bool getWord(const std::vector<uint8_t>& response, unsigned index, uint32_t* word) override;

 private:
  hid_device_* handle_ = nullptr;
  uint16_t vendorId_;
  uint16_t productId_;
};

class Serial_SDPLoader : public SDPLoader_Interface {
 public:
  // A write that moves no byte is tried again after a pause, this many times.
  static constexpr int kWriteRetries = 3;
  static constexpr int kWriteRetryPauseMs = 1000;

  explicit Serial_SDPLoader(const std::string& portName);
  ~Serial_SDPLoader() override;
  Serial_SDPLoader(const Serial_SDPLoader&) = delete;
  Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

  bool open() override;
  int write(const std::vector<uint8_t>& bytes) override;
  int read(std::vector<uint8_t>& bytes, int timeoutMs) override;
  bool getWord(const std::vector<uint8_t>& response, unsigned index, uint32_t* word) override;

 private:
  struct Port {
    int fd = -1;
    std::string path;
  } port_;
};
