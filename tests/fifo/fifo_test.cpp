#include "aPacketFifo.h"
#include "aPacketLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <random>
#include <thread>
#include <vector>

namespace {

// Longer than the test timeout: a wait that is never woken fails the test.
constexpr uint32_t kForever = 600000;

struct PacketDeleter {
  void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

PacketPtr make(uint8_t address, uint8_t value = 0) {
  const uint8_t data[2] = {value, static_cast<uint8_t>(value ^ 0xFF)};
  return PacketPtr(aPacket_CreateWithData(address, 2, data));
}

struct Fifo {
  Fifo() : handle(aPacketFifo_Create()) {}
  ~Fifo() {
    if (handle)
      aPacketFifo_Destroy(&handle);
  }
  uint64_t handle;
};

struct AddressFilter {
  explicit AddressFilter(uint8_t a) : address(a) {}
  uint8_t address;
  std::atomic<int> calls{0};
  std::vector<uint8_t> tested;  // addresses of the packets tested, in order
};

uint8_t byAddress(const aPacket* p, void* ref) {
  auto* f = static_cast<AddressFilter*>(ref);
  f->tested.push_back(p->address);
  f->calls++;
  return p->address == f->address;
}

uint8_t evenValue(const aPacket* p, void*) { return (p->data[0] & 1) == 0; }
uint8_t all(const aPacket*, void*) { return 1; }

void waitForCalls(const AddressFilter& f, int calls) {
  while (f.calls < calls)
    std::this_thread::yield();
}

TEST(Fifo, HandlesAreDistinctAndNeverZero) {
  Fifo a, b;
  EXPECT_NE(a.handle, 0u);
  EXPECT_NE(b.handle, 0u);
  EXPECT_NE(a.handle, b.handle);
}

TEST(Fifo, PutCopiesAndGetAnswersOldestFirst) {
  Fifo f;
  for (uint8_t i = 0; i < 5; i++) {
    PacketPtr p = make(6, i);
    EXPECT_EQ(aPacketFifo_Put(f.handle, p.get()), aErrNone);
  }  // the caller's packets are gone; the FIFO keeps copies
  EXPECT_EQ(aPacketFifo_GetLength(f.handle), 5u);
  for (uint8_t i = 0; i < 5; i++) {
    PacketPtr p(aPacketFifo_Get(f.handle));
    ASSERT_TRUE(p);
    EXPECT_TRUE(aPacket_IsComplete(p.get()));
    EXPECT_EQ(p->data[0], i);
  }
  EXPECT_EQ(aPacketFifo_Get(f.handle), nullptr);
}

TEST(Fifo, RefusesBadPacketsAndUnknownHandles) {
  Fifo f;
  aPacket bad{};
  bad.dataSize = 2;
  EXPECT_EQ(aPacketFifo_Put(f.handle, &bad), aErrParam);
  EXPECT_EQ(aPacketFifo_Put(f.handle, nullptr), aErrParam);
  PacketPtr oversize(aPacket_Create());
  aPacket_AddByte(oversize.get(), 6);
  aPacket_AddByte(oversize.get(), 29);
  EXPECT_EQ(aPacketFifo_Put(f.handle, oversize.get()), aErrParam);
  EXPECT_EQ(aPacketFifo_GetLength(f.handle), 0u);

  const uint64_t unknown = f.handle + 1000000;
  PacketPtr p = make(6);
  EXPECT_EQ(aPacketFifo_Put(unknown, p.get()), aErrParam);
  EXPECT_EQ(aPacketFifo_Put(0, p.get()), aErrParam);
  EXPECT_EQ(aPacketFifo_Get(unknown), nullptr);
  EXPECT_EQ(aPacketFifo_GetLength(unknown), 0u);
  EXPECT_EQ(aPacketFifo_Await(unknown, 10), nullptr);
  EXPECT_EQ(aPacketFifo_DrainPackets(unknown, all, nullptr), 0u);
  uint64_t h = unknown;
  EXPECT_EQ(aPacketFifo_Destroy(&h), aErrNotFound);
  EXPECT_EQ(h, unknown);
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
}

TEST(Fifo, ThousandOneEmptiesTheQueue) {
  Fifo f;
  PacketPtr p = make(6);
  for (int i = 0; i < aPACKETFIFO_LIMIT; i++)
    ASSERT_EQ(aPacketFifo_Put(f.handle, p.get()), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(f.handle), 1000u);
  EXPECT_EQ(aPacketFifo_Put(f.handle, p.get()), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(f.handle), 0u);
  // It keeps working afterwards.
  EXPECT_EQ(aPacketFifo_Put(f.handle, p.get()), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(f.handle), 1u);
}

TEST(Fifo, GetFirstAndDrainKeepTheOrderOfTheRest) {
  Fifo f;
  for (uint8_t i = 0; i < 10; i++)
    aPacketFifo_Put(f.handle, make(6, i).get());
  PacketPtr first(aPacketFifo_GetFirst(f.handle, evenValue, nullptr));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->data[0], 0);
  EXPECT_EQ(aPacketFifo_DrainPackets(f.handle, evenValue, nullptr), 4u);
  for (uint8_t odd = 1; odd < 10; odd += 2) {
    PacketPtr p(aPacketFifo_Get(f.handle));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->data[0], odd);
  }
  EXPECT_EQ(aPacketFifo_GetFirst(f.handle, evenValue, nullptr), nullptr);
  for (uint8_t i = 0; i < 7; i++)
    aPacketFifo_Put(f.handle, make(6, i).get());
  EXPECT_EQ(aPacketFifo_DrainPackets(f.handle, all, nullptr), 7u);
  EXPECT_EQ(aPacketFifo_GetLength(f.handle), 0u);
  EXPECT_EQ(aPacketFifo_DrainPackets(f.handle, nullptr, nullptr), 0u);
}

