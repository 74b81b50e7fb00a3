// The parts of the ISP dialogue that need no port: data line encoding, group
// checksums, return codes and their names, reply words, rates and sectors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recovery/NXPSerialClient.h"

namespace {

std::string encode(const std::vector<uint8_t>& bytes) {
  char out[nxpisp::kMaxLineLength + 1];
  size_t n = nxpisp::uuencodeLine(bytes.data(), bytes.size(), out);
  EXPECT_EQ(n, std::string(out).size());
  return out;
}

TEST(IspEncoding, DataLines) {
  struct Case {
    std::vector<uint8_t> bytes;
    std::string line;
  } cases[] = {
      {{0, 0, 0}, "#````"},                          // zero is "`", never a space
      {{'C', 'a', 't'}, "#0V%T"},                    // the classic example
      {{1, 2, 3, 4}, "$`0(#!```"},                   // padded with zero bits at the end
      {{0xFF}, "!_P``"},                             // 111111 110000 000000 000000
      {{0xFF, 0xFF, 0xFF}, "#____"},
      {{0x10, 0x20}, "\"$\"``"},
  };
  for (const Case& c : cases) EXPECT_EQ(encode(c.bytes), c.line);
}

TEST(IspEncoding, FullLineIsSixtyOneCharacters) {
  std::vector<uint8_t> bytes(45);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 5);
  std::string line = encode(bytes);
  ASSERT_EQ(line.size(), 61u);
  EXPECT_EQ(line[0], 'M');  // 45 + 32
  for (char c : line.substr(1)) EXPECT_TRUE(c > ' ' && c <= '`') << int(c);
  // Decoding by hand gives the bytes back.
  std::vector<uint8_t> back;
  for (size_t g = 1; g + 3 < line.size(); g += 4) {
    uint32_t bits = 0;
    for (int k = 0; k < 4; ++k) bits = (bits << 6) | ((line[g + k] - 32) & 0x3F);
    for (int k = 2; k >= 0; --k) back.push_back(static_cast<uint8_t>(bits >> (8 * k)));
  }
  EXPECT_EQ(back, bytes);
}

TEST(IspEncoding, ChecksumIsTheUnsignedByteSum) {
  std::vector<uint8_t> bytes(900, 0xFF);  // a full group of 20 lines
  EXPECT_EQ(nxpisp::checksum(bytes.data(), bytes.size()), 900u * 255u);
  const uint8_t few[] = {1, 2, 3, 4};
  EXPECT_EQ(nxpisp::checksum(few, 4), 10u);
  EXPECT_EQ(nxpisp::checksum(few, 0), 0u);
}

TEST(IspEncoding, ErrorNames) {
  EXPECT_STREQ(nxpisp::errorName(0), "CMD_SUCCESS");
  EXPECT_STREQ(nxpisp::errorName(9), "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION");
  EXPECT_STREQ(nxpisp::errorName(15), "CMD_LOCKED");
  EXPECT_STREQ(nxpisp::errorName(19), "CODE_READ_PROTECTION_ENABLED");
  EXPECT_STREQ(nxpisp::errorName(20), "Unknown error");
  EXPECT_STREQ(nxpisp::errorName(25), "Unknown error");
  EXPECT_STREQ(nxpisp::errorName(-1), "Unknown error");
}

TEST(IspEncoding, ReplyCodes) {
  struct Case {
    std::string line;
    bool echo;
    int code;
  } cases[] = {
      {"0\r\n", false, 0},
      {"0\r\n", true, 0},            // three characters: the code is at the start
      {"19\r\n", false, 19},
      {"10\r\n", true, 10},          // with echo the whole number counts, not its last digit
      {"15\r\n", true, 15},
      {"xyz0\r\n", true, 0},         // echo left-overs in front
      {"A 0\r12\r\n", true, 12},
      {"7\r\n", true, 7},
      {"OK\r\n", false, -1},
      {"\r\n", true, -1},
      {"", false, -1},
      {"99999999999\r\n", false, 1000000},
  };
  for (const Case& c : cases)
    EXPECT_EQ(nxpisp::replyCode(c.line.c_str(), c.line.size(), c.echo), c.code) << c.line << " echo " << c.echo;
}

TEST(IspEncoding, ReplyWords) {
  struct Case {
    const char* line;
    bool ok;
    uint32_t word;
  } cases[] = {
      {"123\r\n", true, 123},
      {"0x1F\r\n", true, 0x1F},
      {"010\r\n", true, 8},
      {"0\r\n", true, 0},
      {"4294967295\r\n", true, 0xFFFFFFFF},
      {"4294967296\r\n", false, 0},
      {"12a\r\n", false, 0},
      {"-1\r\n", false, 0},
      {" 1\r\n", false, 0},
      {"\r\n", false, 0},
      {"12", false, 0},
  };
  for (const Case& c : cases) {
    uint32_t w = 0;
    EXPECT_EQ(nxpisp::parseWord(c.line, &w), c.ok) << c.line;
    if (c.ok) {
      EXPECT_EQ(w, c.word) << c.line;
    }
  }
}

TEST(IspEncoding, RateCodes) {
  struct Case {
    int rate, code;
  } cases[] = {{115200, 6}, {100000, 6}, {300, 0}, {2400, 0}, {0, 0},     {2401, 1},
               {9600, 2},   {57601, 6},  {230400, 7}, {230401, 2}, {460800, 2}};
  for (const Case& c : cases) EXPECT_EQ(nxpisp::rateCode(c.rate), c.code) << c.rate;
}

TEST(IspEncoding, SectorsAndCopySizes) {
  struct Sector {
    uint32_t address;
    int sector;
  } sectors[] = {{0, 0},       {0x0FFF, 0},   {0x1000, 1},   {0xFFFF, 15}, {0x10000, 16},
                 {0x17FFF, 16}, {0x18000, 17}, {0x7FFFF, 29}, {0x80000, 30}, {0xFFFFFFFF, 30}};
  for (const Sector& s : sectors) EXPECT_EQ(NXPSerialClient::sectorOf(s.address), s.sector) << s.address;

  struct Size {
    unsigned n, size;
  } sizes[] = {{0, 256}, {1, 256}, {256, 256}, {257, 512}, {1000, 1024}, {2048, 4096}, {4096, 4096}, {5000, 5000}};
  for (const Size& s : sizes) EXPECT_EQ(NXPSerialClient::copySize(s.n), s.size) << s.n;
}

}  // namespace
