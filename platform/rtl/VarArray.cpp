#include <cstring>
#include <utility>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Text.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

size_t VarArray::FixedElementSize(uint16_t elementType) {
  switch (elementType) {
    case varShortInt:
    case varByte:
      return 1;
    case varSmallint:
    case varWord:
    case varBoolean:
      return 2;
    case varInteger:
    case varLongWord:
    case varSingle:
    case varError:
      return 4;
    case varDouble:
    case varCurrency:
    case varDate:
    case varInt64:
    case varUInt64:
      return 8;
    default:
      return 0;
  }
}

VarArray::VarArray(uint16_t elementType, std::vector<VarBound> bounds)
    : element_type_(elementType), bounds_(std::move(bounds)) {
  switch (elementType) {
    case varEmpty:
    case varNull:
    case varDispatch:
    case varUnknown:
      throw EVariantError(Format("Invalid variant array element type (%d)", int(elementType)));
    default:
      break;
  }
  if (elementType & (varArray | varByRef) || (elementType & varTypeMask) != elementType)
    throw EVariantError(Format("Invalid variant array element type (%d)", int(elementType)));
  if (bounds_.empty()) throw EVariantError("Variant array needs at least one dimension");
  count_ = 1;
  for (const VarBound& b : bounds_) {
    if (b.Count() < 0) throw EVariantError("Invalid variant array bounds");
    count_ *= b.Count();
    if (count_ > (int64_t(1) << 40)) throw EVariantError("Variant array too large");
  }
  const size_t fixed = FixedElementSize(elementType);
  if (fixed != 0) {
    raw_.assign(size_t(count_) * fixed, 0);
  } else {
    items_.resize(size_t(count_));
  }
}

VarArray VarArray::Bytes(const void* data, size_t size) {
  VarArray a(varByte, {VarBound{0, int32_t(size) - 1}});
  if (size) std::memcpy(a.raw_.data(), data, size);
  return a;
}

VarArray VarArray::FromFlat(uint16_t elementType, std::vector<VarBound> bounds,
                            std::vector<Variant> elements) {
  VarArray a(elementType, {VarBound{0, -1}});  // checks the kind; no storage yet
  int64_t count = 1;
  for (const VarBound& b : bounds) {
    if (b.Count() < 0) throw EVariantError("Invalid variant array bounds");
    count *= b.Count();
    if (count > (int64_t(1) << 40)) throw EVariantError("Variant array too large");
  }
  if (bounds.empty()) throw EVariantError("Variant array needs at least one dimension");
  if (count != int64_t(elements.size()))
    throw EVariantError(Format("Variant array of %lld elements given %zu",
                               static_cast<long long>(count), elements.size()));
  a.bounds_ = std::move(bounds);
  a.count_ = count;
  const size_t fixed = a.ElementSize();
  if (fixed != 0) {
    a.raw_.assign(size_t(count) * fixed, 0);
    for (int64_t i = 0; i < count; ++i) a.PutFlat(i, elements[size_t(i)]);
    return a;
  }
  a.items_ = std::move(elements);
  for (Variant& item : a.items_) {
    if (item.IsByRef() || (elementType != varVariant && item.Type() != elementType)) {
      Variant converted;
      std::swap(converted, item);
      a.PutFlat(&item - a.items_.data(), converted);
    }
  }
  return a;
}

int64_t VarArray::FlatIndex(const std::vector<int32_t>& index) const {
  if (index.size() != bounds_.size()) throw ERangeError("Variant array index out of bounds");
  int64_t flat = 0;
  int64_t stride = 1;
  // The first dimension varies fastest in storage.
  for (size_t d = 0; d < bounds_.size(); ++d) {
    const VarBound& b = bounds_[d];
    if (index[d] < b.low || index[d] > b.high)
      throw ERangeError("Variant array index out of bounds");
    flat += (int64_t(index[d]) - b.low) * stride;
    stride *= b.Count();
  }
  return flat;
}

Variant VarArray::Get(const std::vector<int32_t>& index) const {
  return GetFlat(FlatIndex(index));
}
void VarArray::Put(const std::vector<int32_t>& index, const Variant& value) {
  PutFlat(FlatIndex(index), value);
}

Variant VarArray::GetFlat(int64_t position) const {
  if (position < 0 || position >= count_) throw ERangeError("Variant array index out of bounds");
  const size_t size = ElementSize();
  if (size == 0) return items_[size_t(position)];
  const uint8_t* p = raw_.data() + size_t(position) * size;
  uint64_t v = 0;
  for (size_t i = 0; i < size; ++i) v |= uint64_t(p[i]) << (8 * i);
  switch (element_type_) {
    case varShortInt:
      return Variant::ShortInt(int8_t(v));
    case varByte:
      return Variant::Byte(uint8_t(v));
    case varSmallint:
      return Variant::Smallint(int16_t(v));
    case varWord:
      return Variant::Word(uint16_t(v));
    case varBoolean:
      return Variant::Boolean(uint16_t(v) != 0);
    case varInteger:
      return Variant::Integer(int32_t(v));
    case varLongWord:
      return Variant::LongWord(uint32_t(v));
    case varError:
      return Variant::Error(int32_t(v));
    case varSingle: {
      float f;
      uint32_t u = uint32_t(v);
      std::memcpy(&f, &u, 4);
      return Variant::Single(f);
    }
    case varDouble:
    case varDate: {
      double d;
      std::memcpy(&d, &v, 8);
      return element_type_ == varDate ? Variant::Date(d) : Variant::Double(d);
    }
    case varCurrency:
      return Variant::Currency(Currency{int64_t(v)});
    case varInt64:
      return Variant::Int64(int64_t(v));
    default:
      return Variant::UInt64(v);
  }
}

void VarArray::PutFlat(int64_t position, const Variant& value) {
  if (position < 0 || position >= count_) throw ERangeError("Variant array index out of bounds");
  const size_t size = ElementSize();
  if (size == 0) {
    // Elements of a typed array take the array's kind; a variant array keeps any kind.
    Variant v = value.Deref();
    if (element_type_ == varOleStr || element_type_ == varUString) {
      v = element_type_ == varOleStr ? Variant::OleStr(v.ToWide()) : Variant::UString(v.ToWide());
    } else if (element_type_ == varString && v.Type() != varString) {
      v = Variant::AnsiString(Utf8ToAnsi(v.ToUtf8()));
    }
    items_[size_t(position)] = std::move(v);
    return;
  }
  const Variant v = value.Deref();
  uint64_t bits = 0;
  switch (element_type_) {
    case varSingle: {
      const float f = float(v.ToDouble());
      uint32_t u;
      std::memcpy(&u, &f, 4);
      bits = u;
      break;
    }
    case varDouble:
    case varDate: {
      const double d = v.ToDouble();
      std::memcpy(&bits, &d, 8);
      break;
    }
    case varCurrency:
      bits = uint64_t(v.Type() == varCurrency ? v.AsCurrency().scaled
                                              : Currency::FromDouble(v.ToDouble()).scaled);
      break;
    case varBoolean:
      bits = v.ToInt64() != 0 ? 0xFFFF : 0;
      break;
    default:
      bits = uint64_t(v.ToInt64());
      break;
  }
  uint8_t* p = raw_.data() + size_t(position) * size;
  for (size_t i = 0; i < size; ++i) p[i] = uint8_t(bits >> (8 * i));
}

}  // namespace qorvin
