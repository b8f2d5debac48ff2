#include <zlib.h>

#include "platform/zlib/FastZlib.h"

namespace qorvin {

uint32_t Adler32(uint32_t adler, std::span<const uint8_t> bytes) {
  // zlib counts in 32-bit units.
  while (!bytes.empty()) {
    const size_t n = bytes.size() < (size_t(1) << 30) ? bytes.size() : size_t(1) << 30;
    adler = uint32_t(adler32(adler, bytes.data(), uInt(n)));
    bytes = bytes.subspan(n);
  }
  return adler;
}

bool InflateWholeBuffer(std::span<const uint8_t>, std::span<uint8_t>, size_t&, size_t&) {
  return false;  // no whole-buffer inflater here: zlib's streaming path does it
}

size_t DeflateWholeBound(size_t) {
  return 0;  // no whole-buffer deflater here: zlib's streaming path does it
}

size_t DeflateWholeBuffer(std::span<const uint8_t>, int, std::span<uint8_t>) {
  return 0;
}

}  // namespace qorvin
