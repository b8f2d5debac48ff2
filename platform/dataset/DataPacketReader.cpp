// Reads data packets; the layout is tabled in DataPacket.h. The reader works on a bounded view
// and checks every count against the bytes that remain before it sizes anything by it.
#include <bit>
#include <cstring>
#include <limits>

#include "platform/dataset/DataPacket.h"
#include "platform/dataset/FieldValue.h"
#include "platform/rtl/Text.h"

namespace qorvin {

namespace {

class PacketView {
 public:
  explicit PacketView(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  [[noreturn]] void Fail(const std::string& reason) const {
    throw EDatabaseError(Format("Invalid data packet: %s at byte %zu", reason.c_str(), pos_));
  }
  size_t Remaining() const { return bytes_.size() - pos_; }
  size_t Position() const { return pos_; }

  const uint8_t* Take(size_t n, const char* what) {
    if (n > Remaining()) Fail(Format("%s cut short", what));
    const uint8_t* p = bytes_.data() + pos_;
    pos_ += n;
    return p;
  }
  uint8_t U8(const char* what) { return *Take(1, what); }
  template <typename T>
  T LE(const char* what) {
    const uint8_t* p = Take(sizeof(T), what);
    uint64_t v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v |= uint64_t(p[i]) << (8 * i);
    return static_cast<T>(v);
  }
  uint32_t VarUInt(const char* what) {
    uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
      if (shift > 28) Fail(Format("%s: count longer than five bytes", what));
      const uint8_t b = U8(what);
      v |= uint64_t(b & 127) << shift;
      if ((b & 128) == 0) break;
    }
    if (v > uint64_t(std::numeric_limits<int32_t>::max()))
      Fail(Format("%s: count too large", what));
    return uint32_t(v);
  }
  // A count of items of at least `minItemSize` bytes each, checked against what remains.
  uint32_t Count(const char* what, size_t minItemSize) {
    const uint32_t n = VarUInt(what);
    if (minItemSize > 0 && n > Remaining() / minItemSize)
      Fail(Format("%s: %u items cannot fit in %zu bytes", what, n, Remaining()));
    return n;
  }
  std::string Counted(const char* what) {
    const uint32_t n = Count(what, 1);
    const uint8_t* p = Take(n, what);
    return std::string(reinterpret_cast<const char*>(p), n);
  }
  std::u16string Wide(const char* what) {
    const uint32_t n = Count(what, 2);
    const uint8_t* p = Take(size_t(n) * 2, what);
    std::u16string s(n, u'\0');
    for (size_t i = 0; i < n; ++i) s[i] = char16_t(p[2 * i] | (p[2 * i + 1] << 8));
    return s;
  }
  bool Bool(const char* what) {
    const uint8_t b = U8(what);
    if (b > 1) Fail(Format("%s: boolean byte %u is neither 0 nor 1", what, unsigned(b)));
    return b == 1;
  }
  Bcd BcdRecord() {
    const uint8_t* p = Take(34, "BCD value");
    Bcd b;
    b.precision = p[0];
    b.sign_places = p[1];
    std::memcpy(b.digits.data(), p + 2, 32);
    if (b.precision > 64) Fail("BCD value: more than 64 digits");
    for (uint8_t d : b.digits)
      if ((d >> 4) > 9 || (d & 15) > 9) Fail("BCD value: a digit above 9");
    return b;
  }
  SQLTimeStamp Stamp() {
    SQLTimeStamp t;
    t.year = LE<int16_t>("timestamp");
    t.month = LE<uint16_t>("timestamp");
    t.day = LE<uint16_t>("timestamp");
    t.hour = LE<uint16_t>("timestamp");
    t.minute = LE<uint16_t>("timestamp");
    t.second = LE<uint16_t>("timestamp");
    t.fractions = LE<uint32_t>("timestamp");
    return t;
  }
  Variant Bytes(const char* what) {
    const uint32_t n = Count(what, 1);
    return Variant::FromArray(VarArray::Bytes(Take(n, what), n));
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

Variant ReadAnyValue(PacketView& in) {
  const uint16_t kind = in.LE<uint16_t>("variant kind");
  switch (kind) {
    case varEmpty:
      return Variant();
    case varSmallint:
      return Variant::Smallint(in.LE<int16_t>("variant"));
    case varWord:
      return Variant::Word(in.LE<uint16_t>("variant"));
    case varInteger:
      return Variant::Integer(in.LE<int32_t>("variant"));
    case varError:
      return Variant::Error(in.LE<int32_t>("variant"));
    case varLongWord:
      return Variant::LongWord(in.LE<uint32_t>("variant"));
    case varSingle:
      return Variant::Single(std::bit_cast<float>(in.LE<uint32_t>("variant")));
    case varDouble:
      return Variant::Double(std::bit_cast<double>(in.LE<uint64_t>("variant")));
    case varDate:
      return Variant::Date(std::bit_cast<double>(in.LE<uint64_t>("variant")));
    case varCurrency:
      return Variant::Currency(Currency{in.LE<int64_t>("variant")});
    case varInt64:
      return Variant::Int64(in.LE<int64_t>("variant"));
    case varUInt64:
      return Variant::UInt64(in.LE<uint64_t>("variant"));
    case varBoolean:
      return Variant::Boolean(in.Bool("variant"));
    case varShortInt:
      return Variant::ShortInt(int8_t(in.U8("variant")));
    case varByte:
      return Variant::Byte(in.U8("variant"));
    case varOleStr:
      return Variant::OleStr(in.Wide("variant text"));
    case varString:
      return Variant::AnsiString(in.Counted("variant text"));
    case varDecimal: {
      Decimal d;
      d.reserved = in.LE<uint16_t>("decimal");
      d.scale = in.U8("decimal");
      d.sign = in.U8("decimal");
      d.hi32 = in.LE<uint32_t>("decimal");
      d.lo64 = in.LE<uint64_t>("decimal");
      return Variant::FromDecimal(d);
    }
    case varBcd:
      return Variant::FromBcd(in.BcdRecord());
    case varSQLTimeStamp:
      return Variant::FromSQLTimeStamp(in.Stamp());
    case varArray | varByte:
      return in.Bytes("variant bytes");
    default:
      in.Fail(Format("variant kind %u is not stored in data packets", unsigned(kind)));
  }
}

Variant ReadValue(PacketView& in, TValueClass cls) {
  switch (cls) {
    case TValueClass::AnsiText:
      return Variant::AnsiString(in.Counted("text"));
    case TValueClass::WideText:
      return Variant::OleStr(in.Wide("text"));
    case TValueClass::SmallInt:
      return Variant::Smallint(in.LE<int16_t>("value"));
    case TValueClass::Word:
      return Variant::Word(in.LE<uint16_t>("value"));
    case TValueClass::Integer:
      return Variant::Integer(in.LE<int32_t>("value"));
    case TValueClass::LargeInt:
      return Variant::Int64(in.LE<int64_t>("value"));
    case TValueClass::Boolean:
      return Variant::Boolean(in.Bool("value"));
    case TValueClass::Float:
      return Variant::Double(std::bit_cast<double>(in.LE<uint64_t>("value")));
    case TValueClass::DateTime:
      return Variant::Date(std::bit_cast<double>(in.LE<uint64_t>("value")));
    case TValueClass::Currency:
      return Variant::Currency(Currency{in.LE<int64_t>("value")});
    case TValueClass::Bcd:
      return Variant::FromBcd(in.BcdRecord());
    case TValueClass::TimeStamp:
      return Variant::FromSQLTimeStamp(in.Stamp());
    case TValueClass::Bytes:
      return in.Bytes("bytes");
    case TValueClass::Any:
      return ReadAnyValue(in);
    case TValueClass::Unsupported:
      break;
  }
  in.Fail("unsupported field type");
}

TClientFieldDef ReadFieldDef(PacketView& in, uint8_t version) {
  TClientFieldDef d;
  d.name = in.Counted("field name");
  try {
    Utf8ToUtf16(d.name);
  } catch (const EConvertError&) {
    in.Fail("field name is not UTF-8");
  }
  const uint8_t type = in.U8("field type");
  if (!IsClientFieldTypeSupported(type))
    in.Fail(Format("field type %u (%s) is not supported", unsigned(type), FieldTypeName(type)));
  d.dataType = TFieldType(type);
  d.attributes = in.U8("field attributes");
  if ((d.attributes & ~kAllFieldAttributes) != 0) in.Fail("unknown field attribute bits");
  d.size = int32_t(in.VarUInt("field size"));
  d.precision = int32_t(in.VarUInt("field precision"));
  if (version >= 2) {
    const uint32_t column = in.VarUInt("column type");
    if (column > 0xFFFF) in.Fail(Format("column type %u is out of range", column));
    d.columnType = uint16_t(column);
  }
  return d;
}

}  // namespace

int64_t DataPacketMemoryEstimate(int64_t rows, int64_t fields, int64_t packetBytes) {
  constexpr int64_t kRowCost = int64_t(sizeof(std::vector<Variant>)) + 16;  // vector + heap block
  return rows * (kRowCost + fields * int64_t(sizeof(Variant))) + packetBytes;
}

void ForEachDataPacketRow(std::span<const uint8_t> bytes, const TDataPacketLimits& limits,
                          const DataPacketFieldsHandler& onFields,
                          const DataPacketRowHandler& onRow) {
  PacketView in(bytes);
  if (std::memcmp(in.Take(4, "magic"), kDataPacketMagic, 4) != 0) {
    throw EDatabaseError("Invalid data packet: it does not begin with \"QVDP\"");
  }
  const uint8_t version = in.U8("version");
  if (version != kDataPacketVersion1 && version != kDataPacketVersion)
    in.Fail(Format("version %u is not supported", version));
  if (in.U8("flags") != 0) in.Fail("reserved flags are set");

  std::string ansiCodeSet = in.Counted("code set name");
  // Smallest field definition: empty name, type, attributes, size and precision of one byte.
  const uint32_t fieldCount = in.Count("field count", 5);
  TClientFieldDefs fields;
  fields.reserve(fieldCount);
  std::vector<TValueClass> classes;
  for (uint32_t i = 0; i < fieldCount; ++i) {
    fields.push_back(ReadFieldDef(in, version));
    classes.push_back(ValueClassOf(fields.back().dataType));
  }
  const size_t mapBytes = (size_t(fieldCount) + 7) / 8;
  const uint32_t rowCount = in.Count("row count", mapBytes);
  if (fieldCount == 0 && rowCount != 0) in.Fail("rows without fields");
  const int64_t need = DataPacketMemoryEstimate(rowCount, fieldCount, int64_t(bytes.size()));
  if (need > limits.max_memory)
    throw EDataPacketTooLarge(Format(
        "Data packet too large: %u rows of %u fields need about %lld MiB of memory, more than "
        "the budget of %lld MiB; read fewer rows at a time",
        rowCount, fieldCount, static_cast<long long>((need + (1 << 20) - 1) >> 20),
        static_cast<long long>(limits.max_memory >> 20)));
  onFields(ansiCodeSet, fields, rowCount);
  std::vector<Variant> row;
  for (uint32_t r = 0; r < rowCount; ++r) {
    const uint8_t* map = in.Take(mapBytes, "null map");
    if (fieldCount % 8 != 0 && (map[mapBytes - 1] >> (fieldCount % 8)) != 0)
      in.Fail("null map bit set past the last field");
    row.clear();
    row.reserve(fieldCount);
    for (uint32_t f = 0; f < fieldCount; ++f)
      row.push_back((map[f / 8] & (1u << (f % 8))) ? Variant::Null() : ReadValue(in, classes[f]));
    onRow(row);
  }
  if (in.Remaining() != 0) in.Fail(Format("%zu bytes after the last row", in.Remaining()));
}

TDataPacketContent DecodeDataPacket(std::span<const uint8_t> bytes,
                                    const TDataPacketLimits& limits) {
  TDataPacketContent content;
  ForEachDataPacketRow(
      bytes, limits,
      [&content](std::string& codeSet, TClientFieldDefs& fields, uint32_t rows) {
        content.ansiCodeSet = std::move(codeSet);
        content.fields = std::move(fields);
        content.rows.reserve(rows);
      },
      [&content](std::vector<Variant>& row) { content.rows.push_back(std::move(row)); });
  return content;
}

}  // namespace qorvin
