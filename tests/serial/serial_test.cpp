#include "aStream.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// The test holds the master side of a pseudo-terminal; the stream opens the
// slave by name, as it would open a serial port.
struct Pty {
  Pty() {
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
      path = name;
      termios t;
      tcgetattr(slave, &t);
      cfmakeraw(&t);
      tcsetattr(slave, TCSANOW, &t);
    }
  }
  ~Pty() {
    if (master >= 0)
      close(master);
    if (slave >= 0)
      close(slave);
  }
  void send(const Bytes& b) const { ASSERT_EQ(write(master, b.data(), b.size()), ssize_t(b.size())); }
  // Reads what the stream wrote, up to count bytes; gives up after a second of silence.
  Bytes receive(size_t count) const {
    Bytes out;
    while (out.size() < count) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0)
        break;
      uint8_t buf[256];
      ssize_t n = read(master, buf, std::min(sizeof buf, count - out.size()));
      if (n <= 0)
        break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }
  Bytes pending() const {
    Bytes out;
    pollfd p{master, POLLIN, 0};
    while (poll(&p, 1, 50) > 0) {
      uint8_t buf[256];
      ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0)
        break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }
  int master = -1, slave = -1;
  std::string path;
};

struct StreamHolder {
  ~StreamHolder() { aStream_Destroy(&s); }
  aStream* s = nullptr;
};

// Polls a non-blocking stream for one byte: answers the first result that is
// not aErrNotReady (or aErrNotReady when nothing came within the attempts).
aErr readOne(aStream* s, uint8_t* byte) {
  aErr err = aErrNotReady;
  for (int i = 0; i < 20000 && err == aErrNotReady; i++) {
    err = aStream_Read(s, byte, 1);
    if (err == aErrNotReady)
      usleep(100);
  }
  return err;
}

Bytes readBytes(aStream* s, size_t count) {
  Bytes out;
  uint8_t b;
  while (out.size() < count && readOne(s, &b) == aErrNone)
    out.push_back(b);
  return out;
}

struct ArgCase {
  const char* name;
  bool nullName, nullResult;
  int32_t baud, parity, seven, two;
  aErr expected;
};

// Table rows print as their names in test listings.
void PrintTo(const ArgCase& c, std::ostream* os) { *os << c.name; }

class SerialArgs : public ::testing::TestWithParam<ArgCase> {};

TEST_P(SerialArgs, AreCheckedInOrder) {
  const ArgCase& c = GetParam();
  Pty pty;
  for (auto create : {aStream_CreateSerial, aStream_CreateSerial_Packetized}) {
    aStream* s = reinterpret_cast<aStream*>(1);
    aErr err = create(c.nullName ? nullptr : pty.path.c_str(), c.baud, c.parity, c.seven, c.two,
                      c.nullResult ? nullptr : &s);
    EXPECT_EQ(err, c.expected);
    if (!c.nullResult) {
      EXPECT_EQ(s, nullptr);
    }
  }
  // A refused call leaves the port free.
  StreamHolder h;
  EXPECT_EQ(aStream_CreateSerial(pty.path.c_str(), 6, 0, 0, 0, &h.s), aErrNone);
}

INSTANTIATE_TEST_SUITE_P(Serial, SerialArgs,
                         ::testing::Values(ArgCase{"NullName", true, false, 6, 0, 0, 0, aErrParam},
                                           ArgCase{"NullResult", false, true, 6, 0, 0, 0, aErrParam},
                                           ArgCase{"RateCode8", false, false, 8, 0, 0, 0, aErrRange},
                                           ArgCase{"RateCodeNegative", false, false, -1, 0, 0, 0, aErrRange},
                                           ArgCase{"SevenBits2", false, false, 6, 0, 2, 0, aErrMode},
                                           ArgCase{"TwoStopBits2", false, false, 6, 0, 0, 2, aErrMode},
                                           ArgCase{"RangeBeforeMode", false, false, 9, 0, 2, 2, aErrRange}),
                         [](const ::testing::TestParamInfo<ArgCase>& info) { return info.param.name; });

TEST(Serial, PortsThatCannotBeOpened) {
  aStream* s = nullptr;
  EXPECT_EQ(aStream_CreateSerial("/dev/does-not-exist-serial", 6, 0, 0, 0, &s), aErrIO);
  EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, 0, 0, 0, &s), aErrIO);  // not a terminal
  EXPECT_EQ(aStream_CreateSerial_Packetized("/dev/does-not-exist-serial", 6, 0, 0, 0, &s), aErrIO);
  EXPECT_EQ(s, nullptr);
}

