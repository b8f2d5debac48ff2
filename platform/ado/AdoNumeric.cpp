#include "platform/ado/AdoNumeric.h"

#include <charconv>
#include <cmath>
#include <vector>

#include "platform/ado/AdoTypes.h"

namespace qorvin::ado {

namespace {

void StripLeadingZeros(std::string& digits) {
  const size_t nz = digits.find_first_not_of('0');
  if (nz == std::string::npos)
    digits.assign(1, '0');
  else
    digits.erase(0, nz);
}

[[noreturn]] void BadNumber(std::string_view text) {
  throw EAdoError(
      Format("'%.*s' is not a valid number", int(std::min<size_t>(text.size(), 80)), text.data()));
}

DecNumber Normalized(DecNumber n) {
  StripLeadingZeros(n.digits);
  if (n.IsZero()) n.negative = false;
  return n;
}

}  // namespace

DecNumber ParseDecimal(std::string_view text) {
  DecNumber n;
  n.digits.clear();
  size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) n.negative = text[i++] == '-';
  bool any = false, point = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      n.digits += c;
      any = true;
      if (point) ++n.places;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!any) BadNumber(text);
  if (i < text.size()) {
    if (text[i] != 'e' && text[i] != 'E') BadNumber(text);
    int exponent = 0;
    const char* first = text.data() + i + 1;
    if (first < text.data() + text.size() && *first == '+') ++first;
    const auto [end, ec] = std::from_chars(first, text.data() + text.size(), exponent);
    if (ec != std::errc() || end != text.data() + text.size() || exponent > 400 || exponent < -400)
      BadNumber(text);
    if (exponent >= 0) {
      const int shift = std::min(exponent, n.places);
      n.places -= shift;
      n.digits.append(size_t(exponent - shift), '0');
    } else {
      n.places += -exponent;
    }
  }
  return Normalized(n);
}

std::string FormatDecimal(const DecNumber& number) {
  std::string digits = number.digits;
  const size_t places = size_t(number.places);
  if (digits.size() <= places) digits.insert(0, places + 1 - digits.size(), '0');
  std::string out = number.negative && !number.IsZero() ? "-" : "";
  out.append(digits, 0, digits.size() - places);
  if (places > 0) {
    out += '.';
    out.append(digits, digits.size() - places, places);
  }
  return out;
}

DecNumber DecimalOfVariant(const Variant& value) {
  if (value.IsByRef()) return DecimalOfVariant(value.Deref());
  switch (value.Kind()) {
    case varSmallint:
    case varInteger:
    case varShortInt:
    case varByte:
    case varWord:
    case varLongWord:
    case varInt64:
    case varBoolean: {
      const int64_t v = value.AsIntegerValue();
      DecNumber n;
      n.negative = v < 0;
      n.digits = std::to_string(v < 0 ? 0 - uint64_t(v) : uint64_t(v));
      return Normalized(n);
    }
    case varUInt64: {
      DecNumber n;
      n.digits = std::to_string(uint64_t(value.AsIntegerValue()));
      return Normalized(n);
    }
    case varCurrency: {
      const int64_t scaled = value.AsCurrency().scaled;
      DecNumber n;
      n.negative = scaled < 0;
      n.digits = std::to_string(scaled < 0 ? 0 - uint64_t(scaled) : uint64_t(scaled));
      n.places = 4;
      return Normalized(n);
    }
    case varSingle:
    case varDouble: {
      const double d = value.AsDoubleValue();
      if (!std::isfinite(d)) throw EAdoError("A NaN or infinite value is not a number");
      char buffer[64];
      const auto result = value.Kind() == varSingle
                              ? std::to_chars(buffer, buffer + sizeof buffer, float(d))
                              : std::to_chars(buffer, buffer + sizeof buffer, d);
      return ParseDecimal(std::string_view(buffer, size_t(result.ptr - buffer)));
    }
    case varDecimal:
      return ParseDecimal(value.AsDecimal().ToString());
    case varBcd:
      return ParseDecimal(value.AsBcd().ToString());
    case varOleStr:
    case varUString:
    case varString:
      return ParseDecimal(value.ToUtf8());
    default:
      throw EAdoError(
          Format("A value of type %s is not a number", VarTypeName(value.Type()).c_str()));
  }
}

DecNumber Rescale(const DecNumber& number, int places) {
  DecNumber n = number;
  if (places >= n.places) {
    if (!n.IsZero()) n.digits.append(size_t(places - n.places), '0');
    n.places = places;
    return n;
  }
  const size_t drop = size_t(n.places - places);
  n.places = places;
  if (drop > n.digits.size()) {
    n.digits.assign(1, '0');
    return Normalized(n);
  }
  const bool roundUp = n.digits[n.digits.size() - drop] >= '5';
  n.digits.erase(n.digits.size() - drop);
  if (n.digits.empty()) n.digits.assign(1, '0');
  if (roundUp) {
    size_t i = n.digits.size();
    while (i > 0 && n.digits[i - 1] == '9') n.digits[--i] = '0';
    if (i == 0)
      n.digits.insert(n.digits.begin(), '1');
    else
      ++n.digits[i - 1];
  }
  return Normalized(n);
}

DecNumber TrimFraction(const DecNumber& number) {
  DecNumber n = number;
  while (n.places > 0 && n.digits.size() > 1 && n.digits.back() == '0') {
    n.digits.pop_back();
    --n.places;
  }
  if (n.IsZero()) n.places = 0;
  return n;
}

bool DigitsToMagnitude(std::string_view digits, uint8_t* out, size_t size) {
  std::fill(out, out + size, uint8_t(0));
  for (const char c : digits) {
    unsigned carry = unsigned(c - '0');
    for (size_t i = 0; i < size; ++i) {
      const unsigned v = unsigned(out[i]) * 10 + carry;
      out[i] = uint8_t(v);
      carry = v >> 8;
    }
    if (carry != 0) return false;
  }
  return true;
}

std::string MagnitudeToDigits(const uint8_t* magnitude, size_t size) {
  // Little-endian bytes to 32-bit words, most significant first, then repeated division by 10^9.
  std::vector<uint32_t> words((size + 3) / 4, 0);
  for (size_t i = 0; i < size; ++i)
    words[words.size() - 1 - i / 4] |= uint32_t(magnitude[i]) << (8 * (i % 4));
  std::string digits;
  size_t first = 0;
  while (first < words.size() && words[first] == 0) ++first;
  while (first < words.size()) {
    uint64_t rem = 0;
    for (size_t i = first; i < words.size(); ++i) {
      const uint64_t cur = (rem << 32) | words[i];
      words[i] = uint32_t(cur / 1000000000u);
      rem = cur % 1000000000u;
    }
    while (first < words.size() && words[first] == 0) ++first;
    std::string chunk = std::to_string(rem);
    if (first < words.size()) chunk.insert(0, 9 - chunk.size(), '0');
    digits.insert(0, chunk);
  }
  return digits.empty() ? "0" : digits;
}

Bcd ToBcd(const DecNumber& number) {
  if (number.digits.size() > 64 || number.places > 63)
    throw EAdoError(Format("The number %s has more digits than a BCD value holds",
                           FormatDecimal(number).c_str()));
  return Bcd::FromString(FormatDecimal(number));
}

}  // namespace qorvin::ado
