// The latch on Windows: a UDP socket on 127.0.0.1 connected to itself. Trigger sends it one
// datagram, Reset reads it back, so the socket is readable exactly while the latch is triggered
// and select() can watch it beside the socket being waited for.
#include "platform/socket/WaitInterrupt.h"
#include "platform/socket/Winsock.h"

namespace qorvin {

TWaitInterrupt::TWaitInterrupt() {
  StartWinsock();
  const SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) RaiseSocketError(LastSocketError());
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof self;
  u_long nonBlocking = 1;
  if (::bind(s, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
      ::connect(s, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
      ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    const int error = LastSocketError();
    ::closesocket(s);
    RaiseSocketError(error);
  }
  fd_ = TSocketHandle(s);
}

TWaitInterrupt::~TWaitInterrupt() {
  ::closesocket(SOCKET(fd_));
}

void TWaitInterrupt::Trigger() noexcept {
  std::lock_guard<std::mutex> guard(lock_);
  if (triggered_.load(std::memory_order_relaxed)) return;
  triggered_.store(true, std::memory_order_release);
  const char one = 1;
  ::send(SOCKET(fd_), &one, 1, 0);
}

void TWaitInterrupt::Reset() noexcept {
  std::lock_guard<std::mutex> guard(lock_);
  if (!triggered_.load(std::memory_order_relaxed)) return;
  triggered_.store(false, std::memory_order_release);
  // Each trigger sent exactly one datagram; it may still be on its way through loopback, so
  // wait for it (a bounded while) and read it.
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(SOCKET(fd_), &readable);
  timeval wait{1, 0};
  if (::select(0, &readable, nullptr, nullptr, &wait) <= 0) return;
  char byte = 0;
  ::recv(SOCKET(fd_), &byte, 1, 0);
}

// Winsock gives no dependable way to end a blocked recv from another thread short of closing the
// socket: the waits here always watch the handle with select().
bool TWaitInterrupt::Watch(TSocketHandle) const noexcept {
  return false;
}

bool TWaitInterrupt::Unwatch(TSocketHandle) const noexcept {
  return false;
}

}  // namespace qorvin
