#include "platform/zlib/FastZlib.h"

#include <libdeflate.h>

#include <memory>

namespace qorvin {

uint32_t Adler32(uint32_t adler, std::span<const uint8_t> bytes) {
  return libdeflate_adler32(adler, bytes.data(), bytes.size());
}

bool InflateWholeBuffer(std::span<const uint8_t> in, std::span<uint8_t> out, size_t& produced,
                        size_t& consumed) {
  struct Free {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
  };
  // One per thread: it holds about 32 KiB of tables.
  thread_local std::unique_ptr<libdeflate_decompressor, Free> decompressor(
      libdeflate_alloc_decompressor());
  if (!decompressor) return false;
  return libdeflate_zlib_decompress_ex(decompressor.get(), in.data(), in.size(), out.data(),
                                       out.size(), &consumed, &produced) == LIBDEFLATE_SUCCESS;
}

size_t DeflateWholeBound(size_t size) {
  // The bound does not depend on the level (null: any compressor).
  return libdeflate_zlib_compress_bound(nullptr, size);
}

size_t DeflateWholeBuffer(std::span<const uint8_t> in, int zlibLevel, std::span<uint8_t> out) {
  struct Free {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
  };
  const int level = zlibLevel < 0 ? 6 : zlibLevel > 9 ? 9 : zlibLevel;
  // One per thread and level, made at first use: a compressor holds up to about 1 MiB of tables.
  thread_local std::unique_ptr<libdeflate_compressor, Free> compressors[10];
  std::unique_ptr<libdeflate_compressor, Free>& compressor = compressors[level];
  if (!compressor) compressor.reset(libdeflate_alloc_compressor(level));
  if (!compressor) return 0;
  return libdeflate_zlib_compress(compressor.get(), in.data(), in.size(), out.data(), out.size());
}

}  // namespace qorvin
