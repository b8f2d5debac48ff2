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

}  // namespace qorvin
