// -C (check a BIRD file) and -I (view the stored device information).
#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "common/aDirectory.h"
#include "firmware/BirdFile.h"
#include "store/UpdaterStore.h"
#include "updater/UpdaterApp.h"

namespace {

const char* const kHistoryKeys[] = {"LATEST_DOWNLOAD", "LAST_DOWNLOAD_DATE", "LATEST_TRANSFER",
                                    "LAST_TRANSFER_DATE"};

const char* blockTypeName(uint8_t type) {
  switch (type) {
    case kBirdBlockLoader: return "loader";
    case kBirdBlockFirmware: return "firmware";
    case kBirdBlockSerialRecord: return "serial record";
    case kBirdBlockDescriptor: return "descriptor";
    case kBirdBlockStartAddress: return "start address";
    default: return "other";
  }
}

// Bytes of a file shown on a terminal: anything unprintable becomes a dot.
std::string printable(const uint8_t* bytes, size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? char(bytes[i]) : '.';
  return text;
}

// The payload a block of a known type needs for its fields; 0 for other types.
uint32_t minimumLength(uint8_t type) {
  switch (type) {
    case kBirdBlockLoader:
    case kBirdBlockFirmware:
    case kBirdBlockStartAddress: return 4;
    case kBirdBlockSerialRecord: return kBirdSerialRecordSize;
    case kBirdBlockDescriptor: return kBirdDescriptorSize;
    default: return 0;
  }
}

std::string orNone(const std::string& value) { return value.empty() ? "(none)" : value; }

}  // namespace

bool UpdaterApp::Check_BirdFile(const std::string& birdFile) {
  UpdaterDisplayInterface* d = display_;
  BirdFile bird;
  try {
    bird = BirdFile(birdFile);
  } catch (const std::runtime_error& error) {
    displayPrint(d, kDisplayError, "Could not load BIRD file %s: %s", birdFile.c_str(), error.what());
    return false;
  }

  displayPrint(d, kDisplayInfo, "BIRD file: %s", bird.path().c_str());
  const uint8_t header[6] = {uint8_t(bird.magic() >> 24), uint8_t(bird.magic() >> 16),
                             uint8_t(bird.magic() >> 8),  uint8_t(bird.magic()),
                             uint8_t(bird.headerWord() >> 8), uint8_t(bird.headerWord())};
  const bool headerValid = bird.magic() == kBirdMagic && header[4] != 0 && header[5] != 0;
  displayPrint(d, kDisplayInfo, "Header: %02X %02X %02X %02X %02X %02X (\"%s\", bytes %02X %02X) %s",
               header[0], header[1], header[2], header[3], header[4], header[5],
               printable(header, 4).c_str(), header[4], header[5],
               headerValid ? "valid" : "not a BIRD header");
  displayPrint(d, kDisplayInfo, "Size: %u bytes in the file, %u bytes inflated", bird.fileSize(),
               bird.bodyLength());
  displayPrint(d, kDisplayInfo, "Blocks: %d parsed, %u reported", bird.blockCount(),
               bird.reportedBlockCount());
  if (!bird.blocks().empty()) {
    displayPrint(d, kDisplayInfo, "  %-4s %-17s %-5s %-10s %s", "#", "Type", "Flags", "Length",
                 "Address");
    int index = 0;
    for (const BirdBlock& block : bird.blocks()) {
      char address[16] = "-";
      if ((block.type == kBirdBlockLoader || block.type == kBirdBlockFirmware) && block.length >= 4)
        snprintf(address, sizeof address, "0x%08X", block.address);
      else if (block.type == kBirdBlockStartAddress && block.length >= 4)
        snprintf(address, sizeof address, "0x%08X",
                 (uint32_t(block.payload[0]) << 24) | (uint32_t(block.payload[1]) << 16) |
                     (uint32_t(block.payload[2]) << 8) | uint32_t(block.payload[3]));
      char type[24];
      snprintf(type, sizeof type, "%u %s", block.type, blockTypeName(block.type));
      displayPrint(d, kDisplayInfo, "  %-4d %-17s %-5u %-10u %s", index++, type, block.flags,
                   block.length, address);
    }
  }

  if (const BirdBlock* descriptor = bird.descriptor()) {
    static const char* const kFields[4] = {"Title", "Version", "Serial", "Model"};
    displayPrint(d, kDisplayInfo, "Descriptor:");
    for (size_t field = 0; field < 4; ++field)
      displayPrint(d, kDisplayInfo, "  %-8s [%s]", kFields[field],
                   printable(descriptor->payload + field * kBirdDescriptorFieldSize,
                             kBirdDescriptorFieldSize)
                       .c_str());
    displayPrint(d, kDisplayInfo, "  Version text: %s", orNone(bird.versionText()).c_str());
  } else {
    displayPrint(d, kDisplayInfo, "Descriptor: none");
  }
  if (bird.hasSerialRecord())
    displayPrint(d, kDisplayInfo,
                 "Serial-number record: serial number at 0x%08X, descriptor at 0x%08X",
                 bird.serialNumberAddress(), bird.descriptorAddress());
  else
    displayPrint(d, kDisplayInfo, "Serial-number record: none");
  if (bird.hasChecksum())
    displayPrint(d, kDisplayInfo, "Checksum: %08X", bird.checksum());
  else
    displayPrint(d, kDisplayInfo, "Checksum: missing");

  std::string problems;
  auto addProblem = [&problems](const std::string& text) {
    if (!problems.empty()) problems += "; ";
    problems += text;
  };
  if (!headerValid) addProblem("not a BIRD header");
  if (bird.blockCount() == 0) addProblem("no blocks");
  if (!bird.parseVerdict()) addProblem(bird.parseProblem());
  // The loader passes over a block too short for its fields as if it were not
  // there, so a file holding one is not what its author meant.
  for (size_t i = 0; i < bird.blocks().size(); ++i) {
    const BirdBlock& block = bird.blocks()[i];
    if (block.length < minimumLength(block.type))
      addProblem("block " + std::to_string(i) + " (" + blockTypeName(block.type) + ") shorter than " +
                 std::to_string(minimumLength(block.type)) + " bytes");
  }
  if (problems.empty()) {
    displayPrint(d, kDisplayInfo, "Result: OK");
    return true;
  }
  displayPrint(d, kDisplayInfo, "Result: FAILED (%s)", problems.c_str());
  return false;
}

