// The update server's answers are untrusted input: every parser and the
// base64 decoder must take any bytes without crashing, and sorting a parsed
// build list must keep every entry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "server/ServerCommClass.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  const HttpResponse response{"fuzz", 200, body};

  ServerCommClass::readPingAnswer(response);
  std::string build, token, payload;
  ServerCommClass::readQueryBuildAnswer(response, build, token);
  uint32_t serial = 0, number = 0;
  ServerCommClass::readRecoveryAnswer(response, serial, number);

  BuildList list;
  if (ServerCommClass::readBuildListAnswer(response, list)) {
    const auto sorted = ServerCommClass::sortBuildsByVersion(list);
    if (sorted.size() != list.size()) abort();
    for (const auto& entry : sorted)
      if (list.count(entry.first) != 1 || list.at(entry.first) != entry.second ||
          ServerCommClass::_sortVersion(entry, entry))
        abort();
    for (size_t i = 1; i < sorted.size(); ++i)
      if (ServerCommClass::_sortVersion(sorted[i], sorted[i - 1])) abort();
  }

  if (ServerCommClass::readBuildAnswer(response, payload)) {
    const auto bytes = ServerCommClass::decodeBase64(payload.data(), payload.size());
    if (bytes && bytes->size() > payload.size() / 4 * 3) abort();
  }
  const auto raw = ServerCommClass::decodeBase64(body.data(), body.size());
  if (raw && (size % 4 != 0 || size == 0)) abort();
  return 0;
}