TEST(Fifo, AwaitTimesOutEmptyAfterItsTime) {
  Fifo f;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aPacketFifo_Await(f.handle, 50), nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  AddressFilter six{6};
  EXPECT_EQ(aPacketFifo_AwaitFirst(f.handle, byAddress, &six, 20), nullptr);
}

TEST(Fifo, AwaitTakesAPacketPutByAnotherThread) {
  Fifo f;
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    aPacketFifo_Put(f.handle, make(6, 42).get());
  });
  PacketPtr p(aPacketFifo_Await(f.handle, kForever));
  producer.join();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->data[0], 42);
}

TEST(Fifo, TwoWaitersWithDifferentFiltersEachTakeTheirOwn) {
  Fifo f;
  // A packet neither wants: each waiter's filter sees it once before it sleeps,
  // which tells this thread that both are waiting.
  aPacketFifo_Put(f.handle, make(2).get());
  AddressFilter six{6}, eight{8};
  PacketPtr gotSix, gotEight;
  std::thread a([&] { gotSix.reset(aPacketFifo_AwaitFirst(f.handle, byAddress, &six, kForever)); });
  std::thread b([&] { gotEight.reset(aPacketFifo_AwaitFirst(f.handle, byAddress, &eight, kForever)); });
  waitForCalls(six, 1);
  waitForCalls(eight, 1);
  aPacketFifo_Put(f.handle, make(8, 1).get());
  aPacketFifo_Put(f.handle, make(6, 2).get());
  a.join();
  b.join();
  ASSERT_TRUE(gotSix);
  ASSERT_TRUE(gotEight);
  EXPECT_EQ(gotSix->address, 6);
  EXPECT_EQ(gotEight->address, 8);
  // No waiter tests a packet twice: the one from 2, then its own, and for the
  // waiter on 6 the packet from 8 unless the other waiter took it first.
  using Seen = std::vector<uint8_t>;
  EXPECT_EQ(eight.tested, (Seen{2, 8}));
  EXPECT_TRUE(six.tested == (Seen{2, 8, 6}) || six.tested == (Seen{2, 6})) << six.tested.size();
  EXPECT_EQ(aPacketFifo_GetLength(f.handle), 1u);
}

