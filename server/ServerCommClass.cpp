#include "server/ServerCommClass.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <algorithm>

#include "aVersion.h"
#include "updater/UpdaterDisplay.h"
#include "updater/UpdaterOptions.h"

namespace {

std::string serialText(uint32_t serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

// Lines separated by line feeds; empty lines are skipped.
std::vector<std::string> splitLines(const std::string& body) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find('\n', start);
    if (end == std::string::npos) end = body.size();
    if (end > start) lines.push_back(body.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Up to `limit` fields: the non-empty runs of characters outside `separators`.
std::vector<std::string> splitFields(const std::string& line, const char* separators,
                                     size_t limit) {
  std::vector<std::string> fields;
  size_t start = line.find_first_not_of(separators);
  while (start != std::string::npos && fields.size() < limit) {
    const size_t end = line.find_first_of(separators, start);
    fields.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
    start = end == std::string::npos ? end : line.find_first_not_of(separators, end);
  }
  return fields;
}

// Status 200 and an "ok" first line; anything else is traced and refused.
bool acceptAnswer(const char* operation, const HttpResponse& response,
                  std::vector<std::string>& lines) {
  if (response.status != 200) {
    debugLog(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", operation, static_cast<int>(response.status),
             response.body.c_str());
    return false;
  }
  lines = splitLines(response.body);
  if (lines.empty() || lines[0].compare(0, 2, "ok") != 0) {
    debugLog(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", operation,
             response.body.c_str());
    return false;
  }
  return true;
}

// Unsigned 32-bit number of the leading digits in the given base (0: automatic);
// no digits give 0, values past 32 bits saturate.
uint32_t leadingNumber(const std::string& text, int base) {
  errno = 0;
  const unsigned long long value = strtoull(text.c_str(), nullptr, base);
  if (errno == ERANGE || value > UINT32_MAX) return UINT32_MAX;
  return static_cast<uint32_t>(value);
}

struct Version {
  long part[3];
};

// Exactly three dot-separated parts, each a signed decimal number with at
// least one digit that fits an int.
// Whether the text splits at its dots into exactly three parts (empty ones count).
bool hasThreeParts(const std::string& text) {
  return std::count(text.begin(), text.end(), '.') == 2;
}

bool readVersion(const std::string& text, Version& version, std::string& reason) {
  if (!hasThreeParts(text)) {
    reason = "not three parts in [" + text + "]";
    return false;
  }
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t dot = text.find('.', start);
    parts.push_back(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  for (int i = 0; i < 3; ++i) {
    const char* begin = parts[i].c_str();
    char* end = nullptr;
    errno = 0;
    const long value = strtol(begin, &end, 10);
    if (end == begin) {
      reason = "no digits in [" + parts[i] + "]";
      return false;
    }
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
      reason = "out of range [" + parts[i] + "]";
      return false;
    }
    version.part[i] = value;
  }
  return true;
}

}  // namespace

const char* defaultServerUrl() { return "http://" UPDATE_HOST "/cgi/u"; }

ServerCommClass::ServerCommClass() : ServerCommClass(HttpSettings{}) {}

ServerCommClass::ServerCommClass(HttpSettings settings)
    : transport_([settings = std::move(settings)](const std::string& url, const HttpParams& params) {
        return HttpGet(url, params, settings);
      }) {}

ServerCommClass::ServerCommClass(HttpTransport transport) : transport_(std::move(transport)) {}

bool ServerCommClass::request(const char* operation, const char* baseUrl, const HttpParams& params,
                              HttpResponse& response) {
  try {
    response = transport_(baseUrl ? baseUrl : defaultServerUrl(), params);
    return true;
  } catch (const std::exception& e) {
    debugLog(DEBUG_ServerComm, "%s ==> [%s]\n", operation, e.what());
    return false;
  }
}

bool ServerCommClass::ping(const char* baseUrl) {
  HttpResponse response;
  return request("ping", baseUrl, {{"op", "hi"}, {"rv", "2"}}, response) &&
         readPingAnswer(response);
}

bool ServerCommClass::QueryBuild(uint32_t serial, std::string& build, std::string& token,
                                 const char* baseUrl) {
  HttpResponse response;
  return request("QueryBuild", baseUrl, {{"op", "qu"}, {"sn", serialText(serial)}}, response) &&
         readQueryBuildAnswer(response, build, token);
}

bool ServerCommClass::GetBuildList(uint32_t serial, BuildList& list, const char* baseUrl) {
  list.clear();
  HttpResponse response;
  return request("GetBuildList", baseUrl, {{"op", "builds"}, {"sn", serialText(serial)}},
                 response) &&
         readBuildListAnswer(response, list);
}

bool ServerCommClass::GetBuild(uint32_t serial, const std::string& token, const std::string& build,
                               std::string& payload, const char* baseUrl, bool noCal) {
  HttpResponse response;
  const HttpParams params{{"op", "bird"},
                          {"sn", serialText(serial)},
                          {"fw", token},
                          {"bld", build},
                          {"no_cal", noCal ? "true" : "false"}};
  return request("GetBuild", baseUrl, params, response) && readBuildAnswer(response, payload);
}

bool ServerCommClass::GetRecoveryInfo(const uint32_t chipId[4], uint32_t& serial, uint32_t& build,
                                      const char* baseUrl) {
  char fingerprint[64];
  snprintf(fingerprint, sizeof fingerprint, "%08X%%20%08X%%20%08X%%20%08X", chipId[0], chipId[1],
           chipId[2], chipId[3]);
  HttpResponse response;
  return request("GetRecoveryInfo", baseUrl,
                 {{"op", "fix"}, {"fp", fingerprint}, {"brief", "true"}}, response) &&
         readRecoveryAnswer(response, serial, build);
}

bool ServerCommClass::readPingAnswer(const HttpResponse& response) {
  if (response.status != 200) {
    debugLog(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.status),
             response.body.c_str());
    return false;
  }
  std::vector<std::string> lines;
  return acceptAnswer("ping", response, lines);
}

bool ServerCommClass::readQueryBuildAnswer(const HttpResponse& response, std::string& build,
                                           std::string& token) {
  std::vector<std::string> lines;
  if (!acceptAnswer("QueryBuild", response, lines)) return false;
  if (lines.size() > 1) build = lines[1];
  if (lines.size() > 2) token = lines[2].substr(0, lines[2].find('\r'));
  return true;
}

bool ServerCommClass::readBuildListAnswer(const HttpResponse& response, BuildList& list) {
  list.clear();
  std::vector<std::string> lines;
  if (!acceptAnswer("GetBuildList", response, lines)) return false;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.size() < 3) continue;
    debugLog(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
    const std::vector<std::string> fields = splitFields(line, ";\r", 2);
    if (fields.empty()) continue;
    const std::string& build = fields[0];
    const std::string version = fields.size() > 1 ? fields[1] : std::string();
    list.emplace(build, version);
    debugLog(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build.c_str(),
             version.c_str());
  }
  return true;
}

