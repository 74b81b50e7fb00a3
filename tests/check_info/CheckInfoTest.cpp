// -C and -I through the real Updater binary, with the store in a temporary
// folder (-i) and the BIRD files made by the writer.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"
#include "firmware/BirdWriter.h"
#include "store/UpdaterStore.h"

namespace {

using cltest::binPath;
using cltest::runProgram;
using cltest::TempDir;

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

BirdWriter goodWriter(const std::string& version = "2.12.4") {
  BirdWriter writer;
  writer.addDescriptor("CoreLatch hub", version, "40F5849A", "CLHUB")
      .addLoader(0x20000000, BirdWriter::sampleImage(300, 1))
      .addFirmware(0x1000, BirdWriter::sampleImage(5000, 2), 1)
      .addSerialRecord(0x1100, 0x1200)
      .addStartAddress(0x20000001);
  return writer;
}

cltest::RunResult updater(const TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), {"-i", dir.path()});
  return runProgram(binPath("Updater"), args);
}

TEST(CheckCommand, GoodFileWithLoaderTraces) {
  TempDir dir;
  const std::string path = dir / "good.bird";
  ASSERT_TRUE(goodWriter().writeFile(path));
  const auto r = updater(dir, {"-X", "8", "-C", "-f", path});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  for (const std::string& line :
       {"BIRD file: " + path + "\n", std::string("Header: 62 69 72 64 01 01 (\"bird\", bytes 01 01) valid\n"),
        std::string("Blocks: 5 parsed, 5 reported\n"),
        std::string("  1    0 loader          0     304        0x20000000\n"),
        std::string("  2    1 firmware        1     5004       0x00001000\n"),
        std::string("  Version  [2.12.4          ]\n"), std::string("  Model    [CLHUB           ]\n"),
        std::string("Serial-number record: serial number at 0x00001100, descriptor at 0x00001200\n"),
        std::string("Checksum: "), std::string("Result: OK\n")})
    EXPECT_TRUE(has(r.out, line)) << line << "\n" << r.out;
  for (const std::string& trace :
       {"BIRDFILE: Loading File [" + path + "]\n", std::string("BIRDFILE:\t\t File reports 5 blocks\n"),
        std::string("BIRDFILE:\t\t 01   01   5004\n"), std::string("BIRDFILE:\t\t File checksum "),
        std::string("BIRDFILE: Offsets: Serial number: 4352, Descriptor: 4608\n")})
    EXPECT_TRUE(has(r.err, trace)) << trace << "\n" << r.err;
}

TEST(CheckCommand, TracesOnlyUnderTheirMask) {
  TempDir dir;
  ASSERT_TRUE(goodWriter().writeFile(dir / "good.bird"));
  const auto r = updater(dir, {"-C", "-f", dir / "good.bird"});
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(has(r.err, "BIRDFILE")) << r.err;
}

