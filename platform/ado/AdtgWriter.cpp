// Writing a flat ADTG tablegram. All numbers little-endian; LPS = u16 count of UTF-16 units, then
// the units. Every element after the header is: token (1 byte), u16 size of the body, body.
//
//   Tablegram
//   | element               | token | body                                                     |
//   |-----------------------|-------|----------------------------------------------------------|
//   | header                | 01    | 07 'T' 'G' '!' 00 00 00 00 (size byte, signature,        |
//   |                       |       | version 0.0, little-endian, non-Unicode; no u16 size)     |
//   | handler options       | 02    | record-set GUID (16), update type u8 = 1, 3 x LPS,       |
//   |                       |       | async options u16 (kept as read; ADO writes 0)           |
//   | result descriptor     | 03    | GUID (16), result info u8, cursor model u8,               |
//   |                       |       | normalization u8, visible u16, total u16, computed u16,  |
//   |                       |       | table count u16, order-by u16, row count u32 (rows not   |
//   |                       |       | pending deletion), property sets (kept as read)           |
//   | record-set context    | 10    | property sets (kept as read)                              |
//   | table descriptor      | 05    | kept as read, one per base table                          |
//   | column descriptor     | 06    | see below, one per column in ordinal order                |
//   | rows                  |       | see below; pending deletions first, then the other rows  |
//   | done                  | 0F    | (no size, no body)                                        |
//
//   Column descriptor body (bracketed fields only when their bit is set in the presence map)
//   | size | field                                   | presence bit |
//   |------|-----------------------------------------|--------------|
//   | 3    | presence map, most significant byte 1st | -            |
//   | 2    | column ordinal (1-based)                | -            |
//   | LPS  | [name]                                  | 0x800000     |
//   | 2    | [base table ordinal]                    | 0x400000     |
//   | 2    | [base column ordinal]                   | 0x200000     |
//   | LPS  | [base column name]                      | 0x100000     |
//   | 2    | type code (DBTYPE)                      | -            |
//   | 4    | max length                              | -            |
//   | 4    | precision                               | -            |
//   | 4    | scale (signed)                          | -            |
//   | 4    | column flags (= field attributes)       | -            |
//   | LPS  | [base catalog name]                     | 0x020000     |
//   | LPS  | [base schema name]                      | 0x010000     |
//   | 4    | [collating sequence]                    | 0x008000     |
//   | 4    | [compute mode]                          | 0x004000     |
//   | 4    | [date-time precision]                   | 0x002000     |
//   | 16   | [default value]                         | 0x001000     |
//   | 2    | [is auto-increment, FFFF / 0000]        | 0x000100     |
//   | 2    | [is case-sensitive]                     | 0x000080     |
//   | 2    | [is multivalued]                        | 0x000040     |
//   | 2/4  | [is searchable, width as read]          | 0x000020     |
//   | 2    | [is unique]                             | 0x000010     |
//   | 4    | [octet length]                          | 0x000008     |
//   | 2    | is visible, FFFF / 0000                 | -            |
//   | ...  | trailer kept as read (computed columns) | 0x000004     |
//
//   Row records (N columns, K of them nullable; maps: column 1 = bit 7 of the first byte)
//   | record          | bytes                                                                  |
//   |-----------------|------------------------------------------------------------------------|
//   | unchanged       | 07, presence map ceil(K/8) bytes (1 = value; unused bits 1),           |
//   |                 | values of the present columns                                          |
//   | changed         | 07 + original values as above, then 0A, update map ceil(N/8),          |
//   |                 | force-null map ceil(N/8) (unused bits 0), values of updated columns    |
//   | deleted         | 07 + original values as above, then 0C                                 |
//   | inserted        | 0D, update map, force-null map, values of the supplied non-NULL columns |
//
//   Values: fixed-size types as their little-endian bytes; text and binary (capacity = max
//   length, twice that for UTF-16): capacity > 255 -> u32 byte length + bytes; fixed-length and
//   capacity <= 255 -> exactly capacity bytes; otherwise u8 byte length + bytes.
#include <algorithm>
#include <memory>

#include "platform/ado/AdoBytes.h"
#include "platform/ado/AdtgCodec.h"

