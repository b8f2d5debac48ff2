#include "platform/ado/AdoValues.h"

#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>

#include "platform/ado/AdoBytes.h"
#include "platform/ado/AdoDates.h"
#include "platform/ado/AdoNumeric.h"
#include "platform/ado/AdoVariantCell.h"
#include "platform/rtl/Guid.h"

namespace qorvin::ado {

namespace {

// ---- reading ------------------------------------------------------------------------------

// Fixed-width text without the NULs that fill its slot after the value. 8-bit text keeps every
// byte before the last non-NUL one (an embedded NUL is data, and what follows it too); wide text
// ends at its first NUL unit.
std::string_view CutAtNul(std::string_view bytes, bool wide) {
  if (!wide) return bytes.substr(0, bytes.find_last_not_of('\0') + 1);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    if (bytes[i] == 0 && bytes[i + 1] == 0) return bytes.substr(0, i);
  return bytes;
}

Variant NumericValue(const uint8_t* c) {
  DecNumber n;
  n.digits = MagnitudeToDigits(c + 3, 16);
  n.places = c[1];
  n.negative = c[2] == 0 && n.digits != "0";
  return Variant::FromBcd(ToBcd(n));
}

Variant VarNumericValue(std::string_view bytes) {
  if (bytes.size() < 3) throw EAdoError("A VARNUMERIC value needs at least 3 bytes");
  const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
  DecNumber n;
  n.digits = MagnitudeToDigits(b + 3, bytes.size() - 3);
  const int scale = int8_t(b[1]);
  if (scale >= 0) {
    n.places = scale;
  } else if (n.digits != "0") {
    n.digits.append(size_t(-scale), '0');
  }
  n.negative = b[2] == 0 && n.digits != "0";
  return Variant::FromBcd(ToBcd(n));
}

Variant DecimalValue(const uint8_t* c) {
  Decimal d;
  d.scale = c[2];
  d.sign = c[3];
  d.hi32 = LoadLE<uint32_t>(c + 4);
  d.lo64 = uint64_t(LoadLE<uint32_t>(c + 8)) | uint64_t(LoadLE<uint32_t>(c + 12)) << 32;
  return Variant::FromDecimal(d);
}

Variant DateOfParts(int32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute,
                    uint32_t second) {
  DateTimeParts p;
  p.year = year;
  p.month = month;
  p.day = day;
  p.hour = hour;
  p.minute = minute;
  p.second = second;
  return Variant::Date(OleDateFromParts(p));
}

// Integer, floating, currency, DATE and boolean cells; Empty for other types.
Variant ScalarValue(uint16_t adoType, const uint8_t* c) {
  switch (adoType) {
    case adTinyInt:
      return Variant::ShortInt(int8_t(c[0]));
    case adUnsignedTinyInt:
      return Variant::Byte(c[0]);
    case adSmallInt:
      return Variant::Smallint(LoadLE<int16_t>(c));
    case adUnsignedSmallInt:
      return Variant::Word(LoadLE<uint16_t>(c));
    case adInteger:
      return Variant::Integer(LoadLE<int32_t>(c));
    case adUnsignedInt:
      return Variant::LongWord(LoadLE<uint32_t>(c));
    case adBigInt:
      return Variant::Int64(LoadLE<int64_t>(c));
    case adUnsignedBigInt:
      return Variant::UInt64(LoadLE<uint64_t>(c));
    case adSingle:
      return Variant::Single(LoadLE<float>(c));
    case adDouble:
      return Variant::Double(LoadLE<double>(c));
    case adCurrency:
      return Variant::Currency(Currency{LoadLE<int64_t>(c)});
    case adDate:
      return Variant::Date(LoadLE<double>(c));
    case adBoolean:
      return Variant::Boolean(LoadLE<int16_t>(c) != 0);
    default:
      return Variant();
  }
}

Variant TimeStampValue(const uint8_t* c) {
  SQLTimeStamp ts;
  ts.year = LoadLE<int16_t>(c);
  ts.month = LoadLE<uint16_t>(c + 2);
  ts.day = LoadLE<uint16_t>(c + 4);
  ts.hour = LoadLE<uint16_t>(c + 6);
  ts.minute = LoadLE<uint16_t>(c + 8);
  ts.second = LoadLE<uint16_t>(c + 10);
  ts.fractions = LoadLE<uint32_t>(c + 12);
  return Variant::FromSQLTimeStamp(ts);
}

Variant StoredValue(const CellPlan& plan, const RowStore& store, const uint8_t* rec, int col) {
  const uint8_t* c = store.Cell(rec, col);
  switch (plan.adoType) {
    case adDecimal:
      return DecimalValue(c);
    case adNumeric:
      return NumericValue(c);
    case adDBDate:
      return DateOfParts(LoadLE<int16_t>(c), LoadLE<uint16_t>(c + 2), LoadLE<uint16_t>(c + 4), 0, 0,
                         0);
    case adDBTime:
      return DateOfParts(1899, 12, 30, LoadLE<uint16_t>(c), LoadLE<uint16_t>(c + 2),
                         LoadLE<uint16_t>(c + 4));
    case adDBTimeStamp:
      return TimeStampValue(c);
    case adFileTime:
      return Variant::Date(OleDateFromParts(PartsFromFileTime(LoadLE<uint64_t>(c))));
    case adGUID:
      return Variant::OleStr(Utf8ToUtf16(TGUID::FromBytes(c).ToString()));
    case adVariant:
      return DecodeVariantCell(c);
    case adVarNumeric:
      return VarNumericValue(store.Var(rec, col));
    case adBinary: {
      const std::string_view bytes = store.Var(rec, col);
      return Variant::FromArray(VarArray::Bytes(bytes.data(), bytes.size()));
    }
    case adChar: {
      std::string_view bytes = store.Var(rec, col);
      if (plan.form == CellForm::VarFixed) bytes = CutAtNul(bytes, false);
      return Variant::AnsiString(std::string(bytes));
    }
    default: {  // adWChar, adBSTR
      std::string_view bytes = store.Var(rec, col);
      if (plan.form == CellForm::VarFixed) bytes = CutAtNul(bytes, true);
      return Variant::OleStr(LEBytesToUtf16(bytes));
    }
  }
}

// ---- writing ------------------------------------------------------------------------------

[[noreturn]] void OutOfRange(const Variant& value) {
  std::string text;
  try {
    text = value.ToUtf8();
  } catch (const Exception&) {
    text = "of type " + VarTypeName(value.Type());
  }
  if (text.size() > 60) text = text.substr(0, 60) + "...";
  throw EAdoError(Format("value %s is out of range", text.c_str()));
}

int64_t IntegerOf(const Variant& value, int64_t low, int64_t high) {
  int64_t v;
  if (value.Kind() == varDecimal || value.Kind() == varBcd) {
    const DecNumber n = Rescale(DecimalOfVariant(value), 0);
    uint8_t bytes[8];
    if (!DigitsToMagnitude(n.digits, bytes, 8) || LoadLE<uint64_t>(bytes) > uint64_t(INT64_MAX))
      OutOfRange(value);
    v = n.negative ? -LoadLE<int64_t>(bytes) : LoadLE<int64_t>(bytes);
  } else if (value.Kind() == varUInt64) {
    const uint64_t u = uint64_t(value.AsIntegerValue());
    if (u > uint64_t(high)) OutOfRange(value);
    v = int64_t(u);
  } else {
    v = value.ToInt64();
  }
  if (v < low || v > high) OutOfRange(value);
  return v;
}

uint64_t UInt64Of(const Variant& value) {
  if (value.Kind() == varUInt64) return uint64_t(value.AsIntegerValue());
  const DecNumber n = Rescale(DecimalOfVariant(value), 0);
  uint8_t bytes[8];
  if (n.negative || !DigitsToMagnitude(n.digits, bytes, 8)) OutOfRange(value);
  return LoadLE<uint64_t>(bytes);
}

bool BooleanOf(const Variant& value) {
  if (value.Kind() == varBoolean) return value.AsBoolean();
  if (value.Kind() == varOleStr || value.Kind() == varUString || value.Kind() == varString) {
    const std::string text = value.ToUtf8();
    if (text == "True" || text == "true" || text == "TRUE") return true;
    if (text == "False" || text == "false" || text == "FALSE") return false;
  }
  return value.ToDouble() != 0.0;
}

int64_t CurrencyOf(const Variant& value) {
  if (value.Kind() == varCurrency) return value.AsCurrency().scaled;
  const DecNumber n = Rescale(DecimalOfVariant(value), 4);
  uint8_t bytes[8];
  if (!DigitsToMagnitude(n.digits, bytes, 8)) OutOfRange(value);
  const uint64_t magnitude = LoadLE<uint64_t>(bytes);
  if (magnitude > (n.negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX))) OutOfRange(value);
  return int64_t(n.negative ? 0 - magnitude : magnitude);
}

void StoreNumeric(const TFieldDef& def, const Variant& value, uint8_t* c) {
  if (def.numericScale < 0 || def.numericScale > 38)
    throw EAdoError(Format("a NUMERIC column of scale %d cannot take values", def.numericScale));
  const DecNumber n = Rescale(DecimalOfVariant(value), def.numericScale);
  if (def.precision >= 1 && def.precision <= 38 && n.digits.size() > def.precision && !n.IsZero())
    OutOfRange(value);
  if (!DigitsToMagnitude(n.digits, c + 3, 16)) OutOfRange(value);
  c[0] = uint8_t(std::min<uint32_t>(def.precision, 255));
  c[1] = uint8_t(def.numericScale);
  c[2] = n.negative ? 0 : 1;
}

void StoreDecimal(const Variant& value, uint8_t* c) {
  Decimal d;
  if (value.Kind() == varDecimal) {
    d = value.AsDecimal();
    if (d.scale > 28) OutOfRange(value);
  } else {
    const DecNumber exact = DecimalOfVariant(value);
    const DecNumber n = Rescale(exact, std::min(exact.places, 28));
    uint8_t magnitude[12];
    if (!DigitsToMagnitude(n.digits, magnitude, sizeof magnitude)) OutOfRange(value);
    d.scale = uint8_t(n.places);
    d.sign = n.negative ? 0x80 : 0;
    d.lo64 = LoadLE<uint64_t>(magnitude);
    d.hi32 = LoadLE<uint32_t>(magnitude + 8);
  }
  StoreLE<uint16_t>(c, 0);
  c[2] = d.scale;
  c[3] = d.sign & 0x80;
  StoreLE<uint32_t>(c + 4, d.hi32);
  StoreLE<uint32_t>(c + 8, uint32_t(d.lo64));
  StoreLE<uint32_t>(c + 12, uint32_t(d.lo64 >> 32));
}

std::string VarNumericBytes(const Variant& value) {
  DecNumber n = TrimFraction(DecimalOfVariant(value));
  if (n.places > 127) n = TrimFraction(Rescale(n, 127));
  if (n.digits.size() > 255) OutOfRange(value);
  std::string bytes(3 + n.digits.size() / 2 + 1, '\0');
  auto* b = reinterpret_cast<uint8_t*>(bytes.data());
  DigitsToMagnitude(n.digits, b + 3, bytes.size() - 3);
  size_t used = bytes.size();
  while (used > 4 && b[used - 1] == 0) --used;
  bytes.resize(used);
  b[0] = uint8_t(n.digits.size());
  b[1] = uint8_t(n.places);
  b[2] = n.negative ? 0 : 1;
  return bytes;
}

std::string BinaryOf(const Variant& value) {
  if (value.IsArray()) {
    const VarArray& array = value.AsArray();
    if (array.ElementType() != varByte || array.DimCount() != 1)
      throw EAdoError("only a one-dimensional byte array can be stored as binary");
    return std::string(array.RawData().begin(), array.RawData().end());
  }
  if (value.Kind() == varString) return value.AsAnsi();
  throw EAdoError(
      Format("a value of type %s cannot be stored as binary", VarTypeName(value.Type()).c_str()));
}

// Checks the byte length against the column and pads fixed-width values with `pad` units. The
// bytes are copied once, into the store, unless they need padding.
void StoreBytes(const TFieldDef& def, const CellPlan& plan, RowStore& store, uint8_t* rec, int col,
                std::string_view bytes, std::string_view pad) {
  uint64_t limit = plan.capacity;
  if (plan.form == CellForm::VarU32 && (def.IsLong() || limit == kUnlimitedCapacity))
    limit = 0x7FFFFFFF;
  if (bytes.size() > limit)
    throw EAdoError(Format("a value of %zu bytes does not fit into %llu bytes", bytes.size(),
                           static_cast<unsigned long long>(limit)));
  if (def.FixedLength() && plan.capacity != kUnlimitedCapacity &&
      bytes.size() + pad.size() <= plan.capacity) {
    std::string padded(bytes);
    while (padded.size() + pad.size() <= plan.capacity) padded += pad;
    store.SetVar(rec, col, padded.data(), padded.size());
    return;
  }
  store.SetVar(rec, col, bytes.data(), bytes.size());
}

// Wide text as the little-endian UTF-16 bytes a cell holds. Text already held as UTF-16 is
// viewed where it lies on a little-endian machine (`scratch` stays empty); otherwise the bytes
// are made in `scratch`.
std::string_view WideBytesOf(const Variant& value, std::string& scratch) {
  const uint16_t kind = value.Kind();
  if constexpr (std::endian::native == std::endian::little) {
    if (kind == varOleStr || kind == varUString) {
      const std::u16string& wide = value.AsWide();
      return {reinterpret_cast<const char*>(wide.data()), wide.size() * 2};
    }
  }
  scratch = Utf16ToLEBytes(value.ToWide());
  return scratch;
}

void StoreDate(uint16_t adoType, const Variant& value, uint8_t* c) {
  if (adoType == adDate && value.Kind() != varSQLTimeStamp) {
    const double d = value.Kind() == varDate || value.Kind() == varDouble ? value.AsDoubleValue()
                                                                          : value.ToDouble();
    PartsFromOleDate(d);  // range check
    StoreLE<double>(c, d);
    return;
  }
  const DateTimeParts p = PartsOfVariant(value);
  switch (adoType) {
    case adDate:
      StoreLE<double>(c, OleDateFromParts(p));
      break;
    case adDBDate:
      StoreLE<int16_t>(c, int16_t(p.year));
      StoreLE<uint16_t>(c + 2, uint16_t(p.month));
      StoreLE<uint16_t>(c + 4, uint16_t(p.day));
      break;
    case adDBTime:
      StoreLE<uint16_t>(c, uint16_t(p.hour));
      StoreLE<uint16_t>(c + 2, uint16_t(p.minute));
      StoreLE<uint16_t>(c + 4, uint16_t(p.second));
      break;
    case adDBTimeStamp:
      StoreLE<int16_t>(c, int16_t(p.year));
      StoreLE<uint16_t>(c + 2, uint16_t(p.month));
      StoreLE<uint16_t>(c + 4, uint16_t(p.day));
      StoreLE<uint16_t>(c + 6, uint16_t(p.hour));
      StoreLE<uint16_t>(c + 8, uint16_t(p.minute));
      StoreLE<uint16_t>(c + 10, uint16_t(p.second));
      StoreLE<uint32_t>(c + 12, p.nanos);
      break;
    default: {  // adFileTime
      uint64_t ticks;
      if (!FileTimeFromParts(p, ticks)) OutOfRange(value);
      StoreLE<uint64_t>(c, ticks);
    }
  }
}

// Integer, floating, currency and boolean columns; false for other types.
bool StoreScalar(uint16_t adoType, const Variant& value, uint8_t* c) {
  switch (adoType) {
    case adTinyInt:
      c[0] = uint8_t(IntegerOf(value, INT8_MIN, INT8_MAX));
      return true;
    case adUnsignedTinyInt:
      c[0] = uint8_t(IntegerOf(value, 0, UINT8_MAX));
      return true;
    case adSmallInt:
      StoreLE<int16_t>(c, int16_t(IntegerOf(value, INT16_MIN, INT16_MAX)));
      return true;
    case adUnsignedSmallInt:
      StoreLE<uint16_t>(c, uint16_t(IntegerOf(value, 0, UINT16_MAX)));
      return true;
    case adInteger:
      StoreLE<int32_t>(c, int32_t(IntegerOf(value, INT32_MIN, INT32_MAX)));
      return true;
    case adUnsignedInt:
      StoreLE<uint32_t>(c, uint32_t(IntegerOf(value, 0, UINT32_MAX)));
      return true;
    case adBigInt:
      StoreLE<int64_t>(c, IntegerOf(value, INT64_MIN, INT64_MAX));
      return true;
    case adUnsignedBigInt:
      StoreLE<uint64_t>(c, UInt64Of(value));
      return true;
    case adSingle: {
      const double d = value.ToDouble();
      if (std::isfinite(d) && std::fabs(d) > FLT_MAX) OutOfRange(value);
      StoreLE<float>(c, float(d));
      return true;
    }
    case adDouble:
      StoreLE<double>(c, value.ToDouble());
      return true;
    case adCurrency:
      StoreLE<int64_t>(c, CurrencyOf(value));
      return true;
    case adBoolean:
      StoreLE<int16_t>(c, BooleanOf(value) ? -1 : 0);
      return true;
    default:
      return false;
  }
}

void StoreValue(const TFieldDef& def, const CellPlan& plan, RowStore& store, uint8_t* rec, int col,
                const Variant& value) {
  uint8_t* c = store.Cell(rec, col);
  if (StoreScalar(plan.adoType, value, c)) return;
  switch (plan.adoType) {
    case adDecimal:
      StoreDecimal(value, c);
      break;
    case adNumeric:
      StoreNumeric(def, value, c);
      break;
    case adDate:
    case adDBDate:
    case adDBTime:
    case adDBTimeStamp:
    case adFileTime:
      StoreDate(plan.adoType, value, c);
      break;
    case adGUID: {
      const auto bytes = TGUID::FromString(value.ToUtf8()).ToBytes();
      std::memcpy(c, bytes.data(), 16);
      break;
    }
    case adVariant:
      EncodeVariantCell(value, c);
      break;
    case adVarNumeric:
      StoreBytes(def, plan, store, rec, col, VarNumericBytes(value), {});
      break;
    case adBinary:
      StoreBytes(def, plan, store, rec, col, BinaryOf(value), std::string_view("\0", 1));
      break;
    case adChar:
      StoreBytes(def, plan, store, rec, col,
                 value.Kind() == varString ? value.AsAnsi() : Utf16ToAnsi(value.ToWide()), " ");
      break;
    default: {  // adWChar, adBSTR
      std::string scratch;
      StoreBytes(def, plan, store, rec, col, WideBytesOf(value, scratch),
                 std::string_view(" \0", 2));
    }
  }
}

}  // namespace

