// Helpers of the link tests: the device simulator as a child process, packet
// requests with reply matching, and an in-process transport for engine logic
// that needs exact control over reads and writes.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TestSupport.h"
#include "aLink.h"
#include "aMulticast.h"
#include "aTime.h"

namespace linktest {

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kModule = 6;

inline uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

// corelatch-sim with --trace and the given options; knows its TCP port and pty.
class Sim {
 public:
  explicit Sim(std::vector<std::string> args) {
    args.push_back("--trace");
    proc_ = std::make_unique<cltest::ChildProcess>(cltest::binPath("corelatch-sim"), args);
    int ready = proc_->waitForLine("ready", 10000);
    if (ready < 0) throw std::runtime_error("corelatch-sim did not start");
    for (const std::string& l : proc_->lines()) {
      if (l.rfind("tcp ", 0) == 0) port_ = static_cast<uint16_t>(std::stoi(l.substr(l.rfind(' ') + 1)));
      if (l.rfind("pty ", 0) == 0) pty_ = l.substr(4);
    }
  }
  uint16_t port() const { return port_; }
  const std::string& pty() const { return pty_; }
  cltest::ChildProcess& proc() { return *proc_; }
  int waitFor(const std::string& text, size_t from = 0, int timeoutMs = 10000) {
    return proc_->waitForLine(text, timeoutMs, from);
  }
  size_t count(const std::string& text, size_t from = 0) const { return proc_->countLines(text, from); }
  // Whether at least n trace lines hold text, waiting for the trace to catch up:
  // it reaches the test after the packets the device sent behind it.
  bool seen(const std::string& text, size_t n, size_t from = 0, int timeoutMs = 10000) {
    for (size_t i = 0; i < n; ++i) {
      const int at = waitFor(text, from, timeoutMs);
      if (at < 0) return false;
      from = static_cast<size_t>(at) + 1;
    }
    return true;
  }
  size_t mark() const { return proc_->lineCount(); }

 private:
  std::unique_ptr<cltest::ChildProcess> proc_;
  uint16_t port_ = 0;
  std::string pty_;
};

struct Match {
  uint8_t address;
  std::vector<uint8_t> prefix;
  int size = -1;  // data size required, -1 any
};

inline uint8_t matchFilter(const aPacket* p, void* ref) {
  const Match* m = static_cast<const Match*>(ref);
  if (p->address != m->address || p->dataSize < m->prefix.size()) return 0;
  if (m->size >= 0 && p->dataSize != m->size) return 0;
  for (size_t i = 0; i < m->prefix.size(); ++i)
    if (p->data[i] != m->prefix[i]) return 0;
  return 1;
}

inline aErr put(int32_t id, uint8_t address, const std::vector<uint8_t>& data) {
  aPacket* p = aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data());
  aErr err = aLink_PutPacket(id, p);
  aPacket_Destroy(&p);
  return err;
}

using PacketPtr = std::unique_ptr<aPacket, void (*)(aPacket*)>;
inline PacketPtr own(aPacket* p) {
  return PacketPtr(p, [](aPacket* q) { aPacket_Destroy(&q); });
}

// Sends the request to the module of the match and waits for the matching
// reply. A link that is resyncing answers nothing for a while, so the request
// is repeated (bounded) until one reply arrives.
inline PacketPtr request(int32_t id, const std::vector<uint8_t>& data, Match match, int attempts = 50) {
  for (int i = 0; i < attempts; ++i) {
    put(id, match.address, data);
    aPacket* reply = aLink_AwaitFirst(id, matchFilter, &match, 500);
    if (reply) return own(reply);
    aTime_MSSleep(100);
  }
  return own(nullptr);
}

// The system entity's serial-number option: the simplest full exchange.
inline uint32_t readSerialNumber(int32_t id, int attempts = 50, uint8_t module = kModule) {
  PacketPtr reply = request(id, {0x03, 0x49, 0x20}, Match{module, {0x03, 0x09, 0x00}, 7}, attempts);
  if (!reply) return 0;
  return (uint32_t(reply->data[3]) << 24) | (uint32_t(reply->data[4]) << 16) | (uint32_t(reply->data[5]) << 8) |
         reply->data[6];
}

