#include "platform/rtl/Variant.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/NumberText.h"
#include "platform/rtl/Text.h"

namespace qorvin {

namespace {

[[noreturn]] void ThrowConvert(uint16_t from, const char* to) {
  throw EVariantError(Format("Could not convert variant of type (%s) into type (%s)",
                             VarTypeName(from).c_str(), to));
}

bool IsIntegerKind(uint16_t kind) {
  switch (kind) {
    case varSmallint:
    case varInteger:
    case varShortInt:
    case varByte:
    case varWord:
    case varLongWord:
    case varInt64:
    case varUInt64:
    case varError:
    case varBoolean:
      return true;
    default:
      return false;
  }
}

bool IsFloatKind(uint16_t kind) {
  return kind == varSingle || kind == varDouble || kind == varDate;
}

}  // namespace

Currency Currency::FromDouble(double value) {
  return Currency{int64_t(std::llround(value * 10000.0))};
}

// ---- Variant life cycle ----

Variant::Variant(const Variant& other) {
  CopyFrom(other);
}
Variant::Variant(Variant&& other) noexcept
    : type_(other.type_),
      num_(other.num_),
      wide_(std::move(other.wide_)),
      ansi_(std::move(other.ansi_)),
      bcd_(std::move(other.bcd_)),
      ts_(std::move(other.ts_)),
      dec_(std::move(other.dec_)),
      array_(std::move(other.array_)),
      ref_(other.ref_) {
  other.type_ = varEmpty;
  other.ref_ = nullptr;
}
Variant& Variant::operator=(const Variant& other) {
  if (this != &other) {
    Release();
    CopyFrom(other);
  }
  return *this;
}
Variant& Variant::operator=(Variant&& other) noexcept {
  if (this != &other) {
    type_ = other.type_;
    num_ = other.num_;
    wide_ = std::move(other.wide_);
    ansi_ = std::move(other.ansi_);
    bcd_ = std::move(other.bcd_);
    ts_ = std::move(other.ts_);
    dec_ = std::move(other.dec_);
    array_ = std::move(other.array_);
    ref_ = other.ref_;
    other.type_ = varEmpty;
    other.ref_ = nullptr;
  }
  return *this;
}
Variant::~Variant() = default;

void Variant::Release() {
  type_ = varEmpty;
  num_.i64 = 0;
  wide_.clear();
  ansi_.clear();
  bcd_.reset();
  ts_.reset();
  dec_.reset();
  array_.reset();
  ref_ = nullptr;
}

void Variant::CopyFrom(const Variant& other) {
  type_ = other.type_;
  num_ = other.num_;
  wide_ = other.wide_;
  ansi_ = other.ansi_;
  if (other.bcd_) bcd_ = std::make_unique<qorvin::Bcd>(*other.bcd_);
  if (other.ts_) ts_ = std::make_unique<qorvin::SQLTimeStamp>(*other.ts_);
  if (other.dec_) dec_ = std::make_unique<qorvin::Decimal>(*other.dec_);
  if (other.array_) array_ = std::make_unique<VarArray>(*other.array_);
  ref_ = other.ref_;
}

// ---- construction ----

#define QV_NUMERIC_CTOR(Name, Ctype, Code, Field) \
  Variant Variant::Name(Ctype v) {                \
    Variant r;                                    \
    r.type_ = Code;                               \
    r.num_.Field = v;                             \
    return r;                                     \
  }
QV_NUMERIC_CTOR(Smallint, int16_t, varSmallint, i64)
QV_NUMERIC_CTOR(Integer, int32_t, varInteger, i64)
QV_NUMERIC_CTOR(Single, float, varSingle, sgl)
QV_NUMERIC_CTOR(Double, double, varDouble, dbl)
QV_NUMERIC_CTOR(Date, double, varDate, dbl)
QV_NUMERIC_CTOR(Error, int32_t, varError, i64)
QV_NUMERIC_CTOR(ShortInt, int8_t, varShortInt, i64)
QV_NUMERIC_CTOR(Byte, uint8_t, varByte, i64)
QV_NUMERIC_CTOR(Word, uint16_t, varWord, i64)
QV_NUMERIC_CTOR(LongWord, uint32_t, varLongWord, i64)
QV_NUMERIC_CTOR(Int64, int64_t, varInt64, i64)
QV_NUMERIC_CTOR(UInt64, uint64_t, varUInt64, u64)
#undef QV_NUMERIC_CTOR

Variant Variant::Null() {
  Variant r;
  r.type_ = varNull;
  return r;
}
Variant Variant::Currency(qorvin::Currency v) {
  Variant r;
  r.type_ = varCurrency;
  r.num_.i64 = v.scaled;
  return r;
}
Variant Variant::Boolean(bool v) {
  Variant r;
  r.type_ = varBoolean;
  r.num_.i64 = v ? 1 : 0;
  return r;
}
Variant Variant::OleStr(std::u16string v) {
  Variant r;
  r.type_ = varOleStr;
  r.wide_ = std::move(v);
  return r;
}
Variant Variant::UString(std::u16string v) {
  Variant r;
  r.type_ = varUString;
  r.wide_ = std::move(v);
  return r;
}
Variant Variant::AnsiString(std::string v) {
  Variant r;
  r.type_ = varString;
  r.ansi_ = std::move(v);
  return r;
}
Variant Variant::FromBcd(const qorvin::Bcd& v) {
  Variant r;
  r.type_ = varBcd;
  r.bcd_ = std::make_unique<qorvin::Bcd>(v);
  return r;
}
Variant Variant::FromSQLTimeStamp(const qorvin::SQLTimeStamp& v) {
  Variant r;
  r.type_ = varSQLTimeStamp;
  r.ts_ = std::make_unique<qorvin::SQLTimeStamp>(v);
  return r;
}
Variant Variant::FromDecimal(const qorvin::Decimal& v) {
  Variant r;
  r.type_ = varDecimal;
  r.dec_ = std::make_unique<qorvin::Decimal>(v);
  return r;
}
Variant Variant::ByRef(uint16_t type, void* target) {
  if (target == nullptr) throw EVariantError("Invalid variant reference");
  Variant r;
  r.type_ = uint16_t((type & ~varByRef) | varByRef);
  r.ref_ = target;
  return r;
}
Variant Variant::FromArray(VarArray array) {
  Variant r;
  r.type_ = uint16_t(varArray | array.ElementType());
  r.array_ = std::make_unique<VarArray>(std::move(array));
  return r;
}

Variant Variant::Deref() const {
  if (!IsByRef()) return *this;
  const uint16_t kind = uint16_t(type_ & ~varByRef);
  if (kind & varArray) {
    const auto* a = static_cast<const VarArray*>(ref_);
    return FromArray(*a);
  }
  switch (kind) {
    case varSmallint:
      return Smallint(*static_cast<const int16_t*>(ref_));
    case varInteger:
      return Integer(*static_cast<const int32_t*>(ref_));
    case varSingle:
      return Single(*static_cast<const float*>(ref_));
    case varDouble:
      return Double(*static_cast<const double*>(ref_));
    case varCurrency:
      return Currency(qorvin::Currency{*static_cast<const int64_t*>(ref_)});
    case varDate:
      return Date(*static_cast<const double*>(ref_));
    case varOleStr:
      return OleStr(*static_cast<const std::u16string*>(ref_));
    case varUString:
      return UString(*static_cast<const std::u16string*>(ref_));
    case varError:
      return Error(*static_cast<const int32_t*>(ref_));
    case varBoolean:
      return Boolean(*static_cast<const int16_t*>(ref_) != 0);
    case varVariant:
      return static_cast<const Variant*>(ref_)->Deref();
    case varShortInt:
      return ShortInt(*static_cast<const int8_t*>(ref_));
    case varByte:
      return Byte(*static_cast<const uint8_t*>(ref_));
    case varWord:
      return Word(*static_cast<const uint16_t*>(ref_));
    case varLongWord:
      return LongWord(*static_cast<const uint32_t*>(ref_));
    case varInt64:
      return Int64(*static_cast<const int64_t*>(ref_));
    case varUInt64:
      return UInt64(*static_cast<const uint64_t*>(ref_));
    case varString:
      return AnsiString(*static_cast<const std::string*>(ref_));
    case varBcd:
      return FromBcd(*static_cast<const qorvin::Bcd*>(ref_));
    case varSQLTimeStamp:
      return FromSQLTimeStamp(*static_cast<const qorvin::SQLTimeStamp*>(ref_));
    case varDecimal:
      return FromDecimal(*static_cast<const qorvin::Decimal*>(ref_));
    default:
      throw EVariantError(Format("Invalid variant type (%d)", int(type_)));
  }
}

// ---- accessors ----

int64_t Variant::AsIntegerValue() const {
  if (!IsIntegerKind(type_)) ThrowConvert(type_, "Int64");
  return num_.i64;
}
double Variant::AsDoubleValue() const {
  if (type_ == varSingle) return num_.sgl;
  if (type_ == varDouble || type_ == varDate) return num_.dbl;
  ThrowConvert(type_, "Double");
}
qorvin::Currency Variant::AsCurrency() const {
  if (type_ != varCurrency) ThrowConvert(type_, "Currency");
  return qorvin::Currency{num_.i64};
}
bool Variant::AsBoolean() const {
  if (type_ != varBoolean) ThrowConvert(type_, "Boolean");
  return num_.i64 != 0;
}
const std::u16string& Variant::AsWide() const {
  if (type_ != varOleStr && type_ != varUString) ThrowConvert(type_, "OleStr");
  return wide_;
}
const std::string& Variant::AsAnsi() const {
  if (type_ != varString) ThrowConvert(type_, "String");
  return ansi_;
}
const qorvin::Bcd& Variant::AsBcd() const {
  if (type_ != varBcd) ThrowConvert(type_, "FMTBcd");
  return *bcd_;
}
const qorvin::SQLTimeStamp& Variant::AsSQLTimeStamp() const {
  if (type_ != varSQLTimeStamp) ThrowConvert(type_, "SQLTimeStamp");
  return *ts_;
}
const qorvin::Decimal& Variant::AsDecimal() const {
  if (type_ != varDecimal) ThrowConvert(type_, "Decimal");
  return *dec_;
}
const VarArray& Variant::AsArray() const {
  if (!array_) ThrowConvert(type_, "Array");
  return *array_;
}
VarArray& Variant::AsArray() {
  if (!array_) ThrowConvert(type_, "Array");
  return *array_;
}

// ---- conversions ----

int64_t Variant::ToInt64() const {
  if (IsByRef()) return Deref().ToInt64();
  if (IsIntegerKind(type_)) return type_ == varUInt64 ? int64_t(num_.u64) : num_.i64;
  switch (type_) {
    case varEmpty:
      return 0;
    case varSingle:
    case varDouble:
    case varDate: {
      const double d = AsDoubleValue();
      if (!std::isfinite(d) || d >= 9.2233720368547758e18 || d < -9.2233720368547758e18)
        ThrowConvert(type_, "Int64");
      return int64_t(std::nearbyint(d));
    }
    case varCurrency:
      return int64_t(std::llround(double(num_.i64) / 10000.0));
    case varOleStr:
    case varUString:
    case varString: {
      const std::string text = ToUtf8();
      char* end = nullptr;
      errno = 0;
      const long long v = std::strtoll(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || errno != 0) ThrowConvert(type_, "Int64");
      return v;
    }
    default:
      ThrowConvert(type_, "Int64");
  }
}

double Variant::ToDouble() const {
  if (IsByRef()) return Deref().ToDouble();
  if (IsFloatKind(type_)) return AsDoubleValue();
  if (IsIntegerKind(type_)) return type_ == varUInt64 ? double(num_.u64) : double(num_.i64);
  switch (type_) {
    case varEmpty:
      return 0.0;
    case varCurrency:
      return double(num_.i64) / 10000.0;
    case varBcd:
    case varDecimal: {
      // Exact decimal text, read in the C locale: correctly rounded, never out of range.
      double v = 0;
      ParseDoubleText(type_ == varBcd ? bcd_->ToString() : dec_->ToString(), v);
      return v;
    }
    case varOleStr:
    case varUString:
    case varString: {
      double v = 0;
      const DoubleParse parsed = ParseDoubleText(ToUtf8(), v);
      if (parsed == DoubleParse::kInvalid) ThrowConvert(type_, "Double");
      return v;
    }
    default:
      ThrowConvert(type_, "Double");
  }
}

std::string Variant::ToUtf8() const {
  if (IsByRef()) return Deref().ToUtf8();
  switch (type_) {
    case varEmpty:
      return {};
    case varOleStr:
    case varUString:
      return Utf16ToUtf8(wide_);
    case varString:
      return AnsiToUtf8(ansi_);
    case varBoolean:
      return num_.i64 ? "True" : "False";
    case varBcd:
      return bcd_->ToString();
    case varDecimal:
      return dec_->ToString();
    case varCurrency: {
      // The magnitude as unsigned: negating INT64_MIN as a signed value would overflow.
      const uint64_t magnitude = num_.i64 < 0 ? 0 - uint64_t(num_.i64) : uint64_t(num_.i64);
      std::string s = std::to_string(magnitude);
      while (s.size() < 5) s.insert(s.begin(), '0');
      s.insert(s.end() - 4, '.');
      while (s.back() == '0') s.pop_back();
      if (s.back() == '.') s.pop_back();
      return (num_.i64 < 0 ? "-" : "") + s;
    }
    case varSingle:
      return SingleText(num_.sgl);
    case varDouble:
    case varDate:
      return DoubleText(AsDoubleValue());
    default:
      if (IsIntegerKind(type_))
        return type_ == varUInt64 ? std::to_string(num_.u64) : std::to_string(num_.i64);
      ThrowConvert(type_, "String");
  }
}

std::u16string Variant::ToWide() const {
  if (type_ == varOleStr || type_ == varUString) return wide_;
  return Utf8ToUtf16(ToUtf8());
}

bool Variant::operator==(const Variant& other) const {
  if (type_ != other.type_) return false;
  if (IsByRef()) return ref_ == other.ref_;
  if (IsArray()) return *array_ == *other.array_;
  switch (type_) {
    case varEmpty:
    case varNull:
      return true;
    case varOleStr:
    case varUString:
      return wide_ == other.wide_;
    case varString:
      return ansi_ == other.ansi_;
    case varBcd:
      return *bcd_ == *other.bcd_;
    case varSQLTimeStamp:
      return *ts_ == *other.ts_;
    case varDecimal:
      return *dec_ == *other.dec_;
    case varSingle:
      return num_.sgl == other.num_.sgl;
    case varDouble:
    case varDate:
      return num_.dbl == other.num_.dbl;
    default:
      return num_.i64 == other.num_.i64;
  }
}

std::string VarTypeName(uint16_t type) {
  std::string prefix;
  if (type & varArray) prefix += "Array ";
  if (type & varByRef) prefix += "ByRef ";
  const char* name = nullptr;
  switch (type & varTypeMask) {
    case varEmpty:
      name = "Empty";
      break;
    case varNull:
      name = "Null";
      break;
    case varSmallint:
      name = "Smallint";
      break;
    case varInteger:
      name = "Integer";
      break;
    case varSingle:
      name = "Single";
      break;
    case varDouble:
      name = "Double";
      break;
    case varCurrency:
      name = "Currency";
      break;
    case varDate:
      name = "Date";
      break;
    case varOleStr:
      name = "OleStr";
      break;
    case varDispatch:
      name = "Dispatch";
      break;
    case varError:
      name = "Error";
      break;
    case varBoolean:
      name = "Boolean";
      break;
    case varVariant:
      name = "Variant";
      break;
    case varUnknown:
      name = "Unknown";
      break;
    case varDecimal:
      name = "Decimal";
      break;
    case varShortInt:
      name = "ShortInt";
      break;
    case varByte:
      name = "Byte";
      break;
    case varWord:
      name = "Word";
      break;
    case varLongWord:
      name = "LongWord";
      break;
    case varInt64:
      name = "Int64";
      break;
    case varUInt64:
      name = "UInt64";
      break;
    case varString:
      name = "String";
      break;
    case varUString:
      name = "UnicodeString";
      break;
    case varBcd:
      name = "FMTBcd";
      break;
    case varSQLTimeStamp:
      name = "SQLTimeStamp";
      break;
    default:
      return prefix + Format("%d", int(type & varTypeMask));
  }
  return prefix + name;
}

}  // namespace qorvin
