#include "client/ClientAdoDataSet.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <set>

#include "client/HostValues.h"
#include "client/LastErrorText.h"
#include "platform/ado/AdoDates.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/NumberText.h"
#include "platform/rtl/Text.h"

namespace qorvin {

namespace {

unsigned DaysInMonth(unsigned year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

bool IsDateType(TFieldType t) {
  return t == ftDate || t == ftTime || t == ftDateTime || t == ftTimeStamp;
}

// `digits` decimal digits of `v`, zero-padded, written at `at`.
char* PutDigits(char* at, unsigned v, int digits) {
  for (int i = digits - 1; i >= 0; --i, v /= 10) at[i] = char('0' + v % 10);
  return at + digits;
}

std::string DateText(double date, TFieldType type) {
  const ado::DateTimeParts p = ado::PartsFromOleDate(date);
  char buf[64];
  const unsigned millis = p.nanos / 1000000;
  // "YYYY-MM-DD", "HH:MM:SS" or both, then ".fff" when there are milliseconds. Written digit by
  // digit for the years 0 to 9999 (a host reading a large result asks once per cell); other
  // years as printf writes them.
  char* at = buf;
  if (type != ftTime) {
    if (p.year < 0 || p.year > 9999) {
      at += std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", int(p.year), p.month, p.day);
    } else {
      at = PutDigits(at, unsigned(p.year), 4);
      *at++ = '-';
      at = PutDigits(at, p.month, 2);
      *at++ = '-';
      at = PutDigits(at, p.day, 2);
    }
    if (type != ftDate) *at++ = ' ';
  }
  if (type != ftDate) {
    at = PutDigits(at, p.hour, 2);
    *at++ = ':';
    at = PutDigits(at, p.minute, 2);
    *at++ = ':';
    at = PutDigits(at, p.second, 2);
    if (millis != 0) {
      *at++ = '.';
      at = PutDigits(at, millis, 3);
    }
  }
  return std::string(buf, size_t(at - buf));
}

// The fraction of a second after "HH:MM:SS": nothing, or '.' and 1 to 9 digits, as
// nanoseconds (".5" is half a second). False for anything else after the seconds.
bool ParseFraction(const char* rest, uint32_t& nanos) {
  nanos = 0;
  if (*rest == '\0') return true;
  if (*rest++ != '.') return false;
  int digits = 0;
  for (; *rest >= '0' && *rest <= '9'; ++rest, ++digits) {
    if (digits == 9) return false;
    nanos = nanos * 10 + uint32_t(*rest - '0');
  }
  if (digits == 0 || *rest != '\0') return false;
  for (int d = digits; d < 9; ++d) nanos *= 10;
  return true;
}

// A date-time read from text, and whether the text gave it a time of day and a fraction of a
// second (as written, before any rounding).
struct ParsedDate {
  double date = 0;
  bool timeOfDay = false, fraction = false;
};

// "YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS[.fff]", "HH:MM:SS[.fff]", or a plain day number (C locale).
ParsedDate ParseDate(const std::string& text) {
  ado::DateTimeParts p;
  unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  uint32_t nanos = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "%4u-%2u-%2u%n", &y, &mo, &d, &used) == 3) {
    p.year = int32_t(y), p.month = mo, p.day = d;
    const char* rest = text.c_str() + used;
    if (*rest == ' ' || *rest == 'T') {
      int used2 = 0;
      if (std::sscanf(rest + 1, "%2u:%2u:%2u%n", &h, &mi, &s, &used2) != 3 ||
          !ParseFraction(rest + 1 + used2, nanos))
        throw EConvertError(Format("'%s' is not a valid date and time", text.c_str()));
    } else if (*rest != '\0') {
      throw EConvertError(Format("'%s' is not a valid date and time", text.c_str()));
    }
    // A day the calendar does not have (2023-02-29, 2024-04-31) is refused, not carried over.
    if (mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo) || h > 23 || mi > 59 || s > 59)
      throw EConvertError(Format("'%s' is not a valid date and time", text.c_str()));
  } else if (std::sscanf(text.c_str(), "%2u:%2u:%2u%n", &h, &mi, &s, &used) == 3) {
    if (h > 23 || mi > 59 || s > 59 || !ParseFraction(text.c_str() + used, nanos))
      throw EConvertError(Format("'%s' is not a valid time", text.c_str()));
  } else {
    double v = 0;
    if (ParseDoubleText(text, v) != DoubleParse::kOk || !std::isfinite(v))
      throw EConvertError(Format("'%s' is not a valid date and time", text.c_str()));
    const ado::DateTimeParts day = ado::PartsFromOleDate(v);
    return {v, day.hour != 0 || day.minute != 0 || day.second != 0 || day.nanos != 0,
            day.nanos != 0};
  }
  p.hour = h, p.minute = mi, p.second = s, p.nanos = nanos;
  return {ado::OleDateFromParts(p), h != 0 || mi != 0 || s != 0 || nanos != 0, nanos != 0};
}

