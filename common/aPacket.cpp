#include "aPacket.h"
#include "aPacketFifo.h"

#include <cstdlib>
#include <cstring>

namespace {

aPacket* sNew() {
  aPacket* packet = static_cast<aPacket*>(std::calloc(1, sizeof(aPacket)));
  if (packet)
    packet->check = aPACKET_CHECK;
  return packet;
}

aErr sDataByte(const aPacket* packet, uint8_t* result, uint8_t index, uint8_t mask) {
  if (!result)
    return aErrParam;
  if (!aVALIDPACKET(packet) || packet->dataSize <= index || index >= aPACKET_MAXDATA)
    return aErrPacket;
  *result = packet->data[index] & mask;
  return aErrNone;
}

}  // namespace

aLIB_BEGIN

bool aVALIDPACKET(const aPacket* packet) { return packet && packet->check == aPACKET_CHECK; }

aPacket* aPacket_Create(void) { return sNew(); }

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
  if (!data || length > aPACKET_MAXDATA)
    return nullptr;
  aPacket* packet = sNew();
  if (!packet)
    return nullptr;
  packet->address = address;
  packet->dataSize = length;
  packet->collected = static_cast<uint8_t>(length + 2);
  std::memcpy(packet->data, data, length);
  return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
  if (!aVALIDPACKET(packet) || packet->dataSize > aPACKET_MAXDATA)
    return nullptr;
  return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

aErr aPacket_Destroy(aPacket** packet) {
  if (!packet || !*packet)
    return aErrParam;
  (*packet)->check = 0;
  std::free(*packet);
  *packet = nullptr;
  return aErrNone;
}

aErr aPacket_Reset(aPacket* packet) {
  if (!aVALIDPACKET(packet))
    return aErrParam;
  packet->collected = 0;
  packet->address = 0;
  packet->dataSize = 0;
  std::memset(packet->data, 0, sizeof packet->data);
  return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!aVALIDPACKET(packet))
    return aErrParam;
  // The count stops one past the wire limit: letting it wrap would bring the
  // data index below zero for a receiver that keeps adding after an overrun.
  if (packet->collected > aPACKET_MAXWIRE)
    return aErrOverrun;
  packet->collected++;
  if (packet->collected > aPACKET_MAXWIRE)
    return aErrOverrun;
  if (packet->address == 0) {
    if (byte == 0)
      return aErrPacket;
    packet->address = byte;
    return aErrNone;
  }
  if (packet->dataSize == 0) {
    packet->dataSize = byte;
    return byte > aPACKET_MAXDATA ? aErrPacket : aErrNone;
  }
  if (packet->collected > packet->dataSize + 2)
    return aErrPacket;
  packet->data[packet->collected - 3] = byte;
  return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
  return aVALIDPACKET(packet) && packet->collected == packet->dataSize + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, uint32_t size, uint32_t* length) {
  if (!aVALIDPACKET(packet) || !buffer)
    return aErrParam;
  // A size byte above 28 is kept for the caller to see but names bytes the
  // record does not have.
  if (packet->dataSize > aPACKET_MAXDATA)
    return aErrPacket;
  const uint32_t wire = packet->dataSize + 2u;
  if (size < wire)
    return aErrOverrun;
  buffer[0] = packet->address;
  buffer[1] = packet->dataSize;
  std::memcpy(buffer + 2, packet->data, packet->dataSize);
  if (length)
    *length = wire;
  return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd) { return sDataByte(packet, cmd, 0, 0xFF); }
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) { return sDataByte(packet, option, 1, 0x3F); }
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) { return sDataByte(packet, index, 2, 0x1F); }

aErr aPacket_SyncStart(int32_t* syncState, aPacket* partial, uint64_t outFifo) {
  if (!syncState)
    return aErrParam;
  *syncState = kSyncStateStart;
  aPacket_Reset(partial);
  aPacket sync{};
  sync.check = aPACKET_CHECK;
  sync.address = cmdSYNC;
  sync.collected = 2;
  aErr err = aErrNone;
  for (int i = 0; i < 6; i++)
    err = aPacketFifo_Put(outFifo, &sync);
  if (err == aErrNone)
    *syncState = kSyncStateByte1;
  return err;
}

aSyncOutcome aPacket_SyncByte(int32_t* syncState, uint8_t* syncByte, uint8_t byte, aPacket* partial,
                              uint64_t outFifo) {
  if (!syncState || !syncByte)
    return aSyncPending;
  switch (*syncState) {
    case kSyncStateByte1:
      if (byte == 0 || (byte & 1)) {
        aPacket_SyncStart(syncState, partial, outFifo);
      } else {
        *syncByte = byte;
        *syncState = kSyncStateByte2;
      }
      return aSyncPending;
    case kSyncStateByte2:
      *syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
      return aSyncPending;
    case kSyncStateByte3:
      *syncState = byte == *syncByte ? kSyncStateByte4 : kSyncStateStart;
      return aSyncPending;
    case kSyncStateByte4:
      if (byte == 0) {
        *syncState = kSyncStateIdle;
        return aSyncDone;
      }
      *syncState = kSyncStateStart;
      return aSyncPending;
    default:  // idle, start, or anything unknown
      aPacket_SyncStart(syncState, partial, outFifo);
      return aSyncPending;
  }
}

bool aPacket_HandleHeartbeat(const aPacket* packet, uint64_t outFifo) {
  if (!aVALIDPACKET(packet) || packet->dataSize != 2 || packet->data[0] != cmdHEARTBEAT)
    return false;
  aPacket reply{};
  reply.check = aPACKET_CHECK;
  reply.address = packet->address;
  reply.dataSize = 2;
  reply.collected = 4;
  reply.data[0] = cmdHEARTBEAT;
  reply.data[1] = static_cast<uint8_t>(packet->data[1] + 2);
  aPacketFifo_Put(outFifo, &reply);
  return true;
}

aLIB_END
