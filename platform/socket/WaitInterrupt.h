// A latch that ends blocking socket waits from another thread.
//
// `Trigger` may be called from any thread at any time; from then on every wait that watches the
// latch (TTcpClient, TUdpSocket, the HTTP engine) ends at once with the "cancelled" failure, and
// so does every later wait, until `Reset`. The latch owns a handle that the waits put into their
// poll set beside the socket; it is readable exactly while the latch is triggered.
//
// Threads: Trigger, Reset and Triggered are safe from any thread. The owner keeps the latch alive
// as long as any socket watches it.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/socket/SocketErrors.h"
#include "platform/socket/SocketHandle.h"

namespace qorvin {

// The text of a wait ended by the latch.
inline constexpr const char* kCallCancelled = "The call was cancelled.";

// A wait ended because the latch was triggered.
QORVIN_DECLARE_EXCEPTION(EIdCancelled, EIdException);

class TWaitInterrupt {
 public:
  // EIdSocketError when the platform cannot make the handle.
  TWaitInterrupt();
  ~TWaitInterrupt();
  TWaitInterrupt(const TWaitInterrupt&) = delete;
  TWaitInterrupt& operator=(const TWaitInterrupt&) = delete;

  void Trigger() noexcept;
  void Reset() noexcept;
  bool Triggered() const noexcept { return triggered_.load(std::memory_order_acquire); }
  // Readable while triggered; wait for it with POLLIN (an eventfd; on Windows a socket, so that
  // select() can watch it beside the socket).
  TSocketHandle Handle() const noexcept { return fd_; }
  // Raises EIdCancelled when triggered.
  void Check() const {
    if (Triggered()) throw EIdCancelled(kCallCancelled);
  }

 private:
  std::mutex lock_;  // Trigger and Reset in turn, so the handle always matches the flag
  TSocketHandle fd_ = kNoSocket;
  std::atomic<bool> triggered_{false};
};

}  // namespace qorvin