TEST(Serial, RawBytesBothWays) {
  Pty pty;
  StreamHolder h;
  ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), 6, 0, 0, 0, &h.s), aErrNone);
  uint8_t b;
  EXPECT_EQ(aStream_Read(h.s, &b, 1), aErrNotReady);
  Bytes all;
  for (int i = 0; i < 256; i++)
    all.push_back(static_cast<uint8_t>(i));
  EXPECT_EQ(aStream_Write(h.s, all.data(), 256), aErrNone);
  const uint8_t one = 0x13;
  EXPECT_EQ(aStream_Write(h.s, &one, 1), aErrNone);
  Bytes expected = all;
  expected.push_back(one);
  EXPECT_EQ(pty.receive(257), expected);
  pty.send(all);
  EXPECT_EQ(readBytes(h.s, 256), all);
  EXPECT_EQ(aStream_Read(h.s, &b, 1), aErrNotReady);
}

TEST(Serial, HangUpIsAReadFailure) {
  Pty pty;
  StreamHolder raw, framed;
  ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), 6, 0, 0, 0, &raw.s), aErrNone);
  Pty other;
  ASSERT_EQ(aStream_CreateSerial_Packetized(other.path.c_str(), 6, 0, 0, 0, &framed.s), aErrNone);
  uint8_t b = 0;
  EXPECT_EQ(aStream_Read(raw.s, &b, 1), aErrNotReady);
  EXPECT_EQ(aStream_Read(framed.s, &b, 1), aErrNotReady);
  close(pty.master);
  pty.master = -1;
  close(other.master);
  other.master = -1;
  EXPECT_EQ(readOne(raw.s, &b), aErrIO);
  EXPECT_EQ(readOne(framed.s, &b), aErrIO);
}

TEST(Serial, SecondOpenIsRefusedUntilTheFirstCloses) {
  Pty pty;
  aStream* first = nullptr;
  aStream* second = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), 6, 0, 0, 0, &first), aErrNone);
  EXPECT_EQ(aStream_CreateSerial(pty.path.c_str(), 6, 0, 0, 0, &second), aErrIO);
  EXPECT_EQ(aStream_CreateSerial_Packetized(pty.path.c_str(), 6, 0, 0, 0, &second), aErrIO);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(aStream_Destroy(&first), aErrNone);
  EXPECT_EQ(aStream_CreateSerial_Packetized(pty.path.c_str(), 6, 0, 0, 0, &second), aErrNone);
  EXPECT_EQ(aStream_Destroy(&second), aErrNone);
}

TEST(Serial, SettingsAreAppliedAndRestored) {
  Pty pty;
  termios before;
  tcgetattr(pty.slave, &before);
  cfsetispeed(&before, B9600);
  cfsetospeed(&before, B9600);
  before.c_lflag |= ICANON | ECHO;
  before.c_iflag |= IXON | ICRNL;
  before.c_cc[VMIN] = 1;
  before.c_cc[VTIME] = 5;
  ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);
  tcgetattr(pty.slave, &before);

  StreamHolder h;
  ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), 7, 0, 0, 0, &h.s), aErrNone);
  termios during;
  tcgetattr(pty.slave, &during);
  EXPECT_EQ(cfgetospeed(&during), speed_t(B230400));
  EXPECT_EQ(during.c_cc[VMIN], 0);
  EXPECT_EQ(during.c_cc[VTIME], 0);
  EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(during.c_iflag & (IXON | ICRNL), 0u);

  EXPECT_EQ(aStream_Destroy(&h.s), aErrNone);
  termios after;
  tcgetattr(pty.slave, &after);
  EXPECT_EQ(cfgetospeed(&after), speed_t(B9600));
  EXPECT_EQ(cfgetispeed(&after), speed_t(B9600));
  EXPECT_EQ(after.c_cc[VMIN], 1);
  EXPECT_EQ(after.c_cc[VTIME], 5);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
}

struct LineCase {
  const char* name;
  int32_t baud, parity, seven, two;
  speed_t speed;
  tcflag_t cflagSet, cflagClear, iflagSet, iflagClear;
};

