// corelatch-sim: a CoreLatch device that lives in a process. It answers the link
// control packets, the system entity, the module queries and the debug echo, sends
// heartbeats, and can be told to misbehave. Tests and benchmarks run it as a child.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "SimDevice.h"
#include "SimPorts.h"
#include "SimIsp.h"
#include "SimSdp.h"
#include "SimUsb.h"

namespace {

const char kHelp[] =
    "Usage: corelatch-sim [options]\n"
    "Emulates one CoreLatch device (or, on a simulated USB bus, several) for tests and\n"
    "benchmarks.\n"
    "\n"
    "Where the device is reached (at least one):\n"
    "  --tcp PORT            listen on TCP PORT for the device's one connection (raw packet\n"
    "                        bytes); 0 lets the system choose. A new connection replaces\n"
    "                        the current one.\n"
    "  --bind ADDRESS        IPv4 address to listen on (default 127.0.0.1)\n"
    "  --pty                 open a pseudo-terminal that acts as the device's serial port\n"
    "                        (framed packets: CRC-8, COBS, 0x00 delimiter)\n"
    "  --usb-bus PATH        serve a simulated USB bus on the Unix-domain socket PATH (the\n"
    "                        library uses it when CORELATCH_USB_BUS=PATH is set); the\n"
    "                        device is on it with the identity below, each --usb-device\n"
    "                        adds one more\n"
    "  --usb-device HEX      one more device on the bus: the same identity with serial\n"
    "                        number HEX (may be repeated)\n"
    "  --usb-max-packet N    max packet size of the bulk endpoints, 8..1024 (default 64)\n"
    "  --isp                 instead of all the above, the serial ROM boot loader of an NXP\n"
    "                        part (ISP dialogue) on a pseudo-terminal; its own options are\n"
    "                        listed by --isp --help\n"
    "  --sdp                 instead of all the above, the boot ROM of an i.MX processor\n"
    "                        (serial download protocol) on a pseudo-terminal; its own\n"
    "                        options are listed by --sdp --help\n"
    "\n"
    "Identity:\n"
    "  --serial HEX          serial number, hexadecimal (default 40F5849A)\n"
    "  --model N             model code (default 13)\n"
    "  --module N            module address, even, 2..254 (default 6)\n"
    "  --router N            router address (default 0)\n"
    "  --firmware VERSION    firmware version as MAJOR.MINOR.PATCH or a packed number\n"
    "                        (default 2.12.4)\n"
    "  --build N             build number (default 1234)\n"
    "  --name TEXT           device name (default corelatch-sim)\n"
    "  --features N          protocol feature bits (default 0; bit 31: pooled packets)\n"
    "  --heartbeat MS        heartbeat interval in milliseconds, 0 for none (default 1000);\n"
    "                        the host can change it through system option 3 (steps of 100 ms)\n"
    "\n"
    "Faults:\n"
    "  --silent              answer nothing and send no heartbeats\n"
    "  --drop-every N        drop every Nth reply (answers to sync requests are not counted)\n"
    "  --corrupt-every N     damage the first byte of every Nth reply, counted as above (an\n"
    "                        odd address on TCP, a frame that fails its check on the pty)\n"
    "  --close-after N       close the first TCP connection after N received packets (with a\n"
    "                        reset, so the host reconnects; later connections stay up)\n"
    "  --close-in-order      close with FIN instead of a reset\n"
    "  --garbage N           send N garbage bytes before the first reply of every connection\n"
    "  --seed N              seed of the garbage bytes (default 1)\n"
    "  --usb-out-limit N     the USB device takes at most N bytes of each OUT transfer\n"
    "  --usb-isochronous     the USB vendor interface also lists an isochronous endpoint\n"
    "                        (a host must refuse it)\n"
    "  --usb-empty-packets   the USB device sends a zero-length IN packet before the bytes\n"
    "                        of every reply and heartbeat\n"
    "\n"
    "Output:\n"
    "  --trace               print every packet and event on standard output\n"
    "  --help                print this text\n"
    "\n"
    "Standard output carries one line per port, \"tcp ADDRESS PORT\", \"pty PATH\" and\n"
    "\"usb-bus PATH\", then\n"
    "\"ready\". With --trace it continues with \"rx BYTES\" (from the host), \"tx BYTES\"\n"
    "(replies), \"hb BYTES\" (heartbeats), \"hb-ok N\", \"hb-bad N\", \"hb-missed N\", \"route V\",\n"
    "\"accept tcp\", \"close tcp REASON\", \"open pty\", \"close pty\", \"drop\", \"corrupt\",\n"
    "\"garbage\", \"bad-frame\", \"usb-open SERIAL in|out\", \"usb-close SERIAL in|out WHY\",\n"
    "\"usb-out N taken N\" (one OUT transfer) and \"usb-unplug SERIAL\" lines. SIGTERM or SIGINT ends the program after a line\n"
    "\"stats rx=N tx=N hb-ok=N\"; the exit status is 0. The program also ends when the\n"
    "process that started it ends.\n";

volatile sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

uint32_t nowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(ts.tv_sec * 1000ull + ts.tv_nsec / 1000000);
}

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "corelatch-sim: %s\n", message.c_str());
  std::exit(2);
}

