// NXP ISP serial client: every read loop is bounded by a budget of failed or
// stray one-byte reads, so a silent or babbling device never holds the caller.
#include "recovery/NXPSerialClient.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "aTime.h"
#include "updater/UpdaterDisplay.h"

namespace nxpisp {

const int kRates[kRateCount] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

namespace {

const char* const kErrorNames[] = {
    "CMD_SUCCESS",
    "INVALID_COMMAND",
    "SRC_ADDR_ERROR",
    "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",
    "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",
    "BUSY",
    "PARAM_ERROR",
    "ADDR_ERROR",
    "ADDR_NOT_MAPPED",
    "CMD_LOCKED",
    "INVALID_CODE",
    "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",
    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

char uuChar(unsigned v) { return v == 0 ? '`' : static_cast<char>(v + 32); }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

size_t uuencodeLine(const uint8_t* bytes, size_t count, char* out) {
  size_t o = 0;
  out[o++] = uuChar(static_cast<unsigned>(count));
  for (size_t i = 0; i < count; i += 3) {
    uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k) group = (group << 8) | (i + k < count ? bytes[i + k] : 0);
    for (int shift = 18; shift >= 0; shift -= 6) out[o++] = uuChar((group >> shift) & 0x3F);
  }
  out[o] = '\0';
  return o;
}

uint32_t checksum(const uint8_t* bytes, size_t count) {
  uint32_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum += bytes[i];
  return sum;
}

const char* errorName(int code) {
  if (code < 0 || code > 20) return "Unknown error";
  return kErrorNames[code];
}

int replyCode(const char* line, size_t length, bool echo) {
  size_t at = 0;
  if (echo && length > 2) {
    at = length - 3;
    if (!isDigit(line[at])) return -1;
    while (at > 0 && isDigit(line[at - 1])) --at;
  }
  if (!isDigit(line[at])) return -1;
  long code = 0;
  for (size_t i = at; i < length && isDigit(line[i]); ++i) {
    code = code * 10 + (line[i] - '0');
    if (code > 1000000) return 1000000;  // far outside the table either way
  }
  return static_cast<int>(code);
}

bool parseWord(const char* line, uint32_t* word) {
  if (!isDigit(line[0])) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(line, &end, 0);
  if (errno || end == line || v > 0xFFFFFFFFull) return false;
  if (std::strcmp(end, "\r\n") != 0) return false;
  *word = static_cast<uint32_t>(v);
  return true;
}

int rateCode(int requestedRate) {
  if (requestedRate <= kRates[0]) return 0;
  for (int code = 0; code < kRateCount; ++code)
    if (kRates[code] >= requestedRate) return code;
  return 2;  // no faster rate offered: the boot loader's safe default
}

}  // namespace nxpisp

namespace {

bool tracing(uint32_t mask) { return (getDebugMask() & mask) != 0; }

// debugLog cuts a trace at 2047 characters; long dumps go in pieces.
void emit(uint32_t mask, const std::string& text) {
  for (size_t at = 0; at < text.size(); at += 2000) debugLog(mask, "%s", text.substr(at, 2000).c_str());
}

void appendf(std::string& out, const char* format, unsigned a, unsigned b = 0) {
  char piece[32];
  std::snprintf(piece, sizeof piece, format, a, b);
  out += piece;
}

std::string hexBytes(const uint8_t* bytes, size_t count) {
  std::string out;
  char piece[8];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(piece, sizeof piece, "%s%02X", i ? " " : "", bytes[i]);
    out += piece;
  }
  return out;
}

std::string hexText(const char* text, size_t count) { return hexBytes(reinterpret_cast<const uint8_t*>(text), count); }

bool printable(char c) { return std::isprint(static_cast<unsigned char>(c)) != 0; }

std::string printableText(const char* text, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += printable(text[i]) ? text[i] : ' ';
  return out;
}

// "\r" and "\n" shown as their escapes, other unprintables as spaces.
std::string escapedText(const char* text, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    if (text[i] == '\r')
      out += "\\r";
    else if (text[i] == '\n')
      out += "\\n";
    else
      out += printable(text[i]) ? text[i] : ' ';
  }
  return out;
}

