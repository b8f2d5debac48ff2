// The allocation meter on Windows (mingw-w64, linked -static). The C allocation functions live in
// the C run-time DLL and cannot be interposed there; instead the test program is linked with
// -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=free, so that every call of them from the
// program's own code and from the static archives it holds (libstdc++'s operator new, zlib) comes
// here first. Allocations made inside the run-time DLL itself (strdup, getcwd with no buffer) are
// not seen, and freeing such a block lowers the count: the tests use neither on measured paths.
#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "tests/support/AllocationMeter.h"

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* pointer, size_t size);
void __real_free(void* pointer);
}

namespace {

std::atomic<int64_t> g_held{0};
std::atomic<int64_t> g_peak{0};

void Note(void* p) {
  if (p == nullptr) return;
  const int64_t size = int64_t(_msize(p));
  const int64_t now = g_held.fetch_add(size) + size;
  int64_t peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
}

void Unnote(void* p) {
  if (p != nullptr) g_held.fetch_sub(int64_t(_msize(p)));
}

}  // namespace

extern "C" {
void* __wrap_malloc(size_t size) {
  void* p = __real_malloc(size);
  Note(p);
  return p;
}
void* __wrap_calloc(size_t count, size_t size) {
  void* p = __real_calloc(count, size);
  Note(p);
  return p;
}
void* __wrap_realloc(void* pointer, size_t size) {
  const int64_t old = pointer != nullptr ? int64_t(_msize(pointer)) : 0;
  void* p = __real_realloc(pointer, size);
  if (p != nullptr || size == 0) g_held.fetch_sub(old);
  Note(p);
  return p;
}
void __wrap_free(void* pointer) {
  Unnote(pointer);
  __real_free(pointer);
}
}

namespace qorvin::test {

bool AllocationMeterAvailable() {
  return true;
}

PeakAllocation::PeakAllocation() : baseline_(g_held.load()) {
  g_peak.store(baseline_);
}

int64_t PeakAllocation::PeakBytes() const {
  return g_peak.load() - baseline_;
}

}  // namespace qorvin::test
