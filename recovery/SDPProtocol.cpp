#include "recovery/SDPProtocol.h"

#include <sys/types.h>

#include <algorithm>

#include "updater/UpdaterDisplay.h"

namespace sdp {

namespace {

void putBig(std::vector<uint8_t>& r, size_t at, uint32_t v) {
  r[at] = static_cast<uint8_t>(v >> 24);
  r[at + 1] = static_cast<uint8_t>(v >> 16);
  r[at + 2] = static_cast<uint8_t>(v >> 8);
  r[at + 3] = static_cast<uint8_t>(v);
}

std::vector<uint8_t> command(uint8_t code) {
  std::vector<uint8_t> r(kCommandReportSize, 0);
  r[0] = 1;
  r[1] = code;
  r[2] = code;
  return r;
}

void dump(const std::vector<uint8_t>& bytes) {
  if (!(getDebugMask() & DEBUG_iMXSerial)) return;
  for (uint8_t b : bytes) debugLog(DEBUG_iMXSerial, "%X ", b);
  debugLog(DEBUG_iMXSerial, "\n");
}

}  // namespace

std::vector<uint8_t> errorStatusReport() { return command(0x05); }

std::vector<uint8_t> writeFileReport(uint32_t address, uint32_t byteCount) {
  std::vector<uint8_t> r = command(0x04);
  putBig(r, 3, address);
  r[7] = 0x20;
  putBig(r, 8, byteCount);
  return r;
}

std::vector<uint8_t> jumpAddressReport(uint32_t address) {
  std::vector<uint8_t> r = command(0x0B);
  putBig(r, 3, address);
  return r;
}

std::vector<uint8_t> dataReport(const std::vector<uint8_t>& data, size_t offset) {
  const size_t take = offset < data.size() ? std::min(kMaxDataBytes, data.size() - offset) : 0;
  std::vector<uint8_t> r(1 + take);
  r[0] = 2;
  if (take) std::copy_n(data.data() + offset, take, r.data() + 1);
  return r;
}

}  // namespace sdp

using sdp::dump;

bool SDPProtocol::setTransport(SDPLoader_Interface* transport) {
  if (!transport || transport_) return false;
  transport_.reset(transport);
  return true;
}

int SDPProtocol::open() {
  if (!transport_) return kNoTransport;
  return transport_->open() ? kOk : kOpenFailed;
}

bool SDPProtocol::errorStatus() {
  if (!transport_) return false;
  const std::vector<uint8_t> report = sdp::errorStatusReport();
  for (int attempt = 0; attempt < sdp::kStatusAttempts; ++attempt) {
    int written = transport_->write(report);
    debugLog(DEBUG_iMXSerial, "bytesWritten: %zu\n", static_cast<size_t>(written));
    dump(report);
    std::vector<uint8_t> response;
    int got = transport_->read(response, sdp::kResponseTimeoutMs);
    debugLog(DEBUG_iMXSerial, "Read Data: %zd\n", static_cast<ssize_t>(got));
    dump(response);
    uint32_t word = 0;
    if (transport_->getWord(response, 0, &word)) return true;
  }
  debugLog(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
  return false;
}

int SDPProtocol::writeFile(const std::vector<uint8_t>& data, uint32_t address) {
  // The byte count travels in 32 bits: a larger file cannot be described.
  if (!transport_ || data.size() > 0xFFFFFFFFu || !errorStatus()) return kNoAck;
  const std::vector<uint8_t> command = sdp::writeFileReport(address, static_cast<uint32_t>(data.size()));
  int res = transport_->write(command);
  debugLog(DEBUG_iMXSerial, "Write Res: %zd\n", static_cast<ssize_t>(res));
  dump(command);

  int total = 0;
  size_t taken = 0;
  for (int loop = 0; taken < data.size(); ++loop) {
    std::vector<uint8_t> early;
    int got = transport_->read(early, 0);
    debugLog(DEBUG_iMXSerial, "Read Data: %zd\n", static_cast<ssize_t>(got));
    dump(early);
    if (got > 0) {
      debugLog(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
      return kAborted;
    }
    const std::vector<uint8_t> report = sdp::dataReport(data, taken);
    taken += report.size() - 1;
    res = transport_->write(report);
    if (res > 0) total += res;
    debugLog(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n",
             static_cast<ssize_t>(res), total, loop, static_cast<long>(taken),
             static_cast<ssize_t>(report.size()));
  }

  debugLog(DEBUG_iMXSerial, "Written Bytes: %d\n", total);
  std::vector<uint8_t> response;
  transport_->read(response, sdp::kResponseTimeoutMs);
  debugLog(DEBUG_iMXSerial, "Data Read: \n");
  dump(response);
  uint32_t word = 0;
  if (transport_->getWord(response, 0, &word) && word == sdp::kWriteComplete) {
    debugLog(DEBUG_iMXSerial, "Loader Transfer Successful\n");
    return kOk;
  }
  debugLog(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
  return kNotConfirmed;
}

void SDPProtocol::jumpAddress(uint32_t address) {
  if (!transport_) return;
  const std::vector<uint8_t> command = sdp::jumpAddressReport(address);
  int res = transport_->write(command);
  debugLog(DEBUG_iMXSerial, "Write Res: %zd\n", static_cast<ssize_t>(res));
  dump(command);
  std::vector<uint8_t> response;
  transport_->read(response, sdp::kResponseTimeoutMs);
}
