#include "aFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <new>

#include "aDirectory.h"

namespace {

constexpr uint32_t kFileCheck = 0xFEED;
constexpr size_t kPrintfLimit = 65536;

}  // namespace

struct aFile {
  uint32_t check;
  int fd;
  int32_t mode;
  // Keeps a read-and-rewind of ReadLine or one formatted text whole when
  // several threads share the handle.
  std::mutex lock;
};

namespace {

bool sValid(aFileRef ref) { return ref != nullptr && ref->check == kFileCheck; }

bool sCanRead(const aFile* f) { return f->mode == aFileModeRead || f->mode == aFileModeAppend; }

bool sCanWrite(const aFile* f) { return f->mode == aFileModeWrite || f->mode == aFileModeAppend; }

// One read(2) that survives signals; -1 on failure.
ssize_t sReadOnce(int fd, void* buffer, size_t count) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, count);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// Writes everything unless the platform refuses; reports what got out.
bool sWriteAll(int fd, const uint8_t* data, size_t count, size_t* written) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::write(fd, data + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *written = done;
      return false;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  *written = done;
  return done == count;
}

}  // namespace

aFileRef aFile_Open(const char* path, int mode) {
  if (path == nullptr || strlen(path) > aFILE_MAXPATH) return nullptr;
  int flags;
  switch (mode) {
    case aFileModeRead:
      flags = O_RDONLY;
      break;
    case aFileModeWrite:
      flags = O_WRONLY | O_CREAT | O_TRUNC | O_DSYNC;
      break;
    case aFileModeAppend:
      flags = O_RDWR | O_CREAT | O_DSYNC;
      break;
    default:
      return nullptr;
  }
  aFile* f = new (std::nothrow) aFile;
  if (f == nullptr) return nullptr;
  struct stat st;
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  // Directories open for reading only; they are no files here.
  if (fd < 0 || ::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    delete f;
    return nullptr;
  }
  if (mode == aFileModeAppend && ::lseek(fd, 0, SEEK_END) < 0) {
    ::close(fd);
    delete f;
    return nullptr;
  }
  f->check = kFileCheck;
  f->fd = fd;
  f->mode = mode;
  return f;
}

aErr aFile_Close(aFileRef* ref) {
  if (ref == nullptr || !sValid(*ref)) return aErrParam;
  aFile* f = *ref;
  f->check = 0;
  ::close(f->fd);
  f->fd = -1;
  delete f;
  *ref = nullptr;
  return aErrNone;
}

