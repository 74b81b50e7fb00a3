#include "aDirectory.h"

#include <dirent.h>
#include <errno.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

constexpr int kMaxFurtherComponents = 9;

// True when p points into the caller's output buffer: copying from there
// while writing into it would read what was just overwritten.
bool sInside(const char* p, const char* out, size_t size) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(p);
  const uintptr_t b = reinterpret_cast<uintptr_t>(out);
  return a >= b && a - b < size;
}

bool sIsDirectory(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

aErr sBuildPath(char* out, size_t size, const char* first, const char* const* parts, int count) {
  const size_t firstLength = strlen(first);
  if (firstLength >= size - 1) return aErrOverrun;
  memcpy(out, first, firstLength + 1);
  size_t length = firstLength;
  for (int i = 0; i < count; ++i) {
    const char* part = parts[i];
    size_t room = size - length - 1;
    if (room > 1 && length > 0 && out[length - 1] != aDIR_SEPARATOR && part[0] != aDIR_SEPARATOR) {
      out[length++] = aDIR_SEPARATOR;
      out[length] = '\0';
      --room;
    }
    const size_t partLength = strlen(part);
    if (partLength >= room) return aErrOverrun;
    memcpy(out + length, part, partLength + 1);
    length += partLength;
  }
  return aErrNone;
}

// Fills entry->size and entry->isDirectory; symbolic links are described by
// what they point to, a dangling one as an empty file.
void sDescribe(const char* path, aDirectoryEntry* entry) {
  struct stat st;
  if (::stat(path, &st) != 0 && ::lstat(path, &st) != 0) {
    entry->size = 0;
    entry->isDirectory = 0;
    return;
  }
  entry->isDirectory = S_ISDIR(st.st_mode) ? 1 : 0;
  entry->size = static_cast<uint32_t>(static_cast<uint64_t>(st.st_size) & 0xFFFFFFFFu);
}

bool sIsDotEntry(const char* name) {
  return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

}  // namespace

aErr aDirectory_BuildPath(char* out, size_t size, const char* first, ...) {
  if (out == nullptr || size == 0) return aErrParam;
  out[0] = '\0';
  if (first == nullptr || first == out || sInside(first, out, size)) return aErrParam;
  const char* parts[kMaxFurtherComponents];
  int count = 0;
  bool tooMany = false;
  bool aliased = false;
  va_list args;
  va_start(args, first);
  for (;;) {
    const char* part = va_arg(args, const char*);
    if (part == nullptr) break;
    if (count == kMaxFurtherComponents) {
      tooMany = true;
      break;
    }
    if (sInside(part, out, size)) aliased = true;
    parts[count++] = part;
  }
  va_end(args);
  if (tooMany || aliased) return aErrParam;
  return sBuildPath(out, size, first, parts, count);
}

aErr aDirectory_JoinPath(char* out, size_t size, const char* a, const char* b) {
  return aDirectory_BuildPath(out, size, a, b, static_cast<const char*>(nullptr));
}

bool aDirectory_Exists(const char* path) {
  if (path == nullptr) return false;
  // "." names the working directory, which may have been removed under us
  // while the process still stands in it: ask for its path, not its inode.
  if (strcmp(path, ".") == 0 || strcmp(path, "." aDIR_SEPARATOR_STR) == 0) {
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) return false;
    const bool found = sIsDirectory(cwd);
    free(cwd);
    return found;
  }
  return sIsDirectory(path);
}

