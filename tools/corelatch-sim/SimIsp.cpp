#include "SimIsp.h"

#include "SimRomLine.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace sim {

namespace {

// ISP return codes the device uses.
enum : int {
  kSuccess = 0,
  kInvalidCommand = 1,
  kSrcAddrError = 2,
  kDstAddrError = 3,
  kSrcAddrNotMapped = 4,
  kDstAddrNotMapped = 5,
  kCountError = 6,
  kInvalidSector = 7,
  kSectorNotPrepared = 9,
  kParamError = 12,
  kAddrError = 13,
  kAddrNotMapped = 14,
  kCmdLocked = 15,
  kInvalidCode = 16,
};

constexpr unsigned kGroupLines = 20;
constexpr size_t kLongestLine = 4096;

std::string shown(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c >= 0x20 && c < 0x7F)
      out += c;
    else
      out += '.';
  }
  return out;
}

bool decimal(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

unsigned uuValue(char c) { return static_cast<unsigned>(c - 32) & 0x3F; }

}  // namespace

IspDevice::IspDevice(const IspConfig& config, Trace trace)
    : config_(config), trace_(std::move(trace)), flash_(kFlashSize, config.flashFill), ram_(kRamSize, 0) {}

bool IspDevice::takeChanged() {
  bool c = changed_;
  changed_ = false;
  return c;
}

std::string IspDevice::receive(const uint8_t* bytes, size_t count) {
  std::string out;
  if (config_.silent) return out;
  for (size_t i = 0; i < count; ++i) onByte(bytes[i], out);
  return out;
}

void IspDevice::reply(std::string& out, const std::string& text) {
  out += text;
  trace_("tx " + shown(text));
}

void IspDevice::onByte(uint8_t b, std::string& out) {
  switch (state_) {
    case State::Running:
      return;
    case State::Autobaud:
      if (b == '?') {
        trace_("rx ?");
        reply(out, "Synchronized\r\n");
        state_ = State::SyncLine;
        line_.clear();
      }
      return;
    default:
      break;
  }
  const bool afterHandshake = state_ == State::Command || state_ == State::Data;
  if (afterHandshake && config_.muteAfter && commandCount_ >= config_.muteAfter) return;
  const bool first = !lineStarted_;
  if (first) {
    lineStarted_ = true;
    if (afterHandshake && ++lineCount_ == config_.dropLine) {
      dropping_ = true;
      trace_("drop " + std::to_string(lineCount_));
    }
  }
  if (b == '\n') lineStarted_ = false;
  if (dropping_) {
    if (b == '\n') dropping_ = false;
    return;
  }
  // Like the chip: every byte goes back as it comes, before the line is acted on.
  if (echo_) out += (config_.badEcho && first) ? '#' : static_cast<char>(b);
  if (b != '\n') {
    if (line_.size() < kLongestLine) line_ += static_cast<char>(b);
    return;
  }
  std::string line;
  line.swap(line_);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  onLine(line, out);
}

void IspDevice::onLine(const std::string& line, std::string& out) {
  trace_("rx " + shown(line));
  switch (state_) {
    case State::SyncLine:
      if (line == "Synchronized") {
        reply(out, "OK\r\n");
        state_ = State::Crystal;
      } else {
        trace_("sync-fail");
        state_ = State::Autobaud;
      }
      return;
    case State::Crystal: {
      uint32_t khz;
      if (decimal(line, &khz)) {
        reply(out, "OK\r\n");
        state_ = State::Command;
        trace_("synced " + std::to_string(khz));
      } else {
        trace_("sync-fail");
        state_ = State::Autobaud;
      }
      return;
    }
    case State::Command:
      ++commandCount_;
      command(line, out);
      if (config_.muteAfter && commandCount_ >= config_.muteAfter) trace_("mute");
      return;
    case State::Data:
      dataLine(line, out);
      return;
    default:
      return;
  }
}

int IspDevice::sectorOf(uint32_t address) const {
  if (address < 0x10000) return static_cast<int>(address / 0x1000);
  return 16 + static_cast<int>((address - 0x10000) / 0x8000);
}

