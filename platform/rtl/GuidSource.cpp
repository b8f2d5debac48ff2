// New GUIDs on POSIX systems: 16 random bytes, marked as version 4. Each thread draws its bytes
// from getrandom 32 GUIDs at a time (a system call per GUID was a measurable part of a small
// call); a forked child never hands out bytes its parent has buffered.
#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Guid.h"

namespace qorvin {
namespace {

std::atomic<uint64_t> g_forks{0};

void FillRandom(uint8_t* bytes, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = getrandom(bytes + got, size - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EOSError(Format("getrandom failed: %s", std::strerror(errno)));
    }
    got += size_t(n);
  }
}

struct RandomPool {
  RandomPool() {
    static const int registered =
        pthread_atfork(nullptr, nullptr, [] { g_forks.fetch_add(1, std::memory_order_relaxed); });
    (void)registered;
  }
  // Copies the next 16 bytes out, refilling first when empty or drawn before a fork.
  void Take(uint8_t* out) {
    const uint64_t forks = g_forks.load(std::memory_order_relaxed);
    if (used == sizeof bytes || forks != filledAt) {
      FillRandom(bytes, sizeof bytes);
      used = 0;
      filledAt = forks;
    }
    std::memcpy(out, bytes + used, 16);
    std::memset(bytes + used, 0, 16);
    used += 16;
  }
  uint8_t bytes[32 * 16];
  size_t used = sizeof bytes;
  uint64_t filledAt = 0;
};

}  // namespace

TGUID TGUID::New() {
  thread_local RandomPool pool;
  uint8_t bytes[16];
  pool.Take(bytes);
  TGUID g = FromBytes(bytes);
  g.Data3 = uint16_t((g.Data3 & 0x0FFF) | 0x4000);   // version 4
  g.Data4[0] = uint8_t((g.Data4[0] & 0x3F) | 0x80);  // RFC 4122 variant
  return g;
}

}  // namespace qorvin
