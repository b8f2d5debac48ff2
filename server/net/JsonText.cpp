#include "server/net/JsonText.h"

#include <cstdint>
#include <cstdio>

namespace qorvin::server {
namespace {

// Length of the well-formed UTF-8 sequence at text[i] (2..4), or 0 when there is none.
size_t Utf8Sequence(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return uint8_t(text[k]); };
  const uint8_t b = byte(i);
  size_t n = 0;
  uint32_t low = 0;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
    low = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    low = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    low = 0x10000;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  uint32_t cp = b & (0xFF >> (n + 1));
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (cp < low || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (size_t i = 0; i < text.size();) {
    const uint8_t c = uint8_t(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else if (c >= 0x80) {
      const size_t n = Utf8Sequence(text, i);
      if (n == 0) {
        out += "\\ufffd";
        ++i;
        continue;
      }
      out.append(text.substr(i, n));
      i += n;
      continue;
    } else {
      out += char(c);
    }
    ++i;
  }
  out += '"';
  return out;
}

}  // namespace qorvin::server