// `date` when a field of `type` holds all of it: a date field (DBDATE) holds no time of day, a
// time field (DBTIME) whole seconds only; EConvertError instead of dropping the rest.
double FitsDateField(const ParsedDate& parsed, const std::string& text, TFieldType type) {
  if (type == ftDate && parsed.timeOfDay)
    throw EConvertError(
        Format("'%s' has a time of day, which a date field does not hold", text.c_str()));
  if (type == ftTime && parsed.fraction)
    throw EConvertError(
        Format("'%s' has a fraction of a second, which a time field does not hold", text.c_str()));
  return parsed.date;
}

// An integer in [low, high]; EConvertError names the range of `type` when it lies outside.
int64_t ParseInteger(const std::string& text, int64_t low, int64_t high, TFieldType type) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0')
    throw EConvertError(Format("'%s' is not a valid integer value", text.c_str()));
  if (errno == ERANGE || v < low || v > high) {
    throw EConvertError(Format("%s is out of range for a field of type %s (%lld to %lld)",
                               text.c_str(), FieldTypeName(type), (long long)low, (long long)high));
  }
  return v;
}

// A finite floating point value in the C locale; infinities, NaN and numbers beyond the double
// range are refused (a number nearer zero than the smallest double reads as zero).
double ParseFloat(const std::string& text) {
  double v = 0;
  const DoubleParse parsed = ParseDoubleText(text, v);
  if (parsed == DoubleParse::kInvalid)
    throw EConvertError(Format("'%s' is not a valid floating point value", text.c_str()));
  if (parsed == DoubleParse::kOverflow || !std::isfinite(v))
    throw EConvertError(Format("%s is out of range for a floating point field", text.c_str()));
  return v;
}

// A currency amount: four decimal places in a 64-bit integer, read as exact decimal text (never
// through a double, which holds only 15 to 17 digits); a fifth place and beyond rounds half away
// from zero.
Currency ParseCurrency(const std::string& text) {
  int64_t scaled = 0;
  const ScaledParse parsed = ParseScaledDecimal(text, 4, scaled);
  if (parsed == ScaledParse::kInvalid)
    throw EConvertError(Format("'%s' is not a valid currency value", text.c_str()));
  if (parsed == ScaledParse::kOutOfRange)
    throw EConvertError(Format("%s is out of range for a currency field", text.c_str()));
  return Currency{scaled};
}

std::string HexBytes(const Variant& value) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  if (!value.IsArray()) return value.ToUtf8();
  for (uint8_t b : value.AsArray().RawData()) out += kHex[b >> 4], out += kHex[b & 15];
  return out;
}

// Binary text as GetValueText writes it: two hexadecimal digits per byte, either case.
Variant ParseHexBytes(const std::string& text) {
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    const int high = digit(text[i]), low = digit(text[i + 1]);
    if (high < 0 || low < 0) break;
    bytes += char(high * 16 + low);
  }
  if (text.size() % 2 != 0 || bytes.size() * 2 != text.size())
    throw EConvertError(
        Format("'%.40s' is not binary text (two hexadecimal digits a byte)", text.c_str()));
  return Variant::FromArray(VarArray::Bytes(bytes.data(), bytes.size()));
}

bool IsBinaryType(TFieldType t) {
  return t == ftBytes || t == ftVarBytes || t == ftBlob || t == ftGraphic || t == ftTypedBinary ||
         t == ftOraBlob;
}

}  // namespace

