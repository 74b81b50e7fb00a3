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

uint32_t UpdaterApp::Download_Firmware(uint32_t, const std::string&, bool, bool) {
  notBuilt(display_, "-G");
  return 0;
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

BuildList UpdaterApp::Get_BuildList(uint32_t, bool* ok) {
  notBuilt(display_, "-B");
  if (ok) *ok = false;
  return {};
}

BuildList UpdaterApp::Get_BuildListLocal(uint32_t, bool* ok) {
  notBuilt(display_, "-L");
  if (ok) *ok = false;
  return {};
}

void UpdaterApp::printBuildList(UpdaterDisplayInterface*, const BuildList&, uint32_t) {}
