#include "platform/rtl/NumberText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace qorvin {

namespace {

// The decimal exponent of the scientific form of `scientific` ("1.25e+03" -> 3).
int ExponentOf(std::string_view scientific) {
  const size_t e = scientific.find('e');
  int exponent = 0;
  if (e != std::string_view::npos) {
    const char* first = scientific.data() + e + 1;
    if (*first == '+') ++first;
    std::from_chars(first, scientific.data() + scientific.size(), exponent);
  }
  return exponent;
}

template <typename T>
std::string ShortestText(T value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buf[400];
  const auto sci = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const int exponent = ExponentOf(std::string_view(buf, size_t(sci.ptr - buf)));
  if (exponent < -4 || exponent >= 15) return std::string(buf, sci.ptr);
  const auto fixed = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  return std::string(buf, fixed.ptr);
}

// Whether the number of `text` (already known to be out of the double range) lies above it
// rather than below: the decimal exponent of its first significant digit is positive.
bool AboveRange(std::string_view text) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  long long magnitude = 0;
  bool seen = false, point = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.') {
      point = true;
    } else if (c >= '0' && c <= '9') {
      if (!seen && c != '0') {
        seen = true;
        magnitude = 0;
      }
      if (seen && !point) ++magnitude;
      if (!seen && point) --magnitude;
    } else {
      break;
    }
  }
  if (!seen) return false;
  magnitude -= 1;  // the digit count before the point, or the zeros after it, as an exponent
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    const char* first = text.data() + i + 1;
    const char* last = text.data() + text.size();
    bool minus = false;
    if (first < last && (*first == '+' || *first == '-')) minus = *first++ == '-';
    long long exponent = 0;
    const auto [at, ec] = std::from_chars(first, last, exponent);
    if (ec == std::errc::result_out_of_range) return !minus;  // an exponent beyond 64 bits
    exponent = std::min(exponent, 1LL << 40);  // far beyond the range, and no overflow below
    magnitude += minus ? -exponent : exponent;
  }
  return magnitude > 0;
}

}  // namespace

std::string DoubleText(double value) {
  return ShortestText(value);
}

std::string SingleText(float value) {
  return ShortestText(value);
}

std::string PlainDoubleDigits(double value) {
  char buf[400];  // the longest fixed form of a double has 309 digits before the point
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  return std::string(buf, r.ptr);
}

DoubleParse ParseDoubleText(std::string_view text, double& value) {
  size_t start = 0;
  while (start < text.size() &&
         (text[start] == ' ' || (text[start] >= '\t' && text[start] <= '\r')))
    ++start;
  text.remove_prefix(start);
  std::string_view digits = text;
  if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
  if (digits.empty() || digits[0] == '+' || (digits[0] == '-' && text[0] == '+'))
    return DoubleParse::kInvalid;
  double parsed = 0;
  const char* last = digits.data() + digits.size();
  const auto [at, ec] = std::from_chars(digits.data(), last, parsed);
  if (at != last) return DoubleParse::kInvalid;
  if (ec == std::errc::invalid_argument) return DoubleParse::kInvalid;
  const bool minus = digits[0] == '-';
  if (ec == std::errc::result_out_of_range) {
    if (AboveRange(digits)) {
      value = minus ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
      return DoubleParse::kOverflow;
    }
    value = minus ? -0.0 : 0.0;
    return DoubleParse::kUnderflow;
  }
  value = parsed;
  return DoubleParse::kOk;
}

ScaledParse ParseScaledDecimal(std::string_view text, int scale, int64_t& value) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool minus = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) minus = text[i++] == '-';
  std::string digits;   // the mantissa's digits, leading zeros left out
  long long point = 0;  // where the point sits among `digits` (may be negative or beyond them)
  bool any = false, fraction = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && !fraction) {
      fraction = true;
    } else if (c >= '0' && c <= '9') {
      any = true;
      if (digits.empty() && c == '0') {
        if (fraction) --point;
      } else {
        digits += c;
        if (!fraction) ++point;
      }
    } else {
      break;
    }
  }
  if (!any) return ScaledParse::kInvalid;
  long long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    const char* first = text.data() + i + 1;
    const char* last = text.data() + text.size();
    bool negativeExponent = false;
    if (first < last && (*first == '+' || *first == '-')) negativeExponent = *first++ == '-';
    const auto [at, ec] = std::from_chars(first, last, exponent);
    if (at == first || (first < last && (*first == '+' || *first == '-')))
      return ScaledParse::kInvalid;
    if (ec == std::errc::result_out_of_range) exponent = 1000000;  // beyond any 64-bit value
    exponent = std::min(exponent, 1000000LL);
    if (negativeExponent) exponent = -exponent;
    i = size_t(at - text.data());
  }
  if (i != text.size()) return ScaledParse::kInvalid;
  if (digits.empty()) {
    value = 0;
    return ScaledParse::kOk;
  }
  // The digits of the scaled value's integer part: the first `whole` of `digits`.
  const long long whole = point + exponent + scale;
  if (whole > 19) return ScaledParse::kOutOfRange;
  __int128 scaled = 0;
  for (long long d = 0; d < whole; ++d)
    scaled = scaled * 10 + (size_t(d) < digits.size() ? digits[size_t(d)] - '0' : 0);
  if (whole >= 0 && size_t(whole) < digits.size() && digits[size_t(whole)] >= '5') ++scaled;
  if (minus) scaled = -scaled;
  if (scaled > std::numeric_limits<int64_t>::max() || scaled < std::numeric_limits<int64_t>::min())
    return ScaledParse::kOutOfRange;
  value = int64_t(scaled);
  return ScaledParse::kOk;
}

}  // namespace qorvin
