#include "SimRomLine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

volatile sig_atomic_t gRomStop = 0;
void onRomSignal(int) { gRomStop = 1; }

// A full line drops what nobody reads, as a real line would.
void writeLine(int fd, const std::string& bytes) {
  size_t done = 0;
  for (int spins = 0; done < bytes.size() && spins < 1000;) {
    ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
    } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
      ++spins;
      usleep(1000);
    } else {
      return;
    }
  }
}

}  // namespace

void romSay(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void romFail(const std::string& message) {
  std::fprintf(stderr, "corelatch-sim: %s\n", message.c_str());
  std::exit(2);
}

bool writeDump(const std::string& path, const std::vector<uint8_t>& bytes) {
  const std::string temp = path + ".tmp";
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = std::fclose(f) == 0 && ok;
  return ok && std::rename(temp.c_str(), path.c_str()) == 0;
}

bool runRomLine(const std::function<std::string(const uint8_t*, size_t)>& receive,
                const std::function<void()>& afterEach) {
  pid_t parent = getppid();
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) return false;

  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) romFail(std::string("posix_openpt: ") + std::strerror(errno));
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0)
    romFail(std::string("pseudo-terminal: ") + std::strerror(errno));
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  // The device keeps its end of the line open, so the host may close and open
  // the port at will without hanging the line up; raw so nothing is translated.
  int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) romFail(std::string("cannot open ") + name + ": " + std::strerror(errno));
  termios t{};
  if (tcgetattr(slave, &t) == 0) {
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    tcsetattr(slave, TCSANOW, &t);
  }

  struct sigaction sa{};
  sa.sa_handler = onRomSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  romSay(std::string("pty ") + name);
  romSay("ready");

  while (!gRomStop) {
    pollfd p{master, POLLIN, 0};
    int n = ::poll(&p, 1, 200);
    if (n < 0 && errno != EINTR) romFail(std::string("poll: ") + std::strerror(errno));
    if (n <= 0) continue;
    uint8_t buf[4096];
    ssize_t got = ::read(master, buf, sizeof buf);
    if (got <= 0) continue;
    std::string out = receive(buf, static_cast<size_t>(got));
    afterEach();
    if (!out.empty()) writeLine(master, out);
  }
  ::close(slave);
  ::close(master);
  return true;
}

}  // namespace sim
