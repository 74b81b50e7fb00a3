// The BIRD loader over files made by the writer: load failures, the block
// parse and its verdict, descriptor queries and the in-place personalisation.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <stdexcept>

#include "TestSupport.h"
#include "TraceCapture.h"
#include "firmware/BirdFile.h"
#include "firmware/BirdWriter.h"

namespace {

using cltest::TempDir;

std::string asText(const ByteVector& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string writeTemp(const TempDir& dir, const ByteVector& bytes, const char* name = "f.bird") {
  cltest::writeFile(dir / name, asText(bytes));
  return dir / name;
}

void appendBE32(ByteVector& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}

ByteVector block(uint8_t typeByte, const ByteVector& payload) {
  ByteVector out{typeByte};
  appendBE32(out, uint32_t(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

ByteVector concat(std::initializer_list<ByteVector> parts) {
  ByteVector out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

ByteVector be32(uint32_t v) {
  ByteVector out;
  appendBE32(out, v);
  return out;
}

ByteVector firmwarePayload(uint32_t address, size_t size, uint8_t fill) {
  ByteVector out = be32(address);
  out.insert(out.end(), size, fill);
  return out;
}

const ByteVector kDescriptor = BirdWriter::descriptorPayload("title", "2.12.4", "40F5849A", "ABC");

// ---------------------------------------------------------------------------
// isBirdFile

struct HeaderCase {
  const char* name;
  ByteVector bytes;
  bool expected;
};

TEST(BirdIsBirdFile, HeaderTable) {
  const ByteVector stream = BirdWriter().addFirmware(0, {1, 2, 3}).file();
  ByteVector header10 = stream;
  header10[5] = 0;
  ByteVector header01 = stream;
  header01[4] = 0;
  ByteVector wrongMagic = stream;
  wrongMagic[0] = 'B';
  const HeaderCase cases[] = {
      {"valid", stream, true},
      {"byte B zero", header10, false},
      {"byte A zero", header01, false},
      {"magic in capitals", wrongMagic, false},
      {"exactly six bytes", {'b', 'i', 'r', 'd', 1, 1}, true},
      {"five bytes", {'b', 'i', 'r', 'd', 1}, false},
      {"empty", {}, false},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(BirdFile::isBirdFile(writeTemp(dir, c.bytes)), c.expected);
  }
}

TEST(BirdIsBirdFile, MissingFileIsReportedAndFalse) {
  TempDir dir;
  TraceCapture trace(DEBUG_BirdFile);
  EXPECT_FALSE(BirdFile::isBirdFile(dir / "none.bird"));
  EXPECT_NE(trace.text().find("BIRDFILE: Error - cannot open bird file: '" + (dir / "none.bird") +
                              "'\n"),
            std::string::npos);
}

// ---------------------------------------------------------------------------
// Load failures: the object never exists half-loaded.

struct FailureCase {
  const char* name;
  ByteVector bytes;  // written to the file unless missing
  bool missing;
  const char* trace;
};

TEST(BirdLoad, FailuresThrowWithTheirTrace) {
  const ByteVector good = BirdWriter()
                              .addDescriptor("t", "1.0.0", "40F5849A", "ABC")
                              .addFirmware(0x1000, ByteVector(4000, 0x5A))
                              .file();
  ByteVector truncated(good.begin(), good.begin() + good.size() / 2);
  ByteVector badStream = good;
  for (size_t i = 8; i < badStream.size(); ++i) badStream[i] ^= 0xA5;
  // 64 KiB of zeros compress far better than 8 to 1.
  const ByteVector tooDeflated = BirdWriter::wrap(ByteVector(65536, 0));
  ByteVector trailerBroken = good;
  trailerBroken.back() ^= 0xFF;  // Adler-32 no longer matches

  const FailureCase cases[] = {
      {"missing file", {}, true, "BIRDFILE: BIRD file not found ["},
      // No stream at all gets zlib's own answer for an empty one.
      {"empty file", {}, false, "BIRDFILE: Error (-3) decompressing bird file.\n"},
      {"six bytes", {'b', 'i', 'r', 'd', 1, 1}, false, "BIRDFILE: Error (-3) decompressing bird file.\n"},
      {"truncated stream", truncated, false, "decompressing bird file.\n"},
      {"corrupt stream", badStream, false, "decompressing bird file.\n"},
      {"bad checksum of the stream", trailerBroken, false, "decompressing bird file.\n"},
      {"inflates past eight times", tooDeflated, false, "decompressing bird file.\n"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = c.missing ? dir / "absent.bird" : writeTemp(dir, c.bytes);
    TraceCapture trace(DEBUG_BirdFile);
    try {
      BirdFile bird(path);
      ADD_FAILURE() << "loaded";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Failed to load bird data");
    }
    const std::string text = trace.text();
    EXPECT_EQ(text.find("BIRDFILE: Loading File [" + path + "]\n"), 0u) << text;
    EXPECT_NE(text.find(c.trace), std::string::npos) << text;
  }
}

TEST(BirdLoad, DirectoryIsNotAFile) {
  TempDir dir;
  EXPECT_THROW(BirdFile(dir.path()), std::runtime_error);
}

TEST(BirdLoad, BodyWithinTheInflationLimitLoads) {
  const ByteVector image = BirdWriter::sampleImage(32768, 7);
  const ByteVector file = BirdWriter().addFirmware(0x2000, image).file();
  ASSERT_LT(file.size(), image.size());      // compressed well,
  ASSERT_GT(file.size() * 8, image.size());  // but not beyond the limit
  TempDir dir;
  BirdFile bird(writeTemp(dir, file));
  ASSERT_EQ(bird.blockCount(), 1);
  EXPECT_EQ(bird.blocks()[0].dataLength(), image.size());
  EXPECT_EQ(std::memcmp(bird.blocks()[0].data(), image.data(), image.size()), 0);
}

TEST(BirdLoad, WriterFileRoundTrips) {
  BirdWriter writer;
  writer.setHeader(2, 7)
      .addDescriptor("Title", "2.12.4", "40F5849A", "ABC")
      .addLoader(0x20000000, {9, 8, 7}, 3)
      .addFirmware(0x00001000, {1, 2, 3, 4, 5}, 5)
      .addSerialRecord(0x1004, 0x2000)
      .addStartAddress(0x20000100);
  const ByteVector body = writer.body();
  TempDir dir;
  BirdFile bird(writeTemp(dir, writer.file()));
  EXPECT_EQ(bird.magic(), kBirdMagic);
  EXPECT_EQ(bird.headerWord(), 0x0207);
  EXPECT_EQ(bird.bodyLength(), body.size());
  EXPECT_TRUE(bird.parseVerdict());
  EXPECT_TRUE(bird.hasChecksum());
  EXPECT_EQ(bird.checksum(), uint32_t(crc32(0, body.data(), uInt(body.size() - 4))));
  ASSERT_EQ(bird.blockCount(), 5);
  EXPECT_EQ(bird.blocks()[1].type, kBirdBlockLoader);
  EXPECT_EQ(bird.blocks()[1].flags, 3);
  EXPECT_EQ(bird.blocks()[1].address, 0x20000000u);
  EXPECT_EQ(bird.blocks()[2].flags, 5);
  EXPECT_EQ(bird.blocks()[2].address, 0x1000u);
  EXPECT_EQ(bird.blocks()[3].address, 0u);  // only loader and firmware blocks carry one
  EXPECT_TRUE(bird.hasSerialRecord());
  EXPECT_EQ(bird.serialNumberAddress(), 0x1004u);
  EXPECT_EQ(bird.descriptorAddress(), 0x2000u);
  EXPECT_EQ(bird.versionText(), "2.12.4");

  const auto viaMemory = BirdFile::fromMemory(writer.file().data(), writer.file().size(), "mem");
  EXPECT_EQ(viaMemory.blockCount(), 5);
  EXPECT_EQ(viaMemory.checksum(), bird.checksum());
}

// ---------------------------------------------------------------------------
// The body parse and its verdict

struct ParseCase {
  const char* name;
  ByteVector body;
  bool verdict;
  int blocks;
  uint32_t checksum;
  std::vector<std::string> traces;
};

TEST(BirdParse, VerdictTable) {
  const ByteVector desc = block(4, kDescriptor);
  const ByteVector fw = block(1, firmwarePayload(0x1000, 8, 0x11));
  const ParseCase cases[] = {
      {"two blocks and a checksum", concat({be32(2), desc, fw, be32(0xDEADBEEF)}), true, 2,
       0xDEADBEEF,
       {"BIRDFILE:\t\t File reports 2 blocks\n", "BIRDFILE: Bird file objects:\n",
        "BIRDFILE: \t\tType Flags Length\n", "BIRDFILE:\t\t 04   00   64\n",
        "BIRDFILE:\t\t \t[title           ]\n", "BIRDFILE:\t\t \t[2.12.4          ]\n",
        "BIRDFILE:\t\t \t[40F5849A        ]\n", "BIRDFILE:\t\t \t[ABC             ]\n",
        "BIRDFILE:\t\t 01   00   12\n", "BIRDFILE:\t\t File checksum DEADBEEF\n"}},
      {"count says three", concat({be32(3), desc, fw, be32(1)}), false, 2, 1,
       {"BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"}},
      {"no checksum", concat({be32(2), desc, fw}), false, 2, 0,
       {"BIRDFILE:\t\t File checksum 00000000\n",
        "BIRDFILE: Block parsing mismatch in data size. (-4 bytes remaining)\n"}},
      {"two stray bytes instead of a checksum", concat({be32(2), desc, fw, {0xAA, 0xBB}}), false,
       2, 0, {"(-2 bytes remaining)"}},
      {"block runs past the end is dropped",
       concat({be32(2), fw, {0x01}, be32(1000), ByteVector(10, 0x22)}), false, 1, 0,
       {"BIRDFILE:\t\t 01   00   1000\n", "Block parsing mismatch in data size.", "(1 != 2)"}},
      {"length field of all ones", concat({be32(1), {0x01}, be32(0xFFFFFFFF), be32(0)}), false, 0,
       0, {"Block parsing mismatch in data size."}},
      {"bytes after the checksum taken for a block", concat({be32(2), desc, fw, be32(5), {1, 2}}),
       false, 2, 0, {"Block parsing mismatch in data size."}},
      {"empty body", {}, false, 0, 0, {"File reports 0 blocks", "(-8 bytes remaining)"}},
      {"three-byte body", {0, 0, 1}, false, 0, 0, {"Block parsing mismatch in data size."}},
      {"count only", be32(0), false, 0, 0, {"(-4 bytes remaining)"}},
      {"no blocks and a checksum", concat({be32(0), be32(0x01020304)}), true, 0, 0x01020304, {}},
      {"empty block of an unknown type", concat({be32(1), block(0x1F, {}), be32(9)}), true, 1, 9,
       {"BIRDFILE:\t\t 1F   00   0\n"}},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = writeTemp(dir, BirdWriter::wrap(c.body));
    TraceCapture trace(DEBUG_BirdFile);
    BirdFile bird(path);
    const std::string text = trace.text();
    EXPECT_EQ(bird.parseVerdict(), c.verdict) << text;
    EXPECT_EQ(bird.parseProblem().empty(), c.verdict);
    EXPECT_EQ(bird.blockCount(), c.blocks);
    EXPECT_EQ(bird.blocks().size(), size_t(c.blocks));
    EXPECT_EQ(bird.checksum(), c.checksum);
    for (const auto& t : c.traces) EXPECT_NE(text.find(t), std::string::npos) << t << "\n" << text;
    // Every kept block lies inside the body.
    for (const auto& b : bird.blocks()) {
      EXPECT_GE(b.payload, bird.body());
      EXPECT_LE(b.payload + b.length, bird.body() + bird.bodyLength());
    }
  }
}

TEST(BirdParse, TypeAndFlagsSplitTheFirstByte) {
  const ByteVector body =
      concat({be32(2), block(0xE1, firmwarePayload(0xA0B0C0D0, 2, 0)), block(0x45, be32(0x1234)),
              be32(0)});
  TempDir dir;
  BirdFile bird(writeTemp(dir, BirdWriter::wrap(body)));
  ASSERT_EQ(bird.blockCount(), 2);
  EXPECT_EQ(bird.blocks()[0].type, 1);
  EXPECT_EQ(bird.blocks()[0].flags, 7);
  EXPECT_EQ(bird.blocks()[0].address, 0xA0B0C0D0u);
  EXPECT_EQ(bird.blocks()[1].type, 5);
  EXPECT_EQ(bird.blocks()[1].flags, 2);
}

TEST(BirdParse, BlocksOfTypeKeepFileOrder) {
  BirdWriter writer;
  writer.addFirmware(0x300, {3}).addLoader(0x10, {0}).addFirmware(0x100, {1}).addFirmware(0x200, {2});
  TempDir dir;
  BirdFile bird(writeTemp(dir, writer.file()));
  const auto firmware = bird.blocksOfType(kBirdBlockFirmware);
  ASSERT_EQ(firmware.size(), 3u);
  EXPECT_EQ(firmware[0].address, 0x300u);
  EXPECT_EQ(firmware[1].address, 0x100u);
  EXPECT_EQ(firmware[2].address, 0x200u);
  EXPECT_EQ(firmware[1].data()[0], 1);
  EXPECT_TRUE(bird.blocksOfType(kBirdBlockDescriptor).empty());
}

TEST(BirdParse, ImageBlockTooShortForAnAddressHasNoData) {
  const ByteVector body = concat({be32(1), block(1, {0xAA, 0xBB}), be32(0)});
  TempDir dir;
  BirdFile bird(writeTemp(dir, BirdWriter::wrap(body)));
  ASSERT_EQ(bird.blockCount(), 1);
  EXPECT_EQ(bird.blocks()[0].address, 0u);
  EXPECT_EQ(bird.blocks()[0].dataLength(), 0u);
  const uint8_t zero[16] = {};
  EXPECT_TRUE(bird.applyDeviceKey(zero));
  EXPECT_FALSE(bird.insertSerialNumber(1));
}

TEST(BirdParse, MovesKeepBlocksPointingIntoTheBody) {
  TempDir dir;
  BirdFile original(writeTemp(dir, BirdWriter().addFirmware(0x40, {5, 6, 7}).file()));
  const uint8_t* payload = original.blocks()[0].payload;
  BirdFile moved(std::move(original));
  EXPECT_EQ(moved.blocks()[0].payload, payload);
  EXPECT_EQ(moved.blocks()[0].data()[2], 7);
  EXPECT_EQ(original.blockCount(), 0);
  EXPECT_TRUE(original.blocks().empty());
  EXPECT_EQ(original.body(), nullptr);
  EXPECT_EQ(original.bodyLength(), 0u);

  BirdFile assigned;
  assigned = std::move(moved);
  EXPECT_EQ(assigned.blocks()[0].payload, payload);
  EXPECT_EQ(assigned.body() + 4 + 5, payload);  // after the count and the block header
  EXPECT_EQ(moved.blockCount(), 0);

  BirdFile empty;
  EXPECT_EQ(empty.blockCount(), 0);
  EXPECT_TRUE(empty.path().empty());
  EXPECT_EQ(empty.versionText(), "");
}

// ---------------------------------------------------------------------------
// Descriptor queries

BirdFile withDescriptor(const TempDir& dir, const ByteVector& payload) {
  const ByteVector body = concat({be32(1), block(4, payload), be32(0)});
  return BirdFile(writeTemp(dir, BirdWriter::wrap(body)));
}

ByteVector fields(const std::string& version, const std::string& serial, const std::string& model) {
  return BirdWriter::descriptorPayload("T", version, serial, model);
}

TEST(BirdDescriptor, VersionText) {
  struct Case {
    const char* name;
    ByteVector payload;
    std::string expected;
  };
  ByteVector withZero = fields("1.2", "", "");
  withZero[16 + 1] = 0;
  const Case cases[] = {
      {"space ends the text", fields("2.12.4 beta", "", ""), "2.12.4"},
      {"sixteen characters keep fifteen", fields("0123456789ABCDEF", "", ""), "0123456789ABCDE"},
      {"leading space gives nothing", fields(" 2.0", "", ""), ""},
      {"zero byte ends the text", withZero, "1"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(withDescriptor(dir, c.payload).versionText(), c.expected);
  }
}

TEST(BirdDescriptor, ModelMatching) {
  struct Case {
    const char* name;
    ByteVector payload;
    const char* model;
    bool expected;
  };
  const Case cases[] = {
      {"padded capitals", fields("", "", "ABC"), "ABC", true},
      {"lower case", fields("", "", "ABC"), "abc", false},
      {"with a trailing space", fields("", "", "ABC"), "ABC ", false},
      {"shorter name", fields("", "", "ABC"), "AB", false},
      {"sixteen characters", fields("", "", "ABCDEFGHIJKLMNOP"), "ABCDEFGHIJKLMNOP", true},
      {"inner space kept", fields("", "", "AB C"), "AB C", true},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(withDescriptor(dir, c.payload).matchesModel(c.model), c.expected);
  }
  TraceCapture trace(DEBUG_BirdFile);
  EXPECT_TRUE(withDescriptor(dir, fields("", "", "ABC")).matchesModel("ABC"));
  EXPECT_NE(trace.text().find("Model matches model number ([ABC] == [ABC])\n"), std::string::npos);
}

TEST(BirdDescriptor, SerialMatching) {
  struct Case {
    const char* name;
    std::string field;
    uint32_t serial;
    bool expected;
  };
  const Case cases[] = {
      {"eight digits", "40F5849A", 0x40F5849A, true},
      {"other serial", "40F5849A", 0x0F5849A0, false},
      {"lower-case digits", "40f5849a", 0x40F5849A, true},
      {"only eight digits count", "40F5849A77", 0x40F5849A, true},
      {"letters beyond F read as 0", "GHIJKLMN", 0, true},
      {"letters beyond F match nothing else", "GHIJKLMN", 0x40F5849A, false},
      {"stops at a non-digit", "12Z45678", 0x12, true},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(withDescriptor(dir, fields("", c.field, "")).matchesSerialNumber(c.serial), c.expected);
  }
}

TEST(BirdDescriptor, ShortDescriptorCountsAsAbsent) {
  TempDir dir;
  ByteVector shortPayload = fields("2.0", "40F5849A", "ABC");
  shortPayload.pop_back();  // 63 bytes
  const ByteVector body =
      concat({be32(2), block(4, shortPayload), block(1, firmwarePayload(0, 4, 0)), be32(0)});
  BirdFile bird(writeTemp(dir, BirdWriter::wrap(body)));
  EXPECT_TRUE(bird.parseVerdict());
  EXPECT_EQ(bird.descriptor(), nullptr);
  EXPECT_EQ(bird.versionText(), "");
  EXPECT_FALSE(bird.matchesModel("ABC"));
  EXPECT_TRUE(bird.matchesSerialNumber(0));

  // A full descriptor after the short one is the one used.
  const ByteVector body2 = concat({be32(2), block(4, shortPayload), block(4, fields("3.1", "", "X")),
                                   be32(0)});
  BirdFile second(writeTemp(dir, BirdWriter::wrap(body2)));
  EXPECT_EQ(second.versionText(), "3.1");
}

TEST(BirdDescriptor, NoDescriptor) {
  TempDir dir;
  BirdFile bird(writeTemp(dir, BirdWriter().addFirmware(0, {1}).file()));
  EXPECT_EQ(bird.versionText(), "");
  EXPECT_FALSE(bird.matchesModel(""));
  EXPECT_TRUE(bird.matchesSerialNumber(0));
  EXPECT_FALSE(bird.matchesSerialNumber(1));
}

// ---------------------------------------------------------------------------
// Serial-number record and insertSerialNumber

TEST(BirdSerialRecord, ShortRecordCountsAsAbsent) {
  TempDir dir;
  const ByteVector body =
      concat({be32(2), block(2, {0, 0, 0x10, 0x04, 0, 0, 0x20}), block(1, firmwarePayload(0x1000, 16, 0)),
              be32(0)});
  BirdFile bird(writeTemp(dir, BirdWriter::wrap(body)));
  EXPECT_FALSE(bird.hasSerialRecord());
  EXPECT_EQ(bird.serialNumberAddress(), 0u);

  const ByteVector body2 = concat({be32(3), block(2, {1, 2, 3}), block(2, concat({be32(0x1004), be32(0)})),
                                   block(1, firmwarePayload(0x1000, 16, 0)), be32(0)});
  TraceCapture trace(DEBUG_BirdFile);
  BirdFile second(writeTemp(dir, BirdWriter::wrap(body2)));
  EXPECT_TRUE(second.hasSerialRecord());
  EXPECT_EQ(second.serialNumberAddress(), 0x1004u);
  EXPECT_NE(trace.text().find("BIRDFILE: Offsets: Serial number: 4100, Descriptor: 0\n"),
            std::string::npos);
}

struct InsertCase {
  const char* name;
  uint32_t serialAddress;
  uint32_t descriptorAddress;
  bool withFirmware;
  bool expected;
  int serialOffset;      // where the 4 bytes land in the firmware data, -1 none
  int descriptorOffset;  // where the digits land, -1 none
};

TEST(BirdSerialRecord, InsertSerialNumberTable) {
  // One firmware block covering device bytes [0x1000, 0x1040), filled with 0xEE.
  const InsertCase cases[] = {
      {"serial address inside", 0x1010, 0, true, true, 0x10, -1},
      {"both addresses zero", 0, 0, true, false, -1, -1},
      {"serial address outside still answers true", 0x2000, 0, true, true, -1, -1},
      {"descriptor inside", 0, 0x1020, true, true, -1, 0x20},
      {"descriptor runs past the block", 0, 0x1038, true, false, -1, -1},
      {"both inside", 0x1000, 0x1030, true, true, 0x00, 0x30},
      {"serial in the last four bytes", 0x103C, 0, true, true, 0x3C, -1},
      {"serial one byte short of room", 0x103D, 0, true, true, -1, -1},
      {"serial straddles the start", 0x0FFE, 0, true, true, -1, -1},
      {"no firmware block", 0x1010, 0x1020, false, false, -1, -1},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BirdWriter writer;
    writer.addSerialRecord(c.serialAddress, c.descriptorAddress);
    if (c.withFirmware)
      writer.addFirmware(0x1000, ByteVector(0x40, 0xEE));
    else
      writer.addLoader(0x1000, ByteVector(0x40, 0xEE));
    BirdFile bird(writeTemp(dir, writer.file()));
    TraceCapture trace(DEBUG_BirdFile);
    EXPECT_EQ(bird.insertSerialNumber(0x40F5849A), c.expected);

    ByteVector expected(0x40, 0xEE);
    if (c.serialOffset >= 0) {
      const uint8_t le[4] = {0x9A, 0x84, 0xF5, 0x40};
      std::memcpy(expected.data() + c.serialOffset, le, 4);
      EXPECT_NE(trace.text().find("BIRDFILE: updating serial number from EEEEEEEE ==> 40F5849A\n"),
                std::string::npos);
    }
    if (c.descriptorOffset >= 0)
      for (int i = 0; i < 8; ++i) expected[c.descriptorOffset + 2 * i] = uint8_t("40F5849A"[i]);
    const BirdBlock& image = bird.blocks()[1];
    EXPECT_EQ(ByteVector(image.data(), image.data() + image.dataLength()), expected);
  }
}

TEST(BirdSerialRecord, InsertReachesTheBlockHoldingTheAddress) {
  BirdWriter writer;
  writer.addSerialRecord(0x2002, 0)
      .addFirmware(0x1000, ByteVector(8, 0))
      .addFirmware(0x2000, ByteVector(8, 0));
  TempDir dir;
  BirdFile bird(writeTemp(dir, writer.file()));
  ASSERT_TRUE(bird.insertSerialNumber(0x01020304));
  EXPECT_EQ(ByteVector(bird.blocks()[1].data(), bird.blocks()[1].data() + 8), ByteVector(8, 0));
  EXPECT_EQ(ByteVector(bird.blocks()[2].data(), bird.blocks()[2].data() + 8),
            (ByteVector{0, 0, 4, 3, 2, 1, 0, 0}));
}

// ---------------------------------------------------------------------------
// applyDeviceKey

TEST(BirdDeviceKey, AllZeroIdentifierChainsTheData) {
  BirdWriter writer;
  writer.addLoader(0, {0x11, 0x22, 0x33}).addFirmware(0x100, {0x0F, 0xF0, 0x3C});
  TempDir dir;
  BirdFile bird(writeTemp(dir, writer.file()));
  const uint8_t zero[16] = {};
  EXPECT_TRUE(bird.applyDeviceKey(zero));
  const uint8_t* d = bird.blocks()[1].data();
  EXPECT_EQ(d[0], 0x0F);
  EXPECT_EQ(d[1], 0x0F ^ 0xF0);
  EXPECT_EQ(d[2], 0x0F ^ 0xF0 ^ 0x3C);
  const uint8_t* loader = bird.blocks()[0].data();
  EXPECT_EQ(loader[0], 0x11);  // loader blocks are left alone
}

TEST(BirdDeviceKey, KeyWordsAreReadMostSignificantByteFirst) {
  ByteVector data(20, 0);
  BirdWriter writer;
  writer.addFirmware(0, data).addFirmware(0x100, {0});
  TempDir dir;
  BirdFile bird(writeTemp(dir, writer.file()));
  uint8_t id[16];
  for (int i = 0; i < 16; ++i) id[i] = uint8_t(i + 1);
  bird.applyDeviceKey(id);
  uint8_t key[16];
  for (int w = 0; w < 4; ++w)
    for (int b = 0; b < 4; ++b) key[4 * w + b] = id[4 * w + 3 - b];
  EXPECT_EQ(key[0], 4);
  uint8_t c = 0;
  const uint8_t* d = bird.blocks()[0].data();
  for (int i = 0; i < 20; ++i) {
    c = key[i % 16] ^ c;
    EXPECT_EQ(d[i], c) << i;
  }
  // The running byte and the index start again for each block.
  EXPECT_EQ(bird.blocks()[1].data()[0], key[0]);
}

}  // namespace
