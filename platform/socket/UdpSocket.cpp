#include "platform/socket/UdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/socket/BlockingReceive.h"
#include "platform/socket/Resolve.h"
#include "platform/socket/SocketErrors.h"
#include "platform/socket/WaitInterrupt.h"

namespace qorvin {

TUdpSocket::TUdpSocket() = default;

TUdpSocket::~TUdpSocket() {
  Close();
}

void TUdpSocket::Close() {
  keptPort_ = -1;
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

void TUdpSocket::EnsureSocket(int family) {
  if (fd_ >= 0) return;
  const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) RaiseSocketError(errno);
  fd_ = fd;
  family_ = family;
  receiveTimeoutMs_ = -1;  // none
}

// A host written as a plain numeric address resolves to itself, always: its answer is kept for
// the next sends to the same host and port. A name is resolved again at every send.
bool TUdpSocket::KeptTarget(const std::string& host, int port) const {
  return fd_ >= 0 && keptPort_ == port && keptHost_ == host;
}

void TUdpSocket::KeepTarget(const std::string& host, int port, const TSocketAddress& target) {
  in6_addr numeric{};
  const bool isNumeric = ::inet_pton(AF_INET, host.c_str(), &numeric) == 1 ||
                         ::inet_pton(AF_INET6, host.c_str(), &numeric) == 1;
  if (!keptTarget_) keptTarget_ = std::make_unique<TSocketAddress>();
  *keptTarget_ = target;
  keptPort_ = isNumeric ? port : -1;
  keptHost_ = isNumeric ? host : std::string();
}

void TUdpSocket::SendTo(const std::string& host, int port, const void* data, size_t size) {
  if (size > kMaxUdpPayload) throw EIdPackageSizeTooBig(kPackageSizeTooBig);
  const TSocketAddress* target = keptTarget_.get();
  TResolvedAddresses addresses;
  if (!KeptTarget(host, port)) {
    addresses = ResolveHost(host, port, SOCK_DGRAM, AF_UNSPEC);
    target = &addresses.front();
    if (fd_ >= 0) {
      // The open socket's family when the host has an address of it; else a socket of the
      // host's family replaces it (nothing of an earlier exchange is awaited on it any more).
      for (const TSocketAddress& a : addresses)
        if (a.family == family_) {
          target = &a;
          break;
        }
      if (target->family != family_) Close();
    }
    KeepTarget(host, port, *target);
    target = keptTarget_.get();
  }
  EnsureSocket(target->family);
  for (;;) {
    const ssize_t n = ::sendto(fd_, data, size, MSG_NOSIGNAL, target->Address(), target->length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EMSGSIZE) throw EIdPackageSizeTooBig(kPackageSizeTooBig);
    if (n < 0) RaiseSocketError(errno);
    if (size_t(n) != size) throw EIdNotAllBytesSent(kNotAllBytesSent);
    return;
  }
}

bool TUdpSocket::ReceiveFrom(void* buffer, size_t capacity, int timeoutMs, TDatagramInfo& info) {
  EnsureSocket(AF_INET);
  sockaddr_storage from{};
  socklen_t length = sizeof from;
  const TReceived r =
      ReceiveWaiting(int(fd_), buffer, capacity, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from),
                     &length, timeoutMs, interrupt_, receiveTimeoutMs_, true);
  if (r.cancelled) {
    // The latch may have shut the socket down for reading: the next call makes a new one.
    Close();
    throw EIdCancelled(kCallCancelled);
  }
  if (r.timedOut) return false;
  info.truncated = size_t(r.size) > capacity;
  info.size = info.truncated ? capacity : size_t(r.size);
  info.peerAddress = AddressText(reinterpret_cast<const sockaddr*>(&from));
  info.peerPort = AddressPort(reinterpret_cast<const sockaddr*>(&from));
  return true;
}

int TUdpSocket::LocalPort() const {
  if (fd_ < 0) return 0;
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return AddressPort(reinterpret_cast<const sockaddr*>(&local));
}

}  // namespace qorvin
