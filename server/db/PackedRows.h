// The cells of a result set packed one after another in large blocks: a tag byte and the value's
// bytes, no allocation per cell. Back ends append the values they read in their natural form;
// the result builder settles each column's type from what it saw and records, per column, how a
// natural value becomes the column's value (PackedColumn). Reading gives the settled Variants.
//
// A row is exactly `columns` cells. Blocks are released as a consuming reader passes them, so a
// writer that streams the rows out frees them as it goes. Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/rtl/FieldTypes.h"
#include "platform/rtl/Variant.h"

namespace qorvin::server {

enum class CellTag : uint8_t {
  Null,
  Int,      // int64
  Real,     // double
  Bool,     // u8
  Date,     // double (OLE date)
  Text8,    // u32 length, UTF-8 bytes (as the database gave them)
  Text16,   // u32 length in units, UTF-16 units
  Blob,     // u32 length, bytes
  Decimal,  // the Bcd structure
};

// How the natural values of a column become its settled values.
enum class CellMapping : uint8_t {
  Keep,          // as read (text as UTF-16, blobs as byte arrays)
  DateFromText,  // text parsed as a date
  ToText,        // the value's text (VariantToText)
  ToBcd,
  ToDouble,
  ToBool,
  ToInt32,
  ToInt64,
};

class PackedRows {
 public:
  explicit PackedRows(int columns) : columns_(columns) {}

  int Columns() const { return columns_; }
  int64_t RowCount() const { return rows_; }
  // The packed bytes held (as appended; blocks already consumed by a reader still count).
  size_t ByteSize() const { return bytes_; }
  void SetMappings(std::vector<CellMapping> mappings) { mappings_ = std::move(mappings); }

  // Appending: one call per cell, `columns` cells per row; NewRow before each row.
  void NewRow() { ++rows_; }
  void AddNull() { *Room(1) = uint8_t(CellTag::Null); }
  void AddInt(int64_t v) { AddFixed(CellTag::Int, &v, 8); }
  void AddReal(double v) { AddFixed(CellTag::Real, &v, 8); }
  void AddDate(double v) { AddFixed(CellTag::Date, &v, 8); }
  void AddBool(bool v) {
    uint8_t b = v ? 1 : 0;
    AddFixed(CellTag::Bool, &b, 1);
  }
  void AddDecimal(const Bcd& v) { AddFixed(CellTag::Decimal, &v, sizeof(Bcd)); }
  void AddText8(std::string_view utf8) { AddBytes(CellTag::Text8, utf8.data(), utf8.size()); }
  void AddText16(std::u16string_view text) {
    AddBytes(CellTag::Text16, text.data(), text.size() * 2, uint32_t(text.size()));
  }
  void AddBlob(const void* data, size_t size) { AddBytes(CellTag::Blob, data, size); }

  // The natural Variant of a cell as the back ends produced it before packing: Int64, Double,
  // Boolean, Date, OleStr, byte array, Bcd or Null.
  static Variant Natural(CellTag tag, const uint8_t* value, uint32_t length);

  // Reads the cells in order. With `consume`, each block is freed once read past, and the rows
  // can be read only once.
  class Reader {
   public:
    Reader(PackedRows& rows, bool consume) : rows_(rows), consume_(consume) {}
    // The next cell's settled value (its column's mapping applied).
    Variant Next() { return Settled(NextRaw()); }

    // The next cell as it lies, for writers that take some cells without a Variant: its tag,
    // its value's bytes (valid until the reader passes its block) and length (units for
    // Text16), and its column's mapping. Settled gives its value as Next would.
    struct Raw {
      CellTag tag;
      const uint8_t* value;
      uint32_t length;
      CellMapping mapping;
    };
    Raw NextRaw();
    static Variant Settled(const Raw& cell);

   private:
    PackedRows& rows_;
    bool consume_;
    size_t block_ = 0;
    size_t at_ = 0;
    int column_ = 0;
  };

 private:
  static constexpr size_t kBlockSize = size_t(1) << 20;
  static constexpr size_t kLargeBlocksAfter = 8;
  // Over 32 MiB: the allocator maps such a block on its own and, unlike a smaller mapped block,
  // freeing it does not raise the size from which it maps blocks (which would keep later large
  // buffers in the heap after the call).
  static constexpr size_t kLargeBlock = size_t(36) << 20;
  static constexpr size_t kFaultStretch = size_t(4) << 20;

  uint8_t* Room(size_t n);
  void MakeRoom(size_t n);
  void AddFixed(CellTag tag, const void* v, size_t n);
  void AddBytes(CellTag tag, const void* data, size_t size, uint32_t length);
  void AddBytes(CellTag tag, const void* data, size_t size) {
    AddBytes(tag, data, size, uint32_t(size));
  }

  // A block's bytes are written once, after it is made: none is zeroed first.
  struct Block {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
    size_t capacity = 0;
    size_t ready = 0;  // bytes that may be written without MakeRoom (faulted in, if large)
  };

  int columns_;
  int64_t rows_ = 0;
  size_t bytes_ = 0;
  std::vector<Block> blocks_;
  std::vector<CellMapping> mappings_;
};

// The settled value of a natural value under a mapping.
Variant MapCell(const Variant& natural, CellMapping mapping);

}  // namespace qorvin::server
