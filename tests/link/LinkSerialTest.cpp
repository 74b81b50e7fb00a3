// Serial links (framed packets) against the device simulator on a pseudo-terminal.
#include "LinkTestSupport.h"

using namespace linktest;

namespace {

constexpr uint32_t kIdentifier = 0x5E41A100;

TEST(LinkSerial, ExchangesFramedPacketsAndRoutesOnStartAndStop) {
  Sim sim({"--pty", "--heartbeat", "100"});
  LinkHold hold(aLink_CreateSerial(kIdentifier, sim.pty().c_str(), 115200));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  ASSERT_GE(sim.waitFor("rx AF 01 01"), 0);
  EXPECT_EQ(readSerialNumber(id), kSerial);
  EXPECT_GE(sim.waitFor("hb-ok"), 0);
  EXPECT_EQ(sim.count("bad-frame"), 0u);
  aPacket* queued = aLink_GetPacket(id);
  EXPECT_EQ(queued, nullptr);
  aPacket_Destroy(&queued);
  id = hold.release();
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_GE(sim.waitFor("rx AF 01 00"), 0);
}

TEST(LinkSerial, ResynchronisesAfterDamagedFrames) {
  Sim sim({"--pty", "--heartbeat", "0", "--corrupt-every", "9"});
  LinkHold hold(aLink_CreateSerial(kIdentifier, sim.pty().c_str(), 115200));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(readSerialNumber(id), kSerial) << "request " << i;
  EXPECT_GE(sim.count("corrupt"), 1u);
  EXPECT_GE(sim.count("rx AD 00"), 2u) << "a damaged frame did not lead to a resync";
  EXPECT_TRUE(waitForStatus(id, kLinkRunning));
}

TEST(LinkSerial, UnsupportedRateLeavesNoEntry) {
  Sim sim({"--pty", "--heartbeat", "0"});
  EXPECT_EQ(aLink_CreateSerial(kIdentifier, sim.pty().c_str(), 14400), 0);
  EXPECT_EQ(sLookupEntryByIdent(static_cast<int32_t>(kIdentifier), SERIAL), nullptr);
  LinkHold hold(aLink_CreateSerial(kIdentifier, sim.pty().c_str(), 115200));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  EXPECT_EQ(readSerialNumber(id), kSerial);
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