bool IspDevice::sectorsPrepared(int first, int last) const {
  for (int s = first; s <= last; ++s)
    if (!prepared_[s]) return false;
  return true;
}

void IspDevice::command(const std::string& line, std::string& out) {
  std::vector<std::string> w = words(line);
  auto status = [&](int code) { reply(out, std::to_string(code) + "\r\n"); };
  if (w.empty() || w[0].size() != 1) return status(kInvalidCommand);
  const char op = w[0][0];
  static const std::string kArity = "A1U1P2E2W2C3G2J0K0N0";
  const size_t at = kArity.find(op);
  if (at == std::string::npos || at % 2 != 0) return status(kInvalidCommand);
  if (w.size() != static_cast<size_t>(kArity[at + 1] - '0') + 1) return status(kParamError);
  uint32_t v[3] = {};
  for (size_t i = 1; i < w.size(); ++i) {
    if (op == 'G' && i == 2) break;
    if (!decimal(w[i], &v[i - 1])) return status(kParamError);
  }

  switch (op) {
    case 'A':
      if (v[0] > 1) return status(kParamError);
      echo_ = v[0] == 1;
      trace_(std::string("echo ") + (echo_ ? "1" : "0"));
      return status(kSuccess);
    case 'U':
      if (v[0] != kUnlockCode) return status(kInvalidCode);
      unlocked_ = true;
      trace_("unlocked");
      return status(kSuccess);
    case 'P':
    case 'E': {
      if (v[0] > v[1] || v[1] >= static_cast<uint32_t>(kSectors)) return status(kInvalidSector);
      const int a = static_cast<int>(v[0]), b = static_cast<int>(v[1]);
      if (op == 'P') {
        for (int s = a; s <= b; ++s) prepared_[s] = true;
        trace_("prepared " + std::to_string(a) + " " + std::to_string(b));
        return status(kSuccess);
      }
      if (!unlocked_) return status(kCmdLocked);
      if (!sectorsPrepared(a, b)) return status(kSectorNotPrepared);
      const uint32_t from = a < 16 ? a * 0x1000u : 0x10000u + (a - 16) * 0x8000u;
      const uint32_t to = b < 16 ? (b + 1) * 0x1000u : 0x10000u + (b - 15) * 0x8000u;
      std::fill(flash_.begin() + from, flash_.begin() + to, 0xFF);
      for (int s = a; s <= b; ++s) prepared_[s] = false;
      changed_ = true;
      trace_("erased " + std::to_string(a) + " " + std::to_string(b));
      return status(kSuccess);
    }
    case 'W':
      if (v[0] % 4 != 0) return status(kAddrError);
      if (v[1] == 0 || v[1] % 4 != 0) return status(kCountError);
      if (v[0] < kRamBase || v[0] - kRamBase > kRamSize || v[1] > kRamSize - (v[0] - kRamBase))
        return status(kAddrNotMapped);
      writeAddress_ = v[0];
      writeCount_ = v[1];
      writeDone_ = 0;
      group_.clear();
      groupLines_ = 0;
      groupBad_ = false;
      state_ = State::Data;
      return status(kSuccess);
    case 'C': {
      const uint32_t dst = v[0], src = v[1], n = v[2];
      if (!unlocked_) return status(kCmdLocked);
      if (dst % 256 != 0) return status(kDstAddrError);
      if (src % 4 != 0) return status(kSrcAddrError);
      if (n != 256 && n != 512 && n != 1024 && n != 4096) return status(kCountError);
      if (dst >= kFlashSize || n > kFlashSize - dst) return status(kDstAddrNotMapped);
      if (src < kRamBase || src - kRamBase > kRamSize || n > kRamSize - (src - kRamBase))
        return status(kSrcAddrNotMapped);
      const int first = sectorOf(dst), last = sectorOf(dst + n - 1);
      if (!sectorsPrepared(first, last)) return status(kSectorNotPrepared);
      // Programming can only clear bits, as on the chip.
      for (uint32_t i = 0; i < n; ++i) flash_[dst + i] &= ram_[src - kRamBase + i];
      for (int s = first; s <= last; ++s) prepared_[s] = false;
      changed_ = true;
      trace_("copied " + std::to_string(n) + " " + std::to_string(src) + " " + std::to_string(dst));
      return status(kSuccess);
    }
    case 'G':
      if (!unlocked_) return status(kCmdLocked);
      if (w[2] != "T" && w[2] != "A") return status(kParamError);
      status(kSuccess);
      state_ = State::Running;
      trace_("go " + std::to_string(v[0]) + " " + w[2]);
      return;
    case 'J':
      return reply(out, "0\r\n" + std::to_string(config_.partId) + "\r\n");
    case 'K':
      return reply(out, "0\r\n" + std::to_string(config_.bootMinor) + "\r\n" + std::to_string(config_.bootMajor) + "\r\n");
    case 'N': {
      if (config_.refuseSerial >= 0) return status(config_.refuseSerial);
      std::string text = "0\r\n";
      for (uint32_t u : config_.uid) text += std::to_string(u) + "\r\n";
      return reply(out, text);
    }
  }
}

