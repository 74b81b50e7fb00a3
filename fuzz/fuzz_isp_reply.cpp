// The NXP ISP client reading whatever a device on the serial line sends: the
// reply parsers on the raw bytes, then the handshake, a serial-number read and
// a data write over an in-memory line. Every read must end and stay inside its
// buffer; a failure must never come back as success with made-up words.
#include <cstdlib>
#include <cstring>
#include <string>

#include "recovery/NXPSerialClient.h"

namespace {

struct Line {
  const uint8_t* in;
  size_t size, at;
};

aErr sGet(uint8_t* byte, void* ref) {
  auto* l = static_cast<Line*>(ref);
  if (l->at >= l->size) return aErrNotReady;
  *byte = l->in[l->at++];
  return aErrNone;
}
aErr sWrite(const uint8_t*, uint32_t, void*) { return aErrNone; }
aErr sPut(const uint8_t*, void*) { return aErrNone; }
aErr sRelease(void*) { return aErrNone; }

void noPause(uint32_t) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  nxpisp::replyCode(text.c_str(), text.size(), (data[0] & 1) != 0);
  uint32_t word = 0;
  nxpisp::parseWord(text.c_str(), &word);

  Line line{data + 1, size - 1, 0};
  NXPSerialClient client;
  client.setPause(noPause);
  if (client.adopt(aStream_Create(sGet, sPut, sWrite, sRelease, &line), 115200) != aErrNone) std::abort();
  switch (data[0] % 4) {
    case 0:
      client.sync();
      break;
    case 1: {
      if (client.readSerialNumber() != aErrNone) {
        for (int i = 0; i < 4; ++i)
          if (client.serialNumber()[i] != 0) std::abort();
      }
      break;
    }
    case 2: {
      uint8_t block[200];
      std::memset(block, 0xA5, sizeof block);
      client.Write(NXPSerialClient::kRamAddress, sizeof block, block);
      break;
    }
    default: {
      char buffer[16];
      size_t length = 0;
      client.GetLine(buffer, sizeof buffer, &length, 100);
      if (length >= sizeof buffer || buffer[length] != '\0') std::abort();
      client.Response(buffer, sizeof buffer, &length, "OK\r\n", 64);
      if (length >= sizeof buffer || buffer[length] != '\0') std::abort();
      break;
    }
  }
  return 0;
}
