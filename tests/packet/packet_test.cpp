#include "aPacket.h"
#include "aPacketFifo.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct PacketDeleter {
  void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

Bytes wireOf(const aPacket* p) {
  uint8_t buf[64];
  uint32_t len = 0;
  EXPECT_EQ(aPacket_GetBytes(p, buf, sizeof buf, &len), aErrNone);
  return Bytes(buf, buf + len);
}

struct AddCase {
  const char* name;
  Bytes bytes;
  std::vector<aErr> results;
  bool complete;
  uint8_t address, dataSize, collected;
};

// Table rows print as their names in test listings.
void PrintTo(const AddCase& c, std::ostream* os) { *os << c.name; }

class AddByte : public ::testing::TestWithParam<AddCase> {};

TEST_P(AddByte, FollowsTheAssemblyRules) {
  const AddCase& c = GetParam();
  PacketPtr p(aPacket_Create());
  ASSERT_TRUE(p);
  ASSERT_EQ(c.bytes.size(), c.results.size());
  for (size_t i = 0; i < c.bytes.size(); i++)
    EXPECT_EQ(aPacket_AddByte(p.get(), c.bytes[i]), c.results[i]) << "byte " << i;
  EXPECT_EQ(aPacket_IsComplete(p.get()), c.complete);
  EXPECT_EQ(p->address, c.address);
  EXPECT_EQ(p->dataSize, c.dataSize);
  EXPECT_EQ(p->collected, c.collected);
}

Bytes full28(uint8_t extra = 0) {
  Bytes b{0x06, 28};
  for (int i = 0; i < 28; i++)
    b.push_back(static_cast<uint8_t>(i + 1));
  for (int i = 0; i < extra; i++)
    b.push_back(0x55);
  return b;
}

std::vector<aErr> oks(size_t n, std::vector<aErr> tail = {}) {
  std::vector<aErr> r(n, aErrNone);
  r.insert(r.end(), tail.begin(), tail.end());
  return r;
}

INSTANTIATE_TEST_SUITE_P(
    Packets, AddByte,
    ::testing::Values(
        AddCase{"ZeroLength", {0x06, 0x00}, oks(2), true, 6, 0, 2},
        AddCase{"Oversize", {0x06, 0x1D}, {aErrNone, aErrPacket}, false, 6, 29, 2},
        AddCase{"ZeroAddress", {0x00}, {aErrPacket}, false, 0, 0, 1},
        AddCase{"ThreeDataBytes", {0x08, 0x03, 0x10, 0x20, 0x30}, oks(5), true, 8, 3, 5},
        AddCase{"BeyondSize", {0x06, 0x02, 0x00, 0x01, 0x05}, oks(4, {aErrPacket}), false, 6, 2, 5},
        AddCase{"Full", full28(), oks(30), true, 6, 28, 30},
        AddCase{"ThirtyFirstByte", full28(1), oks(30, {aErrOverrun}), false, 6, 28, 31},
        // A receiver that keeps adding after an overrun must not wrap the count.
        AddCase{"KeepsAddingAfterOverrun", full28(250), oks(30, std::vector<aErr>(250, aErrOverrun)), false, 6, 28,
                31}),
    [](const ::testing::TestParamInfo<AddCase>& info) { return info.param.name; });

TEST(Packet, OversizeSizeByteNeverReadsPastTheData) {
  PacketPtr p(aPacket_Create());
  Bytes b{0x06, 0x1D};
  for (int i = 0; i < 28; i++)
    b.push_back(0x11);
  for (uint8_t x : b)
    aPacket_AddByte(p.get(), x);
  uint8_t buf[64] = {};
  uint32_t len = 99;
  EXPECT_EQ(aPacket_GetBytes(p.get(), buf, sizeof buf, &len), aErrPacket);
  EXPECT_EQ(len, 99u);
  EXPECT_EQ(aPacket_Copy(p.get()), nullptr);
}

