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
    : view_(view),
      origin_(origin),
      total_(total),
      tableBase_(origin),
      head_(kHashSize, kNil),
      prev_(kWindowSize, kNil) {}

void TLazyParser::Slide() {
  tableBase_ += kWindowSize;
  const auto older = [](uint16_t& entry) {
    entry = entry >= kWindowSize ? uint16_t(entry - kWindowSize) : kNil;
  };
  std::for_each(head_.begin(), head_.end(), older);
  std::for_each(prev_.begin(), prev_.end(), older);
}

void TLazyParser::Prime(uint32_t from, uint32_t to) {
  to = std::min(to, total_ >= kMinMatch ? total_ - kMinMatch + 1 : 0);
  for (uint32_t p = from; p < to; ++p) Insert(p);
}

uint32_t TLazyParser::LongestMatch(uint32_t at, uint32_t candidate, uint32_t bestLength,
                                   uint32_t lookahead, uint32_t& matchStart) const {
  constexpr uint32_t kGoodLength = 8, kNiceLength = 128, kMaxChain = 128;
  uint32_t chain = bestLength >= kGoodLength ? kMaxChain >> 2 : kMaxChain;
  const uint32_t nice = std::min(kNiceLength, lookahead);
  // zlib's limit, as an offset from the table base (the limit is never below it).
  const uint32_t limit = (at > kMaxDistance ? at - kMaxDistance : 0) - tableBase_;
  const uint8_t* scan = At(at);
  const auto pair = [](const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
  };
  const uint16_t start = pair(scan);
  uint16_t end = pair(scan + bestLength - 1);
  uint32_t offset = candidate - tableBase_;
  do {
    const uint8_t* match = At(tableBase_ + offset);
    if (pair(match + bestLength - 1) != end || pair(match) != start) continue;
    const uint32_t length = CommonLength(scan, match);
    if (length > bestLength) {
      matchStart = tableBase_ + offset;
      bestLength = length;
      if (length >= nice) break;
      end = pair(scan + bestLength - 1);
    }
  } while ((offset = prev_[offset & (kWindowSize - 1)]) > limit && --chain != 0);
  return std::min(bestLength, lookahead);
}

}  // namespace qorvin::deflate