aErr aFile_Read(aFileRef ref, uint8_t* buffer, uint32_t count, uint32_t* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  if (!sValid(ref) || buffer == nullptr) return aErrParam;
  if (!sCanRead(ref)) return aErrMode;
  std::lock_guard<std::mutex> hold(ref->lock);
  uint32_t done = 0;
  bool failed = false;
  while (done < count) {
    ssize_t n = sReadOnce(ref->fd, buffer + done, count - done);
    if (n < 0) {
      failed = true;
      break;
    }
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  if (bytesRead) *bytesRead = done;
  if (failed) return aErrRead;
  if (done == 0 && count != 0) return aErrEOF;
  return aErrNone;
}

aErr aFile_ReadLine(aFileRef ref, char* buffer, uint32_t size, uint32_t* length) {
  if (length) *length = 0;
  if (buffer != nullptr && size != 0) buffer[0] = '\0';
  if (!sValid(ref) || buffer == nullptr) return aErrParam;
  if (!sCanRead(ref)) return aErrMode;
  if (size < 2) return aErrParam;  // no room for even one byte of text
  std::lock_guard<std::mutex> hold(ref->lock);
  const uint32_t want = size - 1;
  ssize_t got = sReadOnce(ref->fd, buffer, want);
  if (got < 0) return aErrIO;
  if (got == 0) return aErrEOF;
  uint32_t lineLength = static_cast<uint32_t>(got);
  const void* feed = memchr(buffer, '\n', static_cast<size_t>(got));
  if (feed != nullptr) {
    lineLength = static_cast<uint32_t>(static_cast<const char*>(feed) - buffer) + 1;
    const off_t back = static_cast<off_t>(got) - static_cast<off_t>(lineLength);
    if (back > 0 && ::lseek(ref->fd, -back, SEEK_CUR) < 0) return aErrIO;
  }
  buffer[lineLength] = '\0';
  if (length) *length = lineLength;
  if (feed == nullptr && static_cast<uint32_t>(got) == want) return aErrOverrun;
  return aErrNone;
}

aErr aFile_Write(aFileRef ref, const uint8_t* buffer, uint32_t count, uint32_t* bytesWritten) {
  if (bytesWritten) *bytesWritten = 0;
  if (!sValid(ref) || (buffer == nullptr && count != 0)) return aErrParam;
  if (!sCanWrite(ref)) return aErrMode;
  std::lock_guard<std::mutex> hold(ref->lock);
  size_t written = 0;
  const bool ok = sWriteAll(ref->fd, buffer, count, &written);
  if (bytesWritten) *bytesWritten = static_cast<uint32_t>(written);
  return ok ? aErrNone : aErrWrite;
}

aErr aFile_Printf(aFileRef ref, const char* format, ...) {
  if (!sValid(ref) || format == nullptr) return aErrParam;
  if (!sCanWrite(ref)) return aErrMode;
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int needed = vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (needed < 0 || static_cast<size_t>(needed) >= kPrintfLimit) {
    va_end(args);
    return aErrIO;
  }
  // Each call formats into its own buffer, so concurrent calls never mix texts.
  std::unique_ptr<char[]> text(new (std::nothrow) char[static_cast<size_t>(needed) + 1]);
  if (!text) {
    va_end(args);
    return aErrMemory;
  }
  const int made = vsnprintf(text.get(), static_cast<size_t>(needed) + 1, format, args);
  va_end(args);
  if (made != needed) return aErrIO;
  std::lock_guard<std::mutex> hold(ref->lock);
  size_t written = 0;
  return sWriteAll(ref->fd, reinterpret_cast<const uint8_t*>(text.get()), static_cast<size_t>(made),
                   &written)
             ? aErrNone
             : aErrWrite;
}

aErr aFile_Seek(aFileRef ref, int32_t offset, int origin) {
  if (!sValid(ref)) return aErrParam;
  std::lock_guard<std::mutex> hold(ref->lock);
  struct stat st;
  const off_t current = ::lseek(ref->fd, 0, SEEK_CUR);
  if (current < 0 || ::fstat(ref->fd, &st) != 0) return aErrIO;
  int64_t base = 0;
  if (origin == 1)
    base = current;
  else if (origin == 2)
    base = st.st_size;
  const int64_t target = base + static_cast<int64_t>(offset);
  if (target < 0 || target > INT32_MAX || target > static_cast<int64_t>(st.st_size)) return aErrRange;
  if (::lseek(ref->fd, static_cast<off_t>(target), SEEK_SET) < 0) return aErrIO;
  return aErrNone;
}

aErr aFile_GetPosition(aFileRef ref, uint32_t* position) {
  if (position) *position = 0;
  if (!sValid(ref) || position == nullptr) return aErrParam;
  std::lock_guard<std::mutex> hold(ref->lock);
  const off_t current = ::lseek(ref->fd, 0, SEEK_CUR);
  if (current < 0) return aErrIO;
  if (current > static_cast<off_t>(UINT32_MAX)) return aErrRange;
  *position = static_cast<uint32_t>(current);
  return aErrNone;
}

aErr aFile_GetSize(aFileRef ref, uint32_t* size) {
  if (size) *size = 0;
  if (!sValid(ref) || size == nullptr) return aErrParam;
  struct stat st;
  if (::fstat(ref->fd, &st) != 0) return aErrIO;
  // Cut to 32 bits the size would name some smaller file.
  if (st.st_size > static_cast<off_t>(UINT32_MAX)) return aErrRange;
  *size = static_cast<uint32_t>(st.st_size);
  return aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef ref) {
  if (!sValid(ref)) return aErrParam;
  return aErrMode;
}

bool aFile_Exists(const char* path) {
  if (path == nullptr) return false;
  struct stat st;
  return ::stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

aErr aFile_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  if (::unlink(path) == 0) return aErrNone;
  switch (errno) {
    case ENOENT:
      return aErrNotFound;
    case EACCES:
    case EPERM:
      return aErrPermission;
    default:
      return aErrIO;
  }
}