TEST(Packet, GetBytesNeedsRoomForTheWholePacket) {
  const uint8_t data[3] = {1, 2, 3};
  PacketPtr p(aPacket_CreateWithData(0x06, 3, data));
  uint8_t small[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  uint32_t len = 0;
  EXPECT_EQ(aPacket_GetBytes(p.get(), small, sizeof small, &len), aErrOverrun);
  EXPECT_EQ(Bytes(small, small + 4), Bytes(4, 0xEE));
  uint8_t five[5];
  EXPECT_EQ(aPacket_GetBytes(p.get(), five, sizeof five, &len), aErrNone);
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(Bytes(five, five + 5), (Bytes{0x06, 3, 1, 2, 3}));
  EXPECT_EQ(aPacket_GetBytes(p.get(), five, sizeof five, nullptr), aErrNone);
  EXPECT_EQ(aPacket_GetBytes(p.get(), nullptr, 5, &len), aErrParam);
  EXPECT_EQ(aPacket_GetBytes(nullptr, five, 5, &len), aErrParam);
}

struct GetterCase {
  const char* name;
  aErr (*getter)(const aPacket*, uint8_t*);
  uint8_t needed;  // data bytes needed
  uint8_t expected;
};

TEST(Packet, GettersMaskAndCheckLengths) {
  const uint8_t data[3] = {0xC7, 0xFF, 0xFF};
  const GetterCase cases[] = {
      {"cmd", aPacket_GetCmd, 1, 0xC7}, {"option", aPacket_GetOption, 2, 0x3F}, {"index", aPacket_GetIndex, 3, 0x1F}};
  aPacket bad{};
  for (const GetterCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (uint8_t size = 0; size <= 3; size++) {
      PacketPtr p(aPacket_CreateWithData(0x06, size, data));
      uint8_t out = 0;
      EXPECT_EQ(c.getter(p.get(), &out), size >= c.needed ? aErrNone : aErrPacket) << int(size);
      if (size >= c.needed) {
        EXPECT_EQ(out, c.expected);
      }
      EXPECT_EQ(c.getter(p.get(), nullptr), aErrParam);
    }
    uint8_t out = 0;
    EXPECT_EQ(c.getter(&bad, &out), aErrPacket);
    EXPECT_EQ(c.getter(nullptr, &out), aErrPacket);
    EXPECT_EQ(c.getter(&bad, nullptr), aErrParam);
  }
}

TEST(Packet, CreateCopyResetDestroy) {
  const uint8_t data[29] = {9};
  EXPECT_EQ(aPacket_CreateWithData(6, 29, data), nullptr);
  EXPECT_EQ(aPacket_CreateWithData(6, 1, nullptr), nullptr);
  PacketPtr empty(aPacket_CreateWithData(6, 0, data));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(aPacket_IsComplete(empty.get()));
  EXPECT_EQ(wireOf(empty.get()), (Bytes{6, 0}));

  PacketPtr fresh(aPacket_Create());
  EXPECT_TRUE(aVALIDPACKET(fresh.get()));
  EXPECT_FALSE(aPacket_IsComplete(fresh.get()));
  EXPECT_EQ(fresh->collected + fresh->address + fresh->dataSize, 0);

  PacketPtr orig(aPacket_CreateWithData(8, 28, data));
  PacketPtr copy(aPacket_Copy(orig.get()));
  ASSERT_TRUE(copy);
  EXPECT_NE(copy.get(), orig.get());
  EXPECT_EQ(wireOf(copy.get()), wireOf(orig.get()));
  EXPECT_TRUE(aPacket_IsComplete(copy.get()));

  EXPECT_EQ(aPacket_Reset(copy.get()), aErrNone);
  EXPECT_TRUE(aVALIDPACKET(copy.get()));
  EXPECT_EQ(wireOf(copy.get()), (Bytes{0, 0}));
  EXPECT_EQ(copy->collected, 0);

  aPacket invalid{};
  EXPECT_FALSE(aVALIDPACKET(&invalid));
  EXPECT_FALSE(aVALIDPACKET(nullptr));
  EXPECT_EQ(aPacket_Copy(&invalid), nullptr);
  EXPECT_EQ(aPacket_Reset(&invalid), aErrParam);
  EXPECT_EQ(aPacket_AddByte(&invalid, 6), aErrParam);
  EXPECT_EQ(invalid.collected, 0);

  aPacket* raw = aPacket_Create();
  EXPECT_EQ(aPacket_Destroy(&raw), aErrNone);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(aPacket_Destroy(&raw), aErrParam);
  EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

// The receive side: a FIFO stands in for the link's outgoing queue.
class Sync : public ::testing::Test {
 protected:
  void SetUp() override {
    out = aPacketFifo_Create();
    ASSERT_NE(out, 0u);
    partial.reset(aPacket_Create());
  }
  void TearDown() override { aPacketFifo_Destroy(&out); }

  // Drains the outgoing queue; answers how many cmdSYNC packets it held (and
  // fails on anything else).
  int syncsSent() {
    int n = 0;
    while (aPacket* p = aPacketFifo_Get(out)) {
      EXPECT_EQ(wireOf(p), (Bytes{cmdSYNC, 0}));
      aPacket_Destroy(&p);
      n++;
    }
    return n;
  }

  uint64_t out = 0;
  PacketPtr partial;
  int32_t state = kSyncStateIdle;
  uint8_t saved = 1;
};

TEST_F(Sync, StartQueuesSixRequestsAndResetsThePartialPacket) {
  aPacket_AddByte(partial.get(), 0x06);
  EXPECT_EQ(aPacket_SyncStart(&state, partial.get(), out), aErrNone);
  EXPECT_EQ(state, kSyncStateByte1);
  EXPECT_EQ(partial->collected, 0);
  EXPECT_EQ(partial->address, 0);
  EXPECT_EQ(syncsSent(), 6);
}

TEST_F(Sync, StartWithoutAQueueStaysInStart) {
  EXPECT_NE(aPacket_SyncStart(&state, partial.get(), 0), aErrNone);
  EXPECT_EQ(state, kSyncStateStart);
}

struct SyncCase {
  const char* name;
  int32_t from;
  Bytes bytes;
  int32_t state;   // after the last byte
  bool done;       // last byte ended the sync
  int syncs;       // cmdSYNC packets queued on the way
};

// Table rows print as their names in test listings.
void PrintTo(const SyncCase& c, std::ostream* os) { *os << c.name; }

class SyncMachine : public Sync, public ::testing::WithParamInterface<SyncCase> {};

TEST_P(SyncMachine, Transitions) {
  const SyncCase& c = GetParam();
  state = c.from;
  aSyncOutcome last = aSyncPending;
  for (uint8_t b : c.bytes)
    last = aPacket_SyncByte(&state, &saved, b, partial.get(), out);
  EXPECT_EQ(state, c.state);
  EXPECT_EQ(last == aSyncDone, c.done);
  EXPECT_EQ(syncsSent(), c.syncs);
}

INSTANTIATE_TEST_SUITE_P(
    Packets, SyncMachine,
    ::testing::Values(SyncCase{"TwoEmptyPacketsFromOneAddress", kSyncStateByte1, {6, 0, 6, 0}, kSyncStateIdle, true, 0},
                      SyncCase{"OtherAddressFallsBackToStart", kSyncStateByte1, {6, 0, 8}, kSyncStateStart, false, 0},
                      SyncCase{"ByteAfterMismatchResends", kSyncStateByte1, {6, 0, 8, 0x42}, kSyncStateByte1, false, 6},
                      SyncCase{"OddAddressResendsAtOnce", kSyncStateByte1, {7}, kSyncStateByte1, false, 6},
                      SyncCase{"ZeroAddressResendsAtOnce", kSyncStateByte1, {0}, kSyncStateByte1, false, 6},
                      SyncCase{"NonZeroSizeFallsBack", kSyncStateByte1, {6, 5}, kSyncStateStart, false, 0},
                      SyncCase{"NonZeroSecondSizeFallsBack", kSyncStateByte1, {6, 0, 6, 1}, kSyncStateStart, false, 0},
                      SyncCase{"IdleStartsASync", kSyncStateIdle, {6}, kSyncStateByte1, false, 6},
                      SyncCase{"StartStartsASync", kSyncStateStart, {0}, kSyncStateByte1, false, 6},
                      SyncCase{"ResyncThenDone", kSyncStateByte1, {6, 0, 8, 9, 8, 0, 8, 0}, kSyncStateIdle, true, 6}),
    [](const ::testing::TestParamInfo<SyncCase>& info) { return info.param.name; });

struct HeartbeatCase {
  const char* name;
  Bytes packet;
  bool consumed;
  Bytes reply;
};

// Table rows print as their names in test listings.
void PrintTo(const HeartbeatCase& c, std::ostream* os) { *os << c.name; }

class Heartbeat : public Sync, public ::testing::WithParamInterface<HeartbeatCase> {};

TEST_P(Heartbeat, IsAnsweredAndConsumed) {
  const HeartbeatCase& c = GetParam();
  PacketPtr p(aPacket_CreateWithData(c.packet[0], static_cast<uint8_t>(c.packet.size() - 2), c.packet.data() + 2));
  EXPECT_EQ(aPacket_HandleHeartbeat(p.get(), out), c.consumed);
  aPacket* reply = aPacketFifo_Get(out);
  if (c.reply.empty()) {
    EXPECT_EQ(reply, nullptr);
  } else {
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(wireOf(reply), c.reply);
  }
  aPacket_Destroy(&reply);
  EXPECT_EQ(aPacketFifo_GetLength(out), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Packets, Heartbeat,
    ::testing::Values(HeartbeatCase{"One", {6, 2, 0, 1}, true, {6, 2, 0, 3}},
                      HeartbeatCase{"Zero", {8, 2, 0, 0}, true, {8, 2, 0, 2}},
                      HeartbeatCase{"Wraps", {6, 2, 0, 0xFF}, true, {6, 2, 0, 1}},
                      HeartbeatCase{"OtherCommand", {6, 2, 1, 1}, false, {}},
                      HeartbeatCase{"OneDataByte", {6, 1, 0}, false, {}},
                      HeartbeatCase{"ThreeDataBytes", {6, 3, 0, 1, 2}, false, {}}),
    [](const ::testing::TestParamInfo<HeartbeatCase>& info) { return info.param.name; });

}  // namespace
