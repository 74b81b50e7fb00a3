// -B, -L and -G: the builds the server offers, the builds held in the store,
// and the download of one build into the store.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <thread>

#include "firmware/BirdFile.h"
#include "server/ServerCommClass.h"
#include "store/AttributesFile.h"
#include "store/UpdaterStore.h"
#include "updater/UpdaterApp.h"

namespace {

ServerCommClass serverComm(const std::string& caFile) {
  HttpSettings settings;
  settings.caFile = caFile;
  return ServerCommClass(settings);
}

// A build number: leading decimal digits (white space before them allowed,
// anything after them ignored) that fit 32 bits.
bool readBuildNumber(const std::string& text, uint32_t& build) {
  const char* begin = text.c_str();
  while (*begin == ' ' || *begin == '\t') ++begin;
  if (*begin < '0' || *begin > '9') return false;
  errno = 0;
  const unsigned long long value = strtoull(begin, nullptr, 10);
  if (errno == ERANGE || value > UINT32_MAX) return false;
  build = static_cast<uint32_t>(value);
  return true;
}

bool isAllDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

BuildList UpdaterApp::Get_BuildList(uint32_t serial, bool* ok) {
  if (ok) *ok = true;
  BuildList list;
  ServerCommClass comm = serverComm(caFile_);
  if (!comm.ping(serverUrl_.c_str())) {
    displayPrint(display_, kDisplayError, "Server request failed for %s", serverUrl_.c_str());
    if (ok) *ok = false;
    return list;
  }
  if (!comm.GetBuildList(serial, list, serverUrl_.c_str())) {
    displayPrint(display_, kDisplayError, "Failed to retrieve builds for %08X", serial);
    if (ok) *ok = false;
  }
  return list;
}

BuildList UpdaterApp::Get_BuildListLocal(uint32_t serial, bool* ok) {
  if (ok) *ok = true;
  BuildList list;
  std::unique_ptr<UpdaterStore> store = openStore(display_, storeDirectory_, "Get_BuildListLocal");
  if (!store) {
    if (ok) *ok = false;
    return list;
  }
  std::vector<StoreItem> items;
  store->listDeviceItems(serial, items);
  for (const StoreItem& item : items) {
    const std::string build = item.name.substr(0, item.name.find(".bird"));
    std::string version;
    if (!item.parent.empty() && !item.name.empty()) {
      const std::string path = item.parent + "/" + item.name;
      bool loaded = false;
      if (BirdFile::isBirdFile(path)) {
        try {
          version = BirdFile(path).versionText();
          loaded = true;
        } catch (const std::runtime_error&) {
          // An unreadable file is still listed, without a version.
        }
      }
      if (!loaded)
        debugLog(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
      else if (!version.empty())
        debugLog(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
    }
    list.emplace(build, version);
  }
  return list;
}

void UpdaterApp::printBuildList(UpdaterDisplayInterface* display, const BuildList& list,
                                uint32_t serial) {
  if (list.empty()) {
    displayPrint(display, kDisplayInfo, "No builds found for device [%08X]", serial);
    return;
  }
  displayPrint(display, kDisplayInfo, "Build List for device [%08X]:\n", serial);
  displayPrint(display, kDisplayInfo, "%-15.15s\t%-15.15s", "Build", "Version");
  for (const BuildEntry& entry : ServerCommClass::sortBuildsByVersion(list))
    displayPrint(display, kDisplayInfo, "%-15.15s\t%-15.15s", entry.first.c_str(),
                 entry.second.c_str());
}

bool UpdaterApp::Validate_Build(uint32_t serial, uint32_t build, const std::string& serverUrl) {
  BuildList list;
  if (!serverComm(caFile_).GetBuildList(serial, list, serverUrl.c_str())) return false;
  for (const auto& entry : list) {
    uint32_t listed = 0;
    if (!readBuildNumber(entry.first, listed)) {
      debugLog(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
      continue;
    }
    if (listed == build) return true;
  }
  return false;
}

uint32_t UpdaterApp::Download_Firmware(uint32_t serial, const std::string& buildText,
                                       bool overrideModel, bool noCalibration) {
  uint32_t build = 0;
  if (!buildText.empty() && (!isAllDigits(buildText) || !readBuildNumber(buildText, build))) {
    displayPrint(display_, kDisplayError, "Build number '%s' must be an number", buildText.c_str());
    return 0;
  }
  if (serial == 0) {
    displayPrint(display_, kDisplayError, "Serial Number must be non-zero");
    return 0;
  }
  ServerCommClass comm = serverComm(caFile_);
  if (!comm.ping(serverUrl_.c_str())) {
    displayPrint(display_, kDisplayError, "Server request failed for %s", serverUrl_.c_str());
    return 0;
  }
  std::unique_ptr<UpdaterStore> store = openStore(display_, storeDirectory_, "Download_Firmware");
  if (!store) return 0;

  // Only the device's own directory will do: an entry that merely contains
  // the serial number (a file, another name) cannot hold the download. A new
  // device's directory is made only once there is a file to put in it, so a
  // failed download leaves the store as it was.
  StoreItem device;
  const bool known = store->FindDevice(serial, &device) && device.kind == kStoreItemDirectory &&
                     device.name == UpdaterStore::serialText(serial);
  if (!known) debugLog(DEBUG_APP, "Could not find device in our update history.\n");

  std::string latest, token;
  if (!comm.QueryBuild(serial, latest, token, serverUrl_.c_str())) {
    displayPrint(display_, kDisplayError, "No build information for device");
    return 0;
  }
  if (build == 0) {
    if (!readBuildNumber(latest, build))
      debugLog(DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
    // Build 0 is the "failed" answer of this operation, so it cannot be fetched.
    if (build == 0) {
      displayPrint(display_, kDisplayError, "No build information for device");
      return 0;
    }
  }
  displayPrint(display_, kDisplayInfo, "Retrieving build %u", build);
  if (!overrideModel) {
    displayPrint(display_, kDisplayInfo, "Validating build %u with server", build);
    if (!Validate_Build(serial, build, serverUrl_)) {
      displayPrint(display_, kDisplayError, "No valid build %u", build);
      return 0;
    }
    displayPrint(display_, kDisplayInfo, "Build %u is valid", build);
  } else {
    displayPrint(display_, kDisplayInfo, "Override specified, skipping validation of build %u",
                 build);
  }
  const std::string text = std::to_string(build);

  // The request runs on a worker so that this thread can keep the spinner going.
  std::promise<std::pair<bool, std::string>> result;
  std::future<std::pair<bool, std::string>> answer = result.get_future();
  std::thread worker([comm, serial, token, text, url = serverUrl_, noCalibration,
                      result = std::move(result)]() mutable {
    std::string payload;
    bool ok = false;
    try {
      ok = comm.GetBuild(serial, token, text, payload, url.c_str(), noCalibration);
    } catch (const std::exception& e) {
      debugLog(DEBUG_APP, "Download worker: %s\n", e.what());
      payload.clear();
    }
    result.set_value({ok, std::move(payload)});
  });
  display_->showActivity(true, "Downloading");
  while (answer.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
    display_->showActivity(true, "Downloading");
  display_->showActivity(false, "Downloading");
  const auto [ok, payload] = answer.get();
  if (!ok) displayPrint(display_, kDisplayError, "Download failed");
  worker.join();

  // Only a payload that decodes to a loadable BIRD file is kept.
  std::optional<std::vector<uint8_t>> bytes;
  if (!payload.empty()) bytes = ServerCommClass::decodeBase64(payload.data(), payload.size());
  bool valid = bytes && bytes->size() > kBirdHeaderSize &&
               std::equal(bytes->begin(), bytes->begin() + 4, "bird") && (*bytes)[4] != 0 &&
               (*bytes)[5] != 0;
  if (valid) {
    try {
      BirdFile::fromMemory(bytes->data(), bytes->size(), text + ".bird");
    } catch (const std::runtime_error&) {
      valid = false;
    }
  }
  if (!valid) {
    displayPrint(display_, kDisplayError, "Failed to retrieve a valid BIRD file");
    return 0;
  }

  if (!known) {
    try {
      device = store->getDevice(serial);
    } catch (const std::runtime_error&) {
      displayPrint(display_, kDisplayError, "Could not create directory for storing BIRD file");
      return 0;
    }
  }
  const std::string fileName = text + ".bird";
  const std::string now = localTimeText();
  // The store writes beside the final name and renames, so a failed write
  // leaves no partial file; then nothing is recorded either.
  const aErr written = store->writeItem(device, fileName, bytes->data(), bytes->size());
  if (written != aErrNone) {
    displayPrint(display_, kDisplayError, "Failed to write file with %d", static_cast<int>(written));
    return 0;
  }
  device.attributes.set("LATEST_DOWNLOAD", fileName);
  device.attributes.set("LAST_DOWNLOAD_DATE", now);
  const aErr saved = device.attributes.save();
  if (saved != aErrNone)
    displayPrint(display_, kDisplayError, "Failed to record the download in %s with %d",
                 device.attributes.fileName().c_str(), static_cast<int>(saved));
  return build;
}
