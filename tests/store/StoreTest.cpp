// The store on a temporary root: directories, device search and listing,
// attribute files (lenient reading, sorted writing) and saves that never lose
// the old file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <stdexcept>

#include "../firmware/TraceCapture.h"
#include "TestSupport.h"
#include "firmware/BirdWriter.h"
#include "store/AttributesFile.h"
#include "store/UpdaterStore.h"

namespace {

using cltest::pathExists;
using cltest::readFile;
using cltest::TempDir;
using cltest::writeFile;
namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::vector<std::string> namesIn(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(directory)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

const std::regex kTimeText(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 123][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4})");

// ---------------------------------------------------------------------------
// Opening the store

TEST(StoreRoot, CreatedWithParentsThenFound) {
  TempDir dir;
  const std::string root = dir / "a/b/updater";
  {
    TraceCapture trace(DEBUG_Updater);
    UpdaterStore store(root);
    EXPECT_TRUE(cltest::isDirectory(root));
    EXPECT_EQ(trace.text(), "UpdaterStore: Created directory [" + root + "].\n");
  }
  TraceCapture trace(DEBUG_Updater);
  UpdaterStore again(root);
  EXPECT_EQ(trace.text(), "UpdaterStore: [" + root + "] already exists.\n");
}

TEST(StoreRoot, FailuresThrowTheirText) {
  TempDir dir;
  writeFile(dir / "file", "x");
  try {
    UpdaterStore store(dir / "file");
    ADD_FAILURE() << "opened a file as the root";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "UpdaterStore: " + (dir / "file") + " exists and is a file");
  }
  try {
    UpdaterStore store(dir / "file/below");
    ADD_FAILURE() << "created a directory below a file";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("UpdaterStore: Could not create directory " +
                                              (dir / "file/below") + " error ",
                                          0),
              0u)
        << e.what();
  }
}

TEST(StoreRoot, OpenStoreReportsAndAnswersNothing) {
  struct Recorder : UpdaterDisplayInterface {
    void clearLine(bool) override {}
    void showProgress(double, const char*) override {}
    void showActivity(bool, const char*) override {}
    void showMessage(const char* t) override { messages += t; }
    void showError(const char* t) override { errors += t; }
    std::string messages, errors;
  } display;
  TempDir dir;
  writeFile(dir / "file", "x");
  EXPECT_EQ(openStore(&display, dir / "file", "Download_Firmware"), nullptr);
  EXPECT_EQ(display.errors, "Failed to Create UpdaterStore in: Download_Firmware - Exception: "
                            "UpdaterStore: " + (dir / "file") + " exists and is a file");
  EXPECT_NE(openStore(&display, dir / "ok", "x"), nullptr);
}

// ---------------------------------------------------------------------------
// FindDevice

