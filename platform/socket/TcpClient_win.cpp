// The TCP client on Winsock 2. Once connected the socket stays non-blocking: every send and
// receive waits for the socket with select() and a bound first, as the POSIX version does with
// poll(). Winsock reports a failed non-blocking connect in the exception set of select().
#include <chrono>

#include "platform/socket/Resolve.h"
#include "platform/socket/SocketErrors.h"
#include "platform/socket/TcpClient.h"
#include "platform/socket/WaitInterrupt.h"
#include "platform/socket/Winsock.h"

namespace qorvin {

namespace {

SOCKET AsSocket(TSocketHandle fd) {
  return SOCKET(fd);
}

void SetBlocking(SOCKET s, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) RaiseSocketError(LastSocketError());
}

// Connects `s` to `address`, waiting at most `timeoutMs`. Returns 0 or the Winsock error of the
// failure; -1 when the wait ran out. The socket is left non-blocking.
int ConnectOne(SOCKET s, const sockaddr* address, socklen_t length, int timeoutMs,
               const TWaitInterrupt* interrupt) {
  SetBlocking(s, false);
  if (::connect(s, address, length) != 0) {
    const int error = LastSocketError();
    if (error != WSAEWOULDBLOCK && error != WSAEINPROGRESS) return error;
    if (!WaitForSocket(TSocketHandle(s), POLLOUT, timeoutMs, interrupt)) return -1;
    int result = 0;
    int size = sizeof result;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&result), &size) != 0)
      return LastSocketError();
    if (result != 0) return result;
  }
  return 0;
}

}  // namespace

bool WaitForSocket(TSocketHandle fd, short events, int timeoutMs, const TWaitInterrupt* interrupt) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  const SOCKET s = AsSocket(fd);
  for (;;) {
    fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    if (events & POLLIN) FD_SET(s, &readable);
    if (events & POLLOUT) FD_SET(s, &writable);
    FD_SET(s, &failed);
    if (interrupt) FD_SET(SOCKET(interrupt->Handle()), &readable);
    timeval wait{};
    timeval* bound = nullptr;
    if (timeoutMs >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      const long long ms = left > 0 ? left : 0;
      wait.tv_sec = long(ms / 1000);
      wait.tv_usec = long(ms % 1000) * 1000;
      bound = &wait;
    }
    if (interrupt) interrupt->Check();
    const int n = ::select(0, &readable, &writable, &failed, bound);
    if (interrupt) interrupt->Check();
    if (n > 0 && (FD_ISSET(s, &readable) || FD_ISSET(s, &writable) || FD_ISSET(s, &failed)))
      return true;
    if (n > 0) continue;  // the latch's handle only: checked above
    if (n == 0) return false;
    const int error = LastSocketError();
    if (error != WSAEINTR) RaiseSocketError(error);
  }
}

TTcpClient::~TTcpClient() {
  Close();
}

void TTcpClient::Close() {
  if (fd_ != kNoSocket) {
    ::closesocket(AsSocket(fd_));
    fd_ = kNoSocket;
  }
}

void TTcpClient::Connect(const std::string& host, int port, int timeoutMs) {
  Close();
  if (interrupt_) interrupt_->Check();
  const TResolvedAddresses addresses = ResolveHost(host, port, SOCK_STREAM, AF_UNSPEC);
  int lastError = WSAECONNREFUSED;
  for (const TSocketAddress& a : addresses) {
    const SOCKET s = ::WSASocketW(a.family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) RaiseSocketError(LastSocketError());
    int result;
    try {
      result = ConnectOne(s, a.Address(), a.length, timeoutMs, interrupt_);
    } catch (...) {
      ::closesocket(s);
      throw;
    }
    if (result == 0) {
      fd_ = TSocketHandle(s);
      return;
    }
    ::closesocket(s);
    if (result == -1) throw EIdConnectTimeout(Format("Connect timed out after %d ms.", timeoutMs));
    lastError = result;
  }
  RaiseSocketError(lastError);
}

void TTcpClient::RequireConnected() const {
  if (fd_ == kNoSocket) throw EIdNotConnected(kNotConnected);
}

void TTcpClient::SetNoDelay(bool on) {
  RequireConnected();
  const BOOL value = on ? TRUE : FALSE;
  if (::setsockopt(AsSocket(fd_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&value),
                   sizeof value) != 0)
    RaiseSocketError(LastSocketError());
}

bool TTcpClient::NoDelay() const {
  RequireConnected();
  BOOL value = FALSE;
  int size = sizeof value;
  if (::getsockopt(AsSocket(fd_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&value),
                   &size) != 0)
    RaiseSocketError(LastSocketError());
  return value != FALSE;
}

void TTcpClient::SendAll(const void* data, size_t size, int timeoutMs) {
  RequireConnected();
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    if (interrupt_) interrupt_->Check();
    // One call takes at most 1 MiB (send's length is an int).
    const int piece = size > (1u << 20) ? int(1u << 20) : int(size);
    const int n = ::send(AsSocket(fd_), p, piece, 0);
    if (n > 0) {
      p += n;
      size -= size_t(n);
      bytesSent_ += uint64_t(n);
      continue;
    }
    const int error = n < 0 ? LastSocketError() : WSAECONNRESET;
    if (error == WSAEINTR) continue;
    if (error == WSAEWOULDBLOCK) {
      if (!WaitForSocket(fd_, POLLOUT, timeoutMs, interrupt_))
        throw EIdWriteTimeout(Format("Write timed out after %d ms.", timeoutMs));
      continue;
    }
    RaiseSocketError(error);
  }
}

size_t TTcpClient::ReceiveSome(void* data, size_t size, int timeoutMs) {
  RequireConnected();
  const int piece = size > (1u << 20) ? int(1u << 20) : int(size);
  for (;;) {
    if (!WaitForSocket(fd_, POLLIN, timeoutMs, interrupt_))
      throw EIdReadTimeout(Format("Read timed out after %d ms.", timeoutMs));
    const int n = ::recv(AsSocket(fd_), static_cast<char*>(data), piece, 0);
    if (n >= 0) return size_t(n);
    const int error = LastSocketError();
    if (error == WSAEINTR || error == WSAEWOULDBLOCK) continue;
    RaiseSocketError(error);
  }
}

// ReceiveSome waits first here already.
size_t TTcpClient::AwaitSome(void* data, size_t size, int timeoutMs) {
  return ReceiveSome(data, size, timeoutMs);
}

void TTcpClient::ReceiveExactly(void* data, size_t size, int timeoutMs) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const size_t n = ReceiveSome(p, size, timeoutMs);
    if (n == 0) throw EIdConnClosedGracefully(kConnClosedGracefully);
    p += n;
    size -= n;
  }
}

bool TTcpClient::WaitReadable(int timeoutMs) const {
  RequireConnected();
  return WaitForSocket(fd_, POLLIN, timeoutMs, interrupt_);
}

std::string TTcpClient::PeerAddress() const {
  if (fd_ == kNoSocket) return {};
  sockaddr_storage address{};
  int length = sizeof address;
  if (::getpeername(AsSocket(fd_), reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  return AddressText(reinterpret_cast<const sockaddr*>(&address));
}

}  // namespace qorvin
