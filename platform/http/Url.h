// Splitting an absolute URL into the parts the HTTP channel keeps.
#pragma once

#include <string>

namespace qorvin {

struct TUrlParts {
  std::string scheme;  // lower case: "http", "https", "ftp", ...
  std::string host;    // as written; an IPv6 address keeps its brackets
  int port = 0;        // the explicit port, else the scheme's default (80, 443; 0 if unknown)
  std::string path;    // path and query ("/Bin", "/a?b=c"); "/" when the URL has none
};

// Parses `url`; false when it is not an absolute URL with a host. Uses libcurl's URL parser,
// loading libcurl if no call did yet: throws EHttpError when libcurl cannot be loaded, and
// nothing else.
bool CrackUrl(const std::string& url, TUrlParts& parts);

// `host` as the host part of a URL: an IPv6 address (it holds a ':') in brackets, anything else
// (a name, an IPv4 address, an address already in brackets) as it is.
std::string UrlHost(const std::string& host);

}  // namespace qorvin
