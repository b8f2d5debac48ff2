#include "platform/dataset/FieldValue.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "platform/rtl/CivilDate.h"
#include "platform/rtl/NumberText.h"
#include "platform/rtl/Text.h"

namespace qorvin {

namespace {

constexpr int64_t kUnixEpochOleDay = 25569;  // 1970-01-01 counted from 1899-12-30
constexpr int64_t kMsPerDay = 86400000;

unsigned DaysInMonth(int64_t y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

// Exact decimal text ("-12.5", "7") to an integer scaled by 10^scale, rounded half away from
// zero. EConvertError for other text or when the result does not fit 64 bits.
int64_t DecimalTextToScaled(const std::string& text, int scale) {
  size_t i = 0;
  const bool negative = !text.empty() && (text[0] == '-' || text[0] == '+');
  if (negative) i = 1;
  const bool minus = negative && text[0] == '-';
  __int128 value = 0;
  int places = -1;  // -1 until the point
  bool any = false, roundUp = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && places < 0) {
      places = 0;
      continue;
    }
    if (c < '0' || c > '9') throw EConvertError(Format("'%s' is not a valid number", text.c_str()));
    any = true;
    if (places >= scale) {
      if (places == scale) roundUp = c >= '5';
      ++places;
      continue;
    }
    value = value * 10 + (c - '0');
    if (places >= 0) ++places;
    if (value > (__int128(1) << 64))
      throw EConvertError(Format("'%s' is out of range", text.c_str()));
  }
  if (!any) throw EConvertError(Format("'%s' is not a valid number", text.c_str()));
  for (int p = places < 0 ? 0 : places; p < scale; ++p) value *= 10;
  if (roundUp) ++value;
  if (minus) value = -value;
  if (value > std::numeric_limits<int64_t>::max() || value < std::numeric_limits<int64_t>::min())
    throw EConvertError(Format("'%s' is out of range", text.c_str()));
  return int64_t(value);
}

// Decimal text of a double without an exponent: the digits of its shortest round-trip form, in
// the C locale. Values below 10^-63 (the most places a BCD value holds) keep 63 places, rounded.
std::string PlainDoubleText(double d) {
  if (!std::isfinite(d)) throw EConvertError("Not a finite number");
  std::string s = PlainDoubleDigits(d);
  const size_t point = s.find('.');
  if (point != std::string::npos && s.size() - point - 1 > 63) {
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed, 63);
    s.assign(buf, r.ptr);
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    if (s == "-0") s = "0";
  }
  return s;
}

bool IsDecimalKind(uint16_t type) {
  return type == varBcd || type == varDecimal;
}
std::string DecimalText(const Variant& v) {
  return v.Type() == varBcd ? v.AsBcd().ToString() : v.AsDecimal().ToString();
}

int64_t ToInteger(const Variant& v) {
  if (v.Type() == varUInt64 && v.AsIntegerValue() < 0) throw EConvertError("Value out of range");
  if (IsDecimalKind(v.Type())) return DecimalTextToScaled(DecimalText(v), 0);
  if (v.Type() == varString || v.Type() == varOleStr || v.Type() == varUString)
    return DecimalTextToScaled(v.ToUtf8(), 0);
  return v.ToInt64();
}

int64_t InRange(int64_t value, int64_t low, int64_t high) {
  if (value < low || value > high)
    throw EConvertError(Format("Value %lld out of range", static_cast<long long>(value)));
  return value;
}

bool ToBooleanValue(const Variant& v) {
  if (v.Type() == varBoolean) return v.AsBoolean();
  if (v.Type() == varString || v.Type() == varOleStr || v.Type() == varUString) {
    std::string t = v.ToUtf8();
    for (char& c : t) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (t == "true") return true;
    if (t == "false") return false;
  }
  if (v.Type() == varSingle || v.Type() == varDouble) return v.ToDouble() != 0.0;
  return ToInteger(v) != 0;
}

Currency ToCurrencyValue(const Variant& v) {
  if (v.Type() == varCurrency) return v.AsCurrency();
  if (IsDecimalKind(v.Type())) return Currency{DecimalTextToScaled(DecimalText(v), 4)};
  if (v.Type() == varSingle || v.Type() == varDouble || v.Type() == varDate)
    return Currency{DecimalTextToScaled(PlainDoubleText(v.ToDouble()), 4)};
  return Currency{DecimalTextToScaled(v.ToUtf8(), 4)};
}

