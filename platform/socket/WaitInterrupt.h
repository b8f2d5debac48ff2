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

  // A receive that blocks in the socket itself (no wait on the handle beside it) is ended by
  // shutting the socket down for reading. `Watch(socket)` asks a later Trigger to do that, until
  // `Unwatch(socket)`. Watch returns false when the latch is already triggered, when it watches
  // as many sockets as it can, or where the platform cannot end such a receive (Windows): the
  // caller then waits on the handle instead. Unwatch returns whether the socket was shut down
  // meanwhile: it can receive nothing more and must be closed. The caller keeps the socket open
  // while it is watched.
  bool Watch(TSocketHandle socket) const noexcept;
  bool Unwatch(TSocketHandle socket) const noexcept;

 private:
  mutable std::mutex lock_;  // Trigger, Reset, Watch and Unwatch in turn: handle and flag agree
  TSocketHandle fd_ = kNoSocket;
  std::atomic<bool> triggered_{false};
  // Sockets watched by blocking receives (kNoSocket: a free place); a receive holds one place.
  static constexpr int kMaxWatched = 4;
  mutable TSocketHandle watched_[kMaxWatched] = {kNoSocket, kNoSocket, kNoSocket, kNoSocket};
  mutable bool shutDown_[kMaxWatched] = {};
};

}  // namespace qorvin
