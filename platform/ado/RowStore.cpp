#include "platform/ado/RowStore.h"

#include "platform/rtl/Text.h"

namespace qorvin {

uint32_t FixedWidthOf(uint16_t adoType) {
  switch (adoType) {
    case adTinyInt:
    case adUnsignedTinyInt:
      return 1;
    case adSmallInt:
    case adUnsignedSmallInt:
    case adBoolean:
      return 2;
    case adInteger:
    case adUnsignedInt:
    case adSingle:
      return 4;
    case adDBDate:
    case adDBTime:
      return 6;
    case adBigInt:
    case adUnsignedBigInt:
    case adDouble:
    case adCurrency:
    case adDate:
    case adFileTime:
      return 8;
    case adDBTimeStamp:
    case adGUID:
    case adDecimal:
    case adVariant:
      return 16;
    case adNumeric:
      return 19;
    default:
      return 0;
  }
}

RowLayout RowLayout::For(const TFieldDefs& defs) {
  RowLayout layout;
  const int count = defs.Count();
  layout.bitmapBytes = uint32_t((count + 7) / 8);
  uint64_t offset = 2 * uint64_t(layout.bitmapBytes);
  for (const TFieldDef& def : defs) {
    if (!IsSupportedAdoType(def.adoType))
      throw EAdoError(Format("Field '%s': a record set cannot hold columns of type code %u",
                             Utf16ToUtf8(def.name).c_str(), unsigned(def.adoType)));
    CellPlan cell;
    cell.adoType = def.adoType;
    cell.nullable = (def.attributes & (adFldIsNullable | adFldMayBeNull)) != 0;
    cell.width = FixedWidthOf(def.adoType);
    if (cell.width == 0) {
      cell.wide = def.adoType == adWChar || def.adoType == adBSTR;
      if (def.maxLength == kAdoUnlimited)
        cell.capacity = kUnlimitedCapacity;
      else
        cell.capacity = uint64_t(def.maxLength) * (cell.wide ? 2 : 1);
      if (cell.capacity > 255) {
        cell.form = CellForm::VarU32;
      } else if (def.FixedLength()) {
        cell.form = CellForm::VarFixed;
        cell.width = uint32_t(cell.capacity);
      } else {
        cell.form = CellForm::VarU8;
      }
    }
    cell.offset = uint32_t(offset);
    offset += cell.Variable() ? RowStore::kVarSlotSize : cell.width;
    if (cell.nullable) ++layout.nullableCount;
    layout.cells.push_back(cell);
  }
  layout.recordSize = uint32_t(offset);
  return layout;
}

void RowStore::Reset(RowLayout layout) {
  layout_ = std::move(layout);
  Clear();
}

void RowStore::Clear() {
  records_ = {};
  heap_ = {};
  rows_ = {};
}

uint32_t RowStore::GrowRecords() {
  const size_t count = RecordCount();
  if (count >= kNoRecord)
    throw EAdoError("A record set cannot hold more than 2^32 - 1 row versions");
  records_.resize(records_.size() + layout_.recordSize);
  return uint32_t(count);
}

uint32_t RowStore::NewRecord() {
  return GrowRecords();  // resize() zero-fills: every column NULL and untouched
}

uint32_t RowStore::CopyRecord(uint32_t id) {
  const uint32_t copy = GrowRecords();
  std::memcpy(Record(copy), Record(id), layout_.recordSize);
  return copy;
}

void RowStore::StoreRecord(uint32_t id, const std::vector<uint8_t>& image) {
  if (image.size() != layout_.recordSize) throw EAdoError("Record image does not match the layout");
  std::memcpy(Record(id), image.data(), layout_.recordSize);
}

void RowStore::TouchAll(uint8_t* rec) const {
  const int count = layout_.Count();
  for (int col = 0; col < count; ++col) SetTouched(rec, col, true);
}

std::string_view RowStore::Var(const uint8_t* rec, int col) const {
  const uint8_t* slot = Cell(rec, col);
  uint64_t offset;
  uint32_t size;
  std::memcpy(&offset, slot, 8);
  std::memcpy(&size, slot + 8, 4);
  if (size == 0) return {};
  return {reinterpret_cast<const char*>(heap_.data()) + offset, size};
}

void RowStore::SetVar(uint8_t* rec, int col, const void* data, size_t size) {
  if (size > 0x7FFFFFFFu) throw EAdoError("A value longer than 2^31 - 1 bytes cannot be stored");
  const uint64_t offset = heap_.size();
  const uint32_t length = uint32_t(size);
  if (size != 0) {
    heap_.resize(heap_.size() + size);
    std::memcpy(heap_.data() + offset, data, size);
  }
  uint8_t* slot = Cell(rec, col);
  std::memcpy(slot, &offset, 8);
  std::memcpy(slot + 8, &length, 4);
}

}  // namespace qorvin
