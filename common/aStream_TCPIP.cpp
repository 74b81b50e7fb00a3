/* The TCP stream to a network device: the device's packet bytes, unchanged, over
 * its one TCP connection. The receive thread of a link reads and its send thread
 * writes at the same time; either may find the connection broken and make it
 * again. */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "aMulticast.h"
#include "aTime.h"

namespace {

/* How long a read waits for data before it answers aErrNotReady. Short enough
 * that a link notices a stop quickly, long enough that an idle link costs
 * nothing. */
constexpr int kReadWaitMs = 100;
/* Pause between write attempts, to let the network drain. */
constexpr int kWritePauseMs = 60;
constexpr int kWriteAttempts = 10;
/* Bound on waiting for a connection to be accepted or refused. */
constexpr int kConnectWaitMs = 5000;
constexpr uint32_t kConnected = 1;

struct SocketStream {
  uint16_t port = 0;
  sockaddr_in address{};
  std::atomic<int> sock{-1};
  std::atomic<uint32_t> flags{0};
  uint16_t check = aSOCKET_CHECK;
  /* Bumped with every connection made, so that two threads that both saw the old
   * connection fail make only one new one. */
  std::atomic<uint32_t> generation{0};
  /* Reads and writes hold it shared while they use the socket; making the
   * connection again and closing hold it alone, so a socket is never closed (and
   * its number reused) under a thread that is still using it. */
  std::shared_mutex socketLock;
  /* Bytes received and not yet handed out; the reading thread's alone. */
  uint8_t buffer[4096];
  uint32_t bufferPos = 0;
  uint32_t bufferLen = 0;
};

bool connectionLost(int error) {
  return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT || error == ECONNABORTED ||
         error == EPIPE || error == EBADF || error == ENOTSOCK;
}

void closeSocket(SocketStream* s) {
  int old = s->sock.exchange(-1);
  if (old < 0) return;
  s->flags &= ~kConnected;
  close(old);
  aTime_MSSleep(10);
}

/* Makes the connection, closing any earlier one. Caller holds socketLock alone. */
aErr sConnect(SocketStream* s) {
  closeSocket(s);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return aErrIO;
  int error = 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&s->address), sizeof s->address) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int r = poll(&p, 1, kConnectWaitMs);
      socklen_t len = sizeof error;
      if (r == 0) error = ETIMEDOUT;
      else if (r < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
    }
  }
  if (error != 0) {
    close(fd);
    aTime_MSSleep(10);
    bool refused = error == ECONNREFUSED || error == ECONNRESET || error == ETIMEDOUT || error == EAGAIN ||
                   error == EWOULDBLOCK;
    return refused ? aErrConnection : aErrIO;
  }
  int one = 1;
  timeval noTimeout{0, 0};
  linger resetOnClose{1, 0};
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose) != 0) {
    close(fd);
    aTime_MSSleep(10);
    return aErrIO;
  }
  s->sock = fd;
  s->flags |= kConnected;
  ++s->generation;
  return aErrNone;
}

/* Makes the connection again unless another thread already did since seen. */
aErr sReconnect(SocketStream* s, uint32_t seen) {
  std::unique_lock<std::shared_mutex> g(s->socketLock);
  if (s->generation != seen && (s->flags & kConnected)) return aErrNone;
  return sConnect(s);
}

bool valid(void* ref) { return ref && static_cast<SocketStream*>(ref)->check == aSOCKET_CHECK; }

/* Takes whatever the socket holds without waiting: >0 bytes, 0 closed, <0 errno. */
ssize_t fill(SocketStream* s, int fd) {
  ssize_t n = recv(fd, s->buffer, sizeof s->buffer, MSG_DONTWAIT);
  if (n > 0) {
    s->bufferLen = static_cast<uint32_t>(n);
    s->bufferPos = 0;
    return n;
  }
  return n == 0 ? 0 : -errno;
}

