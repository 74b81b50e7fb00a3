/* The link table and the link engine: per link a receive thread that turns
 * stream bytes into packets (resynchronising and answering heartbeats on the
 * way) and a send thread that writes queued packets. */
#include "aLink.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "aTime.h"

namespace {

template <typename T>
T loadShared(const T& field) {
  return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
template <typename T>
void storeShared(T& field, T value) {
  __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}

linkStatus statusOf(aLink* link) { return static_cast<linkStatus>(loadShared(link->status)); }
void setStatus(aLink* link, linkStatus status) { storeShared(link->status, static_cast<int32_t>(status)); }

/* ---- the table */

struct Table {
  aMutex* mutex = aMutex_Create("aLink_Managed");
  linkEntry* head = nullptr;
  int32_t nextID = 1;
};

Table& table() {
  static Table t;
  return t;
}

struct TableLock {
  TableLock() : m(table().mutex) { aMutex_Lock(m); }
  ~TableLock() { aMutex_Unlock(m); }
  aMutex* m;
};

/* ---- threads: a thread handle that can be joined with a time bound */

struct LinkThread {
  std::thread thread;
  std::mutex lock;
  std::condition_variable ended;
  bool done = false;
};

struct ThreadStart {
  LinkThread* handle;
  aLinkThreadProc proc;
  aLink* link;
};

LinkThread* startThread(aLinkThreadProc proc, aLink* link) {
  LinkThread* t = new (std::nothrow) LinkThread;
  if (!t) return nullptr;
  try {
    t->thread = std::thread([t, proc, link] {
      proc(link);
      std::lock_guard<std::mutex> g(t->lock);
      t->done = true;
      t->ended.notify_all();
    });
  } catch (...) {
    delete t;
    return nullptr;
  }
  return t;
}

/* Waits up to the bound for the thread to end. An ended thread is joined, freed
 * and its handle cleared; one that is still running keeps its handle (and false
 * is answered), so that a later wait can still collect it. */
bool joinThread(void** handle, uint32_t milliseconds) {
  LinkThread* t = static_cast<LinkThread*>(*handle);
  if (!t) return true;
  bool ended;
  {
    std::unique_lock<std::mutex> g(t->lock);
    ended = t->ended.wait_for(g, std::chrono::milliseconds(milliseconds), [t] { return t->done; });
  }
  if (!ended) return false;
  t->thread.join();
  delete t;
  *handle = nullptr;
  return true;
}

/* Collects both threads, each within the bound; false when one still runs. */
bool joinThreads(aLink* link, uint32_t milliseconds) {
  if (joinThread(&link->inThread, milliseconds)) storeShared(link->inRunning, uint8_t(0));
  if (joinThread(&link->outThread, milliseconds)) storeShared(link->outRunning, uint8_t(0));
  return !link->inThread && !link->outThread;
}

/* ---- the packet log */

void logPacket(aLink* link, uint8_t type, const aPacket* packet) {
  aMutex* sema = loadShared(link->logSema);
  if (!sema) return;
  aMutex_Lock(sema);
  if (link->packetLog && link->packetLog->enabled) {
    uint8_t bytes[aPACKET_MAXWIRE];
    uint32_t length = 0;
    if (aPacket_GetBytes(packet, bytes, sizeof bytes, &length) == aErrNone)
      aPacketLog_Put(link->packetLog, type, length, bytes);
  }
  aMutex_Unlock(sema);
}

/* ---- the receive thread */

void syncStart(aLink* link) {
  setStatus(link, kLinkSyncing);
  aPacket_SyncStart(&link->syncState, link->partial, link->outFifo);
}

void handlePacket(aLink* link) {
  aPacket* p = link->partial;
  logPacket(link, aPACKETLOG_IN, p);
  uint8_t taken = 0;
  aMutex_Lock(link->userFilterSema);
  if (link->userFilter) taken = link->userFilter(p, link->userFilterRef);
  aMutex_Unlock(link->userFilterSema);
  if (!taken && !aPacket_HandleHeartbeat(p, link->outFifo)) {
    if (aPacketFifo_Put(link->inFifo, p) != aErrNone) setStatus(link, kLinkQueueError);
  }
  aPacket_Reset(p);
}

/* While syncing, fresh requests go out after this much silence. A transport that
 * answers "no data" without waiting (a serial port between the bytes of a frame)
 * must not restart the sync at every byte. */
constexpr uint32_t kSyncRepeatMs = 100;
/* A transport whose reads never wait is asked again only after a short sleep once
 * it has been idle for a while, so that an idle link does not spin a core. */
constexpr uint32_t kQuickIdleReads = 64;
constexpr uint32_t kLongIdleReads = 1000;

void* sInPipeProcess(void* arg) {
  aLink* link = static_cast<aLink*>(arg);
  link->syncState = kSyncStateIdle;
  link->syncByte = 1;
  storeShared(link->inRunning, uint8_t(1));
  setStatus(link, kLinkRunning);
  uint32_t lastHeard = aTime_GetMSTicks();
  uint32_t quickIdle = 0;

  while (loadShared(link->running)) {
    uint8_t byte = 0;
    uint32_t before = aTime_GetMSTicks();
    aErr err = aStream_Read(link->stream, &byte, 1);
    uint32_t now = aTime_GetMSTicks();
    linkStatus status = statusOf(link);
    if (err == aErrNotReady) {
      if (status == kLinkIOError || (status == kLinkSyncing && now - lastHeard >= kSyncRepeatMs)) {
        syncStart(link);
        lastHeard = now;
      }
      quickIdle = now - before < 1 ? quickIdle + 1 : 0;
      if (quickIdle > kQuickIdleReads) aTime_MSSleep(quickIdle > kLongIdleReads ? 5 : 1);
      continue;
    }
    quickIdle = 0;
    if (err != aErrNone) {
      setStatus(link, kLinkIOError);
      aTime_MSSleep(100);
      continue;
    }
    lastHeard = now;
    if (status == kLinkSyncing) {
      if (aPacket_SyncByte(&link->syncState, &link->syncByte, byte, link->partial, link->outFifo) == aSyncDone) {
        // Only a status still saying "syncing" becomes "running": a stop may have
        // begun meanwhile.
        int32_t expected = kLinkSyncing;
        __atomic_compare_exchange_n(&link->status, &expected, int32_t(kLinkRunning), false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE);
      }
      continue;
    }
    if (aPacket_AddByte(link->partial, byte) != aErrNone || (link->partial->address & 1)) {
      syncStart(link);
      continue;
    }
    if (aPacket_IsComplete(link->partial)) handlePacket(link);
  }
  return nullptr;
}

/* ---- the send thread */

constexpr uint32_t kPoolSize = 4096;
constexpr uint32_t kPoolFull = kPoolSize - aPACKET_MAXWIRE; /* past this another packet might not fit */
constexpr uint32_t kSendWaitMs = 1000;
/* The wait for packets is cut into slices so that a stop is seen within one. */
constexpr uint32_t kSendSliceMs = 100;

void writePacket(aLink* link, const aPacket* p) {
  uint8_t bytes[aPACKET_MAXWIRE];
  uint32_t n = 0;
  if (aPacket_GetBytes(p, bytes, sizeof bytes, &n) == aErrNone) aStream_Write(link->stream, bytes, n);
}

void* sOutPipeProcess(void* arg) {
  aLink* link = static_cast<aLink*>(arg);
  storeShared(link->outRunning, uint8_t(1));
  uint8_t pool[kPoolSize];

  while (loadShared(link->running)) {
    aPacket* first = nullptr;
    for (uint32_t waited = 0; !first && waited < kSendWaitMs && loadShared(link->running);
         waited += kSendSliceMs) {
      first = aPacketFifo_Await(link->outFifo, kSendSliceMs);
      // No FIFO at all (a reset that found no stream): wait instead of spinning.
      if (!first && link->outFifo == 0) aTime_MSSleep(kSendSliceMs);
    }
    if (!first) continue;

    if (loadShared(link->pooled)) {
      uint32_t used = 0;
      aPacket_GetBytes(first, pool, kPoolSize, &used);
      while (used <= kPoolFull) {
        aPacket* next = aPacketFifo_Get(link->outFifo);
        if (!next) break;
        uint32_t n = 0;
        if (aPacket_GetBytes(next, pool + used, kPoolSize - used, &n) == aErrNone) used += n;
        aPacket_Destroy(&next);
      }
      aStream_Write(link->stream, pool, used);
    } else {
      writePacket(link, first);
    }
    logPacket(link, aPACKETLOG_OUT, first);
    aPacket_Destroy(&first);
  }

  // On the way out everything still queued goes to the device, the stop's route
  // packet included.
  for (aPacket* p; (p = aPacketFifo_Get(link->outFifo)) != nullptr;) {
    writePacket(link, p);
    aPacket_Destroy(&p);
  }
  return nullptr;
}

aErr queueRoute(aLink* link, uint8_t value) {
  aPacket* p = aPacket_CreateWithData(cmdFORCEROUTE, 1, &value);
  if (!p) return aErrMemory;
  aErr err = aPacketFifo_Put(link->outFifo, p);
  aPacket_Destroy(&p);
  return err;
}

aLink* linkOf(int32_t id) {
  aLink* link = sLookupLinkByID(id);
  return (link && link->check == aLINK_CHECK) ? link : nullptr;
}

}  // namespace

aLIB_BEGIN

/* ---- table operations */

int32_t sCreate(int32_t ident0, int32_t ident1, int32_t type) { return sCreate2(ident0, ident1, 0, type); }

int32_t sCreate2(int32_t ident0, int32_t ident1, int32_t ident2, int32_t type) {
  linkEntry* entry = static_cast<linkEntry*>(calloc(1, sizeof(linkEntry)));
  aLink* link = static_cast<aLink*>(calloc(1, sizeof(aLink)));
  if (!entry || !link) {
    free(entry);
    free(link);
    return 0;
  }
  entry->ident0 = ident0;
  entry->ident1 = ident1;
  entry->ident2 = ident2;
  entry->type = type;
  entry->link = link;
  TableLock lock;
  Table& t = table();
  entry->id = link->id = t.nextID++;
  entry->next = t.head;
  t.head = entry;
  return entry->id;
}

linkEntry* sLookupEntryByID(int32_t id) {
  TableLock lock;
  for (linkEntry* e = table().head; e; e = e->next)
    if (e->id == id) return e;
  return nullptr;
}

aLink* sLookupLinkByID(int32_t id) {
  linkEntry* e = sLookupEntryByID(id);
  return e ? e->link : nullptr;
}

linkEntry* sLookupEntryByIdent(int32_t ident0, int32_t type) {
  TableLock lock;
  for (linkEntry* e = table().head; e; e = e->next)
    if (e->ident0 == ident0 && e->type == type) return e;
  return nullptr;
}

linkEntry* sLookupEntryByIdents(int32_t ident0, int32_t ident1, int32_t ident2) {
  TableLock lock;
  for (linkEntry* e = table().head; e; e = e->next)
    if (e->ident0 == ident0 && e->ident1 == ident1 && e->ident2 == ident2) return e;
  return nullptr;
}

linkEntry* sExtractEntry(int32_t id) {
  TableLock lock;
  for (linkEntry** at = &table().head; *at; at = &(*at)->next) {
    if ((*at)->id == id) {
      linkEntry* e = *at;
      *at = e->next;
      e->next = nullptr;
      return e;
    }
  }
  return nullptr;
}

int16_t sChangeUseCount(linkEntry* entry, int16_t delta) {
  if (!entry) return 0;
  TableLock lock;
  entry->use_count = static_cast<int16_t>(entry->use_count + delta);
  return entry->use_count;
}

int32_t sAddHolder(int32_t ident0, int32_t type, bool refuseServed) {
  TableLock lock;
  linkEntry* e = sLookupEntryByIdent(ident0, type);
  if (!e) return 0;
  if (refuseServed && e->server) return -1;
  sChangeUseCount(e, 1);
  return e->id;
}

linkEntry* sRemoveHolder(int32_t id, bool* found) {
  TableLock lock;
  linkEntry* e = sLookupEntryByID(id);
  if (found) *found = e != nullptr;
  if (!e || sChangeUseCount(e, -1) > 0) return nullptr;
  return sExtractEntry(id);
}

void sFreeEntry(linkEntry* entry) {
  if (!entry) return;
  free(entry->link);
  free(entry);
}

/* ---- engine */

int32_t aLink_Init(int32_t id, aStream* stream) {
  aLink* link = sLookupLinkByID(id);
  if (!link) return 0;
  /* A record initialised before (a reset) gives back what it held. */
  aPacket_Destroy(&link->partial);
  aPacketLog_Destroy(&link->packetLog);
  if (link->logSema) aMutex_Destroy(&link->logSema);
  if (link->userFilterSema) aMutex_Destroy(&link->userFilterSema);

  link->check = aLINK_CHECK;
  link->id = id;
  storeShared(link->running, uint8_t(0));
  link->stream = stream;
  setStatus(link, stream ? kLinkStopped : kLinkNoStream);
  link->inThread = link->outThread = nullptr;
  link->inFifo = aPacketFifo_Create();
  link->outFifo = aPacketFifo_Create();
  link->inProc = sInPipeProcess;
  link->outProc = sOutPipeProcess;
  storeShared(link->inRunning, uint8_t(0));
  storeShared(link->outRunning, uint8_t(0));
  link->partial = aPacket_Create();
  link->syncState = kSyncStateIdle;
  link->syncByte = 0;
  link->logSize = 0;
  storeShared(link->pooled, uint8_t(0));
  link->userFilter = nullptr;
  link->userFilterRef = nullptr;
  char name[64];
  snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
  link->userFilterSema = aMutex_Create(name);
  return id;
}

aErr aLink_Start(int32_t id) {
  aLink* link = sLookupLinkByID(id);
  if (!link || link->check != aLINK_CHECK) return aErrParam;
  if (loadShared(link->running)) return aErrNone;
  // A thread an earlier stop could not end still works on this record: new
  // threads beside it (and a running flag that would let it go on) must wait.
  if (link->inThread || link->outThread) return aErrBusy;

  storeShared(link->running, uint8_t(1));
  setStatus(link, kLinkStarting);
  storeShared(link->inRunning, uint8_t(0));
  storeShared(link->outRunning, uint8_t(0));
  link->inThread = startThread(link->inProc, link);
  if (link->inThread) link->outThread = startThread(link->outProc, link);
  if (!link->inThread || !link->outThread) {
    // Never leave one thread running that no stop would end.
    storeShared(link->running, uint8_t(0));
    joinThreads(link, 5000);
    setStatus(link, kLinkStopped);
    return aErrResource;
  }

  bool up = false;
  for (int i = 0; i < 200 && !up; ++i) {
    up = loadShared(link->inRunning) && loadShared(link->outRunning) && statusOf(link) == kLinkRunning;
    if (!up) aTime_MSSleep(10);
  }
  if (!up) return aErrIndexRange;
  return aLink_ForceRoute(id, 1);
}

aErr aLink_Stop(aLink* link) {
  if (!link) return aErrParam;
  linkStatus status = statusOf(link);
  if (status == kLinkStopping || status == kLinkStopped) return aErrNone;
  setStatus(link, kLinkStopping);

  aErr result = aErrNone;
  // By the record: a link being destroyed has already left the table.
  if (link->inThread && link->outThread) result = queueRoute(link, 0);
  if (link->inThread || link->outThread) {
    storeShared(link->running, uint8_t(0));
    // A thread that does not end keeps its handle and started flag: the record
    // stays its own.
    joinThreads(link, 5000);
    aPacket_Reset(link->partial);
    setStatus(link, kLinkStopped);
  }
  return result;
}

bool aLink_Release(aLink* link, aErr* outFifoResult) {
  aErr r = aPacketFifo_Destroy(&link->outFifo);
  if (outFifoResult) *outFifoResult = r;
  aPacketFifo_Destroy(&link->inFifo);
  // A thread the stop could not end gets one more bounded wait; if it still
  // runs, it holds the record and the stream: they stay.
  if (!joinThreads(link, 5000)) return false;
  aPacket_Destroy(&link->partial);
  aPacketLog_Destroy(&link->packetLog);
  if (link->logSema) aMutex_Destroy(&link->logSema);
  if (link->userFilterSema) aMutex_Destroy(&link->userFilterSema);
  aStream_Destroy(&link->stream);
  link->check = 0;
  return true;
}

aErr aLink_ForceRoute(int32_t id, uint8_t value) {
  linkEntry* e = sLookupEntryByID(id);
  if (!e) return aErrNotFound;
  if (!e->link) return aErrParam;
  return queueRoute(e->link, value);
}

void aLink_RequestSync(aLink* link) {
  if (link) setStatus(link, kLinkSyncing);
}

/* ---- link specifiers */

linkSpec* aLinkSpec_Create(int32_t type) {
  linkSpec* spec = static_cast<linkSpec*>(calloc(1, sizeof(linkSpec)));
  if (spec) spec->type = type;
  return spec;
}

linkSpec* aLinkSpec_Copy(linkSpec spec) {
  linkSpec* copy = static_cast<linkSpec*>(malloc(sizeof(linkSpec)));
  if (copy) memcpy(copy, &spec, sizeof spec);
  return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec) {
  if (!spec || !*spec) return aErrParam;
  free(*spec);
  *spec = nullptr;
  return aErrNone;
}

/* ---- exported packet operations */

linkStatus aLink_GetStatus(int32_t id) {
  aLink* link = linkOf(id);
  return link ? statusOf(link) : kLinkNoStream;
}

aErr aLink_PutPacket(int32_t id, const aPacket* packet) {
  aLink* link = linkOf(id);
  return link ? aPacketFifo_Put(link->outFifo, packet) : aErrParam;
}

aPacket* aLink_GetPacket(int32_t id) {
  aLink* link = linkOf(id);
  return link ? aPacketFifo_Get(link->inFifo) : nullptr;
}

aPacket* aLink_GetFirst(int32_t id, aPacketFilter filter, void* ref) {
  aLink* link = linkOf(id);
  return link ? aPacketFifo_GetFirst(link->inFifo, filter, ref) : nullptr;
}

aPacket* aLink_AwaitPacket(int32_t id, uint32_t milliseconds) {
  aLink* link = linkOf(id);
  return link ? aPacketFifo_Await(link->inFifo, milliseconds) : nullptr;
}

aPacket* aLink_AwaitFirst(int32_t id, aPacketFilter filter, void* ref, uint32_t milliseconds) {
  aLink* link = linkOf(id);
  if (!link) return nullptr;
  // Elapsed time rather than a deadline, so waits of 2^31 ms and more do not wrap.
  const uint32_t start = aTime_GetMSTicks();
  aPacket* found = nullptr;
  while (!found && loadShared(link->running) && statusOf(link) == kLinkRunning) {
    const uint32_t elapsed = aTime_GetMSTicks() - start;
    if (elapsed >= milliseconds) break;
    found = aPacketFifo_AwaitFirst(link->inFifo, filter, ref, milliseconds - elapsed);
  }
  return found;
}

uint32_t aLink_DrainPackets(int32_t id, aPacketFilter filter, void* ref) {
  aLink* link = linkOf(id);
  return link ? aPacketFifo_DrainPackets(link->inFifo, filter, ref) : 0;
}

aErr aLink_InstallUserPacketFilter(int32_t id, aPacketFilter filter, void* ref) {
  aLink* link = linkOf(id);
  if (!link) return aErrParam;
  aMutex_Lock(link->userFilterSema);
  link->userFilter = filter;
  link->userFilterRef = ref;
  aMutex_Unlock(link->userFilterSema);
  return aErrNone;
}

aErr aLink_EnablePooledPackets(int32_t id, uint8_t pooled) {
  aLink* link = linkOf(id);
  if (!link) return aErrParam;
  storeShared(link->pooled, pooled);
  return aErrNone;
}

aErr aLink_PacketDebug_SetLogSize(int32_t id, int32_t bytes) {
  aLink* link = linkOf(id);
  if (!link) return aErrParam;
  if (bytes > aLINK_MAX_LOG_SIZE) return aErrParam;
  aMutex* sema = loadShared(link->logSema);
  if (sema) aMutex_Lock(sema);
  aErr err = aErrNone;
  if (link->packetLog) err = aErrBusy;
  else link->logSize = bytes < 0 ? 0 : bytes;
  if (sema) aMutex_Unlock(sema);
  return err;
}

aErr aLink_PacketDebug_Enable(int32_t id) {
  aLink* link = linkOf(id);
  if (!link) return aErrParam;
  aMutex* sema = loadShared(link->logSema);
  if (!sema) {
    char name[48];
    snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
    sema = aMutex_Create(name);
    if (!sema) return aErrResource;
    aMutex* none = nullptr;
    if (!__atomic_compare_exchange_n(&link->logSema, &none, sema, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
      aMutex_Destroy(&sema);  // another caller made it first
      sema = none;
    }
  }
  aMutex_Lock(sema);
  aErr err = aErrNone;
  if (!link->packetLog) {
    if (link->logSize == 0) link->logSize = aLINK_DEFAULT_LOG_SIZE;
    link->packetLog = aPacketLog_Create(static_cast<uint32_t>(link->logSize));
    if (!link->packetLog) err = aErrResource;
  }
  if (link->packetLog) link->packetLog->enabled = 1;
  aMutex_Unlock(sema);
  return err;
}

aErr aLink_PacketDebug_Disable(int32_t id) {
  aLink* link = linkOf(id);
  if (!link) return aErrParam;
  aMutex* sema = loadShared(link->logSema);
  if (!sema) return aErrNotReady;
  aMutex_Lock(sema);
  aErr err = aErrNotReady;
  if (link->packetLog) {
    // A disabled log records nothing more; what it holds can still be read.
    link->packetLog->enabled = 0;
    err = aErrNone;
  }
  aMutex_Unlock(sema);
  return err;
}

aErr aLink_PacketDebug_Write(int32_t id, uint8_t type, uint32_t length, const uint8_t* bytes) {
  aLink* link = linkOf(id);
  if (!link) return aErrParam;
  aMutex* sema = loadShared(link->logSema);
  if (!sema) return aErrNotReady;
  aMutex_Lock(sema);
  aErr err = link->packetLog ? aPacketLog_Put(link->packetLog, type, length, bytes) : aErrNotReady;
  aMutex_Unlock(sema);
  return err;
}

aErr aLink_PacketDebug_Read(int32_t id, uint8_t* type, uint32_t* length, uint8_t* buffer) {
  aLink* link = linkOf(id);
  if (!link) return aErrParam;
  aMutex* sema = loadShared(link->logSema);
  if (!sema) return aErrNotReady;
  aMutex_Lock(sema);
  aErr err = link->packetLog ? aPacketLog_Get(link->packetLog, type, length, buffer) : aErrNotReady;
  aMutex_Unlock(sema);
  return err;
}

aLIB_END
