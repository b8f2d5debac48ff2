// Writes data packets; the layout is tabled in DataPacket.h.
#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "platform/dataset/DataPacket.h"
#include "platform/dataset/FieldValue.h"
#include "platform/rtl/Text.h"

namespace qorvin {

namespace {

// Appends to a byte vector it borrows.
class PacketBuffer {
 public:
  explicit PacketBuffer(std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  std::vector<uint8_t>& Bytes() { return bytes_; }

  // Room for `n` more bytes at the end; the pointer is valid until the next call.
  uint8_t* Extend(size_t n) {
    const size_t at = bytes_.size();
    if (bytes_.capacity() < at + n) bytes_.reserve(std::max(at + n, bytes_.capacity() * 2));
    bytes_.resize(at + n);
    return bytes_.data() + at;
  }
  void U8(uint8_t v) { bytes_.push_back(v); }
  template <typename T>
  void LE(T value) {
    const uint64_t v = uint64_t(value);
    uint8_t* p = Extend(sizeof(T));
    for (size_t i = 0; i < sizeof(T); ++i) p[i] = uint8_t(v >> (8 * i));
  }
  void VarUInt(uint64_t v) {
    if (v > uint64_t(std::numeric_limits<int32_t>::max()))
      throw EDatabaseError(
          Format("A count of %llu does not fit a data packet", static_cast<unsigned long long>(v)));
    while (v >= 128) {
      bytes_.push_back(uint8_t((v & 127) | 128));
      v >>= 7;
    }
    bytes_.push_back(uint8_t(v));
  }
  void Raw(const void* data, size_t n) {
    if (n > 0) std::memcpy(Extend(n), data, n);
  }
  void Counted(const void* data, size_t n) {
    VarUInt(n);
    Raw(data, n);
  }
  void Wide(const std::u16string& text) {
    VarUInt(text.size());
    uint8_t* p = Extend(text.size() * 2);
    for (char16_t c : text) {
      *p++ = uint8_t(c);
      *p++ = uint8_t(c >> 8);
    }
  }
  void BcdRecord(const Bcd& b) {
    U8(b.precision);
    U8(b.sign_places);
    Raw(b.digits.data(), b.digits.size());
  }
  void Stamp(const SQLTimeStamp& t) {
    LE(t.year);
    LE(t.month);
    LE(t.day);
    LE(t.hour);
    LE(t.minute);
    LE(t.second);
    LE(t.fractions);
  }

 private:
  std::vector<uint8_t>& bytes_;
};

void WriteAnyValue(PacketBuffer& out, const Variant& v) {
  if (v.IsArray()) {  // a byte array: IsStorableVariant allows no other
    out.LE<uint16_t>(uint16_t(varArray | varByte));
    out.Counted(v.AsArray().RawData().data(), v.AsArray().RawData().size());
    return;
  }
  const uint16_t kind = v.Type();
  out.LE(kind);
  switch (kind) {
    case varEmpty:
      return;
    case varSmallint:
    case varWord:
      out.LE(uint16_t(v.AsIntegerValue()));
      return;
    case varInteger:
    case varError:
    case varLongWord:
      out.LE(uint32_t(v.AsIntegerValue()));
      return;
    case varSingle:
      out.LE(std::bit_cast<uint32_t>(float(v.AsDoubleValue())));
      return;
    case varDouble:
    case varDate:
      out.LE(std::bit_cast<uint64_t>(v.AsDoubleValue()));
      return;
    case varCurrency:
      out.LE(v.AsCurrency().scaled);
      return;
    case varInt64:
    case varUInt64:
      out.LE(uint64_t(v.AsIntegerValue()));
      return;
    case varBoolean:
      out.U8(v.AsBoolean() ? 1 : 0);
      return;
    case varShortInt:
    case varByte:
      out.U8(uint8_t(v.AsIntegerValue()));
      return;
    case varOleStr:
      out.Wide(v.AsWide());
      return;
    case varString:
      out.Counted(v.AsAnsi().data(), v.AsAnsi().size());
      return;
    case varDecimal: {
      const Decimal& d = v.AsDecimal();
      out.LE(d.reserved);
      out.U8(d.scale);
      out.U8(d.sign);
      out.LE(d.hi32);
      out.LE(d.lo64);
      return;
    }
    case varBcd:
      out.BcdRecord(v.AsBcd());
      return;
    case varSQLTimeStamp:
      out.Stamp(v.AsSQLTimeStamp());
      return;
    default:
      throw EDatabaseError(
          Format("A value of type %s cannot be stored", VarTypeName(v.Type()).c_str()));
  }
}

// Writes a value already converted to its field's kind (CoerceFieldValue), never Null.
void WriteValue(PacketBuffer& out, TValueClass cls, const Variant& v) {
  switch (cls) {
    case TValueClass::AnsiText:
      out.Counted(v.AsAnsi().data(), v.AsAnsi().size());
      return;
    case TValueClass::WideText:
      out.Wide(v.AsWide());
      return;
    case TValueClass::SmallInt:
    case TValueClass::Word:
      out.LE(uint16_t(v.AsIntegerValue()));
      return;
    case TValueClass::Integer:
      out.LE(uint32_t(v.AsIntegerValue()));
      return;
    case TValueClass::LargeInt:
      out.LE(uint64_t(v.AsIntegerValue()));
      return;
    case TValueClass::Boolean:
      out.U8(v.AsBoolean() ? 1 : 0);
      return;
    case TValueClass::Float:
    case TValueClass::DateTime:
      out.LE(std::bit_cast<uint64_t>(v.AsDoubleValue()));
      return;
    case TValueClass::Currency:
      out.LE(v.AsCurrency().scaled);
      return;
    case TValueClass::Bcd:
      out.BcdRecord(v.AsBcd());
      return;
    case TValueClass::TimeStamp:
      out.Stamp(v.AsSQLTimeStamp());
      return;
    case TValueClass::Bytes:
      out.Counted(v.AsArray().RawData().data(), v.AsArray().RawData().size());
      return;
    case TValueClass::Any:
      WriteAnyValue(out, v);
      return;
    case TValueClass::Unsupported:
      break;
  }
  throw EDatabaseError("Unsupported field type");
}

}  // namespace

void AppendDataPacketHeader(std::vector<uint8_t>& bytes, const TClientFieldDefs& defs,
                            int64_t rows) {
  for (const TClientFieldDef& d : defs) CheckClientFieldDef(d);
  // Version 1 unless a field carries a column type, so that packets without one stay readable
  // by every reader of version 1.
  const bool columnTypes = std::any_of(defs.begin(), defs.end(),
                                       [](const TClientFieldDef& d) { return d.columnType != 0; });
  PacketBuffer out(bytes);
  out.Raw(kDataPacketMagic, sizeof kDataPacketMagic);
  out.U8(columnTypes ? kDataPacketVersion : kDataPacketVersion1);
  out.U8(0);
  const std::string codeSet = AnsiCodeSet();
  out.Counted(codeSet.data(), codeSet.size());
  out.VarUInt(uint64_t(defs.size()));
  for (const TClientFieldDef& d : defs) {
    // Names are UTF-8 by contract; refuse anything else rather than write an unreadable packet.
    Utf8ToUtf16(d.name);
    out.Counted(d.name.data(), d.name.size());
    out.U8(d.dataType);
    out.U8(d.attributes);
    out.VarUInt(uint64_t(d.size));
    out.VarUInt(uint64_t(d.precision));
    if (columnTypes) out.VarUInt(d.columnType);
  }
  out.VarUInt(uint64_t(defs.empty() ? 0 : rows));
}

void AppendDataPacketValue(std::vector<uint8_t>& bytes, TValueClass cls, const Variant& value) {
  PacketBuffer out(bytes);
  WriteValue(out, cls, value);
}

std::vector<uint8_t> EncodeDataPacket(const IDataSetSource& source) {
  if (!source.Active()) throw EDatabaseError("Cannot perform this operation on a closed dataset");
  const int fieldCount = source.FieldCount();
  TClientFieldDefs defs;
  std::vector<TValueClass> classes;
  for (int i = 0; i < fieldCount; ++i) {
    defs.push_back(source.FieldDefAt(i));
    CheckClientFieldDef(defs.back());
    classes.push_back(ValueClassOf(defs.back().dataType));
  }
  const int64_t rows = fieldCount == 0 ? 0 : source.RecordCount();
  std::vector<uint8_t> bytes;
  AppendDataPacketHeader(bytes, defs, rows);
  PacketBuffer out(bytes);

  const size_t mapBytes = (size_t(fieldCount) + 7) / 8;
  const size_t count = static_cast<size_t>(fieldCount);
  std::vector<Variant> made(count);          // values made or converted for this row
  std::vector<const Variant*> cells(count);  // the row's values, in their field's kind
  for (int64_t r = 0; r < rows; ++r) {
    const size_t mapAt = out.Bytes().size();
    std::memset(out.Extend(mapBytes), 0, mapBytes);
    for (size_t f = 0; f < count; ++f) {
      const Variant* v = source.ValueRef(r, int(f));
      if (v == nullptr) {
        made[f] = source.ValueAt(r, int(f));
        v = &made[f];
      }
      if (!IsCanonicalFieldValue(classes[f], *v)) {
        made[f] = CoerceFieldValue(defs[f], *v);
        v = &made[f];
      }
      cells[f] = v;
      if (v->IsNull()) out.Bytes()[mapAt + f / 8] |= uint8_t(1u << (f % 8));
    }
    for (size_t f = 0; f < count; ++f)
      if (!cells[f]->IsNull()) WriteValue(out, classes[f], *cells[f]);
  }
  return bytes;
}

Variant DataPacketToVariant(const std::vector<uint8_t>& bytes) {
  return Variant::FromArray(VarArray::Bytes(bytes.data(), bytes.size()));
}

std::span<const uint8_t> DataPacketBytes(const Variant& packet) {
  const VarArray* array = nullptr;
  if (packet.IsArray())
    array = packet.IsByRef() ? static_cast<const VarArray*>(packet.RefTarget()) : &packet.AsArray();
  if (array == nullptr || array->ElementType() != varByte || array->DimCount() != 1)
    throw EDatabaseError(Format("A data packet must be a byte array, not a value of type %s",
                                VarTypeName(packet.Type()).c_str()));
  return {array->RawData().data(), array->RawData().size()};
}

}  // namespace qorvin