TEST(StoreFindDevice, SubstringRules) {
  struct Case {
    const char* name;
    std::vector<std::string> dirs;
    std::vector<std::string> files;
    uint32_t serial;
    bool found;
    const char* foundName;
    uint8_t kind;
  };
  const Case cases[] = {
      {"device directory", {"40F5849A"}, {}, 0x40F5849A, true, "40F5849A", kStoreItemDirectory},
      {"shifted digits do not match", {"40F5849A"}, {}, 0x0F5849A0, false, "", 0},
      {"file holding the serial", {}, {"40F5849A.txt"}, 0x40F5849A, true, "40F5849A.txt",
       kStoreItemFile},
      {"lower case does not match", {"40f5849a"}, {}, 0x40F5849A, false, "", 0},
      {"exact directory wins over a file", {"40F5849A"}, {"40F5849A.txt", "x40F5849A"}, 0x40F5849A,
       true, "40F5849A", kStoreItemDirectory},
      {"short serial padded", {"0000ABCD"}, {}, 0xABCD, true, "0000ABCD", kStoreItemDirectory},
      {"empty root", {}, {}, 0x1, false, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    UpdaterStore store(dir.path());
    for (const auto& d : c.dirs) fs::create_directory(dir / d);
    for (const auto& f : c.files) writeFile(dir / f, "x");
    StoreItem item;
    EXPECT_EQ(store.FindDevice(c.serial, &item), c.found);
    EXPECT_EQ(store.FindDevice(c.serial), c.found);
    if (!c.found) {
      EXPECT_EQ(item.kind, kStoreItemUnset);
      continue;
    }
    EXPECT_EQ(item.parent, dir.path());
    EXPECT_EQ(item.name, c.foundName);
    EXPECT_EQ(item.kind, c.kind);
  }
}

TEST(StoreFindDevice, RootPathHoldingTheSerialMatchesNothingByItself) {
  TempDir dir;
  UpdaterStore store(dir / "40F5849A/updater");
  fs::create_directory(dir / "40F5849A/updater/11111111");
  EXPECT_FALSE(store.FindDevice(0x40F5849A));
}

TEST(StoreFindDevice, Traces) {
  TempDir dir;
  UpdaterStore store(dir.path());
  fs::create_directory(dir / "40F5849A");
  TraceCapture trace(DEBUG_Updater);
  EXPECT_TRUE(store.FindDevice(0x40F5849A));
  EXPECT_FALSE(store.FindDevice(0x12345678));
  const std::string text = trace.text();
  EXPECT_TRUE(contains(text, "_find_item([" + (dir / "40F5849A") + "], 1, "));
  EXPECT_TRUE(contains(text, "searching for 40F5849A\n"));
  EXPECT_TRUE(contains(text, "UpdaterStore: FindDevice Found 40F5849A.\n"));
  EXPECT_TRUE(contains(text, "UpdaterStore: FindDevice Not Found 12345678.\n"));
}

TEST(StoreFindDevice, MissingRootFindsNothing) {
  TempDir dir;
  UpdaterStore store(dir / "root");
  fs::remove(dir / "root");
  EXPECT_FALSE(store.FindDevice(0x40F5849A));
  std::vector<StoreItem> items;
  EXPECT_TRUE(store.listDeviceItems(0x40F5849A, items));
  EXPECT_TRUE(items.empty());
}

// ---------------------------------------------------------------------------
// getDevice, listDeviceItems, listDevices

TEST(StoreDevice, GetDeviceCreatesDirectoryAndSettings) {
  TempDir dir;
  UpdaterStore store(dir.path());
  StoreItem device = store.getDevice(0x40F5849A);
  EXPECT_EQ(device.parent, dir.path());
  EXPECT_EQ(device.name, "40F5849A");
  EXPECT_EQ(device.kind, kStoreItemDirectory);
  EXPECT_EQ(device.attributes.fileName(), dir / "40F5849A/.settings");
  const std::string settings = readFile(dir / "40F5849A/.settings");
  EXPECT_TRUE(std::regex_match(settings, std::regex("CREATED_TIME=.{24}\nUPDATED_TIME=.{24}\n")))
      << settings;
  EXPECT_TRUE(std::regex_match(device.attributes.getString("CREATED_TIME"), kTimeText));
  EXPECT_FALSE(device.attributes.dirty());

  writeFile(dir / "DEADDEAD", "not a directory");
  EXPECT_THROW(store.getDevice(0xDEADDEAD), std::runtime_error);
}

TEST(StoreDevice, ListSkipsDotEntries) {
  TempDir dir;
  UpdaterStore store(dir.path());
  store.getDevice(0x40F5849A);
  const std::string device = dir / "40F5849A";
  writeFile(device + "/5.bird", "bird");
  writeFile(device + "/notes.txt", "n");
  writeFile(device + "/.hidden", "h");
  fs::create_directory(device + "/sub");
  fs::create_directory(device + "/.git");

  std::vector<StoreItem> items;
  EXPECT_TRUE(store.listDeviceItems(0x40F5849A, items));
  std::map<std::string, const StoreItem*> byName;
  for (const auto& item : items) byName[item.name] = &item;
  ASSERT_EQ(byName.size(), 3u);
  ASSERT_TRUE(byName.count("5.bird") && byName.count("notes.txt") && byName.count("sub"));
  EXPECT_EQ(byName["5.bird"]->kind, kStoreItemFile);
  EXPECT_EQ(byName["5.bird"]->parent, device);
  EXPECT_EQ(byName["sub"]->kind, kStoreItemDirectory);
  // A file's attributes live in memory only; nothing is made on disk for them.
  EXPECT_TRUE(byName["5.bird"]->attributes.entries().count("CREATED_TIME"));
  EXPECT_TRUE(byName["5.bird"]->attributes.entries().count("UPDATED_TIME"));
  EXPECT_TRUE(cltest::pathExists(device + "/sub/.settings"));
  EXPECT_EQ(namesIn(device),
            (std::vector<std::string>{".git", ".hidden", ".settings", "5.bird", "notes.txt", "sub"}));

  std::vector<StoreItem> none;
  EXPECT_TRUE(store.listDeviceItems(0x11111111, none));
  EXPECT_TRUE(none.empty());
}

TEST(StoreDevice, ListDevicesTakesDirectoriesInNameOrder) {
  TempDir dir;
  UpdaterStore store(dir.path());
  store.getDevice(0xDEADDEAD);
  store.getDevice(0x40F5849A);
  writeFile(dir / "stray.txt", "x");
  fs::create_directory(dir / ".cache");
  std::vector<StoreItem> devices;
  EXPECT_TRUE(store.listDevices(devices));
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].name, "40F5849A");
  EXPECT_EQ(devices[1].name, "DEADDEAD");
}

