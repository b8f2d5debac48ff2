// JSON string literals for the request log.
#pragma once

#include <string>
#include <string_view>

namespace qorvin::server {

// `text` as a quoted JSON string: '"', '\' and control characters escaped; bytes that are not
// well-formed UTF-8 become U+FFFD, so the line stays valid JSON whatever a request carried.
std::string JsonString(std::string_view text);

}  // namespace qorvin::server
