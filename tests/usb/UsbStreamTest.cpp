// The USB stream against the simulated bus, and the libusb backend on a machine
// without CoreLatch devices.
#include <gtest/gtest.h>

#include "UsbTestSupport.h"
#include "aUSB.h"

using linktest::kSerial;
using usbtest::Bus;

namespace {

struct StreamHold {
  aStream* stream = nullptr;
  ~StreamHold() {
    if (stream) aStream_Destroy(&stream);
  }
};

const std::vector<uint8_t> kSerialRequest = {0x06, 0x03, 0x03, 0x49, 0x20};

std::vector<uint8_t> serialReply(uint32_t serial) {
  return {0x06, 0x07, 0x03, 0x09, 0x00, uint8_t(serial >> 24), uint8_t(serial >> 16), uint8_t(serial >> 8),
          uint8_t(serial)};
}

// Reads until the bytes of the serial-number reply have come, bounded.
bool readSerialReply(aStream* s, uint32_t serial) {
  std::vector<uint8_t> want = serialReply(serial);
  std::vector<uint8_t> got;
  for (int i = 0; i < 200; ++i) {
    uint8_t b = 0;
    aErr err = aStream_Read(s, &b, 1);
    if (err == aErrNotReady) continue;
    if (err != aErrNone) return false;
    got.push_back(b);
    if (got.size() >= want.size() && std::equal(want.begin(), want.end(), got.end() - want.size())) return true;
  }
  return false;
}

TEST(UsbStream, OpensBySerialNumberAndMovesBytesBothWays) {
  Bus bus({"--heartbeat", "0"});
  StreamHold h;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &h.stream), aErrNone);
  ASSERT_NE(h.stream, nullptr);
  EXPECT_GE(bus.sim().waitFor("usb-open 40F5849A in"), 0);
  ASSERT_EQ(aStream_Write(h.stream, kSerialRequest.data(), kSerialRequest.size()), aErrNone);
  EXPECT_TRUE(readSerialReply(h.stream, kSerial));
}

TEST(UsbStream, RefusesWhatItCannotOpen) {
  Bus bus({"--heartbeat", "0"});
  aStream* s = reinterpret_cast<aStream*>(1);
  EXPECT_EQ(aStream_CreateUSB(0x12345678, &s), aErrNotFound);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(aStream_CreateUSB(kSerial, nullptr), aErrParam);

  // One holder at a time; the device is free again once the holder lets go.
  StreamHold first;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &first.stream), aErrNone);
  aStream* second = nullptr;
  EXPECT_EQ(aStream_CreateUSB(kSerial, &second), aErrBusy);
  EXPECT_EQ(second, nullptr);
  size_t from = bus.sim().mark();
  aStream_Destroy(&first.stream);
  ASSERT_GE(bus.sim().waitFor("usb-close 40F5849A out", from), 0);
  ASSERT_GE(bus.sim().waitFor("usb-close 40F5849A in", from), 0);
  EXPECT_EQ(aStream_CreateUSB(kSerial, &second), aErrNone);
  aStream_Destroy(&second);
}

TEST(UsbStream, InterfaceWithIsochronousEndpointIsRefused) {
  Bus bus({"--usb-isochronous"});
  aStream* s = nullptr;
  EXPECT_EQ(aStream_CreateUSB(kSerial, &s), aErrInitialization);
  EXPECT_EQ(s, nullptr);
}

TEST(UsbStream, ReadOfASilentDeviceAnswersNotReady) {
  Bus bus({"--silent"});
  StreamHold h;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &h.stream), aErrNone);
  uint8_t b = 0x5A;
  EXPECT_EQ(aStream_Read(h.stream, &b, 1), aErrNotReady);
  EXPECT_EQ(b, 0x5A);
}

TEST(UsbStream, EmptyInPacketHandsOutNoByte) {
  Bus bus({"--usb-empty-packets", "--heartbeat", "0"});
  StreamHold h;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &h.stream), aErrNone);
  ASSERT_EQ(aStream_Write(h.stream, kSerialRequest.data(), kSerialRequest.size()), aErrNone);
  // The empty packet comes first; it hands out no byte, so the first byte read
  // is the first of the reply.
  uint8_t b = 0x5A;
  aErr err = aErrNotReady;
  for (int i = 0; i < 10 && err == aErrNotReady; ++i) err = aStream_Read(h.stream, &b, 1);
  ASSERT_EQ(err, aErrNone);
  std::vector<uint8_t> got{b};
  for (int i = 0; i < 20 && got.size() < 9; ++i) {
    err = aStream_Read(h.stream, &b, 1);
    if (err == aErrNone) got.push_back(b);
  }
  EXPECT_EQ(got, serialReply(kSerial));
}

// The OUT transfers a write makes, as the device saw them.
std::vector<std::string> outTransfers(linktest::Sim& sim, size_t from) {
  std::vector<std::string> out;
  std::vector<std::string> lines = sim.proc().lines();
  for (size_t i = from; i < lines.size(); ++i)
    if (lines[i].rfind("usb-out ", 0) == 0) out.push_back(lines[i].substr(8));
  return out;
}

