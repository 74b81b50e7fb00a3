// A small key=value file: one "%s=%s\n" line per entry, written in byte-wise
// key order. Reading is lenient (white space, carriage returns, comments).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "common/aError.h"

class AttributesFile {
 public:
  AttributesFile() = default;
  // Loads fileName when it is not empty.
  explicit AttributesFile(const std::string& fileName);

  // Adds the file's entries to those in memory (the file's win). A missing
  // file is created with "CREATED_TIME" and "UPDATED_TIME" and aErrParam
  // answered.
  aErr load(const std::string& path);
  // Writes every entry to path (or to the file it came from). The file is
  // replaced whole: a failed save leaves the old file as it was.
  aErr save(const std::string& path = std::string());

  void set(const std::string& key, const std::string& value);
  std::string getString(const std::string& key, const std::string& defaultValue = std::string()) const;
  // The value's leading decimal number; the default when the value is empty.
  // An absent key is created with an empty value (without marking a change).
  int64_t getInt(const std::string& key, int64_t defaultValue);

  const std::string& fileName() const { return fileName_; }
  bool dirty() const { return dirty_; }
  const std::map<std::string, std::string>& entries() const { return entries_; }

 private:
  void parseLine(const char* line, size_t length);

  std::string fileName_;
  std::map<std::string, std::string> entries_;
  bool dirty_ = false;
};

// The local time as 24 characters, e.g. "Tue May 26 14:03:07 2026".
std::string localTimeText();