void IspDevice::dataLine(const std::string& line, std::string& out) {
  const uint32_t pending = writeCount_ - writeDone_;
  const bool checksumDue = groupLines_ >= kGroupLines || group_.size() >= pending;
  if (!checksumDue) {
    ++groupLines_;
    const unsigned n = line.empty() ? 0 : uuValue(line[0]);
    const size_t chars = (n + 2) / 3 * 4;
    if (line.empty() || n > 45 || line.size() != 1 + chars || group_.size() + n > pending) {
      groupBad_ = true;
      return;
    }
    std::vector<uint8_t> decoded;
    for (size_t g = 0; g < chars; g += 4) {
      uint32_t bits = 0;
      for (size_t k = 0; k < 4; ++k) bits = (bits << 6) | uuValue(line[1 + g + k]);
      for (int k = 0; k < 3; ++k) decoded.push_back(static_cast<uint8_t>(bits >> (16 - 8 * k)));
    }
    group_.insert(group_.end(), decoded.begin(), decoded.begin() + n);
    return;
  }
  uint32_t sum = 0, expected = 0;
  for (uint8_t b : group_) sum += b;
  ++checksums_;
  const bool good = decimal(line, &expected) && expected == sum && !groupBad_;
  if (good && checksums_ > config_.resend) {
    std::copy(group_.begin(), group_.end(), ram_.begin() + (writeAddress_ - kRamBase + writeDone_));
    writeDone_ += static_cast<uint32_t>(group_.size());
    changed_ = true;
    reply(out, "OK\r\n");
    if (writeDone_ >= writeCount_) {
      state_ = State::Command;
      trace_("written " + std::to_string(writeCount_) + " " + std::to_string(writeAddress_));
    }
  } else {
    trace_(good ? "resend forced" : "resend checksum");
    reply(out, "RESEND\r\n");
  }
  group_.clear();
  groupLines_ = 0;
  groupBad_ = false;
}

// ---- the program mode

