// Engine behaviour that needs exact control of the transport: an in-process
// stream whose reads and writes the test drives.
#include <algorithm>
#include <thread>

#include "LinkTestSupport.h"

using namespace linktest;

namespace {

std::vector<uint8_t> concat(const std::vector<std::vector<uint8_t>>& writes, size_t from) {
  std::vector<uint8_t> all;
  for (size_t i = from; i < writes.size(); ++i) all.insert(all.end(), writes[i].begin(), writes[i].end());
  return all;
}

TEST(LinkEngine, PooledWritesGatherUpTo136FullPacketsPerWrite) {
  FakeTransport t;
  t.hold = true;
  LinkHold hold(aLink_Create(t.stream()));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  // The route packet's write is held, so everything below piles up in the queue.
  ASSERT_TRUE(t.waitForWriter());
  ASSERT_EQ(aLink_EnablePooledPackets(id, 1), aErrNone);
  std::vector<uint8_t> expected;
  for (int i = 0; i < 200; ++i) {
    std::vector<uint8_t> data(28, static_cast<uint8_t>(i));
    ASSERT_EQ(put(id, kModule, data), aErrNone);
    expected.push_back(kModule);
    expected.push_back(28);
    expected.insert(expected.end(), data.begin(), data.end());
  }
  t.release();
  // A stop drains the queue one packet per write, so the link stays up until the
  // pooled passes have sent everything.
  for (int i = 0; i < 1000 && concat(t.written(), 1).size() < expected.size(); ++i) aTime_MSSleep(10);
  aLink_Destroy(&id);

  auto writes = t.written();
  ASSERT_GE(writes.size(), 4u);
  EXPECT_EQ(writes[0], (std::vector<uint8_t>{0xAF, 0x01, 0x01}));
  EXPECT_EQ(writes[1].size(), 136u * 30);
  EXPECT_EQ(writes[2].size(), 64u * 30);
  std::vector<uint8_t> sent = concat(writes, 1);
  sent.resize(expected.size());
  EXPECT_EQ(sent, expected);
  EXPECT_EQ(writes.back(), (std::vector<uint8_t>{0xAF, 0x01, 0x00}));
}

TEST(LinkEngine, PutPacketSendsACopyAndStopDrainsTheQueueLast) {
  FakeTransport t;
  t.hold = true;
  LinkHold hold(aLink_Create(t.stream()));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  ASSERT_TRUE(t.waitForWriter());
  aPacket* p = aPacket_CreateWithData(kModule, 2, std::vector<uint8_t>{0x17, 0x42}.data());
  ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
  aPacket_Destroy(&p);
  EXPECT_EQ(aLink_Start(id), aErrNone);  // running already: no second route packet
  t.release();
  aLink_Destroy(&id);
  auto writes = t.written();
  std::vector<std::vector<uint8_t>> expected{{0xAF, 0x01, 0x01}, {kModule, 0x02, 0x17, 0x42}, {0xAF, 0x01, 0x00}};
  EXPECT_EQ(writes, expected);
}

TEST(LinkEngine, SyncAfterAnOddAddressAndHeartbeatAnswer) {
  FakeTransport t;
  LinkHold hold(aLink_Create(t.stream()));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  t.feed({0x07});  // no device sends from an odd address: boundaries are lost
  ASSERT_TRUE(waitForStatus(id, kLinkSyncing));
  t.feed({0x06, 0x00, 0x06, 0x00});
  ASSERT_TRUE(waitForStatus(id, kLinkRunning));
  t.feed({0x06, 0x02, 0x00, 0x01, 0x06, 0x01, 0x55});
  aPacket* reply = aLink_AwaitPacket(id, 5000);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->dataSize, 1);
  EXPECT_EQ(reply->data[0], 0x55);
  aPacket_Destroy(&reply);
  aLink_Destroy(&id);

  auto sent = concat(t.written(), 0);
  std::vector<uint8_t> syncs;
  for (int i = 0; i < 6; ++i) syncs.insert(syncs.end(), {0xAD, 0x00});
  EXPECT_NE(std::search(sent.begin(), sent.end(), syncs.begin(), syncs.end()), sent.end());
  std::vector<uint8_t> answer{0x06, 0x02, 0x00, 0x03};
  EXPECT_NE(std::search(sent.begin(), sent.end(), answer.begin(), answer.end()), sent.end());
}

uint8_t any(const aPacket*, void*) { return 1; }

