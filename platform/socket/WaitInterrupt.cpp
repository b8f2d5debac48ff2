#include "platform/socket/WaitInterrupt.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace qorvin {

TWaitInterrupt::TWaitInterrupt() {
  fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd_ < 0) RaiseSocketError(errno);
}

TWaitInterrupt::~TWaitInterrupt() {
  ::close(fd_);
}

// The counter stays above zero (the handle readable) until Reset reads it back to zero.
void TWaitInterrupt::Trigger() noexcept {
  std::lock_guard<std::mutex> guard(lock_);
  if (triggered_.load(std::memory_order_relaxed)) return;
  triggered_.store(true, std::memory_order_release);
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
  // A blocked receive returns (0) once its socket is shut down for reading; an unconnected UDP
  // socket reports ENOTCONN, and is woken all the same.
  for (int i = 0; i < kMaxWatched; ++i)
    if (watched_[i] != kNoSocket && !shutDown_[i]) {
      ::shutdown(int(watched_[i]), SHUT_RD);
      shutDown_[i] = true;
    }
}

bool TWaitInterrupt::Watch(TSocketHandle socket) const noexcept {
  std::lock_guard<std::mutex> guard(lock_);
  if (triggered_.load(std::memory_order_relaxed)) return false;
  for (int i = 0; i < kMaxWatched; ++i)
    if (watched_[i] == kNoSocket) {
      watched_[i] = socket;
      shutDown_[i] = false;
      return true;
    }
  return false;
}

bool TWaitInterrupt::Unwatch(TSocketHandle socket) const noexcept {
  std::lock_guard<std::mutex> guard(lock_);
  for (int i = 0; i < kMaxWatched; ++i)
    if (watched_[i] == socket) {
      watched_[i] = kNoSocket;
      return shutDown_[i];
    }
  return false;
}

void TWaitInterrupt::Reset() noexcept {
  std::lock_guard<std::mutex> guard(lock_);
  if (!triggered_.load(std::memory_order_relaxed)) return;
  triggered_.store(false, std::memory_order_release);
  uint64_t value = 0;
  [[maybe_unused]] const ssize_t n = ::read(fd_, &value, sizeof value);
}

}  // namespace qorvin
