// -B, -L and -G of the real Updater against the reference update server on
// loopback, over HTTP and HTTPS (a private CA made for the test and trusted
// only through --cacert), with a store in a temporary folder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>

#include "../server/ReferenceServer.h"
#include "TestSupport.h"
#include "aDefs.h"
#include "firmware/BirdWriter.h"

namespace {

namespace fs = std::filesystem;
using cltest::ReferenceServer;
using cltest::RunResult;
using cltest::TempDir;
using ::testing::HasSubstr;

const char kDevice[] = "40F5849A";
const char kNewDevice[] = "2181F0EE";  // in the repository, never in the store beforehand

// Firmware-like bytes that do not compress much (the loader refuses bodies
// more than eight times their compressed size).
std::vector<uint8_t> image(uint32_t seed, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (auto& b : bytes) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  return bytes;
}

void writeBuild(const std::string& folder, const std::string& build, const std::string& version,
                const std::string& serial) {
  fs::create_directories(folder);
  BirdWriter writer;
  writer.addDescriptor("CoreLatch", version, serial, aDefs_GetModelName(14))
      .addFirmware(0x8000, image(static_cast<uint32_t>(std::stoul(build)), 3000));
  ASSERT_TRUE(writer.writeFile(folder + "/" + build + ".bird"));
}

// Every file under a folder with its content: the store before and after a run.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  if (!fs::exists(root)) return files;
  for (const auto& e : fs::recursive_directory_iterator(root))
    files[e.path().string()] = e.is_directory() ? "<dir>" : cltest::readFile(e.path().string());
  return files;
}

class BuildsE2E : public ::testing::Test {
 protected:
  BuildsE2E() {
    writeBuild(repo() + "/" + kDevice, "100", "2.9.10", kDevice);
    writeBuild(repo() + "/" + kDevice, "200", "2.12.4", kDevice);
    writeBuild(repo() + "/" + kDevice, "150", "2.10.4", kDevice);
    writeBuild(repo() + "/" + kNewDevice, "7", "1.0.0", kNewDevice);
    server = std::make_unique<ReferenceServer>(
        std::vector<std::string>{"--repo", repo(), "--http", "0", "--https", "0", "--cert",
                                 certs.serverCert, "--key", certs.serverKey},
        dir / "server.log");
  }

  std::string repo() const { return dir / "repo"; }
  std::string storeRoot() const { return dir / "home/updater"; }
  std::string deviceFolder(const std::string& serial = kDevice) const {
    return storeRoot() + "/" + serial;
  }

  // Updater with the store under the test folder and the server URL given.
  RunResult updater(std::vector<std::string> args, const std::string& url,
                    bool trustTestCa = true) {
    args.insert(args.end(), {"-i", dir / "home", "-u", url});
    if (trustTestCa) args.insert(args.end(), {"--cacert", certs.caCert});
    cltest::RunOptions options;
    options.setEnv["HOME"] = dir / "home";
    options.setEnv["no_proxy"] = "*";
    options.unsetEnv = {"HOMEDRIVE", "HOMEPATH", "http_proxy", "https_proxy", "HTTPS_PROXY",
                        "ALL_PROXY", "all_proxy"};
    options.timeoutSeconds = 60;
    return cltest::runProgram(cltest::binPath("Updater"), args, options);
  }

  TempDir dir;
  cltest::TestCertificates certs =
      cltest::makeTestCertificates(dir.path(), "IP:127.0.0.1,DNS:localhost");
  std::unique_ptr<ReferenceServer> server;
};

const char kVersionLine[] = "Updater (Version: 2.12.4 ";

TEST_F(BuildsE2E, ListBuildsNewestFirstOverHttpAndHttps) {
  for (const char* scheme : {"http", "https"}) {
    SCOPED_TRACE(scheme);
    const RunResult r = updater({"-B", "-d", kDevice}, server->url(scheme));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("\nBuild List for device [40F5849A]:\n\n"
                                 "Build          \tVersion        \n"
                                 "200            \t2.12.4         \n"
                                 "150            \t2.10.4         \n"
                                 "100            \t2.9.10         \n"));
    EXPECT_EQ(r.err, "");
  }
  // -u with a bare host:port is plain HTTP to the path "/".
  std::string hostPort = server->url("http").substr(7);
  hostPort.resize(hostPort.size() - 6);
  const RunResult r = updater({"-B", "-d", kNewDevice}, hostPort);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("7              \t1.0.0          \n"));
}

TEST_F(BuildsE2E, UnknownDeviceHasNoBuilds) {
  const RunResult r = updater({"-B", "-d", "12345678"}, server->url());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("No builds found for device [12345678]\n"));
}

