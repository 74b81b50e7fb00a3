#include "aStream.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

#include <deque>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A scripted transport: reads come from a queue of (result, byte); writes are
// recorded with the procedure that carried them.
struct Script {
  std::deque<std::pair<aErr, uint8_t>> reads;
  aErr whenEmpty = aErrNotReady;
  Bytes written;
  std::vector<std::string> calls;  // "put" or "write:<n>"
  aErr putResult = aErrNone;
  int failPutAfter = -1;  // answer putResult after this many good puts
  aErr deleteResult = aErrNone;
  int deletes = 0;

  void feed(const std::string& s) {
    for (char c : s)
      reads.push_back({aErrNone, static_cast<uint8_t>(c)});
  }
};

aErr sGet(uint8_t* byte, void* ref) {
  auto* s = static_cast<Script*>(ref);
  if (s->reads.empty())
    return s->whenEmpty;
  auto r = s->reads.front();
  s->reads.pop_front();
  if (r.first == aErrNone)
    *byte = r.second;
  return r.first;
}

aErr sPut(const uint8_t* byte, void* ref) {
  auto* s = static_cast<Script*>(ref);
  s->calls.push_back("put");
  if (s->failPutAfter == 0)
    return s->putResult;
  if (s->failPutAfter > 0)
    s->failPutAfter--;
  s->written.push_back(*byte);
  return aErrNone;
}

aErr sWrite(const uint8_t* bytes, uint32_t count, void* ref) {
  auto* s = static_cast<Script*>(ref);
  s->calls.push_back("write:" + std::to_string(count));
  s->written.insert(s->written.end(), bytes, bytes + count);
  return aErrNone;
}

aErr sDelete(void* ref) {
  auto* s = static_cast<Script*>(ref);
  s->deletes++;
  return s->deleteResult;
}

struct Stream {
  explicit Stream(bool withWrite = true)
      : s(aStream_Create(sGet, sPut, withWrite ? sWrite : nullptr, sDelete, &script)) {}
  ~Stream() { aStream_Destroy(&s); }
  Script script;
  aStream* s;
};

std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

TEST(Stream, PartialReadKeepsItsBytesForTheNextRead) {
  Stream st;
  st.script.feed("ab");
  uint8_t buf[4] = {};
  EXPECT_EQ(aStream_Read(st.s, buf, 4), aErrNotReady);
  EXPECT_EQ(std::string(buf, buf + 4), std::string(4, '\0'));
  st.script.feed("cd");
  EXPECT_EQ(aStream_Read(st.s, buf, 4), aErrNone);
  EXPECT_EQ(std::string(buf, buf + 4), "abcd");
  EXPECT_EQ(st.s->pushCount, 0u);
}

TEST(Stream, ManyReturnedBytesGrowTheRingInOrder) {
  Stream st;
  std::string input;
  for (int i = 0; i < 1500; i++)
    input.push_back(static_cast<char>('A' + i % 26));
  st.script.feed(input.substr(0, 1300));
  std::vector<uint8_t> buf(1500);
  EXPECT_EQ(aStream_Read(st.s, buf.data(), 1500), aErrNotReady);
  EXPECT_EQ(st.s->pushCount, 1300u);
  EXPECT_EQ(st.s->pushCapacity, 1536u);
  st.script.feed(input.substr(1300));
  EXPECT_EQ(aStream_Read(st.s, buf.data(), 1500), aErrNone);
  EXPECT_EQ(str(buf), input);
}

TEST(Stream, EndOfDataAndFailures) {
  Stream st;
  st.script.feed("xy");
  st.script.whenEmpty = aErrEOF;
  uint8_t buf[4] = {};
  EXPECT_EQ(aStream_Read(st.s, buf, 4), aErrEOF);
  EXPECT_EQ(std::string(buf, buf + 2), "xy");
  st.script.whenEmpty = aErrIO;
  EXPECT_EQ(aStream_Read(st.s, buf, 1), aErrIO);
  EXPECT_EQ(aStream_Read(st.s, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_Read(nullptr, buf, 1), aErrParam);
  aStream* writeOnly = aStream_Create(nullptr, sPut, nullptr, nullptr, &st.script);
  EXPECT_EQ(aStream_Read(writeOnly, buf, 1), aErrMode);
  aStream_Destroy(&writeOnly);
}

struct RecordCase {
  const char* name;
  std::string input;
  aErr tail;  // what the transport answers after the input
  std::string terminator;
  uint32_t maxLength;
  aErr result;
  std::string record;
  std::string left;  // bytes still to be read afterwards
};

// Table rows print as their names in test listings.
void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }

class ReadRecord : public ::testing::TestWithParam<RecordCase> {};

