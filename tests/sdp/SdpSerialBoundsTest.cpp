// The UART loader on a bare pseudo-terminal whose far end the test plays: a
// line that never drains and a device that never stops talking.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recovery/SDPProtocol.h"

namespace {

class BarePty {
 public:
  BarePty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0 && ptsname_r(master_, name, sizeof name) == 0)
      path_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~BarePty() {
    if (master_ >= 0) close(master_);
  }
  int master() const { return master_; }
  const std::string& path() const { return path_; }

 private:
  int master_ = -1;
  std::string path_;
};

TEST(SdpSerialBounds, ReadOfAnEndlessStreamStops) {
  BarePty pty;
  ASSERT_FALSE(pty.path().empty());
  Serial_SDPLoader loader(pty.path());
  ASSERT_TRUE(loader.open());
  const std::vector<char> flood(sdp::kMaxSerialResponse + 500, 0x55);
  ASSERT_EQ(write(pty.master(), flood.data(), flood.size()), static_cast<ssize_t>(flood.size()));
  std::vector<uint8_t> response{0xAA};
  EXPECT_EQ(loader.read(response, 0), static_cast<int>(sdp::kMaxSerialResponse));
  EXPECT_EQ(response.size(), 1 + sdp::kMaxSerialResponse);
  EXPECT_EQ(response[0], 0xAA);
}

TEST(SdpSerialBounds, WriteToALineThatNeverDrainsGivesUp) {
  BarePty pty;
  ASSERT_FALSE(pty.path().empty());
  Serial_SDPLoader loader(pty.path());
  ASSERT_TRUE(loader.open());
  // Fill the line from a second opening of the port: nobody reads the far end.
  int filler = open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(filler, 0);
  termios t{};
  ASSERT_EQ(tcgetattr(filler, &t), 0);
  cfmakeraw(&t);
  tcsetattr(filler, TCSANOW, &t);
  const std::vector<char> block(4096, 0x11);
  // The line moves bytes on behind the writer's back for a while: fill until a
  // write after a pause still finds no room.
  for (int round = 0; round < 200; ++round) {
    bool moved = false;
    while (write(filler, block.data(), block.size()) > 0) moved = true;
    if (!moved && round > 0) break;
    usleep(20000);
  }
  close(filler);
  EXPECT_EQ(loader.write(sdp::errorStatusReport()), 0);
}

}  // namespace
