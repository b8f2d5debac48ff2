#include "server/db/PackedRows.h"

#include <cstring>
#include <string>

#include "platform/rtl/OsServices.h"
#include "platform/rtl/Text.h"
#include "server/db/DateTimeText.h"
#include "server/db/ResultTable.h"

namespace qorvin::server {

uint8_t* PackedRows::Room(size_t n) {
  if (blocks_.empty() || blocks_.back().size + n > blocks_.back().ready) MakeRoom(n);
  Block& b = blocks_.back();
  uint8_t* at = b.bytes.get() + b.size;
  b.size += n;
  bytes_ += n;
  return at;
}

// The first blocks are small, so that a small set stays small. From kLargeBlocksAfter blocks on
// they are kLargeBlock bytes: a block that large is mapped on its own and backed by large pages,
// and its pages are faulted in a stretch at a time with one call each, which costs far less than
// a fault per page.
void PackedRows::MakeRoom(size_t n) {
  if (!blocks_.empty()) {
    Block& b = blocks_.back();
    if (b.size + n <= b.capacity) {
      const size_t from = b.ready;
      b.ready = std::min(b.capacity, std::max(b.size + n, b.ready + kFaultStretch));
      PrefaultForWrite(b.bytes.get() + from, b.ready - from);
      return;
    }
  }
  const bool large = blocks_.size() >= kLargeBlocksAfter;
  const size_t capacity = std::max(large ? kLargeBlock : kBlockSize, n);
  Block block{std::make_unique_for_overwrite<uint8_t[]>(capacity), 0, capacity, capacity};
  if (large) {
    AdviseLargeBuffer(block.bytes.get(), capacity);
    block.ready = std::min(capacity, std::max(n, kFaultStretch));
    PrefaultForWrite(block.bytes.get(), block.ready);
  }
  blocks_.push_back(std::move(block));
}

void PackedRows::AddFixed(CellTag tag, const void* v, size_t n) {
  uint8_t* p = Room(1 + n);
  p[0] = uint8_t(tag);
  std::memcpy(p + 1, v, n);
}

void PackedRows::AddBytes(CellTag tag, const void* data, size_t size, uint32_t length) {
  uint8_t* p = Room(5 + size);
  p[0] = uint8_t(tag);
  std::memcpy(p + 1, &length, 4);
  if (size != 0) std::memcpy(p + 5, data, size);
}

Variant PackedRows::Natural(CellTag tag, const uint8_t* v, uint32_t length) {
  switch (tag) {
    case CellTag::Null:
      return Variant::Null();
    case CellTag::Int: {
      int64_t i;
      std::memcpy(&i, v, 8);
      return Variant::Int64(i);
    }
    case CellTag::Real:
    case CellTag::Date: {
      double d;
      std::memcpy(&d, v, 8);
      return tag == CellTag::Real ? Variant::Double(d) : Variant::Date(d);
    }
    case CellTag::Bool:
      return Variant::Boolean(v[0] != 0);
    case CellTag::Decimal: {
      Bcd b;
      std::memcpy(&b, v, sizeof b);
      return Variant::FromBcd(b);
    }
    case CellTag::Text8:
      return Variant::OleStr(
          Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(v), length)));
    case CellTag::Text16: {
      std::u16string s(length, u'\0');
      if (length != 0) std::memcpy(s.data(), v, size_t(length) * 2);
      return Variant::OleStr(std::move(s));
    }
    case CellTag::Blob:
      return Variant::FromArray(VarArray::Bytes(v, length));
  }
  return Variant::Null();
}

PackedRows::Reader::Raw PackedRows::Reader::NextRaw() {
  auto& blocks = rows_.blocks_;
  while (block_ < blocks.size() && at_ >= blocks[block_].size) {
    if (consume_) blocks[block_] = Block{};
    ++block_;
    at_ = 0;
  }
  if (block_ >= blocks.size()) throw EDatabaseError("Read past the end of a packed result set");
  const uint8_t* p = blocks[block_].bytes.get() + at_;
  const auto tag = CellTag(p[0]);
  uint32_t length = 0;
  size_t size = 1;
  switch (tag) {
    case CellTag::Null:
      break;
    case CellTag::Int:
    case CellTag::Real:
    case CellTag::Date:
      size += 8;
      break;
    case CellTag::Bool:
      size += 1;
      break;
    case CellTag::Decimal:
      size += sizeof(Bcd);
      break;
    case CellTag::Text16:
      std::memcpy(&length, p + 1, 4);
      size += 4 + size_t(length) * 2;
      break;
    default:
      std::memcpy(&length, p + 1, 4);
      size += 4 + length;
  }
  at_ += size;
  const uint8_t* value =
      p + 1 +
      (size > 1 && (tag == CellTag::Text8 || tag == CellTag::Text16 || tag == CellTag::Blob) ? 4
                                                                                             : 0);
  const int column = column_;
  column_ = column_ + 1 == rows_.columns_ ? 0 : column_ + 1;
  const auto& m = rows_.mappings_;
  const CellMapping mapping = size_t(column) < m.size() ? m[size_t(column)] : CellMapping::Keep;
  return Raw{tag, value, length, mapping};
}

Variant PackedRows::Reader::Settled(const Raw& cell) {
  Variant natural = Natural(cell.tag, cell.value, cell.length);
  if (natural.IsNull()) return natural;
  // Kept as it is, the value moves out (MapCell would copy it, text and all).
  if (cell.mapping == CellMapping::Keep) return natural;
  return MapCell(natural, cell.mapping);
}

Variant MapCell(const Variant& v, CellMapping mapping) {
  switch (mapping) {
    case CellMapping::Keep:
      return v;
    case CellMapping::DateFromText: {
      double d = 0;
      ParseDateTimeText(Utf16ToUtf8(v.AsWide()), d);
      return Variant::Date(d);
    }
    case CellMapping::ToText:
      return Variant::OleStr(Utf8ToUtf16(VariantToText(v)));
    case CellMapping::ToBcd:
      return v.Kind() == varBcd ? v : Variant::FromBcd(Bcd::FromString(VariantToText(v)));
    case CellMapping::ToDouble:
      return Variant::Double(v.Kind() == varBcd ? std::stod(v.AsBcd().ToString()) : v.ToDouble());
    case CellMapping::ToBool:
      return Variant::Boolean(v.AsIntegerValue() != 0);
    case CellMapping::ToInt32:
      return Variant::Integer(int32_t(v.AsIntegerValue()));
    case CellMapping::ToInt64:
      return Variant::Int64(v.AsIntegerValue());
  }
  return v;
}

}  // namespace qorvin::server
