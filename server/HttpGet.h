// One HTTP(S) GET of the update server: the whole answer body in memory with
// its status code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// Query parameters, iterated in byte-wise key order.
using HttpParams = std::map<std::string, std::string>;

struct HttpResponse {
  std::string url;     // the full URL requested
  int32_t status = 0;  // HTTP status of the last response, 0 when none came
  std::string body;
};

// A dead server must not hang the program, nor a hostile one exhaust memory.
constexpr long kHttpConnectTimeoutSeconds = 10;
constexpr long kHttpStallBytesPerSecond = 1024;  // slower than this ...
constexpr long kHttpStallSeconds = 30;           // ... for this long fails the request
constexpr size_t kHttpMaxBodyBytes = 64u * 1024 * 1024;

struct HttpSettings {
  // Extra CA certificate file (PEM) trusted besides the system store; empty for none.
  std::string caFile;
  long connectTimeoutSeconds = kHttpConnectTimeoutSeconds;
  long stallBytesPerSecond = kHttpStallBytesPerSecond;
  long stallSeconds = kHttpStallSeconds;
  size_t maxBodyBytes = kHttpMaxBodyBytes;
};

// Once per process, before any thread starts.
void httpGlobalInit();

// base, then "?key=value&" per parameter in key order (no percent-encoding);
// the base alone when there are no parameters.
std::string buildRequestUrl(const std::string& baseUrl, const HttpParams& params);

// Throws std::runtime_error with a one-line text when no transfer could be made
// (no handle, resolution, connection, TLS, cut, time limit, answer too large).
// Any HTTP status, 4xx and 5xx included, is a result.
HttpResponse HttpGet(const std::string& baseUrl, const HttpParams& params,
                     const HttpSettings& settings = {});

// What the receive routine fills during one request.
struct HttpReceiveState {
  HttpResponse* response;
  size_t maxBodyBytes;
  bool tooLarge = false;
};

// Receive routine handed to libcurl (context: an HttpReceiveState): appends
// the chunk to the body and answers its size. A chunk that would take the body
// past its limit is refused (answer 0), which ends the transfer as a failure.
size_t rcv_data(char* data, size_t size, size_t count, void* context);
