// The ISP client against a scripted device on an in-memory line: the exact
// bytes of commands and data, reply parsing with and without echo, refusals,
// retries, and reads that stay bounded whatever the device sends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../firmware/TraceCapture.h"
#include "IspTestSupport.h"

using isptest::ScriptedLine;

namespace {

// Echo off first (the device echoes "A 0" itself, as it only stops afterwards).
void echoOff(NXPSerialClient& client, ScriptedLine& line) {
  line.script.insert(line.script.begin() + static_cast<long>(line.next), {"A 0\r\n", "A 0\r\n0\r\n"});
  ASSERT_EQ(client.setEcho(false), aErrNone);
  ASSERT_FALSE(client.echo());
}

TEST(IspClient, WriteOfFourBytesSendsCommandLineDataLineAndChecksum) {
  ScriptedLine line;
  NXPSerialClient client;
  isptest::attach(client, line);
  echoOff(client, line);
  line.script.insert(line.script.end(), {{"W 268439552 4\r\n", "0\r\n"},
                                         {"$`0(#!```", ""},
                                         {"\r\n", ""},
                                         {"10\r\n", "OK\r\n"}});
  const uint8_t data[] = {1, 2, 3, 4};
  EXPECT_EQ(client.Write(NXPSerialClient::kRamAddress, 4, data), aErrNone);
  EXPECT_EQ(line.next, line.script.size());
}

// A group of 20 lines, then the rest; the checksum covers each group alone.
TEST(IspClient, WriteSendsAChecksumAfterEveryTwentyLines) {
  ScriptedLine line;
  NXPSerialClient client;
  isptest::attach(client, line);
  echoOff(client, line);
  std::vector<uint8_t> data(45 * 21 + 7);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  std::vector<std::string> sums;
  line.respond = [&](const std::string& chunk) -> std::string {
    if (chunk[0] == 'W') return "0\r\n";
    if (chunk.size() > 2 && chunk.back() == '\n') {
      sums.push_back(chunk);
      return "OK\r\n";
    }
    return "";
  };
  ASSERT_EQ(client.Write(0x10000000, static_cast<uint32_t>(data.size()), data.data()), aErrNone);
  uint32_t first = nxpisp::checksum(data.data(), 900), second = nxpisp::checksum(data.data() + 900, data.size() - 900);
  EXPECT_EQ(sums, (std::vector<std::string>{std::to_string(first) + "\r\n", std::to_string(second) + "\r\n"}));
  // A and W lines, 22 data lines each followed by "\r\n", two checksum lines.
  ASSERT_EQ(line.chunks.size(), 2u + 22u * 2u + 2u);
  EXPECT_EQ(line.chunks[42], sums[0]);
  EXPECT_EQ(line.chunks[45][0], '\'');  // the last line: 7 bytes
}

// Two RESEND answers are absorbed (the group goes again); a third ends the write.
TEST(IspClient, ResendRepeatsTheGroupWithinTheRetryBudget) {
  for (int resends : {2, 3}) {
    ScriptedLine line;
    NXPSerialClient client;
    isptest::attach(client, line);
    echoOff(client, line);
    int answered = 0, dataLines = 0;
    line.respond = [&](const std::string& chunk) -> std::string {
      if (chunk[0] == 'W') return "0\r\n";
      if (chunk == "\r\n") return "";
      if (chunk.back() != '\n') {
        ++dataLines;
        return "";
      }
      return answered++ < resends ? "RESEND\r\n" : "OK\r\n";
    };
    std::vector<uint8_t> data(100, 0x42);
    TraceCapture trace(DEBUG_NXPSerial);
    aErr err = client.Write(0x10000000, 100, data.data());
    if (resends == 2) {
      EXPECT_EQ(err, aErrNone);
      EXPECT_EQ(dataLines, 9);  // three lines, sent three times
    } else {
      EXPECT_EQ(err, aErrTimeout);
      EXPECT_EQ(dataLines, 9);
      EXPECT_NE(trace.text().find("Write() exceeded retries\n"), std::string::npos);
    }
  }
}

TEST(IspClient, WriteRefusesBadCountsAndOddAnswers) {
  ScriptedLine line;
  NXPSerialClient client;
  isptest::attach(client, line);
  const uint8_t data[8] = {};
  EXPECT_EQ(client.Write(0x10000000, 0, data), aErrParam);
  EXPECT_EQ(client.Write(0x10000000, 6, data), aErrParam);
  EXPECT_TRUE(line.chunks.empty());

  echoOff(client, line);
  line.script.insert(line.script.end(), {{"W 268435456 8\r\n", "0\r\n"}, {"(`0(#!```````", ""}, {"\r\n", ""},
                                         {"10\r\n", "NO\r\n"}});
  const uint8_t four[8] = {1, 2, 3, 4};
  TraceCapture trace(DEBUG_NXPSerial);
  EXPECT_EQ(client.Write(0x10000000, 8, four), aErrIO);
  EXPECT_NE(trace.text().find("Write() unexpected response [NO\r\n]\n"), std::string::npos);

  // A refused W command: nothing else is sent.
  line.script.push_back({"W 268435456 8\r\n", "14\r\n"});
  size_t before = line.chunks.size();
  TraceCapture sr(DEBUG_NXPSerial_SR);
  EXPECT_EQ(client.Write(0x10000000, 8, four), aErrParam);
  EXPECT_EQ(line.chunks.size(), before + 1);
  EXPECT_NE(sr.text().find("Write() Error response ==>[ADDR_NOT_MAPPED]\n"), std::string::npos);
}

TEST(IspClient, EchoedCommandsReadTheirStatusAfterTheEcho) {
  ScriptedLine line;
  NXPSerialClient client;
  isptest::attach(client, line);
  ASSERT_TRUE(client.echo());
  line.script = {{"P 0 29\r\n", "P 0 29\r\n0\r\n"}, {"E 0 29\r\n", "E 0 29\r\n0\r\n"}, {"U 23130\r\n", "U 23130\r\n0\r\n"},
                 {"C 4096 268439552 512\r\n", "C 4096 268439552 512\r\n0\r\n"}};
  EXPECT_EQ(client.prepareSectors(0, 29), aErrNone);
  EXPECT_EQ(client.eraseSectors(0, 29), aErrNone);
  EXPECT_EQ(client.unlock(), aErrNone);
  EXPECT_EQ(client.copy(4096, NXPSerialClient::kRamAddress, 512), aErrNone);
  EXPECT_EQ(line.next, line.script.size());
}

// Return codes 10 to 19 end in a digit; with echo on, a code read from its last
// digit alone would make "10" (COMPARE_ERROR) a success.
TEST(IspClient, TwoDigitCodesAreRefusalsWithEchoOnAndOff) {
  for (bool echo : {true, false}) {
    ScriptedLine line;
    NXPSerialClient client;
    isptest::attach(client, line);
    if (!echo) echoOff(client, line);
    const std::string e = echo ? "P 0 1\r\n" : "";
    line.script.insert(line.script.end(), {{"P 0 1\r\n", e + "10\r\n"}, {"P 0 1\r\n", e + "19\r\n"},
                                           {"P 0 1\r\n", e + "25\r\n"}});
    TraceCapture trace(DEBUG_NXPSerial);
    EXPECT_EQ(client.prepareSectors(0, 1), aErrParam);
    EXPECT_EQ(client.prepareSectors(0, 1), aErrParam);
    EXPECT_EQ(client.prepareSectors(0, 1), aErrParam);
    const std::string text = trace.text();
    EXPECT_NE(text.find("Error response ==>[COMPARE_ERROR]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Error response ==>[CODE_READ_PROTECTION_ENABLED]\n"), std::string::npos);
    EXPECT_NE(text.find("Error response ==>[Unknown error]\n"), std::string::npos);
  }
}

TEST(IspClient, RefusalsOfEchoAndUnlockAreNotTraced) {
  ScriptedLine line;
  NXPSerialClient client;
  isptest::attach(client, line);
  line.script = {{"A 0\r\n", "A 0\r\n12\r\n"}, {"U 23130\r\n", "U 23130\r\n16\r\n"}};
  TraceCapture trace(DEBUG_NXPSerial);
  EXPECT_EQ(client.setEcho(false), aErrParam);
  EXPECT_TRUE(client.echo());
  EXPECT_EQ(client.unlock(), aErrParam);
  EXPECT_EQ(trace.text().find("Error response"), std::string::npos);
  EXPECT_NE(trace.text().find("Setting device echo 0\n"), std::string::npos);
}

TEST(IspClient, ArgumentChecksSendNothing) {
  ScriptedLine line;
  NXPSerialClient client;
  isptest::attach(client, line);
  EXPECT_EQ(client.prepareSectors(5, 4), aErrParam);
  EXPECT_EQ(client.eraseSectors(29, 0), aErrParam);
  EXPECT_EQ(client.copy(4096, NXPSerialClient::kRamAddress, 2048), aErrParam);
  EXPECT_EQ(client.copy(4097, NXPSerialClient::kRamAddress, 256), aErrParam);
  EXPECT_EQ(client.Write(NXPSerialClient::kRamAddress, 4, nullptr), aErrParam);
  EXPECT_TRUE(line.chunks.empty());
}

TEST(IspClient, GoSendsThumbModeAndReadsNoReply) {
  ScriptedLine line;
  NXPSerialClient client;
  isptest::attach(client, line);
  echoOff(client, line);
  line.script.push_back({"G 0 T\r\n", "0\r\n"});
  EXPECT_EQ(client.go(0), aErrNone);
  EXPECT_EQ(line.input.size(), 3u);  // the status is left unread
}

TEST(IspClient, SerialNumberWords) {
  ScriptedLine line;
  NXPSerialClient client;
  isptest::attach(client, line);
  line.script = {{"N\r\n", "N\r\n0\r\n1\r\n0x10\r\n010\r\n4294967295\r\n"}};
  ASSERT_EQ(client.readSerialNumber(), aErrNone);
  const uint32_t* w = client.serialNumber();
  EXPECT_EQ(w[0], 1u);
  EXPECT_EQ(w[1], 16u);
  EXPECT_EQ(w[2], 8u);
  EXPECT_EQ(w[3], 0xFFFFFFFFu);
}

// A refused N sends no words: the status decides, and a part that cut off its
// answer gives no fingerprint either.
TEST(IspClient, SerialNumberFailures) {
  struct Case {
    const char* answer;
    aErr err;
  } cases[] = {
      {"N\r\n19\r\n", aErrParam},
      {"N\r\n0\r\n1\r\n2\r\n", aErrTimeout},
      {"N\r\n0\r\n1\r\n2\r\nthree\r\n4\r\n", aErrParse},
      {"N\r\n", aErrTimeout},
  };
  for (const Case& c : cases) {
    ScriptedLine line;
    NXPSerialClient client;
    isptest::attach(client, line);
    line.script = {{"N\r\n", c.answer}};
    EXPECT_EQ(client.readSerialNumber(), c.err) << c.answer;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(client.serialNumber()[i], 0u);
  }
}

TEST(IspClient, HandshakeDialogue) {
  ScriptedLine line;
  NXPSerialClient client;
  isptest::attach(client, line);
  line.script = {{"?", "Synchronized\r\n"},
                 {"Synchronized\r\n", "Synchronized\r\nOK\r\n"},
                 {"14746\r\n", "14746\r\nOK\r\n"}};
  EXPECT_EQ(client.sync(), aErrNone);
  EXPECT_EQ(line.next, 3u);
  EXPECT_TRUE(line.input.empty());
}

TEST(IspClient, HandshakeFailures) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> script;
    aErr err;
    const char* trace;
  } cases[] = {
      {{{"?", ""}}, aErrNotReady, "Did not receive correct response to opening sync command: [Synchronized\r\n]"},
      {{{"?", "Synchro"}}, aErrNotReady, "Response: [Synchro]"},
      // Noise in place of the final OK is no handshake.
      {{{"?", "Synchronized\r\n"}, {"Synchronized\r\n", "Synchronized\r\nOK\r\n"}, {"14746\r\n", "14746\r\nXX\r\n"}},
       aErrParam,
       "Did not receive correct response [XX\r\n] != [OK\r\n]"},
      // Nothing after the crystal value.
      {{{"?", "Synchronized\r\n"}, {"Synchronized\r\n", "Synchronized\r\nOK\r\n"}, {"14746\r\n", ""}}, aErrNotReady, ""},
  };
  for (const Case& c : cases) {
    ScriptedLine line;
    NXPSerialClient client;
    isptest::attach(client, line);
    line.script = c.script;
    TraceCapture trace(DEBUG_NXPSerial);
    EXPECT_EQ(client.sync(), c.err);
    EXPECT_NE(trace.text().find(c.trace), std::string::npos) << trace.text();
  }
}

