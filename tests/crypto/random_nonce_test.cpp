// The random source of initialisation vectors (libgcrypt's, or the system's on Windows).
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "platform/crypto/BlockCipher.h"

namespace qorvin {
namespace {

TEST(RandomNonce, EveryByteOfEverySizeIsFreshAndNoNonceRepeats) {
  std::vector<uint8_t> none;
  CipherRandomNonce(none);  // nothing asked, nothing written
  // The whole span is written: two spans that start alike end differently, also in their last
  // 16 bytes (a chance of 2^-128 to fail by luck).
  for (size_t size : {size_t(16), size_t(33), size_t(4096), size_t(65537)}) {
    std::vector<uint8_t> a(size, 0x5A), b(size, 0x5A);
    CipherRandomNonce(a);
    CipherRandomNonce(b);
    EXPECT_NE(std::vector<uint8_t>(a.end() - 16, a.end()),
              std::vector<uint8_t>(b.end() - 16, b.end()))
        << size;
  }
  std::set<std::vector<uint8_t>> seen;
  for (int i = 0; i < 256; ++i) {
    std::vector<uint8_t> iv(16, 0);
    CipherRandomNonce(iv);
    seen.insert(iv);
  }
  EXPECT_EQ(seen.size(), 256u);
}

}  // namespace
}  // namespace qorvin
