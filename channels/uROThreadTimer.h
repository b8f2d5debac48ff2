// TROThreadTimer: calls a function every interval on a thread of its own.
//
// The thread waits on a wake-up event with the interval as time-out (an interval below 100 ms
// counts as 100 ms); after each wait, unless it is ending, it calls the callback — so the first
// call comes one interval after the start. With `synchronized` the callback runs on the main
// thread through the host's poster (uROMainThread.h) and the timer thread waits for it; without a
// poster, or without `synchronized`, it runs on the timer thread. A failure of the callback is
// swallowed (there is nobody to report it to); the next interval runs as usual.
//
// Stop (also the destructor) signals the thread to end, wakes it, gives up a callback queued to
// the main thread, waits until the thread has ended, then pauses 10 ms. Called from inside the
// callback on the timer thread, it does not wait for its own thread (the thread ends after the
// callback returns). Interval and synchronization can be changed while it runs; a new interval
// applies at once to the wait in progress, measured from its start.
//
// Thread: construct, change and stop from one controlling thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "channels/uROMainThread.h"

namespace qorvin {

class TROThreadTimer {
 public:
  TROThreadTimer(std::function<void()> callback, uint32_t intervalMs, bool synchronized);
  ~TROThreadTimer();
  TROThreadTimer(const TROThreadTimer&) = delete;
  TROThreadTimer& operator=(const TROThreadTimer&) = delete;

  void Stop();
  void SetInterval(uint32_t intervalMs);
  uint32_t Interval() const { return shared_->interval; }
  void SetSynchronized(bool value) { shared_->synchronized = value; }
  bool Synchronized() const { return shared_->synchronized; }
  // Number of callbacks that have run (for diagnostics and tests).
  uint64_t Ticks() const { return shared_->ticks; }

  static constexpr uint32_t kMinimumInterval = 100;

 private:
  // Everything the thread touches; shared so that a thread detached by a Stop from inside its
  // own callback never outlives what it uses.
  struct Shared {
    std::function<void()> callback;
    std::atomic<uint32_t> interval;
    std::atomic<bool> synchronized;
    std::atomic<uint64_t> ticks = 0;
    std::mutex lock;
    std::condition_variable wake;
    bool ending = false;                         // guarded by lock
    uint64_t generation = 0;                     // interval changes; guarded by lock
    std::shared_ptr<TROMainThreadCall> pending;  // guarded by lock
  };
  static void Run(std::shared_ptr<Shared> shared);

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace qorvin
