// Faults in the pages of a large block on a thread of its own, from its start onwards, ahead of a
// writer that fills the block in order: the writer then finds its pages present instead of
// stopping at each one while the kernel clears it. The contents are never changed, so the writer
// may overtake the thread (it then faults its pages itself, as without this class).
//
// Stop the thread (Stop or destruction) before the block is moved or freed. Where the platform
// cannot fault pages in (PrefaultForWrite) or no thread can be started, nothing happens.
#pragma once

#include <atomic>
#include <cstddef>
#include <thread>

namespace qorvin {

class TPrefaulter {
 public:
  TPrefaulter(void* block, size_t size, size_t step = size_t(2) << 20);
  ~TPrefaulter() { Stop(); }
  TPrefaulter(const TPrefaulter&) = delete;
  TPrefaulter& operator=(const TPrefaulter&) = delete;

  // Returns once the thread has finished the step in hand (at most `step` bytes) and ended.
  void Stop();

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace qorvin
