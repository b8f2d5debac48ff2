#include "platform/rtl/Guid.h"

#include <cstring>

#include "platform/rtl/Exceptions.h"

namespace qorvin {

TGUID TGUID::FromBytes(const uint8_t b[16]) {
  TGUID g;
  g.Data1 = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
  g.Data2 = uint16_t(b[4] | b[5] << 8);
  g.Data3 = uint16_t(b[6] | b[7] << 8);
  std::memcpy(g.Data4.data(), b + 8, 8);
  return g;
}

std::array<uint8_t, 16> TGUID::ToBytes() const {
  std::array<uint8_t, 16> b{};
  for (int i = 0; i < 4; ++i) b[size_t(i)] = uint8_t(Data1 >> (8 * i));
  b[4] = uint8_t(Data2), b[5] = uint8_t(Data2 >> 8);
  b[6] = uint8_t(Data3), b[7] = uint8_t(Data3 >> 8);
  std::memcpy(b.data() + 8, Data4.data(), 8);
  return b;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex digits. Written digit by digit: every
// UDP request takes a fresh ID, and a formatted print cost more than the rest of the ID's making.
std::string TGUID::ToString() const {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text(kGuidTextLength, '-');
  char* p = text.data();
  auto put = [&p](uint32_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i, value >>= 4) p[i] = kHex[value & 15];
    p += digits;
  };
  *p++ = '{';
  put(Data1, 8);
  ++p;
  put(Data2, 4);
  ++p;
  put(Data3, 4);
  ++p;
  put(Data4[0], 2);
  put(Data4[1], 2);
  ++p;
  for (int i = 2; i < 8; ++i) put(Data4[i], 2);
  *p = '}';
  return text;
}

TGUID TGUID::FromString(std::string_view text) {
  auto fail = [&]() -> TGUID {
    throw EConvertError(Format("'%.*s' is not a valid GUID value", int(text.size()), text.data()));
  };
  if (text.size() != kGuidTextLength || text.front() != '{' || text.back() != '}') return fail();
  uint8_t nibbles[32];
  size_t k = 0;
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    const char c = text[i];
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (c != '-') return fail();
      continue;
    }
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else
      return fail();
    nibbles[k++] = uint8_t(v);
  }
  auto hex = [&](size_t from, size_t count) {
    uint32_t v = 0;
    for (size_t i = 0; i < count; ++i) v = v << 4 | nibbles[from + i];
    return v;
  };
  TGUID g;
  g.Data1 = hex(0, 8);
  g.Data2 = uint16_t(hex(8, 4));
  g.Data3 = uint16_t(hex(12, 4));
  for (size_t i = 0; i < 8; ++i) g.Data4[i] = uint8_t(hex(16 + 2 * i, 2));
  return g;
}

}  // namespace qorvin
