#include "tools/qorvin/CodeSet.h"

#include "tools/qorvin/CodeSetConvert.h"
#include "tools/qorvin/Table.h"

namespace qorvin::cli {

namespace {

bool IsUtf8Name(const std::string& name) {
  return name == "UTF-8" || name == "utf-8" || name == "UTF8" || name == "utf8";
}

// Columns of one code point (approximate East Asian width; enough for aligned tables).
int CodePointWidth(char32_t cp) {
  struct Range {
    char32_t first, last;
  };
  static constexpr Range kZero[] = {{0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD},
                                    {0x0610, 0x061A}, {0x064B, 0x065F}, {0x1AB0, 0x1AFF},
                                    {0x1DC0, 0x1DFF}, {0x200B, 0x200F}, {0x20D0, 0x20FF},
                                    {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xE0100, 0xE01EF}};
  static constexpr Range kWide[] = {
      {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
      {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},   {0x26AA, 0x26AB},
      {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x2705, 0x2705},   {0x270A, 0x270B},
      {0x2728, 0x2728},   {0x274C, 0x274C},   {0x2753, 0x2757},   {0x2795, 0x2797},
      {0x2B1B, 0x2B1C},   {0x2B50, 0x2B55},   {0x2E80, 0x303E},   {0x3041, 0x33FF},
      {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xA960, 0xA97F},
      {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},
      {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18AFF},
      {0x1B000, 0x1B2FF}, {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF}, {0x1F900, 0x1F9FF},
      {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD}};
  for (const Range& r : kZero)
    if (cp >= r.first && cp <= r.last) return 0;
  for (const Range& r : kWide)
    if (cp >= r.first && cp <= r.last) return 2;
  return 1;
}

}  // namespace

bool TerminalIsUtf8() {
  return IsUtf8Name(TerminalCodeSet());
}

std::string TerminalToUtf8(std::string_view text) {
  if (TerminalIsUtf8()) {
    for (size_t pos = 0; pos < text.size();) {
      const size_t at = pos;
      if (NextCodePoint(text, &pos) == 0xFFFD && text.substr(at, 3) != "\xEF\xBF\xBD")
        throw UsageError("text that is not valid UTF-8 (at byte " + std::to_string(at) + ")");
    }
    return std::string(text);
  }
  return ConvertTerminalToUtf8(text, false);
}

std::string Utf8ToTerminal(std::string_view text) {
  if (TerminalIsUtf8()) return TerminalToUtf8(text);  // validates
  return ConvertUtf8ToTerminal(text);
}

std::string TerminalToUtf8Lenient(std::string_view text) {
  if (!TerminalIsUtf8()) return ConvertTerminalToUtf8(text, true);
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) AppendUtf8(out, NextCodePoint(text, &pos));
  return out;
}

char32_t NextCodePoint(std::string_view text, size_t* pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(*pos);
  size_t extra = 0;
  char32_t cp = 0;
  if (lead < 0x80) {
    ++*pos;
    return lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, cp = lead & 0x07;
  } else {
    ++*pos;
    return 0xFFFD;
  }
  if (text.size() - *pos <= extra) {
    ++*pos;
    return 0xFFFD;
  }
  for (size_t i = 1; i <= extra; ++i) {
    const unsigned char b = byte(*pos + i);
    if ((b & 0xC0) != 0x80) {
      ++*pos;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  const char32_t minimum = extra == 1 ? 0x80 : extra == 2 ? 0x800 : 0x10000;
  if (cp < minimum || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
    ++*pos;
    return 0xFFFD;
  }
  *pos += extra + 1;
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

size_t DisplayWidth(std::string_view terminalText) {
  const std::string utf8 = TerminalToUtf8Lenient(terminalText);
  size_t width = 0;
  for (size_t pos = 0; pos < utf8.size();)
    width += size_t(CodePointWidth(NextCodePoint(utf8, &pos)));
  return width;
}

size_t Utf16Length(std::string_view terminalText) {
  const std::string utf8 = TerminalToUtf8Lenient(terminalText);
  size_t units = 0;
  for (size_t pos = 0; pos < utf8.size();) units += NextCodePoint(utf8, &pos) > 0xFFFF ? 2 : 1;
  return units;
}

}  // namespace qorvin::cli
