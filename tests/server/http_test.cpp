// HttpGet against the reference server on loopback: URLs, statuses, the
// transport failures, the time and size limits, and certificate checks.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "../firmware/TraceCapture.h"
#include "ReferenceServer.h"
#include "TestSupport.h"
#include "server/HttpGet.h"

namespace {

using cltest::ReferenceServer;
using cltest::TempDir;

struct UrlCase {
  std::string base;
  HttpParams params;
  std::string expected;
};

TEST(HttpUrl, QueryIsKeysInByteOrderEachFollowedByAmpersand) {
  const UrlCase cases[] = {
      {"http://host/cgi/u", {{"op", "hi"}, {"rv", "2"}}, "http://host/cgi/u?op=hi&rv=2&"},
      {"http://host/cgi/u",
       {{"sn", "1"}, {"op", "bird"}, {"bld", "2"}, {"fw", "T"}, {"no_cal", "false"}},
       "http://host/cgi/u?bld=2&fw=T&no_cal=false&op=bird&sn=1&"},
      {"http://host/cgi/u", {}, "http://host/cgi/u"},
      {"host:8080", {{"fp", "A%20B"}}, "host:8080?fp=A%20B&"},
      {"h", {{"Z", "1"}, {"a", "2"}}, "h?Z=1&a=2&"},
  };
  for (const auto& c : cases) EXPECT_EQ(buildRequestUrl(c.base, c.params), c.expected);
}

class HttpGetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { setenv("no_proxy", "*", 1); }
  TempDir dir;
  ReferenceServer server{{"--repo", dir.path()}, dir / "server.log"};
};

TEST_F(HttpGetTest, OkAnswerCarriesStatusBodyAndUrl) {
  const HttpResponse r = HttpGet(server.url(), {{"op", "hi"}, {"rv", "2"}});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "ok corelatch-update-server\n");
  EXPECT_EQ(r.url, server.url() + "?op=hi&rv=2&");
}

TEST_F(HttpGetTest, HttpErrorsAreResultsNotFailures) {
  HttpResponse r = HttpGet(server.faultUrl("status500"), {{"op", "hi"}});
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.body, "internal error\n");
  std::string other = server.url();
  other.replace(other.size() - 6, 6, "/elsewhere");
  r = HttpGet(other, {});
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, "not found\n");
}

TEST_F(HttpGetTest, SlowAnswerWithinTheLimitsArrives) {
  const HttpResponse r = HttpGet(server.faultUrl("slow:300"), {{"op", "hi"}});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "ok corelatch-update-server\n");
}

struct FailureCase {
  const char* name;
  std::string url;
  HttpSettings settings;
  std::string expectedText;
};

TEST_F(HttpGetTest, TransportFailuresThrowWithOneLineText) {
  HttpSettings stall;
  stall.stallSeconds = 1;  // the built-in 30 s would only make the test slow
  HttpSettings small;
  small.maxBodyBytes = 10;
  std::string refused = server.url();
  {
    // A port that was free a moment ago and has no listener now.
    TempDir other;
    ReferenceServer gone{{"--repo", other.path()}, other / "log"};
    refused = gone.url();
  }
  const FailureCase cases[] = {
      {"connection refused", refused, {}, "Couldn't connect to server"},
      {"cut mid-body", server.faultUrl("cut"), {}, "Transferred a partial file"},
      {"stalled answer", server.faultUrl("stall:20000"), stall, "Timeout was reached"},
      {"answer too large", server.url(), small, "Answer larger than 10 bytes"},
      {"not http", "file:///etc/hostname", {}, "Unsupported protocol"},
      {"bad url", "http://[nonsense/cgi/u", {}, "URL using bad/illegal format or missing URL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      HttpGet(c.url, {{"op", "hi"}}, c.settings);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), c.expectedText);
    }
  }
}

class HttpsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { setenv("no_proxy", "*", 1); }
  TempDir dir;
  cltest::TestCertificates certs =
      cltest::makeTestCertificates(dir.path(), "IP:127.0.0.1,DNS:localhost");
  ReferenceServer server{{"--repo", dir.path(), "--https", "0", "--cert", certs.serverCert,
                          "--key", certs.serverKey},
                         dir / "server.log"};
};

TEST_F(HttpsTest, TrustedPrivateCaIsAccepted) {
  HttpSettings settings;
  settings.caFile = certs.caCert;
  const HttpResponse r = HttpGet(server.url("https"), {{"op", "hi"}}, settings);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "ok corelatch-update-server\n");
}

TEST_F(HttpsTest, CertificateOutsideTheTrustedAuthoritiesIsRefused) {
  EXPECT_THROW(HttpGet(server.url("https"), {{"op", "hi"}}), std::runtime_error);
  // Another CA file does not vouch for this server either.
  TempDir otherDir;
  const auto other = cltest::makeTestCertificates(otherDir.path(), "IP:127.0.0.1", "other");
  HttpSettings settings;
  settings.caFile = other.caCert;
  EXPECT_THROW(HttpGet(server.url("https"), {{"op", "hi"}}, settings), std::runtime_error);
}

TEST(HttpsHostName, CertificateForAnotherNameIsRefused) {
  setenv("no_proxy", "*", 1);
  TempDir dir;
  const auto certs = cltest::makeTestCertificates(dir.path(), "DNS:updates.example");
  ReferenceServer server{{"--repo", dir.path(), "--https", "0", "--cert", certs.serverCert,
                          "--key", certs.serverKey},
                         dir / "server.log"};
  HttpSettings settings;
  settings.caFile = certs.caCert;
  try {
    HttpGet(server.url("https"), {{"op", "hi"}}, settings);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("certificate"), std::string::npos) << e.what();
  }
}

}  // namespace

namespace {

TEST(HttpReceive, AppendsChunksAndRefusesTheOneThatPassesTheLimit) {
  HttpResponse response;
  HttpReceiveState state{&response, 8};
  char chunk[] = "abcdef";
  EXPECT_EQ(rcv_data(chunk, 1, 3, &state), 3u);
  EXPECT_EQ(rcv_data(chunk + 3, 1, 3, &state), 3u);
  EXPECT_EQ(response.body, "abcdef");
  EXPECT_FALSE(state.tooLarge);
  EXPECT_EQ(rcv_data(chunk, 1, 3, &state), 0u);  // 9 > 8
  EXPECT_TRUE(state.tooLarge);
  EXPECT_EQ(response.body, "abcdef");
  EXPECT_EQ(rcv_data(chunk, 2, 1, &state), 2u);  // exactly up to the limit
  EXPECT_EQ(response.body, "abcdefab");
}

TEST(HttpReceive, TraceShowsTheChunkRightAlignedInAHundredColumns) {
  HttpResponse response;
  HttpReceiveState state{&response, 1000};
  const std::string big(150, 'x');
  char small[] = "abc";
  TraceCapture trace(DEBUG_ServerComm);
  rcv_data(small, 1, 3, &state);
  rcv_data(const_cast<char*>(big.data()), 1, big.size(), &state);
  char id[16];
  snprintf(id, sizeof id, "%08X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(&response)));
  const std::string expected = "rcv_data called (..., 1, 3, " + std::string(id) + ") [" +
                               std::string(97, ' ') + "abc]\nrcv_data returns 3\n" +
                               "rcv_data called (..., 1, 150, " + id + ") [" +
                               std::string(100, 'x') + "]\nrcv_data returns 150\n";
  EXPECT_EQ(trace.text(), expected);
}

}  // namespace