// A device that never stops sending must not keep a read going for ever, nor
// run it past its buffer.
TEST(IspClient, ReadsStayBoundedWhateverTheDeviceSends) {
  struct Case {
    int byte;
    aErr lineErr;
  } cases[] = {{'\n', aErrTimeout}, {'x', aErrOverrun}, {'\r', aErrOverrun}, {-1, aErrTimeout}};
  for (const Case& c : cases) {
    ScriptedLine line;
    NXPSerialClient client;
    isptest::attach(client, line);
    line.endlessByte = c.byte;
    char small[8];
    size_t length = 99;
    EXPECT_EQ(client.GetLine(small, sizeof small, &length, 100), c.lineErr) << c.byte;
    EXPECT_LE(length, sizeof small - 1);
    EXPECT_EQ(small[length], '\0');
    EXPECT_LE(line.reads, 200u);

    size_t count = 99;
    line.reads = 0;
    client.GetEcho("abc\r\n", 4, &count);
    EXPECT_EQ(count, 0u);
    EXPECT_LE(line.reads, 200u);

    line.reads = 0;
    char buffer[16];
    client.Response(buffer, sizeof buffer, &length, "OK\r\n", 64);  // size beyond the buffer
    EXPECT_LE(length, sizeof buffer - 1);
    EXPECT_LE(line.reads, 200u);
  }
}

