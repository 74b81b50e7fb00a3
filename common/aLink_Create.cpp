/* Making links for each transport, sharing them between holders, rebuilding
 * their streams, and tearing them down when the last holder lets go. */
#include "aLink.h"
#include "aMulticast.h"
#include "aTime.h"

namespace {

/* Serial rates offered, by code. */
const uint32_t kBaudRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

int32_t baudCode(uint32_t bitsPerSecond) {
  for (int32_t code = 0; code < static_cast<int32_t>(sizeof kBaudRates / sizeof kBaudRates[0]); ++code)
    if (kBaudRates[code] == bitsPerSecond) return code;
  return -1;
}

/* Undoes a create that did not get through: the entry and all it holds go. */
void discard(int32_t id) {
  linkEntry* entry = sExtractEntry(id);
  if (!entry) return;
  aLink* link = entry->link;
  bool freeable = true;
  if (link && link->check == aLINK_CHECK) {
    aLink_Stop(link);
    freeable = aLink_Release(link, nullptr);
  }
  if (freeable) sFreeEntry(entry);
}

/* New entry, stream, record, one holder and threads; 0 when any step fails. */
int32_t createWithStream(int32_t id, aStream* stream) {
  if (aLink_Init(id, stream) == 0) {
    aStream_Destroy(&stream);
    discard(id);
    return 0;
  }
  sChangeUseCount(sLookupEntryByID(id), 1);
  if (aLink_Start(id) != aErrNone) {
    discard(id);
    return 0;
  }
  return id;
}

/* A fresh stream for an existing entry, by its type; null when none can be made. */
aStream* makeStream(const linkEntry* entry) {
  aStream* stream = nullptr;
  switch (entry->type) {
    case USB:
      aStream_CreateUSB(static_cast<uint32_t>(entry->ident0), &stream);
      break;
    case TCPIP:
      aStream_CreateSocket(static_cast<uint32_t>(entry->ident1), static_cast<uint32_t>(entry->ident2), &stream);
      break;
    default:
      break;
  }
  return stream;
}

uint8_t dropAll(const aPacket*, void*) { return 1; }

/* A new USB link starts in step with the device: it syncs, and what the sync
 * left in either queue goes. False when the device never answered. */
bool syncUSB(int32_t id) {
  aLink* link = sLookupLinkByID(id);
  if (!link) return false;
  aLink_RequestSync(link);
  bool running = false;
  for (int i = 0; i < 200 && !running; ++i) {
    running = aLink_GetStatus(id) == kLinkRunning;
    if (!running) aTime_MSSleep(10);
  }
  aPacketFifo_DrainPackets(link->outFifo, dropAll, nullptr);
  aTime_MSSleep(100);
  aPacketFifo_DrainPackets(link->inFifo, dropAll, nullptr);
  return running;
}

}  // namespace

aLIB_BEGIN

int32_t aLink_CreateUSB(uint32_t serialNumber) {
  // A served link is reached only through its server.
  int32_t shared = sAddHolder(static_cast<int32_t>(serialNumber), USB, true);
  if (shared != 0) return shared < 0 ? 0 : shared;
  int32_t id = sCreate(static_cast<int32_t>(serialNumber), 0, USB);
  if (id == 0) return 0;
  aStream* stream = nullptr;
  if (aStream_CreateUSB(serialNumber, &stream) != aErrNone) {
    discard(id);
    return 0;
  }
  id = createWithStream(id, stream);
  if (id != 0 && !syncUSB(id)) aLink_Destroy(&id);
  return id;
}

int32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint32_t port) {
  // A served link is reached only through its server.
  int32_t shared = sAddHolder(static_cast<int32_t>(serialNumber), TCPIP, true);
  if (shared != 0) return shared < 0 ? 0 : shared;
  int32_t id = sCreate2(static_cast<int32_t>(serialNumber), static_cast<int32_t>(address),
                        static_cast<int32_t>(port), TCPIP);
  if (id == 0) return 0;
  aStream* stream = nullptr;
  if (aStream_CreateSocket(address, port, &stream) != aErrNone) {
    discard(id);
    return 0;
  }
  return createWithStream(id, stream);
}

int32_t aLink_CreateSerial(uint32_t identifier, const char* portName, uint32_t baudRate) {
  int32_t shared = sAddHolder(static_cast<int32_t>(identifier), SERIAL, false);
  if (shared != 0) return shared;
  int32_t code = baudCode(baudRate);
  if (code < 0 || !portName) return 0;
  int32_t id = sCreate(static_cast<int32_t>(identifier), 0, SERIAL);
  if (id == 0) return 0;
  aStream* stream = nullptr;
  if (aStream_CreateSerial_Packetized(portName, code, 0, 0, 0, &stream) != aErrNone || !stream) {
    discard(id);
    return 0;
  }
  return createWithStream(id, stream);
}

int32_t aLink_Create(aStream* stream) {
  int32_t id = sCreate(-1, 0, 0);
  if (id == 0) {
    aStream_Destroy(&stream);
    return 0;
  }
  return createWithStream(id, stream);
}

aErr aLink_Destroy(int32_t* id) {
  if (!id) return aErrParam;
  int32_t which = *id;
  *id = 0;
  // Counting down and taking the entry out happen together: of two destroys of
  // the last holder only one tears the link down.
  bool found = false;
  linkEntry* entry = sRemoveHolder(which, &found);
  if (!found) return aErrParam;
  if (!entry) return aErrNone;

  aLink* link = entry->link;
  if (link && link->check == aLINK_CHECK) {
    aMutex_Lock(link->userFilterSema);
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
    aMutex_Unlock(link->userFilterSema);
  }
  if (!link) {
    sFreeEntry(entry);
    return aErrUnknown;
  }
  aErr result = aErrNone;
  bool freeable = true;
  if (link->check == aLINK_CHECK) {
    aLink_Stop(link);
    freeable = aLink_Release(link, &result);
  }
  // The client link a sharing server made for itself holds the device link behind it.
  int32_t device = entry->linkedDeviceId;
  if (freeable) sFreeEntry(entry);
  if (device != 0) aLink_Destroy(&device);
  return result;
}

aErr aLink_Reset(int32_t id) {
  linkEntry* entry = sLookupEntryByID(id);
  if (!entry || !entry->link || entry->link->check != aLINK_CHECK) return aErrParam;
  aLink* link = entry->link;
  aLink_Stop(link);
  // A thread the stop could not end still reads or writes the stream: nothing
  // it uses may go.
  if (link->inThread || link->outThread) return aErrBusy;
  aPacketFifo_Destroy(&link->outFifo);
  aPacketFifo_Destroy(&link->inFifo);
  aStream_Destroy(&link->stream);

  aStream* stream = nullptr;
  for (int attempt = 0; attempt < 20 && !stream; ++attempt) {
    stream = makeStream(entry);
    if (!stream) aTime_MSSleep(100);
  }
  if (stream) aLink_Init(id, stream);
  return aLink_Start(id);
}

aLIB_END
