// Links over TCP/IP, against the device simulator or a real device named in
// CORELATCH_TEST_TCP (tests that need the simulator's fault switches always use it).
#include "LinkTestSupport.h"

using namespace linktest;

namespace {

int32_t openLink(Sim& sim, uint32_t serial = kSerial) { return aLink_CreateTCPIP(serial, loopback(), sim.port()); }

TEST(LinkTcp, StartSendsRouteOnAndStopSendsRouteOffLast) {
  Device dev(Device::Tcp, {"--heartbeat", "0"});
  LinkHold hold(dev.open(kSerial));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  EXPECT_EQ(aLink_GetStatus(id), kLinkRunning);
  if (Sim* sim = dev.sim()) {
    ASSERT_GE(sim->waitFor("rx AF 01 01"), 0);
  }

  // A second start of a running link changes nothing.
  EXPECT_EQ(aLink_Start(id), aErrNone);
  uint8_t module = learnModule(id);
  ASSERT_NE(module, 0) << "no answer to a sync request";
  dev.expectSerialNumber(id, module);

  id = hold.release();
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(id, 0);
  if (Sim* sim = dev.sim()) {
    int off = sim->waitFor("rx AF 01 00");
    ASSERT_GE(off, 0);
    EXPECT_EQ(sim->count("rx AF 01 01"), 1u);
    // Nothing reaches the device after the route-off packet.
    ASSERT_GE(sim->waitFor("close tcp"), off);
    EXPECT_EQ(sim->count("rx ", off + 1), 0u);
  }
}

TEST(LinkTcp, AnswersFromTheDevice) {
  Device dev(Device::Tcp, {"--serial", "1A2B3C4D", "--build", "4711", "--heartbeat", "0"});
  LinkHold hold(dev.open(0x1A2B3C4D));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  uint8_t module = learnModule(id);
  ASSERT_NE(module, 0);
  dev.expectSerialNumber(id, module);

  PacketPtr build = request(id, {0x49, 0xFF}, Match{module, {0x49, 0xFF}, 6});
  ASSERT_TRUE(build);
  if (dev.sim()) {
    EXPECT_EQ((uint32_t(build->data[2]) << 24) | (build->data[3] << 16) | (build->data[4] << 8) | build->data[5],
              4711u);
  }

  std::vector<uint8_t> echo{0x17};
  for (uint8_t i = 1; i <= 27; ++i) echo.push_back(i);
  PacketPtr back = request(id, echo, Match{module, {0x17}, 28});
  ASSERT_TRUE(back);
  EXPECT_EQ(std::vector<uint8_t>(back->data, back->data + 28), echo);
}

TEST(LinkTcp, AwaitWithTheLongestTimeoutStillReturnsTheReply) {
  Device dev(Device::Tcp, {"--heartbeat", "0"});
  LinkHold hold(dev.open(kSerial));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  uint8_t module = learnModule(id);
  ASSERT_NE(module, 0);
  Match match{module, {0x49, 0xFF}, 6};
  put(id, module, {0x49, 0xFF});
  PacketPtr reply = own(aLink_AwaitFirst(id, matchFilter, &match, 0xFFFFFFFFu));
  EXPECT_TRUE(reply);
}

TEST(LinkTcp, HeartbeatsAreAnsweredAndNeverQueued) {
  Device dev(Device::Tcp, {"--heartbeat", "50"});
  LinkHold hold(dev.open(kSerial));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  if (Sim* sim = dev.sim()) {
    for (int i = 0, from = 0; i < 3; ++i) {
      int seen = sim->waitFor("hb-ok", from);
      ASSERT_GE(seen, 0) << "heartbeat " << i << " not answered";
      from = seen + 1;
    }
    EXPECT_EQ(sim->count("hb-bad"), 0u);
  } else {
    aTime_MSSleep(3000);  // a real device's heartbeats come at its own pace
  }
  int queued = 0, heartbeats = 0;
  for (aPacket* p; (p = aLink_GetPacket(id)) != nullptr; aPacket_Destroy(&p)) {
    ++queued;
    if (p->dataSize == 2 && p->data[0] == 0) ++heartbeats;
  }
  EXPECT_EQ(heartbeats, 0) << "a heartbeat reached the incoming queue";
  if (dev.sim()) {
    EXPECT_EQ(queued, 0);
  }
  EXPECT_EQ(aLink_GetStatus(id), kLinkRunning);
}

TEST(LinkTcp, RequestedSyncEndsRunningAgain) {
  Device dev(Device::Tcp, {"--heartbeat", "0"});
  LinkHold hold(dev.open(kSerial));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  uint8_t module = learnModule(id);
  ASSERT_NE(module, 0);
  size_t from = dev.sim() ? dev.sim()->mark() : 0;
  aLink_RequestSync(sLookupLinkByID(id));
  EXPECT_TRUE(waitForStatus(id, kLinkRunning));
  if (Sim* sim = dev.sim()) {
    EXPECT_TRUE(sim->seen("rx AD 00", 2, from));
  }
  dev.expectSerialNumber(id, module);
}

struct Taker {
  std::atomic<int> taken{0};
};
uint8_t takeAll(const aPacket*, void* ref) {
  ++static_cast<Taker*>(ref)->taken;
  return 1;
}

TEST(LinkTcp, UserFilterThatTakesEverythingSuppressesHeartbeatAnswers) {
  Sim sim({"--tcp", "0", "--heartbeat", "50"});
  LinkHold hold(openLink(sim));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  Taker taker;
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, takeAll, &taker), aErrNone);
  size_t from = sim.mark();
  ASSERT_GE(sim.waitFor("hb-missed", from), 0);
  EXPECT_GE(taker.taken.load(), 1);
  EXPECT_EQ(sim.count("hb-ok", sim.waitFor("hb-missed", from) + 1), 0u);
  aPacket* queued = aLink_GetPacket(id);
  EXPECT_EQ(queued, nullptr);
  aPacket_Destroy(&queued);
}

