// Throughput of the packetized serial framing (CRC-8 + COBS + delimiter) over an
// in-memory transport, side by side with the same bytes through an unframed
// stream: the ratio is the cost of the framing itself.
#include "aStream.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <vector>

namespace {

struct Memory {
  std::vector<uint8_t> bytes;
  size_t at = 0;
};

aErr sGet(uint8_t* byte, void* ref) {
  auto* m = static_cast<Memory*>(ref);
  if (m->at >= m->bytes.size())
    return aErrNotReady;
  *byte = m->bytes[m->at++];
  return aErrNone;
}
aErr sWrite(const uint8_t* bytes, uint32_t count, void* ref) {
  auto* m = static_cast<Memory*>(ref);
  m->bytes.insert(m->bytes.end(), bytes, bytes + count);
  return aErrNone;
}
aErr sPut(const uint8_t* byte, void* ref) { return sWrite(byte, 1, ref); }

constexpr int kPackets = 1000;

std::vector<uint8_t> packets() {
  std::vector<uint8_t> wire;
  for (int i = 0; i < kPackets; i++) {
    wire.push_back(6);
    wire.push_back(28);
    for (int k = 0; k < 28; k++)
      wire.push_back(static_cast<uint8_t>(i * 7 + k));
  }
  return wire;
}

// Writes every packet, then reads every packet back: answers nanoseconds spent.
double pass(aStream* s, Memory& m, const std::vector<uint8_t>& wire) {
  m.bytes.clear();
  m.at = 0;
  const auto start = std::chrono::steady_clock::now();
  for (size_t at = 0; at < wire.size(); at += 30)
    aStream_Write(s, wire.data() + at, 30);
  size_t got = 0;
  uint8_t byte;
  while (got < wire.size()) {
    const bool drained = m.at >= m.bytes.size();
    if (aStream_Read(s, &byte, 1) == aErrNone)
      got++;
    else if (drained)
      break;
  }
  if (got != wire.size())
    abort();
  benchmark::DoNotOptimize(byte);
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
}

void BM_FramedVsUnframed(benchmark::State& state) {
  const std::vector<uint8_t> wire = packets();
  Memory framedMem, plainMem;
  aStream* raw = aStream_Create(sGet, sPut, sWrite, nullptr, &framedMem);
  aStream* framed = nullptr;
  aStream_WrapPacketized(&raw, &framed);
  aStream* plain = aStream_Create(sGet, sPut, sWrite, nullptr, &plainMem);
  double framedNs = 0, plainNs = 0;
  for (auto _ : state) {
    framedNs += pass(framed, framedMem, wire);
    plainNs += pass(plain, plainMem, wire);
  }
  const double bytes = static_cast<double>(wire.size()) * static_cast<double>(state.iterations());
  state.counters["framed_MB_per_s"] = bytes / framedNs * 1e3;
  state.counters["unframed_MB_per_s"] = bytes / plainNs * 1e3;
  state.counters["framed_over_unframed_time"] = framedNs / plainNs;
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  aStream_Destroy(&framed);
  aStream_Destroy(&plain);
}
BENCHMARK(BM_FramedVsUnframed)->Unit(benchmark::kMillisecond);

}  // namespace