TEST_F(BuildsE2E, GetLatestStoresFileAndHistory) {
  const RunResult r = updater({"-G", "-d", kDevice}, server->url("https"));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr("Retrieving firmware for device with serial number 40F5849A\n"
                               "No build specified\n"
                               "Using Latest build\n"
                               "Retrieving build 200\n"
                               "Validating build 200 with server\n"
                               "Build 200 is valid\n"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(cltest::readFile(deviceFolder() + "/200.bird"),
            cltest::readFile(repo() + "/40F5849A/200.bird"));
  const std::string settings = cltest::readFile(deviceFolder() + "/.settings");
  EXPECT_THAT(settings, HasSubstr("LATEST_DOWNLOAD=200.bird\n"));
  const std::regex time("LAST_DOWNLOAD_DATE=[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-3][0-9] "
                        "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n");
  EXPECT_TRUE(std::regex_search(settings, time)) << settings;
  // Nothing but the file and the history is left behind (no temporary files).
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(deviceFolder()))
    names.push_back(e.path().filename().string());
  EXPECT_THAT(names, ::testing::UnorderedElementsAre("200.bird", ".settings"));
}

TEST_F(BuildsE2E, GetListedBuildThenListLocal) {
  RunResult r = updater({"-G", "-d", kDevice, "-b", "100"}, server->url());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr("Retrieving firmware build 100\nRetrieving build 100\n"
                               "Validating build 100 with server\nBuild 100 is valid\n"));
  r = updater({"-G", "-d", kDevice, "-b", "150"}, server->url());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_THAT(cltest::readFile(deviceFolder() + "/.settings"),
              HasSubstr("LATEST_DOWNLOAD=150.bird\n"));
  cltest::writeFile(deviceFolder() + "/notes.txt", "not firmware\n");
  // A BIRD file without a descriptor has no version, but it is a BIRD file.
  BirdWriter bare;
  bare.addFirmware(0x8000, image(300, 3000));
  ASSERT_TRUE(bare.writeFile(deviceFolder() + "/300.bird"));

  r = updater({"-L", "-d", kDevice, "-X", "1"}, "http://127.0.0.1:1/cgi/u");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("Build List for device [40F5849A]:\n\n"
                               "Build          \tVersion        \n"
                               "150            \t2.10.4         \n"
                               "100            \t2.9.10         \n"
                               "300            \t               \n"
                               "notes.txt      \t               \n"));
  EXPECT_THAT(r.err, HasSubstr("Could NOT file VERSION in birdfile: " + deviceFolder() +
                               "/notes.txt\n"));
  EXPECT_THAT(r.err, HasSubstr("Found VERSION in birdfile: " + deviceFolder() +
                               "/150.bird - Version: \n"));
  EXPECT_THAT(r.err, ::testing::Not(HasSubstr("VERSION in birdfile: " + deviceFolder() + "/300")));
}

TEST_F(BuildsE2E, UnlistedBuildIsRefusedUnlessOverridden) {
  RunResult r = updater({"-G", "-d", kDevice, "-b", "123"}, server->url());
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("Retrieving build 123\nValidating build 123 with server\n"));
  EXPECT_EQ(r.err, "No valid build 123\n");
  EXPECT_FALSE(fs::exists(deviceFolder()));

  // A server whose list does not show the build: the override skips the check.
  const std::string noList = server->faultUrl("notok/builds");
  r = updater({"-G", "-d", kDevice, "-b", "150"}, noList);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "No valid build 150\n");
  r = updater({"-G", "-d", kDevice, "-b", "150", "-OVERRIDE"}, noList);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("Retrieving build 150\n"
                               "Override specified, skipping validation of build 150\n"));
  EXPECT_EQ(cltest::readFile(deviceFolder() + "/150.bird"),
            cltest::readFile(repo() + "/40F5849A/150.bird"));

  // Overridden, but the server has no such build.
  r = updater({"-G", "-d", kDevice, "-b", "123", "-OVERRIDE"}, server->url());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Download failed\nFailed to retrieve a valid BIRD file\n");
  EXPECT_FALSE(fs::exists(deviceFolder() + "/123.bird"));
}

struct FaultCase {
  const char* spec;
  const char* errors;  // the whole standard error, %s for the URL
};

