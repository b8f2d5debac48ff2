// GUIDs: random identifiers, their 16-byte memory layout and their 38-character text form.
//
// Memory layout (what travels on the wire):
//   offset 0  size 4  Data1, little-endian
//   offset 4  size 2  Data2, little-endian
//   offset 6  size 2  Data3, little-endian
//   offset 8  size 8  Data4, as is
// Text form: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hexadecimal.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace qorvin {

struct TGUID {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  std::array<uint8_t, 8> Data4{};

  bool operator==(const TGUID&) const = default;
  bool IsNull() const { return *this == TGUID{}; }

  // A random (version 4) GUID from the operating system's random source; EOSError on failure.
  static TGUID New();
  // Parses the braced text form (hex digits in either case); EConvertError
  // "'%s' is not a valid GUID value" otherwise.
  static TGUID FromString(std::string_view text);
  static TGUID FromBytes(const uint8_t bytes[16]);

  std::string ToString() const;
  std::array<uint8_t, 16> ToBytes() const;
};

inline constexpr size_t kGuidTextLength = 38;

}  // namespace qorvin