TEST(StoreDevice, LoadBird) {
  TempDir dir;
  UpdaterStore store(dir.path());
  StoreItem device = store.getDevice(0x40F5849A);
  BirdWriter().addDescriptor("t", "2.10.4", "", "ABC").addFirmware(0, {1}).writeFile(
      device.path() + "/5.bird");
  EXPECT_EQ(store.loadBird(device, "5.bird").versionText(), "2.10.4");

  writeFile(device.path() + "/notes.txt", "hello, world");
  try {
    store.loadBird(device, "notes.txt");
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Invalid bird " + device.path() + "/notes.txt");
  }
  writeFile(device.path() + "/broken.bird", "bird\x01\x01garbage");
  try {
    store.loadBird(device, "broken.bird");
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to load bird data");
  }
}

TEST(StoreDevice, WriteItem) {
  TempDir dir;
  UpdaterStore store(dir.path());
  StoreItem device = store.getDevice(0x40F5849A);
  const uint8_t data[] = {1, 2, 3, 0, 5};
  EXPECT_EQ(store.writeItem(device, "7.bird", data, sizeof data), aErrNone);
  EXPECT_EQ(readFile(device.path() + "/7.bird"), std::string("\x01\x02\x03\x00\x05", 5));
  EXPECT_EQ(store.writeItem(device, "7.bird", data, 2), aErrNone);
  EXPECT_EQ(readFile(device.path() + "/7.bird"), "\x01\x02");
  EXPECT_EQ(store.writeItem(device, "empty.bird", data, 0), aErrNone);
  EXPECT_EQ(readFile(device.path() + "/empty.bird"), "");

  EXPECT_EQ(store.writeItem(device, "8.bird", nullptr, 4), aErrNotFound);
  EXPECT_FALSE(pathExists(device.path() + "/8.bird"));
  StoreItem gone = device;
  gone.name = "missing";
  EXPECT_EQ(store.writeItem(gone, "8.bird", data, 4), aErrNotFound);
  for (const char* name : {"../escape.bird", "a/b", "", "..", "."})
    EXPECT_EQ(store.writeItem(device, name, data, 4), aErrParam) << name;
  EXPECT_FALSE(pathExists(dir / "escape.bird"));
  EXPECT_EQ(namesIn(device.path()),
            (std::vector<std::string>{".settings", "7.bird", "empty.bird"}));
}

// ---------------------------------------------------------------------------
// AttributesFile reading

