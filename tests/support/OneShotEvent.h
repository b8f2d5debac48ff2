// A one-shot event for tests: one thread sets it, others wait for it with a bound, so a test
// waits on what happened instead of sleeping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qorvin::test {

class OneShotEvent {
 public:
  explicit OneShotEvent(std::chrono::milliseconds bound) : bound_(bound) {}

  void Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
    cv_.notify_all();
  }

  // True once set; false when the bound passed first.
  bool Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, bound_, [&] { return set_; });
  }

 private:
  const std::chrono::milliseconds bound_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool set_ = false;
};

}  // namespace qorvin::test
