#include "SimUsb.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr uint16_t kProductId = 0x0001;
constexpr uint8_t kInEndpoint = 0x81;
constexpr uint8_t kOutEndpoint = 0x02;
constexpr uint8_t kInterruptEndpoint = 0x83;
constexpr uint8_t kIsoEndpoint = 0x84;
// IN messages kept for a host that does not read; older ones beyond are lost.
constexpr size_t kMaxPending = 1024;

std::string serialTextOf(uint32_t serial) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", serial);
  return text;
}

void putU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

bool sendMessage(int fd, const std::vector<uint8_t>& message) {
  ssize_t n;
  do n = ::send(fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(message.size());
}

}  // namespace

UsbBus::UsbDevice::UsbDevice(const Identity& id, Faults& faults, Trace trace)
    : device(id), session(device, faults, false, trace), serialText(serialTextOf(id.serial)) {
  device.setTrace(trace);
}

UsbBus::UsbBus(const std::vector<Identity>& devices, Faults& faults, const UsbOptions& options, Trace trace)
    : options_(options), trace_(std::move(trace)) {
  for (const Identity& id : devices) devices_.push_back(std::make_unique<UsbDevice>(id, faults, trace_));
}

UsbBus::~UsbBus() {
  for (auto& d : devices_) {
    if (d->inFd >= 0) ::close(d->inFd);
    if (d->outFd >= 0) ::close(d->outFd);
  }
  for (int fd : fresh_) ::close(fd);
  if (listenFd_ >= 0) {
    ::close(listenFd_);
    ::unlink(path_.c_str());
  }
}

std::string UsbBus::open(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return "bus socket path is empty or too long: " + path;
  std::memcpy(addr.sun_path, path.c_str(), path.size());
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::string("socket: ") + std::strerror(errno);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::string err = "cannot make the bus socket " + path + ": " + std::strerror(errno);
    ::close(fd);
    return err;
  }
  if (::listen(fd, 16) != 0) {
    std::string err = std::string("listen: ") + std::strerror(errno);
    ::close(fd);
    ::unlink(path.c_str());
    return err;
  }
  listenFd_ = fd;
  path_ = path;
  return "";
}

void UsbBus::addPollFds(std::vector<pollfd>& fds) {
  polled_.clear();
  polled_.push_back({Kind::Listen, listenFd_, nullptr});
  for (int fd : fresh_) polled_.push_back({Kind::Fresh, fd, nullptr});
  for (auto& d : devices_) {
    if (d->inFd >= 0) polled_.push_back({Kind::In, d->inFd, d.get()});
    if (d->outFd >= 0) polled_.push_back({Kind::Out, d->outFd, d.get()});
  }
  for (const Polled& p : polled_) {
    short events = POLLIN;
    if (p.kind == Kind::In && !p.device->pending.empty()) events |= POLLOUT;
    fds.push_back({p.fd, events, 0});
  }
}

int UsbBus::timeoutMs(uint32_t nowMs) const {
  int timeout = -1;
  for (const auto& d : devices_) {
    int t = d->session.msUntilHeartbeat(nowMs);
    if (t >= 0 && (timeout < 0 || t < timeout)) timeout = t;
  }
  return timeout;
}

const Session& UsbBus::session() const { return devices_.front()->session; }

uint64_t UsbBus::received() const {
  uint64_t n = 0;
  for (const auto& d : devices_) n += d->session.received();
  return n;
}

uint64_t UsbBus::sent() const {
  uint64_t n = 0;
  for (const auto& d : devices_) n += d->session.sent();
  return n;
}

uint32_t UsbBus::heartbeatsAnswered() const {
  uint32_t n = 0;
  for (const auto& d : devices_) n += d->session.heartbeatsAnswered();
  return n;
}

UsbBus::UsbDevice* UsbBus::find(const std::string& serialText) {
  for (auto& d : devices_)
    if (d->plugged && d->serialText == serialText) return d.get();
  return nullptr;
}

std::vector<uint8_t> UsbBus::endpointList() const {
  std::vector<uint8_t> out;
  auto add = [&](uint8_t address, uint8_t attributes, uint16_t maxPacket) {
    out.push_back(address);
    out.push_back(attributes);
    putU16(out, maxPacket);
  };
  add(kInEndpoint, 2, options_.maxPacket);
  add(kOutEndpoint, 2, options_.maxPacket);
  add(kInterruptEndpoint, 3, 8);
  if (options_.isochronous) add(kIsoEndpoint, 1, options_.maxPacket);
  return out;
}

void UsbBus::closeSide(UsbDevice& d, bool in, const char* why) {
  int& fd = in ? d.inFd : d.outFd;
  if (fd < 0) return;
  ::close(fd);
  fd = -1;
  if (in) {
    d.session.detach();
    d.pending.clear();
  }
  trace_("usb-close " + d.serialText + (in ? " in " : " out ") + why);
}

void UsbBus::unplug(const std::string& serialText) {
  UsbDevice* d = find(serialText);
  if (!d) return;
  closeSide(*d, true, "unplugged");
  closeSide(*d, false, "unplugged");
  d->plugged = false;
  trace_("usb-unplug " + serialText);
}

