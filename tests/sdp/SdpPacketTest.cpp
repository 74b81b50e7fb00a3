// Reports, response words and the protocol's decisions, against a scripted transport.
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "recovery/SDPProtocol.h"
#include "updater/UpdaterDisplay.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(SdpReports, CommandLayouts) {
  struct Case {
    const char* name;
    Bytes report;
    Bytes head;  // the bytes that are not zero fill
  } cases[] = {
      {"error status", sdp::errorStatusReport(), {1, 0x05, 0x05}},
      {"write file", sdp::writeFileReport(0x00907000, 2500),
       {1, 0x04, 0x04, 0x00, 0x90, 0x70, 0x00, 0x20, 0x00, 0x00, 0x09, 0xC4}},
      {"write file, all bits", sdp::writeFileReport(0xFFFFFFFE, 0x01020304),
       {1, 0x04, 0x04, 0xFF, 0xFF, 0xFF, 0xFE, 0x20, 0x01, 0x02, 0x03, 0x04}},
      {"jump", sdp::jumpAddressReport(0x12345678), {1, 0x0B, 0x0B, 0x12, 0x34, 0x56, 0x78}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.report.size(), 17u);
    Bytes expected = c.head;
    expected.resize(17, 0);
    EXPECT_EQ(c.report, expected);
  }
}

TEST(SdpReports, DataReportsCarryAtMost1024Bytes) {
  Bytes data(2500);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  struct Case {
    size_t offset;
    size_t size;
  } cases[] = {{0, 1025}, {1024, 1025}, {2048, 453}, {2499, 2}, {2500, 1}};
  for (const Case& c : cases) {
    Bytes r = sdp::dataReport(data, c.offset);
    ASSERT_EQ(r.size(), c.size) << c.offset;
    EXPECT_EQ(r[0], 2);
    EXPECT_TRUE(std::equal(r.begin() + 1, r.end(), data.begin() + static_cast<long>(c.offset)));
  }
}

TEST(SdpWords, HidResponse) {
  Bytes response(70, 0);
  for (size_t i = 0; i < response.size(); ++i) response[i] = static_cast<uint8_t>(i);
  struct Case {
    size_t size;
    unsigned index;
    bool taken;
    uint32_t word;
  } cases[] = {
      {70, 0, true, 0x09080706}, {70, 15, true, 0x18171615}, {70, 16, false, 0},
      {69, 0, false, 0},         {71, 0, false, 0},          {0, 0, false, 0},
  };
  for (const Case& c : cases) {
    Bytes r(response.begin(), response.begin() + static_cast<long>(std::min<size_t>(c.size, 70)));
    r.resize(c.size, 0x46);
    uint32_t word = 0;
    EXPECT_EQ(sdp::hidWord(r, c.index, &word), c.taken) << c.size << " " << c.index;
    EXPECT_EQ(word, c.word) << c.size << " " << c.index;
  }
}

TEST(SdpWords, SerialResponse) {
  const Bytes eight{0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88, 0x88};
  Bytes long20(20);
  for (size_t i = 0; i < long20.size(); ++i) long20[i] = static_cast<uint8_t>(i);
  struct Case {
    Bytes response;
    unsigned index;
    bool taken;
    uint32_t word;
  } cases[] = {
      {eight, 0, true, 0x88888888},
      {Bytes(eight.begin(), eight.begin() + 7), 0, false, 0},
      {Bytes(eight.begin(), eight.begin() + 4), 0, false, 0},
      {{}, 0, false, 0},
      {eight, 1, false, 0},
      {long20, 1, true, 0x08070605},
      {long20, 3, true, 0x0A090807},
      {long20, 4, false, 0},
      {Bytes(100, 1), 16, false, 0},
  };
  for (const Case& c : cases) {
    uint32_t word = 0;
    EXPECT_EQ(sdp::serialWord(c.response, c.index, &word), c.taken) << c.response.size() << " " << c.index;
    EXPECT_EQ(word, c.word) << c.response.size() << " " << c.index;
  }
}