namespace qorvin::ado {

namespace {

// The body of one metadata element.
class Body {
 public:
  void U8(uint8_t v) { bytes_ += char(v); }
  void U16(uint16_t v) {
    U8(uint8_t(v));
    U8(uint8_t(v >> 8));
  }
  void U32(uint32_t v) {
    U16(uint16_t(v));
    U16(uint16_t(v >> 16));
  }
  void Bytes(const void* data, size_t n) { bytes_.append(static_cast<const char*>(data), n); }
  void Lps(std::u16string_view text) {
    if (text.size() > 0xFFFF) throw EAdoError("A name longer than 65 535 units cannot be saved");
    U16(uint16_t(text.size()));
    for (const char16_t c : text) U16(c);
  }
  const std::string& Bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// Buffers output in 64 KiB pieces; a value larger than a piece goes to the stream directly.
class ByteWriter {
 public:
  explicit ByteWriter(TStream& target) : target_(target), buffer_(new uint8_t[kPiece]) {}

  void Flush() {
    if (used_ != 0) target_.WriteBuffer(buffer_.get(), int64_t(used_));
    used_ = 0;
  }
  uint8_t* Room(size_t n) {
    if (used_ + n > kPiece) Flush();
    uint8_t* at = buffer_.get() + used_;
    used_ += n;
    return at;
  }
  void U8(uint8_t v) { *Room(1) = v; }
  void U16(uint16_t v) { StoreLE<uint16_t>(Room(2), v); }
  void U32(uint32_t v) { StoreLE<uint32_t>(Room(4), v); }
  void Bytes(const void* data, size_t n) {
    if (n > kPiece) {
      Flush();
      target_.WriteBuffer(data, int64_t(n));
      return;
    }
    if (n != 0) std::memcpy(Room(n), data, n);
  }
  // An element with a u16 size: token, size, body.
  void Element(uint8_t token, const std::string& body, const char* what) {
    if (body.size() > 0xFFFF)
      throw EAdoError(Format("The %s is larger than 65 535 bytes and cannot be saved", what));
    U8(token);
    U16(uint16_t(body.size()));
    Bytes(body.data(), body.size());
  }

 private:
  static constexpr size_t kPiece = 64 * 1024;
  TStream& target_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t used_ = 0;
};

void WriteColumn(ByteWriter& out, const TFieldDef& def, int ordinal) {
  using X = AdtgColumnExtras;
  const X& x = def.adtg;
  const uint32_t presence = x.presence;
  Body w;
  w.U8(uint8_t(presence >> 16));
  w.U8(uint8_t(presence >> 8));
  w.U8(uint8_t(presence));
  w.U16(uint16_t(ordinal));
  if (presence & X::kName) w.Lps(def.name);
  if (presence & X::kBaseTableOrdinal) w.U16(x.baseTableOrdinal);
  if (presence & X::kBaseColumnOrdinal) w.U16(x.baseColumnOrdinal);
  if (presence & X::kBaseColumnName) w.Lps(x.baseColumnName);
  w.U16(def.adoType);
  w.U32(def.maxLength);
  w.U32(def.precision);
  w.U32(uint32_t(def.numericScale));
  w.U32(def.attributes);
  if (presence & X::kCatalog) w.Lps(x.baseCatalogName);
  if (presence & X::kSchema) w.Lps(x.baseSchemaName);
  if (presence & X::kCollating) w.U32(uint32_t(x.collatingSequence));
  if (presence & X::kComputeMode) w.U32(uint32_t(x.computeMode));
  if (presence & X::kDateTimePrecision) w.U32(x.dateTimePrecision);
  if (presence & X::kDefaultValue) w.Bytes(x.defaultValue.data(), 16);
  if (presence & X::kAutoIncrement) w.U16(def.autoIncrement ? 0xFFFF : 0);
  if (presence & X::kCaseSensitive) w.U16(x.isCaseSensitive);
  if (presence & X::kMultivalued) w.U16(x.isMultivalued);
  if (presence & X::kSearchable) {
    if (x.searchableWidth == 2)
      w.U16(uint16_t(x.isSearchable));
    else
      w.U32(x.isSearchable);
  }
  if (presence & X::kUnique) w.U16(x.isUnique);
  if (presence & X::kOctetLength) w.U32(x.octetLength);
  w.U16(def.visible ? 0xFFFF : 0);
  w.Bytes(x.trailer.data(), x.trailer.size());
  out.Element(0x06, w.Bytes(), "column descriptor");
}

void WriteMetadata(ByteWriter& w, const AdtgImageInfo& info, const TFieldDefs& defs,
                   const RowStore& rows) {
  static const uint8_t kHeader[9] = {0x01, 0x07, 'T', 'G', '!', 0, 0, 0, 0};
  w.Bytes(kHeader, sizeof kHeader);
  w.Element(0x02, info.handlerOptions, "handler options element");

  if (defs.Count() > 0xFFFF || info.tables.size() > 0xFFFF)
    throw EAdoError("A record set of more than 65 535 columns or tables cannot be saved");
  const auto visible = std::count_if(defs.begin(), defs.end(), [](auto& d) { return d.visible; });
  const auto pending = std::count_if(rows.Rows().begin(), rows.Rows().end(),
                                     [](auto& e) { return e.status != TRowStatus::Deleted; });
  Body result;
  result.Bytes(info.descriptorGuid.data(), 16);
  result.U8(info.resultInfo);
  result.U8(info.cursorModel);
  result.U8(info.normalization);
  result.U16(uint16_t(visible));
  result.U16(uint16_t(defs.Count()));
  result.U16(info.computedColumns);
  result.U16(uint16_t(info.tables.size()));
  result.U16(info.orderByColumns);
  result.U32(uint32_t(pending));
  result.Bytes(info.resultProperties.data(), info.resultProperties.size());
  w.Element(0x03, result.Bytes(), "result descriptor");

  w.Element(0x10, info.context, "record-set context");
  for (const std::string& table : info.tables) w.Element(0x05, table, "table descriptor");
  for (int i = 0; i < defs.Count(); ++i) WriteColumn(w, defs[i], i + 1);
}

class RowWriter {
 public:
  RowWriter(ByteWriter& w, const RowStore& store)
      : w_(w), store_(store), layout_(store.Layout()), columns_(layout_.Count()) {}

