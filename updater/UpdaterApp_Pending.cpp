// Commands whose device or server layers are not built yet: each says so on
// one line and answers failure.
#include "updater/UpdaterApp.h"

namespace {
void notBuilt(UpdaterDisplayInterface* display, const char* command) {
  displayPrint(display, kDisplayError, "The %s command is not built yet", command);
}
}  // namespace

bool UpdaterApp::Get_Fingerprint(const std::string&, uint32_t, const std::string&, int32_t, bool,
                                 uint32_t*) {
  notBuilt(display_, "-N");
  return false;
}

std::vector<DiscoveredDevice> UpdaterApp::Discover_Devices(int32_t) {
  notBuilt(display_, "-D");
  return {};
}

std::vector<DiscoveredDevice> UpdaterApp::Discover_Network(uint32_t, int32_t) {
  notBuilt(display_, "-D");
  return {};
}

void UpdaterApp::printDeviceTable(UpdaterDisplayInterface*, const std::vector<DiscoveredDevice>&,
                                  int32_t) {}

bool UpdaterApp::Recover_Firmware(const std::string&, uint32_t, int32_t, uint32_t,
                                  const std::string&, bool) {
  notBuilt(display_, "-U -t RECOVER");
  return false;
}

bool UpdaterApp::Update_Firmware(uint32_t, uint32_t, const std::string&, int32_t, uint32_t, bool) {
  notBuilt(display_, "-U");
  return false;
}
