// zlib's wrapper around deflate data (RFC 1950), as zlib writes it:
//   header   2 bytes  0x78 (deflate, 32 KiB window), then the level's flags with the check bits
//                     (level 0-1: 0x01, 2-5: 0x5e, 6: 0x9c, 7-9: 0xda)
//   data     the raw deflate stream
//   trailer  4 bytes  Adler-32 of the uncompressed bytes, most significant byte first
#pragma once

#include <array>
#include <cstdint>

namespace qorvin {

// The header for zlib level `level` (0-9; -1 is 6, zlib's default).
inline std::array<uint8_t, 2> ZlibHeader(int level) {
  if (level < 0) level = 6;
  const unsigned flags = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
  unsigned header = 0x7800u | flags << 6;
  header += 31 - header % 31;
  return {uint8_t(header >> 8), uint8_t(header)};
}

inline std::array<uint8_t, 4> ZlibTrailer(uint32_t adler) {
  return {uint8_t(adler >> 24), uint8_t(adler >> 16), uint8_t(adler >> 8), uint8_t(adler)};
}

}  // namespace qorvin
