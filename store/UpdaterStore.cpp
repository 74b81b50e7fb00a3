#include "store/UpdaterStore.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "common/aDirectory.h"
#include "store/ReplaceFile.h"
#include "updater/UpdaterDisplay.h"

const char kStoreSettingsName[] = ".settings";

namespace {

std::string entryName(const std::string& path) {
  const size_t slash = path.rfind(aDIR_SEPARATOR);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string entryParent(const std::string& path) {
  const size_t slash = path.rfind(aDIR_SEPARATOR);
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

StoreItem makeItem(const std::string& parent, const std::string& name, bool isDirectory) {
  StoreItem item;
  item.parent = parent;
  item.name = name;
  item.kind = isDirectory ? kStoreItemDirectory : kStoreItemFile;
  item.attributes.load(storeJoin(item.path(), kStoreSettingsName));
  return item;
}

struct FindContext {
  std::string serial;
  // An entry named exactly SERIAL ends the search; the first entry that only
  // contains it is kept in case no exact one follows.
  bool found = false;
  bool exact = false;
  std::string path;
  bool isDirectory = false;
};

bool findItem(const aDirectoryEntry* entry, void* context) {
  auto* find = static_cast<FindContext*>(context);
  debugLog(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
           int(entry->isDirectory), int(entry->size), find->serial.c_str());
  // Only the entry's own name is searched: a root whose path happens to hold
  // the serial number must not make every entry a match.
  const std::string name = entryName(entry->path);
  if (name.find(find->serial) == std::string::npos) return true;
  if (!find->found || name == find->serial) {
    find->found = true;
    find->exact = name == find->serial;
    find->path = entry->path;
    find->isDirectory = entry->isDirectory != 0;
  }
  return !find->exact;
}

struct ListContext {
  std::vector<StoreItem>* items;
  bool directoriesOnly;
  const char* trace;
};

bool listItems(const aDirectoryEntry* entry, void* context) {
  auto* list = static_cast<ListContext*>(context);
  debugLog(DEBUG_Updater, "%s([%s], %d, %d)\n", list->trace, entry->path, int(entry->isDirectory),
           int(entry->size));
  const std::string name = entryName(entry->path);
  if (name.empty() || name[0] == '.') return true;
  if (list->directoriesOnly && !entry->isDirectory) return true;
  list->items->push_back(makeItem(entryParent(entry->path), name, entry->isDirectory != 0));
  return true;
}

}  // namespace

std::string storeJoin(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (a.back() == aDIR_SEPARATOR || (!b.empty() && b.front() == aDIR_SEPARATOR)) return a + b;
  return a + aDIR_SEPARATOR_STR + b;
}

std::string StoreItem::path() const { return storeJoin(parent, name); }

std::string UpdaterStore::serialText(uint32_t serial) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", serial);
  return text;
}

void UpdaterStore::checkDirectory(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    const aErr err = aDirectory_Ensure(path.c_str(), 0755);
    if (err != aErrNone)
      throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                               std::to_string(int(err)));
    debugLog(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
    return;
  }
  if (!S_ISDIR(status.st_mode))
    throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
  debugLog(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
}

UpdaterStore::UpdaterStore(const std::string& root) : root_(root) { checkDirectory(root_); }

bool UpdaterStore::FindDevice(uint32_t serial, StoreItem* item) {
  FindContext find;
  find.serial = serialText(serial);
  aDirectory_List(root_.c_str(), findItem, &find);
  if (find.found && item)
    *item = makeItem(entryParent(find.path), entryName(find.path), find.isDirectory);
  debugLog(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", find.found ? "Found" : "Not Found",
           find.serial.c_str());
  return find.found;
}

StoreItem UpdaterStore::getDevice(uint32_t serial) {
  const std::string name = serialText(serial);
  checkDirectory(storeJoin(root_, name));
  StoreItem item;
  item.parent = root_;
  item.name = name;
  item.kind = kStoreItemDirectory;
  item.attributes.load(storeJoin(item.path(), kStoreSettingsName));
  return item;
}

bool UpdaterStore::listDeviceItems(uint32_t serial, std::vector<StoreItem>& items) {
  StoreItem device;
  if (!FindDevice(serial, &device)) return true;
  ListContext list{&items, false, "_find_items"};
  aDirectory_List(device.path().c_str(), listItems, &list);
  return true;
}

bool UpdaterStore::listDevices(std::vector<StoreItem>& items) {
  std::vector<StoreItem> found;
  ListContext list{&found, true, "_find_devices"};
  aDirectory_List(root_.c_str(), listItems, &list);
  std::sort(found.begin(), found.end(),
            [](const StoreItem& a, const StoreItem& b) { return a.name < b.name; });
  for (StoreItem& item : found) items.push_back(std::move(item));
  return true;
}

BirdFile UpdaterStore::loadBird(const StoreItem& device, const std::string& fileName) {
  const std::string path = storeJoin(device.path(), fileName);
  if (!BirdFile::isBirdFile(path)) throw std::runtime_error("Invalid bird " + path);
  return BirdFile(path);
}

aErr UpdaterStore::writeItem(const StoreItem& device, const std::string& fileName,
                             const uint8_t* data, size_t length) {
  if (!data) return aErrNotFound;
  // The name must stay inside the device's directory.
  if (fileName.empty() || fileName == "." || fileName == ".." ||
      fileName.find(aDIR_SEPARATOR) != std::string::npos)
    return aErrParam;
  return replaceFileContents(storeJoin(device.path(), fileName), data, length);
}

std::unique_ptr<UpdaterStore> openStore(UpdaterDisplayInterface* display,
                                        const std::string& storeDirectory, const char* tag) {
  try {
    return std::make_unique<UpdaterStore>(storeDirectory);
  } catch (const std::runtime_error& error) {
    displayPrint(display, kDisplayError, "Failed to Create UpdaterStore in: %s - Exception: %s",
                 tag, error.what());
    return nullptr;
  }
}
