// ServerCommClass against the reference server over its sample repository:
// every operation end to end through HttpGet.
#include <gtest/gtest.h>

#include <cstdlib>

#include "ReferenceServer.h"
#include "TestSupport.h"
#include "server/ServerCommClass.h"

namespace {

using cltest::TempDir;

class ReferenceServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { setenv("no_proxy", "*", 1); }
  ReferenceServerTest() {
    const auto r = cltest::runProgram(cltest::binPath("corelatch-update-server"),
                                      {"--make-sample", dir / "repo"});
    EXPECT_EQ(r.status, 0) << r.err;
    server = std::make_unique<cltest::ReferenceServer>(
        std::vector<std::string>{"--repo", dir / "repo", "--fixes", dir / "repo/fixes.txt"},
        dir / "server.log");
    url = server->url();
  }
  TempDir dir;
  std::unique_ptr<cltest::ReferenceServer> server;
  std::string url;
  ServerCommClass comm;
};

TEST_F(ReferenceServerTest, ListQueryAndFetchABuild) {
  EXPECT_TRUE(comm.ping(url.c_str()));

  BuildList list;
  ASSERT_TRUE(comm.GetBuildList(0x40F5849A, list, url.c_str()));
  const BuildList expected{
      {"99527000", "2.9.10"}, {"99528100", "2.10.4"}, {"99528558", "2.12.4"}};
  EXPECT_EQ(list, expected);

  std::string latest, token;
  ASSERT_TRUE(comm.QueryBuild(0x40F5849A, latest, token, url.c_str()));
  EXPECT_EQ(latest, "99528558");
  EXPECT_FALSE(token.empty());

  std::string payload;
  ASSERT_TRUE(comm.GetBuild(0x40F5849A, token, "99528100", payload, url.c_str()));
  const auto bytes = ServerCommClass::decodeBase64(payload.data(), payload.size());
  ASSERT_TRUE(bytes);
  EXPECT_EQ(std::string(bytes->begin(), bytes->end()),
            cltest::readFile(dir / "repo/40F5849A/99528100.bird"));

  // The token is per device; another device's token does not fetch the build.
  std::string otherToken;
  ASSERT_TRUE(comm.QueryBuild(0x2181F0EE, latest, otherToken, url.c_str()));
  EXPECT_EQ(latest, "1200");
  EXPECT_FALSE(comm.GetBuild(0x40F5849A, otherToken, "99528100", payload, url.c_str()));
  EXPECT_FALSE(comm.GetBuild(0x40F5849A, token, "1", payload, url.c_str()));
}

TEST_F(ReferenceServerTest, UnknownDeviceHasAnEmptyListAndNoLatestBuild) {
  BuildList list{{"x", "y"}};
  EXPECT_TRUE(comm.GetBuildList(0x12345678, list, url.c_str()));
  EXPECT_TRUE(list.empty());
  std::string latest = "keep", token;
  EXPECT_FALSE(comm.QueryBuild(0x12345678, latest, token, url.c_str()));
  EXPECT_EQ(latest, "keep");
}

TEST_F(ReferenceServerTest, OnlyFilesNamedAsAClientBuildNumberAreOffered) {
  // Build 0 and numbers past 32 bits cannot be asked for; a leading zero would
  // be asked for under another name.
  const std::string folder = dir / "repo/2181F0EE";
  const std::string good = cltest::readFile(folder + "/1200.bird");
  for (const char* name : {"0", "0100", "4294967296", "4294967295", "12x"})
    cltest::writeFile(folder + "/" + name + ".bird", good);
  BuildList list;
  ASSERT_TRUE(comm.GetBuildList(0x2181F0EE, list, url.c_str()));
  const BuildList expected{{"1200", "2.11.0"}, {"4294967295", "2.11.0"}};
  EXPECT_EQ(list, expected);
}

TEST_F(ReferenceServerTest, RecoveryInfoFromTheFingerprintFile) {
  const uint32_t known[4] = {0x0A1B2C3D, 0x4E5F6071, 0x8293A4B5, 0xC6D7E8F9};
  uint32_t serial = 0, build = 0;
  ASSERT_TRUE(comm.GetRecoveryInfo(known, serial, build, url.c_str()));
  EXPECT_EQ(serial, 0x40F5849Au);
  EXPECT_EQ(build, 99528558u);
  const uint32_t unknown[4] = {1, 2, 3, 4};
  serial = build = 7;
  EXPECT_FALSE(comm.GetRecoveryInfo(unknown, serial, build, url.c_str()));
  EXPECT_EQ(serial, 7u);
}

}  // namespace
