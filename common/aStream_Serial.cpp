/* Serial port streams on Linux termios: the raw byte stream and the packetized
 * stream that carries device-link packets in COBS frames closed by a CRC-8. */
#include "aStream.h"
#include "aPacket.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr uint16_t kSerialCheck = 0xDEEF;
constexpr uint16_t kFramedCheck = 0xC0B5;
constexpr uint32_t kRxSize = 32;
constexpr uint32_t kTxSize = 33;
// A write that makes no progress for this long has lost its port.
constexpr int kWriteStallMs = 10000;

struct aSerialPort {
  int fd;
  uint16_t check;
  termios saved;  // line settings and read timeouts (VMIN/VTIME) before opening
};

struct aSerialFramed {
  aStreamGetProc rawGet;
  aStreamPutProc rawPut;
  aStreamWriteProc rawWrite;
  aStreamDeleteProc rawDelete;
  void* rawRef;
  uint16_t check;
  uint8_t rx[kRxSize];
  uint32_t rxCount;
  bool rxOverflow;  // the frame being received outgrew the buffer: drop it whole
  bool ready;
  uint8_t readyBytes[aPACKET_MAXWIRE];
  uint32_t readyLength;
  uint32_t readPos;
  aPacket out;
  uint8_t tx[kTxSize];
  uint32_t txLength;
};

struct CrcTable {
  uint8_t t[256];
  constexpr CrcTable() : t() {
    for (int i = 0; i < 256; i++) {
      uint8_t c = static_cast<uint8_t>(i);
      for (int b = 0; b < 8; b++)
        c = static_cast<uint8_t>((c & 1) ? (c >> 1) ^ 0x8C : c >> 1);
      t[i] = c;
    }
  }
};
constexpr CrcTable kCrc;

uint8_t sCrc8(const uint8_t* bytes, uint32_t count) {
  uint8_t crc = 0;
  for (uint32_t i = 0; i < count; i++)
    crc = kCrc.t[crc ^ bytes[i]];
  return crc;
}

// COBS with blocks of up to 254 data bytes; out needs count + count / 254 + 1 bytes.
uint32_t sCobsEncode(const uint8_t* in, uint32_t count, uint8_t* out) {
  uint32_t codeAt = 0, o = 1;
  uint8_t code = 1;
  for (uint32_t i = 0; i < count; i++) {
    if (in[i] == 0) {
      out[codeAt] = code;
      codeAt = o++;
      code = 1;
      continue;
    }
    out[o++] = in[i];
    if (++code == 0xFF) {
      out[codeAt] = code;
      codeAt = o++;
      code = 1;
    }
  }
  out[codeAt] = code;
  return o;
}

// Decodes in place; false for a body that no encoder could have made.
bool sCobsDecode(uint8_t* buf, uint32_t count, uint32_t* decoded) {
  uint32_t i = 0, o = 0;
  while (i < count) {
    const uint8_t code = buf[i];
    if (code == 0 || i + code > count)
      return false;
    i++;
    for (uint32_t k = 1; k < code; k++) {
      if (buf[i] == 0)
        return false;
      buf[o++] = buf[i++];
    }
    if (code != 0xFF && i < count)
      buf[o++] = 0;
  }
  *decoded = o;
  return true;
}

speed_t sSpeed(int32_t code) {
  static const speed_t speeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
  return speeds[code];
}

aErr sUsable(const aSerialPort* port, const void* buffer) {
  if (!port || port->check != kSerialCheck)
    return aErrParam;
  if (port->fd < 0)
    return aErrIO;
  return buffer ? aErrNone : aErrParam;
}

