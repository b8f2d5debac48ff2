#include "platform/rtl/Prefaulter.h"

#include <algorithm>
#include <system_error>

#include "platform/rtl/OsServices.h"

namespace qorvin {

TPrefaulter::TPrefaulter(void* block, size_t size, size_t step) {
  step = std::max<size_t>(step, 4096);
  try {
    thread_ = std::thread([this, at = static_cast<char*>(block), size, step] {
      for (size_t done = 0; done < size && !stop_.load(std::memory_order_relaxed);) {
        const size_t n = std::min(step, size - done);
        if (!PrefaultForWrite(at + done, n)) return;
        done += n;
      }
    });
  } catch (const std::system_error&) {
    // No thread to be had: the writer faults its pages in itself.
  }
}

void TPrefaulter::Stop() {
  stop_.store(true, std::memory_order_relaxed);
  if (thread_.joinable()) thread_.join();
}

}  // namespace qorvin