TEST(Attributes, ReadingTable) {
  struct Case {
    const char* name;
    std::string text;
    std::map<std::string, std::string> expected;
  };
  const Case cases[] = {
      {"padded key and value with CR LF", "  LATEST_DOWNLOAD =  99528558.bird  \r\n",
       {{"LATEST_DOWNLOAD", "99528558.bird"}}},
      {"comment with an equals sign", "#A=1\nB=2\n", {{"B", "2"}}},
      {"short lines", "a\n\nB=2\n", {{"B", "2"}}},
      {"one-letter key with empty value", "k=\n", {{"k", ""}}},
      {"last line wins", "K=1\nK=2\n", {{"K", "2"}}},
      {"no line feed at the end", "A=1\nB=2", {{"A", "1"}, {"B", "2"}}},
      {"line without equals skipped", "just text\nA=1\n", {{"A", "1"}}},
      {"empty key skipped", "=value\n   = v\nA=1\n", {{"A", "1"}}},
      {"value keeps inner spaces and equals", "A= x = y \n", {{"A", "x = y"}}},
      {"tabs and form feeds", "\tA\t=\t1\f\n", {{"A", "1"}}},
      {"indented hash is a key", "  #A=1\n", {{"#A", "1"}}},
      {"two-byte line without line feed", "A=", {}},
      {"three bytes without line feed", "A=1", {{"A", "1"}}},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir / "attrs", c.text);
    AttributesFile attributes;
    EXPECT_EQ(attributes.load(dir / "attrs"), aErrNone);
    EXPECT_EQ(attributes.entries(), c.expected);
    EXPECT_FALSE(attributes.dirty());
    EXPECT_EQ(attributes.fileName(), dir / "attrs");
  }
}

TEST(Attributes, OverlongLineEndsTheLoad) {
  TempDir dir;
  const std::string fits = "B=" + std::string(2044, 'x');   // 2046 characters and a line feed
  const std::string tooLong = "C=" + std::string(2045, 'y');  // 2047 characters
  writeFile(dir / "a", "A=1\n" + fits + "\n" + tooLong + "\nD=4\n");
  AttributesFile attributes(dir / "a");
  EXPECT_EQ(attributes.getString("A"), "1");
  EXPECT_EQ(attributes.getString("B").size(), 2044u);
  EXPECT_EQ(attributes.entries().count("C"), 0u);
  EXPECT_EQ(attributes.entries().count("D"), 0u);
}

TEST(Attributes, LoadAddsToEntriesInMemory) {
  TempDir dir;
  writeFile(dir / "a", "A=file\n");
  AttributesFile attributes;
  attributes.set("A", "memory");
  attributes.set("M", "kept");
  attributes.load(dir / "a");
  EXPECT_EQ(attributes.getString("A"), "file");
  EXPECT_EQ(attributes.getString("M"), "kept");
  EXPECT_FALSE(attributes.dirty());
}

TEST(Attributes, MissingFileIsCreated) {
  TempDir dir;
  TraceCapture trace(DEBUG_Attributes);
  AttributesFile attributes;
  EXPECT_EQ(attributes.load(dir / "new"), aErrParam);
  EXPECT_TRUE(contains(trace.text(), "Attibutes: Error - cannot open attributes file: '" +
                                         (dir / "new") + "' (2)\n"));
  EXPECT_FALSE(attributes.dirty());
  EXPECT_EQ(attributes.fileName(), dir / "new");
  EXPECT_TRUE(std::regex_match(readFile(dir / "new"),
                               std::regex("CREATED_TIME=.{24}\nUPDATED_TIME=.{24}\n")));
}

TEST(Attributes, UncreatableFileStaysInMemory) {
  TempDir dir;
  TraceCapture trace(DEBUG_Attributes);
  AttributesFile attributes;
  EXPECT_EQ(attributes.load(dir / "no/such/dir/.settings"), aErrParam);
  EXPECT_TRUE(contains(trace.text(), "Attibutes: Error - cannot open attributes file for writting: '" +
                                         (dir / "no/such/dir/.settings") + "' (2)\n"));
  EXPECT_EQ(attributes.entries().size(), 2u);
  EXPECT_FALSE(pathExists(dir / "no"));
}

