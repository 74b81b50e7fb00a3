// Packet bytes as a device sees them: the raw form of the TCP port (address,
// size, data) and the protected frames of the serial port (CRC-8, COBS, 0x00).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

constexpr size_t kMaxData = 28;

struct Packet {
  uint8_t address = 0;
  std::vector<uint8_t> data;  // at most kMaxData bytes

  Packet() = default;
  Packet(uint8_t a, std::vector<uint8_t> d) : address(a), data(std::move(d)) {}
  std::vector<uint8_t> wire() const;
  std::string hex() const;  // "06 02 00 03"
};

std::string hexBytes(const uint8_t* bytes, size_t count);

// Splits a raw byte stream into packets. A byte that cannot start a packet (a zero
// address, or a size above 28) is skipped, so the device finds its way back after
// garbage.
class RawDecoder {
 public:
  void feed(const uint8_t* bytes, size_t count, std::vector<Packet>& out);
  void reset() { pending_.clear(); }

 private:
  std::vector<uint8_t> pending_;
};

// CRC-8 (polynomial 0x31 reflected as 0x8C, initial 0) over the packet bytes.
uint8_t crc8(const uint8_t* bytes, size_t count);
// COBS of the packet's wire bytes plus CRC, followed by the 0x00 delimiter.
std::vector<uint8_t> encodeFrame(const Packet& packet);

// Collects framed bytes up to each 0x00 and yields the packets of good frames.
class FrameDecoder {
 public:
  // Answers the number of frames rejected (bad stuffing, size or CRC).
  int feed(const uint8_t* bytes, size_t count, std::vector<Packet>& out);
  void reset() { frame_.clear(); }

 private:
  std::vector<uint8_t> frame_;
};

}  // namespace sim
