// Text forms of the two exact decimal kinds: the BCD record and the 16-byte OLE DECIMAL.
#include <algorithm>
#include <string>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

namespace {

// Inserts the decimal point `places` digits from the right of `digits` (no sign), trimming
// leading zeros of the integer part.
std::string PlaceDecimalPoint(std::string digits, int places, bool negative) {
  while (int(digits.size()) <= places) digits.insert(digits.begin(), '0');
  std::string whole = digits.substr(0, digits.size() - size_t(places));
  std::string frac = digits.substr(digits.size() - size_t(places));
  size_t nz = whole.find_first_not_of('0');
  whole = nz == std::string::npos ? "0" : whole.substr(nz);
  std::string out = whole;
  if (!frac.empty()) out += "." + frac;
  const bool zero = out.find_first_not_of("0.") == std::string::npos;
  return (negative && !zero ? "-" : "") + out;
}

}  // namespace

std::string Bcd::ToString() const {
  std::string digits;
  const int count = std::min<int>(precision, 64);
  for (int i = 0; i < count; ++i) {
    const uint8_t byte = this->digits[size_t(i / 2)];
    const int nibble = (i % 2 == 0) ? byte >> 4 : byte & 0x0F;
    digits += char('0' + (nibble % 10));
  }
  if (digits.empty()) return "0";
  return PlaceDecimalPoint(digits, std::min(Places(), count), Negative());
}

Bcd Bcd::FromString(const std::string& text) {
  Bcd b;
  bool negative = false, point = false, any = false;
  std::string digits;
  int places = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '-' && i == 0) {
      negative = true;
    } else if (c == '.' && !point) {
      point = true;
    } else if (c >= '0' && c <= '9') {
      any = true;
      digits += c;
      if (point) ++places;
    } else {
      throw EConvertError(Format("'%s' is not a valid BCD value", text.c_str()));
    }
  }
  if (!any) throw EConvertError(Format("'%s' is not a valid BCD value", text.c_str()));
  // Drop leading zeros of the integer part; keep at least one digit.
  while (digits.size() > size_t(places) + 1 && digits.front() == '0') digits.erase(digits.begin());
  if (digits.size() > 64 || places > 63)
    throw EConvertError(Format("'%s' is not a valid BCD value", text.c_str()));
  b.precision = uint8_t(digits.size());
  b.sign_places = uint8_t((negative ? 0x80 : 0) | places);
  for (size_t i = 0; i < digits.size(); ++i) {
    const uint8_t d = uint8_t(digits[i] - '0');
    b.digits[i / 2] |= uint8_t(i % 2 == 0 ? d << 4 : d);
  }
  return b;
}

std::string Decimal::ToString() const {
  // 96-bit magnitude: repeated division by 10 over three 32-bit words.
  uint32_t words[3] = {uint32_t(hi32), uint32_t(lo64 >> 32), uint32_t(lo64)};
  std::string digits;
  for (;;) {
    uint64_t rem = 0;
    bool nonzero = false;
    for (uint32_t& w : words) {
      const uint64_t cur = (rem << 32) | w;
      w = uint32_t(cur / 10);
      rem = cur % 10;
      nonzero |= w != 0;
    }
    digits.insert(digits.begin(), char('0' + rem));
    if (!nonzero) break;
  }
  return PlaceDecimalPoint(digits, std::min<int>(scale, 28), (sign & 0x80) != 0);
}

}  // namespace qorvin
