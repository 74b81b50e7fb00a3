// The simulated USB bus: one Unix-domain socket (SOCK_SEQPACKET) on which the
// library's simulated-bus backend lists the devices and opens their IN and OUT
// sides. Each device on the bus is a Device of its own behind a Session (raw
// packet bytes, as on TCP). The message protocol is the one described in the
// library's aUSB.h.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "SimPorts.h"

namespace sim {

struct UsbOptions {
  uint16_t maxPacket = 64;   // of both bulk endpoints
  long outLimit = -1;        // bytes the device takes of each OUT transfer, -1 all
  bool isochronous = false;  // the vendor interface also lists an isochronous endpoint
  bool emptyPackets = false; // a zero-length IN packet goes before the bytes of every write
};

class UsbBus : public Port {
 public:
  // One device per identity, all with the same faults and options.
  UsbBus(const std::vector<Identity>& devices, Faults& faults, const UsbOptions& options, Trace trace);
  ~UsbBus() override;
  // Binds the socket at path; answers an error text, empty on success.
  std::string open(const std::string& path);

  void addPollFds(std::vector<pollfd>& fds) override;
  void service(const pollfd* fds, uint32_t nowMs) override;
  int timeoutMs(uint32_t nowMs) const override;
  const Session& session() const override;
  uint64_t received() const;
  uint64_t sent() const;
  uint32_t heartbeatsAnswered() const;

 private:
  struct UsbDevice {
    UsbDevice(const Identity& id, Faults& faults, Trace trace);
    Device device;
    Session session;
    std::string serialText;
    int inFd = -1;
    int outFd = -1;
    bool plugged = true;
    std::deque<std::vector<uint8_t>> pending;  // IN messages the host has not taken yet
  };
  // What each entry added by addPollFds stands for.
  enum class Kind { Listen, Fresh, In, Out };
  struct Polled {
    Kind kind;
    int fd;
    UsbDevice* device;
  };

  void onFresh(int fd, uint32_t nowMs);
  void onOut(UsbDevice& d);
  void flush(UsbDevice& d);
  void closeSide(UsbDevice& d, bool in, const char* why);
  void unplug(const std::string& serialText);
  UsbDevice* find(const std::string& serialText);
  std::vector<uint8_t> endpointList() const;

  std::vector<std::unique_ptr<UsbDevice>> devices_;
  UsbOptions options_;
  Trace trace_;
  std::string path_;
  int listenFd_ = -1;
  std::vector<int> fresh_;  // accepted, not yet attached
  std::vector<Polled> polled_;
};

}  // namespace sim
