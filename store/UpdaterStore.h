// The per-user store: one directory per device serial number ("%08X") holding
// the device's BIRD files (BUILD ".bird") and its ".settings" history file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/aError.h"
#include "firmware/BirdFile.h"
#include "store/AttributesFile.h"

class UpdaterDisplayInterface;

enum : uint8_t {
  kStoreItemFile = 0,
  kStoreItemDirectory = 1,
  kStoreItemUnset = 2,
};

// One entry of the store: a device directory, or an entry of one.
struct StoreItem {
  std::string parent;  // the directory holding the entry (the root for a device)
  std::string name;    // the entry's name (SERIAL for a device)
  uint8_t kind = kStoreItemUnset;
  AttributesFile attributes;  // loaded from parent / name / ".settings"

  std::string path() const;
};

// The name of the attributes file in each directory.
extern const char kStoreSettingsName[];  // ".settings"

class UpdaterStore {
 public:
  // Creates the root with its missing parents; throws std::runtime_error when
  // it cannot be created or is a file.
  explicit UpdaterStore(const std::string& root);

  // Whether the root holds an entry for the serial number; fills item when given.
  bool FindDevice(uint32_t serial, StoreItem* item = nullptr);
  // The device's item, its directory created when missing, attributes loaded.
  StoreItem getDevice(uint32_t serial);
  // Appends one item per entry of the device's directory; always true.
  bool listDeviceItems(uint32_t serial, std::vector<StoreItem>& items);
  // Appends one item per device directory of the root (names not starting with a dot).
  bool listDevices(std::vector<StoreItem>& items);
  // The BIRD file parent / name / fileName; throws "Invalid bird <path>" when it
  // is not one, and the loader's error when it cannot be loaded.
  BirdFile loadBird(const StoreItem& device, const std::string& fileName);
  // Replaces parent / name / fileName with the buffer. aErrNotFound for a null
  // buffer or a file that cannot be created, aErrParam for a name that is not
  // a plain file name; a failed write leaves any earlier file intact.
  aErr writeItem(const StoreItem& device, const std::string& fileName, const uint8_t* data,
                 size_t length);

  const std::string& root() const { return root_; }

  // "%08X"
  static std::string serialText(uint32_t serial);

 private:
  static void checkDirectory(const std::string& path);

  std::string root_;
};

// Opens the store for one operation; on failure prints "Failed to Create
// UpdaterStore in: <tag> - Exception: <reason>" and answers nothing.
std::unique_ptr<UpdaterStore> openStore(UpdaterDisplayInterface* display,
                                        const std::string& storeDirectory, const char* tag);

// a / b with one separator between them.
std::string storeJoin(const std::string& a, const std::string& b);
