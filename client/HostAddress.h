// The check of the host text a host gives CreateRemoteDataModule. The text becomes part of the
// HTTP channel's address and the name the TCP and UDP channels resolve, so characters that
// would change the address's meaning ('/' a path, '?' a query, '#' a fragment, '@' credentials)
// and white space or control characters are refused before any channel is used.
#pragma once

#include <string>

namespace qorvin {

// Empty when `host` may be used; otherwise the failure text for the host, which names the text
// (control characters shown as \xNN) and the first character that is not allowed.
std::string HostAddressProblem(const std::string& host);

}  // namespace qorvin
