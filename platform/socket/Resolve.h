// Host name resolution and socket address helpers shared by the TCP and UDP clients.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <sys/socket.h>
#endif

#include <string>
#include <vector>

namespace qorvin {

struct TSocketAddress {
  int family = 0;
  socklen_t length = 0;
  sockaddr_storage storage{};
  const sockaddr* Address() const { return reinterpret_cast<const sockaddr*>(&storage); }
};
using TResolvedAddresses = std::vector<TSocketAddress>;

// Resolves `host` (a name or a dotted/colon address) for `port`, in the resolver's order, with
// IPv4 addresses first. `family` is AF_UNSPEC, AF_INET or AF_INET6. Never empty: a name that
// cannot be resolved fails with EIdSocketError (kHostNotFoundCode, "Host not found.").
TResolvedAddresses ResolveHost(const std::string& host, int port, int socketType, int family);

// The numeric text of an IPv4 or IPv6 address ("127.0.0.1"); empty for other families.
std::string AddressText(const sockaddr* address);
// The port of an IPv4 or IPv6 address in host order; 0 for other families.
int AddressPort(const sockaddr* address);

}  // namespace qorvin
