#include "aPacketLog.h"

#include <cstdlib>

namespace {

uint32_t sUsed(const aPacketLog* log) { return (log->size + log->tail - log->head) % log->size; }

uint8_t sByteAt(const aPacketLog* log, uint32_t offset) { return log->buffer[(log->head + offset) % log->size]; }

}  // namespace

aLIB_BEGIN

aPacketLog* aPacketLog_Create(uint32_t size) {
  if (size == 0)
    return nullptr;
  aPacketLog* log = static_cast<aPacketLog*>(std::calloc(1, sizeof(aPacketLog)));
  if (!log)
    return nullptr;
  log->buffer = static_cast<uint8_t*>(std::malloc(size));
  if (!log->buffer) {
    std::free(log);
    return nullptr;
  }
  log->size = size;
  return log;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
  if (log && *log) {
    std::free((*log)->buffer);
    std::free(*log);
    *log = nullptr;
  }
  return aErrNone;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t type, uint32_t length, const uint8_t* bytes) {
  // The length travels in one byte of the entry.
  if (!log || !log->buffer || length > 255 || (length > 0 && !bytes))
    return aErrParam;
  const uint32_t needed = length + 2;
  if (needed >= log->size)
    return aErrOverrun;
  // Keep at least one byte free so that head == tail only when empty; the
  // newest entries win.
  while (log->size - sUsed(log) <= needed) {
    const uint32_t oldest = 2u + sByteAt(log, 1);
    log->head = (log->head + oldest) % log->size;
  }
  uint32_t at = log->tail;
  log->buffer[at] = type;
  at = (at + 1) % log->size;
  log->buffer[at] = static_cast<uint8_t>(length);
  at = (at + 1) % log->size;
  for (uint32_t i = 0; i < length; i++) {
    log->buffer[at] = bytes[i];
    at = (at + 1) % log->size;
  }
  log->tail = at;
  return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint8_t* type, uint32_t* length, uint8_t* buffer) {
  if (!log || !log->buffer || !type || !length)
    return aErrParam;
  if (log->head == log->tail)
    return aErrNotFound;
  const uint32_t entryLength = sByteAt(log, 1);
  const uint32_t room = *length;
  *length = entryLength;
  if (entryLength > room)
    return aErrOverrun;
  if (entryLength > 0 && !buffer)
    return aErrParam;
  *type = sByteAt(log, 0);
  for (uint32_t i = 0; i < entryLength; i++)
    buffer[i] = sByteAt(log, 2 + i);
  log->head = (log->head + 2 + entryLength) % log->size;
  return aErrNone;
}

aLIB_END
