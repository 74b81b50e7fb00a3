// The SDP transport over a UART (termios). The port's read timeouts end a read:
// 50 ms between bytes, 10 ms per byte plus 50 ms in all; a write may take
// 10 ms per byte plus 50 ms.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "recovery/SDPLoader.h"

namespace {

constexpr int kIntervalMs = 50;
constexpr int kPerByteMs = 10;

void pauseMs(int ms) {
  if (ms > 0) usleep(static_cast<useconds_t>(ms) * 1000u);
}

// Waits up to timeoutMs for the port to be ready for `events`.
bool ready(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  for (;;) {
    int n = ::poll(&p, 1, timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    return n > 0 && (p.revents & events);
  }
}

}  // namespace

Serial_SDPLoader::Serial_SDPLoader(const std::string& portName) { port_.path = portName; }

Serial_SDPLoader::~Serial_SDPLoader() {
  if (port_.fd >= 0) {
    ioctl(port_.fd, TIOCNXCL);
    ::close(port_.fd);
  }
}

bool Serial_SDPLoader::open() {
  if (port_.fd >= 0) return true;
  int fd = ::open(port_.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios t{};
  // Exclusive: other opens of the line are refused (the kernel flag), and so is
  // another loader of any user (the lock).
  if (fd >= 0 && (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0 || tcgetattr(fd, &t) != 0)) {
    ::close(fd);
    fd = -1;
  }
  if (fd < 0) {
    std::printf("Unable to open Serial Port: %s\n", port_.path.c_str());
    std::fflush(stdout);
    return false;
  }
  // 115200 bit/s, 8 data bits, one stop bit; nothing translated on the way.
  cfmakeraw(&t);
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &t);
  port_.fd = fd;
  return true;
}

int Serial_SDPLoader::write(const std::vector<uint8_t>& bytes) {
  if (port_.fd < 0) return -1;
  if (bytes.size() < 2) return 0;
  const uint8_t* data = bytes.data() + 1;
  const size_t size = bytes.size() - 1;
  size_t done = 0;
  int retries = 0;
  while (done < size) {
    const size_t left = size - done;
    ssize_t n = -1;
    if (ready(port_.fd, POLLOUT, kPerByteMs * static_cast<int>(left > 100000 ? 100000 : left) + kIntervalMs))
      n = ::write(port_.fd, data + done, left);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    if (++retries > kWriteRetries) break;
    pauseMs(kWriteRetryPauseMs);
  }
  return static_cast<int>(done);
}

int Serial_SDPLoader::read(std::vector<uint8_t>& bytes, int timeoutMs) {
  if (port_.fd < 0) return 0;
  pauseMs(timeoutMs);
  int count = 0;
  while (static_cast<size_t>(count) < sdp::kMaxSerialResponse) {
    uint8_t b;
    if (!ready(port_.fd, POLLIN, kPerByteMs + kIntervalMs)) break;
    ssize_t n = ::read(port_.fd, &b, 1);
    if (n != 1) break;
    bytes.push_back(b);
    ++count;
  }
  return count;
}

bool Serial_SDPLoader::getWord(const std::vector<uint8_t>& response, unsigned index, uint32_t* word) {
  return sdp::serialWord(response, index, word);
}
