// The simulated device itself: its identity, its entities and their options, and
// the answers it gives to the packets a host sends. Knows nothing of transports:
// a connection hands it whole packets and sends whatever it answers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "SimWire.h"

namespace sim {

struct Identity {
  uint32_t serial = 0x40F5849A;
  uint8_t model = 13;
  uint8_t module = 6;
  uint8_t router = 0;
  uint32_t version = 0x2F020C04;  // 2.12.4, current packing
  uint32_t build = 1234;
  std::string name = "corelatch-sim";
  uint32_t features = 0;
  uint32_t heartbeatMs = 1000;  // 0: no heartbeats
};

enum class ValueType { None, U8, U16, U32, Bytes };

// One option of one entity. A getter or setter answers a device error number
// (0 for success). Missing getter or setter: the option cannot be read or written.
struct Option {
  ValueType type = ValueType::None;
  // args: request bytes after the specifier (a subindex, if any); value: big-endian.
  std::function<int(const std::vector<uint8_t>& args, std::vector<uint8_t>& value)> get;
  std::function<int(const std::vector<uint8_t>& value)> set;
};

// What the device keeps per attached host: heartbeat bookkeeping and bytes-form
// writes in progress.
struct HostState {
  uint8_t hbValue = 0;
  bool hbAwaiting = false;
  uint32_t nextHeartbeat = 0;
  uint32_t hbAnswered = 0;
  std::map<uint32_t, std::vector<uint8_t>> pendingBytes;
};

class Device {
 public:
  using Replies = std::vector<Packet>;
  // A handler for one command byte; it sees every packet addressed to the device
  // whose first data byte is that command.
  using CommandHandler = std::function<void(HostState& host, const Packet& request, Replies& replies)>;
  using Trace = std::function<void(const std::string& line)>;

  explicit Device(const Identity& identity);

  Identity& identity() { return id_; }
  void setTrace(Trace trace) { trace_ = std::move(trace); }

  void addOption(uint8_t command, uint8_t index, uint8_t option, Option definition);
  void setCommandHandler(uint8_t command, CommandHandler handler);

  // A host attached: its state starts afresh, the first heartbeat one interval later.
  void hostAttached(HostState& host, uint32_t nowMs);

  // One packet from the host; answers go into replies.
  void receive(HostState& host, const Packet& packet, Replies& replies);

  // Milliseconds until the host's next heartbeat is due (-1: heartbeats are off).
  int msUntilHeartbeat(const HostState& host, uint32_t nowMs) const;
  // When a heartbeat is due, answers true with the packet to send.
  bool takeHeartbeat(HostState& host, uint32_t nowMs, Packet& out);

  uint8_t routeValue() const { return route_; }

 private:
  void trace(const std::string& line) const {
    if (trace_) trace_(line);
  }
  void handleUei(HostState& host, const Packet& p, Replies& replies);
  void handleModuleQuery(const Packet& p, Replies& replies);
  void handleHeartbeatAnswer(HostState& host, const Packet& p);
  void addSystemEntity();
  static uint32_t key(uint8_t command, uint8_t index, uint8_t option) {
    return (uint32_t(command) << 16) | (uint32_t(index) << 8) | option;
  }
  Packet error(uint8_t command, uint8_t optionByte, uint8_t index, int code) const;

  Identity id_;
  Trace trace_;
  std::map<uint32_t, Option> options_;
  std::map<uint8_t, CommandHandler> handlers_;
  uint8_t route_ = 0;
  uint8_t routeToMe_ = 0;
};

}  // namespace sim