TEST(CheckCommand, DamagedFilesFailWithTheirReason) {
  struct Case {
    const char* name;
    ByteVector bytes;
    bool missing;
    std::string out;    // on standard output
    std::string trace;  // on standard error under -X 8
  };
  const ByteVector good = goodWriter().file();
  ByteVector truncated(good.begin(), good.begin() + 100);
  ByteVector badMagic = good;
  badMagic[0] = 'x';
  ByteVector zeroHeader = good;
  zeroHeader[5] = 0;
  const Case cases[] = {
      {"truncated", truncated, false, "", "decompressing bird file.\n"},
      {"missing", {}, true, "", "BIRDFILE: BIRD file not found ["},
      {"count mismatch", goodWriter().setReportedCount(6).file(), false,
       "Result: FAILED (block count mismatch (5 parsed, 6 reported))\n",
       "BIRDFILE: Block parsing mismatch in number of blocks. (5 != 6)\n"},
      {"no checksum", goodWriter().omitChecksum().file(), false,
       "Result: FAILED (data size mismatch (-4 bytes remaining))\nChecksum: missing\n",
       "(-4 bytes remaining)"},
      {"no blocks", BirdWriter().file(), false, "Result: FAILED (no blocks)\n", "File reports 0 blocks"},
      {"magic", badMagic, false, "Result: FAILED (not a BIRD header)\n", "File reports 5 blocks"},
      {"header byte zero", zeroHeader, false, "not a BIRD header", "File reports 5 blocks"},
      {"six bytes", {'b', 'i', 'r', 'd', 1, 1}, false, "", "decompressing bird file.\n"},
      {"blocks too short for their fields",
       BirdWriter()
           .addBlock(4, 0, ByteVector(40, ' '))
           .addBlock(2, 0, {0, 0, 0x10})
           .addBlock(1, 0, {1, 2})
           .addFirmware(0x1000, ByteVector(16, 0))
           .file(),
       false,
       "Result: FAILED (block 0 (descriptor) shorter than 64 bytes; block 1 (serial record) "
       "shorter than 8 bytes; block 2 (firmware) shorter than 4 bytes)\n"
       "  2    1 firmware        0     2          -\n"
       "Descriptor: none\nSerial-number record: none\n",
       "File reports 4 blocks"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir / "f.bird";
    if (!c.missing) cltest::writeFile(path, std::string(c.bytes.begin(), c.bytes.end()));
    const auto r = updater(dir, {"-X", "8", "-C", "-f", path});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(has(r.err, c.trace)) << r.err;
    if (c.out.empty()) {
      EXPECT_TRUE(has(r.err, "Could not load BIRD file " + path + ": Failed to load bird data\n"))
          << r.err;
    } else {
      // "no checksum" carries two lines in any order; check each.
      size_t start = 0;
      while (start < c.out.size()) {
        const size_t end = c.out.find('\n', start);
        const std::string line = c.out.substr(start, end - start);
        EXPECT_TRUE(has(r.out, line)) << line << "\n" << r.out;
        start = end == std::string::npos ? c.out.size() : end + 1;
      }
    }
  }
}

TEST(CheckCommand, WithoutFileIsAnError) {
  TempDir dir;
  const auto r = updater(dir, {"-C"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Error must supply a BIRD file (-f) for the Check command\n\nApplication Usage:\n", 0),
            0u)
      << r.err;
}

TEST(CheckCommand, RunsAfterListLocalAndBeforeInfo) {
  TempDir dir;
  ASSERT_TRUE(goodWriter().writeFile(dir / "good.bird"));
  const auto both = updater(dir, {"-I", "-C", "-f", dir / "good.bird"});
  EXPECT_EQ(both.status, 0);
  EXPECT_TRUE(has(both.out, "Result: OK"));
  EXPECT_FALSE(has(both.out, "Store directory:")) << both.out;

  const auto local = updater(dir, {"-C", "-L", "-d", "40F5849A", "-f", dir / "good.bird"});
  EXPECT_FALSE(has(local.out, "Result:")) << local.out;
}

// ---------------------------------------------------------------------------
// -I

// Records a download the way the download command does: the file through
// writeItem, then the two history keys.
void recordDownload(const std::string& storeDir, uint32_t serial, uint32_t build,
                    const std::string& version, const std::string& date) {
  UpdaterStore store(storeDir);
  StoreItem device = store.getDevice(serial);
  const ByteVector file = goodWriter(version).file();
  const std::string name = std::to_string(build) + ".bird";
  ASSERT_EQ(store.writeItem(device, name, file.data(), file.size()), aErrNone);
  device.attributes.set("LATEST_DOWNLOAD", name);
  device.attributes.set("LAST_DOWNLOAD_DATE", date);
  ASSERT_EQ(device.attributes.save(), aErrNone);
}

TEST(InfoCommand, ShowsTheHistoryOfOneDevice) {
  TempDir dir;
  const std::string storeDir = dir / "updater";
  recordDownload(storeDir, 0x40F5849A, 99528558, "2.12.4", "Tue May 26 14:03:07 2026");
  recordDownload(storeDir, 0x40F5849A, 100, "2.10.4", "Wed May 27 09:00:00 2026");
  cltest::writeFile(storeDir + "/40F5849A/notes.txt", "not firmware");
  cltest::writeFile(storeDir + "/40F5849A/broken.bird", "bird\x01\x01zz");

  const auto r = updater(dir, {"-I", "-d", "40F5849A"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string expected =
      "Store directory: " + storeDir + "\n" +
      "Device 40F5849A: " + storeDir + "/40F5849A\n"
      "  LATEST_DOWNLOAD      100.bird\n"
      "  LAST_DOWNLOAD_DATE   Wed May 27 09:00:00 2026\n"
      "  LATEST_TRANSFER      (none)\n"
      "  LAST_TRANSFER_DATE   (none)\n"
      "  BIRD files:\n"
      "    100.bird             version 2.10.4\n"
      "    99528558.bird        version 2.12.4\n"
      "    broken.bird          version (cannot be loaded)\n";
  EXPECT_TRUE(has(r.out, expected)) << r.out;
  EXPECT_FALSE(has(r.out, "notes.txt"));
}

TEST(InfoCommand, ListsEveryDevice) {
  TempDir dir;
  const std::string storeDir = dir / "updater";
  recordDownload(storeDir, 0xDEADDEAD, 7, "1.0.0", "Mon May 25 10:00:00 2026");
  recordDownload(storeDir, 0x40F5849A, 99528558, "2.12.4", "Tue May 26 14:03:07 2026");
  {
    UpdaterStore store(storeDir);
    StoreItem device = store.getDevice(0x40F5849A);
    device.attributes.set("LATEST_TRANSFER", "99528558.bird");
    device.attributes.set("LAST_TRANSFER_DATE", "Tue May 26 14:05:00 2026");
    ASSERT_EQ(device.attributes.save(), aErrNone);
  }
  const auto r = updater(dir, {"-I"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string expected =
      "Device     Latest download      Download date              Latest transfer      Transfer date\n"
      "40F5849A   99528558.bird        Tue May 26 14:03:07 2026   99528558.bird        Tue May 26 14:05:00 2026\n"
      "DEADDEAD   7.bird               Mon May 25 10:00:00 2026   (none)               (none)\n";
  EXPECT_TRUE(has(r.out, expected)) << r.out;
}

TEST(InfoCommand, EmptyStoreAndUnknownDevice) {
  TempDir dir;
  const auto all = updater(dir, {"-I"});
  EXPECT_EQ(all.status, 0);
  EXPECT_TRUE(has(all.out, "Store directory: " + (dir / "updater") + "\nNo devices in the store\n"))
      << all.out;
  const auto one = updater(dir, {"-I", "-d", "12345678"});
  EXPECT_EQ(one.status, 0);
  EXPECT_TRUE(has(one.out, "No stored information for device [12345678]\n")) << one.out;
  EXPECT_FALSE(cltest::pathExists(dir / "updater/12345678"));
}

}  // namespace