Bcd ToBcdValue(const Variant& v) {
  if (v.Type() == varBcd) return v.AsBcd();
  if (v.Type() == varSingle || v.Type() == varDouble || v.Type() == varDate)
    return Bcd::FromString(PlainDoubleText(v.ToDouble()));
  if (v.Type() == varBoolean) throw EConvertError("A boolean is not a decimal value");
  std::string text = v.ToUtf8();
  if (!text.empty() && text[0] == '+') text.erase(0, 1);
  return Bcd::FromString(text);
}

Variant ToBytesValue(const Variant& v) {
  if (v.IsArray()) {
    const VarArray& a = v.AsArray();
    if (a.ElementType() == varByte && a.DimCount() == 1) {
      if (a.Bounds()[0].low == 0) return v;
      return Variant::FromArray(VarArray::Bytes(a.RawData().data(), a.RawData().size()));
    }
  } else if (v.Type() == varString) {
    return Variant::FromArray(VarArray::Bytes(v.AsAnsi().data(), v.AsAnsi().size()));
  }
  throw EConvertError(
      Format("A value of type %s is not binary data", VarTypeName(v.Type()).c_str()));
}

std::string ToAnsiText(const Variant& v) {
  if (v.Type() == varString) return v.AsAnsi();
  if (v.Type() == varOleStr || v.Type() == varUString) return Utf16ToAnsi(v.AsWide());
  if (v.IsArray() && v.AsArray().ElementType() == varByte && v.AsArray().DimCount() == 1) {
    const auto& raw = v.AsArray().RawData();
    return std::string(raw.begin(), raw.end());
  }
  return Utf8ToAnsi(v.ToUtf8());
}

Variant Convert(TValueClass cls, const Variant& v) {
  switch (cls) {
    case TValueClass::AnsiText:
      return Variant::AnsiString(ToAnsiText(v));
    case TValueClass::WideText:
      return Variant::OleStr(v.Type() == varString ? AnsiToUtf16(v.AsAnsi()) : v.ToWide());
    case TValueClass::SmallInt:
      return Variant::Smallint(int16_t(InRange(ToInteger(v), INT16_MIN, INT16_MAX)));
    case TValueClass::Integer:
      return Variant::Integer(int32_t(InRange(ToInteger(v), INT32_MIN, INT32_MAX)));
    case TValueClass::Word:
      return Variant::Word(uint16_t(InRange(ToInteger(v), 0, UINT16_MAX)));
    case TValueClass::LargeInt:
      return Variant::Int64(ToInteger(v));
    case TValueClass::Boolean:
      return Variant::Boolean(ToBooleanValue(v));
    case TValueClass::Float:
      return Variant::Double(v.ToDouble());
    case TValueClass::Currency:
      return Variant::Currency(ToCurrencyValue(v));
    case TValueClass::Bcd:
      return Variant::FromBcd(ToBcdValue(v));
    case TValueClass::DateTime:
      return Variant::Date(v.Type() == varSQLTimeStamp ? DateTimeFromTimeStamp(v.AsSQLTimeStamp())
                                                       : v.ToDouble());
    case TValueClass::TimeStamp:
      return v.Type() == varSQLTimeStamp
                 ? v
                 : Variant::FromSQLTimeStamp(TimeStampFromDateTime(v.ToDouble()));
    case TValueClass::Bytes:
      return ToBytesValue(v);
    case TValueClass::Any:
      if (!IsStorableVariant(v))
        throw EConvertError(
            Format("A value of type %s cannot be stored", VarTypeName(v.Type()).c_str()));
      return v.Type() == varUString ? Variant::OleStr(v.AsWide()) : v;
    case TValueClass::Unsupported:
      break;
  }
  throw EConvertError("Unsupported field type");
}

}  // namespace

TValueClass ValueClassOf(int fieldType) {
  switch (fieldType) {
    case ftString:
    case ftFixedChar:
    case ftMemo:
    case ftFmtMemo:
    case ftOraClob:
    case ftGuid:
      return TValueClass::AnsiText;
    case ftWideString:
      return TValueClass::WideText;
    case ftSmallint:
      return TValueClass::SmallInt;
    case ftInteger:
    case ftAutoInc:
      return TValueClass::Integer;
    case ftWord:
      return TValueClass::Word;
    case ftLargeint:
      return TValueClass::LargeInt;
    case ftBoolean:
      return TValueClass::Boolean;
    case ftFloat:
      return TValueClass::Float;
    case ftCurrency:
      return TValueClass::Currency;
    case ftBCD:
    case ftFMTBcd:
      return TValueClass::Bcd;
    case ftDate:
    case ftTime:
    case ftDateTime:
      return TValueClass::DateTime;
    case ftTimeStamp:
      return TValueClass::TimeStamp;
    case ftBytes:
    case ftVarBytes:
    case ftBlob:
    case ftGraphic:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
    case ftOraBlob:
      return TValueClass::Bytes;
    case ftVariant:
      return TValueClass::Any;
    default:
      return TValueClass::Unsupported;
  }
}