TEST_P(ReadRecord, Reads) {
  const RecordCase& c = GetParam();
  Stream st;
  st.script.feed(c.input);
  st.script.whenEmpty = c.tail;
  std::vector<uint8_t> buf(c.maxLength + 1, 0xEE);
  uint32_t length = 77;
  EXPECT_EQ(aStream_ReadRecord(st.s, buf.data(), &length, c.maxLength,
                               reinterpret_cast<const uint8_t*>(c.terminator.data()),
                               static_cast<uint32_t>(c.terminator.size())),
            c.result);
  if (c.result == aErrNone) {
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + length), c.record);
    EXPECT_EQ(buf[length], 0xEE);
  }
  std::string left;
  uint8_t b;
  st.script.whenEmpty = aErrEOF;
  while (aStream_Read(st.s, &b, 1) == aErrNone)
    left.push_back(static_cast<char>(b));
  EXPECT_EQ(left, c.left);
}

INSTANTIATE_TEST_SUITE_P(
    Stream, ReadRecord,
    ::testing::Values(
        RecordCase{"TerminatorInOrderNotAdjacent", "ab\rc\nz", aErrEOF, "\r\n", 10, aErrNone, "abc", "z"},
        RecordCase{"EndOfDataCompletes", "xy", aErrEOF, "\r\n", 10, aErrNone, "xy", ""},
        RecordCase{"EmptyInputIsEndOfData", "", aErrEOF, "\r\n", 10, aErrEOF, "", ""},
        RecordCase{"FullRecordStops", "abcdef", aErrEOF, "\n", 3, aErrNone, "abc", "def"},
        RecordCase{"FailureDropsTheRecord", "ab", aErrIO, "\n", 10, aErrIO, "", ""},
        // Cut short, every byte taken comes back, terminator bytes included.
        RecordCase{"NotReadyGivesEverythingBack", "ab\r", aErrNotReady, "\r\n", 10, aErrNotReady, "", "ab\r"}),
    [](const ::testing::TestParamInfo<RecordCase>& info) { return info.param.name; });

TEST(Stream, RecordCutByNotReadyIsReadWholeLater) {
  Stream st;
  st.script.feed("ab\r");
  uint8_t buf[16];
  uint32_t length = 0;
  const uint8_t crlf[2] = {'\r', '\n'};
  EXPECT_EQ(aStream_ReadRecord(st.s, buf, &length, sizeof buf, crlf, 2), aErrNotReady);
  st.script.feed("\nnext");
  EXPECT_EQ(aStream_ReadRecord(st.s, buf, &length, sizeof buf, crlf, 2), aErrNone);
  EXPECT_EQ(std::string(buf, buf + length), "ab");
}

TEST(Stream, CStringReads) {
  Stream st;
  st.script.feed("abcdef");
  st.script.whenEmpty = aErrEOF;
  char buf[4];
  EXPECT_EQ(aStream_ReadCString(st.s, buf, sizeof buf), aErrNone);
  EXPECT_STREQ(buf, "abc");
  char rest[8];
  EXPECT_EQ(aStream_ReadCString(st.s, rest, sizeof rest), aErrNone);
  EXPECT_STREQ(rest, "def");

  Stream lines;
  lines.script.feed(std::string("one\r\ntwo", 8));
  lines.script.feed(std::string(1, '\0') + "x");
  char line[16];
  EXPECT_EQ(aStream_ReadCStringRecord(lines.s, line, sizeof line, "\r\n"), aErrNone);
  EXPECT_STREQ(line, "one");
  EXPECT_EQ(aStream_ReadCString(lines.s, line, sizeof line), aErrNone);
  EXPECT_STREQ(line, "two");
  EXPECT_EQ(aStream_ReadCString(lines.s, line, 1), aErrParam);
  EXPECT_EQ(aStream_ReadCStringRecord(lines.s, line, sizeof line, ""), aErrParam);
}

TEST(Stream, WritesChooseTheirProcedure) {
  Stream st;
  const uint8_t one = 'q', run[3] = {'r', 'u', 'n'};
  EXPECT_EQ(aStream_Write(st.s, &one, 1), aErrNone);
  EXPECT_EQ(aStream_Write(st.s, run, 3), aErrNone);
  EXPECT_EQ(aStream_Write(st.s, run, 0), aErrNone);
  EXPECT_EQ(st.script.calls, (std::vector<std::string>{"put", "write:3"}));
  EXPECT_EQ(str(st.script.written), "qrun");

  Stream putOnly(false);
  putOnly.script.failPutAfter = 2;
  putOnly.script.putResult = aErrWrite;
  const uint8_t five[5] = {'a', 'b', 'c', 'd', 'e'};
  EXPECT_EQ(aStream_Write(putOnly.s, five, 5), aErrWrite);
  EXPECT_EQ(str(putOnly.script.written), "ab");
  EXPECT_EQ(putOnly.script.calls.size(), 3u);

  aStream* readOnly = aStream_Create(sGet, nullptr, nullptr, nullptr, &st.script);
  EXPECT_EQ(aStream_Write(readOnly, run, 3), aErrMode);
  EXPECT_EQ(aStream_WriteCString(readOnly, "x"), aErrMode);
  aStream_Destroy(&readOnly);
  EXPECT_EQ(aStream_Write(st.s, nullptr, 3), aErrParam);
}