unsigned long number(const std::string& option, const char* text, int base, unsigned long max) {
  errno = 0;
  char* end = nullptr;
  unsigned long v = std::strtoul(text, &end, base);
  if (errno || !*text || *end || text[0] == '-' || v > max)
    fail("bad value for " + option + ": " + text);
  return v;
}

uint32_t parseVersion(const char* text) {
  unsigned major, minor, patch;
  char extra;
  if (std::sscanf(text, "%u.%u.%u%c", &major, &minor, &patch, &extra) == 3) {
    if (major > 255 || minor > 255 || patch > 255) fail(std::string("bad firmware version: ") + text);
    if (major > 2 || (major == 2 && minor >= 15)) return 0x2F000000u | (major << 16) | (minor << 8) | patch;
    return ((major & 0xF) << 28) | ((minor & 0xF) << 24) | patch;
  }
  return static_cast<uint32_t>(number("--firmware", text, 0, 0xFFFFFFFFul));
}

void say(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--isp") == 0) return sim::ispMain(argc, argv);
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--sdp") == 0) return sim::sdpMain(argc, argv);
  sim::Identity id;
  sim::Faults faults;
  bool wantTcp = false, wantPty = false, trace = false;
  std::string usbBus;
  std::vector<uint32_t> usbSerials;
  sim::UsbOptions usb;
  unsigned long tcpPort = 0;
  std::string bind = "127.0.0.1";

  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) fail(a + " needs a value");
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "--tcp") {
      wantTcp = true;
      tcpPort = number(a, value(), 10, 65535);
    } else if (a == "--usb-bus") {
      usbBus = value();
      if (usbBus.empty()) fail("--usb-bus needs a socket path");
    } else if (a == "--usb-device") {
      usbSerials.push_back(static_cast<uint32_t>(number(a, value(), 16, 0xFFFFFFFFul)));
    } else if (a == "--usb-max-packet") {
      unsigned long m = number(a, value(), 10, 1024);
      if (m < 8) fail("--usb-max-packet must be between 8 and 1024");
      usb.maxPacket = static_cast<uint16_t>(m);
    } else if (a == "--usb-out-limit") {
      usb.outLimit = static_cast<long>(number(a, value(), 10, 1024));
    } else if (a == "--usb-isochronous") {
      usb.isochronous = true;
    } else if (a == "--usb-empty-packets") {
      usb.emptyPackets = true;
    } else if (a == "--bind") {
      bind = value();
    } else if (a == "--pty") {
      wantPty = true;
    } else if (a == "--serial") {
      id.serial = static_cast<uint32_t>(number(a, value(), 16, 0xFFFFFFFFul));
    } else if (a == "--model") {
      id.model = static_cast<uint8_t>(number(a, value(), 0, 255));
    } else if (a == "--module") {
      unsigned long m = number(a, value(), 0, 254);
      if (m == 0 || (m & 1)) fail("--module must be even and between 2 and 254");
      id.module = static_cast<uint8_t>(m);
    } else if (a == "--router") {
      id.router = static_cast<uint8_t>(number(a, value(), 0, 255));
    } else if (a == "--firmware") {
      id.version = parseVersion(value());
    } else if (a == "--build") {
      id.build = static_cast<uint32_t>(number(a, value(), 0, 0xFFFFFFFFul));
    } else if (a == "--name") {
      id.name = value();
      if (id.name.size() > 255) fail("--name is longer than 255 characters");
    } else if (a == "--features") {
      id.features = static_cast<uint32_t>(number(a, value(), 0, 0xFFFFFFFFul));
    } else if (a == "--heartbeat") {
      id.heartbeatMs = static_cast<uint32_t>(number(a, value(), 10, 600000));
    } else if (a == "--silent") {
      faults.silent = true;
    } else if (a == "--drop-every") {
      faults.dropEvery = static_cast<unsigned>(number(a, value(), 10, 1000000));
    } else if (a == "--corrupt-every") {
      faults.corruptEvery = static_cast<unsigned>(number(a, value(), 10, 1000000));
    } else if (a == "--close-after") {
      faults.closeAfter = static_cast<unsigned>(number(a, value(), 10, 1000000000));
    } else if (a == "--close-in-order") {
      faults.closeInOrder = true;
    } else if (a == "--garbage") {
      faults.garbage = static_cast<unsigned>(number(a, value(), 10, 65536));
    } else if (a == "--seed") {
      faults.seed = static_cast<uint32_t>(number(a, value(), 0, 0xFFFFFFFFul));
    } else if (a == "--trace") {
      trace = true;
    } else {
      fail("unknown option " + a + " (see --help)");
    }
  }
  if (!wantTcp && !wantPty && usbBus.empty()) fail("give --tcp PORT, --pty and/or --usb-bus PATH (see --help)");
  // A test that crashes must not leave its device behind: go with the parent.
  pid_t parent = getppid();
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) return 0;

  sim::Trace tracer = trace ? sim::Trace(say) : sim::Trace([](const std::string&) {});
  sim::Device device(id);
  device.setTrace(tracer);

  std::vector<std::unique_ptr<sim::Port>> ports;
  if (wantTcp) {
    auto tcp = std::make_unique<sim::TcpPort>(device, faults, tracer);
    std::string err = tcp->open(bind, static_cast<uint16_t>(tcpPort));
    if (!err.empty()) fail(err);
    say("tcp " + bind + " " + std::to_string(tcp->port()));
    ports.push_back(std::move(tcp));
  }
  if (wantPty) {
    auto pty = std::make_unique<sim::PtyPort>(device, faults, tracer);
    std::string err = pty->open();
    if (!err.empty()) fail(err);
    say("pty " + pty->path());
    ports.push_back(std::move(pty));
  }

  if (!usbBus.empty()) {
    std::vector<sim::Identity> onBus{id};
    for (uint32_t serial : usbSerials) {
      onBus.push_back(id);
      onBus.back().serial = serial;
    }
    auto bus = std::make_unique<sim::UsbBus>(onBus, faults, usb, tracer);
    std::string err = bus->open(usbBus);
    if (!err.empty()) fail(err);
    say("usb-bus " + usbBus);
    ports.push_back(std::move(bus));
  }

  // The stop signals are let through only while waiting, so one cannot slip in
  // between the test of the flag and the wait.
  struct sigaction sa{};
  sa.sa_handler = onSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t blocked, waitMask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  sigprocmask(SIG_BLOCK, &blocked, &waitMask);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGINT);
  say("ready");

  std::vector<pollfd> fds;
  std::vector<size_t> first;
  while (!gStop) {
    fds.clear();
    first.clear();
    uint32_t now = nowMs();
    int timeout = -1;
    for (auto& p : ports) {
      first.push_back(fds.size());
      p->addPollFds(fds);
      int t = p->timeoutMs(now);
      if (t >= 0 && (timeout < 0 || t < timeout)) timeout = t;
    }
    timespec ts{timeout / 1000, (timeout % 1000) * 1000000L};
    int n = ppoll(fds.data(), fds.size(), timeout < 0 ? nullptr : &ts, &waitMask);
    if (n < 0 && errno != EINTR) fail(std::string("poll: ") + std::strerror(errno));
    if (gStop) break;
    if (n < 0) continue;
    now = nowMs();
    for (size_t i = 0; i < ports.size(); ++i) ports[i]->service(fds.data() + first[i], now);
  }

  uint64_t rx = 0, tx = 0, hb = 0;
  for (auto& p : ports) {
    rx += p->session().received();
    tx += p->session().sent();
    hb += p->session().heartbeatsAnswered();
  }
  say("stats rx=" + std::to_string(rx) + " tx=" + std::to_string(tx) + " hb-ok=" + std::to_string(hb));
  return 0;
}