namespace {

const char kIspHelp[] =
    "Usage: corelatch-sim --isp [options]\n"
    "Emulates the serial ROM boot loader of an NXP part (ISP) on a pseudo-terminal:\n"
    "the \"?\" / \"Synchronized\" / crystal handshake, echo on and off (A), unlock (U),\n"
    "prepare (P) and erase (E) of sectors 0..29, write to RAM (W) as uuencoded lines\n"
    "with a checksum after every 20 lines or at the end (OK or RESEND), copy RAM to\n"
    "flash (C), part id (J), boot code version (K), serial number (N) and go (G).\n"
    "RAM: 32 KB at 0x10000000. Flash: 512 KB, sectors of 4 KB up to 0x10000, then\n"
    "32 KB; it holds 0x5A bytes until erased (0xFF); copies can only clear bits.\n"
    "\n"
    "  --pty                 the pseudo-terminal (the only port of this mode; implied)\n"
    "  --dump DIR            keep DIR/flash.bin and DIR/ram.bin up to date: written at\n"
    "                        start and after every change, before the reply goes out\n"
    "  --uid W0,W1,W2,W3     serial number words (hexadecimal) answered to N\n"
    "  --part-id HEX         part id answered to J (default 26113F37)\n"
    "\n"
    "Faults:\n"
    "  --silent              answer nothing, not even the handshake\n"
    "  --mute-after N        after N command lines neither echo nor answer anything\n"
    "  --resend N            answer RESEND to the first N checksums, even good ones\n"
    "  --bad-echo            echo \"#\" instead of the first byte of every line\n"
    "  --drop-line N         ignore the Nth line after the handshake (commands, data\n"
    "                        and checksum lines counted from 1): no echo, no answer\n"
    "  --refuse-serial CODE  answer N with return code CODE instead of the words\n"
    "\n"
    "  --trace               print \"rx LINE\", \"tx TEXT\" and events (\"synced KHZ\",\n"
    "                        \"echo 0|1\", \"unlocked\", \"prepared A B\", \"erased A B\",\n"
    "                        \"written COUNT ADDRESS\", \"resend forced|checksum\",\n"
    "                        \"copied COUNT FROM TO\", \"go ADDRESS MODE\", \"drop N\",\n"
    "                        \"mute\", \"dump\") on standard output\n"
    "  --help                print this text\n"
    "\n"
    "Standard output starts with \"pty PATH\" and \"ready\". SIGTERM or SIGINT ends the\n"
    "program after a line \"stats lines=N\"; so does the end of the process that\n"
    "started it.\n";

unsigned long number(const std::string& option, const std::string& text, int base, unsigned long max) {
  errno = 0;
  char* end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, base);
  if (errno || text.empty() || *end || text[0] == '-' || v > max) romFail("bad value for " + option + ": " + text);
  return v;
}

}  // namespace

int ispMain(int argc, char** argv) {
  IspConfig config;
  std::string dumpDir;
  bool trace = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) romFail(a + " needs a value");
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kIspHelp, stdout);
      return 0;
    } else if (a == "--isp" || a == "--pty") {
    } else if (a == "--dump") {
      dumpDir = value();
    } else if (a == "--uid") {
      const std::string text = value();
      unsigned long w[4];
      char tail;
      if (std::sscanf(text.c_str(), "%lx,%lx,%lx,%lx%c", &w[0], &w[1], &w[2], &w[3], &tail) != 4)
        romFail("bad value for --uid: " + text);
      for (int k = 0; k < 4; ++k) config.uid[k] = static_cast<uint32_t>(w[k]);
    } else if (a == "--part-id") {
      config.partId = static_cast<uint32_t>(number(a, value(), 16, 0xFFFFFFFFul));
    } else if (a == "--silent") {
      config.silent = true;
    } else if (a == "--mute-after") {
      config.muteAfter = static_cast<unsigned>(number(a, value(), 10, 1000000));
    } else if (a == "--resend") {
      config.resend = static_cast<unsigned>(number(a, value(), 10, 1000000));
    } else if (a == "--bad-echo") {
      config.badEcho = true;
    } else if (a == "--drop-line") {
      config.dropLine = static_cast<unsigned>(number(a, value(), 10, 1000000));
    } else if (a == "--refuse-serial") {
      config.refuseSerial = static_cast<int>(number(a, value(), 10, 255));
    } else if (a == "--trace") {
      trace = true;
    } else {
      romFail("unknown option for --isp: " + a + " (see --isp --help)");
    }
  }
  IspDevice::Trace tracer = trace ? IspDevice::Trace(romSay) : IspDevice::Trace([](const std::string&) {});
  IspDevice device(config, tracer);
  auto dump = [&]() {
    if (!device.takeChanged() || dumpDir.empty()) return;
    if (!writeDump(dumpDir + "/flash.bin", device.flash()) || !writeDump(dumpDir + "/ram.bin", device.ram()))
      romFail("cannot write the memory dump in " + dumpDir);
    tracer("dump");
  };
  dump();
  if (!runRomLine([&](const uint8_t* bytes, size_t n) { return device.receive(bytes, n); }, dump)) return 0;
  romSay("stats lines=" + std::to_string(device.lines()));
  return 0;
}

}  // namespace sim
