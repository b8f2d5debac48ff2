// The UDP socket on Winsock 2. Receives wait with select() and a bound (WaitForSocket); the
// socket stays non-blocking. Winsock refuses to wait on or receive from a socket that has no
// local address yet, so the socket is bound to the wildcard address and a port the system picks
// as soon as it is created (POSIX picks that port at the first send).
#include <chrono>

#include "platform/socket/Resolve.h"
#include "platform/socket/SocketErrors.h"
#include "platform/socket/TcpClient.h"
#include "platform/socket/UdpSocket.h"
#include "platform/socket/WaitInterrupt.h"
#include "platform/socket/Winsock.h"

namespace qorvin {

TUdpSocket::TUdpSocket() = default;

TUdpSocket::~TUdpSocket() {
  Close();
}

void TUdpSocket::Close() {
  if (fd_ != kNoSocket) {
    ::closesocket(SOCKET(fd_));
    fd_ = kNoSocket;
  }
}

void TUdpSocket::EnsureSocket(int family) {
  if (fd_ != kNoSocket) return;
  StartWinsock();
  const SOCKET s = ::WSASocketW(family, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) RaiseSocketError(LastSocketError());
  sockaddr_storage local{};
  local.ss_family = ADDRESS_FAMILY(family);
  const int localLength = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  u_long nonBlocking = 1;
  if (::bind(s, reinterpret_cast<const sockaddr*>(&local), localLength) != 0 ||
      ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    const int error = LastSocketError();
    ::closesocket(s);
    RaiseSocketError(error);
  }
  fd_ = TSocketHandle(s);
  family_ = family;
}

void TUdpSocket::SendTo(const std::string& host, int port, const void* data, size_t size) {
  if (size > kMaxUdpPayload) throw EIdPackageSizeTooBig(kPackageSizeTooBig);
  const TResolvedAddresses addresses = ResolveHost(host, port, SOCK_DGRAM, AF_UNSPEC);
  const TSocketAddress* target = &addresses.front();
  if (fd_ != kNoSocket) {
    // The open socket's family when the host has an address of it; else a socket of the
    // host's family replaces it (nothing of an earlier exchange is awaited on it any more).
    for (const TSocketAddress& a : addresses)
      if (a.family == family_) {
        target = &a;
        break;
      }
    if (target->family != family_) Close();
  }
  EnsureSocket(target->family);
  for (;;) {
    const int n = ::sendto(SOCKET(fd_), static_cast<const char*>(data), int(size), 0,
                           target->Address(), target->length);
    if (n < 0) {
      const int error = LastSocketError();
      if (error == WSAEINTR) continue;
      if (error == WSAEMSGSIZE) throw EIdPackageSizeTooBig(kPackageSizeTooBig);
      if (error == WSAEWOULDBLOCK) {
        // The send buffer is full: wait for room, bounded like a receive.
        if (!WaitForSocket(fd_, POLLOUT, 5000)) RaiseSocketError(WSAETIMEDOUT);
        continue;
      }
      RaiseSocketError(error);
    }
    if (size_t(n) != size) throw EIdNotAllBytesSent(kNotAllBytesSent);
    return;
  }
}

bool TUdpSocket::ReceiveFrom(void* buffer, size_t capacity, int timeoutMs, TDatagramInfo& info) {
  EnsureSocket(AF_INET);
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  const int room = capacity > kMaxUdpPayload ? int(kMaxUdpPayload) : int(capacity);
  for (;;) {
    int wait = timeoutMs;
    if (timeoutMs >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? int(left) : 0;
    }
    if (!WaitForSocket(fd_, POLLIN, wait, interrupt_)) return false;
    sockaddr_storage from{};
    int length = sizeof from;
    const int n = ::recvfrom(SOCKET(fd_), static_cast<char*>(buffer), room, 0,
                             reinterpret_cast<sockaddr*>(&from), &length);
    bool truncated = false;
    if (n < 0) {
      const int error = LastSocketError();
      if (error == WSAEINTR || error == WSAEWOULDBLOCK) continue;
      // An earlier datagram to a closed port comes back as a reset on the next receive; it
      // says nothing about the datagram being waited for.
      if (error == WSAECONNRESET) continue;
      // A datagram larger than the buffer: Winsock stores what fits and drops the rest.
      if (error != WSAEMSGSIZE) RaiseSocketError(error);
      truncated = true;
    }
    info.truncated = truncated;
    info.size = truncated ? size_t(room) : size_t(n);
    info.peerAddress = AddressText(reinterpret_cast<const sockaddr*>(&from));
    info.peerPort = AddressPort(reinterpret_cast<const sockaddr*>(&from));
    return true;
  }
}

int TUdpSocket::LocalPort() const {
  if (fd_ == kNoSocket) return 0;
  sockaddr_storage local{};
  int length = sizeof local;
  if (::getsockname(SOCKET(fd_), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return AddressPort(reinterpret_cast<const sockaddr*>(&local));
}

}  // namespace qorvin
