#include "SimDevice.h"

#include <algorithm>

#include "aError.h"

namespace sim {

namespace {

constexpr uint8_t kCmdHeartbeat = 0x00;
constexpr uint8_t kCmdSystem = 0x03;
constexpr uint8_t kCmdDebug = 0x17;
constexpr uint8_t kCmdModuleQuery = 0x49;
constexpr uint8_t kAddrSync = 0xAD;
constexpr uint8_t kAddrRoute = 0xAF;
constexpr size_t kBytesPerPacket = 24;

void putBE(std::vector<uint8_t>& out, uint32_t value, int width) {
  for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

int widthOf(ValueType type) {
  switch (type) {
    case ValueType::U8: return 1;
    case ValueType::U16: return 2;
    case ValueType::U32: return 4;
    default: return 0;
  }
}

Option constant(ValueType type, std::function<uint32_t()> value) {
  Option o;
  o.type = type;
  o.get = [type, value](const std::vector<uint8_t>&, std::vector<uint8_t>& out) {
    putBE(out, value(), widthOf(type));
    return int(aErrNone);
  };
  return o;
}

}  // namespace

Device::Device(const Identity& identity) : id_(identity) {
  addSystemEntity();
  setCommandHandler(kCmdDebug, [](HostState&, const Packet& p, Replies& replies) { replies.push_back(p); });
  setCommandHandler(kCmdModuleQuery, [this](HostState&, const Packet& p, Replies& replies) {
    handleModuleQuery(p, replies);
  });
  setCommandHandler(kCmdHeartbeat,
                    [this](HostState& host, const Packet& p, Replies&) { handleHeartbeatAnswer(host, p); });
}

void Device::addOption(uint8_t command, uint8_t index, uint8_t option, Option definition) {
  options_[key(command, index, option)] = std::move(definition);
}

void Device::setCommandHandler(uint8_t command, CommandHandler handler) {
  handlers_[command] = std::move(handler);
}

void Device::addSystemEntity() {
  auto u8 = ValueType::U8;
  auto u32 = ValueType::U32;
  addOption(kCmdSystem, 0, 1, constant(u8, [this] { return id_.module; }));
  Option router = constant(u8, [this] { return id_.router; });
  router.set = [this](const std::vector<uint8_t>& v) {
    id_.router = v[0];
    return int(aErrNone);
  };
  addOption(kCmdSystem, 0, 2, router);
  // Heartbeat interval in steps of 100 ms; 0 switches heartbeats off.
  Option hb = constant(u8, [this] { return id_.heartbeatMs / 100 > 255 ? 255 : id_.heartbeatMs / 100; });
  hb.set = [this](const std::vector<uint8_t>& v) {
    id_.heartbeatMs = v[0] * 100u;
    return int(aErrNone);
  };
  addOption(kCmdSystem, 0, 3, hb);
  addOption(kCmdSystem, 0, 7, constant(u32, [this] { return id_.version; }));
  addOption(kCmdSystem, 0, 8, constant(u8, [this] { return id_.model; }));
  addOption(kCmdSystem, 0, 9, constant(u32, [this] { return id_.serial; }));
  Option routeToMe;
  routeToMe.type = u8;
  routeToMe.set = [this](const std::vector<uint8_t>& v) {
    routeToMe_ = v[0];
    return int(aErrNone);
  };
  addOption(kCmdSystem, 0, 20, routeToMe);
  Option name;
  name.type = ValueType::Bytes;
  name.get = [this](const std::vector<uint8_t>&, std::vector<uint8_t>& out) {
    out.assign(id_.name.begin(), id_.name.end());
    return int(aErrNone);
  };
  name.set = [this](const std::vector<uint8_t>& v) {
    id_.name.assign(v.begin(), v.end());
    return int(aErrNone);
  };
  addOption(kCmdSystem, 0, 32, name);
  addOption(kCmdSystem, 0, 43, constant(u32, [this] { return id_.build; }));
  addOption(kCmdSystem, 0, 45, constant(u32, [this] { return id_.features; }));
}

void Device::hostAttached(HostState& host, uint32_t nowMs) {
  host = HostState();
  host.nextHeartbeat = nowMs + id_.heartbeatMs;
}

int Device::msUntilHeartbeat(const HostState& host, uint32_t nowMs) const {
  if (id_.heartbeatMs == 0) return -1;
  int32_t left = static_cast<int32_t>(host.nextHeartbeat - nowMs);
  return left < 0 ? 0 : left;
}

bool Device::takeHeartbeat(HostState& host, uint32_t nowMs, Packet& out) {
  if (id_.heartbeatMs == 0) return false;
  if (static_cast<int32_t>(host.nextHeartbeat - nowMs) > 0) return false;
  if (host.hbAwaiting) trace("hb-missed " + std::to_string(host.hbValue));
  ++host.hbValue;
  host.hbAwaiting = true;
  host.nextHeartbeat = nowMs + id_.heartbeatMs;
  out = Packet(id_.module, {kCmdHeartbeat, host.hbValue});
  return true;
}

void Device::handleHeartbeatAnswer(HostState& host, const Packet& p) {
  if (p.data.size() != 2) return;
  uint8_t expected = static_cast<uint8_t>(host.hbValue + 2);
  if (host.hbAwaiting && p.data[1] == expected) {
    host.hbAwaiting = false;
    ++host.hbAnswered;
    trace("hb-ok " + std::to_string(p.data[1]));
  } else {
    trace("hb-bad " + std::to_string(p.data[1]));
  }
}

Packet Device::error(uint8_t command, uint8_t optionByte, uint8_t index, int code) const {
  return Packet(id_.module, {command, optionByte, static_cast<uint8_t>(index | 0x80),
                             static_cast<uint8_t>(code)});
}

void Device::receive(HostState& host, const Packet& p, Replies& replies) {
  if (p.address == kAddrSync) {
    if (p.data.empty()) replies.emplace_back(id_.module, std::vector<uint8_t>{});
    return;
  }
  if (p.address == kAddrRoute) {
    if (p.data.size() == 1) {
      route_ = p.data[0];
      trace("route " + std::to_string(route_));
    }
    return;
  }
  if (p.address != id_.module || p.data.empty()) return;
  auto h = handlers_.find(p.data[0]);
  if (h != handlers_.end()) {
    h->second(host, p, replies);
    return;
  }
  handleUei(host, p, replies);
}

void Device::handleUei(HostState& host, const Packet& p, Replies& replies) {
  if (p.data.size() < 3) return;
  uint8_t command = p.data[0];
  uint8_t optionByte = p.data[1];
  uint8_t option = optionByte & 0x3F;
  uint8_t index = p.data[2] & 0x1F;
  bool isGet = optionByte & 0x40, isSet = optionByte & 0x80;
  if (isGet == isSet) return;  // not a request (an acknowledgement or a sample)
  uint8_t replyOption = isGet ? option : static_cast<uint8_t>(option | 0xC0);

  bool commandKnown = false, indexKnown = false;
  for (const auto& [k, unused] : options_) {
    (void)unused;
    if ((k >> 16) == command) {
      commandKnown = true;
      if (((k >> 8) & 0xFF) == index) indexKnown = true;
    }
  }
  auto it = options_.find(key(command, index, option));
  if (it == options_.end()) {
    int code = !commandKnown ? aErrInvalidEntity : !indexKnown ? aErrIndexRange : aErrInvalidOption;
    replies.push_back(error(command, replyOption, index, code));
    return;
  }
  const Option& def = it->second;
  std::vector<uint8_t> rest(p.data.begin() + 3, p.data.end());

  if (isGet) {
    if (!def.get) {
      replies.push_back(error(command, replyOption, index, aErrPermission));
      return;
    }
    std::vector<uint8_t> value;
    int err = def.get(rest, value);
    if (err != aErrNone) {
      replies.push_back(error(command, replyOption, index, err));
      return;
    }
    if (def.type != ValueType::Bytes) {
      std::vector<uint8_t> data{command, option, index};
      data.insert(data.end(), value.begin(), value.end());
      replies.emplace_back(id_.module, data);
      return;
    }
    size_t sent = 0;
    uint8_t seq = 0;
    do {
      size_t n = std::min(kBytesPerPacket, value.size() - sent);
      std::vector<uint8_t> data{command, option, index};
      data.insert(data.end(), value.begin() + sent, value.begin() + sent + n);
      sent += n;
      data.push_back(static_cast<uint8_t>((seq & 0x7F) | (sent < value.size() ? 0x80 : 0)));
      replies.emplace_back(id_.module, data);
      ++seq;
    } while (sent < value.size());
    return;
  }

  if (!def.set) {
    replies.push_back(error(command, replyOption, index, aErrPermission));
    return;
  }
  std::vector<uint8_t> value;
  if (def.type == ValueType::Bytes) {
    if (rest.empty()) {
      replies.push_back(error(command, replyOption, index, aErrSize));
      return;
    }
    uint8_t seqByte = rest.back();
    rest.pop_back();
    auto& pending = host.pendingBytes[it->first];
    if ((seqByte & 0x7F) == 0) pending.clear();
    pending.insert(pending.end(), rest.begin(), rest.end());
    if (seqByte & 0x80) return;  // more packets follow
    value.swap(pending);
    host.pendingBytes.erase(it->first);
  } else {
    if (rest.size() != static_cast<size_t>(widthOf(def.type))) {
      replies.push_back(error(command, replyOption, index, aErrSize));
      return;
    }
    value = rest;
  }
  int err = def.set(value);
  if (err != aErrNone) {
    replies.push_back(error(command, replyOption, index, err));
    return;
  }
  std::vector<uint8_t> ack{command, replyOption, index};
  if (def.type != ValueType::Bytes) ack.insert(ack.end(), value.begin(), value.end());
  replies.emplace_back(id_.module, ack);
}

void Device::handleModuleQuery(const Packet& p, Replies& replies) {
  const auto& d = p.data;
  if (d.size() < 2) return;
  switch (d[1]) {
    case 0xFF: {  // build number
      std::vector<uint8_t> out{kCmdModuleQuery, 0xFF};
      putBE(out, id_.build, 4);
      replies.emplace_back(id_.module, out);
      break;
    }
    case 0x01: {  // does the device support this UEI?
      if (d.size() != 6) return;
      auto it = options_.find(key(d[2], d[4] & 0x1F, d[3] & 0x3F));
      int result = aErrNone;
      if (it == options_.end()) result = aErrInvalidOption;
      else if ((d[5] & 0x40) && !it->second.get) result = aErrPermission;
      else if ((d[5] & 0x80) && !it->second.set) result = aErrPermission;
      replies.emplace_back(id_.module, std::vector<uint8_t>{kCmdModuleQuery, 0x01, d[2], d[3], d[4],
                                                            static_cast<uint8_t>(result)});
      break;
    }
    case 0x04: {  // number of entities of a class
      if (d.size() != 3) return;
      std::map<uint8_t, bool> indices;
      for (const auto& [k, unused] : options_) {
        (void)unused;
        if ((k >> 16) == d[2]) indices[(k >> 8) & 0xFF] = true;
      }
      replies.emplace_back(id_.module, std::vector<uint8_t>{kCmdModuleQuery, 0x04, d[2],
                                                            static_cast<uint8_t>(indices.size())});
      break;
    }
    default:
      break;
  }
}

}  // namespace sim
