// Serial links (framed packets), against the device simulator on a pseudo-terminal
// or a real device on the port named in CORELATCH_TEST_SERIAL (tests that need the
// simulator's fault switches always use it).
#include "LinkTestSupport.h"

using namespace linktest;

namespace {

constexpr uint32_t kIdentifier = 0x5E41A100;

TEST(LinkSerial, ExchangesFramedPacketsAndRoutesOnStartAndStop) {
  Device dev(Device::Serial, {"--heartbeat", "100"});
  LinkHold hold(dev.open(kIdentifier));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  if (Sim* sim = dev.sim()) {
    ASSERT_GE(sim->waitFor("rx AF 01 01"), 0);
  }
  uint8_t module = learnModule(id);
  ASSERT_NE(module, 0) << "no answer to a sync request";
  dev.expectSerialNumber(id, module);
  if (Sim* sim = dev.sim()) {
    EXPECT_GE(sim->waitFor("hb-ok"), 0);
    EXPECT_EQ(sim->count("bad-frame"), 0u);
  }
  int heartbeats = 0;
  for (aPacket* p; (p = aLink_GetPacket(id)) != nullptr; aPacket_Destroy(&p))
    if (p->dataSize == 2 && p->data[0] == 0) ++heartbeats;
  EXPECT_EQ(heartbeats, 0) << "a heartbeat reached the incoming queue";
  id = hold.release();
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  if (Sim* sim = dev.sim()) {
    EXPECT_GE(sim->waitFor("rx AF 01 00"), 0);
  }
}

TEST(LinkSerial, ResynchronisesAfterDamagedFrames) {
  Sim sim({"--pty", "--heartbeat", "0", "--corrupt-every", "9"});
  LinkHold hold(aLink_CreateSerial(kIdentifier, sim.pty().c_str(), 115200));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(readSerialNumber(id), kSerial) << "request " << i;
  EXPECT_TRUE(sim.seen("corrupt", 1));
  EXPECT_TRUE(sim.seen("rx AD 00", 2)) << "a damaged frame did not lead to a resync";
  EXPECT_TRUE(waitForStatus(id, kLinkRunning));
}

TEST(LinkSerial, UnsupportedRateLeavesNoEntry) {
  Device dev(Device::Serial, {"--heartbeat", "0"});
  EXPECT_EQ(aLink_CreateSerial(kIdentifier, dev.path().c_str(), 14400), 0);
  EXPECT_EQ(sLookupEntryByIdent(static_cast<int32_t>(kIdentifier), SERIAL), nullptr);
  LinkHold hold(dev.open(kIdentifier));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  uint8_t module = learnModule(id);
  ASSERT_NE(module, 0);
  dev.expectSerialNumber(id, module);
  // The identifier names the link: a second create shares it.
  int32_t again = aLink_CreateSerial(kIdentifier, "/dev/null", 9600);
  EXPECT_EQ(again, id);
  aLink_Destroy(&again);
  EXPECT_EQ(aLink_GetStatus(id), kLinkRunning);
}

TEST(LinkSerial, MissingPortLeavesNoEntry) {
  EXPECT_EQ(aLink_CreateSerial(kIdentifier + 1, "/dev/no-such-port", 115200), 0);
  EXPECT_EQ(sLookupEntryByIdent(static_cast<int32_t>(kIdentifier + 1), SERIAL), nullptr);
}

}  // namespace
