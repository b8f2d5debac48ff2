#include "platform/socket/WaitInterrupt.h"

#include <sys/eventfd.h>
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
}

void TWaitInterrupt::Reset() noexcept {
  std::lock_guard<std::mutex> guard(lock_);
  if (!triggered_.load(std::memory_order_relaxed)) return;
  triggered_.store(false, std::memory_order_release);
  uint64_t value = 0;
  [[maybe_unused]] const ssize_t n = ::read(fd_, &value, sizeof value);
}

}  // namespace qorvin