TEST(LinkEngine, AwaitFirstOnALinkThatIsNotRunningAnswersAtOnce) {
  FakeTransport failing;
  failing.emptyRead = aErrIO;  // every read fails: the link reports an I/O error
  LinkHold brokenHold(aLink_Create(failing.stream()));
  int32_t broken = brokenHold;
  ASSERT_NE(broken, 0);
  ASSERT_TRUE(waitForStatus(broken, kLinkIOError));

  FakeTransport quiet;
  LinkHold stoppedHold(aLink_Create(quiet.stream()));
  int32_t stopped = stoppedHold;
  ASSERT_NE(stopped, 0);
  ASSERT_EQ(aLink_Stop(sLookupLinkByID(stopped)), aErrNone);
  ASSERT_EQ(aLink_GetStatus(stopped), kLinkStopped);

  for (int32_t id : {broken, stopped}) {
    // A packet is waiting, yet the await must not wait (the bound is longer than
    // the test's own time limit) and must not take it.
    aPacket* p = aPacket_CreateWithData(kModule, 0, reinterpret_cast<const uint8_t*>(""));
    ASSERT_EQ(aPacketFifo_Put(sLookupLinkByID(id)->inFifo, p), aErrNone);
    aPacket_Destroy(&p);
    EXPECT_EQ(aLink_AwaitFirst(id, any, nullptr, 600000), nullptr);
    aPacket* still = aLink_GetFirst(id, any, nullptr);
    EXPECT_NE(still, nullptr);
    aPacket_Destroy(&still);
  }
}

TEST(LinkEngine, PacketLogEntriesHoldTheWireBytes) {
  FakeTransport t;
  t.hold = true;  // the start's route packet waits, so the log starts empty
  LinkHold hold(aLink_Create(t.stream()));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  ASSERT_TRUE(t.waitForWriter());
  EXPECT_EQ(aLink_PacketDebug_Read(id, nullptr, nullptr, nullptr), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, aLINK_MAX_LOG_SIZE + 1), aErrParam);
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 1024), aErrBusy);
  {
    uint8_t type = 0, buf[64];
    uint32_t len = sizeof buf;
    EXPECT_EQ(aLink_PacketDebug_Read(id, &type, &len, buf), aErrNotFound);
  }
  t.release();
  const uint8_t text[] = "START";
  ASSERT_EQ(aLink_PacketDebug_Write(id, aPACKETLOG_TEXT, sizeof text, text), aErrNone);
  ASSERT_EQ(put(id, kModule, {0x17, 0x01}), aErrNone);
  t.feed({0x06, 0x02, 0x17, 0x01});
  aPacket* reply = aLink_AwaitPacket(id, 5000);
  ASSERT_NE(reply, nullptr);
  aPacket_Destroy(&reply);

  // The route packet of the start may or may not come before the log was on.
  bool sawText = false, sawOut = false, sawIn = false;
  for (int i = 0; i < 500 && !(sawText && sawOut && sawIn); ++i) {
    uint8_t type = 0, buf[64];
    uint32_t len = sizeof buf;
    aErr err = aLink_PacketDebug_Read(id, &type, &len, buf);
    if (err == aErrNotFound) {
      aTime_MSSleep(10);
      continue;
    }
    ASSERT_EQ(err, aErrNone);
    std::vector<uint8_t> bytes(buf, buf + len);
    sawText |= type == aPACKETLOG_TEXT && bytes == std::vector<uint8_t>(text, text + sizeof text);
    sawOut |= type == aPACKETLOG_OUT && bytes == std::vector<uint8_t>{kModule, 0x02, 0x17, 0x01};
    sawIn |= type == aPACKETLOG_IN && bytes == std::vector<uint8_t>{0x06, 0x02, 0x17, 0x01};
  }
  EXPECT_TRUE(sawText);
  EXPECT_TRUE(sawOut);
  EXPECT_TRUE(sawIn);

  // A small buffer keeps the entry and tells the size it needs.
  for (uint8_t type = 0, buf[64]; ;) {
    uint32_t len = sizeof buf;
    if (aLink_PacketDebug_Read(id, &type, &len, buf) == aErrNotFound) break;
  }
  ASSERT_EQ(aLink_PacketDebug_Write(id, aPACKETLOG_TEXT, 5, text), aErrNone);
  uint8_t small[2], type = 0;
  uint32_t len = sizeof small;
  EXPECT_EQ(aLink_PacketDebug_Read(id, &type, &len, small), aErrOverrun);
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNone);
}

