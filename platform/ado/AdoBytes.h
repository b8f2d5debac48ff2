// Little-endian loads and stores on raw bytes (cells of the row store, ADTG images).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/rtl/Text.h"

namespace qorvin::ado {

template <typename T>
T LoadLE(const uint8_t* p) {
  uint64_t v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v |= uint64_t(p[i]) << (8 * i);
  T out;
  if constexpr (sizeof(T) == 8) {
    std::memcpy(&out, &v, 8);
  } else {
    using U = std::conditional_t<sizeof(T) == 4, uint32_t,
                                 std::conditional_t<sizeof(T) == 2, uint16_t, uint8_t>>;
    const U narrow = U(v);
    std::memcpy(&out, &narrow, sizeof(T));
  }
  return out;
}

template <typename T>
void StoreLE(uint8_t* p, T value) {
  uint64_t v = 0;
  if constexpr (sizeof(T) == 8) {
    std::memcpy(&v, &value, 8);
  } else {
    using U = std::conditional_t<sizeof(T) == 4, uint32_t,
                                 std::conditional_t<sizeof(T) == 2, uint16_t, uint8_t>>;
    U narrow;
    std::memcpy(&narrow, &value, sizeof(T));
    v = narrow;
  }
  for (size_t i = 0; i < sizeof(T); ++i) p[i] = uint8_t(v >> (8 * i));
}

// A name for an error message: UTF-8, with '?' for anything that does not convert. Never throws.
inline std::string ShowName(std::u16string_view name) {
  try {
    return Utf16ToUtf8(name);
  } catch (...) {
    std::string out;
    for (const char16_t c : name) out += c < 0x80 ? char(c) : '?';
    return out;
  }
}

}  // namespace qorvin::ado