bool IsStorableVariant(const Variant& v) {
  if (v.IsByRef()) return false;
  if (v.IsArray()) return v.AsArray().ElementType() == varByte && v.AsArray().DimCount() == 1;
  switch (v.Type()) {
    case varEmpty:
    case varNull:
    case varSmallint:
    case varInteger:
    case varSingle:
    case varDouble:
    case varCurrency:
    case varDate:
    case varOleStr:
    case varError:
    case varBoolean:
    case varDecimal:
    case varShortInt:
    case varByte:
    case varWord:
    case varLongWord:
    case varInt64:
    case varUInt64:
    case varString:
    case varUString:
    case varBcd:
    case varSQLTimeStamp:
      return true;
    default:
      return false;
  }
}

bool IsCanonicalFieldValue(TValueClass cls, const Variant& v) {
  const uint16_t type = v.Type();
  if (type == varNull) return true;
  switch (cls) {
    case TValueClass::AnsiText:
      return type == varString;
    case TValueClass::WideText:
      return type == varOleStr;
    case TValueClass::SmallInt:
      return type == varSmallint;
    case TValueClass::Integer:
      return type == varInteger;
    case TValueClass::Word:
      return type == varWord;
    case TValueClass::LargeInt:
      return type == varInt64;
    case TValueClass::Boolean:
      return type == varBoolean;
    case TValueClass::Float:
      return type == varDouble;
    case TValueClass::Currency:
      return type == varCurrency;
    case TValueClass::Bcd:
      return type == varBcd;
    case TValueClass::DateTime:
      return type == varDate;
    case TValueClass::TimeStamp:
      return type == varSQLTimeStamp;
    case TValueClass::Bytes:
      return type == (varArray | varByte) && v.AsArray().DimCount() == 1 &&
             v.AsArray().Bounds()[0].low == 0;
    case TValueClass::Any:
      return type != varUString && IsStorableVariant(v);
    case TValueClass::Unsupported:
      break;
  }
  return false;
}

Variant CoerceFieldValue(const TClientFieldDef& def, const Variant& value) {
  const TValueClass cls = ValueClassOf(def.dataType);
  if (cls != TValueClass::Unsupported && IsCanonicalFieldValue(cls, value)) return value;
  try {
    if (value.IsByRef()) return CoerceFieldValue(def, value.Deref());
    if (value.IsNull() || (value.IsEmpty() && cls != TValueClass::Any)) return Variant::Null();
    return Convert(cls, value);
  } catch (const EDatabaseError&) {
    throw;
  } catch (const Exception& e) {
    throw EDatabaseError(Format("Field '%s': %s", def.name.c_str(), e.what()));
  }
}

SQLTimeStamp TimeStampFromDateTime(double date) {
  // 0001-01-01 and 9999-12-31 23:59:59.999 as day numbers since 1899-12-30.
  if (!std::isfinite(date) || date < -693594.0 || date >= 2958466.0)
    throw EConvertError("Date-time value out of range");
  int64_t days = int64_t(date);  // toward zero: the fraction is the time also below zero
  int64_t ms = std::llround(std::fabs(date - double(days)) * double(kMsPerDay));
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    ++days;
  }
  int64_t y;
  unsigned m, d;
  CivilFromDays(days - kUnixEpochOleDay, y, m, d);
  if (y < 1 || y > 9999) throw EConvertError("Date-time value out of range");
  SQLTimeStamp t;
  t.year = int16_t(y);
  t.month = uint16_t(m);
  t.day = uint16_t(d);
  t.hour = uint16_t(ms / 3600000);
  t.minute = uint16_t(ms / 60000 % 60);
  t.second = uint16_t(ms / 1000 % 60);
  t.fractions = uint32_t(ms % 1000) * 1000000u;
  return t;
}

double DateTimeFromTimeStamp(const SQLTimeStamp& t) {
  if (t.year < 1 || t.month < 1 || t.month > 12 || t.day < 1 ||
      t.day > DaysInMonth(t.year, t.month) || t.hour > 23 || t.minute > 59 || t.second > 59 ||
      t.fractions > 999999999u)
    throw EConvertError("SQL timestamp value out of range");
  const int64_t days = DaysFromCivil(t.year, t.month, t.day) + kUnixEpochOleDay;
  const double time =
      (double(t.hour) * 3600.0 + double(t.minute) * 60.0 + double(t.second) + t.fractions / 1e9) /
      86400.0;
  return days >= 0 ? double(days) + time : double(days) - time;
}

}  // namespace qorvin
