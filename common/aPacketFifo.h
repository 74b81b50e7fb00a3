/* Thread-safe queues of packet copies named by 64-bit handles, with blocking
 * and filtered takes so that many threads can wait for different replies on
 * one queue. */
#ifndef aPACKETFIFO_H
#define aPACKETFIFO_H

#include "aPacket.h"

/* An add that makes a FIFO hold more packets than this empties it. */
#define aPACKETFIFO_LIMIT 1000

aLIB_BEGIN

/* New empty FIFO; 0 when it cannot be made. */
aLIBEXPORT uint64_t aPacketFifo_Create(void);
/* Discards the packets, wakes every waiter, zeroes *handle. aErrNotFound (handle
 * unchanged) when it names no FIFO. */
aLIBEXPORT aErr aPacketFifo_Destroy(uint64_t* handle);
/* Adds a copy of packet; the caller keeps its own. */
aLIBEXPORT aErr aPacketFifo_Put(uint64_t handle, const aPacket* packet);
/* Every packet handed out is a new copy for the caller to destroy. */
aLIBEXPORT aPacket* aPacketFifo_Get(uint64_t handle);
aLIBEXPORT aPacket* aPacketFifo_GetFirst(uint64_t handle, aPacketFilter filter, void* ref);
aLIBEXPORT uint32_t aPacketFifo_GetLength(uint64_t handle);
aLIBEXPORT aPacket* aPacketFifo_Await(uint64_t handle, uint32_t milliseconds);
/* Each waiter tests every packet once, so waiters with different filters each
 * take their own. Filters run under the FIFO's lock: they must not call into
 * the same FIFO. */
aLIBEXPORT aPacket* aPacketFifo_AwaitFirst(uint64_t handle, aPacketFilter filter, void* ref, uint32_t milliseconds);
/* Removes and destroys every accepted packet; answers how many. */
aLIBEXPORT uint32_t aPacketFifo_DrainPackets(uint64_t handle, aPacketFilter filter, void* ref);

aLIB_END

#endif