Variant CellValue(const TFieldDef& def, const RowStore& store, const uint8_t* rec, int col) {
  if (!store.Present(rec, col)) return Variant::Null();
  const CellPlan& plan = store.Layout().cells[size_t(col)];
  Variant scalar = ScalarValue(plan.adoType, store.Cell(rec, col));
  if (!scalar.IsEmpty()) return scalar;
  try {
    return StoredValue(plan, store, rec, col);
  } catch (const Exception& e) {
    throw EAdoError(Format("Field '%s': %s", ShowName(def.name).c_str(), e.what()));
  }
}

void SetCellValue(const TFieldDef& def, RowStore& store, uint8_t* rec, int col,
                  const Variant& input) {
  const Variant& value = input;
  if (input.IsByRef()) return SetCellValue(def, store, rec, col, input.Deref());
  const CellPlan& plan = store.Layout().cells[size_t(col)];
  if (value.IsNull() || (value.IsEmpty() && plan.adoType != adVariant)) {
    store.SetPresent(rec, col, false);
    return;
  }
  try {
    StoreValue(def, plan, store, rec, col, value);
  } catch (const Exception& e) {
    throw EAdoError(Format("Field '%s': %s", ShowName(def.name).c_str(), e.what()));
  }
  store.SetPresent(rec, col, true);
}

