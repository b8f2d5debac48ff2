#include "messaging/uROStreamSerializer.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>

#include "messaging/uROBinaryHelpers.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Guid.h"
#include "platform/rtl/Text.h"

namespace qorvin {

namespace {

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

[[noreturn]] void ThrowUnexpectedEnd() {
  throw EROException("Unexpected end of stream.");
}

// A count that does not fit the 32-bit count field cannot be written.
int32_t CountToWrite(size_t count) {
  if (count > size_t(INT32_MAX)) throw EWriteError(std::string(kStreamWriteError));
  return int32_t(count);
}

// x87 80-bit extended: sign + 15-bit exponent (bias 16383) + 64-bit significand with explicit
// integer bit, little-endian (significand in bytes 0-7, sign/exponent in bytes 8-9). Converted
// arithmetically so that the encoding does not depend on the host's long double.
void EncodeExtended(long double value, uint8_t out[10]) {
  uint64_t mantissa = 0;
  uint16_t sign_exp = std::signbit(value) ? 0x8000 : 0;
  if (std::isnan(value)) {
    sign_exp |= 0x7FFF;
    mantissa = 0xC000000000000000ull;
  } else if (std::isinf(value)) {
    sign_exp |= 0x7FFF;
    mantissa = 0x8000000000000000ull;
  } else if (value != 0) {
    int exp = 0;
    const long double frac = std::frexp(std::fabs(value), &exp);  // [0.5, 1)
    int biased = exp - 1 + 16383;
    int shift = 64;
    if (biased <= 0) {  // denormal: the integer bit is 0, exponent field 0
      shift += biased - 1;
      biased = 0;
    }
    if (biased >= 0x7FFF) {
      sign_exp |= 0x7FFF;
      mantissa = 0x8000000000000000ull;
    } else {
      mantissa = shift > 0 ? uint64_t(std::ldexp(frac, shift)) : 0;
      sign_exp |= uint16_t(biased);
    }
  }
  for (int i = 0; i < 8; ++i) out[i] = uint8_t(mantissa >> (8 * i));
  out[8] = uint8_t(sign_exp);
  out[9] = uint8_t(sign_exp >> 8);
}

long double DecodeExtended(const uint8_t in[10]) {
  uint64_t mantissa = 0;
  for (int i = 0; i < 8; ++i) mantissa |= uint64_t(in[i]) << (8 * i);
  const uint16_t sign_exp = uint16_t(in[8] | (in[9] << 8));
  const bool negative = (sign_exp & 0x8000) != 0;
  const int biased = sign_exp & 0x7FFF;
  long double value;
  if (biased == 0x7FFF) {
    value = (mantissa << 1) == 0 ? HUGE_VALL : NAN;
  } else {
    const int exp = biased == 0 ? 1 - 16383 : biased - 16383;
    value = std::ldexp(static_cast<long double>(mantissa), exp - 63);
  }
  return negative ? -value : value;
}

}  // namespace

TStream& TROStreamSerializer::Stream() {
  if (stream_ == nullptr) throw EROException("Stream serializer has no stream");
  return *stream_;
}

int32_t TROStreamSerializer::ReadCount(int32_t maxLength, int64_t unitSize) {
  TStream& s = Stream();
  const int32_t n = s.ReadLE<int32_t>();
  if ((maxLength >= 0 && n > maxLength) || int64_t(n) * unitSize > s.Size()) ThrowInvalidLength(n);
  // Also against the bytes that remain: nothing is sized that the body cannot fill.
  if (int64_t(n) * unitSize > s.Remaining()) ThrowCutShort(s);
  return n;
}

// --- ordinals
// -------------------------------------------------------------------------------------

void TROStreamSerializer::WriteInteger(const std::string&, TOrdType ord, const void* ref, int) {
  TStream& s = Stream();
  switch (ord) {
    case TOrdType::otSByte:
    case TOrdType::otUByte:
      s.WriteLE(*static_cast<const uint8_t*>(ref));
      return;
    case TOrdType::otSWord:
    case TOrdType::otUWord:
      s.WriteLE(*static_cast<const uint16_t*>(ref));
      return;
    case TOrdType::otSLong:
    case TOrdType::otULong:
      s.WriteLE(*static_cast<const uint32_t*>(ref));
      return;
  }
}

void TROStreamSerializer::ReadInteger(const std::string&, TOrdType ord, void* ref, int) {
  TStream& s = Stream();
  switch (ord) {
    case TOrdType::otSByte:
    case TOrdType::otUByte:
      *static_cast<uint8_t*>(ref) = s.ReadLE<uint8_t>();
      return;
    case TOrdType::otSWord:
    case TOrdType::otUWord:
      *static_cast<uint16_t*>(ref) = s.ReadLE<uint16_t>();
      return;
    case TOrdType::otSLong:
    case TOrdType::otULong:
      *static_cast<uint32_t*>(ref) = s.ReadLE<uint32_t>();
      return;
  }
}

void TROStreamSerializer::WriteInt64(const std::string&, const int64_t& ref, int) {
  Stream().WriteLE(ref);
}

void TROStreamSerializer::ReadInt64(const std::string&, int64_t& ref, int) {
  ref = Stream().ReadLE<int64_t>();
}

void TROStreamSerializer::WriteEnumerated(const std::string&, const TTypeInfo& type,
                                          const void* ref, int) {
  uint32_t ordinal = 0;
  switch (type.OrdSize()) {
    case 1:
      ordinal = *static_cast<const uint8_t*>(ref);
      break;
    case 2:
      ordinal = *static_cast<const uint16_t*>(ref);
      break;
    default:
      ordinal = *static_cast<const uint32_t*>(ref);
      break;
  }
  Stream().WriteLE(ordinal);
}

void TROStreamSerializer::ReadEnumerated(const std::string&, const TTypeInfo& type, void* ref,
                                         int) {
  const uint32_t ordinal = Stream().ReadLE<uint32_t>();
  if (type.name == "Boolean") {
    // Boolean storage is a C++ bool, which holds only 0 or 1.
    *static_cast<bool*>(ref) = ordinal != 0;
    return;
  }
  switch (type.OrdSize()) {
    case 1:
      *static_cast<uint8_t*>(ref) = uint8_t(ordinal);
      break;
    case 2:
      *static_cast<uint16_t*>(ref) = uint16_t(ordinal);
      break;
    default:
      *static_cast<uint32_t*>(ref) = ordinal;
      break;
  }
}

// --- strings
// ---------------------------------------------------------------------------------------

void TROStreamSerializer::WriteUTF8String(const std::string& name, const std::string& ref,
                                          int arrayIndex) {
  // Already UTF-8: the bytes travel as they are, like an ANSI string's.
  WriteString(name, ref, arrayIndex);
}

void TROStreamSerializer::WriteString(const std::string&, const std::string& ref, int) {
  TStream& s = Stream();
  s.WriteLE(CountToWrite(ref.size()));
  s.WriteBytes(ref);
}

void TROStreamSerializer::WriteWideString(const std::string&, const std::u16string& ref, int) {
  TStream& s = Stream();
  s.WriteLE(CountToWrite(ref.size()));
  if (!ref.empty()) s.WriteBytes(Utf16ToLEBytes(ref));
}

void TROStreamSerializer::ReadUTF8String(const std::string& name, std::string& ref, int arrayIndex,
                                         int32_t maxLength) {
  ReadString(name, ref, arrayIndex, maxLength);
}

void TROStreamSerializer::ReadString(const std::string&, std::string& ref, int, int32_t maxLength) {
  const int32_t n = ReadCount(maxLength, 1);
  std::string value;
  if (n > 0) {
    value.resize(size_t(n));
    Stream().ReadBuffer(value.data(), n);
  }
  ref = std::move(value);
}

void TROStreamSerializer::ReadWideString(const std::string&, std::u16string& ref, int,
                                         int32_t maxLength) {
  const int32_t n = ReadCount(maxLength, 2);
  std::u16string value;
  if (n > 0) {
    // Straight into the text, without a second copy of the bytes.
    value.resize(size_t(n));
    Stream().ReadBuffer(value.data(), int64_t(n) * 2);
    if constexpr (std::endian::native == std::endian::big)
      for (char16_t& c : value) c = char16_t((c >> 8) | (c << 8));
  }
  ref = std::move(value);
}

void TROStreamSerializer::WriteXml(const std::string& name, const std::string& ref,
                                   int arrayIndex) {
  WriteUTF8String(name, ref, arrayIndex);
}

void TROStreamSerializer::ReadXml(const std::string& name, std::string& ref, int arrayIndex) {
  ReadUTF8String(name, ref, arrayIndex, -1);
}

// --- floating point
// --------------------------------------------------------------------------------

void TROStreamSerializer::WriteDateTime(const std::string&, const double& ref, int) {
  Stream().WriteLE(std::bit_cast<uint64_t>(ref));
}

void TROStreamSerializer::ReadDateTime(const std::string&, double& ref, int) {
  ref = std::bit_cast<double>(Stream().ReadLE<uint64_t>());
}

void TROStreamSerializer::WriteDouble(const std::string&, TFloatType ft, const void* ref, int) {
  TStream& s = Stream();
  switch (ft) {
    case TFloatType::ftSingle:
      s.WriteLE(std::bit_cast<uint32_t>(*static_cast<const float*>(ref)));
      return;
    case TFloatType::ftDouble:
      s.WriteLE(std::bit_cast<uint64_t>(*static_cast<const double*>(ref)));
      return;
    case TFloatType::ftExtended: {
      uint8_t bytes[10];
      EncodeExtended(*static_cast<const long double*>(ref), bytes);
      s.WriteBuffer(bytes, 10);
      return;
    }
    case TFloatType::ftComp:
      s.WriteLE(*static_cast<const int64_t*>(ref));
      return;
    case TFloatType::ftCurr:
      s.WriteLE(static_cast<const Currency*>(ref)->scaled);
      return;
  }
}

void TROStreamSerializer::ReadDouble(const std::string&, TFloatType ft, void* ref, int) {
  TStream& s = Stream();
  switch (ft) {
    case TFloatType::ftSingle:
      *static_cast<float*>(ref) = std::bit_cast<float>(s.ReadLE<uint32_t>());
      return;
    case TFloatType::ftDouble:
      *static_cast<double*>(ref) = std::bit_cast<double>(s.ReadLE<uint64_t>());
      return;
    case TFloatType::ftExtended: {
      uint8_t bytes[10];
      s.ReadBuffer(bytes, 10);
      *static_cast<long double*>(ref) = DecodeExtended(bytes);
      return;
    }
    case TFloatType::ftComp:
      *static_cast<int64_t*>(ref) = s.ReadLE<int64_t>();
      return;
    case TFloatType::ftCurr:
      static_cast<Currency*>(ref)->scaled = s.ReadLE<int64_t>();
      return;
  }
}

// --- Guid and Decimal
// ------------------------------------------------------------------------------

void TROStreamSerializer::WriteGuid(const std::string&, const std::string& ref, int) {
  const std::array<uint8_t, 16> bytes = TGUID::FromString(ref).ToBytes();
  Stream().WriteBuffer(bytes.data(), 16);
}

void TROStreamSerializer::ReadGuid(const std::string&, std::string& ref, int) {
  uint8_t bytes[16];
  if (Stream().Read(bytes, 16) != 16) ThrowUnexpectedEnd();
  ref = TGUID::FromBytes(bytes).ToString();
}

void TROStreamSerializer::WriteDecimal(const std::string&, const Variant& ref, int) {
  const std::array<uint8_t, 16> bytes = DecimalBytes(ref);
  Stream().WriteBuffer(bytes.data(), 16);
}

void TROStreamSerializer::ReadDecimal(const std::string&, Variant& ref, int) {
  uint8_t bytes[16];
  if (Stream().Read(bytes, 16) != 16) ThrowUnexpectedEnd();
  ref = Variant::FromArray(VarArray::Bytes(bytes, 16));
}

// --- binary
// ----------------------------------------------------------------------------------------

// Binary value: 00 = absent | 01, int32 count, count bytes (the stream from offset 0).
void TROStreamSerializer::WriteBinary(const std::string&, TStream* ref, int) {
  constexpr int64_t kReserveFrom = 64 << 10;
  TStream& s = Stream();
  if (ref == nullptr) {
    s.WriteLE<uint8_t>(0);
    return;
  }
  const int64_t size = ref->Size();
  if (size > INT32_MAX) throw EWriteError(std::string(kStreamWriteError));
  // Room for the value and what usually follows it at once: growing a body after a large value
  // would copy the value again.
  if (auto* memory = dynamic_cast<TMemoryStream*>(&s); memory && size >= kReserveFrom) {
    memory->Reserve(memory->Position() + 5 + size + kReserveFrom);
  }
  s.WriteLE<uint8_t>(1);
  s.WriteLE(int32_t(size));
  if (size != 0) {
    ref->SetPosition(0);
    s.CopyFrom(*ref, size);
  }
}

void TROStreamSerializer::ReadBinary(const std::string&,
                                     std::unique_ptr<TROBinaryMemoryStream>& ref, int) {
  TStream& s = Stream();
  if (s.ReadLE<uint8_t>() == 0) {
    ref.reset();
    return;
  }
  const int32_t count = s.ReadLE<int32_t>();
  if (uint32_t(count) > uint64_t(s.Size())) ThrowInvalidLength(count);
  if (count > s.Remaining()) ThrowCutShort(s);
  auto value = std::make_unique<TROBinaryMemoryStream>();
  if (count > 0) {
    auto* body = consume_binaries_ ? dynamic_cast<TMemoryStream*>(&s) : nullptr;
    if (body != nullptr) {
      value->TakeFrom(*body, count);  // a large value takes the body's memory: never two copies
    } else {
      // Straight from the body into the new stream: one copy, no zero-fill first.
      value->Reserve(count);
      value->CopyFrom(s, count);
      value->SetPosition(0);
    }
  }
  ref = std::move(value);
}

// --- structs, arrays, exceptions
// -------------------------------------------------------------------

namespace {

// Counts nesting of object reads so that a hostile stream cannot exhaust the call stack.
class DepthGuard {
 public:
  explicit DepthGuard(int& depth) : depth_(depth) {
    if (++depth_ > kMaxObjectNesting) {
      --depth_;
      throw EROException("Stream read error: objects nested too deeply");
    }
  }
  ~DepthGuard() { --depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  int& depth_;
};

}  // namespace

// Struct: 00 = nil | 01, class name (UTF8String), object body (or the class's custom body).
void TROStreamSerializer::WriteStruct(const std::string& name, const TTypeInfo&,
                                      const TROComplexType* ref, int arrayIndex) {
  TStream& s = Stream();
  if (ref == nullptr) {
    s.WriteLE<uint8_t>(0);
    return;
  }
  const TROClassInfo& info = ref->ClassInfo();
  s.WriteLE<uint8_t>(1);
  WriteUTF8String(name, info.name, arrayIndex);
  BeginWriteObject(name, info);
  if (auto* custom = dynamic_cast<const IROCustomStreamable*>(ref))
    CustomWriteObject(name, *custom);
  else
    WriteObject(info, static_cast<const TROObject*>(ref));
  EndWriteObject(name, info);
}

void TROStreamSerializer::ReadStruct(const std::string& name, const TTypeInfo& type,
                                     std::unique_ptr<TROComplexType>& ref, int arrayIndex) {
  TStream& s = Stream();
  if (s.ReadLE<uint8_t>() == 0) {
    ref.reset();
    return;
  }
  std::string className;
  ReadUTF8String(name, className, arrayIndex, 256);
  const TROClassInfo* info = FindROClass(className);
  if (info == nullptr)
    throw EROException(Format("Unknown class \"%s\" found in stream.", className.c_str()));
  const TROClassInfo* expected = type.className.empty() ? nullptr : FindROClass(type.className);
  std::unique_ptr<TROObject> made;
  if ((expected == nullptr || info->InheritsFrom(*expected)) && info->create) made = info->create();
  auto* object = dynamic_cast<TROComplexType*>(made.get());
  if (object == nullptr)
    throw EROException(
        Format("Unexpected class found in stream; class \"%s\" does not descend from \"%s\".",
               className.c_str(), (expected ? expected->name : type.className).c_str()));
  made.release();
  std::unique_ptr<TROComplexType> value(object);
  DepthGuard guard(object_depth_);
  BeginReadObject(name, *info);
  if (auto* custom = dynamic_cast<IROCustomStreamable*>(object))
    CustomReadObject(name, *custom);
  else
    ReadObject(*info, static_cast<TROObject*>(object));
  EndReadObject(name, *info);
  ref = std::move(value);
}

// Array: 00 = nil | 01, int32 count, each element in its own encoding.
void TROStreamSerializer::WriteArray(const std::string&, const TTypeInfo&, const TROArray* ref,
                                     int) {
  TStream& s = Stream();
  if (ref == nullptr) {
    s.WriteLE<uint8_t>(0);
    return;
  }
  const int32_t count = ref->Count();
  s.WriteLE<uint8_t>(1);
  s.WriteLE(count);
  const TTypeInfo& element = ref->ElementType();
  const std::string itemName = GetArrayElementName();
  for (int32_t i = 0; i < count; ++i) WriteValue(itemName, element, ref->ItemRef(i), i);
}

void TROStreamSerializer::ReadArray(const std::string&, const TTypeInfo& type,
                                    std::unique_ptr<TROArray>& ref, int) {
  TStream& s = Stream();
  if (s.ReadLE<uint8_t>() == 0) {
    ref.reset();
    return;
  }
  if (!ref) {
    const TROClassInfo* info = FindROClass(type.className);
    std::unique_ptr<TROObject> made = info && info->create ? info->create() : nullptr;
    auto* array = dynamic_cast<TROArray*>(made.get());
    if (array == nullptr)
      throw EROException(Format("Unknown class \"%s\" found in stream.", type.className.c_str()));
    made.release();
    ref.reset(array);
  }
  const int32_t count = s.ReadLE<int32_t>();
  if (count < 0 || count > s.Size()) ThrowInvalidLength(count);
  // Every element takes at least one byte, so a count beyond what remains is refused at once.
  if (count > s.Remaining()) ThrowCutShort(s);
  DepthGuard guard(object_depth_);
  const TTypeInfo& element = ref->ElementType();
  const std::string itemName = GetArrayElementName();
  // Storage grows with the elements actually read (an element's memory may be many times its
  // bytes on the wire), so a count that the stream does not back claims little.
  ref->Resize(0);
  int32_t sized = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (i == sized) {
      sized = int32_t(std::min<int64_t>(count, std::max<int64_t>(16, int64_t(sized) * 2)));
      ref->Resize(sized);
    }
    ReadValue(itemName, element, ref->ItemRef(i), i);
  }
}

void TROStreamSerializer::WriteException(const std::string&, const EROException* ref, int) {
  if (ref == nullptr) return;
  WriteObject(ExceptionClassInfo(*ref), static_cast<const EROException*>(ref));
}

void TROStreamSerializer::ReadException(const std::string&, EROException* ref, int) {
  if (ref == nullptr) return;
  ReadObject(ExceptionClassInfo(*ref), ref);
}

}  // namespace qorvin
