// Faster paths beside zlib's streams, where the platform has a library for them (libdeflate on
// Linux; on Windows zlib's own functions, with no whole-buffer inflation).
//
// They give the same results as zlib: an Adler-32 is an Adler-32, and a whole-buffer inflation
// either gives exactly the bytes zlib would or says it could not, so that the caller takes zlib's
// streaming path (which also reports the failure in zlib's words).
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

}  // namespace qorvin
