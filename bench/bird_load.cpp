// Loading a BIRD file with 1 MiB of firmware (read, inflate into the 8x
// buffer, parse the blocks) against a bare zlib uncompress of the same stream
// into a buffer of the exact size, in the same run. The counters give each
// cost per load and their ratio: what the loader adds on top of inflating.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "firmware/BirdFile.h"
#include "firmware/BirdWriter.h"

namespace {

double seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_BirdLoadVersusUncompress(benchmark::State& state) {
  BirdWriter writer;
  writer.addDescriptor("bench", "2.12.4", "40F5849A", "CLHUB")
      .addLoader(0x20000000, BirdWriter::sampleImage(16 * 1024, 1))
      .addFirmware(0x1000, BirdWriter::sampleImage(1024 * 1024, 2))
      .addSerialRecord(0x1100, 0x1200);
  const ByteVector body = writer.body();
  const ByteVector file = writer.file();
  const std::string path = "/tmp/bench_bird_load." + std::to_string(getpid()) + ".bird";
  if (!writer.writeFile(path)) {
    state.SkipWithError("cannot write the BIRD file");
    return;
  }
  ByteVector out(body.size());
  double loadTime = 0, inflateTime = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    BirdFile bird(path);
    benchmark::DoNotOptimize(bird.blocks().data());
    loadTime += seconds(start);

    start = std::chrono::steady_clock::now();
    uLongf length = uLongf(out.size());
    if (uncompress(out.data(), &length, file.data() + 6, uLong(file.size() - 6)) != Z_OK) {
      state.SkipWithError("uncompress failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
    inflateTime += seconds(start);
  }
  std::remove(path.c_str());
  const double n = double(state.iterations());
  state.counters["load_ms"] = loadTime / n * 1e3;
  state.counters["uncompress_ms"] = inflateTime / n * 1e3;
  state.counters["ratio"] = inflateTime > 0 ? loadTime / inflateTime : 0;
  state.counters["body_bytes"] = double(body.size());
  state.counters["file_bytes"] = double(file.size());
}

}  // namespace

BENCHMARK(BM_BirdLoadVersusUncompress)->Unit(benchmark::kMillisecond)->MinTime(2.0);
