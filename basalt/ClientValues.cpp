#include "basalt/ClientValues.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "basalt/BasaltError.h"
#include "platform/rtl/FieldTypes.h"
#include "platform/rtl/Text.h"

namespace qorvin {

namespace {

// Owns a text the library stored and frees it on every path.
struct OwnedText {
  QorvinText t{};
  ~OwnedText() { qorvin_text_free(&t); }
  std::string Bytes() const { return t.data ? std::string(t.data, size_t(t.length)) : ""; }
};

[[noreturn]] void Bad(const std::string& text, const char* what) {
  throw EBasaltError("'" + text + "' is not " + what);
}

int64_t ParseInteger(const std::string& text, int64_t min, int64_t max) {
  int64_t v = 0;
  const char* end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || p != end || v < min || v > max)
    Bad(text, "an integer in the field's range");
  return v;
}

double ParseFloat(const std::string& text) {
  double v = 0;
  const char* end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || p != end || !std::isfinite(v))
    Bad(text, "a floating point number");
  return v;
}

// Currency amounts are exact: up to four decimal places scaled by 10000 without going through a
// double; other forms (an exponent, more places) are taken as a double and rounded to the fourth
// place. Amounts outside the 64-bit scaled range are refused.
Currency ParseCurrency(const std::string& text) {
  const bool negative = !text.empty() && text[0] == '-';
  __int128 scaled = 0;
  int places = -1;
  bool digits = false, exact = text.size() > size_t(negative);
  for (size_t i = negative ? 1 : 0; exact && i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && places < 0) {
      places = 0;
    } else if (c >= '0' && c <= '9' && places < 4 && scaled <= INT64_MAX) {
      scaled = scaled * 10 + (c - '0');
      digits = true;
      if (places >= 0) ++places;
    } else {
      exact = false;
    }
  }
  if (exact && digits) {
    for (int p = places < 0 ? 0 : places; p < 4; ++p) scaled *= 10;
    if (negative) scaled = -scaled;
  } else {
    const double v = ParseFloat(text) * 10000.0;
    if (!(v > -9.3e18 && v < 9.3e18)) Bad(text, "a currency amount in range");
    scaled = __int128(std::llround(v));
  }
  if (scaled > INT64_MAX || scaled < INT64_MIN) Bad(text, "a currency amount in range");
  return Currency{int64_t(scaled)};
}

bool ParseBoolean(const std::string& text) {
  if (text == "True" || text == "true" || text == "1") return true;
  if (text == "False" || text == "false" || text == "0") return false;
  Bad(text, "a boolean value");
}

Variant ParseBytes(const std::string& text) {
  if (text.size() % 2 != 0) Bad(text, "hexadecimal bytes");
  std::string bytes(text.size() / 2, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    unsigned v = 0;
    const char* begin = text.data() + 2 * i;
    const auto [p, ec] = std::from_chars(begin, begin + 2, v, 16);
    if (ec != std::errc() || p != begin + 2) Bad(text, "hexadecimal bytes");
    bytes[i] = char(v);
  }
  return Variant::FromArray(VarArray::Bytes(bytes.data(), bytes.size()));
}

// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

unsigned DaysInMonth(int64_t y, unsigned m) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

// Reads `count` decimal digits at `pos`; false when they are not all there.
bool Digits(const std::string& text, size_t pos, size_t count, unsigned& value) {
  if (pos + count > text.size()) return false;
  value = 0;
  for (size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + unsigned(text[i] - '0');
  }
  return true;
}

// "HH:MM:SS[.fff]" at `pos` to the end: the fraction of a day.
bool ParseTime(const std::string& text, size_t pos, double& fraction) {
  unsigned h = 0, mi = 0, s = 0, ms = 0;
  if (!Digits(text, pos, 2, h) || text.size() < pos + 8 || text[pos + 2] != ':' ||
      !Digits(text, pos + 3, 2, mi) || text[pos + 5] != ':' || !Digits(text, pos + 6, 2, s))
    return false;
  size_t end = pos + 8;
  if (end < text.size()) {
    if (text[end] != '.' || !Digits(text, end + 1, 3, ms)) return false;
    end += 4;
  }
  if (end != text.size() || h > 23 || mi > 59 || s > 59) return false;
  fraction = double(((h * 60 + mi) * 60 + s) * 1000 + ms) / 86400000.0;
  return true;
}

std::string ToUtf8(const std::string& ansi) {
  try {
    return AnsiToUtf8(ansi);
  } catch (const Exception& e) {
    throw EBasaltError(std::string("text not valid in the locale's code set: ") + e.what());
  }
}

}  // namespace

