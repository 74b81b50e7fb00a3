#include "store/ReplaceFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "common/aDirectory.h"
#include "common/aFile.h"

namespace {

std::atomic<unsigned> gTempCounter{0};

// The temporary name starts with a dot, so store listings never show it.
std::string temporaryPath(const std::string& path, std::string* directory) {
  const size_t slash = path.rfind(aDIR_SEPARATOR);
  *directory = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string prefix = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  return prefix + "." + base + "." + std::to_string(getpid()) + "." +
         std::to_string(gTempCounter.fetch_add(1)) + ".tmp";
}

// Flushes a file or directory to the disk: the new content before the rename
// that publishes it, the directory after it.
bool syncPath(const std::string& path, int flags) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

}  // namespace

aErr replaceFileContents(const std::string& path, const uint8_t* data, size_t length,
                         int* openErrno) {
  // An existing file this process may not write stays as it is, just as
  // opening it for writing would refuse: the rename must not get round its
  // permissions (an unreadable history would otherwise be replaced by a new one).
  if (faccessat(AT_FDCWD, path.c_str(), F_OK, AT_EACCESS) == 0 &&
      faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
    if (openErrno) *openErrno = errno;
    return aErrNotFound;
  }
  std::string directory;
  const std::string temp = temporaryPath(path, &directory);
  errno = 0;
  aFileRef file = aFile_Open(temp.c_str(), aFileModeWrite);
  if (!file) {
    if (openErrno) *openErrno = errno;
    return aErrNotFound;
  }
  aErr result = aErrNone;
  size_t done = 0;
  while (done < length) {
    const uint32_t chunk = length - done > 0x40000000u ? 0x40000000u : uint32_t(length - done);
    uint32_t written = 0;
    const aErr err = aFile_Write(file, data + done, chunk, &written);
    if (err != aErrNone) {
      result = err;
      break;
    }
    if (written == 0) {
      result = aErrWrite;
      break;
    }
    done += written;
  }
  if (aFile_Close(&file) != aErrNone && result == aErrNone) result = aErrWrite;
  if (result == aErrNone && !syncPath(temp, 0)) result = aErrWrite;
  if (result == aErrNone && std::rename(temp.c_str(), path.c_str()) != 0) result = aErrIO;
  if (result != aErrNone) {
    std::remove(temp.c_str());
    return result;
  }
  (void)syncPath(directory, O_DIRECTORY);
  return aErrNone;
}