// ---------------------------------------------------------------------------
// set, getString, getInt

TEST(Attributes, GetString) {
  AttributesFile attributes;
  attributes.set("A", "1");
  EXPECT_EQ(attributes.getString("A", "d"), "1");
  EXPECT_EQ(attributes.getString("Z", "d"), "d");
  EXPECT_EQ(attributes.getString("Z"), "");
  EXPECT_EQ(attributes.entries().count("Z"), 0u);
}

TEST(Attributes, GetIntTable) {
  struct Case {
    const char* value;
    int64_t expected;
  };
  const Case cases[] = {
      {"99528558.bird", 99528558}, {"  -12abc", -12}, {"+7", 7},       {"abc", 0},
      {"", 55},                    {" ", 0},          {"4294967295", 4294967295LL},
      {"99999999999999999999999", INT64_MAX},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    AttributesFile attributes;
    attributes.set("K", c.value);
    EXPECT_EQ(attributes.getInt("K", 55), c.expected);
  }
}

TEST(Attributes, GetIntOfAbsentKeyCreatesItEmpty) {
  TempDir dir;
  writeFile(dir / "a", "A=1\n");
  AttributesFile attributes(dir / "a");
  EXPECT_EQ(attributes.getInt("LATEST_TRANSFER", 42), 42);
  EXPECT_FALSE(attributes.dirty());
  EXPECT_EQ(attributes.save(), aErrNone);
  EXPECT_EQ(readFile(dir / "a"), "A=1\nLATEST_TRANSFER=\n");
}

TEST(Attributes, SaveWritesSortedLinesAndUpdatedTime) {
  TempDir dir;
  writeFile(dir / "a", "");
  AttributesFile attributes(dir / "a");
  attributes.set("B", "2");
  attributes.set("A", "1 and more");
  EXPECT_TRUE(attributes.dirty());
  EXPECT_EQ(attributes.save(), aErrNone);
  EXPECT_FALSE(attributes.dirty());
  EXPECT_TRUE(std::regex_match(readFile(dir / "a"),
                               std::regex("A=1 and more\nB=2\nUPDATED_TIME=.{24}\n")))
      << readFile(dir / "a");
}

TEST(Attributes, UnchangedSetWritesNoUpdatedTime) {
  TempDir dir;
  writeFile(dir / "a", "A=1\n");
  AttributesFile attributes(dir / "a");
  attributes.set("A", "1");
  attributes.set("NEW", "");
  EXPECT_FALSE(attributes.dirty());
  EXPECT_EQ(attributes.save(), aErrNone);
  EXPECT_EQ(readFile(dir / "a"), "A=1\nNEW=\n");
}

TEST(Attributes, SaveToAnotherPathMovesTheFileName) {
  TempDir dir;
  AttributesFile attributes;
  attributes.set("A", "1");
  EXPECT_EQ(attributes.save(dir / "b"), aErrNone);
  EXPECT_EQ(attributes.fileName(), dir / "b");
  EXPECT_TRUE(contains(readFile(dir / "b"), "A=1\n"));
}

// ---------------------------------------------------------------------------
// Crash safety: a failed save leaves the old file whole

// Lowers the largest file size this process may write, so that writes fail as
// on a full disk; restores it on destruction.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  sighandler_t previous_;
};

TEST(StoreCrashSafety, FailedAttributeSaveKeepsTheOldFile) {
  TempDir dir;
  const std::string old = "A=1\nLATEST_DOWNLOAD=5.bird\n";
  writeFile(dir / ".settings", old);
  AttributesFile attributes(dir / ".settings");
  attributes.set("LATEST_DOWNLOAD", std::string(20000, '9') + ".bird");
  aErr err;
  {
    FileSizeLimit limit(4096);
    err = attributes.save();
  }
  EXPECT_NE(err, aErrNone);
  EXPECT_EQ(readFile(dir / ".settings"), old);
  EXPECT_TRUE(attributes.dirty());  // the change is still to be saved
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{".settings"});  // no leftovers
  EXPECT_EQ(attributes.save(), aErrNone);
  EXPECT_TRUE(contains(readFile(dir / ".settings"), std::string(20000, '9')));
}