TEST(LinkTcp, ResynchronisesAfterGarbage) {
  Sim sim({"--tcp", "0", "--heartbeat", "0", "--garbage", "57", "--seed", "7"});
  LinkHold hold(openLink(sim));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  EXPECT_EQ(readSerialNumber(id), kSerial);
  ASSERT_GE(sim.waitFor("garbage"), 0);
  EXPECT_TRUE(sim.seen("rx AD 00", 2)) << "the link never asked the device to resync";
  EXPECT_EQ(aLink_GetStatus(id), kLinkRunning);
  // Once in step again every request is answered at once.
  for (int i = 0; i < 20; ++i) EXPECT_EQ(readSerialNumber(id, 1), kSerial);
}

TEST(LinkTcp, ResynchronisesAfterCorruptReplies) {
  Sim sim({"--tcp", "0", "--heartbeat", "0", "--corrupt-every", "7"});
  LinkHold hold(openLink(sim));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(readSerialNumber(id), kSerial) << "request " << i;
  EXPECT_TRUE(sim.seen("corrupt", 1));
  EXPECT_TRUE(sim.seen("rx AD 00", 2));
}

TEST(LinkTcp, ReconnectsAndResynchronisesAfterTheDeviceResetsTheConnection) {
  Sim sim({"--tcp", "0", "--heartbeat", "0", "--close-after", "2", "--garbage", "9"});
  LinkHold hold(openLink(sim));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  put(id, kModule, {0x03, 0x49, 0x20});
  ASSERT_GE(sim.waitFor("close tcp close-after"), 0);
  EXPECT_EQ(readSerialNumber(id), kSerial);
  EXPECT_EQ(sim.count("accept tcp"), 2u);
  EXPECT_TRUE(sim.seen("rx AD 00", 2));
  EXPECT_EQ(aLink_GetStatus(id), kLinkRunning);
}

