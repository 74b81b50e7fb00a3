// The SDP transport over USB HID (hidapi, hidraw backend).
#include <hidapi/hidapi.h>

#include "recovery/SDPLoader.h"
#include "updater/UpdaterDisplay.h"

HID_SDPLoader::HID_SDPLoader(uint16_t vendorId, uint16_t productId) : vendorId_(vendorId), productId_(productId) {}

HID_SDPLoader::~HID_SDPLoader() {
  if (handle_) hid_close(handle_);
  hid_exit();
}

bool HID_SDPLoader::open() {
  if (handle_) return true;
  if (hid_init() != 0) return false;
  handle_ = hid_open(vendorId_, productId_, nullptr);
  debugLog(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(handle_));
  return handle_ != nullptr;
}

int HID_SDPLoader::write(const std::vector<uint8_t>& bytes) {
  if (!handle_ || bytes.empty()) return -1;
  return hid_write(handle_, bytes.data(), bytes.size());
}

int HID_SDPLoader::read(std::vector<uint8_t>& bytes, int timeoutMs) {
  if (!handle_) return 0;
  int total = 0;
  for (int reports = 0; reports < sdp::kMaxReportsPerRead; ++reports) {
    uint8_t report[sdp::kHidReportSize] = {};
    int n = hid_read_timeout(handle_, report, sizeof report, timeoutMs);
    if (n <= 0) break;
    total += sdp::appendHidReport(bytes, report, static_cast<size_t>(n));
  }
  return total;
}

bool HID_SDPLoader::getWord(const std::vector<uint8_t>& response, unsigned index, uint32_t* word) {
  return sdp::hidWord(response, index, word);
}
