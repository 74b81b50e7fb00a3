// Round trip of a small request through the link engine to the device simulator
// over loopback TCP, against a bare blocking-socket ping-pong of the same bytes
// to an identical simulator. Both run interleaved in one loop; the counters give
// the mean round trip of each and their ratio.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>

#include "aLink.h"
#include "link_sim.h"

namespace {

constexpr uint8_t kModule = 6;
const uint8_t kRequest[] = {kModule, 4, 0x17, 1, 2, 3};  // debug echo

uint8_t isEcho(const aPacket* p, void*) { return p->address == kModule && p->dataSize == 4 && p->data[0] == 0x17; }

bool linkRoundTrip(int32_t id, aPacket* request) {
  aLink_PutPacket(id, request);
  aPacket* reply = aLink_AwaitFirst(id, isEcho, nullptr, 1000);
  bool ok = reply != nullptr;
  aPacket_Destroy(&reply);
  return ok;
}

bool bareRoundTrip(int fd) {
  if (send(fd, kRequest, sizeof kRequest, MSG_NOSIGNAL) != sizeof kRequest) return false;
  uint8_t reply[sizeof kRequest];
  return recv(fd, reply, sizeof reply, MSG_WAITALL) == sizeof reply;
}

int bareConnect(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void BM_RoundTrip_LinkVersusBareSocket(benchmark::State& state) {
  linkbench::SimChild forLink({"--tcp", "0", "--heartbeat", "0"});
  linkbench::SimChild forSocket({"--tcp", "0", "--heartbeat", "0"});
  int32_t id = aLink_CreateTCPIP(0x40F5849A, htonl(INADDR_LOOPBACK), forLink.port());
  int fd = bareConnect(forSocket.port());
  if (id == 0 || fd < 0) {
    state.SkipWithError("no connection to the simulator");
    return;
  }
  aPacket* request = aPacket_CreateWithData(kModule, 4, kRequest + 2);
  using clock = std::chrono::steady_clock;
  clock::duration linkTime{}, bareTime{};
  int64_t trips = 0;
  constexpr int kBlock = 100;
  for (auto _ : state) {
    auto t0 = clock::now();
    for (int i = 0; i < kBlock; ++i)
      if (!linkRoundTrip(id, request)) state.SkipWithError("link round trip lost");
    auto t1 = clock::now();
    for (int i = 0; i < kBlock; ++i)
      if (!bareRoundTrip(fd)) state.SkipWithError("socket round trip lost");
    auto t2 = clock::now();
    linkTime += t1 - t0;
    bareTime += t2 - t1;
    trips += kBlock;
  }
  double linkUs = std::chrono::duration<double, std::micro>(linkTime).count() / trips;
  double bareUs = std::chrono::duration<double, std::micro>(bareTime).count() / trips;
  state.counters["link_us"] = linkUs;
  state.counters["socket_us"] = bareUs;
  state.counters["ratio"] = linkUs / bareUs;
  aPacket_Destroy(&request);
  close(fd);
  aLink_Destroy(&id);
}
BENCHMARK(BM_RoundTrip_LinkVersusBareSocket)->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace
