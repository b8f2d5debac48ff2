#include "platform/rtl/OsServices.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <thread>

namespace qorvin {

double LocalDateTimeNow() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  std::tm local{};
  const time_t secs = tv.tv_sec;
  localtime_r(&secs, &local);
  const double localSeconds = double(secs) + double(local.tm_gmtoff) + tv.tv_usec / 1e6;
  return 25569.0 + localSeconds / 86400.0;  // 25569 = days from 1899-12-30 to 1970-01-01
}

void NameCurrentThread(const std::string& name) {
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

int AvailableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1, int(std::thread::hardware_concurrency()));
}

int64_t PhysicalMemoryBytes() {
  static const int64_t bytes = [] {  // asked once: the system call costs a small read's time
    const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
    return pages > 0 && size > 0 ? int64_t(pages) * int64_t(size) : int64_t(0);
  }();
  return bytes;
}

std::string SystemErrorMessage(uint32_t code) {
  char buffer[256];
  // GNU strerror_r returns the text (possibly not in `buffer`).
  return strerror_r(int(code), buffer, sizeof buffer);
}

void AdviseLargeBuffer(void* block, size_t size) {
  // Rounded outwards to whole pages, so that a block the allocator mapped on its own is advised
  // as one mapping and can still be grown in place by mremap.
  const auto page = uintptr_t(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<uintptr_t>(block) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size + page - 1) & ~(page - 1);
  if (size == 0 || end <= begin) return;
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

bool PrefaultForWrite(void* block, size_t size) {
  // Rounded inwards: only pages wholly inside the block are touched.
  const auto page = uintptr_t(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + page - 1) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(page - 1);
  if (end <= begin) return true;
  // Kernels before 5.14 do not know the advice (EINVAL).
  return madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE) == 0;
}

}  // namespace qorvin
