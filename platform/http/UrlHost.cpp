#include "platform/http/Url.h"

namespace qorvin {

std::string UrlHost(const std::string& host) {
  if (host.find(':') == std::string::npos || host.starts_with('[')) return host;
  return "[" + host + "]";
}

}  // namespace qorvin