TEST(StoreCrashSafety, FailedWriteItemKeepsTheOldFile) {
  TempDir dir;
  UpdaterStore store(dir.path());
  StoreItem device = store.getDevice(0x40F5849A);
  const std::string old = "old firmware";
  writeFile(device.path() + "/9.bird", old);
  const std::vector<uint8_t> big(100000, 0x42);
  aErr err;
  {
    FileSizeLimit limit(8192);
    err = store.writeItem(device, "9.bird", big.data(), big.size());
  }
  EXPECT_NE(err, aErrNone);
  EXPECT_EQ(readFile(device.path() + "/9.bird"), old);
  EXPECT_EQ(namesIn(device.path()), (std::vector<std::string>{".settings", "9.bird"}));
}

TEST(StoreCrashSafety, TargetThatCannotBeReplacedStays) {
  TempDir dir;
  fs::create_directories(dir / ".settings/inside");
  AttributesFile attributes;
  attributes.set("A", "1");
  EXPECT_NE(attributes.save(dir / ".settings"), aErrNone);
  EXPECT_TRUE(cltest::isDirectory(dir / ".settings/inside"));
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{".settings"});
}

// Runs body in a child process without root's right to write anything, in
// a directory (inside a reachable parent) that the child owns; answers body's
// exit code (77: the rights cannot be dropped).
int runUnprivileged(const std::string& parent, const std::string& directory,
                    int (*body)(const std::string&)) {
  const uid_t nobody = 65534;
  if (geteuid() == 0 && (chmod(parent.c_str(), 0711) != 0 ||
                         chown(directory.c_str(), nobody, nobody) != 0))
    return 77;
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(nobody) != 0 || setuid(nobody) != 0)) _exit(77);
    int code = 3;
    try {
      code = body(directory);
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(StoreCrashSafety, FilesThatMayNotBeWrittenAreNotReplaced) {
  struct Case {
    const char* name;
    const char* file;
    mode_t mode;
    int (*body)(const std::string&);  // 0 when the store refused and kept the file
  };
  const Case cases[] = {
      {"unreadable history is not replaced by a new one", ".settings", 0,
       [](const std::string& dir) {
         AttributesFile attributes;
         if (attributes.load(dir + "/.settings") != aErrParam) return 1;
         attributes.set("LATEST_DOWNLOAD", "6.bird");
         return attributes.save() == aErrNone ? 2 : 0;
       }},
      {"read-only history", ".settings", 0444,
       [](const std::string& dir) {
         AttributesFile attributes(dir + "/.settings");
         attributes.set("LATEST_DOWNLOAD", "6.bird");
         return attributes.save() == aErrNone ? 2 : 0;
       }},
      {"read-only BIRD file", "5.bird", 0444,
       [](const std::string& dir) {
         UpdaterStore store(dir);
         StoreItem device;
         device.parent = dir.substr(0, dir.rfind('/'));
         device.name = "40F5849A";
         const uint8_t data[] = {1, 2, 3};
         return store.writeItem(device, "5.bird", data, sizeof data) == aErrNotFound ? 0 : 2;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string device = dir / "40F5849A";
    fs::create_directory(device);
    const std::string old = "LATEST_DOWNLOAD=5.bird\n";
    writeFile(device + "/" + c.file, old);
    chmod((device + "/" + c.file).c_str(), c.mode);
    const int result = runUnprivileged(dir.path(), device, c.body);
    if (result == 77) GTEST_SKIP() << "cannot run without root's rights";
    EXPECT_EQ(result, 0);
    chmod((device + "/" + c.file).c_str(), 0644);
    EXPECT_EQ(readFile(device + "/" + c.file), old);
    EXPECT_EQ(namesIn(device), std::vector<std::string>{c.file});
  }
}

}  // namespace