TEST(LinkEngine, UnknownIdsAnswerWithoutEffect) {
  const int32_t unknown = 0x7FFFFFF0;
  aPacket* p = aPacket_CreateWithData(kModule, 0, reinterpret_cast<const uint8_t*>(""));
  EXPECT_EQ(aLink_GetStatus(unknown), kLinkNoStream);
  EXPECT_EQ(aLink_PutPacket(unknown, p), aErrParam);
  EXPECT_EQ(aLink_GetPacket(unknown), nullptr);
  EXPECT_EQ(aLink_AwaitPacket(unknown, 10), nullptr);
  EXPECT_EQ(aLink_DrainPackets(unknown, any, nullptr), 0u);
  EXPECT_EQ(aLink_InstallUserPacketFilter(unknown, any, nullptr), aErrParam);
  EXPECT_EQ(aLink_EnablePooledPackets(unknown, 1), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Enable(unknown), aErrParam);
  EXPECT_EQ(aLink_Reset(unknown), aErrParam);
  int32_t id = unknown;
  EXPECT_EQ(aLink_Destroy(&id), aErrParam);
  EXPECT_EQ(id, 0);
  aPacket_Destroy(&p);
}

TEST(LinkEngine, LinkOverACallersStreamCannotBeResetToAStream) {
  FakeTransport t;
  LinkHold hold(aLink_Create(t.stream()));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  EXPECT_NE(aLink_Reset(id), aErrNone);
  EXPECT_NE(aLink_GetStatus(id), kLinkRunning);
}

TEST(LinkEngine, IdsAreNeverReused) {
  FakeTransport t1, t2;
  int32_t a = aLink_Create(t1.stream());
  ASSERT_NE(a, 0);
  int32_t kept = a;
  aLink_Destroy(&a);
  int32_t b = aLink_Create(t2.stream());
  EXPECT_GT(b, kept);
  aLink_Destroy(&b);
}

TEST(LinkEngine, TwoDestroysOfTheLastHolderTearTheLinkDownOnce) {
  for (int round = 0; round < 20; ++round) {
    FakeTransport t;
    int32_t id = aLink_Create(t.stream());
    ASSERT_NE(id, 0);
    std::atomic<int> ready{0};
    aErr results[2] = {aErrUnknown, aErrUnknown};
    auto destroy = [&](int which) {
      int32_t copy = id;
      ++ready;
      while (ready.load() < 2) {
      }
      results[which] = aLink_Destroy(&copy);
    };
    std::thread a(destroy, 0), b(destroy, 1);
    a.join();
    b.join();
    // One holder, so one destroy tears down and the other finds no link.
    EXPECT_EQ(std::count(results, results + 2, aErrNone), 1) << "round " << round;
    EXPECT_EQ(std::count(results, results + 2, aErrParam), 1) << "round " << round;
  }
}

TEST(LinkEngine, ResetOfALinkWhoseThreadWillNotEndKeepsTheStream) {
  FakeTransport t;
  LinkHold hold(aLink_Create(t.stream()));
  int32_t id = hold;
  ASSERT_NE(id, 0);
  ASSERT_TRUE(t.stallReader());
  // The receive thread hangs in its read past the stop's bound: its stream and
  // record must stay, and no new threads may start beside it.
  EXPECT_EQ(aLink_Reset(id), aErrBusy);
  aLink* link = sLookupLinkByID(id);
  ASSERT_NE(link, nullptr);
  EXPECT_NE(link->stream, nullptr);
  EXPECT_EQ(aLink_Start(id), aErrBusy);
  t.release();
  // Once the thread has ended, the destroy collects it and frees everything.
  id = hold.release();
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

TEST(LinkSpec, CreateCopyDestroy) {
  linkSpec* spec = aLinkSpec_Create(TCPIP);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->type, TCPIP);
  EXPECT_EQ(spec->ip_address, 0u);
  spec->serial_num = kSerial;
  spec->ip_port = 8000;
  linkSpec* copy = aLinkSpec_Copy(*spec);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(memcmp(copy, spec, sizeof(linkSpec)), 0);
  // Fixed layout: the port sits at byte 28, the address at byte 24.
  EXPECT_EQ(reinterpret_cast<uint8_t*>(copy)[28], 8000 & 0xFF);
  EXPECT_EQ(offsetof(linkSpec, ip_address), 24u);
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
  EXPECT_EQ(spec, nullptr);
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
  aLinkSpec_Destroy(&copy);
}

}  // namespace
