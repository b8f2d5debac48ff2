#include "platform/http/Url.h"

#include <cstdlib>
#include <memory>

#include "platform/http/CurlLibrary.h"
#include "platform/http/HttpConnection.h"

namespace qorvin {

namespace {

// One part of a parsed URL; empty when it is absent.
std::string Part(const TCurlLibrary& curl, CURLU* url, CURLUPart which, unsigned flags = 0) {
  char* text = nullptr;
  if (curl.url_get(url, which, &text, flags) != CURLUE_OK || text == nullptr) return {};
  std::string out(text);
  curl.free(text);
  return out;
}

}  // namespace

bool CrackUrl(const std::string& url, TUrlParts& parts) {
  std::string error;
  const TCurlLibrary* lib = LoadCurl(error);
  if (lib == nullptr) throw EHttpError(CURLE_FAILED_INIT, THttpFailureKind::Other, error);
  const TCurlLibrary& curl = *lib;
  std::unique_ptr<CURLU, decltype(curl.url_cleanup)> owned(curl.url(), curl.url_cleanup);
  CURLU* handle = owned.get();
  if (handle == nullptr) return false;
  const bool ok =
      curl.url_set(handle, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
  if (ok) {
    parts.scheme = Part(curl, handle, CURLUPART_SCHEME);
    parts.host = Part(curl, handle, CURLUPART_HOST);
    const std::string port = Part(curl, handle, CURLUPART_PORT, CURLU_DEFAULT_PORT);
    parts.port = port.empty() ? 0 : std::atoi(port.c_str());
    parts.path = Part(curl, handle, CURLUPART_PATH);
    if (parts.path.empty()) parts.path.assign(1, '/');
    const std::string query = Part(curl, handle, CURLUPART_QUERY);
    if (!query.empty()) parts.path.append(1, '?').append(query);
  }
  return ok && !parts.host.empty();
}

}  // namespace qorvin
