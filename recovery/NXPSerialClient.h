// Host side of the NXP ROM boot loader's serial In-System Programming dialogue:
// autobaud handshake, ASCII command lines with numeric status replies, and
// binary data sent as uuencoded lines in checksummed groups.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aStream.h"

// The parts of the dialogue that need no port: line encoding, checksums and
// the reading of reply texts. They take whatever bytes a device sent.
namespace nxpisp {

// Bytes of one uuencoded data line, lines per checksum group.
constexpr size_t kBytesPerLine = 45;
constexpr size_t kLinesPerChecksum = 20;
// Length character plus four characters per started group of three bytes.
constexpr size_t kMaxLineLength = 1 + (kBytesPerLine + 2) / 3 * 4;

// One data line without its "\r\n": the length character, then the bytes in
// groups of three (zero-padded) as four 6-bit characters, v + 32 with 0 as "`".
// count must be 1..45; out needs kMaxLineLength + 1 bytes. Answers the length.
size_t uuencodeLine(const uint8_t* bytes, size_t count, char* out);

// 32-bit sum of the unsigned bytes, as the boot loader checks a group.
uint32_t checksum(const uint8_t* bytes, size_t count);

// Name of an ISP return code; "Unknown error" outside 0..20.
const char* errorName(int code);

// The return code of a reply line of `length` bytes (terminator included).
// With echo on, a line longer than two characters may carry echo left-overs
// in front, so the code is the number that ends three characters before the
// end; otherwise the number at the start. -1 when there is no number there.
int replyCode(const char* line, size_t length, bool echo);

// A word of a multi-line answer: an unsigned number with automatic base
// ("0x" hexadecimal, leading "0" octal, else decimal), then only the line end.
bool parseWord(const char* line, uint32_t* word);

// Rate table of the serial stream's codes, and the code for a requested rate.
constexpr int kRateCount = 8;
extern const int kRates[kRateCount];
int rateCode(int requestedRate);

}  // namespace nxpisp

class NXPSerialClient {
 public:
  static constexpr double kCrystalMHz = 14.7456;
  static constexpr int kWriteRetries = 3;
  static constexpr uint32_t kRamAddress = 0x10001000;
  // The code the boot loader wants before it writes or erases flash.
  static constexpr int kUnlockCode = 23130;
  static constexpr int kSectorCount = 30;
  static constexpr int kClosedState = 28;
  // Read budgets: failed one-byte reads (1 ms apart) per reply line and per
  // echo, and per checksum answer (the device may still be writing RAM).
  static constexpr int kLineTries = 100;
  static constexpr int kChecksumTries = 2000;
  static constexpr size_t kLineCapacity = 1024;
  static constexpr size_t kWordCapacity = 33;

  NXPSerialClient();
  ~NXPSerialClient();
  NXPSerialClient(const NXPSerialClient&) = delete;
  NXPSerialClient& operator=(const NXPSerialClient&) = delete;

  aErr open(const char* portName, int requestedRate);
  // Takes over a stream made elsewhere (a bridge or a test transport) as if
  // open had made it at the given rate.
  aErr adopt(aStream* stream, int rate);
  void close();

  aErr sync();
  aErr setEcho(bool on);
  aErr unlock();
  aErr prepareSectors(int start, int end);
  aErr eraseSectors(int start, int end);
  aErr Write(uint32_t ramAddress, uint32_t count, const uint8_t* data);
  aErr copy(uint32_t flashAddress, uint32_t ramAddress, uint32_t count);
  aErr go(uint32_t address);
  aErr readSerialNumber();

  static unsigned copySize(unsigned n);
  static int sectorOf(uint32_t address);

  bool echo() const { return echo_; }
  int baudRate() const { return baudRate_; }
  int state() const { return state_; }
  const char* portName() const { return portName_; }
  const uint32_t* serialNumber() const { return serial_; }
  bool isOpen() const { return stream_ != nullptr; }

  // How the read loops pause after a read that found nothing; the default
  // sleeps. Tests over in-memory transports replace it.
  using PauseProc = void (*)(uint32_t milliseconds);
  void setPause(PauseProc pause) { pause_ = pause; }

  // The protocol layer under the commands.
  aErr SendCommand(const char* line, int waitMs);
  aErr Test_Serial_Send(const char* text, bool readEcho);
  // Reads until n characters of text have come back; *count gets how many did.
  aErr GetEcho(const char* text, size_t n, size_t* count);
  // aErrNone for a line ended by "\r\n", aErrOverrun when capacity - 1 bytes
  // came without one, aErrTimeout when the read budget ran out first.
  aErr GetLine(char* buffer, size_t capacity, size_t* length, int tries);
  aErr Response(char* buffer, size_t capacity, size_t* length, const char* expected, size_t size);

 private:
  aErr command(const char* line, const char* prefix, uint32_t refusalMask);
  aErr sectorCommand(char op, int start, int end);
  // Dumps and writes the text; the dump shows line ends escaped or as spaces.
  aErr writeText(const char* text, bool escapeLineEnds);
  aErr readWord(uint32_t* word);
  aErr readByte(uint8_t* byte);
  void pause(uint32_t ms) { pause_(ms); }

  aStream* stream_ = nullptr;
  bool echo_ = true;
  int baudRate_ = 0;
  int state_ = 0;
  char portName_[2048] = {};
  uint32_t serial_[4] = {};
  PauseProc pause_;
};
