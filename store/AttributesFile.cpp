#include "store/AttributesFile.h"

#include <cerrno>
#include <climits>
#include <ctime>

#include "common/aFile.h"
#include "store/ReplaceFile.h"
#include "updater/UpdaterDisplay.h"

namespace {

constexpr size_t kLineSize = 2048;

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string localTimeText() {
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  char text[64];
  const size_t n = strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &local);
  return std::string(text, n);
}

AttributesFile::AttributesFile(const std::string& fileName) {
  if (!fileName.empty()) load(fileName);
}

aErr AttributesFile::load(const std::string& path) {
  errno = 0;
  aFileRef file = aFile_Open(path.c_str(), aFileModeRead);
  if (!file) {
    debugLog(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
             path.c_str(), errno);
    set("CREATED_TIME", localTimeText());
    save(path);
    fileName_ = path;
    dirty_ = false;
    return aErrParam;
  }
  fileName_ = path;
  dirty_ = false;
  char line[kLineSize];
  uint32_t length = 0;
  // An over-long line ends the load there: what follows it is not trusted.
  while (aFile_ReadLine(file, line, sizeof line, &length) == aErrNone)
    parseLine(line, length < sizeof line ? length : sizeof line - 1);
  return aFile_Close(&file);
}

void AttributesFile::parseLine(const char* line, size_t length) {
  if (length < 3 || line[0] == '#') return;
  size_t begin = 0;
  while (begin < length && isSpace(line[begin])) ++begin;
  size_t equals = begin;
  while (equals < length && line[equals] != '=') ++equals;
  if (equals == length) return;
  size_t keyEnd = equals;
  while (keyEnd > begin && isSpace(line[keyEnd - 1])) --keyEnd;
  if (keyEnd == begin) return;
  size_t valueBegin = equals + 1;
  size_t valueEnd = length;
  while (valueBegin < valueEnd && isSpace(line[valueBegin])) ++valueBegin;
  while (valueEnd > valueBegin && isSpace(line[valueEnd - 1])) --valueEnd;
  entries_[std::string(line + begin, keyEnd - begin)] =
      std::string(line + valueBegin, valueEnd - valueBegin);
}

aErr AttributesFile::save(const std::string& path) {
  if (!path.empty()) {
    fileName_ = path;
  } else if (fileName_.empty()) {
    fileName_ = ".settings";
    debugLog(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
             fileName_.c_str());
  }
  if (dirty_) set("UPDATED_TIME", localTimeText());
  std::string text;
  for (const auto& [key, value] : entries_) {
    text += key;
    text += '=';
    text += value;
    text += '\n';
  }
  int openErrno = 0;
  const aErr err = replaceFileContents(fileName_, reinterpret_cast<const uint8_t*>(text.data()),
                                       text.size(), &openErrno);
  if (err == aErrNotFound) {
    debugLog(DEBUG_Attributes,
             "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             fileName_.c_str(), openErrno);
    return aErrIO;
  }
  if (err != aErrNone) {
    debugLog(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n",
             fileName_.c_str(), int(err));
    return err;
  }
  dirty_ = false;
  return aErrNone;
}

void AttributesFile::set(const std::string& key, const std::string& value) {
  auto it = entries_.find(key);
  if (it == entries_.end()) {
    if (!value.empty()) dirty_ = true;
    entries_.emplace(key, value);
    return;
  }
  if (it->second != value) dirty_ = true;
  it->second = value;
}

std::string AttributesFile::getString(const std::string& key,
                                      const std::string& defaultValue) const {
  auto it = entries_.find(key);
  return it == entries_.end() ? defaultValue : it->second;
}

int64_t AttributesFile::getInt(const std::string& key, int64_t defaultValue) {
  auto it = entries_.find(key);
  if (it == entries_.end()) {
    entries_.emplace(key, std::string());
    return defaultValue;
  }
  const std::string& value = it->second;
  if (value.empty()) return defaultValue;
  size_t i = 0;
  while (i < value.size() && isSpace(value[i])) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  int64_t number = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    const int digit = value[i] - '0';
    if (number > (INT64_MAX - digit) / 10) {
      number = INT64_MAX;
      break;
    }
    number = number * 10 + digit;
  }
  return negative ? -number : number;
}
