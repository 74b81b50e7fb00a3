#include "SimPorts.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {

// ---- Session

Session::Session(Device& device, Faults& faults, bool framed, Trace trace)
    : device_(device), faults_(faults), framed_(framed), trace_(std::move(trace)) {}

void Session::attach(uint32_t nowMs, Writer writer) {
  writer_ = std::move(writer);
  attached_ = true;
  garbageSent_ = false;
  receivedThisConnection_ = 0;
  raw_.reset();
  frames_.reset();
  device_.hostAttached(host_, nowMs);
}

void Session::detach() {
  attached_ = false;
  writer_ = nullptr;
}

bool Session::onBytes(const uint8_t* bytes, size_t count) {
  std::vector<Packet> packets;
  if (framed_) {
    int rejected = frames_.feed(bytes, count, packets);
    for (int i = 0; i < rejected; ++i) trace("bad-frame");
  } else {
    raw_.feed(bytes, count, packets);
  }
  for (const Packet& p : packets) {
    ++received_;
    ++receivedThisConnection_;
    trace("rx " + p.hex());
    Device::Replies replies;
    device_.receive(host_, p, replies);
    // Answers to sync requests are left out of the fault counts: the host sends
    // them in bursts, and a fault in every burst would keep it syncing for ever.
    bool counted = p.address != 0xAD;
    for (const Packet& r : replies) send(r, true, counted);
    if (!framed_ && faults_.closeAfter && receivedThisConnection_ >= faults_.closeAfter) {
      faults_.closeAfter = 0;  // once: the next connection stays up
      return false;
    }
  }
  return true;
}

int Session::msUntilHeartbeat(uint32_t nowMs) const {
  if (!attached_ || faults_.silent) return -1;
  return device_.msUntilHeartbeat(host_, nowMs);
}

void Session::tick(uint32_t nowMs) {
  if (!attached_ || faults_.silent) return;
  Packet hb;
  if (device_.takeHeartbeat(host_, nowMs, hb)) send(hb, false, false);
}

void Session::send(const Packet& packet, bool isReply, bool counted) {
  if (faults_.silent || !writer_) return;
  if (counted) {
    ++replies_;
    if (faults_.dropEvery && replies_ % faults_.dropEvery == 0) {
      trace("drop " + packet.hex());
      return;
    }
  }
  std::vector<uint8_t> bytes = framed_ ? encodeFrame(packet) : packet.wire();
  if (counted && faults_.corruptEvery && replies_ % faults_.corruptEvery == 0) {
    bytes[0] ^= 0x01;
    trace("corrupt " + packet.hex());
  }
  if (isReply && faults_.garbage && !garbageSent_) {
    garbageSent_ = true;
    std::vector<uint8_t> junk(faults_.garbage);
    for (uint8_t& b : junk) {
      faults_.seed = faults_.seed * 1103515245u + 12345u;
      b = static_cast<uint8_t>(faults_.seed >> 16);
    }
    trace("garbage " + hexBytes(junk.data(), junk.size()));
    writer_(junk);
  }
  trace((isReply ? "tx " : "hb ") + packet.hex());
  if (writer_(bytes)) ++sent_;
}

// ---- TCP

TcpPort::TcpPort(Device& device, Faults& faults, Trace trace)
    : session_(device, faults, false, trace), faults_(faults), trace_(std::move(trace)) {}

TcpPort::~TcpPort() {
  if (connFd_ >= 0) ::close(connFd_);
  if (listenFd_ >= 0) ::close(listenFd_);
}

std::string TcpPort::open(const std::string& address, uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) return "not an IPv4 address: " + address;
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return std::string("socket: ") + std::strerror(errno);
  int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    return "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
  if (::listen(listenFd_, 4) != 0) return std::string("listen: ") + std::strerror(errno);
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  return "";
}

void TcpPort::addPollFds(std::vector<pollfd>& fds) {
  fds.push_back({listenFd_, POLLIN, 0});
  fds.push_back({connFd_, POLLIN, 0});  // a negative fd is ignored by poll
}