bool SetWideCellFromUtf8(const TFieldDef& def, RowStore& store, uint8_t* rec, int col,
                         std::string_view utf8) {
  if constexpr (std::endian::native != std::endian::little) return false;
  const CellPlan& plan = store.Layout().cells[size_t(col)];
  if (plan.adoType != adWChar && plan.adoType != adBSTR) return false;
  thread_local std::u16string wide;
  try {
    Utf8ToUtf16(utf8, wide);
    // What StoreValue does with the OleStr of the text (WideBytesOf views it where it lies).
    StoreBytes(def, plan, store, rec, col,
               {reinterpret_cast<const char*>(wide.data()), wide.size() * 2},
               std::string_view(" \0", 2));
  } catch (const Exception&) {
    return false;  // SetCellValue says why, in its words
  }
  store.SetPresent(rec, col, true);
  return true;
}

bool SetNumberCell(RowStore& store, uint8_t* rec, int col, int64_t value) {
  uint8_t* c = store.Cell(rec, col);
  switch (store.Layout().cells[size_t(col)].adoType) {
    case adSmallInt:
      if (value < INT16_MIN || value > INT16_MAX) return false;
      StoreLE<int16_t>(c, int16_t(value));
      break;
    case adInteger:
      if (value < INT32_MIN || value > INT32_MAX) return false;
      StoreLE<int32_t>(c, int32_t(value));
      break;
    case adBigInt:
      StoreLE<int64_t>(c, value);
      break;
    case adDouble:
      StoreLE<double>(c, double(value));
      break;
    default:
      return false;
  }
  store.SetPresent(rec, col, true);
  return true;
}

