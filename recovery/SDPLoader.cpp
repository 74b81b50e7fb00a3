#include "recovery/SDPLoader.h"

namespace sdp {

namespace {

uint32_t littleEndian(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
         static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

}  // namespace

int appendHidReport(std::vector<uint8_t>& bytes, const uint8_t* report, size_t count) {
  size_t take = count;
  if (count > 0 && report[0] == 3 && take > 5) take = 5;
  bytes.insert(bytes.end(), report, report + take);
  return static_cast<int>(take);
}

bool hidWord(const std::vector<uint8_t>& response, unsigned index, uint32_t* word) {
  if (response.size() != kHidResponseSize || index > 15) return false;
  *word |= littleEndian(response, index + 6);
  return true;
}

bool serialWord(const std::vector<uint8_t>& response, unsigned index, uint32_t* word) {
  if (index >= 16 || response.size() < 4 * static_cast<size_t>(index) + 8) return false;
  *word |= littleEndian(response, index + 4);
  return true;
}

}  // namespace sdp
