// Byte helpers shared by the messaging tests.
#pragma once

#include <string>
#include <string_view>

#include "platform/rtl/Stream.h"

namespace qorvin::test {

// "03 00 00 00 61" -> the bytes; spaces are ignored.
inline std::string Hex(std::string_view text) {
  std::string out;
  int nibble = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      continue;
    if (nibble < 0) {
      nibble = v;
    } else {
      out.push_back(char(nibble * 16 + v));
      nibble = -1;
    }
  }
  return out;
}

inline std::string Bytes(const TMemoryStream& s) {
  return std::string(s.View());
}

inline void Load(TMemoryStream& s, std::string_view bytes) {
  s.SetSize(0);
  s.WriteBytes(bytes);
  s.SetPosition(0);
}

}  // namespace qorvin::test
