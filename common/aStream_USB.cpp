/* The USB stream to one CoreLatch device: its packet bytes over the bulk IN and
 * bulk OUT endpoints of its vendor interface. Reads hand out one IN packet byte
 * by byte; writes go out in OUT max-packet pieces. The receive thread of a link
 * reads and its send thread writes at the same time: they share only the
 * handle, the IN side is the reader's and the OUT side the writer's. The USB
 * access itself is the table of aUSB.h. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "aStream.h"
#include "aUSB.h"

namespace {

/* Longest wait for an IN packet before a read answers aErrNotReady. */
constexpr uint32_t kReadWaitMs = 1000;
/* Longest wait for one OUT transfer; a device that takes nothing for this long
 * costs the write an attempt instead of holding it for ever. */
constexpr uint32_t kWriteWaitMs = 1000;
constexpr int kWriteAttempts = 10;

struct EndpointInfo {
  uint8_t address = 0;
  uint16_t maxPacket = 0;
};

struct UsbStream {
  const aUSBOps* ops = nullptr;
  void* device = nullptr;  /* the opened device with its vendor interface claimed */
  EndpointInfo in;
  EndpointInfo out;
  EndpointInfo interrupt;  /* recorded, not used for data */
  int32_t nodeMode = 0;    /* no device node on this platform */
  uint32_t check = aUSB_CHECK;
  uint8_t* inBuffer = nullptr;
  uint8_t* outBuffer = nullptr;
  uint32_t bytesRead = 0;
  uint32_t readPos = 0;
};

aErr checkOf(void* ref, UsbStream** s) {
  *s = static_cast<UsbStream*>(ref);
  if (!*s || (*s)->check != aUSB_CHECK) return aErrParam;
  return (*s)->device ? aErrNone : aErrIO;
}

aErr sRead(uint8_t* byte, void* ref) {
  UsbStream* s;
  aErr err = checkOf(ref, &s);
  if (err != aErrNone) return err;
  if (s->readPos < s->bytesRead) {
    *byte = s->inBuffer[s->readPos++];
    return aErrNone;
  }
  uint32_t received = 0;
  err = s->ops->bulkIn(s->device, s->in.address, s->inBuffer, s->in.maxPacket, &received, kReadWaitMs);
  if (err == aErrNone) {
    s->bytesRead = received;
    s->readPos = 0;
    // A transfer that brought nothing has no byte to hand out: answering success
    // would feed the caller a byte the device never sent.
    if (received == 0) return aErrNotReady;
    *byte = s->inBuffer[s->readPos++];
    return aErrNone;
  }
  if (err == aErrNotReady || err == aErrCancel) return err;
  return aErrIO;
}

aErr sWrite(const uint8_t* bytes, uint32_t count, void* ref) {
  UsbStream* s;
  aErr err = checkOf(ref, &s);
  if (err != aErrNone) return err;
  if (!bytes && count) return aErrParam;
  int attempts = 0;
  while (count > 0) {
    uint32_t chunk = count < s->out.maxPacket ? count : s->out.maxPacket;
    // A full 512-byte piece would need a zero-length packet to end the transfer.
    if (chunk == 512) chunk = 511;
    memcpy(s->outBuffer, bytes, chunk);
    uint32_t sent = 0;
    err = s->ops->bulkOut(s->device, s->out.address, s->outBuffer, chunk, &sent, kWriteWaitMs);
    if (err != aErrNone && err != aErrNotReady) return aErrIO;
    // Only what the device took is done: the rest goes again, never a byte twice.
    bytes += sent;
    count -= sent;
    if (err != aErrNone || sent < chunk) ++attempts;
    if (count > 0 && attempts >= kWriteAttempts) return aErrWrite;
  }
  return aErrNone;
}

aErr sPut(const uint8_t* byte, void* ref) { return sWrite(byte, 1, ref); }

void release(UsbStream* s) {
  if (s->device) s->ops->close(s->device);
  s->device = nullptr;
  free(s->inBuffer);
  free(s->outBuffer);
  s->check = 0;
  delete s;
}

aErr sClose(void* ref) {
  UsbStream* s = static_cast<UsbStream*>(ref);
  if (!s || s->check != aUSB_CHECK) return aErrParam;
  release(s);
  return aErrNone;
}

/* Sorts the vendor interface's endpoints; false for a transfer type the stream
 * cannot use or a missing bulk pair. */
bool takeEndpoints(UsbStream* s, const aUSBEndpoint* endpoints, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    const aUSBEndpoint& e = endpoints[i];
    EndpointInfo info{e.address, e.maxPacket};
    switch (e.attributes & 3) {
      case aUSB_TRANSFER_BULK:
        if (e.address & aUSB_ENDPOINT_IN) s->in = info;
        else s->out = info;
        break;
      case aUSB_TRANSFER_INTERRUPT:
        s->interrupt = info;
        break;
      default:
        return false;
    }
  }
  return s->in.maxPacket > 0 && s->out.maxPacket > 0;
}

}  // namespace

aLIB_BEGIN

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream) {
  if (!stream) return aErrParam;
  *stream = nullptr;
  UsbStream* s = new (std::nothrow) UsbStream;
  if (!s) return aErrMemory;
  s->ops = aUSB_Ops();
  char serialText[16];
  snprintf(serialText, sizeof serialText, "%08X", serialNumber);
  aUSBEndpoint endpoints[aUSB_MAX_ENDPOINTS];
  uint32_t count = 0;
  aErr err = s->ops->open(serialText, &s->device, endpoints, &count);
  if (err != aErrNone) {
    s->device = nullptr;
    release(s);
    return err == aErrBusy || err == aErrInitialization || err == aErrMemory ? err : aErrNotFound;
  }
  if (!takeEndpoints(s, endpoints, count)) {
    release(s);
    return aErrInitialization;
  }
  s->inBuffer = static_cast<uint8_t*>(malloc(s->in.maxPacket));
  s->outBuffer = static_cast<uint8_t*>(malloc(s->out.maxPacket));
  if (!s->inBuffer || !s->outBuffer) {
    release(s);
    return aErrInitialization;
  }
  if (s->ops->clearEndpoint(s->device, s->in.address) != aErrNone ||
      s->ops->clearEndpoint(s->device, s->out.address) != aErrNone) {
    release(s);
    return aErrInitialization;
  }
  *stream = aStream_Create(sRead, sPut, sWrite, sClose, s);
  if (!*stream) {
    release(s);
    return aErrMemory;
  }
  return aErrNone;
}

aLIB_END
