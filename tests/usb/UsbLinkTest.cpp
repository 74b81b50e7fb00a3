// USB links against the device simulator on the simulated bus: create with its
// sync step, sharing, reset, destroy.
#include <gtest/gtest.h>

#include "UsbTestSupport.h"

using linktest::kModule;
using linktest::kSerial;
using linktest::LinkHold;
using linktest::readSerialNumber;
using linktest::waitForStatus;
using usbtest::Bus;

namespace {

TEST(UsbLink, CreateSyncsWithTheDeviceAndTalks) {
  Bus bus({});
  size_t from = bus.sim().mark();
  LinkHold hold(aLink_CreateUSB(kSerial));
  ASSERT_NE(hold.get(), 0);
  EXPECT_EQ(aLink_GetStatus(hold), kLinkRunning);
  EXPECT_GE(bus.sim().waitFor("rx AD 00", from), 0);
  EXPECT_EQ(readSerialNumber(hold), kSerial);
  // The device's heartbeats are answered by the link.
  EXPECT_GE(bus.sim().waitFor("hb-ok", from), 0);
}

TEST(UsbLink, SameSerialNumberSharesOneLinkUntilTheLastHolderGoes) {
  Bus bus({"--heartbeat", "0"});
  int32_t first = aLink_CreateUSB(kSerial);
  ASSERT_NE(first, 0);
  int32_t second = aLink_CreateUSB(kSerial);
  EXPECT_EQ(second, first);
  ASSERT_GE(bus.sim().waitFor("usb-open 40F5849A in"), 0);
  EXPECT_EQ(bus.sim().count("usb-open 40F5849A in"), 1u);
  int32_t keep = first;
  EXPECT_EQ(aLink_Destroy(&first), aErrNone);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(aLink_GetStatus(keep), kLinkRunning);
  EXPECT_EQ(readSerialNumber(keep), kSerial);
  size_t from = bus.sim().mark();
  EXPECT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_EQ(aLink_GetStatus(keep), kLinkNoStream);
  EXPECT_GE(bus.sim().waitFor("usb-close 40F5849A in", from), 0);
  EXPECT_EQ(aLink_Destroy(&keep), aErrParam);
}

TEST(UsbLink, ServedLinkIsNotShared) {
  Bus bus({"--heartbeat", "0"});
  LinkHold hold(aLink_CreateUSB(kSerial));
  ASSERT_NE(hold.get(), 0);
  linkEntry* entry = sLookupEntryByID(hold);
  ASSERT_NE(entry, nullptr);
  int marker = 0;
  entry->server = &marker;
  EXPECT_EQ(aLink_CreateUSB(kSerial), 0);
  EXPECT_EQ(entry->use_count, 1);
  entry->server = nullptr;
}

TEST(UsbLink, FailedCreatesLeaveNoEntry) {
  struct Case {
    const char* what;
    std::vector<std::string> simArgs;
    uint32_t serial;
    bool opened;  // the device was opened before the create gave up
  };
  const Case cases[] = {
      {"no such device", {}, 0x0BADF00D, false},
      {"device never answers the sync", {"--silent"}, kSerial, true},
      {"device interface unusable", {"--usb-isochronous"}, kSerial, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bus bus(c.simArgs);
    size_t from = bus.sim().mark();
    EXPECT_EQ(aLink_CreateUSB(c.serial), 0);
    EXPECT_EQ(sLookupEntryByIdent(static_cast<int32_t>(c.serial), USB), nullptr);
    // The device is let go: nothing holds it open.
    if (c.opened) {
      EXPECT_GE(bus.sim().waitFor("usb-close 40F5849A in", from), 0);
      EXPECT_GE(bus.sim().waitFor("usb-close 40F5849A out", from), 0);
    } else {
      EXPECT_EQ(bus.sim().count("usb-open", from), 0u);
    }
  }
}

TEST(UsbLink, ResetOpensTheDeviceAgainAndRunsAfresh) {
  Bus bus({"--heartbeat", "0"});
  LinkHold hold(aLink_CreateUSB(kSerial));
  ASSERT_NE(hold.get(), 0);
  ASSERT_EQ(aLink_InstallUserPacketFilter(hold, [](const aPacket*, void*) -> uint8_t { return 1; }, nullptr),
            aErrNone);
  size_t from = bus.sim().mark();
  EXPECT_EQ(aLink_Reset(hold), aErrNone);
  EXPECT_GE(bus.sim().waitFor("usb-open 40F5849A in", from), 0);
  EXPECT_TRUE(waitForStatus(hold, kLinkRunning));
  // The filter that took every packet is gone with the reset.
  EXPECT_EQ(readSerialNumber(hold), kSerial);
}

TEST(UsbLink, UnpluggedDeviceMovesTheLinkToIOErrorAndResetFindsNothing) {
  Bus bus({"--heartbeat", "0"});
  LinkHold hold(aLink_CreateUSB(kSerial));
  ASSERT_NE(hold.get(), 0);
  bus.unplug(kSerial);
  EXPECT_TRUE(waitForStatus(hold, kLinkIOError));
  // No device to open: the link starts without a stream and says so.
  aLink_Reset(hold);
  EXPECT_TRUE(waitForStatus(hold, kLinkIOError));
  EXPECT_EQ(bus.sim().count("usb-open 40F5849A in"), 1u);
}

TEST(UsbLink, DevicesOnOneBusGetLinksOfTheirOwn) {
  Bus bus({"--usb-device", "1234ABCD", "--heartbeat", "0"});
  LinkHold a(aLink_CreateUSB(kSerial));
  LinkHold b(aLink_CreateUSB(0x1234ABCD));
  ASSERT_NE(a.get(), 0);
  ASSERT_NE(b.get(), 0);
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(readSerialNumber(a, 50, kModule), kSerial);
  EXPECT_EQ(readSerialNumber(b, 50, kModule), 0x1234ABCDu);
}

}  // namespace
