// ServerCommClass over a scripted transport: the requests each operation
// makes, every answer shape, the build-list order and base64.
#include <gtest/gtest.h>

#include <stdexcept>

#include "../firmware/TraceCapture.h"
#include "server/ServerCommClass.h"

namespace {

// Records the URL of every request and answers with the scripted response.
struct Script {
  std::vector<std::string> urls;
  HttpResponse answer{"", 200, "ok\n"};
  bool fail = false;
  HttpTransport transport() {
    return [this](const std::string& base, const HttpParams& params) {
      urls.push_back(buildRequestUrl(base, params));
      if (fail) throw std::runtime_error("Couldn't connect to server");
      return answer;
    };
  }
};

TEST(ServerCommRequests, EachOperationAsksForItsParameters) {
  Script s;
  ServerCommClass comm(s.transport());
  std::string build, token, payload;
  BuildList list;
  uint32_t serial = 0, bld = 0;
  const uint32_t chip[4] = {0x1, 0xABCDEF12, 0, 0xFFFFFFFF};
  const char* base = "http://h/cgi/u";
  comm.ping(base);
  comm.QueryBuild(0x40F5849A, build, token, base);
  comm.GetBuildList(0x0000001F, list, base);
  comm.GetBuild(0x40F5849A, "TOKEN", "99528558", payload, base, false);
  comm.GetBuild(0x40F5849A, "TOKEN", "1", payload, base, true);
  comm.GetRecoveryInfo(chip, serial, bld, base);
  comm.ping();
  const std::vector<std::string> expected = {
      "http://h/cgi/u?op=hi&rv=2&",
      "http://h/cgi/u?op=qu&sn=40F5849A&",
      "http://h/cgi/u?op=builds&sn=0000001F&",
      "http://h/cgi/u?bld=99528558&fw=TOKEN&no_cal=false&op=bird&sn=40F5849A&",
      "http://h/cgi/u?bld=1&fw=TOKEN&no_cal=true&op=bird&sn=40F5849A&",
      "http://h/cgi/u?brief=true&fp=00000001%20ABCDEF12%2000000000%20FFFFFFFF&op=fix&",
      "http://update.vexalind.net/cgi/u?op=hi&rv=2&",
  };
  EXPECT_EQ(s.urls, expected);
}

struct AnswerCase {
  const char* name;
  int status;
  std::string body;
  bool ok;
};

TEST(ServerCommAnswers, StatusAndFirstLineDecideForEveryOperation) {
  const AnswerCase cases[] = {
      {"bare ok", 200, "ok", true},
      {"okay counts", 200, "okay\n", true},
      {"blank lines first", 200, "\n\nok\n", true},
      {"error word", 200, "error\nok\n", false},
      {"empty body", 200, "", false},
      {"only line feeds", 200, "\n\n", false},
      {"upper case", 200, "OK\n", false},
      {"server error", 500, "ok\n", false},
      {"not found", 404, "ok\n", false},
      {"redirect", 302, "ok\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const HttpResponse r{"u", c.status, c.body};
    std::string a = "A", b = "B";
    BuildList list;
    uint32_t x = 7, y = 9;
    EXPECT_EQ(ServerCommClass::readPingAnswer(r), c.ok);
    EXPECT_EQ(ServerCommClass::readQueryBuildAnswer(r, a, b), c.ok);
    EXPECT_EQ(ServerCommClass::readBuildListAnswer(r, list), c.ok);
    EXPECT_EQ(ServerCommClass::readBuildAnswer(r, a), c.ok);
    EXPECT_EQ(ServerCommClass::readRecoveryAnswer(r, x, y), c.ok);
  }
}

TEST(ServerCommAnswers, TransportFailureIsFalse) {
  Script s;
  s.fail = true;
  ServerCommClass comm(s.transport());
  BuildList list{{"1", "x"}};
  std::string text;
  EXPECT_FALSE(comm.ping("u"));
  EXPECT_FALSE(comm.GetBuildList(1, list, "u"));
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(comm.GetBuild(1, "t", "1", text, "u"));
}

TEST(ServerCommAnswers, QueryBuildTakesLinesTwoAndThree) {
  struct Case {
    std::string body, build, token;
  } cases[] = {
      {"ok", "keep", "keep"},
      {"ok\n123\n", "123", "keep"},
      {"ok\n123\r\nTOK\r\n", "123\r", "TOK"},
      {"ok\n\n77\n\nT2\nextra\n", "77", "T2"},
  };
  for (const auto& c : cases) {
    std::string build = "keep", token = "keep";
    ASSERT_TRUE(ServerCommClass::readQueryBuildAnswer({"u", 200, c.body}, build, token));
    EXPECT_EQ(build, c.build) << c.body;
    EXPECT_EQ(token, c.token) << c.body;
  }
}

TEST(ServerCommAnswers, BuildListKeepsFirstEntryPerBuildAndSkipsShortLines) {
  BuildList list{{"stale", "1.0.0"}};
  TraceCapture trace(DEBUG_ServerComm);
  // Fields are the non-empty runs between ";" and carriage returns.
  ASSERT_TRUE(ServerCommClass::readBuildListAnswer(
      {"u", 200,
       "ok\n1234;2.1.0\n1234;9.9.9\nx\n99\n999\n;3.0.0\n55;\n66;1.2.3;extra\n77;4.5.6\r\n"
       "88;;1.0.0\n;;;\n\r\r4\r\n12345678901;1.22.333.4444\n"},
      list));
  const BuildList expected{{"1234", "2.1.0"}, {"999", ""},     {"3.0.0", ""},
                           {"55", ""},        {"66", "1.2.3"}, {"77", "4.5.6"},
                           {"88", "1.0.0"},   {"4", ""},       {"12345678901", "1.22.333.4444"}};
  EXPECT_EQ(list, expected);
  const std::string text = trace.text();
  EXPECT_NE(text.find("GetBuildList processing entry: [1234;9.9.9]\nGetBuildList [1234][9.9.9]\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("GetBuildList [1234567890][1.22.333.4]\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("processing entry: [x]"), std::string::npos) << text;
}

TEST(ServerCommAnswers, BuildPayloadIsLineTwo) {
  std::string payload = "old";
  ASSERT_TRUE(ServerCommClass::readBuildAnswer({"u", 200, "ok\nQUJD\n"}, payload));
  EXPECT_EQ(payload, "QUJD");
  ASSERT_TRUE(ServerCommClass::readBuildAnswer({"u", 200, "ok\n"}, payload));
  EXPECT_EQ(payload, "");
}

TEST(ServerCommAnswers, RecoveryInfoNumbers) {
  struct Case {
    std::string body;
    uint32_t serial, build;
  } cases[] = {
      {"ok\n40F5849A\n0x10\n", 0x40F5849A, 16},
      {"ok\n40F5849A\n010\n", 0x40F5849A, 8},
      {"ok\n40F5849A\n99528558\n", 0x40F5849A, 99528558},
      {"ok\nZZ\n12abc\n", 0, 12},
      {"ok\n1FFFFFFFFF\n99999999999\n", 0xFFFFFFFF, 0xFFFFFFFF},
      {"ok\nAB\n", 0xAB, 5},
      {"ok\n", 4, 5},
  };
  for (const auto& c : cases) {
    uint32_t serial = 4, build = 5;
    ASSERT_TRUE(ServerCommClass::readRecoveryAnswer({"u", 200, c.body}, serial, build));
    EXPECT_EQ(serial, c.serial) << c.body;
    EXPECT_EQ(build, c.build) << c.body;
  }
}

TEST(ServerCommSort, SortVersionComparesTriples) {
  struct Case {
    const char *a, *b;
    bool before;
  } cases[] = {
      {"2.12.4", "2.9.10", true},   {"2.9.10", "2.12.4", false}, {"3.0.0", "2.255.255", true},
      {"2.1.0", "2.1.0", false},    {"2.1.1", "2.1.0", true},    {" 2.+1.0x", "2.0.9", true},
      {"2.1.0", "2.1", true},       {"2.1", "2.1.0", false},     {"2.1", "2.1.0.1", false},
      {"2.1.0.1", "2.1", false},    {"a.b.c", "0.0.0", false},   {"0.0.0", "a.b.c", true},
      {"2..1", "0.0.0", false},     {"1.0.99999999999", "0.0.0", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ServerCommClass::_sortVersion({"b1", c.a}, {"b2", c.b}), c.before)
        << c.a << " vs " << c.b;
}

TEST(ServerCommSort, UnreadableVersionIsTracedUnlessNeitherHasThreeParts) {
  struct Case {
    const char *a, *b;
    bool traced;
  } cases[] = {
      {"2.1", "2.1.0.1", false}, {"", "bad", false},    {"a.b.c", "x.y.z", true},
      {"a.b.c", "2.1", true},    {"2.1", "1.x.0", true}, {"2.1.0", "2..1", true},
      {"2.1.0", "2.1.1", false},
  };
  for (const auto& c : cases) {
    TraceCapture trace(DEBUG_ServerComm);
    ServerCommClass::_sortVersion({"b1", c.a}, {"b2", c.b});
    const std::string text = trace.text();
    EXPECT_EQ(text.rfind("_sortVersion: Exception converting version: ", 0) == 0, c.traced)
        << c.a << " vs " << c.b << ": " << text;
  }
}

TEST(ServerCommSort, NewestFirstThenUnreadableInBuildOrderNothingLost) {
  const BuildList list{{"10", "2.9.10"}, {"11", "bad"},   {"20", "2.12.4"}, {"30", ""},
                       {"40", "2.12.4"}, {"50", "1.0.0"}, {"60", "2.1"},    {"70", "3.0.0"}};
  const std::vector<BuildEntry> expected{{"70", "3.0.0"}, {"20", "2.12.4"}, {"40", "2.12.4"},
                                         {"10", "2.9.10"}, {"50", "1.0.0"}, {"11", "bad"},
                                         {"30", ""},       {"60", "2.1"}};
  EXPECT_EQ(ServerCommClass::sortBuildsByVersion(list), expected);
}

TEST(ServerCommBase64, DecodesValidTextAndRefusesTheRest) {
  struct Case {
    std::string text;
    bool ok;
    std::string bytes;
  } cases[] = {
      {"QUJD", true, "ABC"},
      {"QUI=", true, "AB"},
      {"QQ==", true, "A"},
      {"SGVsbG8sIHdvcmxkIQ==", true, "Hello, world!"},
      {"+/+/", true, "\xfb\xff\xbf"},
      {"AAAA", true, std::string(3, '\0')},
      {"", false, ""},
      {"QUJDRE", false, ""},
      {"QUJ", false, ""},
      {"QU*D", false, ""},
      {"QUJD\r", false, ""},
      {"QU D", false, ""},
      {"Q===", false, ""},
      {"QU=D", false, ""},
      {"QQ==QUJD", false, ""},
      {"QUJ-", false, ""},
  };
  for (const auto& c : cases) {
    const auto decoded = ServerCommClass::decodeBase64(c.text.data(), c.text.size());
    ASSERT_EQ(decoded.has_value(), c.ok) << "[" << c.text << "]";
    if (c.ok) {
      EXPECT_EQ(std::string(decoded->begin(), decoded->end()), c.bytes) << c.text;
    }
  }
  EXPECT_FALSE(ServerCommClass::decodeBase64(nullptr, 4));
}

}  // namespace
