// Framed serial decoding fed arbitrary wire bytes through the packetized
// stream over an in-memory transport; every decoded packet must be well formed
// and must survive a trip back through the encoder.
#include "aPacket.h"
#include "aStream.h"

#include <cstdlib>
#include <vector>

namespace {

struct Memory {
  const uint8_t* in;
  size_t size, at;
  std::vector<uint8_t> out;
};

aErr sGet(uint8_t* byte, void* ref) {
  auto* m = static_cast<Memory*>(ref);
  if (m->at >= m->size)
    return aErrNotReady;
  *byte = m->in[m->at++];
  return aErrNone;
}
aErr sWrite(const uint8_t* bytes, uint32_t count, void* ref) {
  auto* m = static_cast<Memory*>(ref);
  m->out.insert(m->out.end(), bytes, bytes + count);
  return aErrNone;
}

// Reads the framed stream until a read fails with no input left before it (a
// frame's packet comes out after its delimiter).
std::vector<uint8_t> drain(aStream* framed, const Memory& m) {
  std::vector<uint8_t> out;
  for (;;) {
    const bool drained = m.at >= m.size;
    uint8_t b;
    if (aStream_Read(framed, &b, 1) == aErrNone)
      out.push_back(b);
    else if (drained)
      return out;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Memory m{data, size, 0, {}};
  aStream* raw = aStream_Create(sGet, nullptr, sWrite, nullptr, &m);
  aStream* framed = nullptr;
  if (aStream_WrapPacketized(&raw, &framed) != aErrNone)
    return 0;
  const std::vector<uint8_t> decoded = drain(framed, m);
  // Decoded bytes always form whole packets of at most 28 data bytes; those
  // from a module address must survive a trip back through the encoder.
  std::vector<uint8_t> addressed;
  for (size_t at = 0; at < decoded.size();) {
    if (at + 2 > decoded.size() || decoded[at + 1] > aPACKET_MAXDATA || at + 2 + decoded[at + 1] > decoded.size())
      abort();
    const size_t length = 2u + decoded[at + 1];
    if (decoded[at] != 0)
      addressed.insert(addressed.end(), decoded.begin() + at, decoded.begin() + at + length);
    at += length;
  }
  if (!addressed.empty()) {
    if (aStream_Write(framed, addressed.data(), static_cast<uint32_t>(addressed.size())) != aErrNone)
      abort();
    std::vector<uint8_t> frames = m.out;
    Memory again{frames.data(), frames.size(), 0, {}};
    aStream* raw2 = aStream_Create(sGet, nullptr, sWrite, nullptr, &again);
    aStream* framed2 = nullptr;
    if (aStream_WrapPacketized(&raw2, &framed2) != aErrNone)
      abort();
    const std::vector<uint8_t> round = drain(framed2, again);
    if (round != addressed)
      abort();
    aStream_Destroy(&framed2);
  }
  aStream_Destroy(&framed);
  return 0;
}