bool endsWithCrLf(const char* buffer, size_t length) {
  return length >= 2 && buffer[length - 2] == '\r' && buffer[length - 1] == '\n';
}

void sleepMs(uint32_t ms) { aTime_MSSleep(ms); }

}  // namespace

NXPSerialClient::NXPSerialClient() : pause_(sleepMs) {}

NXPSerialClient::~NXPSerialClient() {
  if (stream_) aStream_Destroy(&stream_);
}

aErr NXPSerialClient::open(const char* portName, int requestedRate) {
  if (stream_) aStream_Destroy(&stream_);
  if (!portName) return aErrParam;
  int code = nxpisp::rateCode(requestedRate);
  baudRate_ = nxpisp::kRates[code];
  debugLog(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", portName, code, baudRate_);
  aErr err = aStream_CreateSerial(portName, code, 0, 0, 0, &stream_);
  if (err != aErrNone) {
    debugLog(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s\n", portName, aError_GetErrorText(err));
    return err;
  }
  std::snprintf(portName_, sizeof portName_, "%s", portName);
  return aErrNone;
}

aErr NXPSerialClient::adopt(aStream* stream, int rate) {
  if (!stream || rate <= 0) return aErrParam;
  if (stream_) aStream_Destroy(&stream_);
  stream_ = stream;
  baudRate_ = rate;
  return aErrNone;
}

void NXPSerialClient::close() {
  if (stream_) aStream_Destroy(&stream_);
  state_ = kClosedState;
}

aErr NXPSerialClient::readByte(uint8_t* byte) {
  if (!stream_) return aErrIO;
  return aStream_Read(stream_, byte, 1);
}

aErr NXPSerialClient::GetEcho(const char* text, size_t n, size_t* count) {
  const bool on = tracing(DEBUG_NXPSerial_E);
  std::string log;
  if (on) {
    log = "GetEcho([" + hexText(text, std::strlen(text));
    appendf(log, "] %d, ...)\n", static_cast<unsigned>(n));
    log += "recv Echo:[";
  }
  size_t matched = 0;
  int spent = 0;
  aErr err = aErrNone;
  // Stray bytes use up the budget too: a line full of noise must not hold us.
  while (matched < n && spent < kLineTries) {
    uint8_t b;
    err = readByte(&b);
    if (err != aErrNone) {
      pause(1);
      ++spent;
      if (on) log += ".";
    } else if (b == static_cast<uint8_t>(text[matched])) {
      ++matched;
      if (on) appendf(log, " %02X", b);
    } else {
      ++spent;
      if (on) appendf(log, " %02X!=%02X", b, static_cast<uint8_t>(text[matched]));
    }
  }
  if (on) {
    log += "]\n";
    emit(DEBUG_NXPSerial_E, log);
  }
  if (count) *count = matched;
  return err;
}

aErr NXPSerialClient::GetLine(char* buffer, size_t capacity, size_t* length, int tries) {
  if (length) *length = 0;
  if (!buffer || capacity == 0) return aErrParam;
  size_t stored = 0;
  int spent = 0;
  bool terminated = false;
  // One byte is kept for the terminating NUL.
  while (stored + 1 < capacity && spent < tries) {
    uint8_t b;
    if (readByte(&b) != aErrNone) {
      pause(1);
      ++spent;
      debugLog(DEBUG_NXPSerial_E, ".");
      continue;
    }
    if (stored == 0 && b == '\n') {  // the end of an echo read just before
      ++spent;
      debugLog(DEBUG_NXPSerial_E, ",");
      continue;
    }
    buffer[stored++] = static_cast<char>(b);
    if (endsWithCrLf(buffer, stored)) {
      terminated = true;
      break;
    }
  }
  buffer[stored] = '\0';
  if (length) *length = stored;
  aErr err = terminated ? aErrNone : spent >= tries ? aErrTimeout : aErrOverrun;
  if (tracing(DEBUG_NXPSerial_SR)) {
    std::string log = "GetLine() Received: [" + hexText(buffer, stored) + "] [" + printableText(buffer, stored) + "] ";
    log += std::to_string(stored) + (terminated ? " term [" : " non-term [") + aError_GetErrorText(err) + "]\n";
    emit(DEBUG_NXPSerial_SR, log);
  }
  return err;
}

aErr NXPSerialClient::Response(char* buffer, size_t capacity, size_t* length, const char* expected, size_t size) {
  if (length) *length = 0;
  if (!buffer || capacity == 0) return aErrParam;
  const int rate = baudRate_ > 0 ? baudRate_ : nxpisp::kRates[nxpisp::kRateCount - 1];
  const int waitMs = static_cast<int>((size + 2) * 9000 / static_cast<size_t>(rate) + 21);
  debugLog(DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n", static_cast<int>(size), rate,
           waitMs);
  pause(static_cast<uint32_t>(waitMs));

  const size_t expectedLength = expected ? std::strlen(expected) : 0;
  size_t limit = capacity - 1;
  if (expected && size < limit) limit = size;
  size_t stored = 0;
  int skipped = 0;
  aErr err = aErrNone;
  while (stored < limit) {
    uint8_t b;
    err = readByte(&b);
    if (err != aErrNone) {
      pause(1);
      debugLog(DEBUG_NXPSerial_E, ".");
      break;
    }
    // Leading line ends and NULs are left-overs of the exchange before; a device
    // that sends nothing else still ends the read.
    const bool leadingEnd = stored == 0 && (b == '\n' || b == '\r');
    if (leadingEnd || (stored < 3 && b == 0)) {
      if (b == '\n')
        debugLog(DEBUG_NXPSerial_E, "Response ignoring leading \\n\n");
      else if (b == '\r')
        debugLog(DEBUG_NXPSerial_E, "Response ignoring leading \\r\n");
      else
        debugLog(DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
      if (++skipped >= kLineTries) {
        err = aErrTimeout;
        break;
      }
      continue;
    }
    buffer[stored] = static_cast<char>(b);
    if (expected) {
      const char want = stored < expectedLength ? expected[stored] : '\0';
      if (buffer[stored] != want)
        debugLog(DEBUG_NXPSerial, "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
                 static_cast<int>(stored), b, printable(static_cast<char>(b)) ? b : ' ', printable(want) ? want : ' ',
                 static_cast<uint8_t>(want));
    }
    ++stored;
    if (endsWithCrLf(buffer, stored)) break;
  }
  buffer[stored] = '\0';
  if (length) *length = stored;
  if (tracing(DEBUG_NXPSerial_SR))
    emit(DEBUG_NXPSerial_SR, "Response: [" + hexText(buffer, stored) + "] [" + escapedText(buffer, stored) + "]\n");
  return err;
}

aErr NXPSerialClient::writeText(const char* text, bool escapeLineEnds) {
  const size_t n = std::strlen(text);
  if (tracing(DEBUG_NXPSerial_SR))
    emit(DEBUG_NXPSerial_SR, "Sending:[" + hexText(text, n) + "] [" +
                                 (escapeLineEnds ? escapedText(text, n) : printableText(text, n)) + "]\n");
  if (!stream_) return aErrIO;
  return aStream_Write(stream_, reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(n));
}

aErr NXPSerialClient::Test_Serial_Send(const char* text, bool readEcho) {
  const size_t n = std::strlen(text);
  aErr err = writeText(text, true);
  if (err != aErrNone) {
    debugLog(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    return err;
  }
  if (readEcho && n > 0) {
    size_t count = 0;
    GetEcho(text, n - 1, &count);
  }
  return aErrNone;
}

aErr NXPSerialClient::SendCommand(const char* line, int waitMs) {
  const size_t n = std::strlen(line);
  aErr err = writeText(line, false);
  if (err == aErrNone && waitMs > 0) {
    debugLog(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", waitMs);
    pause(static_cast<uint32_t>(waitMs));
  }
  if (err != aErrNone) {
    debugLog(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    debugLog(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(err));
    return err;
  }
  if (echo_ && n > 0) {
    size_t count = 0;
    GetEcho(line, n - 1, &count);
    if (count != n - 1)
      debugLog(DEBUG_NXPSerial, "Error SendCommand() bad echo [%d!=%d]\n", static_cast<int>(count), static_cast<int>(n));
  }
  return aErrNone;
}

// Sends a command line and reads its status reply. prefix starts the error
// traces; refusalMask 0 keeps a device's refusal untraced.
aErr NXPSerialClient::command(const char* line, const char* prefix, uint32_t refusalMask) {
  aErr err = SendCommand(line, 0);
  if (err != aErrNone) {
    debugLog(DEBUG_NXPSerial, "%sError Sending command [%s] [%s]\n", prefix, line, aError_GetErrorText(err));
    return err;
  }
  char reply[kLineCapacity];
  size_t length = 0;
  err = GetLine(reply, sizeof reply, &length, kLineTries);
  if (err != aErrNone) {
    // No status came back: say so rather than name a code the device never sent.
    debugLog(DEBUG_NXPSerial, "%sError response ==>[%s]\n", prefix, aError_GetErrorText(err));
    return err;
  }
  const int code = nxpisp::replyCode(reply, length, echo_);
  if (code == 0) return aErrNone;
  if (refusalMask) debugLog(refusalMask, "%sError response ==>[%s]\n", prefix, nxpisp::errorName(code));
  return aErrParam;
}

aErr NXPSerialClient::sync() {
  char buffer[64];
  size_t length = 0;
  static const char kSynchronized[] = "Synchronized\r\n";
  static const char kOk[] = "OK\r\n";

  aErr err = Test_Serial_Send("?", false);
  if (err != aErrNone) return err;
  err = Response(buffer, sizeof buffer, &length, kSynchronized, 14);
  if (err != aErrNone) {
    debugLog(DEBUG_NXPSerial, "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
             kSynchronized, buffer);
    return err;
  }
  if (std::strcmp(buffer, kSynchronized) != 0)
    debugLog(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", buffer);

  if ((err = Test_Serial_Send(kSynchronized, false)) != aErrNone) return err;
  Response(buffer, sizeof buffer, &length, kSynchronized, 13);
  Response(buffer, sizeof buffer, &length, kOk, 4);
  if (std::strncmp(buffer, kOk, 2) != 0)
    debugLog(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", buffer, kOk);

  char crystal[32];
  std::snprintf(crystal, sizeof crystal, "%ld\r\n", std::lround(kCrystalMHz * 1000.0));
  if ((err = Test_Serial_Send(crystal, false)) != aErrNone) return err;
  Response(buffer, sizeof buffer, &length, crystal, 6);
  err = Response(buffer, sizeof buffer, &length, kOk, 4);
  if (err != aErrNone) return err;
  // Bytes that are not the boot loader's OK are not a handshake.
  if (std::strncmp(buffer, kOk, 2) != 0) {
    debugLog(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", buffer, kOk);
    return aErrParam;
  }
  return aErrNone;
}

aErr NXPSerialClient::setEcho(bool on) {
  debugLog(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
  char line[16];
  std::snprintf(line, sizeof line, "A %d\r\n", on ? 1 : 0);
  aErr err = command(line, "", 0);
  if (err == aErrNone) echo_ = on;
  return err;
}

aErr NXPSerialClient::unlock() {
  char line[32];
  std::snprintf(line, sizeof line, "U %d\r\n", kUnlockCode);
  return command(line, "", 0);
}

aErr NXPSerialClient::sectorCommand(char op, int start, int end) {
  if (end < start) return aErrParam;
  char line[48];
  std::snprintf(line, sizeof line, "%c %d %d\r\n", op, start, end);
  return command(line, "", DEBUG_NXPSerial);
}

aErr NXPSerialClient::prepareSectors(int start, int end) { return sectorCommand('P', start, end); }

aErr NXPSerialClient::eraseSectors(int start, int end) { return sectorCommand('E', start, end); }

aErr NXPSerialClient::copy(uint32_t flashAddress, uint32_t ramAddress, uint32_t count) {
  if (flashAddress % 256 != 0) return aErrParam;
  if (count != 256 && count != 512 && count != 1024 && count != 4096) return aErrParam;
  char line[64];
  std::snprintf(line, sizeof line, "C %u %u %u\r\n", flashAddress, ramAddress, count);
  return command(line, "", DEBUG_NXPSerial);
}

aErr NXPSerialClient::go(uint32_t address) {
  char line[32];
  std::snprintf(line, sizeof line, "G %u T\r\n", address);
  // The device leaves the boot loader: there is no reply to wait for.
  return SendCommand(line, 0);
}

aErr NXPSerialClient::readWord(uint32_t* word) {
  char line[kWordCapacity];
  size_t length = 0;
  aErr err = GetLine(line, sizeof line, &length, kLineTries);
  if (err != aErrNone) return err;
  if (!nxpisp::parseWord(line, word)) {
    debugLog(DEBUG_NXPSerial, "Error response ==>[%s]\n", aError_GetErrorText(aErrParse));
    return aErrParse;
  }
  return aErrNone;
}

aErr NXPSerialClient::readSerialNumber() {
  // A refused command sends no words: its status decides, or a locked chip
  // would yield a made-up fingerprint.
  aErr err = command("N\r\n", "", DEBUG_NXPSerial);
  if (err != aErrNone) return err;
  uint32_t words[4];
  for (uint32_t& w : words)
    if ((err = readWord(&w)) != aErrNone) return err;
  std::memcpy(serial_, words, sizeof serial_);
  return aErrNone;
}

aErr NXPSerialClient::Write(uint32_t ramAddress, uint32_t count, const uint8_t* data) {
  if (count == 0 || count % 4 != 0 || !data) return aErrParam;
  char line[64];
  std::snprintf(line, sizeof line, "W %u %u\r\n", ramAddress, count);
  aErr err = command(line, "Write() ", DEBUG_NXPSerial_SR);
  if (err != aErrNone) return err;

  uint32_t position = 0, accepted = 0;
  size_t lines = 0;
  int retries = kWriteRetries;
  while (position < count && err == aErrNone) {
    const size_t n = count - position < nxpisp::kBytesPerLine ? count - position : nxpisp::kBytesPerLine;
    char encoded[nxpisp::kMaxLineLength + 1];
    nxpisp::uuencodeLine(data + position, n, encoded);
    if ((err = Test_Serial_Send(encoded, echo_)) != aErrNone) break;
    if ((err = Test_Serial_Send("\r\n", echo_)) != aErrNone) break;
    position += static_cast<uint32_t>(n);
    ++lines;
    if (lines < nxpisp::kLinesPerChecksum && position < count) continue;

    const uint32_t sum = nxpisp::checksum(data + accepted, position - accepted);
    debugLog(DEBUG_NXPSerial_SR, "Write() Checksum: %08X (%d)\n", sum, static_cast<int>(sum));
    char sumLine[32];
    std::snprintf(sumLine, sizeof sumLine, "%u\r\n", sum);
    if ((err = Test_Serial_Send(sumLine, echo_)) != aErrNone) break;
    char answer[kLineCapacity];
    size_t length = 0;
    const uint32_t started = aTime_GetMSTicks();
    GetLine(answer, sizeof answer, &length, kChecksumTries);
    debugLog(DEBUG_NXPSerial_E, "Write() waited for checksum %d ms\n", static_cast<int>(aTime_GetMSTicks() - started));
    if (std::strcmp(answer, "OK\r\n") == 0) {
      accepted = position;
      debugLog(DEBUG_NXPSerial_SR, "Write() valid transfer of %d of %d (%.0f%%) bytes\n", static_cast<int>(position),
               static_cast<int>(count), position * 100.0 / count);
    } else if (std::strcmp(answer, "RESEND\r\n") == 0) {
      if (--retries == 0) {
        debugLog(DEBUG_NXPSerial, "Write() exceeded retries\n");
        err = aErrTimeout;
      } else {
        position = accepted;
      }
    } else {
      debugLog(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", answer);
      err = aErrIO;
    }
    lines = 0;
  }
  return err;
}

unsigned NXPSerialClient::copySize(unsigned n) {
  if (n <= 256) return 256;
  if (n <= 512) return 512;
  if (n <= 1024) return 1024;
  if (n <= 4096) return 4096;
  debugLog(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", static_cast<int>(n));
  return n;
}

int NXPSerialClient::sectorOf(uint32_t address) {
  if (address < 0x10000) return static_cast<int>(address / 0x1000);
  if (address < 0x80000) return 16 + static_cast<int>((address - 0x10000) / 0x8000);
  return kSectorCount;
}
