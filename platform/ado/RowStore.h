// Compact row storage of the record set.
//
// Every stored row version is one fixed-size record: a presence bitmap and a "touched" bitmap (one
// bit per column, column 1 = bit 7 of the first byte), then one slot per column. A fixed-size
// column's slot holds its value exactly as an ADTG image carries it (little-endian); a
// variable-length column's slot holds the offset (u64) and byte length (u32) of its bytes in one
// shared, append-only heap. Records and heap are single growing blocks: no allocation per value.
//
// Record ids and slot pointers: `Record(id)` is valid until the next NewRecord/CopyRecord; byte
// views from `Var()` until the next SetVar. Heap bytes are never changed once written, so two
// records may share them. Not thread-safe.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/ado/AdoFieldDef.h"

namespace qorvin {

// How one column's value sits in a row of an ADTG image.
enum class CellForm : uint8_t {
  Fixed,     // `width` bytes, no length
  VarU8,     // u8 byte length, then the bytes
  VarU32,    // u32 byte length (at most 2^31 - 1), then the bytes
  VarFixed,  // exactly `width` bytes (fixed-length text or binary of at most 255 bytes)
};

inline constexpr uint64_t kUnlimitedCapacity = ~uint64_t(0);

struct CellPlan {
  uint16_t adoType = 0;
  CellForm form = CellForm::Fixed;
  bool nullable = false;  // has a bit in the presence map of an unchanged-row record
  bool wide = false;      // UTF-16 text: byte lengths must be even
  uint32_t width = 0;     // Fixed and VarFixed: bytes per value
  uint64_t capacity = 0;  // variable forms: byte capacity, or kUnlimitedCapacity
  uint32_t offset = 0;    // slot offset inside a record
  bool Variable() const { return form != CellForm::Fixed; }
};

struct RowLayout {
  std::vector<CellPlan> cells;
  uint32_t bitmapBytes = 0;  // ceil(columns / 8)
  uint32_t recordSize = 0;
  int nullableCount = 0;

  int Count() const { return int(cells.size()); }
  // The layout for these definitions. EAdoError for a type the record set cannot hold.
  static RowLayout For(const TFieldDefs& defs);
};

// Byte width of a fixed-size column type (0 for variable-length types).
uint32_t FixedWidthOf(uint16_t adoType);

inline constexpr uint32_t kNoRecord = 0xFFFFFFFFu;

struct RowEntry {
  uint32_t current = kNoRecord;
  uint32_t original = kNoRecord;  // Modified and Deleted rows: the values as first read
  TRowStatus status = TRowStatus::Unchanged;
};

class RowStore {
 public:
  static constexpr uint32_t kVarSlotSize = 12;

  void Reset(RowLayout layout);
  // Drops rows, records and heap; keeps the layout.
  void Clear();
  // Drops rows, records and heap but keeps their memory for the next rows (a store that holds
  // one row at a time).
  void Recycle() {
    records_.clear();
    heap_.clear();
    rows_.clear();
  }
  const RowLayout& Layout() const { return layout_; }
  uint32_t RecordSize() const { return layout_.recordSize; }

  // A new record with every column NULL and untouched, or a copy of `id`.
  uint32_t NewRecord();
  uint32_t CopyRecord(uint32_t id);
  // Overwrites record `id` with `size()`-checked bytes of another record image.
  void StoreRecord(uint32_t id, const std::vector<uint8_t>& image);
  uint8_t* Record(uint32_t id) { return records_.data() + size_t(id) * layout_.recordSize; }
  const uint8_t* Record(uint32_t id) const {
    return records_.data() + size_t(id) * layout_.recordSize;
  }
  void ReserveRecords(size_t count) { records_.reserve(count * layout_.recordSize); }
  void ReserveHeap(size_t bytes) { heap_.reserve(bytes); }

  static bool Bit(const uint8_t* map, int index) {
    return (map[index >> 3] >> (7 - (index & 7))) & 1;
  }
  static void SetBit(uint8_t* map, int index, bool on) {
    const uint8_t mask = uint8_t(0x80 >> (index & 7));
    map[index >> 3] = on ? uint8_t(map[index >> 3] | mask) : uint8_t(map[index >> 3] & ~mask);
  }
  bool Present(const uint8_t* rec, int col) const { return Bit(rec, col); }
  void SetPresent(uint8_t* rec, int col, bool on) const { SetBit(rec, col, on); }
  bool Touched(const uint8_t* rec, int col) const { return Bit(rec + layout_.bitmapBytes, col); }
  void SetTouched(uint8_t* rec, int col, bool on) const {
    SetBit(rec + layout_.bitmapBytes, col, on);
  }
  void ClearTouched(uint8_t* rec) const {
    std::memset(rec + layout_.bitmapBytes, 0, layout_.bitmapBytes);
  }
  void TouchAll(uint8_t* rec) const;

  uint8_t* Cell(uint8_t* rec, int col) const { return rec + layout_.cells[size_t(col)].offset; }
  const uint8_t* Cell(const uint8_t* rec, int col) const {
    return rec + layout_.cells[size_t(col)].offset;
  }
  // Bytes of a variable-length column (empty when never set).
  std::string_view Var(const uint8_t* rec, int col) const;
  // Appends `size` bytes to the heap and points the slot at them. `data` must not point into the
  // heap; `rec` may be any record image sized for this layout.
  void SetVar(uint8_t* rec, int col, const void* data, size_t size);

  // Where the records and the heap end, and a return there: drops the records and heap bytes
  // added since (rows must not refer to them).
  size_t HeapSize() const { return heap_.size(); }
  void Rewind(size_t records, size_t heapBytes) {
    records_.resize(records * layout_.recordSize);
    heap_.resize(heapBytes);
  }

  std::vector<RowEntry>& Rows() { return rows_; }
  const std::vector<RowEntry>& Rows() const { return rows_; }
  // Bytes the store's blocks hold (their capacities, not only what is used).
  size_t HeldBytes() const {
    return records_.capacity() + heap_.capacity() + rows_.capacity() * sizeof(RowEntry);
  }
  size_t RecordCount() const {
    return layout_.recordSize == 0 ? 0 : records_.size() / layout_.recordSize;
  }

 private:
  uint32_t GrowRecords();

  RowLayout layout_;
  std::vector<uint8_t> records_;
  std::vector<uint8_t> heap_;
  std::vector<RowEntry> rows_;
};

}  // namespace qorvin
