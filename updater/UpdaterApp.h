// The application object: every command is one of its operations.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "updater/DiscoveredDevice.h"
#include "updater/UpdaterDisplay.h"

// Build text -> version text, ordered by build text.
using BuildList = std::map<std::string, std::string>;

class UpdaterApp {
 public:
  UpdaterApp(std::string serverUrl, std::string storeDirectory, UpdaterDisplayInterface* display)
      : serverUrl_(std::move(serverUrl)),
        storeDirectory_(std::move(storeDirectory)),
        display_(display) {}

  // -N
  bool Get_Fingerprint(const std::string& port, uint32_t key, const std::string& birdFile,
                       int32_t baudRate, bool verbose, uint32_t words[4]);
  // -G: the build number stored, 0 on failure.
  uint32_t Download_Firmware(uint32_t serial, const std::string& build, bool overrideModel,
                             bool noCalibration);
  // -D
  std::vector<DiscoveredDevice> Discover_Devices(int32_t transport);
  std::vector<DiscoveredDevice> Discover_Network(uint32_t routerSerial, int32_t transport);
  void printDeviceTable(UpdaterDisplayInterface* display, const std::vector<DiscoveredDevice>& list,
                        int32_t transport);
  // -U
  bool Recover_Firmware(const std::string& port, uint32_t build, int32_t baudRate, uint32_t serial,
                        const std::string& birdFile, bool overrideModel);
  bool Update_Firmware(uint32_t serial, uint32_t build, const std::string& birdFile,
                       int32_t moduleAddress, uint32_t routerSerial, bool overrideModel);
  // -B, -L. *ok (when given) turns false when the list could not be read, so
  // that a failed request never ends with status 0.
  BuildList Get_BuildList(uint32_t serial, bool* ok = nullptr);
  BuildList Get_BuildListLocal(uint32_t serial, bool* ok = nullptr);
  void printBuildList(UpdaterDisplayInterface* display, const BuildList& list, uint32_t serial);
  // Whether the server at serverUrl lists the build for the device.
  bool Validate_Build(uint32_t serial, uint32_t build, const std::string& serverUrl);
  // -C: loads a BIRD file and prints what it holds; true when it is sound.
  bool Check_BirdFile(const std::string& birdFile);
  // -I: the stored history and BIRD files of one device, or of every device
  // when serial is 0.
  bool Show_DeviceInfo(uint32_t serial);

  const std::string& serverUrl() const { return serverUrl_; }
  const std::string& storeDirectory() const { return storeDirectory_; }
  UpdaterDisplayInterface* display() const { return display_; }
  void setUseUEIBytes(bool use) { useUEIBytes_ = use; }
  void setCaFile(std::string path) { caFile_ = std::move(path); }
  const std::string& caFile() const { return caFile_; }

 private:
  std::string serverUrl_;
  std::string storeDirectory_;
  UpdaterDisplayInterface* display_;
  uint8_t recoveryChipFamily_ = 0;  // 1 i.MX, 2 NXP; set by the fingerprint step
  bool useUEIBytes_ = false;
  std::string caFile_;
};
