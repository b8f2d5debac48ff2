#include "platform/ado/AdoVariantCell.h"

#include <algorithm>
#include <cstring>

#include "platform/ado/AdoBytes.h"
#include "platform/ado/AdoNumeric.h"
#include "platform/ado/AdoTypes.h"

namespace qorvin::ado {

namespace {

constexpr uint16_t kVtInt = 22, kVtUInt = 23;

Decimal DecimalFromCell(const uint8_t* c) {
  Decimal d;
  d.scale = c[2];
  d.sign = c[3];
  d.hi32 = LoadLE<uint32_t>(c + 4);
  d.lo64 = uint64_t(LoadLE<uint32_t>(c + 8)) | uint64_t(LoadLE<uint32_t>(c + 12)) << 32;
  return d;
}

void DecimalToCell(const Decimal& d, uint8_t* c) {
  c[2] = d.scale;
  c[3] = d.sign;
  StoreLE<uint32_t>(c + 4, d.hi32);
  StoreLE<uint32_t>(c + 8, uint32_t(d.lo64));
  StoreLE<uint32_t>(c + 12, uint32_t(d.lo64 >> 32));
}

// A BCD value as a DECIMAL: at most 28 places (rounded) and a 96-bit magnitude.
Decimal DecimalOfBcd(const Variant& value) {
  const DecNumber exact = DecimalOfVariant(value);
  const DecNumber n = Rescale(exact, std::min(exact.places, 28));
  uint8_t magnitude[12];
  if (!DigitsToMagnitude(n.digits, magnitude, sizeof magnitude))
    throw EAdoError("The BCD value is too large for a variant field");
  Decimal d;
  d.scale = uint8_t(n.places);
  d.sign = n.negative ? 0x80 : 0;
  d.lo64 = LoadLE<uint64_t>(magnitude);
  d.hi32 = LoadLE<uint32_t>(magnitude + 8);
  return d;
}

}  // namespace

Variant DecodeVariantCell(const uint8_t cell[16]) {
  const uint8_t* v = cell + 8;
  const uint16_t tag = LoadLE<uint16_t>(cell);
  switch (tag) {
    case varEmpty:
      return Variant();
    case varNull:
      return Variant::Null();
    case varSmallint:
      return Variant::Smallint(LoadLE<int16_t>(v));
    case varInteger:
    case kVtInt:
      return Variant::Integer(LoadLE<int32_t>(v));
    case varSingle:
      return Variant::Single(LoadLE<float>(v));
    case varDouble:
      return Variant::Double(LoadLE<double>(v));
    case varCurrency:
      return Variant::Currency(Currency{LoadLE<int64_t>(v)});
    case varDate:
      return Variant::Date(LoadLE<double>(v));
    case varError:
      return Variant::Error(LoadLE<int32_t>(v));
    case varBoolean:
      return Variant::Boolean(LoadLE<int16_t>(v) != 0);
    case varDecimal:
      return Variant::FromDecimal(DecimalFromCell(cell));
    case varShortInt:
      return Variant::ShortInt(LoadLE<int8_t>(v));
    case varByte:
      return Variant::Byte(v[0]);
    case varWord:
      return Variant::Word(LoadLE<uint16_t>(v));
    case varLongWord:
    case kVtUInt:
      return Variant::LongWord(LoadLE<uint32_t>(v));
    case varInt64:
      return Variant::Int64(LoadLE<int64_t>(v));
    case varUInt64:
      return Variant::UInt64(LoadLE<uint64_t>(v));
    default:
      throw EAdoError(Format("A variant cell of type %u cannot be read", unsigned(tag)));
  }
}

void EncodeVariantCell(const Variant& input, uint8_t cell[16]) {
  const Variant value = input.IsByRef() ? input.Deref() : input;
  std::memset(cell, 0, 16);
  uint8_t* v = cell + 8;
  const uint16_t kind = value.Kind();
  if (value.IsArray()) throw EAdoError("A variant field cannot hold an array");
  switch (kind) {
    case varEmpty:
      return;
    case varSmallint:
      StoreLE<int16_t>(v, int16_t(value.AsIntegerValue()));
      break;
    case varInteger:
    case varError:
      StoreLE<int32_t>(v, int32_t(value.AsIntegerValue()));
      break;
    case varSingle:
      StoreLE<float>(v, float(value.AsDoubleValue()));
      break;
    case varDouble:
    case varDate:
      StoreLE<double>(v, value.AsDoubleValue());
      break;
    case varCurrency:
      StoreLE<int64_t>(v, value.AsCurrency().scaled);
      break;
    case varBoolean:
      StoreLE<int16_t>(v, value.AsBoolean() ? -1 : 0);
      break;
    case varShortInt:
    case varByte:
      v[0] = uint8_t(value.AsIntegerValue());
      break;
    case varWord:
      StoreLE<uint16_t>(v, uint16_t(value.AsIntegerValue()));
      break;
    case varLongWord:
      StoreLE<uint32_t>(v, uint32_t(value.AsIntegerValue()));
      break;
    case varInt64:
    case varUInt64:
      StoreLE<int64_t>(v, value.AsIntegerValue());
      break;
    case varDecimal:
      DecimalToCell(value.AsDecimal(), cell);
      break;
    case varBcd:
      DecimalToCell(DecimalOfBcd(value), cell);
      break;
    default:
      throw EAdoError(Format("A variant field cannot hold a value of type %s",
                             VarTypeName(value.Type()).c_str()));
  }
  StoreLE<uint16_t>(cell, kind == varBcd ? uint16_t(varDecimal) : kind);
}

}  // namespace qorvin::ado
