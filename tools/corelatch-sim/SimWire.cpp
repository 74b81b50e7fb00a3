#include "SimWire.h"

#include <cstdio>

namespace sim {

std::vector<uint8_t> Packet::wire() const {
  std::vector<uint8_t> out;
  out.reserve(data.size() + 2);
  out.push_back(address);
  out.push_back(static_cast<uint8_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

std::string hexBytes(const uint8_t* bytes, size_t count) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
    out += buf;
  }
  return out;
}

std::string Packet::hex() const {
  std::vector<uint8_t> w = wire();
  return hexBytes(w.data(), w.size());
}

void RawDecoder::feed(const uint8_t* bytes, size_t count, std::vector<Packet>& out) {
  pending_.insert(pending_.end(), bytes, bytes + count);
  size_t pos = 0;
  while (pos < pending_.size()) {
    uint8_t address = pending_[pos];
    if (address == 0) {
      ++pos;
      continue;
    }
    if (pos + 1 >= pending_.size()) break;
    uint8_t size = pending_[pos + 1];
    if (size > kMaxData) {
      ++pos;
      continue;
    }
    if (pos + 2 + size > pending_.size()) break;
    out.emplace_back(address, std::vector<uint8_t>(pending_.begin() + pos + 2,
                                                   pending_.begin() + pos + 2 + size));
    pos += 2 + size;
  }
  pending_.erase(pending_.begin(), pending_.begin() + pos);
}

uint8_t crc8(const uint8_t* bytes, size_t count) {
  uint8_t crc = 0;
  for (size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : crc >> 1;
  }
  return crc;
}

std::vector<uint8_t> encodeFrame(const Packet& packet) {
  std::vector<uint8_t> plain = packet.wire();
  plain.push_back(crc8(plain.data(), plain.size()));
  std::vector<uint8_t> out;
  out.reserve(plain.size() + 3);
  size_t codeAt = out.size();
  out.push_back(0);
  uint8_t code = 1;
  for (uint8_t b : plain) {
    if (b == 0) {
      out[codeAt] = code;
      codeAt = out.size();
      out.push_back(0);
      code = 1;
      continue;
    }
    out.push_back(b);
    if (++code == 0xFF) {
      out[codeAt] = code;
      codeAt = out.size();
      out.push_back(0);
      code = 1;
    }
  }
  out[codeAt] = code;
  out.push_back(0);
  return out;
}

namespace {

bool cobsDecode(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
  out.clear();
  size_t pos = 0;
  while (pos < in.size()) {
    uint8_t code = in[pos++];
    if (code == 0 || pos + code - 1 > in.size()) return false;
    out.insert(out.end(), in.begin() + pos, in.begin() + pos + code - 1);
    pos += code - 1;
    if (code != 0xFF && pos < in.size()) out.push_back(0);
  }
  return true;
}

}  // namespace

int FrameDecoder::feed(const uint8_t* bytes, size_t count, std::vector<Packet>& out) {
  int rejected = 0;
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != 0) {
      if (frame_.size() < 64) frame_.push_back(bytes[i]);
      continue;
    }
    if (frame_.empty()) continue;
    std::vector<uint8_t> plain;
    bool good = cobsDecode(frame_, plain) && plain.size() >= 3 && plain[1] <= kMaxData &&
                plain.size() == static_cast<size_t>(plain[1]) + 3 &&
                crc8(plain.data(), plain.size() - 1) == plain.back();
    frame_.clear();
    if (!good) {
      ++rejected;
      continue;
    }
    out.emplace_back(plain[0], std::vector<uint8_t>(plain.begin() + 2, plain.end() - 1));
  }
  return rejected;
}

}  // namespace sim