  void Write(const RowEntry& row) {
    switch (row.status) {
      case TRowStatus::Unchanged:
        WriteOriginal(row.current);
        break;
      case TRowStatus::Modified:
        WriteOriginal(row.original);
        w_.U8(0x0A);
        WriteChanges(row.current);
        break;
      case TRowStatus::Deleted:
        WriteOriginal(row.original);
        w_.U8(0x0C);
        break;
      case TRowStatus::Inserted:
        w_.U8(0x0D);
        WriteChanges(row.current);
        break;
    }
  }

 private:
  void WriteCell(const uint8_t* rec, int col) {
    const CellPlan& cell = layout_.cells[size_t(col)];
    if (cell.form == CellForm::Fixed) {
      w_.Bytes(store_.Cell(rec, col), cell.width);
      return;
    }
    const std::string_view bytes = store_.Var(rec, col);
    if (cell.form == CellForm::VarU8) {
      if (bytes.size() > 255) throw EAdoError("A value longer than its column cannot be saved");
      w_.U8(uint8_t(bytes.size()));
    } else if (cell.form == CellForm::VarU32) {
      w_.U32(uint32_t(bytes.size()));
    } else if (bytes.size() != cell.width) {
      throw EAdoError("A fixed-length value of the wrong length cannot be saved");
    }
    w_.Bytes(bytes.data(), bytes.size());
  }

  void WriteOriginal(uint32_t id) {
    const uint8_t* rec = store_.Record(id);
    w_.U8(0x07);
    const size_t mapBytes = size_t(layout_.nullableCount + 7) / 8;
    uint8_t* map = w_.Room(mapBytes);
    std::memset(map, 0xFF, mapBytes);
    int nullable = 0;
    for (int col = 0; col < columns_; ++col) {
      const bool present = store_.Present(rec, col);
      if (layout_.cells[size_t(col)].nullable) {
        if (!present) RowStore::SetBit(map, nullable, false);
        ++nullable;
      } else if (!present) {  // the dataset's Post() never lets such a row through
        throw EAdoError("A row with NULL in a column that takes no NULLs cannot be saved");
      }
    }
    // The map is complete before the first value is written (a value may flush the buffer).
    for (int col = 0; col < columns_; ++col)
      if (store_.Present(rec, col)) WriteCell(rec, col);
  }

