// The simulated USB bus of the USB tests: corelatch-sim serving its devices on a
// bus socket in a temporary folder, with CORELATCH_USB_BUS pointing the library
// at it for as long as the object lives.
#pragma once

#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../link/LinkTestSupport.h"

namespace usbtest {

class Bus {
 public:
  explicit Bus(std::vector<std::string> args) : path_(dir_ / "bus.sock") {
    args.insert(args.begin(), {"--usb-bus", path_});
    sim_ = std::make_unique<linktest::Sim>(args);
    setenv("CORELATCH_USB_BUS", path_.c_str(), 1);
  }
  ~Bus() { unsetenv("CORELATCH_USB_BUS"); }

  linktest::Sim& sim() { return *sim_; }
  const std::string& path() const { return path_; }

  // Pulls the device out of the simulated bus, as a user pulls the cable.
  void unplug(uint32_t serial) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    char message[16];
    snprintf(message, sizeof message, "U%08X", serial);
    ASSERT_EQ(send(fd, message, 9, MSG_NOSIGNAL), 9);
    close(fd);
    char text[32];
    snprintf(text, sizeof text, "usb-unplug %08X", serial);
    ASSERT_GE(sim_->waitFor(text), 0);
  }

 private:
  cltest::TempDir dir_;
  std::string path_;
  std::unique_ptr<linktest::Sim> sim_;
};

}  // namespace usbtest