aErr sRead(uint8_t* byte, void* ref) {
  if (!valid(ref)) return aErrParam;
  SocketStream* s = static_cast<SocketStream*>(ref);
  if (s->bufferPos < s->bufferLen) {
    *byte = s->buffer[s->bufferPos++];
    return aErrNone;
  }
  if (!(s->flags & kConnected)) return aErrConnection;

  uint32_t seen;
  ssize_t n;
  {
    std::shared_lock<std::shared_mutex> g(s->socketLock);
    seen = s->generation;
    pollfd p{s->sock, POLLIN, 0};
    int r = poll(&p, 1, kReadWaitMs);
    if (r == 0 || (r < 0 && errno == EINTR)) return aErrNotReady;
    n = r < 0 ? -errno : fill(s, s->sock);
  }
  if (n > 0) {
    *byte = s->buffer[s->bufferPos++];
    return aErrNone;
  }
  // The device closed the connection in order: report it, so that the link shows
  // an error instead of waiting on a socket that will never bring anything. A
  // write makes the connection again.
  if (n == 0) return aErrConnection;
  int error = static_cast<int>(-n);
  if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) return aErrNotReady;
  if (!connectionLost(error)) return aErrConnection;
  aErr err = sReconnect(s, seen);
  if (err != aErrNone) return err;
  std::shared_lock<std::shared_mutex> g(s->socketLock);
  if (fill(s, s->sock) > 0) {
    *byte = s->buffer[s->bufferPos++];
    return aErrNone;
  }
  return aErrNotReady;
}

aErr sWrite(const uint8_t* bytes, uint32_t count, void* ref) {
  if (!valid(ref)) return aErrParam;
  SocketStream* s = static_cast<SocketStream*>(ref);
  if (!(s->flags & kConnected)) return aErrConnection;
  if (!bytes && count) return aErrParam;
  int attempts = 0;
  while (count > 0) {
    std::shared_lock<std::shared_mutex> g(s->socketLock);
    uint32_t seen = s->generation;
    ssize_t n = send(s->sock, bytes, count, MSG_DONTWAIT | MSG_NOSIGNAL);
    int error = n < 0 ? errno : 0;
    if (n >= 0 && static_cast<uint32_t>(n) == count) return aErrNone;
    if (n > 0) {
      bytes += n;
      count -= static_cast<uint32_t>(n);
      attempts = 1;
    } else if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
      ++attempts;
    } else if (connectionLost(error)) {
      g.unlock();
      aErr err = sReconnect(s, seen);
      if (err != aErrNone) return err;
      g.lock();
      ++attempts;
    } else {
      return aErrIO;
    }
    // Bytes the network would not take after all attempts are an error, not a
    // success: the caller must not believe they arrived.
    if (attempts >= kWriteAttempts) return aErrWrite;
    g.unlock();
    aTime_MSSleep(kWritePauseMs);
  }
  return aErrNone;
}

aErr sPut(const uint8_t* byte, void* ref) { return sWrite(byte, 1, ref); }

aErr sClose(void* ref) {
  if (!valid(ref)) return aErrIO;
  SocketStream* s = static_cast<SocketStream*>(ref);
  {
    std::unique_lock<std::shared_mutex> g(s->socketLock);
    closeSocket(s);
  }
  s->check = 0;
  delete s;
  return aErrNone;
}

}  // namespace

aLIB_BEGIN

aErr aStream_CreateSocket(uint32_t address, uint32_t port, aStream** stream) {
  if (!stream) return aErrResource;
  *stream = nullptr;
  if (port == 0 || port > 0xFFFF) return aErrResource;
  SocketStream* s = new (std::nothrow) SocketStream;
  if (!s) return aErrResource;
  s->port = static_cast<uint16_t>(port);
  s->address.sin_family = AF_INET;
  s->address.sin_port = htons(s->port);
  s->address.sin_addr.s_addr = address;
  aErr err;
  {
    std::unique_lock<std::shared_mutex> g(s->socketLock);
    err = sConnect(s);
  }
  if (err != aErrNone) {
    delete s;
    return aErrResource;
  }
  *stream = aStream_Create(sRead, sPut, sWrite, sClose, s);
  if (!*stream) {
    sClose(s);
    return aErrResource;
  }
  return aErrNone;
}

aLIB_END
