#include "platform/http/Url.h"

#include <curl/curl.h>

#include <cstdlib>

namespace qorvin {

namespace {

// One part of a parsed URL; empty when it is absent.
std::string Part(CURLU* url, CURLUPart which, unsigned flags = 0) {
  char* text = nullptr;
  if (curl_url_get(url, which, &text, flags) != CURLUE_OK || text == nullptr) return {};
  std::string out(text);
  curl_free(text);
  return out;
}

}  // namespace

bool CrackUrl(const std::string& url, TUrlParts& parts) {
  CURLU* handle = curl_url();
  if (handle == nullptr) return false;
  const bool ok =
      curl_url_set(handle, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
  if (ok) {
    parts.scheme = Part(handle, CURLUPART_SCHEME);
    parts.host = Part(handle, CURLUPART_HOST);
    const std::string port = Part(handle, CURLUPART_PORT, CURLU_DEFAULT_PORT);
    parts.port = port.empty() ? 0 : std::atoi(port.c_str());
    parts.path = Part(handle, CURLUPART_PATH);
    if (parts.path.empty()) parts.path.assign(1, '/');
    const std::string query = Part(handle, CURLUPART_QUERY);
    if (!query.empty()) parts.path.append(1, '?').append(query);
  }
  curl_url_cleanup(handle);
  return ok && !parts.host.empty();
}

}  // namespace qorvin