void TcpPort::closeConnection(bool reset, const char* why) {
  if (connFd_ < 0) return;
  if (reset) {
    linger lg{1, 0};
    setsockopt(connFd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  }
  ::close(connFd_);
  connFd_ = -1;
  session_.detach();
  trace_(std::string("close tcp ") + why);
}

void TcpPort::service(const pollfd* fds, uint32_t nowMs) {
  if (fds[0].revents & POLLIN) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      // The device keeps one connection: a new host takes the place of the old.
      closeConnection(false, "replaced");
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      timeval tv{2, 0};
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
      connFd_ = fd;
      session_.attach(nowMs, [this](const std::vector<uint8_t>& bytes) {
        size_t done = 0;
        while (connFd_ >= 0 && done < bytes.size()) {
          ssize_t n = ::send(connFd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) return false;
          done += static_cast<size_t>(n);
        }
        return done == bytes.size();
      });
      trace_("accept tcp");
      return;  // the old connection's poll entry is stale now
    }
  }
  if (connFd_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
    uint8_t buf[4096];
    ssize_t n = ::recv(connFd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      closeConnection(false, n == 0 ? "closed" : "error");
      return;
    }
    if (n > 0 && !session_.onBytes(buf, static_cast<size_t>(n))) {
      closeConnection(!faults_.closeInOrder, "close-after");
      return;
    }
  }
  if (connFd_ >= 0) session_.tick(nowMs);
}

// ---- pseudo-terminal

PtyPort::PtyPort(Device& device, Faults& faults, Trace trace)
    : session_(device, faults, true, trace), trace_(std::move(trace)) {}

PtyPort::~PtyPort() {
  if (masterFd_ >= 0) ::close(masterFd_);
}

std::string PtyPort::open() {
  masterFd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (masterFd_ < 0) return std::string("posix_openpt: ") + std::strerror(errno);
  char name[128];
  if (grantpt(masterFd_) != 0 || unlockpt(masterFd_) != 0 || ptsname_r(masterFd_, name, sizeof name) != 0)
    return std::string("pseudo-terminal: ") + std::strerror(errno);
  path_ = name;
  fcntl(masterFd_, F_SETFL, fcntl(masterFd_, F_GETFL) | O_NONBLOCK);
  // Raw from the start, so nothing the device sends is echoed or translated before
  // the host has set up the port.
  int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) return std::string("cannot open ") + name + ": " + std::strerror(errno);
  termios t{};
  if (tcgetattr(slave, &t) == 0) {
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    tcsetattr(slave, TCSANOW, &t);
  }
  ::close(slave);
  return "";
}

void PtyPort::addPollFds(std::vector<pollfd>& fds) {
  // While the terminal side is closed the master reports a hang-up at once, so it
  // is left out of the wait and looked at every 50 ms instead.
  fds.push_back({hostOpen_ ? masterFd_ : -1, POLLIN, 0});
}

int PtyPort::timeoutMs(uint32_t nowMs) const {
  if (!hostOpen_) return 50;
  return session_.msUntilHeartbeat(nowMs);
}

void PtyPort::service(const pollfd* fds, uint32_t nowMs) {
  short ev = fds[0].revents;
  if (!hostOpen_) {
    pollfd probe{masterFd_, POLLIN, 0};
    if (::poll(&probe, 1, 0) < 0) return;
    ev = probe.revents;
  }
  bool hangup = (ev & POLLHUP) && !(ev & POLLIN);
  if (hangup) {
    if (hostOpen_) {
      hostOpen_ = false;
      if (session_.attached()) {
        session_.detach();
        trace_("close pty");
      }
    }
    return;
  }
  hostOpen_ = true;
  if (ev & POLLIN) {
    uint8_t buf[4096];
    ssize_t n = ::read(masterFd_, buf, sizeof buf);
    if (n < 0 && errno == EIO) {  // the terminal side was closed
      hostOpen_ = false;
      if (session_.attached()) {
        session_.detach();
        trace_("close pty");
      }
      return;
    }
    if (n > 0) {
      if (!session_.attached()) {
        // A serial device cannot see a host open the port: it counts one as
        // there once the first bytes arrive.
        session_.attach(nowMs, [this](const std::vector<uint8_t>& bytes) {
          size_t done = 0;
          int spins = 0;
          while (done < bytes.size()) {
            ssize_t w = ::write(masterFd_, bytes.data() + done, bytes.size() - done);
            if (w > 0) {
              done += static_cast<size_t>(w);
              continue;
            }
            if (w < 0 && (errno == EAGAIN || errno == EINTR) && ++spins < 100) {
              usleep(1000);
              continue;
            }
            return false;  // nobody reads: the bytes are lost, as on a real line
          }
          return true;
        });
        trace_("open pty");
      }
      session_.onBytes(buf, static_cast<size_t>(n));
    }
  }
  session_.tick(nowMs);
}

}  // namespace sim
