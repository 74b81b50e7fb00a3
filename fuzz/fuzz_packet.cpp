// Packet assembly fed arbitrary bytes, the way a receive thread feeds it:
// add, hand on when complete, reset after a failure.
#include "aPacket.h"
#include "aPacketFifo.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint64_t out = aPacketFifo_Create();
  aPacket* p = aPacket_Create();
  int32_t state = kSyncStateIdle;
  uint8_t saved = 1;
  bool syncing = false;
  for (size_t i = 0; i < size; i++) {
    if (syncing) {
      syncing = aPacket_SyncByte(&state, &saved, data[i], p, out) != aSyncDone;
      continue;
    }
    const aErr err = aPacket_AddByte(p, data[i]);
    if (err != aErrNone || (p->address & 1)) {
      // Without a reset the record must still answer safely.
      uint8_t wire[aPACKET_MAXWIRE];
      uint32_t length = 0;
      aPacket_GetBytes(p, wire, sizeof wire, &length);
      if (length > aPACKET_MAXWIRE)
        abort();
      if (data[i] & 0x80) {
        aPacket_SyncStart(&state, p, out);
        syncing = true;
      }
      continue;
    }
    if (aPacket_IsComplete(p)) {
      uint8_t wire[aPACKET_MAXWIRE];
      uint32_t length = 0;
      if (aPacket_GetBytes(p, wire, sizeof wire, &length) != aErrNone || length != p->dataSize + 2u)
        abort();
      aPacket* copy = aPacket_Copy(p);
      if (!copy)
        abort();
      aPacket_HandleHeartbeat(copy, out);
      uint8_t b;
      aPacket_GetCmd(copy, &b);
      aPacket_GetOption(copy, &b);
      aPacket_GetIndex(copy, &b);
      aPacket_Destroy(&copy);
      aPacket_Reset(p);
    }
  }
  while (aPacket* q = aPacketFifo_Get(out))
    aPacket_Destroy(&q);
  aPacket_Destroy(&p);
  return 0;
}
