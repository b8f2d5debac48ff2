#include "platform/socket/Resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/socket/SocketErrors.h"

namespace qorvin {

namespace {

// Keeps a filled sockaddr_in or sockaddr_in6 as the one answer.
template <typename Address>
bool Answer(const Address& address, int af, TSocketAddress& out) {
  out.family = af;
  out.length = sizeof address;
  std::memcpy(&out.storage, &address, sizeof address);
  return true;
}

// A host written as a plain dotted IPv4 or IPv6 address is its own answer: the resolver would
// give back just that address. Other spellings the resolver takes ("127.1", a scope suffix)
// still go through it.
bool NumericAddress(const std::string& host, int port, int family, TSocketAddress& out) {
  sockaddr_in v4{};
  if (family != AF_INET6 && ::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(uint16_t(port));
    return Answer(v4, AF_INET, out);
  }
  sockaddr_in6 v6{};
  if (family != AF_INET && ::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(uint16_t(port));
    return Answer(v6, AF_INET6, out);
  }
  return false;
}

}  // namespace

TResolvedAddresses ResolveHost(const std::string& host, int port, int socketType, int family) {
  if (port < 0 || port > 65535) RaiseSocketError(EINVAL);
  if (host.empty()) RaiseSocketError(kHostNotFoundCode);
  if (TSocketAddress numeric; NumericAddress(host, port, family, numeric)) return {numeric};
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = socketType;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc == EAI_SYSTEM) RaiseSocketError(errno);
  // The code stays the one every platform reports for a name that does not resolve; the text
  // names the host and gives the resolver's own reason.
  if (rc != 0 || list == nullptr)
    throw EIdSocketError(kHostNotFoundCode, "Host not found: " + host + " (" +
                                                (rc != 0 ? gai_strerror(rc) : "no address") + ").");
  TResolvedAddresses out;
  for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
    if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
    if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
    TSocketAddress s;
    s.family = a->ai_family;
    s.length = a->ai_addrlen;
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
    // Written digit by digit: every datagram received is labelled with its sender.
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    const auto* b = reinterpret_cast<const uint8_t*>(&v4->sin_addr);
    char* p = text;
    for (int i = 0; i < 4; ++i) {
      if (i > 0) *p++ = '.';
      if (b[i] >= 100) *p++ = char('0' + b[i] / 100);
      if (b[i] >= 10) *p++ = char('0' + b[i] / 10 % 10);
      *p++ = char('0' + b[i] % 10);
    }
    return std::string(text, size_t(p - text));
  }
  if (address->sa_family == AF_INET6) {
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
