#include "platform/zlib/DeflateParse.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace qorvin::deflate {

namespace {

static_assert(std::endian::native == std::endian::little, "match lengths read 8 bytes at once");

// The length of the common start of `scan` and `match`, whose first 3 bytes are equal, up to
// kMaxMatch. zlib compares bytes 3..258 in this order; so does this, 8 at a time.
inline uint32_t CommonLength(const uint8_t* scan, const uint8_t* match) {
  for (uint32_t i = kMinMatch; i < kMaxMatch + 1; i += 8) {
    uint64_t a, b;
    std::memcpy(&a, scan + i, 8);
    std::memcpy(&b, match + i, 8);
    if (a != b) {
      const uint32_t length = i + uint32_t(std::countr_zero(a ^ b)) / 8;
      return std::min(length, kMaxMatch);
    }
  }
  return kMaxMatch;
}

}  // namespace

TLazyParser::TLazyParser(const uint8_t* view, uint32_t origin, uint32_t total)
    : view_(view), origin_(origin), total_(total), head_(kHashSize, kNil), prev_(kWindowSize, kNil) {}

void TLazyParser::Prime(uint32_t from, uint32_t to) {
  to = std::min(to, total_ >= kMinMatch ? total_ - kMinMatch + 1 : 0);
  for (uint32_t p = from; p < to; ++p) Insert(p);
}

uint32_t TLazyParser::LongestMatch(uint32_t at, uint32_t candidate, uint32_t bestLength,
                                   uint32_t lookahead, uint32_t& matchStart) const {
  constexpr uint32_t kGoodLength = 8, kNiceLength = 128, kMaxChain = 128;
  uint32_t chain = bestLength >= kGoodLength ? kMaxChain >> 2 : kMaxChain;
  const uint32_t nice = std::min(kNiceLength, lookahead);
  const uint32_t limit = at > kMaxDistance ? at - kMaxDistance : kNil;
  const uint8_t* scan = At(at);
  uint8_t end1 = scan[bestLength - 1];
  uint8_t end0 = scan[bestLength];
  do {
    const uint8_t* match = At(candidate);
    if (match[bestLength] != end0 || match[bestLength - 1] != end1 || match[0] != scan[0] ||
        match[1] != scan[1]) {
      continue;
    }
    const uint32_t length = CommonLength(scan, match);
    if (length > bestLength) {
      matchStart = candidate;
      bestLength = length;
      if (length >= nice) break;
      end1 = scan[bestLength - 1];
      end0 = scan[bestLength];
    }
  } while ((candidate = prev_[candidate & (kWindowSize - 1)]) > limit && --chain != 0);
  return std::min(bestLength, lookahead);
}

}  // namespace qorvin::deflate
