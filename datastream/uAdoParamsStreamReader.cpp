#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <vector>

#include "datastream/uAdoParamsStream.h"
#include "datastream/uAdoParamsStreamFormat.h"
#include "platform/rtl/Text.h"
#include "platform/zlib/ZStream.h"

namespace qorvin {

using namespace wastream;

// ---- reader: primitives ---------------------------------------------------------------------

TWAStreamReader::TWAStreamReader() : input_(std::make_unique<TMemoryStream>()) {}
TWAStreamReader::~TWAStreamReader() = default;

void TWAStreamReader::LoadFromStream(TStream* source) {
  if (source == nullptr || source->Position() >= source->Size()) return;
  try {
    auto inflated = std::make_unique<TMemoryStream>();
    ZInflateWithinBudget(*source, *inflated, limits_.max_inflated_size);
    source->Seek(0, SeekOrigin::End);
    inflated->SetPosition(0);
    input_.swap(inflated);
    variant_elements_ = 0;
    decoded_bytes_ = 0;
  } catch (const std::exception& e) {
    throw Exception(SystemText(kDecompressFailure) + "\r" + e.what());
  }
}

void TWAStreamReader::NeedBytes(int64_t count) const {
  if (count < 0 || input_->Remaining() < count) throw EReaderError(kReaderErrorText);
}

void TWAStreamReader::ReadBuffer(void* data, int64_t count) {
  if (count <= 0) return;
  NeedBytes(count);
  input_->ReadBuffer(data, count);
}

uint8_t TWAStreamReader::ReadByte() {
  uint8_t v;
  ReadBuffer(&v, 1);
  return v;
}
int8_t TWAStreamReader::ReadShortInt() {
  return static_cast<int8_t>(ReadByte());
}
bool TWAStreamReader::ReadBoolean() {
  return ReadByte() != 0;
}

#define QV_READ_LE(Name, Ctype)         \
  Ctype TWAStreamReader::Name() {       \
    unsigned char bytes[sizeof(Ctype)]; \
    ReadBuffer(bytes, sizeof bytes);    \
    return GetLE<Ctype>(bytes);         \
  }
QV_READ_LE(ReadSmallInt, int16_t)
QV_READ_LE(ReadWord, uint16_t)
QV_READ_LE(ReadInteger, int32_t)
QV_READ_LE(ReadLongWord, uint32_t)
QV_READ_LE(ReadInt64, int64_t)
#undef QV_READ_LE

float TWAStreamReader::ReadSingle() {
  return std::bit_cast<float>(ReadLongWord());
}
double TWAStreamReader::ReadDouble() {
  return std::bit_cast<double>(ReadInt64());
}
double TWAStreamReader::ReadDate() {
  return ReadDouble();
}
Currency TWAStreamReader::ReadCurrency() {
  return Currency{ReadInt64()};
}

int32_t TWAStreamReader::ReadLength() {
  uint64_t value = 0;
  for (int shift = 0;; shift += 7) {
    // Five groups carry 35 bits, enough for any 32-bit length; a sixth byte is malformed.
    if (shift > 28) throw EReadError("Invalid length in typed value stream: too many bytes");
    const uint8_t b = ReadByte();
    value |= uint64_t(b & 127) << shift;
    if ((b & 128) == 0) break;
  }
  if (value > uint64_t(std::numeric_limits<int32_t>::max()))
    throw EReadError("Invalid length in typed value stream: value too large");
  return int32_t(value);
}

std::string TWAStreamReader::ReadTextUtf8() {
  const int32_t n = ReadLength();
  if (n < 1) return {};
  NeedBytes(n);  // before allocating
  std::string utf8(size_t(n), '\0');
  ReadBuffer(utf8.data(), n);
  return utf8;
}
std::u16string TWAStreamReader::ReadWideString() {
  return Utf8ToUtf16(ReadTextUtf8());
}
std::string TWAStreamReader::ReadAnsiString() {
  return Utf8ToAnsi(ReadTextUtf8());
}

// An 8-bit string value as the ANSI text it was sent as; text that the ANSI code set cannot hold
// stays wide instead (a value of kind OleStr), so that no character is lost or replaced and one
// value does not fail the whole stream. Bytes that are not UTF-8 still fail (EConvertError).
Variant TWAStreamReader::AnsiOrWideText(const std::string& utf8) {
  try {
    return Variant::AnsiString(Utf8ToAnsi(utf8));
  } catch (const EConvertError&) {
    return Variant::OleStr(Utf8ToUtf16(utf8));
  }
}

Bcd TWAStreamReader::ReadBcd() {
  unsigned char bytes[34];
  ReadBuffer(bytes, sizeof bytes);
  Bcd b;
  b.precision = bytes[0];
  b.sign_places = bytes[1];
  std::memcpy(b.digits.data(), bytes + 2, 32);
  return b;
}

SQLTimeStamp TWAStreamReader::ReadSQLTimeStamp() {
  unsigned char bytes[16];
  ReadBuffer(bytes, sizeof bytes);
  SQLTimeStamp t;
  t.year = GetLE<int16_t>(bytes + 0);
  t.month = GetLE<uint16_t>(bytes + 2);
  t.day = GetLE<uint16_t>(bytes + 4);
  t.hour = GetLE<uint16_t>(bytes + 6);
  t.minute = GetLE<uint16_t>(bytes + 8);
  t.second = GetLE<uint16_t>(bytes + 10);
  t.fractions = GetLE<uint32_t>(bytes + 12);
  return t;
}

Variant TWAStreamReader::ReadVariant() {
  return ReadVariantAt(0);
}

Variant TWAStreamReader::ReadVariantAt(int depth) {
  if (depth > limits_.max_nesting)
    throw EReadError(
        Format("Typed value stream nests variants deeper than %d", limits_.max_nesting));
  const uint16_t tag = ReadWord();
  if (tag & kTagArray) return ReadArray(tag, depth);
  switch (tag) {
    case varEmpty:
      return Variant();
    case varNull:
      return Variant::Null();
    case varSmallint:
      return Variant::Smallint(ReadSmallInt());
    case varInteger:
      return Variant::Integer(ReadInteger());
    case varSingle:
      return Variant::Double(ReadSingle());
    case varDouble:
      return Variant::Double(ReadDouble());
    case varCurrency:
      return Variant::Currency(ReadCurrency());
    case varDate:
      return Variant::Date(ReadDate());
    case varOleStr:
      return Variant::OleStr(ReadWideString());
    case varError:
      return Variant::Error(ReadInteger());
    case varBoolean:
      return Variant::Boolean(ReadBoolean());
    case kTagWrapped:
      return ReadVariantAt(depth + 1);
    case varShortInt:
      return Variant::ShortInt(ReadShortInt());
    case varByte:
      return Variant::Byte(ReadByte());
    case varWord:
      return Variant::Word(ReadWord());
    case varLongWord:
      return Variant::LongWord(ReadLongWord());
    case varInt64:
      return Variant::Int64(ReadInt64());
    case kTagAnsiString:
      return AnsiOrWideText(ReadTextUtf8());
    case kTagBcd:
      return Variant::FromBcd(ReadBcd());
    case kTagSQLTimeStamp:
      return Variant::FromSQLTimeStamp(ReadSQLTimeStamp());
    default:
      ThrowInvalidReadTag(tag);
  }
}

Variant TWAStreamReader::ReadArray(uint16_t tag, int depth) {
  uint16_t kind = ArrayElementKind(tag & 0x0FFF);
  if (kind == 0) ThrowInvalidReadTag(tag);
  const uint16_t dims = ReadWord();
  if (dims == 0) throw EReadError("Invalid variant array: no dimensions");
  NeedBytes(int64_t(dims) * 8);  // before sizing the bounds
  std::vector<VarBound> bounds(dims);
  for (VarBound& b : bounds) b.low = ReadInteger();
  for (VarBound& b : bounds) b.high = ReadInteger();
  // Every element takes at least one byte, so a count beyond what remains is a cut-short stream;
  // the product stops growing there and cannot overflow.
  int64_t count = 1;
  for (const VarBound& b : bounds) {
    if (b.Count() < 0) throw EReadError("Invalid variant array: upper bound below lower bound");
    if (b.Count() == 0) count = 0;
  }
  for (const VarBound& b : bounds) {
    if (count == 0) break;
    count *= b.Count();
    if (count > input_->Remaining()) throw EReaderError(kReaderErrorText);
  }
  const int64_t rawSize = RawElementSize(kind);
  if (rawSize != 0) {
    const int32_t byteCount = ReadInteger();
    if (int64_t(byteCount) != count * rawSize)
      throw EReadError(
          Format("Invalid variant array: %d data bytes for %lld elements of %lld bytes", byteCount,
                 static_cast<long long>(count), static_cast<long long>(rawSize)));
    NeedBytes(byteCount);
    VarArray array(kind, std::move(bounds));
    ReadBuffer(array.RawData().data(), byteCount);
    return Variant::FromArray(std::move(array));
  }
  if (count == 0) throw EReadError(Format(kEmptyVariableArray, int(kind)));
  if (count > input_->Remaining() / 2) throw EReaderError(kReaderErrorText);  // a tag each
  if (count > limits_.max_variant_elements - variant_elements_)
    throw EReadError(Format("Variant arrays exceed the reader's limit of %lld elements",
                            static_cast<long long>(limits_.max_variant_elements)));
  const bool inOrder = bounds.size() == 1;  // one dimension: walk order is storage order
  const int64_t cost =
      count * int64_t(sizeof(Variant) + (inOrder ? 0 : sizeof(Variant) + sizeof(int64_t)));
  if (cost > limits_.max_decoded_bytes - decoded_bytes_)
    throw EReadError(
        Format("Typed value stream too large: its variant arrays need more than the budget of "
               "%lld MiB of memory (the inflation budget); raise the inflation budget to accept "
               "larger data, or ask for less",
               static_cast<long long>(limits_.max_decoded_bytes >> 20)));
  variant_elements_ += count;
  decoded_bytes_ += cost;
  // Elements are collected as they are decoded (memory follows the bytes read, not the count),
  // each with its storage position; they are put in storage order once all have been read.
  std::vector<Variant> elements;
  std::vector<int64_t> positions;
  elements.reserve(size_t(std::min<int64_t>(count, 64)));
  OdometerWalk walk(bounds);
  do {
    Variant element = ReadVariantAt(depth + 1);
    if ((kind == varBcd || kind == varSQLTimeStamp) && element.Type() != kind)
      throw EReadError(Format("Invalid variant array: element of type %d in an array of type %d",
                              int(element.Type()), int(kind)));
    if (!inOrder) positions.push_back(walk.Position());
    elements.push_back(std::move(element));
  } while (walk.Next());
  // An array of 8-bit strings with an element the ANSI code set cannot hold (read as wide text,
  // as a single value is) becomes an array of wide strings: every element keeps its text.
  if (kind == varString) {
    const bool anyWide = std::any_of(elements.begin(), elements.end(),
                                     [](const Variant& e) { return e.Type() == varOleStr; });
    if (anyWide) {
      kind = varOleStr;
      for (Variant& e : elements)
        if (e.Type() == varString) e = Variant::OleStr(AnsiToUtf16(e.AsAnsi()));
    }
  }
  if (!inOrder) {
    std::vector<Variant> ordered(elements.size());
    for (size_t i = 0; i < elements.size(); ++i)
      ordered[size_t(positions[i])] = std::move(elements[i]);
    elements = std::move(ordered);
  }
  try {
    return Variant::FromArray(VarArray::FromFlat(kind, std::move(bounds), std::move(elements)));
  } catch (const EVariantError& e) {
    throw EReadError(Format("Invalid variant array element: %s", e.what()));
  }
}

}  // namespace qorvin
