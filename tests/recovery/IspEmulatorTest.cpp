// The ISP client against the boot-loader emulator (corelatch-sim --isp) on a
// pseudo-terminal: the whole recovery dialogue, verified in the emulator's
// flash and RAM dumps, and the emulator's faults.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../firmware/TraceCapture.h"
#include "IspTestSupport.h"

using isptest::IspSim;

namespace {

constexpr uint32_t kRamBase = 0x10000000;

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    out[i] = static_cast<uint8_t>(seed >> 16);
  }
  return out;
}

std::string bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// Opened and synchronised.
void connect(NXPSerialClient& client, IspSim& sim) {
  ASSERT_EQ(client.open(sim.pty().c_str(), 115200), aErrNone);
  ASSERT_EQ(client.sync(), aErrNone);
  ASSERT_GE(sim.waitFor("synced 14746"), 0);
}

TEST(IspEmulator, RecoversFlashEndToEnd) {
  IspSim sim({"--uid", "11,2233,445566,778899AA"});
  ASSERT_EQ(sim.flash(), std::string(512 * 1024, '\x5A'));
  NXPSerialClient client;
  connect(client, sim);

  ASSERT_EQ(client.readSerialNumber(), aErrNone);
  EXPECT_EQ(client.serialNumber()[0], 0x11u);
  EXPECT_EQ(client.serialNumber()[1], 0x2233u);
  EXPECT_EQ(client.serialNumber()[2], 0x445566u);
  EXPECT_EQ(client.serialNumber()[3], 0x778899AAu);

  ASSERT_EQ(client.unlock(), aErrNone);
  ASSERT_EQ(client.prepareSectors(0, 29), aErrNone);
  ASSERT_EQ(client.eraseSectors(0, 29), aErrNone);
  EXPECT_EQ(sim.flash(), std::string(512 * 1024, '\xFF'));
  ASSERT_EQ(client.setEcho(false), aErrNone);
  ASSERT_GE(sim.waitFor("echo 0"), 0);

  // Two chunks as the recovery writes them: a full 4096 bytes in sectors 1 and
  // 2 (92 lines, five checksum groups) and 1000 bytes copied as 1024 into 16.
  struct Chunk {
    uint32_t flash;
    std::vector<uint8_t> data;
  } chunks[] = {{0x1000, pattern(4096, 1)}, {0x10000, pattern(1000, 2)}};
  for (const Chunk& c : chunks) {
    const uint32_t size = static_cast<uint32_t>(c.data.size());
    ASSERT_EQ(client.Write(NXPSerialClient::kRamAddress, size, c.data.data()), aErrNone);
    EXPECT_EQ(sim.ram().substr(NXPSerialClient::kRamAddress - kRamBase, size), bytes(c.data));
    const int first = NXPSerialClient::sectorOf(c.flash), last = NXPSerialClient::sectorOf(c.flash + size - 1);
    ASSERT_EQ(client.prepareSectors(first, last), aErrNone);
    ASSERT_EQ(client.copy(c.flash, NXPSerialClient::kRamAddress, NXPSerialClient::copySize(size)), aErrNone);
  }
  const std::string flash = sim.flash();
  EXPECT_EQ(flash.substr(0x1000, 4096), bytes(chunks[0].data));
  EXPECT_EQ(flash.substr(0x10000, 1000), bytes(chunks[1].data));
  // The copy took whole 1024 bytes: the rest is what RAM held after the data.
  EXPECT_EQ(flash.substr(0x10000 + 1000, 24), sim.ram().substr(NXPSerialClient::kRamAddress - kRamBase + 1000, 24));
  EXPECT_EQ(flash.substr(0, 0x1000), std::string(0x1000, '\xFF'));
  EXPECT_EQ(flash.substr(0x10000 + 1024), std::string(512 * 1024 - 0x10000 - 1024, '\xFF'));
  EXPECT_EQ(sim.count("checksum"), 0u);
  EXPECT_EQ(sim.count("resend"), 0u);

  ASSERT_EQ(client.setEcho(true), aErrNone);
  ASSERT_EQ(client.go(0), aErrNone);
  EXPECT_GE(sim.waitFor("go 0 T"), 0);
  client.close();
}