TEST(Stream, StringAndRecordWrites) {
  Stream st;
  EXPECT_EQ(aStream_WriteCString(st.s, "ab"), aErrNone);
  EXPECT_EQ(st.script.written, (Bytes{'a', 'b', 0}));
  EXPECT_EQ(st.script.calls, (std::vector<std::string>{"write:2", "put"}));
  st.script.written.clear();
  EXPECT_EQ(aStream_WriteCStringRecord(st.s, "hi", "\r\n"), aErrNone);
  EXPECT_EQ(st.script.written, (Bytes{'h', 'i', '\r', '\n', 0}));
  const uint8_t term = ';';
  EXPECT_EQ(aStream_WriteRecord(st.s, &term, 1, &term, 0), aErrParam);
  EXPECT_EQ(aStream_WriteRecord(st.s, nullptr, 0, &term, 1), aErrParam);
  EXPECT_EQ(aStream_WriteCString(st.s, nullptr), aErrParam);
}

TEST(Stream, FlushCopiesFromTheTransportUntilItEnds) {
  Stream in, out;
  in.script.feed("hello");
  uint8_t buf[8];
  EXPECT_EQ(aStream_Read(in.s, buf, 8), aErrNotReady);  // "hello" now waits in the push-back ring
  in.script.feed("world");
  in.script.whenEmpty = aErrEOF;
  EXPECT_EQ(aStream_Flush(in.s, out.s), aErrNone);
  EXPECT_EQ(str(out.script.written), "world");

  in.script.feed("ab");
  in.script.whenEmpty = aErrIO;
  EXPECT_EQ(aStream_Flush(in.s, out.s), aErrIO);
  out.script.failPutAfter = 0;
  out.script.putResult = aErrWrite;
  in.script.feed("c");
  EXPECT_EQ(aStream_Flush(in.s, out.s), aErrWrite);
  EXPECT_EQ(aStream_Flush(nullptr, out.s), aErrParam);
  aStream* writeOnly = aStream_Create(nullptr, sPut, nullptr, nullptr, &out.script);
  EXPECT_EQ(aStream_Flush(writeOnly, out.s), aErrMode);
  aStream_Destroy(&writeOnly);
}

TEST(Stream, DestroyReleasesTheTransportOnce) {
  Script script;
  script.deleteResult = aErrIO;
  aStream* s = aStream_Create(sGet, sPut, sWrite, sDelete, &script);
  EXPECT_EQ(aStream_Destroy(&s), aErrIO);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(script.deletes, 1);
  EXPECT_EQ(aStream_Destroy(&s), aErrParam);
  EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
  EXPECT_EQ(script.deletes, 1);
}

TEST(FileStream, WritesAndReadsBack) {
  cltest::TempDir dir;
  const std::string path = dir.path() + "/stream.bin";
  aStream* out = nullptr;
  ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(aStream_WriteCString(out, "first"), aErrNone);
  EXPECT_EQ(aStream_WriteCStringRecord(out, "second", "\n"), aErrNone);
  const uint8_t x = 'x';
  EXPECT_EQ(aStream_Write(out, &x, 1), aErrNone);
  EXPECT_EQ(aStream_Destroy(&out), aErrNone);

  aStream* in = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
  char buf[32];
  EXPECT_EQ(aStream_ReadCString(in, buf, sizeof buf), aErrNone);
  EXPECT_STREQ(buf, "first");
  EXPECT_EQ(aStream_ReadCStringRecord(in, buf, sizeof buf, "\n"), aErrNone);
  EXPECT_STREQ(buf, "second");
  uint8_t b = 0;
  EXPECT_EQ(aStream_Read(in, &b, 1), aErrNone);  // the record's terminating zero
  EXPECT_EQ(b, 0);
  EXPECT_EQ(aStream_Read(in, &b, 1), aErrNone);
  EXPECT_EQ(b, 'x');
  EXPECT_EQ(aStream_Read(in, &b, 1), aErrEOF);
  EXPECT_EQ(aStream_Write(in, &b, 1), aErrMode);
  EXPECT_EQ(aStream_Destroy(&in), aErrNone);
}

TEST(FileStream, OpenFailures) {
  cltest::TempDir dir;
  aStream* s = reinterpret_cast<aStream*>(1);
  EXPECT_EQ(aStream_CreateFileOutput((dir.path() + "/missing/dir/file").c_str(), &s), aErrNone);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(aStream_CreateFileInput((dir.path() + "/absent").c_str(), &s), aErrResource);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(aStream_CreateFileInput(nullptr, &s), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput(nullptr, &s), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput("x", nullptr), aErrResource);
}

}  // namespace
