// Attribute files of arbitrary content: every entry read must be well formed,
// and what a save writes must read back as the same entries.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "store/AttributesFile.h"

namespace {

// Saves flush to the disk; a memory file system keeps that from setting the pace.
std::string scratch(const char* name) {
  const char* dir = getenv("TMPDIR");
  std::string base = dir && *dir ? dir : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return base + "/fuzz_attributes." + std::to_string(getpid()) + "." + name;
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string input = scratch("in");
  static const std::string output = scratch("out");
  FILE* f = fopen(input.c_str(), "wb");
  if (!f) return 0;
  fwrite(data, 1, size, f);
  fclose(f);

  AttributesFile attributes;
  if (attributes.load(input) != aErrNone) abort();
  if (attributes.dirty()) abort();
  for (const auto& [key, value] : attributes.entries()) {
    if (key.empty() || isSpace(key.front()) || isSpace(key.back())) abort();
    if (key.find('=') != std::string::npos || key.find('\n') != std::string::npos) abort();
    if (!value.empty() && (isSpace(value.front()) || isSpace(value.back()))) abort();
    if (key.size() + value.size() > 2046) abort();
  }

  // Keys that begin with "#" came from indented lines; written flush left they
  // read as comments, so they are the one expected difference.
  std::map<std::string, std::string> expected;
  for (const auto& [key, value] : attributes.entries())
    if (key[0] != '#') expected[key] = value;
  if (attributes.save(output) != aErrNone) abort();
  AttributesFile reread;
  if (reread.load(output) != aErrNone) abort();
  if (reread.entries() != expected) abort();

  for (const auto& entry : expected) reread.getInt(entry.first, 0);
  unlink(input.c_str());
  unlink(output.c_str());
  return 0;
}
