// Faulting pages in ahead of a writer never changes what the writer wrote, however the two
// interleave, and stopping is prompt even with much of the block left.
#include "platform/rtl/Prefaulter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace qorvin {
namespace {

TEST(Prefaulter, WriterKeepsEveryByteItWroteWhileThePagesAreFaultedIn) {
  constexpr size_t kSize = size_t(48) << 20;
  auto* block = static_cast<uint8_t*>(std::malloc(kSize));
  ASSERT_NE(block, nullptr);
  {
    // Both start at the front, so the writer overtakes the thread and the thread it.
    TPrefaulter prefaulter(block, kSize, size_t(1) << 20);
    for (size_t i = 0; i < kSize; i += 4096) std::memset(block + i, int(i / 4096 % 255) + 1, 4096);
  }
  for (size_t i = 0; i < kSize; i += 4096) {
    ASSERT_EQ(block[i], uint8_t(i / 4096 % 255 + 1)) << i;
    ASSERT_EQ(block[i + 4095], uint8_t(i / 4096 % 255 + 1)) << i;
  }
  std::free(block);
}

TEST(Prefaulter, StopsBeforeTheBlockIsFreedAndToleratesOddRanges) {
  constexpr size_t kSize = size_t(256) << 20;
  void* block = std::malloc(kSize);
  ASSERT_NE(block, nullptr);
  TPrefaulter prefaulter(block, kSize);
  prefaulter.Stop();
  prefaulter.Stop();
  std::free(block);
  char small[100];
  TPrefaulter inside(small + 1, 3);  // no whole page
  inside.Stop();
}

}  // namespace
}  // namespace qorvin