TEST(UsbStream, WritesGoOutInMaxPacketPieces) {
  struct Case {
    const char* maxPacket;
    uint32_t bytes;
    std::vector<std::string> transfers;
  };
  const Case cases[] = {
      {"512", 1100, {"511 taken 511", "511 taken 511", "78 taken 78"}},
      {"64", 130, {"64 taken 64", "64 taken 64", "2 taken 2"}},
      {"64", 30, {"30 taken 30"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.maxPacket) + " / " + std::to_string(c.bytes));
    Bus bus({"--usb-max-packet", c.maxPacket, "--heartbeat", "0"});
    StreamHold h;
    ASSERT_EQ(aStream_CreateUSB(kSerial, &h.stream), aErrNone);
    // Zeros: bytes the device skips as no packet.
    std::vector<uint8_t> data(c.bytes, 0);
    size_t from = bus.sim().mark();
    ASSERT_EQ(aStream_Write(h.stream, data.data(), c.bytes), aErrNone);
    std::string last = "usb-out " + c.transfers.back();
    ASSERT_GE(bus.sim().waitFor(last, from + c.transfers.size() - 1), 0);
    EXPECT_EQ(outTransfers(bus.sim(), from), c.transfers);
  }
}

TEST(UsbStream, PartlyTakenPiecesGoOnWithTheRestOnly) {
  Bus bus({"--usb-out-limit", "2", "--heartbeat", "0"});
  StreamHold h;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &h.stream), aErrNone);
  size_t from = bus.sim().mark();
  ASSERT_EQ(aStream_Write(h.stream, kSerialRequest.data(), kSerialRequest.size()), aErrNone);
  // Had a piece been sent again whole, the device would have seen bytes twice.
  EXPECT_TRUE(readSerialReply(h.stream, kSerial));
  ASSERT_GE(bus.sim().waitFor("rx 06 03 03 49 20", from), 0);
  EXPECT_EQ(bus.sim().count("rx 06 03 03 49 20", from), 1u);
  EXPECT_EQ(outTransfers(bus.sim(), from),
            (std::vector<std::string>{"5 taken 2", "3 taken 2", "1 taken 1"}));
}

TEST(UsbStream, DeviceThatTakesNothingFailsTheWriteAfterTenAttempts) {
  Bus bus({"--usb-out-limit", "0", "--heartbeat", "0"});
  StreamHold h;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &h.stream), aErrNone);
  size_t from = bus.sim().mark();
  EXPECT_EQ(aStream_Write(h.stream, kSerialRequest.data(), kSerialRequest.size()), aErrWrite);
  // Every attempt was traced before it was answered; the tenth is the last.
  int tenth = -1;
  for (size_t at = from, i = 0; i < 10; ++i, at = static_cast<size_t>(tenth) + 1)
    ASSERT_GE(tenth = bus.sim().waitFor("usb-out 5 taken 0", at), 0);
  EXPECT_EQ(outTransfers(bus.sim(), from).size(), 10u);
}

TEST(UsbStream, UnpluggedDeviceFailsReadsAndWrites) {
  Bus bus({"--heartbeat", "0"});
  StreamHold h;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &h.stream), aErrNone);
  bus.unplug(kSerial);
  uint8_t b = 0;
  EXPECT_EQ(aStream_Read(h.stream, &b, 1), aErrIO);
  EXPECT_EQ(aStream_Write(h.stream, kSerialRequest.data(), kSerialRequest.size()), aErrIO);
  aStream* again = nullptr;
  EXPECT_EQ(aStream_CreateUSB(kSerial, &again), aErrNotFound);
}

TEST(UsbStream, BusListsEveryDeviceWithItsSerialNumber) {
  Bus bus({"--usb-device", "1234ABCD", "--usb-device", "00000007"});
  aUSBDeviceInfo found[4];
  uint32_t count = 0;
  ASSERT_EQ(aUSB_Ops()->list(found, 4, &count), aErrNone);
  ASSERT_EQ(count, 3u);
  EXPECT_STREQ(found[0].serialText, "40F5849A");
  EXPECT_STREQ(found[1].serialText, "1234ABCD");
  EXPECT_STREQ(found[2].serialText, "00000007");
  bus.unplug(0x1234ABCD);
  ASSERT_EQ(aUSB_Ops()->list(found, 1, &count), aErrNone);
  EXPECT_EQ(count, 2u);
  EXPECT_STREQ(found[0].serialText, "40F5849A");
}

TEST(UsbStream, LibusbFindsNoCoreLatchDeviceHere) {
  unsetenv("CORELATCH_USB_BUS");
  EXPECT_EQ(aUSB_Ops(), aUSB_LibusbOps());
  aUSBDeviceInfo found[4];
  uint32_t count = 99;
  EXPECT_EQ(aUSB_LibusbOps()->list(found, 4, &count), aErrNone);
  EXPECT_EQ(count, 0u);
  aStream* s = reinterpret_cast<aStream*>(1);
  EXPECT_EQ(aStream_CreateUSB(0x40F5849A, &s), aErrNotFound);
  EXPECT_EQ(s, nullptr);
}

}  // namespace