TEST(SdpWords, WordIsOredIntoTheCallersValue) {
  uint32_t word = 0x00000001;
  ASSERT_TRUE(sdp::serialWord(Bytes{0, 0, 0, 0, 0x10, 0, 0, 0}, 0, &word));
  EXPECT_EQ(word, 0x11u);
}

TEST(SdpHidReports, WhatAReportContributes) {
  struct Case {
    Bytes report;
    size_t appended;
  } cases[] = {
      {Bytes(65, 3), 5},   // report 3 gives its first 5 bytes even when more came
      {Bytes(5, 3), 5},
      {Bytes(3, 3), 3},    // a short report 3 gives only what came
      {Bytes(65, 4), 65},
      {Bytes{4, 1, 2}, 3},
  };
  for (const Case& c : cases) {
    Bytes out{9};
    EXPECT_EQ(sdp::appendHidReport(out, c.report.data(), c.report.size()), static_cast<int>(c.appended));
    ASSERT_EQ(out.size(), 1 + c.appended);
    EXPECT_TRUE(std::equal(out.begin() + 1, out.end(), c.report.begin()));
  }
}

// A transport whose device answers from a script: each read hands out the next
// queued response (empty when none is queued).
class ScriptedTransport : public SDPLoader_Interface {
 public:
  struct State {
    std::vector<Bytes> writes;
    std::vector<int> readTimeouts;
    std::deque<Bytes> responses;
    bool openResult = true;
    bool destroyed = false;
  };
  explicit ScriptedTransport(State& s) : s_(s) {}
  ~ScriptedTransport() override { s_.destroyed = true; }
  bool open() override { return s_.openResult; }
  int write(const Bytes& bytes) override {
    s_.writes.push_back(bytes);
    return static_cast<int>(bytes.size());
  }
  int read(Bytes& bytes, int timeoutMs) override {
    s_.readTimeouts.push_back(timeoutMs);
    if (s_.responses.empty()) return 0;
    Bytes r = s_.responses.front();
    s_.responses.pop_front();
    bytes.insert(bytes.end(), r.begin(), r.end());
    return static_cast<int>(r.size());
  }
  bool getWord(const Bytes& response, unsigned index, uint32_t* word) override {
    return sdp::serialWord(response, index, word);
  }

 private:
  State& s_;
};

const Bytes kStatusAnswer{0x56, 0x78, 0x78, 0x56, 0xF0, 0xF0, 0xF0, 0xF0};
const Bytes kCompleteAnswer{0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88, 0x88};

TEST(SdpProtocolTest, TransportIsTakenOnceAndReleased) {
  ScriptedTransport::State a, b;
  auto* second = new ScriptedTransport(b);
  {
    SDPProtocol p;
    EXPECT_EQ(p.open(), SDPProtocol::kNoTransport);
    EXPECT_FALSE(p.errorStatus());
    EXPECT_FALSE(p.setTransport(nullptr));
    EXPECT_TRUE(p.setTransport(new ScriptedTransport(a)));
    EXPECT_FALSE(p.setTransport(second));
    EXPECT_EQ(p.open(), SDPProtocol::kOk);
    a.openResult = false;
    EXPECT_EQ(p.open(), SDPProtocol::kOpenFailed);
  }
  EXPECT_TRUE(a.destroyed);
  EXPECT_FALSE(b.destroyed);
  delete second;
}

