// Round trips of one packet between two threads: through two packet FIFOs
// (put, then await on the other side) against two bare mutex + condition
// variable queues in the same run. The counters give each variant's cost per
// hand-off and their ratio.
#include "aPacketFifo.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

constexpr uint32_t kWait = 10000;

struct BareQueue {
  std::mutex lock;
  std::condition_variable wakeup;
  std::deque<aPacket> items;
  void put(const aPacket& p) {
    {
      std::lock_guard<std::mutex> g(lock);
      items.push_back(p);
    }
    wakeup.notify_all();
  }
  aPacket await() {
    std::unique_lock<std::mutex> g(lock);
    wakeup.wait(g, [&] { return !items.empty(); });
    aPacket p = items.front();
    items.pop_front();
    return p;
  }
};

double fifoRoundTrips(int count, const aPacket* packet) {
  uint64_t there = aPacketFifo_Create(), back = aPacketFifo_Create();
  std::thread echo([&] {
    for (int i = 0; i < count; i++) {
      aPacket* p = aPacketFifo_Await(there, kWait);
      aPacketFifo_Put(back, p);
      aPacket_Destroy(&p);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; i++) {
    aPacketFifo_Put(there, packet);
    aPacket* p = aPacketFifo_Await(back, kWait);
    benchmark::DoNotOptimize(p);
    aPacket_Destroy(&p);
  }
  const auto end = std::chrono::steady_clock::now();
  echo.join();
  aPacketFifo_Destroy(&there);
  aPacketFifo_Destroy(&back);
  return std::chrono::duration<double, std::nano>(end - start).count();
}

double bareRoundTrips(int count, const aPacket* packet) {
  BareQueue there, back;
  std::thread echo([&] {
    for (int i = 0; i < count; i++)
      back.put(there.await());
  });
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; i++) {
    there.put(*packet);
    aPacket p = back.await();
    benchmark::DoNotOptimize(p);
  }
  const auto end = std::chrono::steady_clock::now();
  echo.join();
  return std::chrono::duration<double, std::nano>(end - start).count();
}

void BM_FifoHandoffVsBareQueue(benchmark::State& state) {
  const int trips = static_cast<int>(state.range(0));
  uint8_t data[28] = {1, 2, 3};
  aPacket* packet = aPacket_CreateWithData(6, 28, data);
  double fifoNs = 0, bareNs = 0;
  for (auto _ : state) {
    fifoNs += fifoRoundTrips(trips, packet);
    bareNs += bareRoundTrips(trips, packet);
  }
  aPacket_Destroy(&packet);
  const double handoffs = 2.0 * trips * static_cast<double>(state.iterations());
  state.counters["fifo_ns_per_handoff"] = fifoNs / handoffs;
  state.counters["bare_ns_per_handoff"] = bareNs / handoffs;
  state.counters["fifo_over_bare"] = fifoNs / bareNs;
}
BENCHMARK(BM_FifoHandoffVsBareQueue)->Arg(2000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