TEST(LinkTcp, DeviceClosingInOrderShowsAsAnErrorAndAWriteReconnects) {
  Sim sim({"--tcp", "0", "--heartbeat", "0", "--close-after", "2", "--close-in-order"});
  LinkHold hold(openLink(sim));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  put(id, kModule, {0x03, 0x49, 0x20});
  ASSERT_GE(sim.waitFor("close tcp close-after"), 0);
  // The link must not go on claiming to run on a connection that is gone.
  EXPECT_TRUE(waitForStatus(id, kLinkIOError)) << "status " << aLink_GetStatus(id);
  EXPECT_EQ(readSerialNumber(id), kSerial);
  EXPECT_EQ(aLink_GetStatus(id), kLinkRunning);
}

TEST(LinkTcp, TwoCreatesShareOneLinkUntilTheSecondDestroy) {
  Device dev(Device::Tcp, {"--heartbeat", "0"});
  LinkHold hold(dev.open(kSerial));
  int32_t first = hold;
  ASSERT_NE(first, 0);
  uint8_t module = learnModule(first);
  ASSERT_NE(module, 0);
  // The address and port are not compared: the serial number names the link.
  int32_t second = aLink_CreateTCPIP(kSerial, loopback(), 1);
  EXPECT_EQ(second, first);
  int32_t keep = second;
  hold.release();

  EXPECT_EQ(aLink_Destroy(&first), aErrNone);
  EXPECT_EQ(aLink_GetStatus(keep), kLinkRunning);
  dev.expectSerialNumber(keep, module);
  if (Sim* sim = dev.sim()) {
    EXPECT_EQ(sim->count("accept tcp"), 1u);
    EXPECT_EQ(sim->count("rx AF 01 00"), 0u);
  }

  EXPECT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_EQ(aLink_GetStatus(keep), kLinkNoStream);
  if (Sim* sim = dev.sim()) {
    EXPECT_GE(sim->waitFor("rx AF 01 00"), 0);
  }
  EXPECT_EQ(aLink_Destroy(&keep), aErrParam);
  EXPECT_EQ(keep, 0);
}

TEST(LinkTcp, ServedLinkIsNotReusedByADirectCreate) {
  Device dev(Device::Tcp, {"--heartbeat", "0"});
  LinkHold hold(dev.open(kSerial));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  linkEntry* entry = sLookupEntryByID(id);
  ASSERT_NE(entry, nullptr);
  int marker = 0;
  entry->server = &marker;
  EXPECT_EQ(dev.open(kSerial), 0);
  entry->server = nullptr;
}

TEST(LinkTcp, ResetReconnectsToTheSamePlaceAndDropsTheUserFilter) {
  Device dev(Device::Tcp, {"--heartbeat", "0"});
  LinkHold hold(dev.open(kSerial));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  uint8_t module = learnModule(id);
  ASSERT_NE(module, 0);
  Taker taker;
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, takeAll, &taker), aErrNone);
  put(id, module, {0x03, 0x49, 0x20});
  for (int i = 0; i < 500 && taker.taken.load() == 0; ++i) aTime_MSSleep(10);
  ASSERT_GE(taker.taken.load(), 1) << "the filter saw no reply";

  size_t before = dev.sim() ? dev.sim()->mark() : 0;
  ASSERT_EQ(aLink_Reset(id), aErrNone);
  int takenAtReset = taker.taken.load();
  if (Sim* sim = dev.sim()) {
    int reconnected = sim->waitFor("accept tcp", before);
    ASSERT_GE(reconnected, 0);
    EXPECT_GE(sim->waitFor("rx AF 01 01", reconnected), 0);
  }
  // The reply reaches the queue: the new connection goes to the same device and
  // no filter takes it any more.
  dev.expectSerialNumber(id, module);
  EXPECT_EQ(taker.taken.load(), takenAtReset) << "the filter survived the reset";
}

TEST(LinkTcp, CreateFailsWithoutADeviceAndLeavesNoEntry) {
  uint16_t port;
  {
    Sim sim({"--tcp", "0"});
    port = sim.port();
  }
  EXPECT_EQ(aLink_CreateTCPIP(0x12345678, loopback(), port), 0);
  EXPECT_EQ(sLookupEntryByIdent(0x12345678, TCPIP), nullptr);
}

}  // namespace
