#include "tests/support/AllocationMeter.h"

#include <atomic>
#include <cstddef>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QORVIN_METER_OFF 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QORVIN_METER_OFF 1
#endif

namespace {
std::atomic<int64_t> g_held{0};
std::atomic<int64_t> g_peak{0};
}  // namespace

#ifndef QORVIN_METER_OFF
#include <malloc.h>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {
void Note(void* p) {
  if (p == nullptr) return;
  const int64_t now =
      g_held.fetch_add(int64_t(malloc_usable_size(p))) + int64_t(malloc_usable_size(p));
  int64_t peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
}
void Unnote(void* p) {
  if (p != nullptr) g_held.fetch_sub(int64_t(malloc_usable_size(p)));
}
}  // namespace

extern "C" {
void* malloc(size_t size) {
  void* p = __libc_malloc(size);
  Note(p);
  return p;
}
void* calloc(size_t count, size_t size) {
  void* p = __libc_calloc(count, size);
  Note(p);
  return p;
}
void* realloc(void* pointer, size_t size) {
  const int64_t old = pointer != nullptr ? int64_t(malloc_usable_size(pointer)) : 0;
  void* p = __libc_realloc(pointer, size);
  if (p != nullptr || size == 0) g_held.fetch_sub(old);
  Note(p);
  return p;
}
void free(void* pointer) {
  Unnote(pointer);
  __libc_free(pointer);
}
void* memalign(size_t alignment, size_t size) {
  void* p = __libc_memalign(alignment, size);
  Note(p);
  return p;
}
void* aligned_alloc(size_t alignment, size_t size) {
  return memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return 12;  // ENOMEM
  Note(p);
  *out = p;
  return 0;
}
}
#endif

namespace qorvin::test {

bool AllocationMeterAvailable() {
#ifdef QORVIN_METER_OFF
  return false;
#else
  return true;
#endif
}

PeakAllocation::PeakAllocation() : baseline_(g_held.load()) {
  g_peak.store(baseline_);
}

int64_t PeakAllocation::PeakBytes() const {
  return g_peak.load() - baseline_;
}

}  // namespace qorvin::test