TEST(SdpProtocolTest, WriteFileSendsTheDataInReportsAndChecksCompletion) {
  struct Case {
    const char* name;
    Bytes completion;
    int result;
  } cases[] = {
      {"confirmed", kCompleteAnswer, SDPProtocol::kOk},
      {"status zero", {0x56, 0x78, 0x78, 0x56, 0, 0, 0, 0}, SDPProtocol::kNotConfirmed},
      {"no status word", {0x56, 0x78, 0x78, 0x56}, SDPProtocol::kNotConfirmed},
      {"nothing", {}, SDPProtocol::kNotConfirmed},
  };
  Bytes data(2500);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedTransport::State s;
    SDPProtocol p;
    ASSERT_TRUE(p.setTransport(new ScriptedTransport(s)));
    s.responses = {kStatusAnswer, {}, {}, {}, c.completion};
    EXPECT_EQ(p.writeFile(data, 0x00907000), c.result);
    ASSERT_EQ(s.writes.size(), 5u);
    EXPECT_EQ(s.writes[0], sdp::errorStatusReport());
    EXPECT_EQ(s.writes[1], sdp::writeFileReport(0x00907000, 2500));
    EXPECT_EQ(s.writes[2].size(), 1025u);
    EXPECT_EQ(s.writes[3].size(), 1025u);
    EXPECT_EQ(s.writes[4].size(), 453u);
    Bytes sent;
    for (size_t i = 2; i < 5; ++i) {
      EXPECT_EQ(s.writes[i][0], 2);
      sent.insert(sent.end(), s.writes[i].begin() + 1, s.writes[i].end());
    }
    EXPECT_EQ(sent, data);
    EXPECT_EQ(s.readTimeouts, (std::vector<int>{100, 0, 0, 0, 100}));
  }
}

TEST(SdpProtocolTest, NoAcknowledgementAfterFiveAttemptsSendsNoWriteFile) {
  ScriptedTransport::State s;
  SDPProtocol p;
  ASSERT_TRUE(p.setTransport(new ScriptedTransport(s)));
  s.responses = {{1, 2, 3}, {}, {0x56, 0x78, 0x78, 0x56, 0xF0, 0xF0, 0xF0}};
  EXPECT_EQ(p.writeFile(Bytes(10, 1), 0x00907000), SDPProtocol::kNoAck);
  ASSERT_EQ(s.writes.size(), 5u);
  for (const Bytes& w : s.writes) EXPECT_EQ(w, sdp::errorStatusReport());
  EXPECT_EQ(s.readTimeouts, (std::vector<int>(5, 100)));
}

TEST(SdpProtocolTest, EarlyAnswerDuringTheTransferAborts) {
  ScriptedTransport::State s;
  SDPProtocol p;
  ASSERT_TRUE(p.setTransport(new ScriptedTransport(s)));
  s.responses = {kStatusAnswer, {}, {0x56}};
  EXPECT_EQ(p.writeFile(Bytes(2500, 1), 0x00907000), SDPProtocol::kAborted);
  ASSERT_EQ(s.writes.size(), 3u);  // status, write file, the first data report
}

TEST(SdpProtocolTest, TracesUnderTheIMXSerialBit) {
  FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  setDebugMask(DEBUG_iMXSerial);
  setDebugOutput(out);
  {
    ScriptedTransport::State s;
    SDPProtocol p;
    ASSERT_TRUE(p.setTransport(new ScriptedTransport(s)));
    s.responses = {kStatusAnswer, {}, kCompleteAnswer};
    EXPECT_EQ(p.writeFile(Bytes(3, 0xAB), 0x10), SDPProtocol::kOk);
  }
  setDebugOutput(nullptr);
  std::string log;
  std::rewind(out);
  for (int c; (c = std::fgetc(out)) != EOF;) log += static_cast<char>(c);
  std::fclose(out);
  for (const char* line : {"bytesWritten: 17\n1 5 5 0 0 0 0 0 0 0 0 0 0 0 0 0 0 \n",
                           "Read Data: 8\n56 78 78 56 F0 F0 F0 F0 \n",
                           "Write Res: 17\n1 4 4 0 0 0 10 20 0 0 0 3 0 0 0 0 0 \n",
                           "Read Data: 0\n\n",
                           "Write Res: 4 , Total: 4, Loop: 0, tell: 3, size: 4\n",
                           "Written Bytes: 4\nData Read: \n56 78 78 56 88 88 88 88 \nLoader Transfer Successful\n"})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\nin:\n" << log;
}

}  // namespace
