// Wire layout of the typed value stream and the helpers its writer and reader share.
// Internal to datastream/: include uAdoParamsStream.h for the interface.
//
// Byte order is little-endian throughout; the whole encoded sequence is one zlib stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "datastream/uAdoParamsStream.h"
#include "platform/rtl/Text.h"

namespace qorvin::wastream {

// ---- primitives -----------------------------------------------------------------------------
//
// | operation          | bytes | encoding                                                      |
// |--------------------|-------|---------------------------------------------------------------|
// | Byte / ShortInt    | 1     | unsigned / signed 8-bit                                       |
// | Boolean            | 1     | 1 true, 0 false (a reader takes any non-zero byte as true)    |
// | SmallInt / Word    | 2     | signed / unsigned 16-bit                                      |
// | Integer / LongWord | 4     | signed / unsigned 32-bit                                      |
// | Single             | 4     | IEEE 754 single                                               |
// | Double / Date      | 8     | IEEE 754 double (a date: days since 1899-12-30)               |
// | Currency           | 8     | signed 64-bit, amount x 10000                                 |
// | Int64              | 8     | signed 64-bit                                                 |
// | Length             | 1..5  | 7 bits a byte, low group first, bit 7 = another byte follows  |
// | WideString         | len+n | Length(n) then n UTF-8 bytes, no terminator                   |
// | AnsiString         | len+n | ANSI text converted to UTF-8, then as WideString              |
// | Bcd                | 34    | precision, sign (bit 7) / special (bit 6) / places, 32 digit  |
// |                    |       | bytes (two packed digits each, high nibble first)             |
// | SQLTimeStamp       | 16    | year i16, month, day, hour, minute, second u16, fractions u32 |

// ---- variants -------------------------------------------------------------------------------
//
// A variant is a 16-bit tag (WriteWord) followed by its payload:
//
// | tag      | kind                  | payload                                            |
// |----------|-----------------------|----------------------------------------------------|
// | 0, 1     | empty, null           | none                                               |
// | 2 / 3    | smallint / integer    | SmallInt / Integer                                 |
// | 4 / 5    | single / double       | Single / Double (both read back as a double)       |
// | 6 / 7    | currency / date       | Currency / Date                                    |
// | 8        | wide string           | WideString                                         |
// | 10 / 11  | error code / boolean  | Integer / Boolean                                  |
// | 12       | wrapped (read only)   | a complete tagged variant, which becomes the value |
// | 16 .. 20 | shortint, byte, word, | ShortInt, Byte, Word, LongWord, Int64              |
// |          | longword, int64       |                                                    |
// | 256      | ANSI string           | AnsiString                                         |
// | 257      | BCD decimal           | Bcd                                                |
// | 258      | SQL timestamp         | SQLTimeStamp                                       |
// | 0x2000|e | array of element e    | see below                                          |
//
// An array, after its tag 0x2000 | element code:
//
// | field        | size      | content                                                     |
// |--------------|-----------|-------------------------------------------------------------|
// | d            | 2         | dimension count, unsigned                                   |
// | lower bounds | 4 x d     | signed, first dimension first                               |
// | upper bounds | 4 x d     | signed, first dimension first                               |
// | elements     | see below | raw kinds (1, 2, 3, 4, 5, 6, 7, 11, 16 .. 19): a signed     |
// |              |           | 32-bit byte count, then the storage as one block (first     |
// |              |           | dimension fastest); other kinds: one tagged variant per     |
// |              |           | element in odometer order (last dimension fastest)          |
//
// Arrays of the element-by-element kinds need at least one element: with an empty dimension
// the walk, which starts at the lower bounds, has nothing to start at, so they are refused.

inline constexpr const char* kInvalidVariantType = "无效的Variant类型 %d";
inline constexpr const char* kDecompressFailure =
    "[DecompressStream]解压缩流出错(源流大小默认为流体积－流当前位置)！";

// The system's own texts are written here in UTF-8; exception messages are ANSI text. A code set
// that cannot show the characters gets the UTF-8 bytes rather than no message at all.
inline std::string SystemText(const std::string& utf8) {
  try {
    return Utf8ToAnsi(utf8);
  } catch (const EConvertError&) {
    return utf8;
  }
}

[[noreturn]] inline void ThrowInvalidWriteType(int typeWord) {
  throw EWriteError(SystemText(Format(kInvalidVariantType, typeWord)));
}
[[noreturn]] inline void ThrowInvalidReadTag(int tag) {
  throw EReadError(SystemText(Format(kInvalidVariantType, tag)));
}

template <typename T>
inline void PutLE(unsigned char* out, T value) {
  for (size_t i = 0; i < sizeof(T); ++i)
    out[i] = static_cast<unsigned char>(uint64_t(value) >> (8 * i));
}
template <typename T>
inline T GetLE(const unsigned char* in) {
  uint64_t v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v |= uint64_t(in[i]) << (8 * i);
  return static_cast<T>(v);
}

// Element size in the stream of the array kinds copied as one raw block (the platform's safe
// array storage, first dimension fastest); 0 for kinds written element by element.
inline int64_t RawElementSize(uint16_t kind) {
  switch (kind) {
    case varShortInt:
    case varByte:
      return 1;
    case varSmallint:
    case varWord:
    case varBoolean:  // the platform's 16-bit boolean, 0 or -1
      return 2;
    case varInteger:
    case varSingle:
    case varLongWord:
      return 4;
    case varDouble:
    case varCurrency:
    case varDate:
      return 8;
    default:
      return 0;
  }
}

// The element code an array of `kind` carries in its tag; -1 for kinds the format cannot carry.
inline int ArrayElementTag(uint16_t kind) {
  switch (kind) {
    case varSmallint:
    case varInteger:
    case varSingle:
    case varDouble:
    case varCurrency:
    case varDate:
    case varOleStr:
    case varError:
    case varBoolean:
    case varVariant:
    case varShortInt:
    case varByte:
    case varWord:
    case varLongWord:
    case varInt64:
      return kind;
    case varString:
      return kTagAnsiString;
    case varBcd:
      return kTagBcd;
    case varSQLTimeStamp:
      return kTagSQLTimeStamp;
    default:
      return -1;
  }
}

// The inverse of ArrayElementTag; 0 for codes that name no array element kind.
inline uint16_t ArrayElementKind(uint16_t code) {
  switch (code) {
    case kTagAnsiString:
      return varString;
    case kTagBcd:
      return varBcd;
    case kTagSQLTimeStamp:
      return varSQLTimeStamp;
    default:
      return ArrayElementTag(code) == int(code) ? code : 0;
  }
}

// Walks the index tuples of a non-empty array in odometer order: every index starts at its
// lower bound and the last dimension varies fastest. Position() is the element's place in the
// array's storage, where the first dimension varies fastest.
class OdometerWalk {
 public:
  explicit OdometerWalk(const std::vector<VarBound>& bounds)
      : counts_(bounds.size()), strides_(bounds.size()), index_(bounds.size(), 0) {
    int64_t stride = 1;
    for (size_t i = 0; i < bounds.size(); ++i) {
      counts_[i] = bounds[i].Count();
      strides_[i] = stride;
      stride *= counts_[i];
    }
  }
  int64_t Position() const { return position_; }
  // Moves to the next tuple; false once the first index has passed its upper bound.
  bool Next() {
    for (size_t dim = counts_.size(); dim-- > 0;) {
      if (++index_[dim] < counts_[dim]) {
        position_ += strides_[dim];
        return true;
      }
      position_ -= (counts_[dim] - 1) * strides_[dim];
      index_[dim] = 0;
    }
    return false;
  }

 private:
  std::vector<int64_t> counts_, strides_, index_;
  int64_t position_ = 0;
};

inline constexpr const char* kEmptyVariableArray =
    "A variant array of element type %d with an empty dimension cannot be streamed";

}  // namespace qorvin::wastream