std::string ValueToHostText(const Variant& value, TFieldType type) {
  if (value.IsNull() || value.IsEmpty()) return {};
  if (IsDateType(type) && (value.Kind() == varDate || value.Kind() == varDouble))
    return DateText(value.AsDoubleValue(), type);
  if (value.IsArray()) return HexBytes(value);
  if (value.Kind() == varString) return value.AsAnsi();
  // ToUtf8 gives valid UTF-8 (or fails), which a UTF-8 code set takes as it is.
  std::string text = value.ToUtf8();
  return AnsiCodeSetIsUtf8() ? text : Utf8ToAnsi(text);
}

Variant HostTextToValue(const std::string& text, TFieldType type) {
  if (IsBinaryType(type)) return ParseHexBytes(text);
  switch (type) {
    case ftSmallint:
      return Variant::Smallint(int16_t(ParseInteger(text, INT16_MIN, INT16_MAX, type)));
    case ftInteger:
    case ftAutoInc:
      return Variant::Integer(int32_t(ParseInteger(text, INT32_MIN, INT32_MAX, type)));
    case ftWord:
      return Variant::Word(uint16_t(ParseInteger(text, 0, UINT16_MAX, type)));
    case ftLargeint:
      return Variant::Int64(ParseInteger(text, INT64_MIN, INT64_MAX, type));
    case ftFloat:
      return Variant::Double(ParseFloat(text));
    case ftCurrency:
      return Variant::Currency(ParseCurrency(text));
    case ftBCD:
    case ftFMTBcd:
      return Variant::FromBcd(Bcd::FromString(text));
    case ftBoolean:
      if (text == "1" || text == "True" || text == "true") return Variant::Boolean(true);
      if (text == "0" || text == "False" || text == "false") return Variant::Boolean(false);
      throw EConvertError(Format("'%s' is not a valid boolean value", text.c_str()));
    case ftDate:
    case ftTime:
    case ftDateTime:
    case ftTimeStamp:
      return Variant::Date(FitsDateField(ParseDate(text), text, type));
    case ftString:
    case ftFixedChar:
    case ftMemo:
      return Variant::AnsiString(text);
    default:
      return Variant::OleStr(AnsiToUtf16(text));
  }
}

namespace {
std::mutex g_live_mutex;
// Every ClientAdoDataSet in existence, as QorvinAdoDataSet*. Never destroyed, so that record
// sets freed during process exit still find it.
std::set<const void*>& g_live = *new std::set<const void*>;
}  // namespace

ClientAdoDataSet::ClientAdoDataSet(std::unique_ptr<TAdoDataSet> dataSet,
                                   std::shared_ptr<LastErrorText> errors)
    : dataSet_(std::move(dataSet)), errors_(std::move(errors)) {
  std::lock_guard<std::mutex> lock(g_live_mutex);
  g_live.insert(static_cast<const QorvinAdoDataSet*>(this));
}

ClientAdoDataSet::~ClientAdoDataSet() {
  std::lock_guard<std::mutex> lock(g_live_mutex);
  g_live.erase(static_cast<const QorvinAdoDataSet*>(this));
}

ClientAdoDataSet* ClientAdoDataSet::FromHost(QorvinAdoDataSet* host) {
  std::lock_guard<std::mutex> lock(g_live_mutex);
  if (host == nullptr || g_live.count(host) == 0) return nullptr;
  return static_cast<ClientAdoDataSet*>(host);
}

size_t ClientAdoDataSet::LiveCount() {
  std::lock_guard<std::mutex> lock(g_live_mutex);
  return g_live.size();
}

void ClientAdoDataSet::Release() {
  delete this;
}

bool ClientAdoDataSet::Refuse(const std::string& reason) {
  try {
    if (errors_) errors_->Set(reason);
  } catch (...) {
  }
  return false;
}

bool ClientAdoDataSet::ValidField(int32_t index) const {
  return index >= 0 && index < dataSet_->FieldCount();
}

bool ClientAdoDataSet::Active() {
  return dataSet_->Active();
}
int32_t ClientAdoDataSet::FieldCount() {
  return dataSet_->FieldCount();
}

bool ClientAdoDataSet::FieldName(int32_t index, QorvinText* name) {
  if (!ValidField(index)) return false;
  try {
    StoreText(name, Utf16ToAnsi(dataSet_->FieldDefs()[index].name));
    return true;
  } catch (...) {
    return false;
  }
}