TEST(Fifo, DestroyWakesEveryWaiter) {
  uint64_t handle = aPacketFifo_Create();
  aPacketFifo_Put(handle, make(2).get());
  AddressFilter six{6};
  aPacket* first = nullptr;
  std::thread a([&] {
    first = aPacketFifo_AwaitFirst(handle, byAddress, &six, kForever);
  });
  uint64_t otherHandle = aPacketFifo_Create();
  aPacket* awaited = nullptr;
  std::thread b([&] {
    awaited = aPacketFifo_Await(otherHandle, kForever);
  });
  waitForCalls(six, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const uint64_t firstHandle = handle;
  EXPECT_EQ(aPacketFifo_Destroy(&handle), aErrNone);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(aPacketFifo_Destroy(&otherHandle), aErrNone);
  a.join();
  b.join();
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(awaited, nullptr);
  EXPECT_EQ(aPacketFifo_Destroy(&handle), aErrNotFound);
  uint64_t stale = firstHandle;
  EXPECT_EQ(aPacketFifo_Destroy(&stale), aErrNotFound);
  EXPECT_EQ(aPacketFifo_Put(firstHandle, make(6).get()), aErrParam);
}

TEST(Fifo, ManyProducersAndFilteredConsumersLoseNothing) {
  constexpr int kProducers = 4, kEach = 200;  // 800 in flight at most: under the limit
  Fifo f;
  std::vector<std::thread> threads;
  std::vector<std::vector<int>> received(kProducers);
  for (int c = 0; c < kProducers; c++) {
    threads.emplace_back([&, c] {
      AddressFilter mine{static_cast<uint8_t>(2 * (c + 1))};
      for (int i = 0; i < kEach; i++) {
        PacketPtr p(aPacketFifo_AwaitFirst(f.handle, byAddress, &mine, kForever));
        if (!p)
          return;
        received[c].push_back(p->data[0] | (p->data[1] << 8));
      }
    });
  }
  for (int pr = 0; pr < kProducers; pr++) {
    threads.emplace_back([&, pr] {
      for (int i = 0; i < kEach; i++) {
        const uint8_t data[2] = {static_cast<uint8_t>(i & 0xFF), static_cast<uint8_t>(i >> 8)};
        PacketPtr p(aPacket_CreateWithData(static_cast<uint8_t>(2 * (pr + 1)), 2, data));
        aPacketFifo_Put(f.handle, p.get());
        aPacketFifo_GetLength(f.handle);
      }
    });
  }
  for (auto& t : threads)
    t.join();
  for (int c = 0; c < kProducers; c++) {
    ASSERT_EQ(received[c].size(), static_cast<size_t>(kEach)) << c;
    for (int i = 0; i < kEach; i++)
      EXPECT_EQ(received[c][i], i);
  }
  EXPECT_EQ(aPacketFifo_GetLength(f.handle), 0u);
}

TEST(Fifo, ConcurrentCreateAndDestroyGiveUniqueHandles) {
  std::vector<std::vector<uint64_t>> seen(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; i++) {
        uint64_t h = aPacketFifo_Create();
        seen[t].push_back(h);
        aPacketFifo_Put(h, make(6).get());
        if (i % 2)
          aPacketFifo_Destroy(&h);
      }
    });
  for (auto& t : threads)
    t.join();
  std::vector<uint64_t> all;
  for (auto& s : seen)
    all.insert(all.end(), s.begin(), s.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  EXPECT_EQ(std::count(all.begin(), all.end(), 0u), 0);
  for (uint64_t h : all)
    if (aPacketFifo_GetLength(h))
      aPacketFifo_Destroy(&h);
}

// Packet log

using Bytes = std::vector<uint8_t>;

struct Entry {
  uint8_t type;
  Bytes bytes;
  bool operator==(const Entry& o) const { return type == o.type && bytes == o.bytes; }
};

std::vector<Entry> drain(aPacketLog* log) {
  std::vector<Entry> out;
  for (;;) {
    uint8_t buf[256], type = 0;
    uint32_t len = sizeof buf;
    aErr err = aPacketLog_Get(log, &type, &len, buf);
    if (err == aErrNotFound)
      return out;
    EXPECT_EQ(err, aErrNone);
    if (err != aErrNone)
      return out;
    out.push_back({type, Bytes(buf, buf + len)});
  }
}

