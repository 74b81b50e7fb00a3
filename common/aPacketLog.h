/* A byte ring of packet-log entries (type, length, bytes). It has no lock of
 * its own: the owning link guards every access with its logSema. */
#ifndef aPACKETLOG_H
#define aPACKETLOG_H

#include "aError.h"

/* Entry types. */
#define aPACKETLOG_OUT 1
#define aPACKETLOG_IN 2
#define aPACKETLOG_TEXT 3

typedef struct aPacketLog {
  uint8_t enabled;
  uint8_t* buffer;
  uint32_t size;  /* ring size in bytes */
  uint32_t head;  /* oldest entry */
  uint32_t tail;  /* where the next entry goes; head == tail means empty */
} aPacketLog;

aLIB_BEGIN

/* Null for a size of 0 or no memory. */
aLIBEXPORT aPacketLog* aPacketLog_Create(uint32_t size);
aLIBEXPORT aErr aPacketLog_Destroy(aPacketLog** log);
/* Drops the oldest entries to make room; aErrOverrun when length + 2 can never
 * fit, aErrParam for a length above 255 or missing bytes. */
aLIBEXPORT aErr aPacketLog_Put(aPacketLog* log, uint8_t type, uint32_t length, const uint8_t* bytes);
/* On entry *length is the buffer size, on return the entry's length.
 * aErrNotFound when empty; aErrOverrun when the buffer is too small (entry kept). */
aLIBEXPORT aErr aPacketLog_Get(aPacketLog* log, uint8_t* type, uint32_t* length, uint8_t* buffer);

aLIB_END

#endif