TEST(IspClient, CommandsWithoutAnswerTimeOut) {
  ScriptedLine line;
  NXPSerialClient client;
  isptest::attach(client, line);
  line.respond = [](const std::string&) { return std::string(); };
  TraceCapture trace(DEBUG_NXPSerial | DEBUG_NXPSerial_E);
  EXPECT_EQ(client.unlock(), aErrTimeout);
  const std::string text = trace.text();
  EXPECT_NE(text.find("Error SendCommand() bad echo [0!=9]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Error response ==>[aErrTimeout]\n"), std::string::npos);
  EXPECT_EQ(client.readSerialNumber(), aErrTimeout);
}

TEST(IspClient, TracesOfTheSendReceiveChannel) {
  ScriptedLine line;
  NXPSerialClient client;
  isptest::attach(client, line);
  line.script = {{"?", "\nSynchronized\r\n"}};
  TraceCapture trace(DEBUG_NXPSerial_SR | DEBUG_NXPSerial_E);
  char buffer[32];
  size_t length = 0;
  client.Test_Serial_Send("?", false);
  EXPECT_EQ(client.Response(buffer, sizeof buffer, &length, "Synchronized\r\n", 14), aErrNone);
  EXPECT_EQ(length, 14u);
  const std::string text = trace.text();
  EXPECT_NE(text.find("Sending:[3F] [?]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Response() wait for serial [14 bytes, 115200, 22 ms]\n"), std::string::npos);
  EXPECT_NE(text.find("Response ignoring leading \\n\n"), std::string::npos);
  EXPECT_NE(text.find("Response: [53 79 6E 63 68 72 6F 6E 69 7A 65 64 0D 0A] [Synchronized\\r\\n]\n"),
            std::string::npos);

  line.feed("\n0\r\n");
  EXPECT_EQ(client.GetLine(buffer, sizeof buffer, &length, 100), aErrNone);
  EXPECT_NE(trace.text().find(",GetLine() Received: [30 0D 0A] [0  ] 3 term [aErrNone]\n"), std::string::npos)
      << trace.text();

  line.feed("xab");
  size_t count = 0;
  client.GetEcho("ab\r\n", 2, &count);
  EXPECT_EQ(count, 2u);
  EXPECT_NE(trace.text().find("GetEcho([61 62 0D 0A] 2, ...)\nrecv Echo:[ 78!=61 61 62]\n"), std::string::npos)
      << trace.text();
}

TEST(IspClient, OpenPicksTheRateAndReportsMissingPorts) {
  NXPSerialClient client;
  EXPECT_EQ(client.state(), 0);
  TraceCapture trace(DEBUG_NXPSerial);
  EXPECT_EQ(client.open("/dev/no-such-port", 100000), aErrIO);
  EXPECT_EQ(client.baudRate(), 115200);
  EXPECT_FALSE(client.isOpen());
  EXPECT_NE(trace.text().find("Creating serial connection: [/dev/no-such-port] stream baud:6(115200)\n"),
            std::string::npos);
  EXPECT_NE(trace.text().find("Error Creating Serial [/dev/no-such-port] ==> aErrIO"), std::string::npos);
  EXPECT_EQ(client.unlock(), aErrIO);
  client.close();
  EXPECT_EQ(client.state(), NXPSerialClient::kClosedState);
}

}  // namespace
