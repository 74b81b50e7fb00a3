#include "server/HttpGet.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "updater/UpdaterDisplay.h"

namespace {

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

}  // namespace

void httpGlobalInit() { curl_global_init(CURL_GLOBAL_DEFAULT); }

std::string buildRequestUrl(const std::string& baseUrl, const HttpParams& params) {
  std::string url = baseUrl;
  if (params.empty()) return url;
  url += '?';
  for (const auto& [key, value] : params) {
    url += key;
    url += '=';
    url += value;
    url += '&';
  }
  return url;
}

size_t rcv_data(char* data, size_t size, size_t count, void* context) {
  auto* state = static_cast<HttpReceiveState*>(context);
  const size_t bytes = size * count;
  debugLog(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n", static_cast<int>(size),
           static_cast<int>(count),
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(state->response)),
           static_cast<int>(std::min<size_t>(bytes, 100)), data);
  if (bytes > state->maxBodyBytes - std::min(state->maxBodyBytes, state->response->body.size())) {
    state->tooLarge = true;
    debugLog(DEBUG_ServerComm, "rcv_data refuses the answer beyond %zu bytes\n",
             state->maxBodyBytes);
    return 0;
  }
  state->response->body.append(data, bytes);
  debugLog(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(bytes));
  return bytes;
}

HttpResponse HttpGet(const std::string& baseUrl, const HttpParams& params,
                     const HttpSettings& settings) {
  std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
  if (!handle) throw std::runtime_error("Could not create curl instance");
  CURL* curl = handle.get();

  HttpResponse response;
  response.url = buildRequestUrl(baseUrl, params);
  HttpReceiveState state{&response, settings.maxBodyBytes};

  auto set = [](CURLcode code) {
    if (code != CURLE_OK) throw std::runtime_error(curl_easy_strerror(code));
  };
  set(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, rcv_data));
  set(curl_easy_setopt(curl, CURLOPT_WRITEDATA, &state));
  set(curl_easy_setopt(curl, CURLOPT_URL, response.url.c_str()));
  // Firmware must come from the server it claims to come from: verify both the
  // chain and the host name.
  set(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L));
  set(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L));
  set(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L));
  if (!settings.caFile.empty()) {
    // CAINFO replaces the default bundle; the system's hashed directory keeps
    // the system's authorities trusted alongside the extra one.
    set(curl_easy_setopt(curl, CURLOPT_CAINFO, settings.caFile.c_str()));
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info && info->capath) set(curl_easy_setopt(curl, CURLOPT_CAPATH, info->capath));
  }
  set(curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https"));
  // Signals are not safe with several threads; time limits work without them
  // because libcurl resolves names on its own thread.
  set(curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L));
  set(curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, settings.connectTimeoutSeconds));
  set(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, settings.stallBytesPerSecond));
  set(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, settings.stallSeconds));
  set(curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE,
                       static_cast<curl_off_t>(settings.maxBodyBytes)));

  debugLog(DEBUG_ServerComm, "GET(%s)\n", response.url.c_str());
  const CURLcode result = curl_easy_perform(curl);
  if (result != CURLE_OK) {
    if (state.tooLarge || result == CURLE_FILESIZE_EXCEEDED)
      throw std::runtime_error("Answer larger than " + std::to_string(settings.maxBodyBytes) +
                               " bytes");
    throw std::runtime_error(curl_easy_strerror(result));
  }
  long status = 0;
  set(curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status));
  response.status = static_cast<int32_t>(status);
  return response;
}