// A new connection's first message: a list, an open or an unplug.
void UsbBus::onFresh(int fd, uint32_t nowMs) {
  uint8_t buf[64];
  ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
    fresh_.push_back(fd);
    return;
  }
  bool keep = false;
  if (n >= 1 && buf[0] == 'L') {
    std::vector<uint8_t> answer{'l'};
    uint16_t count = 0;
    for (auto& d : devices_) count = static_cast<uint16_t>(count + (d->plugged ? 1 : 0));
    putU16(answer, count);
    for (auto& d : devices_) {
      if (!d->plugged) continue;
      answer.insert(answer.end(), d->serialText.begin(), d->serialText.end());
      putU16(answer, kProductId);
    }
    sendMessage(fd, answer);
  } else if (n == 9 && buf[0] == 'U') {
    unplug(std::string(reinterpret_cast<char*>(buf + 1), 8));
  } else if (n == 10 && buf[0] == 'O' && (buf[9] == 'I' || buf[9] == 'O')) {
    bool in = buf[9] == 'I';
    UsbDevice* d = find(std::string(reinterpret_cast<char*>(buf + 1), 8));
    std::vector<uint8_t> answer{'o'};
    if (!d) {
      answer.push_back(1);
    } else if ((in ? d->inFd : d->outFd) >= 0) {
      answer.push_back(2);
    } else {
      answer.push_back(0);
      std::vector<uint8_t> endpoints = endpointList();
      answer.push_back(static_cast<uint8_t>(endpoints.size() / 4));
      answer.insert(answer.end(), endpoints.begin(), endpoints.end());
      keep = sendMessage(fd, answer);
      if (keep) {
        (in ? d->inFd : d->outFd) = fd;
        trace_("usb-open " + d->serialText + (in ? " in" : " out"));
        if (in) {
          d->session.attach(nowMs, [this, d](const std::vector<uint8_t>& bytes) {
            if (d->inFd < 0) return false;
            if (options_.emptyPackets) d->pending.push_back({'D'});
            // The device's IN endpoint hands the host one max packet at a time.
            for (size_t at = 0; at < bytes.size(); at += options_.maxPacket) {
              size_t len = std::min<size_t>(options_.maxPacket, bytes.size() - at);
              std::vector<uint8_t> message{'D'};
              message.insert(message.end(), bytes.begin() + at, bytes.begin() + at + len);
              if (d->pending.size() >= kMaxPending) d->pending.pop_front();
              d->pending.push_back(std::move(message));
            }
            flush(*d);
            return true;
          });
        }
      }
    }
    if (answer.size() == 2) sendMessage(fd, answer);
  }
  if (!keep) ::close(fd);
}

void UsbBus::flush(UsbDevice& d) {
  while (d.inFd >= 0 && !d.pending.empty()) {
    if (!sendMessage(d.inFd, d.pending.front())) return;
    d.pending.pop_front();
  }
}

// One OUT transfer from the host.
void UsbBus::onOut(UsbDevice& d) {
  uint8_t buf[4096];
  ssize_t n = ::recv(d.outFd, buf, sizeof buf, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0 || buf[0] != 'W') {
    closeSide(d, false, n == 0 ? "closed" : "error");
    return;
  }
  size_t count = static_cast<size_t>(n - 1);
  size_t taken = options_.outLimit < 0 ? count : std::min<size_t>(count, static_cast<size_t>(options_.outLimit));
  trace_("usb-out " + std::to_string(count) + " taken " + std::to_string(taken));
  std::vector<uint8_t> answer{'w'};
  for (int shift = 0; shift < 32; shift += 8) answer.push_back(static_cast<uint8_t>(taken >> shift));
  sendMessage(d.outFd, answer);
  if (taken > 0) d.session.onBytes(buf + 1, taken);
}

void UsbBus::service(const pollfd* fds, uint32_t nowMs) {
  std::vector<Polled> polled = polled_;
  // Closed sides first, so that a host that closes and opens again finds the
  // side free; new connections last.
  for (size_t i = 0; i < polled.size(); ++i) {
    const Polled& p = polled[i];
    short ev = fds[i].revents;
    if (!ev) continue;
    if (p.kind == Kind::In) {
      if (p.device->inFd != p.fd) continue;
      if (ev & (POLLHUP | POLLERR | POLLIN)) {
        // The host never sends on its IN side: anything there means it went.
        closeSide(*p.device, true, "closed");
        continue;
      }
      if (ev & POLLOUT) flush(*p.device);
    } else if (p.kind == Kind::Out) {
      if (p.device->outFd == p.fd) onOut(*p.device);
    }
  }
  for (size_t i = 0; i < polled.size(); ++i) {
    const Polled& p = polled[i];
    if (p.kind != Kind::Fresh || !fds[i].revents) continue;
    for (size_t k = 0; k < fresh_.size(); ++k) {
      if (fresh_[k] == p.fd) {
        fresh_.erase(fresh_.begin() + static_cast<long>(k));
        break;
      }
    }
    onFresh(p.fd, nowMs);
  }
  if (fds[0].revents & POLLIN) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) fresh_.push_back(fd);
  }
  for (auto& d : devices_) d->session.tick(nowMs);
}

}  // namespace sim
