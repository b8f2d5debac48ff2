#include <poll.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>

#include "platform/socket/BlockingReceive.h"
#include "platform/socket/SocketErrors.h"
#include "platform/socket/TcpClient.h"
#include "platform/socket/WaitInterrupt.h"

namespace qorvin {

namespace {

void SetReceiveTimeout(int fd, int timeoutMs, int& socketTimeoutMs) {
  if (timeoutMs == socketTimeoutMs) return;
  timeval bound{};  // zero: no time-out
  if (timeoutMs > 0) {
    bound.tv_sec = timeoutMs / 1000;
    bound.tv_usec = (timeoutMs % 1000) * 1000;
  }
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) != 0) RaiseSocketError(errno);
  socketTimeoutMs = timeoutMs;
}

// Holds the latch's watch on a socket for one receive.
class TWatch {
 public:
  TWatch(const TWaitInterrupt* interrupt, int fd) : interrupt_(interrupt), fd_(fd) {
    watching_ = interrupt_ != nullptr && interrupt_->Watch(fd_);
  }
  ~TWatch() { End(); }
  TWatch(const TWatch&) = delete;
  TWatch& operator=(const TWatch&) = delete;
  // Whether the receive may block in the socket: the latch watches it, or there is no latch.
  bool CanBlock() const { return watching_ || interrupt_ == nullptr; }
  // Ends the watch; true when the latch shut the socket down meanwhile.
  bool End() {
    if (!watching_) return false;
    watching_ = false;
    return interrupt_->Unwatch(fd_);
  }

 private:
  const TWaitInterrupt* interrupt_;
  int fd_;
  bool watching_ = false;
};

}  // namespace

TReceived ReceiveWaiting(int fd, void* data, size_t size, int flags, sockaddr* from,
                         socklen_t* fromLength, int timeoutMs, const TWaitInterrupt* interrupt,
                         int& socketTimeoutMs, bool datagram) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  TReceived result;
  if (interrupt != nullptr && interrupt->Triggered()) {
    result.cancelled = true;
    return result;
  }
  TWatch watch(interrupt, fd);
  for (;;) {
    int left = kWaitForever;
    if (timeoutMs >= 0) {
      const auto rest =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      left = rest > 0 ? int(rest) : 0;
    }
    int wait = flags;
    if (left == 0) {
      wait |= MSG_DONTWAIT;
    } else if (watch.CanBlock()) {
      SetReceiveTimeout(fd, left, socketTimeoutMs);
    } else {
      // The latch watches too many sockets: wait beside its handle (raises EIdCancelled).
      if (!WaitForSocket(fd, POLLIN, left, interrupt)) {
        result.timedOut = true;
        return result;
      }
      wait |= MSG_DONTWAIT;
    }
    const ssize_t n = ::recvfrom(fd, data, size, wait, from, fromLength);
    const int error = errno;
    if (interrupt != nullptr && interrupt->Triggered()) {
      result.cancelled = true;
      return result;
    }
    if (n >= 0) {
      result.size = n;
      break;
    }
    if (error == EINTR || (datagram && error == ECONNREFUSED)) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      if (left == 0) {
        result.timedOut = true;
        return result;
      }
      continue;  // the socket's time-out: the loop measures what is left of the bound
    }
    RaiseSocketError(error);
  }
  // Shut down after the receive returned: what came is of no use to a cancelled call.
  if (watch.End()) result.cancelled = true;
  return result;
}

}  // namespace qorvin
