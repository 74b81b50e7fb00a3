#include "SimSdp.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

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

volatile sig_atomic_t gSdpStop = 0;
void onSdpSignal(int) { gSdpStop = 1; }

void say(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "corelatch-sim: %s\n", message.c_str());
  std::exit(2);
}

bool saveRam(const std::string& path, const std::vector<uint8_t>& bytes) {
  const std::string temp = path + ".tmp";
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = std::fclose(f) == 0 && ok;
  return ok && std::rename(temp.c_str(), path.c_str()) == 0;
}

void sendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  for (int spins = 0; done < bytes.size() && spins < 1000;) {
    ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
    } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
      ++spins;
      usleep(1000);
    } else {
      return;  // nobody reads: lost, as on a real line
    }
  }
}

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
      if (i + 1 >= argc) fail(a + " needs a value");
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
      fail("unknown option for --sdp: " + a + " (see --sdp --help)");
    }
  }
  pid_t parent = getppid();
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) return 0;

  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) fail(std::string("posix_openpt: ") + std::strerror(errno));
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0)
    fail(std::string("pseudo-terminal: ") + std::strerror(errno));
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  // The device keeps its end of the line open so the host may open and close
  // the port at will; raw so nothing is translated.
  int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) fail(std::string("cannot open ") + name + ": " + std::strerror(errno));
  termios t{};
  if (tcgetattr(slave, &t) == 0) {
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    tcsetattr(slave, TCSANOW, &t);
  }

  SdpDevice::Trace tracer = trace ? SdpDevice::Trace(say) : SdpDevice::Trace([](const std::string&) {});
  SdpDevice device(config, tracer);
  auto dump = [&]() {
    if (!device.takeChanged() || dumpDir.empty()) return;
    if (!saveRam(dumpDir + "/ram.bin", device.ram())) fail("cannot write the memory dump in " + dumpDir);
    tracer("dump");
  };
  dump();

  struct sigaction sa{};
  sa.sa_handler = onSdpSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  say(std::string("pty ") + name);
  say("ready");

  while (!gSdpStop) {
    pollfd p{master, POLLIN, 0};
    int n = ::poll(&p, 1, 200);
    if (n < 0 && errno != EINTR) fail(std::string("poll: ") + std::strerror(errno));
    if (n <= 0) continue;
    uint8_t buf[4096];
    ssize_t got = ::read(master, buf, sizeof buf);
    if (got <= 0) continue;
    std::string out = device.receive(buf, static_cast<size_t>(got));
    dump();
    if (!out.empty()) sendAll(master, out);
  }
  say("stats commands=" + std::to_string(device.commands()));
  ::close(slave);
  ::close(master);
  return 0;
}

}  // namespace sim
