#include "SimSdp.h"

#include "SimRomLine.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr size_t kCommandSize = 16;

uint32_t big(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
         static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

void putLittle(std::string& out, uint32_t v) {
  for (int k = 0; k < 4; ++k) out += static_cast<char>((v >> (8 * k)) & 0xFF);
}

std::string hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", v);
  return text;
}

}  // namespace

SdpDevice::SdpDevice(const SdpConfig& config, Trace trace)
    : config_(config), trace_(std::move(trace)), ram_(kRamSize, 0) {}

bool SdpDevice::takeChanged() {
  bool c = changed_;
  changed_ = false;
  return c;
}

void SdpDevice::answer(std::string& out, uint32_t status) {
  putLittle(out, kHabOpen);
  if (config_.shortResponse) {
    trace_("tx short");
    return;
  }
  putLittle(out, status);
  trace_("tx " + hex(status));
}

std::string SdpDevice::receive(const uint8_t* bytes, size_t count) {
  std::string out;
  if (config_.silent) return out;
  size_t i = 0;
  while (i < count) {
    if (receiving_) {
      const uint32_t take = static_cast<uint32_t>(std::min<size_t>(count - i, expected_ - received_));
      if (inRange_) {
        std::memcpy(ram_.data() + (address_ - kRamBase) + received_, bytes + i, take);
        changed_ = true;
      }
      received_ += take;
      i += take;
      if (received_ == expected_) {
        receiving_ = false;
        trace_("written " + std::to_string(expected_) + " " + hex(address_) + (inRange_ ? "" : " unmapped"));
        answer(out, !inRange_ ? kWriteFailed : config_.badStatus ? 0 : kWriteComplete);
      }
      continue;
    }
    command_.push_back(bytes[i++]);
    if (command_.size() == kCommandSize) {
      onCommand(out);
      command_.clear();
    }
  }
  return out;
}

void SdpDevice::onCommand(std::string& out) {
  ++commands_;
  const uint8_t code = command_[0];
  if (command_[1] != code) {
    trace_("bad-command");
    return;
  }
  const uint32_t address = big(command_, 2);
  switch (code) {
    case 0x05:
      trace_("error-status");
      return answer(out, kStatusIdle);
    case 0x04: {
      const uint32_t n = big(command_, 7);
      trace_("write-file " + hex(address) + " " + std::to_string(n));
      address_ = address;
      expected_ = n;
      received_ = 0;
      inRange_ = address >= kRamBase && address - kRamBase <= kRamSize && n <= kRamSize - (address - kRamBase);
      if (n == 0) {
        trace_("written 0 " + hex(address));
        return answer(out, kWriteComplete);
      }
      receiving_ = true;
      return;
    }
    case 0x0B:
      trace_("jump " + hex(address));
      putLittle(out, kHabOpen);
      return;
    default:
      trace_("bad-command");
      return;
  }
}

// ---- the program mode

namespace {

const char kSdpHelp[] =
    "Usage: corelatch-sim --sdp [options]\n"
    "Emulates the boot ROM of an i.MX processor speaking its serial download protocol\n"
    "over a UART, on a pseudo-terminal. Commands are 16 bytes (address and count\n"
    "big-endian): ERROR_STATUS (05 05) answers the mode word 56787856 and the status\n"
    "F0F0F0F0; WRITE_FILE (04 04) takes the byte count that follows and then answers\n"
    "the mode word and 88888888 (12345678 outside RAM); JUMP_ADDRESS (0B 0B) answers\n"
    "the mode word. Words go out little-endian. RAM: 256 KB at 0x00900000.\n"
    "\n"
    "  --pty                 the pseudo-terminal (the only port of this mode; implied)\n"
    "  --dump DIR            keep DIR/ram.bin up to date: written at start and after\n"
    "                        every change, before the answer goes out\n"
    "\n"
    "Faults:\n"
    "  --silent              answer nothing\n"
    "  --bad-status          confirm file writes with the status 00000000\n"
    "  --short-response      send the mode word but no status word\n"
    "\n"
    "  --trace               print \"error-status\", \"write-file ADDRESS COUNT\",\n"
    "                        \"written COUNT ADDRESS [unmapped]\", \"jump ADDRESS\",\n"
    "                        \"tx STATUS\", \"tx short\", \"bad-command\" and \"dump\" on\n"
    "                        standard output\n"
    "  --help                print this text\n"
    "\n"
    "Standard output starts with \"pty PATH\" and \"ready\". SIGTERM or SIGINT ends the\n"
    "program after a line \"stats commands=N\"; so does the end of the process that\n"
    "started it.\n";

}  // namespace

int sdpMain(int argc, char** argv) {
  SdpConfig config;
  std::string dumpDir;
  bool trace = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kSdpHelp, stdout);
      return 0;
    } else if (a == "--sdp" || a == "--pty") {
    } else if (a == "--dump") {
      if (i + 1 >= argc) romFail(a + " needs a value");
      dumpDir = argv[++i];
    } else if (a == "--silent") {
      config.silent = true;
    } else if (a == "--bad-status") {
      config.badStatus = true;
    } else if (a == "--short-response") {
      config.shortResponse = true;
    } else if (a == "--trace") {
      trace = true;
    } else {
      romFail("unknown option for --sdp: " + a + " (see --sdp --help)");
    }
  }
  SdpDevice::Trace tracer = trace ? SdpDevice::Trace(romSay) : SdpDevice::Trace([](const std::string&) {});
  SdpDevice device(config, tracer);
  auto dump = [&]() {
    if (!device.takeChanged() || dumpDir.empty()) return;
    if (!writeDump(dumpDir + "/ram.bin", device.ram())) romFail("cannot write the memory dump in " + dumpDir);
    tracer("dump");
  };
  dump();
  if (!runRomLine([&](const uint8_t* bytes, size_t n) { return device.receive(bytes, n); }, dump)) return 0;
  romSay("stats commands=" + std::to_string(device.commands()));
  return 0;
}

}  // namespace sim