int32_t ClientAdoDataSet::FieldType(int32_t index) {
  return ValidField(index) ? int32_t(dataSet_->FieldDefs()[index].dataType) : -1;
}

int32_t ClientAdoDataSet::FieldSize(int32_t index) {
  return ValidField(index) ? int32_t(dataSet_->FieldDefs()[index].Size()) : -1;
}

int32_t ClientAdoDataSet::RecordCount() {
  return dataSet_->Active() ? int32_t(dataSet_->RecordCount()) : 0;
}

void ClientAdoDataSet::First() {
  try {
    if (dataSet_->Active()) dataSet_->First();
  } catch (...) {
  }
}

void ClientAdoDataSet::Next() {
  try {
    if (dataSet_->Active()) dataSet_->Next();
  } catch (...) {
  }
}

bool ClientAdoDataSet::Eof() {
  return !dataSet_->Active() || dataSet_->Eof();
}

bool ClientAdoDataSet::GetValueText(int32_t index, QorvinText* value, bool* isNull) {
  if (!ValidField(index) || !dataSet_->Active()) return false;
  try {
    // Wide text, most of what hosts read, in a UTF-8 code set: without a Variant.
    std::string text;
    if (AnsiCodeSetIsUtf8() && dataSet_->FieldWideUtf8(index, text)) {
      if (isNull) *isNull = false;
      StoreText(value, text);
      return true;
    }
    const Variant v = dataSet_->FieldValue(index);
    if (isNull) *isNull = v.IsNull() || v.IsEmpty();
    StoreText(value, ValueToHostText(v, dataSet_->FieldDefs()[index].dataType));
    return true;
  } catch (...) {
    return false;
  }
}

bool ClientAdoDataSet::AddField(const char* name, int32_t fieldType, int32_t size) {
  if (dataSet_->Active()) return Refuse("Fields cannot be added to an open record set");
  if (name == nullptr || fieldType <= ftUnknown || fieldType > ftFMTBcd || size < 0)
    return Refuse(Format("Invalid field definition (type %d, size %d)", int(fieldType), int(size)));
  try {
    dataSet_->MutableFieldDefs().Add(AnsiToUtf16(name), TFieldType(fieldType), uint32_t(size));
    return true;
  } catch (const std::exception& e) {
    return Refuse(e);
  } catch (...) {
    return Refuse("The field could not be added");
  }
}

bool ClientAdoDataSet::Open() {
  try {
    if (!dataSet_->Active()) {
      dataSet_->SetLockType(ltBatchOptimistic);
      dataSet_->Open();
    }
    return true;
  } catch (const std::exception& e) {
    return Refuse(e);
  } catch (...) {
    return Refuse("The record set could not be opened");
  }
}

void ClientAdoDataSet::Close() {
  try {
    dataSet_->Close();
  } catch (...) {
  }
}

bool ClientAdoDataSet::Append() {
  try {
    dataSet_->Append();
    return true;
  } catch (const std::exception& e) {
    return Refuse(e);
  } catch (...) {
    return Refuse("A row could not be appended");
  }
}

bool ClientAdoDataSet::SetValueText(int32_t index, const char* value) {
  if (!ValidField(index)) return Refuse(Format("There is no field at index %d", int(index)));
  try {
    dataSet_->SetFieldValue(index,
                            HostTextToValue(InText(value), dataSet_->FieldDefs()[index].dataType));
    return true;
  } catch (const std::exception& e) {
    return Refuse(e);
  } catch (...) {
    return Refuse("The value could not be set");
  }
}

bool ClientAdoDataSet::SetNull(int32_t index) {
  if (!ValidField(index)) return Refuse(Format("There is no field at index %d", int(index)));
  try {
    dataSet_->SetFieldValue(index, Variant::Null());
    return true;
  } catch (const std::exception& e) {
    return Refuse(e);
  } catch (...) {
    return Refuse("The value could not be set");
  }
}

bool ClientAdoDataSet::Post() {
  try {
    dataSet_->Post();
    return true;
  } catch (const std::exception& e) {
    return Refuse(e);
  } catch (...) {
    return Refuse("The row could not be posted");
  }
}

}  // namespace qorvin