  void WriteChanges(uint32_t id) {
    const uint8_t* rec = store_.Record(id);
    const uint32_t bytes = layout_.bitmapBytes;
    uint8_t* update = w_.Room(2 * size_t(bytes));
    uint8_t* forceNull = update + bytes;
    std::memset(update, 0, 2 * size_t(bytes));
    for (int col = 0; col < columns_; ++col) {
      if (!store_.Touched(rec, col)) continue;
      RowStore::SetBit(store_.Present(rec, col) ? update : forceNull, col, true);
    }
    for (int col = 0; col < columns_; ++col)
      if (store_.Touched(rec, col) && store_.Present(rec, col)) WriteCell(rec, col);
  }

  ByteWriter& w_;
  const RowStore& store_;
  const RowLayout& layout_;
  int columns_;
};

}  // namespace

void WriteAdtg(const AdtgImageInfo& info, const TFieldDefs& defs, const RowStore& rows,
               TStream& target) {
  ByteWriter w(target);
  WriteMetadata(w, info, defs, rows);
  RowWriter rowWriter(w, rows);
  for (const RowEntry& row : rows.Rows())
    if (row.status == TRowStatus::Deleted) rowWriter.Write(row);
  for (const RowEntry& row : rows.Rows())
    if (row.status != TRowStatus::Deleted) rowWriter.Write(row);
  w.U8(0x0F);
  w.Flush();
}

}  // namespace qorvin::ado

namespace qorvin {

AdtgImageInfo AdtgImageInfo::Default() {
  static const uint8_t kHandler[25] = {0xB6, 0x92, 0xF2, 0x3F, 0x04, 0xB2, 0xCF, 0x11, 0x8D,
                                       0x23, 0x00, 0xAA, 0x00, 0x5F, 0xFE, 0x58, 0x01};
  static const uint8_t kGuid[16] = {0xD2, 0xAD, 0x63, 0xF6, 0x02, 0xEB, 0xCF, 0x11,
                                    0xB0, 0xE3, 0x00, 0xAA, 0x00, 0x3F, 0x00, 0x0F};
  // One ADC set: Auto Recalc = 1, Update Resync = 1, five empty strings.
  static const uint8_t kResultProperties[70] = {
      0x01, 0x00, 0xC1, 0x3C, 0x8E, 0xB6, 0xEB, 0x6D, 0xD0, 0x11, 0x8D, 0xF6, 0x00, 0xAA,
      0x00, 0x5F, 0xFE, 0x58, 0x07, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x00,
      0x00, 0x00, 0x13, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00, 0x0D, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0F, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00};
  // ROWSET: IRowsetChange = TRUE, IRowsetUpdate = TRUE, COMMANDTIMEOUT = 0, MAXROWS = 0;
  // ADC: Batch Size 15, Update Criteria 2, Background Fetch Size 15, Initial Fetch Size 50,
  // Background Thread Priority 3.
  static const uint8_t kContext[124] = {
      0x02, 0x00, 0xBE, 0x22, 0xB5, 0xC8, 0xF3, 0x5C, 0xCE, 0x11, 0xAD, 0xE5, 0x00, 0xAA,
      0x00, 0x44, 0x77, 0x3D, 0x04, 0x00, 0x7F, 0x00, 0x00, 0x00, 0x02, 0x00, 0xFF, 0xFF,
      0x86, 0x00, 0x00, 0x00, 0x02, 0x00, 0xFF, 0xFF, 0x22, 0x00, 0x00, 0x00, 0x04, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x49, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,
      0xC1, 0x3C, 0x8E, 0xB6, 0xEB, 0x6D, 0xD0, 0x11, 0x8D, 0xF6, 0x00, 0xAA, 0x00, 0x5F,
      0xFE, 0x58, 0x05, 0x00, 0x04, 0x00, 0x00, 0x00, 0x04, 0x00, 0x0F, 0x00, 0x00, 0x00,
      0x05, 0x00, 0x00, 0x00, 0x04, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
      0x04, 0x00, 0x0F, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x04, 0x00, 0x32, 0x00,
      0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x04, 0x00, 0x03, 0x00, 0x00, 0x00};
  AdtgImageInfo info;
  info.handlerOptions.assign(reinterpret_cast<const char*>(kHandler), sizeof kHandler);
  std::copy(std::begin(kGuid), std::end(kGuid), info.descriptorGuid.begin());
  info.resultProperties.assign(reinterpret_cast<const char*>(kResultProperties),
                               sizeof kResultProperties);
  info.context.assign(reinterpret_cast<const char*>(kContext), sizeof kContext);
  return info;
}

}  // namespace qorvin