aErr aDirectory_Ensure(const char* path, uint32_t mode) {
  if (path == nullptr || path[0] == '\0') return aErrParam;
  struct stat st;
  if (::stat(path, &st) == 0) return S_ISDIR(st.st_mode) ? aErrNone : aErrParam;

  // Walk forward over every prefix that ends before a separator, then the
  // whole path; each must be a directory or be made one.
  std::string work(path);
  const size_t n = work.size();
  for (size_t i = 1; i <= n; ++i) {
    if (i < n && (work[i] != aDIR_SEPARATOR || work[i - 1] == aDIR_SEPARATOR)) continue;
    const std::string prefix = work.substr(0, i);
    if (::stat(prefix.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return aErrParam;
      continue;
    }
    if (errno == ENOTDIR) return aErrParam;
    if (errno != ENOENT) return aErrPermission;
    if (::mkdir(prefix.c_str(), static_cast<mode_t>(mode)) == 0) continue;
    if (errno == EEXIST && sIsDirectory(prefix.c_str())) continue;
    if (errno == EEXIST || errno == ENOTDIR) return aErrParam;
    return aErrPermission;
  }
  return aErrNone;
}

aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* context) {
  if (path == nullptr || callback == nullptr) return aErrParam;
  DIR* dir = ::opendir(path);
  if (dir == nullptr) return aErrParam;
  char full[aFILE_MAXPATH];
  for (;;) {
    errno = 0;
    struct dirent* item = ::readdir(dir);
    if (item == nullptr) break;
    // An entry whose full path does not fit is skipped: a cut path would
    // name some other file.
    if (aDirectory_JoinPath(full, sizeof full, path, item->d_name) != aErrNone) continue;
    aDirectoryEntry entry;
    entry.path = full;
    sDescribe(full, &entry);
    if (!callback(&entry, context)) break;
  }
  ::closedir(dir);
  return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  return ::rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
  if (path == nullptr) return aErrParam;
  DIR* dir = ::opendir(path);
  if (dir == nullptr) return aErrParam;
  // Collect the names first so that a deep tree never holds more than one
  // directory open at a time.
  std::vector<std::string> names;
  while (struct dirent* item = ::readdir(dir)) {
    if (!sIsDotEntry(item->d_name)) names.emplace_back(item->d_name);
  }
  ::closedir(dir);

  std::string base(path);
  if (!base.empty() && base.back() != aDIR_SEPARATOR) base += aDIR_SEPARATOR;
  for (const std::string& name : names) {
    const std::string full = base + name;
    struct stat st;
    if (::lstat(full.c_str(), &st) != 0) break;
    // Links are removed, never followed: the tree must not reach outside itself.
    if (S_ISDIR(st.st_mode)) {
      aDirectory_DeleteTree(full.c_str());
    } else if (::unlink(full.c_str()) != 0) {
      break;
    }
  }
  return ::rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_CWD(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  if (::getcwd(buffer, size) == nullptr) {
    buffer[0] = '\0';
    return aErrParam;
  }
  return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  buffer[0] = '\0';
  const ssize_t n = ::readlink("/proc/self/exe", buffer, size);
  if (n < 0) return aErrRead;
  if (static_cast<size_t>(n) >= size) {
    buffer[0] = '\0';
    return aErrOverrun;
  }
  buffer[n] = '\0';
  return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  buffer[0] = '\0';
  const char* drive = getenv("HOMEDRIVE");
  const char* homePath = getenv("HOMEPATH");
  if (drive != nullptr && drive[0] != '\0' && homePath != nullptr && homePath[0] != '\0')
    return aDirectory_BuildPath(buffer, size, drive, homePath, static_cast<const char*>(nullptr));
  const char* home = getenv("HOME");
  if (home != nullptr && home[0] != '\0')
    return aDirectory_BuildPath(buffer, size, home, static_cast<const char*>(nullptr));

  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(hint > 0 ? static_cast<size_t>(hint) : 4096);
  for (;;) {
    struct passwd record;
    struct passwd* found = nullptr;
    const int rc = ::getpwuid_r(::getuid(), &record, scratch.data(), scratch.size(), &found);
    if (rc == ERANGE && scratch.size() < (1u << 20)) {
      scratch.resize(scratch.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0')
      return aErrNotFound;
    return aDirectory_BuildPath(buffer, size, found->pw_dir, static_cast<const char*>(nullptr));
  }
}