// With echo on, every data and checksum line comes back and is read past.
TEST(IspEmulator, WritesWithEchoOn) {
  IspSim sim;
  NXPSerialClient client;
  connect(client, sim);
  ASSERT_TRUE(client.echo());
  const std::vector<uint8_t> data = pattern(45 * 23 + 13, 7);
  ASSERT_EQ(client.Write(kRamBase + 0x200, static_cast<uint32_t>(data.size()), data.data()), aErrNone);
  EXPECT_EQ(sim.ram().substr(0x200, data.size()), bytes(data));
  // The line after the write is still in step.
  EXPECT_EQ(client.prepareSectors(3, 4), aErrNone);
  EXPECT_GE(sim.waitFor("prepared 3 4"), 0);
}

TEST(IspEmulator, EchoOffAndOnAgain) {
  IspSim sim;
  NXPSerialClient client;
  connect(client, sim);
  ASSERT_EQ(client.setEcho(false), aErrNone);
  EXPECT_EQ(client.prepareSectors(0, 0), aErrNone);
  ASSERT_EQ(client.setEcho(true), aErrNone);
  EXPECT_TRUE(client.echo());
  EXPECT_EQ(client.prepareSectors(1, 1), aErrNone);
  EXPECT_GE(sim.waitFor("prepared 1 1"), 0);
}

// Two forced RESEND answers are absorbed; a third ends the write, and the
// group never reaches RAM.
TEST(IspEmulator, ResendRetriesAndTheirLimit) {
  const std::vector<uint8_t> data = pattern(200, 3);
  struct Case {
    const char* resends;
    aErr err;
    std::string ram;
  } cases[] = {{"2", aErrNone, bytes(data)}, {"3", aErrTimeout, std::string(200, '\0')}};
  for (const Case& c : cases) {
    IspSim sim({"--resend", c.resends});
    NXPSerialClient client;
    connect(client, sim);
    ASSERT_EQ(client.setEcho(false), aErrNone);
    EXPECT_EQ(client.Write(NXPSerialClient::kRamAddress, 200, data.data()), c.err);
    EXPECT_EQ(sim.count("resend forced"), std::stoul(c.resends));
    EXPECT_EQ(sim.ram().substr(NXPSerialClient::kRamAddress - kRamBase, 200), c.ram);
  }
}

TEST(IspEmulator, DeviceRefusalsAreNamed) {
  IspSim sim;
  NXPSerialClient client;
  connect(client, sim);
  TraceCapture trace(DEBUG_NXPSerial);
  ASSERT_EQ(client.prepareSectors(0, 1), aErrNone);
  EXPECT_EQ(client.eraseSectors(0, 1), aErrParam);  // still locked
  ASSERT_EQ(client.unlock(), aErrNone);
  EXPECT_EQ(client.eraseSectors(0, 1), aErrNone);
  EXPECT_EQ(client.eraseSectors(0, 1), aErrParam);  // an erase uses up the prepare
  EXPECT_EQ(client.prepareSectors(0, 30), aErrParam);
  EXPECT_EQ(client.copy(0, NXPSerialClient::kRamAddress, 256), aErrParam);
  const std::string text = trace.text();
  EXPECT_NE(text.find("Error response ==>[CMD_LOCKED]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Error response ==>[SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION]\n"), std::string::npos);
  EXPECT_NE(text.find("Error response ==>[INVALID_SECTOR]\n"), std::string::npos);
  EXPECT_EQ(sim.flash().substr(0x2000), std::string(512 * 1024 - 0x2000, '\x5A'));
}

// A protected part answers N with code 19; with echo on, code 10 ends in "0".
TEST(IspEmulator, RefusedSerialNumberGivesNoFingerprint) {
  for (const char* code : {"19", "10"}) {
    IspSim sim({"--refuse-serial", code});
    NXPSerialClient client;
    connect(client, sim);
    EXPECT_EQ(client.readSerialNumber(), aErrParam) << code;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(client.serialNumber()[i], 0u);
  }
}