bool UpdaterApp::Show_DeviceInfo(uint32_t serial) {
  UpdaterDisplayInterface* d = display_;
  std::unique_ptr<UpdaterStore> store = openStore(d, storeDirectory_, "Show_DeviceInfo");
  if (!store) return false;
  displayPrint(d, kDisplayInfo, "Store directory: %s", store->root().c_str());

  if (serial == 0) {
    std::vector<StoreItem> devices;
    store->listDevices(devices);
    if (devices.empty()) {
      displayPrint(d, kDisplayInfo, "No devices in the store");
      return true;
    }
    displayPrint(d, kDisplayInfo, "%-10s %-20s %-26s %-20s %s", "Device", "Latest download",
                 "Download date", "Latest transfer", "Transfer date");
    for (const StoreItem& device : devices) {
      const AttributesFile& a = device.attributes;
      displayPrint(d, kDisplayInfo, "%-10s %-20s %-26s %-20s %s", device.name.c_str(),
                   orNone(a.getString("LATEST_DOWNLOAD")).c_str(),
                   orNone(a.getString("LAST_DOWNLOAD_DATE")).c_str(),
                   orNone(a.getString("LATEST_TRANSFER")).c_str(),
                   orNone(a.getString("LAST_TRANSFER_DATE")).c_str());
    }
    return true;
  }

  const std::string serialText = UpdaterStore::serialText(serial);
  const std::string directory = storeJoin(store->root(), serialText);
  if (!aDirectory_Exists(directory.c_str())) {
    displayPrint(d, kDisplayInfo, "No stored information for device [%s]", serialText.c_str());
    return true;
  }
  StoreItem device;
  try {
    device = store->getDevice(serial);
  } catch (const std::runtime_error& error) {
    displayPrint(d, kDisplayError, "Could not open the store directory of device %s: %s",
                 serialText.c_str(), error.what());
    return false;
  }
  displayPrint(d, kDisplayInfo, "Device %s: %s", serialText.c_str(), device.path().c_str());
  for (const char* key : kHistoryKeys)
    displayPrint(d, kDisplayInfo, "  %-20s %s", key,
                 orNone(device.attributes.getString(key)).c_str());

  std::vector<StoreItem> items;
  store->listDeviceItems(serial, items);
  std::vector<std::pair<std::string, std::string>> birds;  // name, version
  for (const StoreItem& item : items) {
    if (item.kind != kStoreItemFile || !BirdFile::isBirdFile(item.path())) continue;
    std::string version;
    try {
      version = orNone(BirdFile(item.path()).versionText());
    } catch (const std::runtime_error&) {
      version = "(cannot be loaded)";
    }
    birds.emplace_back(item.name, version);
  }
  // Builds in numeric order (99.bird before 100.bird), other names after them.
  auto buildOf = [](const std::string& name) {
    const bool numbered = !name.empty() && name[0] >= '0' && name[0] <= '9';
    return std::make_pair(!numbered, numbered ? std::strtoull(name.c_str(), nullptr, 10) : 0ULL);
  };
  std::sort(birds.begin(), birds.end(), [&buildOf](const auto& a, const auto& b) {
    const auto ka = buildOf(a.first), kb = buildOf(b.first);
    return ka != kb ? ka < kb : a.first < b.first;
  });
  if (birds.empty()) {
    displayPrint(d, kDisplayInfo, "  BIRD files: none");
    return true;
  }
  displayPrint(d, kDisplayInfo, "  BIRD files:");
  for (const auto& [name, version] : birds)
    displayPrint(d, kDisplayInfo, "    %-20s version %s", name.c_str(), version.c_str());
  return true;
}