inline uint8_t zeroLengthFromAModule(const aPacket* p, void*) {
  return p->dataSize == 0 && p->address != 0 && !(p->address & 1);
}

// The device's module address, from its answer to a sync request (a zero-length
// packet from its own address); 0 when it never answers.
inline uint8_t learnModule(int32_t id) {
  const uint8_t none = 0;
  for (int i = 0; i < 50; ++i) {
    aPacket* sync = aPacket_CreateWithData(cmdSYNC, 0, &none);
    aLink_PutPacket(id, sync);
    aPacket_Destroy(&sync);
    PacketPtr reply = own(aLink_AwaitFirst(id, zeroLengthFromAModule, nullptr, 500));
    if (reply) return reply->address;
    aTime_MSSleep(100);
  }
  return 0;
}

// The device a link test talks to: a real one when the tester names it in the
// environment, otherwise a simulator started for the test with the given options.
//   CORELATCH_TEST_TCP=ADDRESS:PORT      a device on the network
//   CORELATCH_TEST_SERIAL=PATH           a device on a serial port
//   CORELATCH_TEST_SERIAL_BAUD=N         its rate (default 115200)
//   CORELATCH_TEST_SERIAL_NUMBER=HEX     its serial number (compared where a test reads it)
// Checks that need the simulator's trace run only when sim() is set.
class Device {
 public:
  enum Kind { Tcp, Serial };

  Device(Kind kind, std::vector<std::string> simArgs) : kind_(kind) {
    const char* named = std::getenv(kind == Tcp ? "CORELATCH_TEST_TCP" : "CORELATCH_TEST_SERIAL");
    if (named && *named) {
      if (kind == Tcp) parseAddress(named);
      else path_ = named;
      if (const char* baud = std::getenv("CORELATCH_TEST_SERIAL_BAUD")) baud_ = static_cast<uint32_t>(std::stoul(baud));
      if (const char* number = std::getenv("CORELATCH_TEST_SERIAL_NUMBER"))
        serial_ = static_cast<uint32_t>(std::stoul(number, nullptr, 16));
      return;
    }
    serial_ = kSerial;
    for (size_t i = 0; i + 1 < simArgs.size(); ++i)
      if (simArgs[i] == "--serial") serial_ = static_cast<uint32_t>(std::stoul(simArgs[i + 1], nullptr, 16));
    std::vector<std::string> where = kind == Tcp ? std::vector<std::string>{"--tcp", "0"}
                                                 : std::vector<std::string>{"--pty"};
    simArgs.insert(simArgs.begin(), where.begin(), where.end());
    sim_ = std::make_unique<Sim>(simArgs);
    address_ = loopback();
    port_ = sim_->port();
    path_ = sim_->pty();
  }

  // Null for a real device.
  Sim* sim() { return sim_.get(); }
  uint32_t address() const { return address_; }  // network byte order
  uint16_t port() const { return port_; }
  const std::string& path() const { return path_; }
  uint32_t baud() const { return baud_; }
  // 0 when a real device's number was not given.
  uint32_t serialNumber() const { return serial_; }

  // A link to the device; identifier names it in the link table.
  int32_t open(uint32_t identifier) const {
    return kind_ == Tcp ? aLink_CreateTCPIP(identifier, address_, port_)
                        : aLink_CreateSerial(identifier, path_.c_str(), baud_);
  }

  // The serial number read over the link is the device's (any answer at all
  // when a real device's number was not given).
  void expectSerialNumber(int32_t id, uint8_t module, int attempts = 50) const {
    uint32_t read = readSerialNumber(id, attempts, module);
    if (serial_) EXPECT_EQ(read, serial_);
    else EXPECT_NE(read, 0u) << "no answer to the serial-number request";
  }

 private:
  void parseAddress(const std::string& text) {
    size_t colon = text.rfind(':');
    in_addr a{};
    if (colon == std::string::npos || inet_pton(AF_INET, text.substr(0, colon).c_str(), &a) != 1)
      throw std::runtime_error("CORELATCH_TEST_TCP must be ADDRESS:PORT, not " + text);
    unsigned long port = std::stoul(text.substr(colon + 1));
    if (port == 0 || port > 65535) throw std::runtime_error("CORELATCH_TEST_TCP has a bad port: " + text);
    address_ = a.s_addr;
    port_ = static_cast<uint16_t>(port);
  }

