#include <gtest/gtest.h>
#include <sched.h>

#include <thread>

#include "platform/rtl/OsServices.h"

namespace qorvin {
namespace {

// A thread confined to one core sees one; the others keep their own count.
TEST(AvailableCores, FollowsTheCallingThreadsAffinity) {
  const int all = AvailableCores();
  EXPECT_GE(all, 1);
  int confined = 0;
  bool pinned = false;
  std::thread t([&] {
    cpu_set_t current, one;
    CPU_ZERO(&current);
    CPU_ZERO(&one);
    if (sched_getaffinity(0, sizeof current, &current) != 0) return;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &current)) {
        CPU_SET(cpu, &one);
        break;
      }
    }
    pinned = sched_setaffinity(0, sizeof one, &one) == 0;
    confined = AvailableCores();
  });
  t.join();
  ASSERT_TRUE(pinned);
  EXPECT_EQ(confined, 1);
  EXPECT_EQ(AvailableCores(), all);
}

}  // namespace
}  // namespace qorvin
