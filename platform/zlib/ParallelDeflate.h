// zlib's default-level compression of a buffer in memory, on several threads, giving exactly the
// bytes zlib 1.2.13 gives (deflateInit at level 6, fed in any pieces, then Z_FINISH).
//
// The input is cut into segments. Threads parse segments ahead, each from a clean state with the
// 32 KiB before it in its hash chains (DeflateParse.h). The calling thread takes the segments in
// order: it carries zlib's true state into the next segment and parses on until that parse takes
// a clean step where the segment's own parse also took one; from there the segment's matches are
// zlib's. (If they never meet, the carried parse covers the whole segment: slower, still exact.)
// It then cuts and codes the blocks as zlib does (DeflateBlocks.h).
//
// Memory: the matches of at most 2 × threads + 2 segments (8 bytes each), a copy of the last
// segment, and the compressed bytes of one megabyte of input before they go to the target.
#pragma once

#include <cstdint>
#include <span>

#include "platform/rtl/Stream.h"

namespace qorvin {

struct TParallelDeflateOptions {
  unsigned threads = 0;      // 0: the cores this thread may run on, at most 4
  uint32_t segmentSize = 0;  // 0: chosen from the size; else a multiple of 32 KiB
};

// The least and most input DeflateInParallel takes.
inline constexpr size_t kParallelDeflateMinInput = size_t(128) << 10;
inline constexpr size_t kParallelDeflateMaxInput = (size_t(1) << 31) - (size_t(1) << 20);

// True when the zlib this runs with is the one whose bytes DeflateInParallel reproduces.
bool ParallelDeflateMatchesZlib();

// True when a compression of `size` bytes at zlib level `zlibLevel` (-1: zlib's default) is worth
// doing with DeflateInParallel and gives zlib's bytes: level 6, at least 1 MiB, at most
// kParallelDeflateMaxInput, the matching zlib, and at least 2 cores to run on.
bool ParallelDeflateApplies(int64_t size, int zlibLevel);

// Writes the zlib stream of `data` (2-byte header, deflate data, Adler-32) to `target` at its
// position. `data.size()` within [kParallelDeflateMinInput, kParallelDeflateMaxInput], else
// EZCompressionError. A thread's failure (out of memory) is raised here after every thread ended.
void DeflateInParallel(std::span<const uint8_t> data, TStream& target,
                       const TParallelDeflateOptions& options = {});

}  // namespace qorvin