TEST(IspEmulator, SilentDeviceFailsTheHandshake) {
  IspSim sim({"--silent"});
  NXPSerialClient client;
  ASSERT_EQ(client.open(sim.pty().c_str(), 230400), aErrNone);
  TraceCapture trace(DEBUG_NXPSerial);
  EXPECT_NE(client.sync(), aErrNone);
  EXPECT_NE(trace.text().find("Did not receive correct response to opening sync command"), std::string::npos);
}

// The device stops answering in the middle of a session: each command fails
// after its read budget.
TEST(IspEmulator, DeviceThatFallsSilentFailsEachCommand) {
  IspSim sim({"--mute-after", "1"});
  NXPSerialClient client;
  connect(client, sim);
  ASSERT_EQ(client.unlock(), aErrNone);
  ASSERT_GE(sim.waitFor("mute"), 0);
  EXPECT_EQ(client.prepareSectors(0, 29), aErrTimeout);
  EXPECT_EQ(client.readSerialNumber(), aErrTimeout);
  const uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_EQ(client.Write(NXPSerialClient::kRamAddress, 4, data), aErrTimeout);
}

TEST(IspEmulator, DroppedLineFailsOnlyItsCommand) {
  IspSim sim({"--drop-line", "1"});
  NXPSerialClient client;
  connect(client, sim);
  EXPECT_EQ(client.unlock(), aErrTimeout);
  ASSERT_GE(sim.waitFor("drop 1"), 0);
  EXPECT_EQ(client.unlock(), aErrNone);
  EXPECT_GE(sim.waitFor("unlocked"), 0);
}

TEST(IspEmulator, WrongEchoIsReportedAndFailsTheCommand) {
  IspSim sim({"--bad-echo"});
  NXPSerialClient client;
  connect(client, sim);
  TraceCapture trace(DEBUG_NXPSerial);
  EXPECT_NE(client.unlock(), aErrNone);
  EXPECT_NE(trace.text().find("Error SendCommand() bad echo [0!=9]\n"), std::string::npos) << trace.text();
  // The device acted on the line; the client could not see its answer.
  EXPECT_GE(sim.waitFor("unlocked"), 0);
}

// The emulator's other read commands, through the client's protocol layer.
TEST(IspEmulator, PartIdAndBootCode) {
  IspSim sim({"--part-id", "12345678"});
  NXPSerialClient client;
  connect(client, sim);
  ASSERT_EQ(client.setEcho(false), aErrNone);
  char line[64];
  size_t length = 0;
  auto next = [&]() {
    EXPECT_EQ(client.GetLine(line, sizeof line, &length, 100), aErrNone);
    return std::string(line, length);
  };
  ASSERT_EQ(client.SendCommand("J\r\n", 0), aErrNone);
  EXPECT_EQ(next(), "0\r\n");
  EXPECT_EQ(next(), std::to_string(0x12345678) + "\r\n");
  ASSERT_EQ(client.SendCommand("K\r\n", 0), aErrNone);
  EXPECT_EQ(next(), "0\r\n");
  EXPECT_EQ(next(), "1\r\n");
  EXPECT_EQ(next(), "4\r\n");
  ASSERT_EQ(client.SendCommand("X 1\r\n", 0), aErrNone);
  EXPECT_EQ(next(), "1\r\n");  // INVALID_COMMAND
}

TEST(IspEmulator, PortCanBeClosedAndOpenedAgain) {
  IspSim sim;
  NXPSerialClient client;
  connect(client, sim);
  client.close();
  EXPECT_EQ(client.state(), NXPSerialClient::kClosedState);
  ASSERT_EQ(client.open(sim.pty().c_str(), 57600), aErrNone);
  EXPECT_STREQ(client.portName(), sim.pty().c_str());
  EXPECT_EQ(client.unlock(), aErrNone);
}

TEST(IspEmulator, HelpDescribesTheMode) {
  cltest::RunResult r = cltest::runProgram(cltest::binPath("corelatch-sim"), {"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("--isp"), std::string::npos);
  r = cltest::runProgram(cltest::binPath("corelatch-sim"), {"--isp", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("--resend N"), std::string::npos);
  r = cltest::runProgram(cltest::binPath("corelatch-sim"), {"--isp", "--tcp", "0"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("unknown option for --isp: --tcp"), std::string::npos);
}

}  // namespace
