// URL splitting on Windows, with WinInet's parser.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cctype>

#include "platform/http/Url.h"

namespace qorvin {

bool CrackUrl(const std::string& url, TUrlParts& parts) {
  if (url.empty() || url.size() > 65535) return false;
  URL_COMPONENTSA c{};
  c.dwStructSize = sizeof c;
  // Zero pointers with non-zero lengths ask for pointers into `url` itself.
  c.dwSchemeLength = 1;
  c.dwHostNameLength = 1;
  c.dwUrlPathLength = 1;
  c.dwExtraInfoLength = 1;
  if (!InternetCrackUrlA(url.c_str(), DWORD(url.size()), 0, &c)) return false;
  if (c.lpszHostName == nullptr || c.dwHostNameLength == 0) return false;
  parts.scheme.assign(c.lpszScheme ? c.lpszScheme : "", c.lpszScheme ? c.dwSchemeLength : 0);
  std::transform(parts.scheme.begin(), parts.scheme.end(), parts.scheme.begin(),
                 [](unsigned char ch) { return char(std::tolower(ch)); });
  parts.host.assign(c.lpszHostName, c.dwHostNameLength);
  parts.port = c.nPort;
  if (parts.port == 0 && parts.scheme == "http") parts.port = 80;
  if (parts.port == 0 && parts.scheme == "https") parts.port = 443;
  parts.path.assign(c.lpszUrlPath ? c.lpszUrlPath : "", c.lpszUrlPath ? c.dwUrlPathLength : 0);
  if (parts.path.empty()) parts.path.assign(1, '/');
  if (c.lpszExtraInfo != nullptr && c.dwExtraInfoLength > 0) {
    // The query is kept, a fragment is not.
    std::string extra(c.lpszExtraInfo, c.dwExtraInfoLength);
    extra = extra.substr(0, extra.find('#'));
    parts.path += extra;
  }
  return true;
}

}  // namespace qorvin
