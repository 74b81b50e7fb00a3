/* The simulated USB bus: the device simulator serves its devices on a Unix-domain
 * socket (protocol in aUSB.h). An opened device holds two connections, one for
 * its IN side and one for its OUT side, so that the link's receive thread and
 * send thread never share one. */
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <new>

#include "aUSB.h"

namespace {

/* Bound on every wait for an answer of the bus to a request. */
constexpr int kAnswerWaitMs = 2000;
constexpr size_t kMaxMessage = 4096;

struct SimHandle {
  int inFd = -1;
  int outFd = -1;
};

int connectBus() {
  const char* path = getenv("CORELATCH_USB_BUS");
  if (!path || !*path) return -1;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof addr.sun_path) return -1;
  strcpy(addr.sun_path, path);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool sendMessage(int fd, const uint8_t* bytes, size_t count) {
  for (;;) {
    ssize_t n = send(fd, bytes, count, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<size_t>(n) == count;
    if (errno != EINTR) return false;
  }
}

/* One message within timeoutMs: its size, 0 when none came in time, -1 when the
 * connection is closed or failed. */
ssize_t receiveMessage(int fd, uint8_t* buffer, size_t size, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  int r;
  do r = poll(&p, 1, timeoutMs);
  while (r < 0 && errno == EINTR);
  if (r < 0) return -1;
  if (r == 0) return 0;
  ssize_t n;
  do n = recv(fd, buffer, size, MSG_DONTWAIT);
  while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  return n <= 0 ? -1 : n;
}

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

aErr simList(aUSBDeviceInfo* devices, uint32_t max, uint32_t* count) {
  if (!count) return aErrParam;
  *count = 0;
  int fd = connectBus();
  if (fd < 0) return aErrIO;
  const uint8_t ask = 'L';
  uint8_t answer[kMaxMessage];
  ssize_t n = sendMessage(fd, &ask, 1) ? receiveMessage(fd, answer, sizeof answer, kAnswerWaitMs) : -1;
  close(fd);
  if (n < 3 || answer[0] != 'l') return aErrIO;
  uint32_t found = u16(answer + 1);
  if (3 + static_cast<size_t>(found) * 10 > static_cast<size_t>(n)) return aErrIO;
  for (uint32_t i = 0; i < found && i < max && devices; ++i) {
    const uint8_t* rec = answer + 3 + i * 10;
    memcpy(devices[i].serialText, rec, 8);
    devices[i].serialText[8] = 0;
    devices[i].productId = u16(rec + 8);
  }
  *count = found;
  return aErrNone;
}

/* Attaches a new connection to one side of the device. */
aErr attach(const char* serialText, uint8_t role, int* fdOut, aUSBEndpoint* endpoints, uint32_t* count) {
  int fd = connectBus();
  if (fd < 0) return aErrNotFound;
  uint8_t ask[10] = {'O'};
  memcpy(ask + 1, serialText, 8);
  ask[9] = role;
  uint8_t answer[kMaxMessage];
  ssize_t n = sendMessage(fd, ask, sizeof ask) ? receiveMessage(fd, answer, sizeof answer, kAnswerWaitMs) : -1;
  aErr err = aErrNone;
  if (n < 2 || answer[0] != 'o') err = aErrNotFound;
  else if (answer[1] == 2) err = aErrBusy;
  else if (answer[1] != 0 || n < 3) err = aErrNotFound;
  if (err != aErrNone) {
    close(fd);
    return err;
  }
  uint32_t listed = answer[2];
  if (3 + static_cast<size_t>(listed) * 4 > static_cast<size_t>(n)) {
    close(fd);
    return aErrInitialization;
  }
  if (endpoints && count) {
    *count = 0;
    for (uint32_t i = 0; i < listed && i < aUSB_MAX_ENDPOINTS; ++i) {
      const uint8_t* rec = answer + 3 + i * 4;
      endpoints[i] = aUSBEndpoint{rec[0], rec[1], u16(rec + 2)};
      *count = i + 1;
    }
  }
  *fdOut = fd;
  return aErrNone;
}

void simClose(void* handle) {
  SimHandle* h = static_cast<SimHandle*>(handle);
  if (!h) return;
  if (h->inFd >= 0) close(h->inFd);
  if (h->outFd >= 0) close(h->outFd);
  delete h;
}

aErr simOpen(const char* serialText, void** handle, aUSBEndpoint* endpoints, uint32_t* count) {
  if (!serialText || strlen(serialText) != 8 || !handle || !endpoints || !count) return aErrParam;
  *handle = nullptr;
  *count = 0;
  SimHandle* h = new (std::nothrow) SimHandle;
  if (!h) return aErrMemory;
  aErr err = attach(serialText, 'I', &h->inFd, endpoints, count);
  if (err == aErrNone) err = attach(serialText, 'O', &h->outFd, nullptr, nullptr);
  if (err != aErrNone) {
    simClose(h);
    return err;
  }
  *handle = h;
  return aErrNone;
}

aErr simBulkIn(void* handle, uint8_t, uint8_t* buffer, uint32_t size, uint32_t* received, uint32_t timeoutMs) {
  SimHandle* h = static_cast<SimHandle*>(handle);
  if (!h || !buffer || !received) return aErrParam;
  *received = 0;
  uint8_t message[kMaxMessage];
  int wait = timeoutMs > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(timeoutMs);
  ssize_t n = receiveMessage(h->inFd, message, sizeof message, wait);
  if (n == 0) return aErrNotReady;
  if (n < 0 || message[0] != 'D') return aErrIO;
  uint32_t bytes = static_cast<uint32_t>(n - 1);
  // A device that sends more than the transfer asked for overflows it.
  if (bytes > size) return aErrIO;
  memcpy(buffer, message + 1, bytes);
  *received = bytes;
  return aErrNone;
}

aErr simBulkOut(void* handle, uint8_t, const uint8_t* bytes, uint32_t count, uint32_t* sent, uint32_t timeoutMs) {
  SimHandle* h = static_cast<SimHandle*>(handle);
  if (!h || (!bytes && count) || !sent || count >= kMaxMessage) return aErrParam;
  *sent = 0;
  uint8_t message[kMaxMessage];
  message[0] = 'W';
  if (count) memcpy(message + 1, bytes, count);
  if (!sendMessage(h->outFd, message, count + 1)) return aErrIO;
  int wait = timeoutMs > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(timeoutMs);
  uint8_t answer[8];
  ssize_t n = receiveMessage(h->outFd, answer, sizeof answer, wait);
  if (n == 0) {
    // The answer that comes late must not be taken for the next transfer's: the
    // side cannot be used any more.
    shutdown(h->outFd, SHUT_RDWR);
    return aErrNotReady;
  }
  if (n < 5 || answer[0] != 'w') return aErrIO;
  uint32_t accepted = static_cast<uint32_t>(answer[1]) | (static_cast<uint32_t>(answer[2]) << 8) |
                      (static_cast<uint32_t>(answer[3]) << 16) | (static_cast<uint32_t>(answer[4]) << 24);
  *sent = accepted < count ? accepted : count;
  return aErrNone;
}

aErr simClearEndpoint(void* handle, uint8_t endpoint) {
  SimHandle* h = static_cast<SimHandle*>(handle);
  if (!h) return aErrParam;
  if (!(endpoint & aUSB_ENDPOINT_IN)) return aErrNone;
  // What the device queued before is dropped.
  uint8_t message[kMaxMessage];
  while (receiveMessage(h->inFd, message, sizeof message, 0) > 0) {
  }
  return aErrNone;
}

const aUSBOps kSimOps = {"simulated bus", simList, simOpen, simBulkIn, simBulkOut, simClearEndpoint, simClose};

}  // namespace

aLIB_BEGIN

const aUSBOps* aUSB_SimOps(void) { return &kSimOps; }

const aUSBOps* aUSB_Ops(void) {
  const char* bus = getenv("CORELATCH_USB_BUS");
  return bus && *bus ? aUSB_SimOps() : aUSB_LibusbOps();
}

aLIB_END
