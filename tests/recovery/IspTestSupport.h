// Helpers of the ISP client tests: a scripted device behind an in-memory
// stream, and the boot-loader emulator (corelatch-sim --isp) on a pty.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ChildProcess.h"
#include "TestSupport.h"
#include "recovery/NXPSerialClient.h"

namespace isptest {

// The device end of an in-memory line. Every write the client makes is one
// chunk; the script answers each chunk in turn, or `respond` computes it.
struct ScriptedLine {
  std::vector<std::pair<std::string, std::string>> script;  // chunk expected, answer
  size_t next = 0;
  std::function<std::string(const std::string&)> respond;
  std::deque<uint8_t> input;
  std::vector<std::string> chunks;
  int endlessByte = -1;  // once input runs dry, this byte for ever
  size_t reads = 0;

  std::string written() const {
    std::string all;
    for (const auto& c : chunks) all += c;
    return all;
  }
  void feed(const std::string& bytes) { input.insert(input.end(), bytes.begin(), bytes.end()); }

  static aErr get(uint8_t* byte, void* ref) {
    auto* l = static_cast<ScriptedLine*>(ref);
    ++l->reads;
    if (l->input.empty()) {
      if (l->endlessByte < 0) return aErrNotReady;
      *byte = static_cast<uint8_t>(l->endlessByte);
      return aErrNone;
    }
    *byte = l->input.front();
    l->input.pop_front();
    return aErrNone;
  }
  static aErr write(const uint8_t* bytes, uint32_t count, void* ref) {
    auto* l = static_cast<ScriptedLine*>(ref);
    std::string chunk(reinterpret_cast<const char*>(bytes), count);
    l->chunks.push_back(chunk);
    if (l->respond) {
      l->feed(l->respond(chunk));
    } else if (l->next < l->script.size()) {
      EXPECT_EQ(chunk, l->script[l->next].first) << "chunk " << l->next;
      l->feed(l->script[l->next++].second);
    }
    return aErrNone;
  }
  static aErr put(const uint8_t* byte, void* ref) { return write(byte, 1, ref); }
  static aErr release(void*) { return aErrNone; }
};

inline void noPause(uint32_t) {}

// Connects the client to the line (which must outlive it) without real pauses.
inline void attach(NXPSerialClient& client, ScriptedLine& line, int rate = 115200) {
  aStream* s = aStream_Create(ScriptedLine::get, ScriptedLine::put, ScriptedLine::write, ScriptedLine::release, &line);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(client.adopt(s, rate), aErrNone);
  client.setPause(noPause);
}

// corelatch-sim --isp --trace with a memory dump folder and the given options.
class IspSim {
 public:
  explicit IspSim(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--isp", "--trace", "--dump", dir_.path()});
    proc_ = std::make_unique<cltest::ChildProcess>(cltest::binPath("corelatch-sim"), args);
    if (proc_->waitForLine("ready", 10000) < 0) throw std::runtime_error("corelatch-sim --isp did not start");
    for (const std::string& l : proc_->lines())
      if (l.rfind("pty ", 0) == 0) pty_ = l.substr(4);
  }
  const std::string& pty() const { return pty_; }
  int waitFor(const std::string& text, int timeoutMs = 10000) { return proc_->waitForLine(text, timeoutMs); }
  size_t count(const std::string& text) const { return proc_->countLines(text); }
  std::string flash() const { return cltest::readFile(dir_ / "flash.bin"); }
  std::string ram() const { return cltest::readFile(dir_ / "ram.bin"); }

 private:
  cltest::TempDir dir_;
  std::unique_ptr<cltest::ChildProcess> proc_;
  std::string pty_;
};

}  // namespace isptest
