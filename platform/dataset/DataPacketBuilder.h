// Writes a data packet row by row, straight from whatever holds the values, into one block of
// malloc'd memory that the packet's receiver can take over without a copy. The bytes are exactly
// those EncodeDataPacket writes for the same fields and values (DataPacket.h tables them).
//
// Use: construct with the fields and the expected row count, then for each row BeginRow() and
// one call per field in field order (Null or a value), then Finish(). A row count other than the
// expected one is corrected by Finish(). Failures raise EDatabaseError (the texts of
// EncodeDataPacket); the builder is then to be dropped. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/dataset/DataPacket.h"
#include "platform/rtl/Prefaulter.h"

namespace qorvin {

// Bytes in one malloc'd block, freed with free() unless released.
class TPacketBlock {
 public:
  TPacketBlock() = default;
  TPacketBlock(uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}
  TPacketBlock(TPacketBlock&& other) noexcept;
  TPacketBlock& operator=(TPacketBlock&& other) noexcept;
  TPacketBlock(const TPacketBlock&) = delete;
  TPacketBlock& operator=(const TPacketBlock&) = delete;
  ~TPacketBlock();

  const uint8_t* Data() const { return bytes_; }
  size_t Size() const { return size_; }
  // Hands the block to the caller, who frees it with free().
  uint8_t* Release();

 private:
  uint8_t* bytes_ = nullptr;
  size_t size_ = 0;
};

class TDataPacketBuilder {
 public:
  // EDatabaseError for a field definition EncodeDataPacket refuses.
  TDataPacketBuilder(const TClientFieldDefs& fields, int64_t expectedRows);
  ~TDataPacketBuilder();
  TDataPacketBuilder(const TDataPacketBuilder&) = delete;
  TDataPacketBuilder& operator=(const TDataPacketBuilder&) = delete;

  const TClientFieldDefs& Fields() const { return fields_; }
  TValueClass ClassOf(int field) const { return classes_[size_t(field)]; }

  void BeginRow();
  void Null(int field) { out_[mapAt_ + size_t(field) / 8] |= uint8_t(1u << (field % 8)); }
  // A value of a fixed-size class (SmallInt, Word, Integer, LargeInt, Float, DateTime, Currency,
  // TimeStamp, Bcd): its bytes exactly as the packet holds them.
  void Fixed(const void* bytes, size_t size) { Append(bytes, size); }
  void Boolean(bool value) {
    const uint8_t b = value ? 1 : 0;
    Append(&b, 1);
  }
  // AnsiText and Bytes: the bytes, with their count.
  void Counted(const void* bytes, size_t size);
  // WideText: UTF-16 code units, little-endian, `size` bytes (even).
  void Wide(const void* littleEndianUnits, size_t size);
  // Any value: converted to the field's kind as EncodeDataPacket converts it (CoerceFieldValue),
  // then written, or made NULL when it converts to Null.
  void Value(int field, const Variant& value);

  // The packet, with the row count corrected when the rows were not as many as expected.
  TPacketBlock Finish();

 private:
  void Reserve(size_t more);
  void Append(const void* bytes, size_t size);
  void VarUInt(uint64_t v);

  TClientFieldDefs fields_;
  std::vector<TValueClass> classes_;
  size_t mapBytes_ = 0;
  int64_t expectedRows_ = 0;
  int64_t rows_ = 0;
  size_t headerSize_ = 0;
  uint8_t* out_ = nullptr;  // malloc'd
  size_t size_ = 0, capacity_ = 0;
  size_t mapAt_ = 0;            // null map of the current row
  std::vector<uint8_t> value_;  // scratch for Value()
  // Faults in a large packet's pages ahead of the rows; stopped before out_ moves or is freed.
  std::optional<TPrefaulter> prefaulter_;
};

}  // namespace qorvin
