#include "platform/socket/UdpSocket.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/socket/Resolve.h"
#include "platform/socket/SocketErrors.h"
#include "platform/socket/TcpClient.h"
#include "platform/socket/WaitInterrupt.h"

namespace qorvin {

TUdpSocket::~TUdpSocket() {
  Close();
}

void TUdpSocket::Close() {
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
}

void TUdpSocket::SendTo(const std::string& host, int port, const void* data, size_t size) {
  if (size > kMaxUdpPayload) throw EIdPackageSizeTooBig(kPackageSizeTooBig);
  const TResolvedAddresses addresses = ResolveHost(host, port, SOCK_DGRAM, AF_UNSPEC);
  const TSocketAddress* target = &addresses.front();
  if (fd_ >= 0) {
    target = nullptr;
    for (const TSocketAddress& a : addresses)
      if (a.family == family_) {
        target = &a;
        break;
      }
    if (target == nullptr) RaiseSocketError(EAFNOSUPPORT);
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
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    int wait = timeoutMs;
    if (timeoutMs >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? int(left) : 0;
    }
    if (!WaitForSocket(fd_, POLLIN, wait, interrupt_)) return false;
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(fd_, buffer, capacity, MSG_DONTWAIT | MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      // An earlier datagram to a closed port comes back as a refusal on the next receive; it
      // says nothing about the datagram being waited for.
      if (errno == ECONNREFUSED) continue;
      RaiseSocketError(errno);
    }
    info.truncated = size_t(n) > capacity;
    info.size = info.truncated ? capacity : size_t(n);
    info.peerAddress = AddressText(reinterpret_cast<const sockaddr*>(&from));
    info.peerPort = AddressPort(reinterpret_cast<const sockaddr*>(&from));
    return true;
  }
}

int TUdpSocket::LocalPort() const {
  if (fd_ < 0) return 0;
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return AddressPort(reinterpret_cast<const sockaddr*>(&local));
}

}  // namespace qorvin
