// TROStreamSerializer: the binary encodings of message values.
//
// All integers little-endian; counts signed 32-bit. Encodings:
//
//   type                     bytes
//   ------------------------ ---------------------------------------------------------------------
//   integer 1/2/4 bytes      the value in its own size
//   Int64                    8
//   enumeration (Boolean)    4 bytes holding the ordinal; read back into the enumeration's size
//   String / UTF8String      count n (int32), then n bytes unchanged; nothing after n = 0
//   WideString               count n of UTF-16 units (int32), then 2n bytes UTF-16LE
//   TDateTime                8 bytes IEEE 754 double (days since 1899-12-30)
//   floating point           single 4, double 8, extended 10 (x87 80-bit), comp 8, currency 8
//   Guid                     16 bytes in GUID memory layout; read back as braced upper-case text
//   Decimal                  lo32, mid32, hi32 of the 96-bit magnitude, flags32 (bits 16-23
//                            scale, bit 31 negative)
//   Variant                  int32 variant type code, then the payload (uROStreamVariant.cpp)
//   XML node                 its text as a UTF8String; an absent node is ""
//   binary                   00 = absent; 01, int32 count, the bytes from offset 0
//   struct                   00 = nil; 01, class name as UTF8String, object body
//   array                    00 = nil; 01, int32 count, each element in its own encoding
//   exception object         the object body only
//
// Read checks (before anything is allocated): a string count above `maxLength` or above the
// TOTAL size of the stream (n*2 for wide strings), a binary or array count above the total size
// -> EROException "Stream read error: Invalid string length \"%d\"". A count <= 0 reads as an
// empty string. Fewer bytes than a value needs -> EReadError "Stream read error"; fewer than 16
// for a Guid or Decimal -> EROException "Unexpected end of stream.".
//
// The serializer holds one reference to a stream, which it does not own; the stream must outlive
// its use here (SetStream replaces it, null detaches). Not thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "messaging/uROSerializer.h"
#include "platform/rtl/Stream.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

// Nesting bound for variant arrays inside variant arrays on reading (each level costs stack).
inline constexpr int kMaxVariantNesting = 32;
// Nesting bound for structs and arrays inside structs and arrays on reading.
inline constexpr int kMaxObjectNesting = 64;

class TROStreamSerializer : public TROSerializer {
 public:
  explicit TROStreamSerializer(TStream* stream = nullptr) : stream_(stream) {}

  void SetStream(TStream* stream) {
    stream_ = stream;
    consume_binaries_ = false;
    decoded_bytes_ = 0;
  }
  // The most bytes the variant arrays read from this stream may claim decoded (a Variant per
  // element, which takes 4 bytes on the wire and 120 in memory), checked before an array's
  // elements are read; <= 0: the calling thread's inflation budget (InflateBudget()). Past it,
  // EROException "Variant arrays of the message need more than the budget of N MiB of memory
  // ...". The count starts again with each SetStream.
  void SetMaxDecodedBytes(int64_t bytes) { max_decoded_bytes_ = bytes; }
  // When set, a large binary value read from a memory stream takes that stream's memory instead
  // of a copy (TMemoryStream::TakeFrom): the bytes before it are then gone and the stream's size
  // and position change, while the reads that follow see the same bytes. For a body read once,
  // in order, such as a received message's. Off by default and after SetStream.
  void SetConsumeBinaries(bool consume) { consume_binaries_ = consume; }
  TStream* GetStream() const { return stream_; }

  // Typed writes.
  void WriteInteger(const std::string& name, TOrdType ord, const void* ref,
                    int arrayIndex = -1) override;
  void WriteInt64(const std::string& name, const int64_t& ref, int arrayIndex = -1) override;
  void WriteEnumerated(const std::string& name, const TTypeInfo& type, const void* ref,
                       int arrayIndex = -1) override;
  void WriteUTF8String(const std::string& name, const std::string& ref,
                       int arrayIndex = -1) override;
  void WriteString(const std::string& name, const std::string& ref, int arrayIndex = -1) override;
  void WriteWideString(const std::string& name, const std::u16string& ref,
                       int arrayIndex = -1) override;
  void WriteDateTime(const std::string& name, const double& ref, int arrayIndex = -1) override;
  void WriteDouble(const std::string& name, TFloatType ft, const void* ref,
                   int arrayIndex = -1) override;
  void WriteVariant(const std::string& name, const Variant& ref, int arrayIndex = -1) override;
  void WriteXml(const std::string& name, const std::string& ref, int arrayIndex = -1) override;
  void WriteGuid(const std::string& name, const std::string& ref, int arrayIndex = -1) override;
  void WriteDecimal(const std::string& name, const Variant& ref, int arrayIndex = -1) override;
  void WriteBinary(const std::string& name, TStream* ref, int arrayIndex = -1) override;
  void WriteStruct(const std::string& name, const TTypeInfo& type, const TROComplexType* ref,
                   int arrayIndex = -1) override;
  void WriteArray(const std::string& name, const TTypeInfo& type, const TROArray* ref,
                  int arrayIndex = -1) override;
  void WriteException(const std::string& name, const EROException* ref,
                      int arrayIndex = -1) override;

