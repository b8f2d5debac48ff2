#include "datastream/uAdoParamsStream.h"

#include <bit>
#include <cstring>
#include <limits>

#include "datastream/uAdoParamsStreamFormat.h"
#include "platform/rtl/Text.h"
#include "platform/zlib/ZStream.h"

namespace qorvin {

using namespace wastream;

TWAStreamWriter::TWAStreamWriter(int level)
    : output_(std::make_unique<TMemoryStream>()),
      compressor_(std::make_unique<TZCompressionStream>(*output_, ZLibLevelFromIndex(level))) {}

TWAStreamWriter::~TWAStreamWriter() {
  compressor_.reset();  // finishes into the output buffer, which must still exist
  output_.reset();
}

void TWAStreamWriter::WriteBuffer(const void* data, int64_t count) {
  if (count <= 0) return;
  if (!compressor_ || compressor_->Write(data, count) != count)
    throw EWriterError(kWriterErrorText);
}

void TWAStreamWriter::WriteByte(uint8_t value) {
  WriteBuffer(&value, 1);
}
void TWAStreamWriter::WriteShortInt(int8_t value) {
  WriteBuffer(&value, 1);
}
void TWAStreamWriter::WriteBoolean(bool value) {
  WriteByte(value ? 1 : 0);
}

#define QV_WRITE_LE(Name, Ctype)            \
  void TWAStreamWriter::Name(Ctype value) { \
    unsigned char bytes[sizeof(Ctype)];     \
    PutLE(bytes, value);                    \
    WriteBuffer(bytes, sizeof bytes);       \
  }
QV_WRITE_LE(WriteSmallInt, int16_t)
QV_WRITE_LE(WriteWord, uint16_t)
QV_WRITE_LE(WriteInteger, int32_t)
QV_WRITE_LE(WriteLongWord, uint32_t)
QV_WRITE_LE(WriteInt64, int64_t)
#undef QV_WRITE_LE

void TWAStreamWriter::WriteSingle(float value) {
  WriteLongWord(std::bit_cast<uint32_t>(value));
}
void TWAStreamWriter::WriteDouble(double value) {
  WriteInt64(std::bit_cast<int64_t>(value));
}
void TWAStreamWriter::WriteDate(double value) {
  WriteDouble(value);
}
void TWAStreamWriter::WriteCurrency(Currency value) {
  WriteInt64(value.scaled);
}

void TWAStreamWriter::WriteLength(int64_t value) {
  if (value < 0 || value > std::numeric_limits<int32_t>::max())
    throw EWriteError(Format("Length %lld cannot be written", static_cast<long long>(value)));
  unsigned char bytes[5];
  int n = 0;
  uint32_t v = uint32_t(value);
  while (v >= 128) {
    bytes[n++] = static_cast<unsigned char>((v % 128) | 128);
    v >>= 7;
  }
  bytes[n++] = static_cast<unsigned char>(v);
  WriteBuffer(bytes, n);
}

void TWAStreamWriter::WriteTextUtf8(const std::string& utf8) {
  WriteLength(int64_t(utf8.size()));
  WriteBuffer(utf8.data(), int64_t(utf8.size()));
}
void TWAStreamWriter::WriteWideString(std::u16string_view value) {
  WriteTextUtf8(Utf16ToUtf8(value));
}
void TWAStreamWriter::WriteAnsiString(std::string_view value) {
  WriteTextUtf8(AnsiToUtf8(value));
}

void TWAStreamWriter::WriteBcd(const Bcd& value) {
  unsigned char bytes[34];
  bytes[0] = value.precision;
  bytes[1] = value.sign_places;
  std::memcpy(bytes + 2, value.digits.data(), 32);
  WriteBuffer(bytes, sizeof bytes);
}

void TWAStreamWriter::WriteSQLTimeStamp(const SQLTimeStamp& value) {
  unsigned char bytes[16];
  PutLE(bytes + 0, value.year);
  PutLE(bytes + 2, value.month);
  PutLE(bytes + 4, value.day);
  PutLE(bytes + 6, value.hour);
  PutLE(bytes + 8, value.minute);
  PutLE(bytes + 10, value.second);
  PutLE(bytes + 12, value.fractions);
  WriteBuffer(bytes, sizeof bytes);
}

void TWAStreamWriter::SaveToStream(TStream* target) {
  if (target == nullptr) return;
  if (compressor_) {
    compressor_->Finish();
    compressor_.reset();
  }
  target->WriteBuffer(output_->Memory(), output_->Size());
}

void TWAStreamWriter::WriteVariant(const Variant& value) {
  WriteVariantAt(value, 0);
}

namespace {

// Tag and payload of a value that is neither an array nor held by reference.
void WriteScalar(TWAStreamWriter& w, const Variant& value) {
  const uint16_t type = value.Type();
  switch (type) {
    case varEmpty:
    case varNull:
      w.WriteWord(type);
      return;
    case varOleStr:
    case varUString:  // UTF-16 text like varOleStr; read back as varOleStr
      w.WriteWord(varOleStr);
      w.WriteWideString(value.AsWide());
      return;
    case varString:
      w.WriteWord(kTagAnsiString);
      w.WriteAnsiString(value.AsAnsi());
      return;
    case varBcd:
      w.WriteWord(kTagBcd);
      w.WriteBcd(value.AsBcd());
      return;
    case varSQLTimeStamp:
      w.WriteWord(kTagSQLTimeStamp);
      w.WriteSQLTimeStamp(value.AsSQLTimeStamp());
      return;
    default:
      break;
  }
  switch (type) {
    case varSmallint:
      w.WriteWord(type);
      w.WriteSmallInt(int16_t(value.AsIntegerValue()));
      return;
    case varInteger:
    case varError:
      w.WriteWord(type);
      w.WriteInteger(int32_t(value.AsIntegerValue()));
      return;
    case varSingle:
      w.WriteWord(type);
      w.WriteSingle(float(value.AsDoubleValue()));
      return;
    case varDouble:
    case varDate:
      w.WriteWord(type);
      w.WriteDouble(value.AsDoubleValue());
      return;
    case varCurrency:
      w.WriteWord(type);
      w.WriteCurrency(value.AsCurrency());
      return;
    case varBoolean:
      w.WriteWord(type);
      w.WriteBoolean(value.AsBoolean());
      return;
    case varShortInt:
      w.WriteWord(type);
      w.WriteShortInt(int8_t(value.AsIntegerValue()));
      return;
    case varByte:
      w.WriteWord(type);
      w.WriteByte(uint8_t(value.AsIntegerValue()));
      return;
    case varWord:
      w.WriteWord(type);
      w.WriteWord(uint16_t(value.AsIntegerValue()));
      return;
    case varLongWord:
      w.WriteWord(type);
      w.WriteLongWord(uint32_t(value.AsIntegerValue()));
      return;
    case varInt64:
      w.WriteWord(type);
      w.WriteInt64(value.AsIntegerValue());
      return;
    default:
      ThrowInvalidWriteType(type);  // dispatch, unknown, 128-bit decimal, uint64, ...
  }
}

}  // namespace

void TWAStreamWriter::WriteVariantAt(const Variant& value, int depth) {
  if (depth > TWAStreamLimits{}.max_nesting)
    throw EWriteError("Variant nested too deeply to be streamed");
  const uint16_t type = value.Type();
  if (value.IsByRef()) {
    // Written as the referenced value under the referenced kind's tag.
    const uint16_t target = uint16_t(type & ~varByRef);
    if (target & varArray) {
      WriteArray(value, *static_cast<const VarArray*>(value.RefTarget()), depth);
    } else if (target == varVariant) {
      WriteVariantAt(*static_cast<const Variant*>(value.RefTarget()), depth + 1);
    } else if (target == varEmpty || target == varNull ||
               (ArrayElementTag(target) < 0 && target != varUString)) {
      ThrowInvalidWriteType(type);
    } else {
      WriteVariantAt(value.Deref(), depth);
    }
    return;
  }
  if (value.IsArray()) {
    WriteArray(value, value.AsArray(), depth);
    return;
  }
  WriteScalar(*this, value);
}

void TWAStreamWriter::WriteArray(const Variant& holder, const VarArray& array, int depth) {
  const uint16_t kind = array.ElementType();
  const int code = ArrayElementTag(kind);
  if (code < 0) ThrowInvalidWriteType(holder.Type());
  const std::vector<VarBound>& bounds = array.Bounds();
  if (bounds.empty() || bounds.size() > 0xFFFF)
    throw EWriteError(
        Format("A variant array of %zu dimensions cannot be streamed", bounds.size()));
  const int64_t rawSize = RawElementSize(kind);
  const int64_t count = array.ElementCount();
  if (rawSize == 0 && count == 0) throw EWriteError(Format(kEmptyVariableArray, int(kind)));
  if (rawSize != 0 && count * rawSize > std::numeric_limits<int32_t>::max())
    throw EWriteError(Format("A variant array of %lld bytes cannot be streamed",
                             static_cast<long long>(count * rawSize)));
  WriteWord(uint16_t(kTagArray | code));
  WriteWord(uint16_t(bounds.size()));
  for (const VarBound& b : bounds) WriteInteger(b.low);
  for (const VarBound& b : bounds) WriteInteger(b.high);
  if (rawSize != 0) {
    WriteInteger(int32_t(count * rawSize));
    WriteBuffer(array.RawData().data(), count * rawSize);
    return;
  }
  OdometerWalk walk(bounds);
  do {
    WriteVariantAt(array.GetFlat(walk.Position()), depth + 1);
  } while (walk.Next());
}

}  // namespace qorvin