double ParseClientDateTime(const std::string& text) {
  unsigned y = 0, m = 0, d = 0;
  double fraction = 0;
  if (text.size() == 8 && text[2] == ':') {
    if (!ParseTime(text, 0, fraction)) Bad(text, "a valid time");
    return fraction;
  }
  if (!Digits(text, 0, 4, y) || text.size() < 10 || text[4] != '-' || !Digits(text, 5, 2, m) ||
      text[7] != '-' || !Digits(text, 8, 2, d) || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m))
    Bad(text, "a valid date");
  if (text.size() > 10 && (text[10] != ' ' || !ParseTime(text, 11, fraction)))
    Bad(text, "a valid date and time");
  const int64_t days = DaysFromCivil(y, m, d) - DaysFromCivil(1899, 12, 30);
  // Before 1899-12-30 the day count is negative and the time of day still counts forward.
  return days >= 0 ? double(days) + fraction : double(days) - fraction;
}

Variant ClientTextToVariant(int fieldType, const std::string& text) {
  switch (fieldType) {
    case ftString:
    case ftFixedChar:
    case ftMemo:
    case ftFmtMemo:
    case ftOraClob:
    case ftWideString:
    case ftGuid:
    case ftVariant:
      return Variant::AnsiString(ToUtf8(text));
    case ftSmallint:
      return Variant::Smallint(int16_t(ParseInteger(text, INT16_MIN, INT16_MAX)));
    case ftWord:
      return Variant::Word(uint16_t(ParseInteger(text, 0, UINT16_MAX)));
    case ftInteger:
    case ftAutoInc:
      return Variant::Integer(int32_t(ParseInteger(text, INT32_MIN, INT32_MAX)));
    case ftLargeint:
      return Variant::Int64(ParseInteger(text, INT64_MIN, INT64_MAX));
    case ftBoolean:
      return Variant::Boolean(ParseBoolean(text));
    case ftFloat:
      return Variant::Double(ParseFloat(text));
    case ftCurrency:
      return Variant::Currency(ParseCurrency(text));
    case ftBCD:
    case ftFMTBcd:
      try {
        return Variant::FromBcd(Bcd::FromString(text));
      } catch (const Exception&) {
        Bad(text, "a decimal number");
      }
    case ftDate:
    case ftTime:
    case ftDateTime:
    case ftTimeStamp:
      return Variant::Date(ParseClientDateTime(text));
    case ftBytes:
    case ftVarBytes:
    case ftBlob:
    case ftGraphic:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
    case ftOraBlob:
      return ParseBytes(text);
    default:
      throw EBasaltError(std::string("the framework's dataset cannot hold a field of type ") +
                         FieldTypeName(fieldType));
  }
}

TDataSetContent ReadClientRecordSet(QorvinAdoDataSet& source) {
  TDataSetContent content;
  const int32_t fieldCount = source.FieldCount();
  std::vector<int32_t> types;
  for (int32_t i = 0; i < fieldCount; ++i) {
    OwnedText name;
    if (!source.FieldName(i, &name.t))
      throw EBasaltError("the record set has no name for field " + std::to_string(i));
    content.Fields.push_back(ToUtf8(name.Bytes()));
    types.push_back(source.FieldType(i));
  }
  // The count bounds the walk even if the record set's end were never reached.
  const int32_t rowCount = source.RecordCount();
  source.First();
  for (int32_t row = 0; row < rowCount && !source.Eof(); ++row, source.Next()) {
    std::vector<Variant> values;
    values.reserve(size_t(fieldCount));
    for (int32_t i = 0; i < fieldCount; ++i) {
      OwnedText text;
      bool isNull = false;
      const std::string where =
          "field " + content.Fields[size_t(i)] + " of row " + std::to_string(row + 1);
      if (!source.GetValueText(i, &text.t, &isNull))
        throw EBasaltError("the record set gave no value for " + where);
      try {
        values.push_back(isNull ? Variant::Null()
                                : ClientTextToVariant(types[size_t(i)], text.Bytes()));
      } catch (const EBasaltError& e) {
        throw EBasaltError(where + ": " + e.what());
      }
    }
    content.Rows.push_back(std::move(values));
  }
  return content;
}

std::string LibraryTextToUtf8(const QorvinText& text) {
  const std::string bytes = text.data ? std::string(text.data, size_t(text.length)) : "";
  try {
    return AnsiToUtf8(bytes);
  } catch (const Exception&) {
    std::string out = bytes;
    for (char& c : out)
      if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    return out;
  }
}

}  // namespace qorvin
