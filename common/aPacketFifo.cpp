#include "aPacketFifo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <unordered_map>

namespace {

using Clock = std::chrono::steady_clock;

struct Entry {
  aPacket packet;
  uint32_t seq;
};

struct packetFifo {
  std::mutex lock;
  std::condition_variable wakeup;
  std::deque<Entry> entries;
  bool alive = true;
  uint32_t frontSeq = 0;
  uint32_t nextSeq = 0;
};

using FifoPtr = std::shared_ptr<packetFifo>;

struct FifoTable {
  // Lookups far outnumber creations: they share the lock.
  std::shared_mutex lock;
  std::unordered_map<uint64_t, FifoPtr> fifos;
  std::atomic<uint64_t> nextHandle{1};
};

// Never freed: link threads may still reach the table while the process exits.
FifoTable& sTable() {
  static FifoTable* table = new FifoTable;
  return *table;
}

FifoPtr sLookup(uint64_t handle) {
  if (handle == 0)
    return nullptr;
  FifoTable& table = sTable();
  std::shared_lock<std::shared_mutex> guard(table.lock);
  auto it = table.fifos.find(handle);
  return it == table.fifos.end() ? nullptr : it->second;
}

void sUpdateFront(packetFifo& fifo) {
  fifo.frontSeq = fifo.entries.empty() ? fifo.nextSeq : fifo.entries.front().seq;
}

// Copies the entry for the caller and erases it. Null (entry kept) when the
// copy cannot be made.
aPacket* sRemoveAt(packetFifo& fifo, std::deque<Entry>::iterator at) {
  aPacket* copy = aPacket_Copy(&at->packet);
  if (!copy)
    return nullptr;
  fifo.entries.erase(at);
  sUpdateFront(fifo);
  return copy;
}

bool sLater(uint32_t seq, uint32_t than) { return static_cast<int32_t>(seq - than) > 0; }

Clock::time_point sDeadline(uint32_t milliseconds) { return Clock::now() + std::chrono::milliseconds(milliseconds); }

}  // namespace

aLIB_BEGIN

uint64_t aPacketFifo_Create(void) {
  try {
    FifoPtr fifo = std::make_shared<packetFifo>();
    FifoTable& table = sTable();
    uint64_t handle = table.nextHandle.fetch_add(1);
    if (handle == 0)
      handle = table.nextHandle.fetch_add(1);
    std::lock_guard<std::shared_mutex> guard(table.lock);
    table.fifos.emplace(handle, std::move(fifo));
    return handle;
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Destroy(uint64_t* handle) {
  if (!handle)
    return aErrParam;
  try {
    FifoPtr fifo;
    {
      FifoTable& table = sTable();
      std::lock_guard<std::shared_mutex> guard(table.lock);
      auto it = table.fifos.find(*handle);
      if (*handle == 0 || it == table.fifos.end())
        return aErrNotFound;
      fifo = std::move(it->second);
      table.fifos.erase(it);
    }
    {
      std::lock_guard<std::mutex> guard(fifo->lock);
      fifo->entries.clear();
      fifo->frontSeq = fifo->nextSeq;
      fifo->alive = false;
    }
    fifo->wakeup.notify_all();
    *handle = 0;
    return aErrNone;
  } catch (...) {
    return aErrUnknown;
  }
}

aErr aPacketFifo_Put(uint64_t handle, const aPacket* packet) {
  if (!aVALIDPACKET(packet) || packet->dataSize > aPACKET_MAXDATA)
    return aErrParam;
  FifoPtr fifo = sLookup(handle);
  if (!fifo)
    return aErrParam;
  {
    std::lock_guard<std::mutex> guard(fifo->lock);
    if (!fifo->alive)
      return aErrParam;
    try {
      fifo->entries.push_back(Entry{*packet, fifo->nextSeq});
    } catch (const std::bad_alloc&) {
      return aErrResource;
    }
    fifo->nextSeq++;
    // Nobody is reading this queue: drop everything rather than grow without bound.
    if (fifo->entries.size() > aPACKETFIFO_LIMIT)
      fifo->entries.clear();
    sUpdateFront(*fifo);
  }
  fifo->wakeup.notify_all();
  return aErrNone;
}

aPacket* aPacketFifo_Get(uint64_t handle) {
  FifoPtr fifo = sLookup(handle);
  if (!fifo)
    return nullptr;
  std::lock_guard<std::mutex> guard(fifo->lock);
  if (fifo->entries.empty())
    return nullptr;
  return sRemoveAt(*fifo, fifo->entries.begin());
}

aPacket* aPacketFifo_GetFirst(uint64_t handle, aPacketFilter filter, void* ref) {
  FifoPtr fifo = filter ? sLookup(handle) : nullptr;
  if (!fifo)
    return nullptr;
  std::lock_guard<std::mutex> guard(fifo->lock);
  for (auto it = fifo->entries.begin(); it != fifo->entries.end(); ++it)
    if (filter(&it->packet, ref))
      return sRemoveAt(*fifo, it);
  return nullptr;
}

uint32_t aPacketFifo_GetLength(uint64_t handle) {
  FifoPtr fifo = sLookup(handle);
  if (!fifo)
    return 0;
  std::lock_guard<std::mutex> guard(fifo->lock);
  return static_cast<uint32_t>(fifo->entries.size());
}

aPacket* aPacketFifo_Await(uint64_t handle, uint32_t milliseconds) {
  const Clock::time_point deadline = sDeadline(milliseconds);
  FifoPtr fifo = sLookup(handle);
  if (!fifo)
    return nullptr;
  std::unique_lock<std::mutex> guard(fifo->lock);
  for (;;) {
    if (!fifo->entries.empty())
      return sRemoveAt(*fifo, fifo->entries.begin());
    if (!fifo->alive)
      return nullptr;
    if (fifo->wakeup.wait_until(guard, deadline) == std::cv_status::timeout) {
      if (!fifo->entries.empty())
        return sRemoveAt(*fifo, fifo->entries.begin());
      return nullptr;
    }
  }
}

aPacket* aPacketFifo_AwaitFirst(uint64_t handle, aPacketFilter filter, void* ref, uint32_t milliseconds) {
  const Clock::time_point deadline = sDeadline(milliseconds);
  FifoPtr fifo = filter ? sLookup(handle) : nullptr;
  if (!fifo)
    return nullptr;
  std::unique_lock<std::mutex> guard(fifo->lock);
  uint32_t lastSeen = fifo->frontSeq - 1;
  for (;;) {
    // Only packets that arrived since the last scan are tested.
    for (auto it = fifo->entries.begin(); it != fifo->entries.end(); ++it) {
      if (!sLater(it->seq, lastSeen))
        continue;
      lastSeen = it->seq;
      if (filter(&it->packet, ref))
        return sRemoveAt(*fifo, it);
    }
    if (!fifo->alive || Clock::now() >= deadline)
      return nullptr;
    fifo->wakeup.wait_until(guard, deadline);
  }
}

uint32_t aPacketFifo_DrainPackets(uint64_t handle, aPacketFilter filter, void* ref) {
  FifoPtr fifo = filter ? sLookup(handle) : nullptr;
  if (!fifo)
    return 0;
  std::lock_guard<std::mutex> guard(fifo->lock);
  uint32_t removed = 0;
  for (auto it = fifo->entries.begin(); it != fifo->entries.end();) {
    if (filter(&it->packet, ref)) {
      it = fifo->entries.erase(it);
      removed++;
    } else {
      ++it;
    }
  }
  sUpdateFront(*fifo);
  return removed;
}

aLIB_END
