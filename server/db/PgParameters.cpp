#include "server/db/PgParameters.h"

#include <charconv>
#include <limits>

namespace qorvin::server {
namespace {

constexpr uint32_t kBytea = 17, kInt8 = 20, kInt4 = 23, kFloat8 = 701, kNumeric = 1700;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Digits at `i` on; the index after them.
size_t SkipDigits(std::string_view s, size_t i) {
  while (i < s.size() && IsDigit(s[i])) ++i;
  return i;
}

// A number as the lexer reads it, with an optional leading minus (which the parser folds into
// the constant): integer when it fits 32 bits, bigint when it fits 64, numeric otherwise and for
// every number with a point or an exponent.
std::optional<PgParameter> Number(std::string_view s) {
  size_t i = s.size() > 0 && s[0] == '-' ? 1 : 0;
  const size_t intStart = i;
  i = SkipDigits(s, i);
  bool whole = true;
  size_t digits = i - intStart;
  if (i < s.size() && s[i] == '.') {
    whole = false;
    const size_t fraction = i + 1;
    i = SkipDigits(s, fraction);
    digits += i - fraction;
  }
  if (digits == 0) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    whole = false;
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const size_t exponent = i;
    i = SkipDigits(s, i);
    if (i == exponent) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;
  PgParameter p{kNumeric, false, std::string(s)};
  if (whole) {
    int64_t v = 0;
    const auto [at, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec == std::errc() && at == s.data() + s.size())
      p.type = v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()
                   ? kInt4
                   : kInt8;
  }
  return p;
}

// 'text' with every quote inside doubled: the text.
std::optional<std::string> Quoted(std::string_view s) {
  if (s.size() < 2 || s.front() != '\'' || s.back() != '\'') return std::nullopt;
  std::string out;
  out.reserve(s.size() - 2);
  for (size_t i = 1; i + 1 < s.size(); ++i) {
    if (s[i] == '\'') {
      if (i + 2 >= s.size() || s[i + 1] != '\'') return std::nullopt;
      ++i;
    }
    out += s[i];
  }
  return out;
}

}  // namespace

std::optional<PgParameter> PgParameterOfLiteral(std::string_view literal) {
  if (literal == "NULL") return PgParameter{0, true, {}};
  if (literal.empty()) return std::nullopt;
  if (literal.front() != '\'') return Number(literal);
  // NaN and the infinities, which SqlLiteral writes as typed text.
  for (const char* special : {"'NaN'::float8", "'Infinity'::float8", "'-Infinity'::float8"}) {
    const std::string_view text = special;
    if (literal == text)
      return PgParameter{kFloat8, false, std::string(text.substr(1, text.find('\'', 1) - 1))};
  }
  constexpr std::string_view kByteaCast = "::bytea";
  if (literal.size() > kByteaCast.size() && literal.ends_with(kByteaCast)) {
    std::optional<std::string> text = Quoted(literal.substr(0, literal.size() - kByteaCast.size()));
    if (!text || !text->starts_with("\\x")) return std::nullopt;
    return PgParameter{kBytea, false, std::move(*text)};
  }
  std::optional<std::string> text = Quoted(literal);
  if (!text) return std::nullopt;
  return PgParameter{0, false, std::move(*text)};
}

}  // namespace qorvin::server