  // Typed reads.
  void ReadInteger(const std::string& name, TOrdType ord, void* ref, int arrayIndex = -1) override;
  void ReadInt64(const std::string& name, int64_t& ref, int arrayIndex = -1) override;
  void ReadEnumerated(const std::string& name, const TTypeInfo& type, void* ref,
                      int arrayIndex = -1) override;
  void ReadUTF8String(const std::string& name, std::string& ref, int arrayIndex = -1,
                      int32_t maxLength = -1) override;
  void ReadString(const std::string& name, std::string& ref, int arrayIndex = -1,
                  int32_t maxLength = -1) override;
  void ReadWideString(const std::string& name, std::u16string& ref, int arrayIndex = -1,
                      int32_t maxLength = -1) override;
  void ReadDateTime(const std::string& name, double& ref, int arrayIndex = -1) override;
  void ReadDouble(const std::string& name, TFloatType ft, void* ref, int arrayIndex = -1) override;
  void ReadVariant(const std::string& name, Variant& ref, int arrayIndex = -1) override;
  void ReadXml(const std::string& name, std::string& ref, int arrayIndex = -1) override;
  void ReadGuid(const std::string& name, std::string& ref, int arrayIndex = -1) override;
  void ReadDecimal(const std::string& name, Variant& ref, int arrayIndex = -1) override;
  void ReadBinary(const std::string& name, std::unique_ptr<TROBinaryMemoryStream>& ref,
                  int arrayIndex = -1) override;
  void ReadStruct(const std::string& name, const TTypeInfo& type,
                  std::unique_ptr<TROComplexType>& ref, int arrayIndex = -1) override;
  void ReadArray(const std::string& name, const TTypeInfo& type, std::unique_ptr<TROArray>& ref,
                 int arrayIndex = -1) override;
  void ReadException(const std::string& name, EROException* ref, int arrayIndex = -1) override;

  // Variant arrays (one dimension; 8209 = byte array). `value` must be an array:
  // EROBinaryConversionException "Variant must be Array, but is %d" /
  // "Variant Array DimCount must be 1 but is %d" otherwise.
  void WriteVariantArray(const Variant& value);

  // The 16-byte Decimal image of a variant: null -> zeros; a one-dimensional 16-element byte
  // array -> copied; otherwise the value's text parsed (see ParseDecimalText).
  static std::array<uint8_t, 16> DecimalBytes(const Variant& value);
  // Parses decimal text: digits accumulate into the 96-bit magnitude, '-' anywhere makes it
  // negative, the first '.' starts the fraction (its digit count is the scale), every other
  // character is skipped. EConvertError "Cannot convert empty string to decimal value" for "",
  // and for a magnitude beyond 96 bits or a scale above 28 (values the format cannot hold).
  static std::array<uint8_t, 16> ParseDecimalText(const std::string& text);

 private:
  TStream& Stream();
  // Reads an int32 count and checks it against `maxLength` and the total stream size
  // (`unitSize` bytes per unit). Returns the count (<= 0 for empty).
  int32_t ReadCount(int32_t maxLength, int64_t unitSize);
  void WriteVariantValue(const Variant& value, bool inArray);
  void WriteVariantPayload(const Variant& value, uint16_t code, bool inArray);
  Variant ReadVariantValue(bool inArray, int depth);
  Variant ReadVariantPayload(uint32_t code, bool inArray, int depth);
  Variant ReadVariantArray(uint32_t code, int depth);

  TStream* stream_ = nullptr;
  bool consume_binaries_ = false;
  int object_depth_ = 0;
  int64_t decoded_bytes_ = 0;
  int64_t max_decoded_bytes_ = 0;
};

}  // namespace qorvin