  Kind kind_;
  std::unique_ptr<Sim> sim_;
  uint32_t address_ = 0;
  uint16_t port_ = 0;
  std::string path_;
  uint32_t baud_ = 115200;
  uint32_t serial_ = 0;
};

// Waits (bounded) for the link to reach a status.
inline bool waitForStatus(int32_t id, linkStatus wanted, int timeoutMs = 10000) {
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    if (aLink_GetStatus(id) == wanted) return true;
    aTime_MSSleep(10);
  }
  return aLink_GetStatus(id) == wanted;
}

// An in-process transport: reads come from a queue the test fills, writes are
// recorded, and writes can be held back to let packets pile up in the link.
struct FakeTransport {
  std::mutex m;
  std::condition_variable cv;
  std::deque<uint8_t> input;
  aErr emptyRead = aErrNotReady;  // answer of a read with nothing queued
  std::vector<std::vector<uint8_t>> writes;
  bool hold = false;
  bool writerWaiting = false;
  bool stall = false;  // a read blocks until released, as a transport that hangs
  bool readerStalled = false;

  void feed(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> g(m);
    input.insert(input.end(), bytes.begin(), bytes.end());
    cv.notify_all();
  }
  void release() {
    std::lock_guard<std::mutex> g(m);
    hold = false;
    stall = false;
    cv.notify_all();
  }
  bool stallReader(int timeoutMs = 10000) {
    std::unique_lock<std::mutex> g(m);
    stall = true;
    return cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [this] { return readerStalled; });
  }
  bool waitForWriter(int timeoutMs = 10000) {
    std::unique_lock<std::mutex> g(m);
    return cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [this] { return writerWaiting; });
  }
  std::vector<std::vector<uint8_t>> written() {
    std::lock_guard<std::mutex> g(m);
    return writes;
  }

  static aErr get(uint8_t* byte, void* ref) {
    auto* t = static_cast<FakeTransport*>(ref);
    std::unique_lock<std::mutex> g(t->m);
    if (t->stall) {
      t->readerStalled = true;
      t->cv.notify_all();
      t->cv.wait(g, [t] { return !t->stall; });
      t->readerStalled = false;
    }
    t->cv.wait_for(g, std::chrono::milliseconds(20), [t] { return !t->input.empty(); });
    if (t->input.empty()) return t->emptyRead;
    *byte = t->input.front();
    t->input.pop_front();
    return aErrNone;
  }
  static aErr write(const uint8_t* bytes, uint32_t count, void* ref) {
    auto* t = static_cast<FakeTransport*>(ref);
    std::unique_lock<std::mutex> g(t->m);
    t->writerWaiting = t->hold;
    t->cv.notify_all();
    t->cv.wait(g, [t] { return !t->hold; });
    t->writerWaiting = false;
    t->writes.emplace_back(bytes, bytes + count);
    return aErrNone;
  }
  static aErr putByte(const uint8_t* byte, void* ref) { return write(byte, 1, ref); }

  // The stream does not own the transport: the test does, and it outlives the link.
  aStream* stream() { return aStream_Create(get, putByte, write, nullptr, this); }
};

}  // namespace linktest

namespace linktest {

// Destroys a link when the test ends, also when an assertion ends it early, so
// that a failed test leaves no link behind for the next one to share.
class LinkHold {
 public:
  explicit LinkHold(int32_t id = 0) : id_(id) {}
  ~LinkHold() {
    if (id_) aLink_Destroy(&id_);
  }
  LinkHold(const LinkHold&) = delete;
  LinkHold& operator=(const LinkHold&) = delete;
  int32_t get() const { return id_; }
  operator int32_t() const { return id_; }
  // Gives the link up to the caller (for explicit destroy checks).
  int32_t release() {
    int32_t id = id_;
    id_ = 0;
    return id;
  }

 private:
  int32_t id_;
};

}  // namespace linktest
