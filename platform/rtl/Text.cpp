#include "platform/rtl/Text.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "platform/rtl/Exceptions.h"

namespace qorvin {

namespace {

[[noreturn]] void BadUtf8(size_t offset) {
  throw EConvertError(Format("Invalid UTF-8 text at byte %zu", offset));
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
  // Written through a pointer into room for the longest form (3 bytes a unit; a surrogate pair,
  // two units, takes 4): this runs for every text value a host reads.
  std::string out(text.size() * 3, '\0');
  char* p = out.data();
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c < 0x80) {
      *p++ = char(c);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
        throw EConvertError(Format("Unpaired UTF-16 surrogate at unit %zu", i));
      c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(text[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      throw EConvertError(Format("Unpaired UTF-16 surrogate at unit %zu", i));
    }
    if (c < 0x800) {
      *p++ = char(0xC0 | (c >> 6));
      *p++ = char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *p++ = char(0xE0 | (c >> 12));
      *p++ = char(0x80 | ((c >> 6) & 0x3F));
      *p++ = char(0x80 | (c & 0x3F));
    } else {
      *p++ = char(0xF0 | (c >> 18));
      *p++ = char(0x80 | ((c >> 12) & 0x3F));
      *p++ = char(0x80 | ((c >> 6) & 0x3F));
      *p++ = char(0x80 | (c & 0x3F));
    }
  }
  out.resize(size_t(p - out.data()));
  return out;
}

// Written into a string sized once: UTF-8 never takes fewer bytes than UTF-16 takes units, so
// the input's length is room enough, and text that is mostly ASCII (most of a result set's) goes
// unit by unit without a capacity check per character.
std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  Utf8ToUtf16(text, out);
  return out;
}

void Utf8ToUtf16(std::string_view text, std::u16string& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  out.resize(n);
  char16_t* o = out.data();
  size_t w = 0;
  for (size_t i = 0; i < n;) {
    const unsigned char b = p[i];
    uint32_t c;
    size_t len;
    if (b < 0x80) {
      o[w++] = char16_t(b);
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F, len = 2;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F, len = 3;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07, len = 4;
    } else {
      BadUtf8(i);
    }
    if (i + len > n) BadUtf8(i);
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) BadUtf8(i);
      c = (c << 6) | (p[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) BadUtf8(i);
    if (c >= 0x10000) {
      c -= 0x10000;
      o[w++] = char16_t(0xD800 + (c >> 10));
      o[w++] = char16_t(0xDC00 + (c & 0x3FF));
    } else {
      o[w++] = char16_t(c);
    }
    i += len;
  }
  out.resize(w);
}

std::u16string AnsiToUtf16(std::string_view text) {
  return Utf8ToUtf16(AnsiToUtf8(text));
}
std::string Utf16ToAnsi(std::u16string_view text) {
  return Utf8ToAnsi(Utf16ToUtf8(text));
}

std::string Utf16ToLEBytes(std::u16string_view text) {
  std::string out(text.size() * 2, '\0');
  if constexpr (std::endian::native == std::endian::little) {
    if (!text.empty()) std::memcpy(out.data(), text.data(), out.size());
    return out;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    out[2 * i] = char(text[i] & 0xFF);
    out[2 * i + 1] = char(text[i] >> 8);
  }
  return out;
}

std::u16string LEBytesToUtf16(std::string_view bytes) {
  if (bytes.size() % 2 != 0) throw EConvertError("UTF-16 text with an odd number of bytes");
  std::u16string out(bytes.size() / 2, u'\0');
  if constexpr (std::endian::native == std::endian::little) {
    if (!bytes.empty()) std::memcpy(out.data(), bytes.data(), bytes.size());
    return out;
  }
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = char16_t(uint8_t(bytes[2 * i]) | (uint16_t(uint8_t(bytes[2 * i + 1])) << 8));
  return out;
}

bool AsciiEqualNoCase(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

}  // namespace qorvin