// Every fault ends with status 1, its messages, and the store exactly as it
// was: the known device keeps its file and history, the new one gets nothing.
TEST_F(BuildsE2E, FaultsEndWithStatusOneAndAnUntouchedStore) {
  const FaultCase cases[] = {
      {"status500/hi", "Server request failed for %s\n"},
      {"notok/hi", "Server request failed for %s\n"},
      {"cut/hi", "Server request failed for %s\n"},
      {"status500/qu", "No build information for device\n"},
      {"notok/qu", "No build information for device\n"},
      {"status500/builds", "No valid build %b\n"},
      {"status500/bird", "Download failed\nFailed to retrieve a valid BIRD file\n"},
      {"notok/bird", "Download failed\nFailed to retrieve a valid BIRD file\n"},
      {"cut/bird", "Download failed\nFailed to retrieve a valid BIRD file\n"},
      {"badbase64/bird", "Failed to retrieve a valid BIRD file\n"},
      {"badlength/bird", "Failed to retrieve a valid BIRD file\n"},
      {"nopayload/bird", "Failed to retrieve a valid BIRD file\n"},
      {"notbird/bird", "Failed to retrieve a valid BIRD file\n"},
  };
  ASSERT_EQ(updater({"-G", "-d", kDevice, "-b", "100"}, server->url()).status, 0);
  const auto before = snapshot(storeRoot());
  ASSERT_EQ(before.count(deviceFolder() + "/100.bird"), 1u);
  for (const char* scheme : {"http", "https"}) {
    for (const auto& c : cases) {
      for (const char* serial : {kDevice, kNewDevice}) {
        SCOPED_TRACE(std::string(scheme) + " " + c.spec + " " + serial);
        const std::string url = server->faultUrl(c.spec, scheme);
        const RunResult r = updater({"-G", "-d", serial}, url);
        EXPECT_EQ(r.status, 1);
        std::string expected = c.errors;
        const size_t u = expected.find("%s");
        if (u != std::string::npos) expected.replace(u, 2, url);
        const size_t b = expected.find("%b");
        if (b != std::string::npos) expected.replace(b, 2, serial == std::string(kDevice) ? "200" : "7");
        EXPECT_EQ(r.err, expected);
        EXPECT_EQ(snapshot(storeRoot()), before);
      }
    }
  }
}

TEST_F(BuildsE2E, SlowAnswerWithinTheLimitsStillDownloads) {
  const RunResult r = updater({"-G", "-d", kNewDevice}, server->faultUrl("slow:700/bird"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(cltest::readFile(deviceFolder(kNewDevice) + "/7.bird"),
            cltest::readFile(repo() + "/2181F0EE/7.bird"));
}

TEST_F(BuildsE2E, FailedWriteRecordsNothing) {
  ASSERT_EQ(updater({"-G", "-d", kDevice, "-b", "100"}, server->url()).status, 0);
  // A directory where the file should go: the rename into place fails.
  fs::create_directories(deviceFolder() + "/200.bird/inside");
  const auto before = snapshot(storeRoot());
  const RunResult r = updater({"-G", "-d", kDevice}, server->url());
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, ::testing::StartsWith("Failed to write file with "));
  EXPECT_EQ(snapshot(storeRoot()), before);
}

TEST_F(BuildsE2E, UnreachableServerFails) {
  std::string closed;
  {
    TempDir other;
    ReferenceServer gone{{"--repo", other.path()}, other / "log"};
    closed = gone.url();
  }
  RunResult r = updater({"-B", "-d", kDevice}, closed);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Server request failed for " + closed + "\n");
  EXPECT_THAT(r.out, HasSubstr("No builds found for device [40F5849A]\n"));
  r = updater({"-G", "-d", kDevice, "-X", "0x20"}, closed);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("ping ==> [Couldn't connect to server]\n"));
  EXPECT_THAT(r.err, HasSubstr("Server request failed for " + closed + "\n"));
  EXPECT_FALSE(fs::exists(deviceFolder()));
}

TEST_F(BuildsE2E, UntrustedCertificateIsRefused) {
  RunResult r = updater({"-G", "-d", kDevice, "-X", "0x20"}, server->url("https"), false);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("ping ==> [SSL peer certificate or SSH remote key was not OK]"));
  EXPECT_THAT(r.err, HasSubstr("Server request failed for " + server->url("https") + "\n"));
  EXPECT_FALSE(fs::exists(deviceFolder()));

  // A CA file that does not vouch for the server does not help either.
  TempDir otherDir;
  const auto other = cltest::makeTestCertificates(otherDir.path(), "IP:127.0.0.1", "other");
  r = updater({"-B", "-d", kDevice, "--cacert", other.caCert}, server->url("https"), false);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("No builds found for device [40F5849A]\n"));
  EXPECT_EQ(r.err, "Server request failed for " + server->url("https") + "\n");
}

TEST_F(BuildsE2E, TraceShowsRequestsAndAnswers) {
  const RunResult r = updater({"-B", "-d", kDevice, "-X", "0x20"}, server->url());
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("GET(" + server->url() + "?op=hi&rv=2&)\n"));
  EXPECT_THAT(r.err, HasSubstr("GET(" + server->url() + "?op=builds&sn=40F5849A&)\n"));
  EXPECT_THAT(r.err, HasSubstr("GetBuildList processing entry: [200;2.12.4]\n"));
  EXPECT_THAT(r.err, HasSubstr("rcv_data returns "));
}

}  // namespace
