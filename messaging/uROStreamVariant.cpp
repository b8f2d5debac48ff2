// Variant encodings of TROStreamSerializer and the Decimal image.
//
// Variant: int32 type code, then the payload:
//
//   code          payload
//   0, 1, 10      none (10 reads back as the error value DISP_E_PARAMNOTFOUND)
//   2, 18         2 bytes (both read back as 16-bit signed)
//   3, 19         4 bytes (both read back as 32-bit signed)
//   4             4 bytes single            5, 7   8 bytes double (7 = date)
//   6             8 bytes, amount * 10 000  20     8 bytes
//   16, 17        1 byte                    11     4 bytes 0/1; 1 byte inside an array
//   8, 258        int32 byte count + UTF-8; read back as a Unicode string (258)
//   256           int32 byte count + the bytes unchanged
//   8209          byte array: int32 element count, the bytes (low bound 0 on reading)
//   0x2000 | t    int32 low, int32 high, then each element as a complete variant (code +
//                 payload) in array-element form; read back as an array of element type t
#include <algorithm>
#include <bit>
#include <charconv>
#include <climits>
#include <cstring>
#include <vector>

#include "messaging/uROStreamSerializer.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Text.h"
#include "platform/zlib/ZStream.h"

namespace qorvin {

namespace {

constexpr uint32_t kByteArrayCode = varArray | varByte;  // 8209

bool HasScalarEncoding(uint32_t code) {
  switch (code) {
    case varEmpty:
    case varNull:
    case varError:
    case varSmallint:
    case varWord:
    case varInteger:
    case varLongWord:
    case varSingle:
    case varDouble:
    case varDate:
    case varCurrency:
    case varOleStr:
    case varUString:
    case varBoolean:
    case varShortInt:
    case varByte:
    case varInt64:
    case varString:
      return true;
    default:
      return false;
  }
}

// The failure for a code without encoding: at the top level a general messaging error, inside
// an array a conversion error (with its own text for automation objects).
[[noreturn]] void ThrowUnsupported(uint32_t code, bool inArray) {
  if (!inArray)
    throw EROException(Format("Unsupported variant type \"%d\"", int(code)) + " Not Supported");
  if (code == varDispatch)
    throw EROBinaryConversionException(
        Format("Marshaling of IDispatch (%d) type variants is not supported.", int(code)));
  throw EROBinaryConversionException(Format("Unsupported variant type \"%d\"", int(code)));
}

[[noreturn]] void ThrowInvalidLength(int64_t count) {
  throw EROException(Format("Stream read error: Invalid string length \"%d\"", int(count)));
}

// A count that the whole stream could hold but the bytes left cannot: refused before anything is
// sized by it, with the failure that reading the missing bytes would give (the stream is left at
// its end, as after a short read).
[[noreturn]] void ThrowCutShort(TStream& s) {
  s.Seek(0, SeekOrigin::End);
  throw EReadError(std::string(kStreamReadError));
}

void WriteCountedBytes(TStream& s, std::string_view bytes) {
  if (bytes.size() > size_t(INT32_MAX)) throw EWriteError(std::string(kStreamWriteError));
  s.WriteLE(int32_t(bytes.size()));
  s.WriteBytes(bytes);
}

std::string ReadCountedBytes(TStream& s) {
  const int32_t n = s.ReadLE<int32_t>();
  if (int64_t(n) > s.Size()) ThrowInvalidLength(n);
  if (int64_t(n) > s.Remaining()) ThrowCutShort(s);
  std::string bytes;
  if (n > 0) {
    bytes.resize(size_t(n));
    s.ReadBuffer(bytes.data(), n);
  }
  return bytes;
}

}  // namespace

void TROStreamSerializer::WriteVariant(const std::string&, const Variant& ref, int) {
  WriteVariantValue(ref.Deref(), false);
}

void TROStreamSerializer::ReadVariant(const std::string&, Variant& ref, int) {
  ref = ReadVariantValue(false, 0);
}

void TROStreamSerializer::WriteVariantValue(const Variant& value, bool inArray) {
  if (value.IsArray()) {
    WriteVariantArray(value);
    return;
  }
  const uint16_t code = value.Kind();
  if (!HasScalarEncoding(code)) ThrowUnsupported(code, inArray);
  Stream().WriteLE(int32_t(code));
  WriteVariantPayload(value, code, inArray);
}

void TROStreamSerializer::WriteVariantPayload(const Variant& value, uint16_t code, bool inArray) {
  TStream& s = Stream();
  switch (code) {
    case varEmpty:
    case varNull:
    case varError:
      return;
    case varSmallint:
    case varWord:
      s.WriteLE(uint16_t(value.AsIntegerValue()));
      return;
    case varInteger:
    case varLongWord:
      s.WriteLE(uint32_t(value.AsIntegerValue()));
      return;
    case varShortInt:
    case varByte:
      s.WriteLE(uint8_t(value.AsIntegerValue()));
      return;
    case varInt64:
      s.WriteLE(int64_t(value.AsIntegerValue()));
      return;
    case varSingle:
      s.WriteLE(std::bit_cast<uint32_t>(float(value.AsDoubleValue())));
      return;
    case varDouble:
    case varDate:
      s.WriteLE(std::bit_cast<uint64_t>(value.AsDoubleValue()));
      return;
    case varCurrency:
      s.WriteLE(value.AsCurrency().scaled);
      return;
    case varBoolean:
      if (inArray)
        s.WriteLE<uint8_t>(value.AsBoolean() ? 1 : 0);
      else
        s.WriteLE<uint32_t>(value.AsBoolean() ? 1 : 0);
      return;
    case varOleStr:
    case varUString:
      WriteCountedBytes(s, Utf16ToUtf8(value.AsWide()));
      return;
    case varString:
      WriteCountedBytes(s, value.AsAnsi());
      return;
    default:
      ThrowUnsupported(code, inArray);
  }
}

// Byte array: 8209, int32 count, the bytes. Other arrays: 0x2000|t, int32 low, int32 high, then
// every element (first to last) as code + payload in array-element form.
void TROStreamSerializer::WriteVariantArray(const Variant& value) {
  if (!value.IsArray())
    throw EROBinaryConversionException(
        Format("Variant must be Array, but is %d", int(value.Type())));
  const VarArray& array = value.AsArray();
  if (array.DimCount() != 1)
    throw EROBinaryConversionException(
        Format("Variant Array DimCount must be 1 but is %d", array.DimCount()));
  const uint16_t element = array.ElementType();
  const VarBound bound = array.Bounds()[0];
  TStream& s = Stream();
  if (element == varByte) {
    if (array.ElementCount() > INT32_MAX) throw EWriteError(std::string(kStreamWriteError));
    s.WriteLE(int32_t(kByteArrayCode));
    s.WriteLE(int32_t(array.ElementCount()));
    s.WriteBuffer(array.RawData().data(), int64_t(array.RawData().size()));
    return;
  }
  if (element != varVariant && !HasScalarEncoding(element)) ThrowUnsupported(element, true);
  s.WriteLE(int32_t(varArray | element));
  s.WriteLE(bound.low);
  s.WriteLE(bound.high);
  for (int64_t i = 0; i < array.ElementCount(); ++i)
    WriteVariantValue(array.GetFlat(i).Deref(), true);
}

Variant TROStreamSerializer::ReadVariantValue(bool inArray, int depth) {
  const uint32_t code = Stream().ReadLE<uint32_t>();
  if (code & varArray) return ReadVariantArray(code, depth);
  return ReadVariantPayload(code, inArray, depth);
}

Variant TROStreamSerializer::ReadVariantPayload(uint32_t code, bool inArray, int) {
  TStream& s = Stream();
  switch (code) {
    case varEmpty:
      return Variant();
    case varNull:
      return Variant::Null();
    case varError:
      return Variant::Error(kDispEParamNotFound);
    case varSmallint:
    case varWord:
      return Variant::Smallint(s.ReadLE<int16_t>());
    case varInteger:
    case varLongWord:
      return Variant::Integer(s.ReadLE<int32_t>());
    case varSingle:
      return Variant::Single(std::bit_cast<float>(s.ReadLE<uint32_t>()));
    case varDouble:
      return Variant::Double(std::bit_cast<double>(s.ReadLE<uint64_t>()));
    case varDate:
      return Variant::Date(std::bit_cast<double>(s.ReadLE<uint64_t>()));
    case varCurrency:
      return Variant::Currency(Currency{s.ReadLE<int64_t>()});
    case varOleStr:
    case varUString:
      return Variant::UString(Utf8ToUtf16(ReadCountedBytes(s)));
    case varBoolean:
      return Variant::Boolean(inArray ? s.ReadLE<uint8_t>() != 0 : s.ReadLE<uint32_t>() != 0);
    case varShortInt:
      return Variant::ShortInt(s.ReadLE<int8_t>());
    case varByte:
      return Variant::Byte(s.ReadLE<uint8_t>());
    case varInt64:
      return Variant::Int64(s.ReadLE<int64_t>());
    case varString:
      return Variant::AnsiString(ReadCountedBytes(s));
    default:
      ThrowUnsupported(code, inArray);
  }
}

Variant TROStreamSerializer::ReadVariantArray(uint32_t code, int depth) {
  TStream& s = Stream();
  if (code == kByteArrayCode) {
    const int32_t count = s.ReadLE<int32_t>();
    if (count < 0 || count > s.Size()) ThrowInvalidLength(count);
    if (count > s.Remaining()) ThrowCutShort(s);
    VarArray array(varByte, {VarBound{0, count - 1}});
    s.ReadBuffer(array.RawData().data(), count);
    return Variant::FromArray(std::move(array));
  }
  const uint16_t element = uint16_t(code & varTypeMask);
  if (element != varVariant && !HasScalarEncoding(element)) ThrowUnsupported(element, true);
  if (element == varEmpty || element == varNull) ThrowUnsupported(element, true);
  if (depth >= kMaxVariantNesting)
    throw EROBinaryConversionException("Variant arrays nested too deeply");
  const int32_t low = s.ReadLE<int32_t>();
  const int32_t high = s.ReadLE<int32_t>();
  const int64_t count = int64_t(high) - int64_t(low) + 1;
  // Every element takes at least its 4-byte code, so a count the rest of the stream cannot hold
  // is rejected before anything is allocated.
  if (count < 0 || count * 4 > s.Remaining()) ThrowInvalidLength(count);
  const int64_t budget = max_decoded_bytes_ > 0 ? max_decoded_bytes_ : InflateBudget();
  const int64_t cost = count * int64_t(sizeof(Variant));
  if (cost > budget - decoded_bytes_)
    throw EROException(
        Format("Variant arrays of the message need more than the budget of %lld MiB of memory "
               "(the inflation budget); raise the inflation budget to accept larger data, or ask "
               "for less",
               static_cast<long long>(budget >> 20)));
  decoded_bytes_ += cost;
  // Elements are collected as they are decoded, so memory follows the bytes actually read and
  // not a count (nested arrays would otherwise each claim count x a Variant before reading).
  std::vector<Variant> elements;
  elements.reserve(size_t(std::min<int64_t>(count, 64)));
  for (int64_t i = 0; i < count; ++i) elements.push_back(ReadVariantValue(true, depth + 1));
  return Variant::FromArray(
      VarArray::FromFlat(uint16_t(element), {VarBound{low, high}}, std::move(elements)));
}

// --- Decimal
// ---------------------------------------------------------------------------------------

std::array<uint8_t, 16> TROStreamSerializer::DecimalBytes(const Variant& value) {
  const Variant v = value.Deref();
  std::array<uint8_t, 16> bytes{};
  if (v.IsNull()) return bytes;
  if (v.IsArray()) {
    const VarArray& a = v.AsArray();
    if (a.DimCount() == 1 && a.ElementType() == varByte && a.ElementCount() == 16) {
      std::memcpy(bytes.data(), a.RawData().data(), 16);
      return bytes;
    }
  }
  std::string text;
  switch (v.Kind()) {
    case varSingle:
    case varDouble:
    case varDate: {
      // Plain positional digits (never an exponent), shortest form that reads back exactly.
      char buf[400];
      const double d = v.AsDoubleValue();
      auto r = v.Kind() == varSingle
                   ? std::to_chars(buf, buf + sizeof buf, float(d), std::chars_format::fixed)
                   : std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed);
      if (r.ec != std::errc()) throw EConvertError("Cannot convert value to decimal value");
      text.assign(buf, r.ptr);
      break;
    }
    default:
      // Exact decimal kinds give their exact text; the rest the ordinary conversion.
      text = v.ToUtf8();
      break;
  }
  return ParseDecimalText(text);
}

