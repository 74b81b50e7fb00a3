// The UART loader and the protocol against the ROM emulator (corelatch-sim --sdp)
// on a pseudo-terminal; the HID loader without a device.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TestSupport.h"
#include "recovery/SDPProtocol.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kRamBase = 0x00900000;

class SdpSim {
 public:
  explicit SdpSim(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--sdp", "--trace", "--dump", dir_.path()});
    proc_ = std::make_unique<cltest::ChildProcess>(cltest::binPath("corelatch-sim"), args);
    if (proc_->waitForLine("ready", 10000) < 0) throw std::runtime_error("corelatch-sim --sdp did not start");
    for (const std::string& l : proc_->lines())
      if (l.rfind("pty ", 0) == 0) pty_ = l.substr(4);
  }
  const std::string& pty() const { return pty_; }
  int waitFor(const std::string& text, int timeoutMs = 10000) { return proc_->waitForLine(text, timeoutMs); }
  size_t count(const std::string& text) const { return proc_->countLines(text); }
  std::string ram() const { return cltest::readFile(dir_ / "ram.bin"); }

 private:
  cltest::TempDir dir_;
  std::unique_ptr<cltest::ChildProcess> proc_;
  std::string pty_;
};

Bytes pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 31 + 7);
  return b;
}

TEST(SdpSerial, StatusIsAnsweredWithTheModeAndStatusWords) {
  SdpSim sim;
  Serial_SDPLoader loader(sim.pty());
  ASSERT_TRUE(loader.open());
  EXPECT_EQ(loader.write(sdp::errorStatusReport()), 16);  // the report ID stays behind
  Bytes response;
  EXPECT_EQ(loader.read(response, 100), 8);
  EXPECT_EQ(response, (Bytes{0x56, 0x78, 0x78, 0x56, 0xF0, 0xF0, 0xF0, 0xF0}));
  uint32_t word = 0;
  EXPECT_TRUE(loader.getWord(response, 0, &word));
  EXPECT_EQ(word, 0xF0F0F0F0u);
  EXPECT_GE(sim.waitFor("error-status"), 0);
}

TEST(SdpSerial, WriteFileLandsInRamAndJumpIsSent) {
  SdpSim sim;
  SDPProtocol p;
  ASSERT_TRUE(p.setTransport(new Serial_SDPLoader(sim.pty())));
  ASSERT_EQ(p.open(), SDPProtocol::kOk);
  EXPECT_TRUE(p.errorStatus());
  const Bytes data = pattern(2500);
  const uint32_t address = kRamBase + 0x7000;
  ASSERT_EQ(p.writeFile(data, address), SDPProtocol::kOk);
  ASSERT_GE(sim.waitFor("written 2500 00907000"), 0);
  ASSERT_GE(sim.waitFor("dump"), 0);
  const std::string ram = sim.ram();
  ASSERT_GE(ram.size(), 0x7000u + data.size());
  EXPECT_EQ(ram.substr(0x7000, data.size()), std::string(data.begin(), data.end()));
  EXPECT_EQ(ram[0x7000 - 1], '\0');
  EXPECT_EQ(ram[0x7000 + data.size()], '\0');
  p.jumpAddress(address);
  EXPECT_GE(sim.waitFor("jump 00907000"), 0);
}

TEST(SdpSerial, DeviceFaultsGiveTheirResults) {
  struct Case {
    std::vector<std::string> args;
    uint32_t address;
    int result;
  } cases[] = {
      {{"--bad-status"}, kRamBase, SDPProtocol::kNotConfirmed},
      {{}, 0x10000000, SDPProtocol::kNotConfirmed},  // outside RAM
      {{"--short-response"}, kRamBase, SDPProtocol::kNoAck},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "unmapped" : c.args[0]);
    SdpSim sim(c.args);
    SDPProtocol p;
    ASSERT_TRUE(p.setTransport(new Serial_SDPLoader(sim.pty())));
    ASSERT_EQ(p.open(), SDPProtocol::kOk);
    EXPECT_EQ(p.writeFile(pattern(100), c.address), c.result);
  }
}

TEST(SdpSerial, SilentDeviceFailsAfterFiveAttempts) {
  SdpSim sim({"--silent"});
  SDPProtocol p;
  ASSERT_TRUE(p.setTransport(new Serial_SDPLoader(sim.pty())));
  ASSERT_EQ(p.open(), SDPProtocol::kOk);
  EXPECT_EQ(p.writeFile(pattern(100), kRamBase), SDPProtocol::kNoAck);
  EXPECT_EQ(sim.count("write-file"), 0u);
}

TEST(SdpSerial, PortCanBeOpenedAgainAfterTheLoaderIsGone) {
  SdpSim sim;
  {
    Serial_SDPLoader first(sim.pty());
    ASSERT_TRUE(first.open());
    Serial_SDPLoader second(sim.pty());
    testing::internal::CaptureStdout();
    EXPECT_FALSE(second.open());  // the port is held exclusively
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unable to open Serial Port: " + sim.pty() + "\n");
  }
  Serial_SDPLoader again(sim.pty());
  EXPECT_TRUE(again.open());
}

TEST(SdpSerial, MissingPortFailsWithAMessage) {
  cltest::TempDir dir;
  const std::string path = dir / "ttyNone";
  SDPProtocol p;
  ASSERT_TRUE(p.setTransport(new Serial_SDPLoader(path)));
  testing::internal::CaptureStdout();
  EXPECT_EQ(p.open(), SDPProtocol::kOpenFailed);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unable to open Serial Port: " + path + "\n");
  EXPECT_FALSE(cltest::pathExists(path));  // an existing device only: nothing created
}

TEST(SdpSerial, UnopenedLoaderMovesNothing) {
  Serial_SDPLoader loader("/nonexistent/tty");
  Bytes response;
  EXPECT_LT(loader.write(sdp::errorStatusReport()), 0);
  EXPECT_EQ(loader.read(response, 0), 0);
  EXPECT_TRUE(response.empty());
}

TEST(SdpHid, OpenWithoutTheDeviceFailsCleanly) {
  // No device answers to this identity here; open must say so and the
  // loader must stay harmless afterwards.
  SDPProtocol p;
  auto* hid = new HID_SDPLoader(0x1FC9, 0x0130);
  ASSERT_TRUE(p.setTransport(hid));
  EXPECT_EQ(p.open(), SDPProtocol::kOpenFailed);
  Bytes response;
  EXPECT_LT(hid->write(sdp::errorStatusReport()), 0);
  EXPECT_EQ(hid->read(response, 100), 0);
  EXPECT_FALSE(p.errorStatus());
  EXPECT_EQ(p.writeFile(pattern(10), kRamBase), SDPProtocol::kNoAck);
}

}  // namespace
