// The match search of zlib's deflate at its default level (6), reproduced decision for decision so
// that a stretch of input can be parsed on its own, from any position, and give the matches zlib
// gives there.
//
// zlib's parse at a position depends only on the 32 KiB before it (every position enters the hash
// chains; matches reach back at most 32 506 bytes) and on a small state carried from the step
// before: whether a byte waits to be emitted, and the match found there. After a match is emitted
// that state is empty ("clean"), so two parses of the same bytes that reach a clean step at the
// same position go on identically from there. ParallelDeflate builds on that.
//
// Parameters fixed here, as zlib sets them for level 6 with deflateInit: window 32 KiB, hash of 3
// bytes in 15 bits, lazy matching below 16, chains of 128 (32 once a match of 8 is in hand), stop
// at 128, matches of 3 farther than 4096 dropped. Positions are absolute offsets in the input
// (< 2 GiB).
#pragma once

#include <cstdint>
#include <vector>

namespace qorvin::deflate {

inline constexpr uint32_t kWindowSize = 32768;
inline constexpr uint32_t kMinMatch = 3;
inline constexpr uint32_t kMaxMatch = 258;
inline constexpr uint32_t kMinLookahead = kMaxMatch + kMinMatch + 1;   // 262
inline constexpr uint32_t kMaxDistance = kWindowSize - kMinLookahead;  // 32 506
// A parse reads at most this far past the position of a step it takes.
inline constexpr uint32_t kReadAhead = kMaxMatch + 2;

// One emitted match: `length` bytes at `position`, copied from `distance` bytes before.
struct TMatch {
  uint32_t position;
  uint16_t length;
  uint16_t distance;
};

// The parse's state at the top of a step at position `at`.
struct TParseState {
  uint32_t at = 0;
  bool pending = false;                  // the byte before `at` waits to be emitted
  uint32_t matchLength = kMinMatch - 1;  // the match found at the step before (< 3: none)
  uint32_t matchStart = 0;
  // Where zlib's window begins: it moves by 32 KiB at each slide. It decides only whether the
  // string at the window's first byte may be matched (zlib never matches it).
  uint32_t windowBase = 0;
  bool Clean() const { return !pending; }
};

// zlib's window start after the step at `at`: it slides by 32 KiB when fewer than 262 bytes are
// loaded ahead of a step at least 65 274 bytes past the window's start (it loads up to 64 KiB
// past that start, and all of the input is at hand).
inline uint32_t WindowBaseAfterStep(uint32_t base, uint32_t at, uint32_t total) {
  const uint32_t loadedEnd = total - base < 2 * kWindowSize ? total : base + 2 * kWindowSize;
  if (at - base >= kWindowSize + kMaxDistance && loadedEnd - at < kMinLookahead) {
    return base + kWindowSize;
  }
  return base;
}

// zlib's window start at `at`, a multiple of 32 KiB, from a parse begun at position 0.
inline uint32_t WindowBaseAt(uint32_t at) {
  if (at < kWindowSize + kMaxDistance + 1) return 0;
  return kWindowSize * ((at - (kMaxDistance + 1)) / kWindowSize);
}

// Parses input held in a view that starts at position `origin`, a multiple of 32 KiB. The view
// must hold every byte a parse reads: from 32 KiB before the first step to kReadAhead past the
// last. Past the end of the input (`total`) it holds what zlib's window holds there: the byte
// 32 KiB before.
class TLazyParser {
 public:
  TLazyParser(const uint8_t* view, uint32_t origin, uint32_t total);

  // Enters the positions [from, to) into the hash chains, as the steps there would have.
  void Prime(uint32_t from, uint32_t to);

  // Takes steps from `state` and appends the matches they emit to `out`. Returns the state at
  // the first step at or past `stop`, at the end of the input, or at the first clean step after
  // the start (or the start itself) at a position where `cleanAt(position)` is true.
  template <class CleanAt>
  TParseState Run(TParseState state, uint32_t stop, std::vector<TMatch>& out, CleanAt&& cleanAt);

