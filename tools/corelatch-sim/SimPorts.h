// The ways a host reaches the simulated device: its one TCP connection (raw packet
// bytes) and a pseudo-terminal that stands for its serial port (framed packets).
// A Session sits between a port and the device and applies the fault switches.
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "SimDevice.h"

namespace sim {

struct Faults {
  bool silent = false;        // answer nothing, send no heartbeats
  unsigned dropEvery = 0;     // drop every Nth reply (sync answers not counted)
  unsigned corruptEvery = 0;  // damage the first byte of every Nth reply (same count)
  unsigned closeAfter = 0;    // close the first TCP connection after N received packets
  bool closeInOrder = false;  // close with FIN instead of a reset
  unsigned garbage = 0;       // bytes of garbage before the first reply of a connection
  uint32_t seed = 1;          // for the garbage bytes
};

using Trace = std::function<void(const std::string& line)>;

class Session {
 public:
  using Writer = std::function<bool(const std::vector<uint8_t>& bytes)>;
  Session(Device& device, Faults& faults, bool framed, Trace trace);

  void attach(uint32_t nowMs, Writer writer);
  void detach();
  bool attached() const { return attached_; }
  // Feeds received bytes; answers false when the fault switches say the
  // connection is to be closed now.
  bool onBytes(const uint8_t* bytes, size_t count);
  int msUntilHeartbeat(uint32_t nowMs) const;
  void tick(uint32_t nowMs);

  uint64_t received() const { return received_; }
  uint64_t sent() const { return sent_; }
  uint32_t heartbeatsAnswered() const { return host_.hbAnswered; }

 private:
  // counted: the packet takes part in the drop and corrupt counts.
  void send(const Packet& packet, bool isReply, bool counted);
  void trace(const std::string& line) const {
    if (trace_) trace_(line);
  }

  Device& device_;
  Faults& faults_;
  bool framed_;
  Trace trace_;
  Writer writer_;
  HostState host_;
  RawDecoder raw_;
  FrameDecoder frames_;
  bool attached_ = false;
  bool garbageSent_ = false;
  uint64_t replies_ = 0;
  uint64_t received_ = 0;
  uint64_t sent_ = 0;
  uint64_t receivedThisConnection_ = 0;
};

// Something the main loop polls.
class Port {
 public:
  virtual ~Port() = default;
  virtual void addPollFds(std::vector<pollfd>& fds) = 0;
  // fds points at this port's entries as added by addPollFds.
  virtual void service(const pollfd* fds, uint32_t nowMs) = 0;
  // Longest wait the port allows before its next service (-1: none).
  virtual int timeoutMs(uint32_t nowMs) const = 0;
  virtual const Session& session() const = 0;
};

class TcpPort : public Port {
 public:
  TcpPort(Device& device, Faults& faults, Trace trace);
  ~TcpPort() override;
  // Binds and listens; answers an error text, empty on success.
  std::string open(const std::string& address, uint16_t port);
  uint16_t port() const { return port_; }

  void addPollFds(std::vector<pollfd>& fds) override;
  void service(const pollfd* fds, uint32_t nowMs) override;
  int timeoutMs(uint32_t nowMs) const override { return session_.msUntilHeartbeat(nowMs); }
  const Session& session() const override { return session_; }

 private:
  void closeConnection(bool reset, const char* why);

  Session session_;
  Faults& faults_;
  Trace trace_;
  int listenFd_ = -1;
  int connFd_ = -1;
  uint16_t port_ = 0;
};

class PtyPort : public Port {
 public:
  PtyPort(Device& device, Faults& faults, Trace trace);
  ~PtyPort() override;
  std::string open();
  const std::string& path() const { return path_; }

  void addPollFds(std::vector<pollfd>& fds) override;
  void service(const pollfd* fds, uint32_t nowMs) override;
  int timeoutMs(uint32_t nowMs) const override;
  const Session& session() const override { return session_; }

 private:
  Session session_;
  Trace trace_;
  int masterFd_ = -1;
  std::string path_;
  bool hostOpen_ = false;  // the terminal side is open (no hang-up)
};

}  // namespace sim