// Decimal image: bytes 0-3 low, 4-7 middle, 8-11 high 32 bits of the magnitude (LE), 12-15 flags
// (bits 16-23 scale, bit 31 negative).
std::array<uint8_t, 16> TROStreamSerializer::ParseDecimalText(const std::string& text) {
  if (text.empty()) throw EConvertError("Cannot convert empty string to decimal value");
  unsigned __int128 magnitude = 0;
  const unsigned __int128 limit = (unsigned __int128)1 << 96;
  bool negative = false, fraction = false;
  int scale = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      magnitude = magnitude * 10 + unsigned(c - '0');
      if (fraction) ++scale;
      if (magnitude >= limit || scale > 28)
        throw EConvertError(Format("'%s' is not a valid decimal value", text.c_str()));
    } else if (c == '-') {
      negative = true;
    } else if (c == '.' && !fraction) {
      fraction = true;
    }
  }
  std::array<uint8_t, 16> bytes{};
  const uint32_t flags = (uint32_t(scale) << 16) | (negative ? 0x80000000u : 0);
  for (int i = 0; i < 12; ++i) bytes[size_t(i)] = uint8_t(magnitude >> (8 * i));
  for (int i = 0; i < 4; ++i) bytes[size_t(12 + i)] = uint8_t(flags >> (8 * i));
  return bytes;
}

}  // namespace qorvin
