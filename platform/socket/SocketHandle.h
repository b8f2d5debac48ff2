// The handle of an open socket of the platform: a file descriptor, or a Winsock SOCKET (an
// unsigned integer as wide as a pointer). kNoSocket marks "none open" on both.
#pragma once

#include <cstdint>

namespace qorvin {

using TSocketHandle = intptr_t;
inline constexpr TSocketHandle kNoSocket = -1;

}  // namespace qorvin