bool ServerCommClass::readBuildAnswer(const HttpResponse& response, std::string& payload) {
  std::vector<std::string> lines;
  if (!acceptAnswer("GetBuild", response, lines)) return false;
  payload.clear();
  if (lines.size() > 1) payload = lines[1];
  return true;
}

bool ServerCommClass::readRecoveryAnswer(const HttpResponse& response, uint32_t& serial,
                                         uint32_t& build) {
  std::vector<std::string> lines;
  if (!acceptAnswer("GetRecoveryInfo", response, lines)) return false;
  if (lines.size() > 1) serial = leadingNumber(lines[1], 16);
  if (lines.size() > 2) build = leadingNumber(lines[2], 0);
  lines.resize(3);
  debugLog(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", lines[0].c_str(),
           lines[1].c_str(), lines[2].c_str());
  return true;
}

bool ServerCommClass::_sortVersion(const BuildEntry& first, const BuildEntry& second) {
  Version a{}, b{};
  std::string reasonA, reasonB;
  const bool readA = readVersion(first.second, a, reasonA);
  const bool readB = readVersion(second.second, b, reasonB);
  if (!readA || !readB) {
    // Two texts that are not versions at all are simply not compared.
    if (hasThreeParts(first.second) || hasThreeParts(second.second))
      debugLog(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
               (readA ? reasonB : reasonA).c_str());
    // Readable versions come before unreadable ones; unreadable ones are all
    // equivalent, so a stable sort keeps them in build-text order.
    return readA && !readB;
  }
  return !aVersion_IsAtLeastCompare(
      static_cast<uint8_t>(b.part[0]), static_cast<uint8_t>(b.part[1]),
      static_cast<uint8_t>(b.part[2]), static_cast<uint8_t>(a.part[0]),
      static_cast<uint8_t>(a.part[1]), static_cast<uint8_t>(a.part[2]));
}

std::vector<BuildEntry> ServerCommClass::sortBuildsByVersion(const BuildList& list) {
  std::vector<BuildEntry> sorted(list.begin(), list.end());
  std::stable_sort(sorted.begin(), sorted.end(), _sortVersion);
  return sorted;
}

std::optional<std::vector<uint8_t>> ServerCommClass::decodeBase64(const char* text, size_t length) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  int8_t reverse[256];
  std::fill(std::begin(reverse), std::end(reverse), static_cast<int8_t>(-1));
  for (int i = 0; i < 64; ++i) reverse[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);

  if (!text || length == 0 || length % 4 != 0) return std::nullopt;
  size_t padding = 0;
  if (text[length - 1] == '=') ++padding;
  if (padding && text[length - 2] == '=') ++padding;
  for (size_t i = 0; i < length - padding; ++i)
    if (reverse[static_cast<uint8_t>(text[i])] < 0) return std::nullopt;

  std::vector<uint8_t> bytes(length / 4 * 3 - padding);
  size_t out = 0;
  for (size_t group = 0; group < length; group += 4) {
    uint32_t bits = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = text[group + k];
      bits = (bits << 6) | (c == '=' ? 0u : static_cast<uint32_t>(reverse[static_cast<uint8_t>(c)]));
    }
    for (int shift = 16; shift >= 0 && out < bytes.size(); shift -= 8)
      bytes[out++] = static_cast<uint8_t>(bits >> shift);
  }
  return bytes;
}