aErr sSerialWrite(const uint8_t* bytes, uint32_t count, void* ref) {
  aSerialPort* port = static_cast<aSerialPort*>(ref);
  if (aErr err = sUsable(port, bytes))
    return err;
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = ::write(port->fd, bytes + done, count - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
      return aErrIO;
    pollfd p{port->fd, POLLOUT, 0};
    int r = ::poll(&p, 1, kWriteStallMs);
    if (r < 0 && errno == EINTR)
      continue;
    if (r <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
      return aErrIO;
  }
  return aErrNone;
}

aErr sSerialPut(const uint8_t* byte, void* ref) { return sSerialWrite(byte, 1, ref); }

aErr sSerialGet(uint8_t* byte, void* ref) {
  aSerialPort* port = static_cast<aSerialPort*>(ref);
  if (aErr err = sUsable(port, byte))
    return err;
  for (;;) {
    ssize_t n = ::read(port->fd, byte, 1);
    if (n == 1)
      return aErrNone;
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
      return aErrIO;  // EIO: the line hung up
    break;
  }
  // Nothing read: tell an idle line from one that hung up.
  pollfd p{port->fd, POLLIN, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
    return aErrIO;
  return aErrNotReady;
}

aErr sSerialClose(aSerialPort* port) {
  aErr err = aErrNone;
  if (tcsetattr(port->fd, TCSANOW, &port->saved) != 0)
    err = aErrIO;
  ::ioctl(port->fd, TIOCNXCL);
  ::flock(port->fd, LOCK_UN);
  ::close(port->fd);
  port->fd = -1;
  return err;
}

aErr sSerialDelete(void* ref) {
  aSerialPort* port = static_cast<aSerialPort*>(ref);
  if (!port || port->check != kSerialCheck)
    return aErrParam;
  aErr err = port->fd < 0 ? aErrIO : sSerialClose(port);
  port->check = 0;
  std::free(port);
  return err;
}

aErr sCheckArgs(const char* name, int32_t baudCode, int32_t sevenBits, int32_t twoStopBits, aStream** stream) {
  if (stream)
    *stream = nullptr;
  if (!name || !stream)
    return aErrParam;
  if (baudCode < 0 || baudCode > 7)
    return aErrRange;
  if ((sevenBits != 0 && sevenBits != 1) || (twoStopBits != 0 && twoStopBits != 1))
    return aErrMode;
  return aErrNone;
}

aErr sSerialOpen(const char* name, int32_t baudCode, int32_t parity, int32_t sevenBits, int32_t twoStopBits,
                 aSerialPort** result) {
  aSerialPort* port = static_cast<aSerialPort*>(std::calloc(1, sizeof(aSerialPort)));
  if (!port)
    return aErrMemory;
  port->check = kSerialCheck;
  // Non-blocking: no wait for carrier at open, reads answer at once.
  port->fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  bool ok = port->fd >= 0;
  // TIOCEXCL keeps other openers out, except privileged ones, whom the
  // advisory lock keeps out of each other's way.
  if (ok && (!isatty(port->fd) || ::flock(port->fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(port->fd, TIOCEXCL) != 0)) {
    ::close(port->fd);
    ok = false;
  }
  if (ok && tcgetattr(port->fd, &port->saved) != 0) {
    ::close(port->fd);
    ok = false;
  }
  if (!ok) {
    port->check = 0;
    std::free(port);
    return aErrIO;
  }
  termios t = port->saved;
  // Raw bytes: no line editing, echo, signals, translation or software flow
  // control; hardware flow control is left as it was.
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                       IXANY | INPCK | IGNPAR);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
  t.c_cflag |= CREAD | CLOCAL | (sevenBits ? CS7 : CS8);
  if (parity != 0)
    t.c_cflag |= PARENB | PARODD;
  if (parity & 1)
    t.c_iflag |= INPCK;
  if (twoStopBits)
    t.c_cflag |= CSTOPB;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (cfsetispeed(&t, sSpeed(baudCode)) != 0 || cfsetospeed(&t, sSpeed(baudCode)) != 0 ||
      tcsetattr(port->fd, TCSANOW, &t) != 0) {
    sSerialDelete(port);
    return aErrIO;
  }
  *result = port;
  return aErrNone;
}

aErr sFramedGet(uint8_t* byte, void* ref) {
  aSerialFramed* f = static_cast<aSerialFramed*>(ref);
  if (!f || f->check != kFramedCheck || !byte)
    return aErrParam;
  if (f->ready) {
    *byte = f->readyBytes[f->readPos++];
    if (f->readPos >= f->readyLength)
      f->ready = false;
    return aErrNone;
  }
  uint8_t in = 0;
  const aErr raw = f->rawGet ? f->rawGet(&in, f->rawRef) : aErrMode;
  // A lost port is a failure the link must see, not an idle line.
  if (raw == aErrIO)
    return aErrIO;
  if (raw != aErrNone)
    return aErrNotReady;
  if (in != 0) {
    if (f->rxCount < kRxSize)
      f->rx[f->rxCount++] = in;
    else
      f->rxOverflow = true;
    return aErrNotReady;
  }
  if (f->rxCount == 0 && !f->rxOverflow)
    return aErrNotReady;
  const uint32_t count = f->rxCount;
  const bool overflow = f->rxOverflow;
  f->rxCount = 0;
  f->rxOverflow = false;
  uint32_t decoded = 0;
  if (overflow || !sCobsDecode(f->rx, count, &decoded) || decoded < 3 || decoded != f->rx[1] + 3u ||
      sCrc8(f->rx, decoded - 1) != f->rx[decoded - 1])
    return aErrPacket;
  std::memcpy(f->readyBytes, f->rx, decoded - 1);
  f->readyLength = decoded - 1;
  f->readPos = 0;
  f->ready = true;
  return aErrNotReady;
}

aErr sFramedWrite(const uint8_t* bytes, uint32_t count, void* ref) {
  aSerialFramed* f = static_cast<aSerialFramed*>(ref);
  if (!f || f->check != kFramedCheck || !bytes)
    return aErrParam;
  aErr result = aErrNone;
  for (uint32_t i = 0; i < count; i++) {
    if (aPacket_AddByte(&f->out, bytes[i]) != aErrNone) {
      // A malformed packet would stay stuck in the assembler for good.
      aPacket_Reset(&f->out);
      result = aErrPacket;
      continue;
    }
    if (!aPacket_IsComplete(&f->out))
      continue;
    uint8_t plain[aPACKET_MAXWIRE + 1];
    uint32_t length = 0;
    aPacket_GetBytes(&f->out, plain, sizeof plain, &length);
    aPacket_Reset(&f->out);
    plain[length] = sCrc8(plain, length);
    f->txLength = sCobsEncode(plain, length + 1, f->tx);
    f->tx[f->txLength++] = 0;
    aErr err = f->rawWrite ? f->rawWrite(f->tx, f->txLength, f->rawRef) : aErrMode;
    if (err != aErrNone)
      result = err;
  }
  return result;
}

aErr sFramedPut(const uint8_t* byte, void* ref) {
  aSerialFramed* f = static_cast<aSerialFramed*>(ref);
  if (!f || f->check != kFramedCheck)
    return aErrParam;
  if (f->rawPut)
    return f->rawPut(byte, f->rawRef);
  return f->rawWrite ? f->rawWrite(byte, 1, f->rawRef) : aErrMode;
}

aErr sFramedDelete(void* ref) {
  aSerialFramed* f = static_cast<aSerialFramed*>(ref);
  if (!f || f->check != kFramedCheck)
    return aErrParam;
  aErr err = f->rawDelete ? f->rawDelete(f->rawRef) : aErrNone;
  f->check = 0;
  std::free(f);
  return err;
}

}  // namespace

aLIB_BEGIN

aErr aStream_CreateSerial(const char* port, int32_t baudCode, int32_t parity, int32_t sevenBits, int32_t twoStopBits,
                          aStream** stream) {
  aErr err = sCheckArgs(port, baudCode, sevenBits, twoStopBits, stream);
  if (err != aErrNone)
    return err;
  aSerialPort* record = nullptr;
  err = sSerialOpen(port, baudCode, parity, sevenBits, twoStopBits, &record);
  if (err != aErrNone)
    return err;
  *stream = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, record);
  if (!*stream) {
    sSerialDelete(record);
    return aErrResource;
  }
  return aErrNone;
}

