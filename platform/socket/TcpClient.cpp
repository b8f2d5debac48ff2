#include "platform/socket/TcpClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/socket/BlockingReceive.h"
#include "platform/socket/Resolve.h"
#include "platform/socket/SocketErrors.h"
#include "platform/socket/WaitInterrupt.h"

namespace qorvin {

bool WaitForSocket(TSocketHandle fd, short events, int timeoutMs, const TWaitInterrupt* interrupt) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    int wait = timeoutMs;
    if (timeoutMs >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      wait = left.count() > 0 ? int(left.count()) : 0;
    }
    if (interrupt) interrupt->Check();
    pollfd p[2] = {{int(fd), events, 0}, {interrupt ? int(interrupt->Handle()) : -1, POLLIN, 0}};
    const int n = ::poll(p, interrupt ? 2 : 1, wait);
    if (interrupt) interrupt->Check();
    if (n > 0 && p[0].revents != 0) return true;
    if (n > 0) continue;  // the latch's handle only: checked above
    if (n == 0) return false;
    if (errno != EINTR) RaiseSocketError(errno);
  }
}

namespace {

void SetBlocking(int fd, bool blocking) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) RaiseSocketError(errno);
  const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (::fcntl(fd, F_SETFL, wanted) < 0) RaiseSocketError(errno);
}

// Connects `fd` to `address`, waiting at most `timeoutMs`. Returns 0 or the errno of the
// failure; -1 when the wait ran out.
int ConnectOne(int fd, const sockaddr* address, socklen_t length, int timeoutMs,
               const TWaitInterrupt* interrupt) {
  SetBlocking(fd, false);
  if (::connect(fd, address, length) != 0) {
    if (errno != EINPROGRESS) return errno;
    if (!WaitForSocket(fd, POLLOUT, timeoutMs, interrupt)) return -1;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    if (error != 0) return error;
  }
  SetBlocking(fd, true);
  return 0;
}

}  // namespace

TTcpClient::~TTcpClient() {
  Close();
}

void TTcpClient::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

void TTcpClient::Connect(const std::string& host, int port, int timeoutMs) {
  Close();
  if (interrupt_) interrupt_->Check();
  const TResolvedAddresses addresses = ResolveHost(host, port, SOCK_STREAM, AF_UNSPEC);
  int lastError = ECONNREFUSED;
  for (const TSocketAddress& a : addresses) {
    const int fd = ::socket(a.family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) RaiseSocketError(errno);
    int result;
    try {
      result = ConnectOne(fd, a.Address(), a.length, timeoutMs, interrupt_);
    } catch (...) {
      ::close(fd);
      throw;
    }
    if (result == 0) {
      fd_ = fd;
      receiveTimeoutMs_ = kWaitForever;
      return;
    }
    ::close(fd);
    if (result == -1) throw EIdConnectTimeout(Format("Connect timed out after %d ms.", timeoutMs));
    lastError = result;
  }
  RaiseSocketError(lastError);
}

void TTcpClient::RequireConnected() const {
  if (fd_ < 0) throw EIdNotConnected(kNotConnected);
}

void TTcpClient::SetNoDelay(bool on) {
  RequireConnected();
  const int value = on ? 1 : 0;
  if (::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0)
    RaiseSocketError(errno);
}

bool TTcpClient::NoDelay() const {
  RequireConnected();
  int value = 0;
  socklen_t size = sizeof value;
  if (::getsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &value, &size) != 0) RaiseSocketError(errno);
  return value != 0;
}

void TTcpClient::SendAll(const void* data, size_t size, int timeoutMs) {
  RequireConnected();
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    if (interrupt_) interrupt_->Check();
    const ssize_t n = ::send(fd_, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      size -= size_t(n);
      bytesSent_ += uint64_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitForSocket(fd_, POLLOUT, timeoutMs, interrupt_))
        throw EIdWriteTimeout(Format("Write timed out after %d ms.", timeoutMs));
      continue;
    }
    RaiseSocketError(n < 0 ? errno : EPIPE);
  }
}

// Tries the receive first and waits only when nothing is there yet: the rest of a frame whose
// start was just read is usually there, and a wait costs a system call of its own.
size_t TTcpClient::ReceiveSome(void* data, size_t size, int timeoutMs) {
  RequireConnected();
  for (;;) {
    if (interrupt_) interrupt_->Check();
    const ssize_t n = ::recv(fd_, data, size, MSG_DONTWAIT);
    if (n >= 0) return size_t(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) RaiseSocketError(errno);
    if (!WaitForSocket(fd_, POLLIN, timeoutMs, interrupt_))
      throw EIdReadTimeout(Format("Read timed out after %d ms.", timeoutMs));
  }
}

size_t TTcpClient::AwaitSome(void* data, size_t size, int timeoutMs) {
  RequireConnected();
  const TReceived r = ReceiveWaiting(int(fd_), data, size, 0, nullptr, nullptr, timeoutMs,
                                     interrupt_, receiveTimeoutMs_, false);
  if (r.cancelled) throw EIdCancelled(kCallCancelled);
  if (r.timedOut) throw EIdReadTimeout(Format("Read timed out after %d ms.", timeoutMs));
  return size_t(r.size);
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
  if (fd_ < 0) return {};
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  return AddressText(reinterpret_cast<const sockaddr*>(&address));
}

}  // namespace qorvin