TEST(PacketLog, SmallRingKeepsTheNewestEntriesOldestFirst) {
  aPacketLog* log = aPacketLog_Create(16);
  ASSERT_TRUE(log);
  for (uint8_t i = 1; i <= 4; i++) {
    const Bytes b(5, i);
    EXPECT_EQ(aPacketLog_Put(log, aPACKETLOG_IN, 5, b.data()), aErrNone);
  }
  EXPECT_EQ(drain(log), (std::vector<Entry>{{aPACKETLOG_IN, Bytes(5, 3)}, {aPACKETLOG_IN, Bytes(5, 4)}}));
  const Bytes big(14, 9);
  EXPECT_EQ(aPacketLog_Put(log, aPACKETLOG_OUT, 14, big.data()), aErrOverrun);
  EXPECT_EQ(aPacketLog_Put(log, aPACKETLOG_OUT, 13, big.data()), aErrNone);
  EXPECT_EQ(drain(log), (std::vector<Entry>{{aPACKETLOG_OUT, Bytes(13, 9)}}));
  EXPECT_EQ(aPacketLog_Destroy(&log), aErrNone);
  EXPECT_EQ(log, nullptr);
  EXPECT_EQ(aPacketLog_Destroy(&log), aErrNone);
}

TEST(PacketLog, ShortBufferKeepsTheEntry) {
  aPacketLog* log = aPacketLog_Create(64);
  const uint8_t text[5] = {'S', 'T', 'A', 'R', 'T'};
  aPacketLog_Put(log, aPACKETLOG_TEXT, 5, text);
  uint8_t buf[2], type = 0;
  uint32_t len = sizeof buf;
  EXPECT_EQ(aPacketLog_Get(log, &type, &len, buf), aErrOverrun);
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(drain(log), (std::vector<Entry>{{aPACKETLOG_TEXT, Bytes(text, text + 5)}}));
  aPacketLog_Destroy(&log);
}

TEST(PacketLog, RefusesWhatCannotBeRecorded) {
  EXPECT_EQ(aPacketLog_Create(0), nullptr);
  aPacketLog* log = aPacketLog_Create(1024);
  const Bytes b(300, 1);
  EXPECT_EQ(aPacketLog_Put(log, aPACKETLOG_TEXT, 256, b.data()), aErrParam);
  EXPECT_EQ(aPacketLog_Put(log, aPACKETLOG_TEXT, 3, nullptr), aErrParam);
  EXPECT_EQ(aPacketLog_Put(log, aPACKETLOG_TEXT, 0, nullptr), aErrNone);
  EXPECT_EQ(aPacketLog_Put(nullptr, aPACKETLOG_TEXT, 1, b.data()), aErrParam);
  EXPECT_EQ(drain(log), (std::vector<Entry>{{aPACKETLOG_TEXT, {}}}));
  aPacketLog_Destroy(&log);
}

TEST(PacketLog, MatchesAModelAcrossManyWraps) {
  constexpr uint32_t kSize = 97;
  aPacketLog* log = aPacketLog_Create(kSize);
  std::deque<Entry> model;
  uint32_t used = 0;
  std::mt19937 rng(7);
  for (int step = 0; step < 5000; step++) {
    if (rng() % 3) {
      Entry e{static_cast<uint8_t>(1 + rng() % 3), Bytes(rng() % 40)};
      for (auto& x : e.bytes)
        x = static_cast<uint8_t>(rng());
      ASSERT_EQ(aPacketLog_Put(log, e.type, static_cast<uint32_t>(e.bytes.size()), e.bytes.data()), aErrNone);
      const uint32_t need = static_cast<uint32_t>(e.bytes.size()) + 2;
      while (kSize - used <= need) {
        used -= static_cast<uint32_t>(model.front().bytes.size()) + 2;
        model.pop_front();
      }
      model.push_back(e);
      used += need;
    } else {
      uint8_t buf[64], type = 0;
      uint32_t len = sizeof buf;
      aErr err = aPacketLog_Get(log, &type, &len, buf);
      if (model.empty()) {
        ASSERT_EQ(err, aErrNotFound);
        continue;
      }
      ASSERT_EQ(err, aErrNone);
      ASSERT_EQ((Entry{type, Bytes(buf, buf + len)}), model.front());
      used -= len + 2;
      model.pop_front();
    }
  }
  aPacketLog_Destroy(&log);
}

}  // namespace