// Table rows print as their names in test listings.
void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class SerialLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(SerialLine, Settings) {
  const LineCase& c = GetParam();
  Pty pty;
  StreamHolder h;
  ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), c.baud, c.parity, c.seven, c.two, &h.s), aErrNone);
  termios t;
  tcgetattr(pty.slave, &t);
  EXPECT_EQ(cfgetospeed(&t), c.speed);
  EXPECT_EQ(t.c_cflag & c.cflagSet, c.cflagSet);
  EXPECT_EQ(t.c_cflag & c.cflagClear, 0u);
  EXPECT_EQ(t.c_iflag & c.iflagSet, c.iflagSet);
  EXPECT_EQ(t.c_iflag & c.iflagClear, 0u);
}

// A pseudo-terminal forces 8 bits and clears the parity enable whatever is
// asked; the speed, stop bits, odd parity and parity checking still show.
INSTANTIATE_TEST_SUITE_P(
    Serial, SerialLine,
    ::testing::Values(LineCase{"EightNoneOne", 6, 0, 0, 0, B115200, CS8, CSTOPB | PARODD, 0, INPCK},
                      LineCase{"Slowest", 0, 0, 0, 0, B2400, 0, 0, 0, 0},
                      LineCase{"SevenBits", 2, 0, 1, 0, B9600, 0, CSTOPB, 0, 0},
                      LineCase{"TwoStopBits", 3, 0, 0, 1, B19200, CSTOPB, 0, 0, 0},
                      LineCase{"OddChecked", 4, 1, 0, 0, B38400, PARODD, CSTOPB, INPCK, 0},
                      LineCase{"OddUnchecked", 5, 2, 0, 0, B57600, PARODD, CSTOPB, 0, INPCK}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; });

// Packetized stream

struct FramedPort : Pty {
  FramedPort() { EXPECT_EQ(aStream_CreateSerial_Packetized(path.c_str(), 6, 0, 0, 0, &h.s), aErrNone); }
  StreamHolder h;
};

struct FrameCase {
  const char* name;
  Bytes packet;
  Bytes frame;
};

// Table rows print as their names in test listings.
void PrintTo(const FrameCase& c, std::ostream* os) { *os << c.name; }

class Frames : public ::testing::TestWithParam<FrameCase> {};

TEST_P(Frames, GoBothWays) {
  const FrameCase& c = GetParam();
  FramedPort port;
  EXPECT_EQ(aStream_Write(port.h.s, c.packet.data(), static_cast<uint32_t>(c.packet.size())), aErrNone);
  EXPECT_EQ(port.receive(c.frame.size()), c.frame);
  EXPECT_EQ(port.pending(), Bytes{});
  port.send(c.frame);
  EXPECT_EQ(readBytes(port.h.s, c.packet.size()), c.packet);
  uint8_t b;
  EXPECT_EQ(aStream_Read(port.h.s, &b, 1), aErrNotReady);
}

Bytes largest() {
  Bytes p{0x06, 28};
  for (int i = 0; i < 28; i++)
    p.push_back(static_cast<uint8_t>(i % 3 == 0 ? 0 : i));  // zeros inside to be stuffed
  return p;
}

Bytes largestFrame() {
  // COBS by hand: each zero closes a block.
  Bytes plain = largest();
  uint8_t crc = 0;
  for (uint8_t x : plain) {
    crc ^= x;
    for (int b = 0; b < 8; b++)
      crc = static_cast<uint8_t>((crc & 1) ? (crc >> 1) ^ 0x8C : crc >> 1);
  }
  plain.push_back(crc);
  Bytes out{0};
  size_t code = 0;
  for (uint8_t x : plain) {
    if (x == 0) {
      out[code] = static_cast<uint8_t>(out.size() - code);
      code = out.size();
      out.push_back(0);
    } else {
      out.push_back(x);
    }
  }
  out[code] = static_cast<uint8_t>(out.size() - code);
  out.push_back(0);
  return out;
}

INSTANTIATE_TEST_SUITE_P(Serial, Frames,
                         ::testing::Values(FrameCase{"Heartbeat", {0x06, 0x02, 0x00, 0x01}, {3, 6, 2, 3, 1, 0x18, 0}},
                                           FrameCase{"Sync", {0xAD, 0x00}, {2, 0xAD, 2, 0x67, 0}},
                                           FrameCase{"Largest", largest(), largestFrame()}),
                         [](const ::testing::TestParamInfo<FrameCase>& info) { return info.param.name; });

