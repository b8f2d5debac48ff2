#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/socket/Resolve.h"
#include "platform/socket/SocketErrors.h"
#include "platform/socket/Winsock.h"

namespace qorvin {

void StartWinsock() {
  // Winsock stays started until the process ends: sockets may be closed by destructors of
  // objects that outlive any point where it could be stopped.
  static const int result = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (result != 0) RaiseSocketError(result);
}

TResolvedAddresses ResolveHost(const std::string& host, int port, int socketType, int family) {
  if (port < 0 || port > 65535) RaiseSocketError(WSAEINVAL);
  if (host.empty()) RaiseSocketError(kHostNotFoundCode);
  StartWinsock();
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = socketType;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc == WSANOTINITIALISED || rc == WSA_NOT_ENOUGH_MEMORY) RaiseSocketError(rc);
  if (rc != 0 || list == nullptr) RaiseSocketError(kHostNotFoundCode);
  TResolvedAddresses out;
  for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
    if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
    if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
    TSocketAddress s;
    s.family = a->ai_family;
    s.length = socklen_t(a->ai_addrlen);
    std::memcpy(&s.storage, a->ai_addr, a->ai_addrlen);
    out.push_back(s);
  }
  ::freeaddrinfo(list);
  if (out.empty()) RaiseSocketError(kHostNotFoundCode);
  std::stable_partition(out.begin(), out.end(),
                        [](const TSocketAddress& a) { return a.family == AF_INET; });
  return out;
}

std::string AddressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
  } else if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
  }
  return text;
}

int AddressPort(const sockaddr* address) {
  if (address->sa_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
  if (address->sa_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port);
  return 0;
}

}  // namespace qorvin
