// Faster paths beside zlib's streams, where the platform has a library for them (libdeflate on
// Linux; on Windows zlib's own functions, with no whole-buffer inflation or deflation).
//
// They give the same results as zlib where results are defined: an Adler-32 is an Adler-32, and a
// whole-buffer inflation either gives exactly the bytes zlib would or says it could not, so that
// the caller takes zlib's streaming path (which also reports the failure in zlib's words). A
// whole-buffer deflation gives a valid zlib stream of the same input, which any inflater turns
// back into exactly that input; its compressed bytes are its own, not zlib's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qorvin {

// The Adler-32 of `bytes` continued from `adler` (1 to start).
uint32_t Adler32(uint32_t adler, std::span<const uint8_t> bytes);

// Inflates the zlib stream (RFC 1950) at the start of `in` into `out` in one step. Returns true
// with `produced` and `consumed` (the stream's length in `in`) when it is a whole, valid stream
// that fits in `out`; false otherwise (bad or cut short data, not enough room, or no such path
// here), with `out` then holding anything.
bool InflateWholeBuffer(std::span<const uint8_t> in, std::span<uint8_t> out, size_t& produced,
                        size_t& consumed);

// The room DeflateWholeBuffer needs for `size` bytes of input; 0 where there is no such path
// here (then deflate with zlib's streams).
size_t DeflateWholeBound(size_t size);

// Deflates `in` into one zlib stream (RFC 1950) in `out`, which has room for
// DeflateWholeBound(in.size()) bytes, at zlib level `zlibLevel` (-1: 6; 0 stores). Returns the
// stream's length; 0 when there is no such path here or the compressor cannot be made (then
// deflate with zlib's streams).
size_t DeflateWholeBuffer(std::span<const uint8_t> in, int zlibLevel, std::span<uint8_t> out);

}  // namespace qorvin