TEST(Framed, LargestFrameIsThirtyThreeBytes) { EXPECT_EQ(largestFrame().size(), 33u); }

TEST(Framed, SeveralPacketsInOneWriteMakeOneFrameEach) {
  FramedPort port;
  const Bytes two{0xAD, 0x00, 0x06, 0x02, 0x00, 0x01};
  EXPECT_EQ(aStream_Write(port.h.s, two.data(), 6), aErrNone);
  EXPECT_EQ(port.receive(12), (Bytes{2, 0xAD, 2, 0x67, 0, 3, 6, 2, 3, 1, 0x18, 0}));
  // A packet split over two writes is sent once it is complete.
  EXPECT_EQ(aStream_Write(port.h.s, two.data() + 2, 2), aErrNone);
  EXPECT_EQ(port.pending(), Bytes{});
  EXPECT_EQ(aStream_Write(port.h.s, two.data() + 4, 2), aErrNone);
  EXPECT_EQ(port.receive(7), (Bytes{3, 6, 2, 3, 1, 0x18, 0}));
}

TEST(Framed, MalformedPacketDoesNotWedgeTheWriter) {
  FramedPort port;
  const Bytes bad{0x06, 0x1D};  // size 29: can never complete
  EXPECT_EQ(aStream_Write(port.h.s, bad.data(), 2), aErrPacket);
  const Bytes sync{0xAD, 0x00};
  EXPECT_EQ(aStream_Write(port.h.s, sync.data(), 2), aErrNone);
  EXPECT_EQ(port.receive(5), (Bytes{2, 0xAD, 2, 0x67, 0}));
  EXPECT_EQ(port.pending(), Bytes{});
}

TEST(Framed, SingleByteGoesOutUnframed) {
  FramedPort port;
  const uint8_t b = 0x55;
  EXPECT_EQ(aStream_Write(port.h.s, &b, 1), aErrNone);
  EXPECT_EQ(port.receive(1), Bytes{0x55});
  EXPECT_EQ(port.pending(), Bytes{});
}

struct BadFrameCase {
  const char* name;
  Bytes frame;
};

// Table rows print as their names in test listings.
void PrintTo(const BadFrameCase& c, std::ostream* os) { *os << c.name; }

class BadFrames : public ::testing::TestWithParam<BadFrameCase> {};

TEST_P(BadFrames, AreDroppedOnceAndTheNextFrameArrives) {
  FramedPort port;
  Bytes wire{0x00};  // a lone delimiter first: ignored
  wire.insert(wire.end(), GetParam().frame.begin(), GetParam().frame.end());
  const Bytes good{3, 6, 2, 3, 1, 0x18, 0};
  wire.insert(wire.end(), good.begin(), good.end());
  port.send(wire);
  uint8_t b;
  EXPECT_EQ(readOne(port.h.s, &b), aErrPacket);
  EXPECT_EQ(readBytes(port.h.s, 4), (Bytes{6, 2, 0, 1}));
  EXPECT_EQ(aStream_Read(port.h.s, &b, 1), aErrNotReady);
}

Bytes overlong() {
  Bytes f{0x28, 0x06, 0x1C};
  f.insert(f.end(), 38, 0x11);
  f.push_back(0);
  return f;
}

INSTANTIATE_TEST_SUITE_P(Serial, BadFrames,
                         ::testing::Values(BadFrameCase{"WrongCrc", {3, 6, 2, 3, 1, 0x19, 0}},
                                           BadFrameCase{"SizeMismatch", {3, 6, 3, 3, 1, 0x18, 0}},
                                           BadFrameCase{"TooShort", {2, 6, 2, 0}},
                                           BadFrameCase{"BadStuffing", {9, 6, 2, 0}},
                                           BadFrameCase{"Overlong", overlong()}),
                         [](const ::testing::TestParamInfo<BadFrameCase>& info) { return info.param.name; });

TEST(Framed, LoneDelimitersBetweenFramesAreIgnored) {
  FramedPort port;
  port.send({0, 0, 2, 0xAD, 2, 0x67, 0, 0, 0});
  EXPECT_EQ(readBytes(port.h.s, 2), (Bytes{0xAD, 0x00}));
  uint8_t b;
  for (int i = 0; i < 50; i++)
    EXPECT_EQ(aStream_Read(port.h.s, &b, 1), aErrNotReady);
}

}  // namespace
