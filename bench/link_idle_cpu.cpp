// CPU time this process spends while one link stays open and idle for five
// seconds (the device sends its heartbeat once a second and the link answers it),
// as a share of one core. Measured for a TCP link and for a serial link on a
// pseudo-terminal, whose reads return at once instead of waiting.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <time.h>

#include "aLink.h"
#include "aTime.h"
#include "link_sim.h"

namespace {

double processCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

double wallSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

void measureIdle(benchmark::State& state, int32_t id) {
  if (id == 0) {
    state.SkipWithError("no link to the simulator");
    return;
  }
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    double c0 = processCpuSeconds(), w0 = wallSeconds();
    aTime_MSSleep(5000);
    cpu += processCpuSeconds() - c0;
    wall += wallSeconds() - w0;
  }
  state.counters["cpu_percent_of_core"] = 100.0 * cpu / wall;
  state.counters["status_running"] = aLink_GetStatus(id) == kLinkRunning;
  aLink_Destroy(&id);
}

void BM_IdleTcpLink(benchmark::State& state) {
  linkbench::SimChild sim({"--tcp", "0", "--heartbeat", "1000"});
  measureIdle(state, aLink_CreateTCPIP(0x40F5849A, htonl(INADDR_LOOPBACK), sim.port()));
}
BENCHMARK(BM_IdleTcpLink)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_IdleSerialLink(benchmark::State& state) {
  linkbench::SimChild sim({"--pty", "--heartbeat", "1000"});
  measureIdle(state, aLink_CreateSerial(0x40F5849A, sim.pty().c_str(), 115200));
}
BENCHMARK(BM_IdleSerialLink)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