bool SetNumberCell(RowStore& store, uint8_t* rec, int col, double value) {
  if (store.Layout().cells[size_t(col)].adoType != adDouble) return false;
  StoreLE<double>(store.Cell(rec, col), value);
  store.SetPresent(rec, col, true);
  return true;
}

bool WideCellUtf8(const RowStore& store, const uint8_t* rec, int col, std::string& out) {
  const CellPlan& plan = store.Layout().cells[size_t(col)];
  if ((plan.adoType != adWChar && plan.adoType != adBSTR) || !store.Present(rec, col)) return false;
  std::string_view bytes = store.Var(rec, col);
  if (plan.form == CellForm::VarFixed) bytes = CutAtNul(bytes, true);
  if (bytes.size() % 2 != 0) throw EConvertError("UTF-16 text with an odd number of bytes");
  thread_local std::u16string units;  // the cell's bytes may not be aligned for char16_t
  units.resize(bytes.size() / 2);
  if constexpr (std::endian::native == std::endian::little) {
    if (!bytes.empty()) std::memcpy(units.data(), bytes.data(), bytes.size());
  } else {
    for (size_t i = 0; i < units.size(); ++i)
      units[i] = char16_t(uint8_t(bytes[2 * i]) | (uint16_t(uint8_t(bytes[2 * i + 1])) << 8));
  }
  out = Utf16ToUtf8(units);
  return true;
}

}  // namespace qorvin::ado
