// The real Updater binary against a table of command lines: standard output,
// standard error and exit status, with the store kept in a temporary folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "updater/UpdaterOptions.h"

namespace {

using cltest::binPath;
using cltest::readFile;
using cltest::runProgram;
using cltest::sourcePath;

const std::string kNotice = "Copyright (c) 2026 Vexalind. Keeps CoreLatch device firmware current.\n";

std::string usage(const char* name) { return readFile(sourcePath(std::string("tests/data/cli/") + name)); }
std::string versionOut() { return versionLine() + "\n"; }

const std::string kTransportError =
    "Invalid transport type:[FOO]\nMust be one of the following: USB, TCPIP, RECOVER\n";
// An update server nobody listens on, so commands that reach for the server fail at once.
const std::string kDeadServer = "http://127.0.0.1:9/cgi/u";

struct Case {
  const char* name;
  std::vector<std::string> args;
  int status;
  // Exact texts where the whole output is known; otherwise fragments.
  const char* outExact = nullptr;  // special values below
  const char* errExact = nullptr;
  std::vector<std::string> outHas = {};
  std::vector<std::string> errHas = {};
  std::vector<std::string> errLacks = {};
};

// Table rows print as their names in test listings.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// Markers for outputs built from the version line, notice and usage files.
const char* const kOutVersion = "<version>";
const char* const kOutVersionNotice = "<version+notice>";

std::string expand(const char* text) {
  const std::string t = text;
  if (t == kOutVersion) return versionOut();
  if (t == kOutVersionNotice) return versionOut() + kNotice;
  if (t == "<short>") return usage("usage_short.txt");
  if (t == "<full>") return usage("usage_full.txt");
  if (t == "<full+ext>") return usage("usage_full_extended.txt");
  if (t == "<transport+full>") return kTransportError + usage("usage_full.txt");
  if (t == "<transport+short>") return kTransportError + usage("usage_short.txt");
  if (t == "<bad-serial-0+short>")
    return "Invalid serial number obtained from argument [0]\n" + usage("usage_short.txt");
  if (t == "<bad-serial-XYZ+short>")
    return "Invalid serial number obtained from argument [XYZ]\n" + usage("usage_short.txt");
  if (t == "<bad-router+short>")
    return "Invalid router serial number obtained from argument [G1]\n" + usage("usage_short.txt");
  if (t == "<multi-url+short>")
    return "Multiple update server URLs specified. Choose one of: --https, --http, or -U "
           "<host:port>.\n" +
           usage("usage_short.txt");
  if (t == "<unhandled+short>") return "Unhandled command: [-Y]\n" + usage("usage_short.txt");
  if (t == "<no-serial-B>")
    return "Error must supply a serial number for the List Builds command\n" + usage("usage_short.txt");
  if (t == "<no-serial-L>")
    return "Error must supply a serial number for the List Local Builds command\n" +
           usage("usage_short.txt");
  return t;
}

const Case kCases[] = {
    {"NoArguments", {}, 0, kOutVersionNotice, "<short>"},
    {"SerialAloneIsNoCommand", {"-d", "12345678"}, 0, kOutVersionNotice, "<short>"},
    {"WordsThatAreNotOptionsAreSetAside", {"hello", "world"}, 0, kOutVersionNotice, "<short>"},
    {"HelpAfterMaskShowsExtended", {"-X", "1", "-h"}, 0, kOutVersionNotice, "<full+ext>"},
    {"HelpBeforeMaskHidesExtended", {"-h", "-X", "1"}, 0, kOutVersionNotice, "<full>"},
    {"UpperHelp", {"-H"}, 0, kOutVersionNotice, "<full>"},
    {"LongHelp", {"--help"}, 0, kOutVersionNotice, "<full>"},
    {"LongHelpPrefix", {"--he"}, 0, kOutVersionNotice, "<full>"},
    {"SlashHelp", {"/h"}, 0, kOutVersionNotice, "<full>"},
    {"HelpEndsParsingAndForgetsErrors", {"-t", "FOO", "-h"}, 0, kOutVersionNotice, "<transport+full>"},
    {"HelpIgnoresEverythingAfterIt", {"-h", "-t", "FOO", "-Y"}, 0, kOutVersionNotice, "<full>"},
    {"BadTransport", {"-t", "FOO", "-D"}, 1, kOutVersionNotice, "<transport+short>"},
    {"ZeroSerial", {"-d", "0", "-D"}, 1, kOutVersionNotice, "<bad-serial-0+short>"},
    {"ZeroSerialAfterPrefix", {"-d", "0x0", "-D"}, 1, kOutVersionNotice, "<bad-serial-0+short>"},
    {"NonHexSerial", {"-d", "XYZ", "-D"}, 1, kOutVersionNotice, "<bad-serial-XYZ+short>"},
    {"NonHexRouter", {"-r", "G1", "-D"}, 1, kOutVersionNotice, "<bad-router+short>"},
    {"TwoServerChoices", {"-u", "a:1", "--https", "-D"}, 1, kOutVersionNotice, "<multi-url+short>"},
    {"HttpAndUrl", {"--http", "-u", "a:1", "-D"}, 1, kOutVersionNotice, "<multi-url+short>"},
    {"UnhandledY", {"-Y", "-D"}, 1, kOutVersionNotice, "<unhandled+short>"},
    {"ListBuildsNeedsSerial", {"-B"}, 1, kOutVersion, "<no-serial-B>"},
    {"ListLocalNeedsSerial", {"-L"}, 1, kOutVersion, "<no-serial-L>"},
    {"GetNeedsSerial", {"-G"}, 1, kOutVersion,
     "-G must specify a specific device via -d\n--help for usage information\n"},
    {"RefusedSerialLeavesCommand", {"-d", "-G"}, 1, kOutVersion,
     "-G must specify a specific device via -d\n--help for usage information\n"},
    {"UpdateNeedsSerial", {"-U"}, 1, kOutVersion, "Must specify the specific device to be updated\n"},
    {"RefusedSerialBeforeUpdate", {"-d", "-U"}, 1, kOutVersion,
     "Must specify the specific device to be updated\n"},
    {"FingerprintNeedsPort", {"-N"}, 1, kOutVersion, "Must specify the serial port used for connecting\n"},
    // A "/" word that names an option is refused as an argument and examined as that option.
    {"SlashOptionRefusedAsArgument", {"-s", "/N", "-Z", "x"}, 1, kOutVersion,
     "Must specify the serial port used for connecting\n"},
    {"SlashOptionAfterSerialIsOption", {"-d", "/U"}, 1, kOutVersion,
     "Must specify the specific device to be updated\n"},
    {"ZWithoutWordIsRefused", {"-Z"}, 0, kOutVersionNotice, "<short>"},
    {"ZWithWordRunsNothing", {"-Z", "x"}, 0, kOutVersion, ""},
    {"UnknownLongWordIsNotShortOption", {"-help", "-Z", "x"}, 0, kOutVersion, ""},
    {"OptionWithUnwantedArgumentIsRefused", {"-Z", "x", "-G=1"}, 0, kOutVersion, ""},
    {"AmbiguousPrefixSkipped", {"--htt", "-u", "a:1", "-Z", "x"}, 0, kOutVersion, ""},
    {"PrefixOfOverride", {"-OV", "-Z", "x"}, 0, kOutVersion, ""},

    // Commands that reach the update server use one that is not listening.
    {"BuildTextFromNonDigits", {"-b", "abc", "-G", "-d", "1", "-u", kDeadServer}, 1, nullptr, nullptr,
     {"Retrieving firmware for device with serial number 00000001\nRetrieving firmware build 0\n"}},
    {"BuildTextLeadingZeros", {"-b", "007", "-G", "-d", "1", "-u", kDeadServer}, 1, nullptr, nullptr,
     {"Retrieving firmware build 7\n"}},
    {"BuildTextSaturates", {"-b", "99999999999", "-G", "-d", "1", "-u", kDeadServer}, 1, nullptr,
     nullptr, {"Retrieving firmware build 4294967295\n"}},
    {"LatestBuildWhenNoneGiven", {"-G", "-d", "1", "-u", kDeadServer}, 1, nullptr, nullptr,
     {"No build specified\nUsing Latest build\n"}},
    {"SerialSaturates", {"-G", "-d", "1FFFFFFFFF", "-u", kDeadServer}, 1, nullptr, nullptr,
     {"serial number FFFFFFFF\n"}},
    {"SlashOptions", {"/G", "/d", "40F5849A", "-u", kDeadServer}, 1, nullptr, nullptr,
     {"serial number 40F5849A\n"}},
    {"EqualsArgument", {"-G", "-d=40F5849A", "-u=" + kDeadServer}, 1, nullptr, nullptr,
     {"serial number 40F5849A\n"}},
    {"HexPrefixDroppedWithTrace", {"-X", "1", "-G", "-d", "0x1A2B", "-u", kDeadServer}, 1, nullptr,
     nullptr, {"serial number 00001A2B\n"}, {"Discarding '0x' serial number prefix\n"}},
    {"RouterPrefixTrace", {"-X", "1", "-G", "-d", "5", "-r", "0X77", "-u", kDeadServer}, 1, nullptr,
     nullptr, {}, {"Discarding '0x' router serial number prefix\n"}},
    {"BadMaskIsNotApplied", {"-X", "1z", "-G", "-d", "0x5", "-u", kDeadServer}, 1, nullptr, nullptr,
     {"serial number 00000005\n"},
     {"Invalid format for \"-X\" parameter, unprocessed characters [z]\n"},
     {"Discarding"}},
    {"MasksAccumulate", {"-X", "0x10000", "-X=1", "-G", "-d", "0x5", "-u", kDeadServer}, 1, nullptr,
     nullptr, {}, {"Application parameters:[Updater]\n", "Discarding '0x' serial number prefix\n"}},
    {"FingerprintWithPortTriesAndFails", {"-s=/nonexistent/port", "-N"}, 1, nullptr, nullptr, {},
     {"Got no response from chip\n"}},
    // Absolute paths are arguments, not options.
    {"AbsolutePathIsAnArgument", {"-s", "/nonexistent/port", "-N"}, 1, nullptr, nullptr, {},
     {"Got no response from chip\n"}, {"Must specify the serial port"}},
    {"DiscoveryWinsOverUpdate", {"-D", "-U"}, 0, nullptr, nullptr,
     {"Searching for CoreLatch devices\n"}, {}, {"Must specify the specific device"}},
    {"NetworkDiscoveryNamesRouter", {"-D", "-r", "abcd", "-t", "TCP"}, 0, nullptr, nullptr,
     {"Searching for CoreLatch Network devices connected to 0000ABCD\n"}},
    {"DownloadFailureStillRunsUpdate", {"-G", "-U", "-d", "1", "-u", kDeadServer}, 1, nullptr, nullptr,
     {"Retrieving firmware for device with serial number 00000001\n"}},
};

class CommandLine : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLine, PrintsAndExitsAsSpecified) {
  const Case& c = GetParam();
  cltest::TempDir home;
  std::vector<std::string> args = {"-i=" + home.path()};
  args.insert(args.end(), c.args.begin(), c.args.end());
  cltest::RunOptions options;
  options.setEnv["HOME"] = home.path();
  const auto result = runProgram(binPath("Updater"), args, options);
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.status, c.status) << result.out << result.err;
  if (c.outExact) {
    EXPECT_EQ(result.out, expand(c.outExact));
  } else {
    EXPECT_EQ(result.out.rfind(versionOut(), 0), 0u) << result.out;
  }
  if (c.errExact) {
    EXPECT_EQ(result.err, expand(c.errExact));
  }
  for (const auto& s : c.outHas) {
    EXPECT_NE(result.out.find(s), std::string::npos) << s << "\n" << result.out;
  }
  for (const auto& s : c.errHas) {
    EXPECT_NE(result.err.find(s), std::string::npos) << s << "\n" << result.err;
  }
  for (const auto& s : c.errLacks) {
    EXPECT_EQ(result.err.find(s), std::string::npos) << s << "\n" << result.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, CommandLine, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// HOME points into the test's folder, so a run that ignored -i could not reach the real one.
cltest::RunOptions isolated(const cltest::TempDir& dir) {
  cltest::RunOptions options;
  options.setEnv["HOME"] = dir / "home";
  return options;
}

// The store directory: created with its parents under the chosen base.
TEST(StoreDirectory, CreatedUnderHomeWithParents) {
  cltest::TempDir home;
  cltest::RunOptions options;
  options.setEnv["HOME"] = home.path();
  options.unsetEnv = {"HOMEDRIVE", "HOMEPATH"};
  const auto result = runProgram(binPath("Updater"), {"-Z", "x"}, options);
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(cltest::isDirectory(home / ".vexalind/updater"));
}

TEST(StoreDirectory, HomeDriveAndPathWinOverHome) {
  cltest::TempDir home, drive;
  cltest::RunOptions options;
  options.setEnv["HOME"] = home.path();
  options.setEnv["HOMEDRIVE"] = drive.path();
  options.setEnv["HOMEPATH"] = "/profile";
  const auto result = runProgram(binPath("Updater"), {"-Z", "x"}, options);
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(cltest::isDirectory(drive / "profile/.vexalind/updater"));
  EXPECT_FALSE(cltest::pathExists(home / ".vexalind"));
}

TEST(StoreDirectory, BaseDirectoryOptionNestsUpdater) {
  cltest::TempDir base;
  const auto result = runProgram(binPath("Updater"), {"-i", base / "a/b", "-I"}, isolated(base));
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(cltest::isDirectory(base / "a/b/updater"));
}

TEST(StoreDirectory, BaseThatIsAFileFails) {
  cltest::TempDir base;
  cltest::writeFile(base / "plain", "not a folder");
  const auto result = runProgram(binPath("Updater"), {"-i", base / "plain", "-Z", "x"}, isolated(base));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Could not find updater directory at " + base / "plain/updater" + "\n");
  EXPECT_EQ(cltest::readFile(base / "plain"), "not a folder");
}

TEST(StoreDirectory, BaseTooLongToJoinIsNamedInFull) {
  cltest::TempDir base;
  const std::string longBase = base / std::string(2100, 'x');
  const auto result = runProgram(binPath("Updater"), {"-i", longBase, "-Z", "x"}, isolated(base));
  EXPECT_EQ(result.status, 1);
  // The display cuts the line at 2047 characters; what it shows is the path asked for.
  const std::string prefix = "Could not find updater directory at " + longBase;
  EXPECT_EQ(result.err.rfind(prefix.substr(0, 2000), 0), 0u) << result.err.substr(0, 80);
}

TEST(StoreDirectory, StoreNameTakenByAFileFails) {
  cltest::TempDir base;
  cltest::writeFile(base / "updater", "");
  const auto result = runProgram(binPath("Updater"), {"-i", base.path(), "-Z", "x"}, isolated(base));
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("Could not find updater directory at"), std::string::npos);
}

}  // namespace
