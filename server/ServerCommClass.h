// The update server's client: one GET per operation and the parsing of its
// small line-oriented answers. Operations answer false on any failure, after
// tracing it under DEBUG_ServerComm; they never throw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/HttpGet.h"

// Build text -> version text, ordered by build text.
using BuildList = std::map<std::string, std::string>;
using BuildEntry = std::pair<std::string, std::string>;

// The request routine the operations use; HttpGet unless a test supplies its own.
using HttpTransport = std::function<HttpResponse(const std::string&, const HttpParams&)>;

class ServerCommClass {
 public:
  ServerCommClass();
  explicit ServerCommClass(HttpSettings settings);
  explicit ServerCommClass(HttpTransport transport);

  // A null base URL means the built-in server.
  bool ping(const char* baseUrl = nullptr);
  bool QueryBuild(uint32_t serial, std::string& build, std::string& token,
                  const char* baseUrl = nullptr);
  bool GetBuildList(uint32_t serial, BuildList& list, const char* baseUrl = nullptr);
  bool GetBuild(uint32_t serial, const std::string& token, const std::string& build,
                std::string& payload, const char* baseUrl = nullptr, bool noCal = false);
  bool GetRecoveryInfo(const uint32_t chipId[4], uint32_t& serial, uint32_t& build,
                       const char* baseUrl = nullptr);

  // Answer handling of each operation, apart from the request: status 200 and
  // a first line beginning with "ok", then the results.
  static bool readPingAnswer(const HttpResponse& response);
  static bool readQueryBuildAnswer(const HttpResponse& response, std::string& build,
                                   std::string& token);
  static bool readBuildListAnswer(const HttpResponse& response, BuildList& list);
  static bool readBuildAnswer(const HttpResponse& response, std::string& payload);
  static bool readRecoveryAnswer(const HttpResponse& response, uint32_t& serial, uint32_t& build);

  // Newest version first; builds whose version cannot be read follow in
  // build-text order; equal versions keep the list's order.
  static std::vector<BuildEntry> sortBuildsByVersion(const BuildList& list);
  // Whether first sorts before second under the order above.
  static bool _sortVersion(const BuildEntry& first, const BuildEntry& second);

  // Standard base64 with "=" padding. Nothing for an empty text, a length that
  // is not a multiple of 4, a character outside the alphabet or misplaced padding.
  static std::optional<std::vector<uint8_t>> decodeBase64(const char* text, size_t length);

 private:
  bool request(const char* operation, const char* baseUrl, const HttpParams& params,
               HttpResponse& response);
  HttpTransport transport_;
};

// The built-in update server's base URL.
const char* defaultServerUrl();