aErr aStream_WrapPacketized(aStream** raw, aStream** stream) {
  if (stream)
    *stream = nullptr;
  if (!raw || !*raw || (*raw)->check != aSTREAM_CHECK)
    return aErrParam;
  if (!stream) {
    aStream_Destroy(raw);
    return aErrParam;
  }
  aSerialFramed* f = static_cast<aSerialFramed*>(std::calloc(1, sizeof(aSerialFramed)));
  if (!f) {
    aStream_Destroy(raw);
    return aErrMemory;
  }
  f->check = kFramedCheck;
  f->out.check = aPACKET_CHECK;
  aStream* r = *raw;
  f->rawGet = r->getProc;
  f->rawPut = r->putProc;
  f->rawWrite = r->writeProc;
  f->rawDelete = r->deleteProc;
  f->rawRef = r->procRef;
  *stream = aStream_Create(sFramedGet, sFramedPut, sFramedWrite, sFramedDelete, f);
  if (!*stream) {
    f->check = 0;
    std::free(f);
    aStream_Destroy(raw);
    return aErrResource;
  }
  // The framed stream owns the transport now: release the shell only.
  r->deleteProc = nullptr;
  aStream_Destroy(raw);
  return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* port, int32_t baudCode, int32_t parity, int32_t sevenBits,
                                     int32_t twoStopBits, aStream** stream) {
  aErr err = sCheckArgs(port, baudCode, sevenBits, twoStopBits, stream);
  if (err != aErrNone)
    return err;
  aStream* raw = nullptr;
  err = aStream_CreateSerial(port, baudCode, parity, sevenBits, twoStopBits, &raw);
  if (err != aErrNone)
    return err;
  return aStream_WrapPacketized(&raw, stream);
}

aLIB_END
