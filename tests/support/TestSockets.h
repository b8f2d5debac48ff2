// The few socket calls the test servers make, on POSIX sockets and on Winsock 2 alike, so that
// the same loopback servers run in the Linux tests and in the Windows tests under Wine.
//
// Test code keeps sockets in an `int`: a Winsock SOCKET is a small handle value that fits. It
// calls the functions below instead of close/poll/accept4, and passes kNoSignal to send.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdexcept>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace qorvin::testing {

#ifdef _WIN32
inline constexpr int kNoSignal = 0;
// The error code of a refused connection (what EIdSocketError::LastError reports).
inline constexpr int kRefusedCode = WSAECONNREFUSED;
// Starts Winsock once (the library under test starts it as well; the counts add up).
inline void StartSockets() {
  static const bool started = [] {
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup");
    return true;
  }();
  (void)started;
}
inline int OpenSocket(int family, int type) {
  StartSockets();
  const SOCKET s = ::socket(family, type, 0);
  return s == INVALID_SOCKET ? -1 : int(s);
}
inline void CloseSocket(int fd) {
  ::closesocket(SOCKET(fd));
}
inline int PollSocket(int fd, short events, int timeoutMs) {
  WSAPOLLFD p{SOCKET(fd), events, 0};
  return ::WSAPoll(&p, 1, timeoutMs);
}
inline int AcceptSocket(int fd) {
  const SOCKET s = ::accept(SOCKET(fd), nullptr, nullptr);
  return s == INVALID_SOCKET ? -1 : int(s);
}
inline int SetSocketOption(int fd, int level, int name, int value) {
  return ::setsockopt(SOCKET(fd), level, name, reinterpret_cast<const char*>(&value), sizeof value);
}
#else
inline constexpr int kNoSignal = MSG_NOSIGNAL;
inline constexpr int kRefusedCode = ECONNREFUSED;
inline int OpenSocket(int family, int type) {
  return ::socket(family, type | SOCK_CLOEXEC, 0);
}
inline void CloseSocket(int fd) {
  ::close(fd);
}
inline int PollSocket(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, timeoutMs);
}
inline int AcceptSocket(int fd) {
  return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
}
inline int SetSocketOption(int fd, int level, int name, int value) {
  return ::setsockopt(fd, level, name, &value, sizeof value);
}
#endif

}  // namespace qorvin::testing
