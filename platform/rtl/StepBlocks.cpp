// POSIX: each thread keeps up to eight blocks (64 KiB), freed when the thread ends. A UDP call
// holds five streams at once (request, body, pending copy, answer, response): with fewer kept,
// every call allocated one block and freed another.
#include "platform/rtl/StepBlocks.h"

#include <cstdlib>

namespace qorvin {
namespace {

class KeptBlocks {
 public:
  static constexpr int kKept = 8;
  ~KeptBlocks() {
    ended_ = true;
    while (count_ > 0) std::free(blocks_[--count_]);
  }
  void* Take() { return count_ > 0 ? blocks_[--count_] : nullptr; }
  void Drop(void* block) {
    if (!ended_ && count_ < kKept)
      blocks_[count_++] = block;
    else
      std::free(block);
  }

 private:
  void* blocks_[kKept] = {};
  int count_ = 0;
  bool ended_ = false;  // a stream destroyed after this thread's blocks were returned
};

thread_local KeptBlocks t_kept;

}  // namespace

void* TakeStepBlock() {
  return t_kept.Take();
}

void DropStepBlock(void* block) {
  t_kept.Drop(block);
}

}  // namespace qorvin