  TParseState Run(TParseState state, uint32_t stop, std::vector<TMatch>& out) {
    return Run(state, stop, out, [](uint32_t) { return false; });
  }

 private:
  static constexpr uint32_t kHashSize = 1u << 15;
  // The chains hold positions as 16-bit offsets from `tableBase_`, a multiple of 32 KiB that
  // moves on as the parse does, as zlib's window does. Offset 0 doubles as "none": the string
  // there is never a candidate (zlib never matches the string at its window's start).
  static constexpr uint16_t kNil = 0;

  const uint8_t* At(uint32_t position) const { return view_ + (position - origin_); }
  uint32_t Hash(uint32_t position) const {
    const uint8_t* p = At(position);
    return ((uint32_t(p[0]) << 10) ^ (uint32_t(p[1]) << 5) ^ p[2]) & (kHashSize - 1);
  }
  // Enters `position`; returns the chain's previous head (kNil: none).
  uint32_t Insert(uint32_t position) {
    if (position - tableBase_ >= 2 * kWindowSize) Slide();
    const uint32_t h = Hash(position);
    const uint16_t head = head_[h];
    prev_[position & (kWindowSize - 1)] = head;
    head_[h] = uint16_t(position - tableBase_);
    return head == kNil ? 0 : tableBase_ + head;
  }
  // Moves `tableBase_` on by 32 KiB; entries before it become "none" (too far to match).
  void Slide();
  uint32_t LongestMatch(uint32_t at, uint32_t candidate, uint32_t bestLength, uint32_t lookahead,
                        uint32_t& matchStart) const;

  const uint8_t* view_;
  uint32_t origin_;
  uint32_t total_;
  uint32_t tableBase_;
  std::vector<uint16_t> head_;
  std::vector<uint16_t> prev_;
};

template <class CleanAt>
TParseState TLazyParser::Run(TParseState s, uint32_t stop, std::vector<TMatch>& out,
                             CleanAt&& cleanAt) {
  constexpr uint32_t kMaxLazy = 16;
  constexpr uint32_t kTooFar = 4096;
  for (;;) {
    s.windowBase = WindowBaseAfterStep(s.windowBase, s.at, total_);
    if (s.at >= stop || s.at >= total_) return s;
    if (!s.pending && cleanAt(s.at)) return s;
    const uint32_t lookahead = total_ - s.at;
    uint32_t hashHead = 0;  // none
    if (lookahead >= kMinMatch) hashHead = Insert(s.at);
    const uint32_t prevLength = s.matchLength;
    const uint32_t prevMatch = s.matchStart;
    s.matchLength = kMinMatch - 1;
    if (hashHead != 0 && hashHead != s.windowBase && prevLength < kMaxLazy &&
        s.at - hashHead <= kMaxDistance) {
      s.matchLength = LongestMatch(s.at, hashHead, prevLength, lookahead, s.matchStart);
      if (s.matchLength == kMinMatch && s.at - s.matchStart > kTooFar) {
        s.matchLength = kMinMatch - 1;
      }
    }
    if (prevLength >= kMinMatch && s.matchLength <= prevLength) {
      const uint32_t start = s.at - 1;
      out.push_back({start, uint16_t(prevLength), uint16_t(start - prevMatch)});
      const uint32_t maxInsert = total_ - kMinMatch;
      const uint32_t end = start + prevLength;  // the next step
      for (uint32_t p = s.at + 1; p < end; ++p) {
        if (p <= maxInsert) Insert(p);
      }
      s.pending = false;
      s.matchLength = kMinMatch - 1;
      s.at = end;
    } else {
      s.pending = true;  // emits the byte before, if one was waiting, and keeps this one waiting
      ++s.at;
    }
  }
}

}  // namespace qorvin::deflate
