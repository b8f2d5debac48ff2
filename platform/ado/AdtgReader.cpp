// Reading a flat ADTG tablegram. Every read goes through `ByteReader`, which checks the bytes left
// before it hands any out; lengths from the image are checked against what is left before
// anything is allocated for them. The layouts are in AdtgWriter.cpp.
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/ado/AdoBytes.h"
#include "platform/ado/AdtgCodec.h"

namespace qorvin::ado {

namespace {

constexpr uint8_t kTokenHeader = 0x01, kTokenHandler = 0x02, kTokenResult = 0x03,
                  kTokenContext = 0x10, kTokenTable = 0x05, kTokenColumn = 0x06,
                  kTokenOriginal = 0x07, kTokenChange = 0x0A, kTokenDelete = 0x0C,
                  kTokenInsert = 0x0D, kTokenDone = 0x0F;
constexpr uint32_t kMaxLength32 = 0x7FFFFFFF;

// Raised by a reader over a window that holds only part of the image, when it needs bytes past
// the window's end: the caller fills the window further and reads the same element again.
struct NeedMoreBytes {};

class ByteReader {
 public:
  // `origin`: where image offset `originOffset` lies. `partial`: more of the image may follow
  // `end` (a window), so running out there asks for more instead of failing.
  ByteReader(const uint8_t* begin, const uint8_t* end, const uint8_t* origin,
             size_t originOffset = 0, bool partial = false)
      : p_(begin), end_(end), origin_(origin), originOffset_(originOffset), partial_(partial) {}

  size_t Offset() const { return originOffset_ + size_t(p_ - origin_); }
  size_t Left() const { return size_t(end_ - p_); }
  const uint8_t* Position() const { return p_; }
  bool AtEnd() const { return p_ == end_; }
  // AtEnd, for a reader that must know whether the image itself ends here.
  bool AtImageEnd() const {
    if (p_ == end_ && partial_) throw NeedMoreBytes{};
    return p_ == end_;
  }

  [[noreturn]] void Fail(const char* what) const {
    throw EAdoError(Format("Invalid ADTG image: %s at offset %zu", what, Offset()));
  }
  const uint8_t* Take(size_t n, const char* what) {
    if (Left() < n) {
      if (partial_) throw NeedMoreBytes{};
      throw EAdoError(Format("Invalid ADTG image: %s at offset %zu needs %zu bytes, %zu left", what,
                             Offset(), n, Left()));
    }
    const uint8_t* at = p_;
    p_ += n;
    return at;
  }
  uint8_t Peek(const char* what) const {
    if (AtImageEnd()) Fail(what);
    return *p_;
  }
  uint8_t U8(const char* what) { return *Take(1, what); }
  uint16_t U16(const char* what) { return LoadLE<uint16_t>(Take(2, what)); }
  uint32_t U32(const char* what) { return LoadLE<uint32_t>(Take(4, what)); }
  // u16 count of UTF-16 units, then the units.
  std::u16string Lps(const char* what) {
    const uint16_t units = U16(what);
    const uint8_t* bytes = Take(size_t(units) * 2, what);
    std::u16string text(units, u'\0');
    for (size_t i = 0; i < units; ++i) text[i] = char16_t(LoadLE<uint16_t>(bytes + 2 * i));
    return text;
  }
  // The body of an element: its token (checked), u16 size, then a reader over exactly the body.
  ByteReader Element(uint8_t token, const char* what) {
    if (U8(what) != token) {
      --p_;
      Fail(what);
    }
    const uint16_t size = U16(what);
    const uint8_t* body = Take(size, what);
    return ByteReader(body, body + size, origin_, originOffset_);
  }
  std::string Rest() {
    std::string bytes(reinterpret_cast<const char*>(p_), Left());
    p_ = end_;
    return bytes;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
  const uint8_t* origin_;
  size_t originOffset_;
  bool partial_;
};

// u16 set count, then per set: GUID, u16 property count, per property: u32 id, u16 size, bytes.
void CheckPropertySets(ByteReader body, const char* what) {
  if (body.AtEnd()) return;
  const uint16_t sets = body.U16(what);
  for (uint16_t s = 0; s < sets; ++s) {
    body.Take(16, what);
    const uint16_t props = body.U16(what);
    for (uint16_t p = 0; p < props; ++p) {
      body.U32(what);
      body.Take(body.U16(what), what);
    }
  }
  if (!body.AtEnd()) body.Fail("bytes after the property sets");
}

void ReadHeader(ByteReader& r) {
  const uint8_t* h = r.Take(9, "header");
  if (h[0] != kTokenHeader || h[1] != 7 || h[2] != 'T' || h[3] != 'G' || h[4] != '!')
    throw EAdoError("Invalid ADTG image: no tablegram header at offset 0");
  if (h[5] != 0 || h[6] != 0)
    throw EAdoError(Format("Unsupported ADTG image: version %u.%u", h[5], h[6]));
  if (h[7] != 0) throw EAdoError("Unsupported ADTG image: big-endian byte order");
  if (h[8] != 0) throw EAdoError("Unsupported ADTG image: Unicode string format");
}

void ReadHandlerOptions(ByteReader& r, AdtgImageInfo& info) {
  ByteReader body = r.Element(kTokenHandler, "handler options");
  info.handlerOptions = ByteReader(body).Rest();
  body.Take(17, "handler options");  // record-set GUID, update type
  for (int i = 0; i < 3; ++i) body.Lps("handler option string");
  body.U16("handler options");  // async options; later bytes are kept as they are
}

struct Counts {
  uint16_t visible = 0, total = 0, tables = 0;
  uint32_t rows = 0;
};

Counts ReadResultDescriptor(ByteReader& r, AdtgImageInfo& info) {
  ByteReader body = r.Element(kTokenResult, "result descriptor");
  const uint8_t* fixed = body.Take(33, "result descriptor");
  std::copy(fixed, fixed + 16, info.descriptorGuid.begin());
  info.resultInfo = fixed[16];
  info.cursorModel = fixed[17];
  info.normalization = fixed[18];
  Counts counts;
  counts.visible = LoadLE<uint16_t>(fixed + 19);
  counts.total = LoadLE<uint16_t>(fixed + 21);
  info.computedColumns = LoadLE<uint16_t>(fixed + 23);
  counts.tables = LoadLE<uint16_t>(fixed + 25);
  info.orderByColumns = LoadLE<uint16_t>(fixed + 27);
  counts.rows = LoadLE<uint32_t>(fixed + 29);
  info.resultProperties = ByteReader(body).Rest();
  CheckPropertySets(body, "result descriptor properties");
  return counts;
}

void ReadContext(ByteReader& r, AdtgImageInfo& info) {
  ByteReader body = r.Element(kTokenContext, "record-set context");
  info.context = ByteReader(body).Rest();
  CheckPropertySets(body, "record-set context properties");
}

void ReadTable(ByteReader& r, AdtgImageInfo& info) {
  ByteReader body = r.Element(kTokenTable, "table descriptor");
  info.tables.push_back(ByteReader(body).Rest());
  body.U16("table descriptor");  // ordinal
  body.Lps("table name");
  body.Lps("table name");
  body.Take(4, "table descriptor");  // code page, column count
  const uint16_t keys = body.U16("table descriptor");
  body.Take(size_t(keys) * 2, "table key ordinals");
  if (!body.AtEnd()) body.Fail("bytes after the table descriptor");
}

// Width of IsSearchable (2 or 4 bytes): the one whose remaining fields fill the descriptor
// exactly; 4 (the wider reading) when a trailer follows and neither does.
uint8_t SearchableWidth(const ByteReader& body, uint32_t presence) {
  const size_t after = ((presence & AdtgColumnExtras::kUnique) ? 2 : 0) +
                       ((presence & AdtgColumnExtras::kOctetLength) ? 4 : 0) + 2;
  return body.Left() == after + 2 ? 2 : 4;
}

TFieldDef ReadColumn(ByteReader& r, int ordinal) {
  using X = AdtgColumnExtras;
  constexpr uint32_t kKnown = X::kName | X::kBaseTableOrdinal | X::kBaseColumnOrdinal |
                              X::kBaseColumnName | X::kCatalog | X::kSchema | X::kCollating |
                              X::kComputeMode | X::kDateTimePrecision | X::kDefaultValue |
                              X::kAutoIncrement | X::kCaseSensitive | X::kMultivalued |
                              X::kSearchable | X::kUnique | X::kOctetLength | 0x000004;
  const char* what = "column descriptor";
  ByteReader body = r.Element(kTokenColumn, what);
  TFieldDef def;
  X& x = def.adtg;
  const uint8_t* map = body.Take(3, what);
  x.presence = uint32_t(map[0]) << 16 | uint32_t(map[1]) << 8 | map[2];
  if (x.presence & ~kKnown) body.Fail("column descriptor with unknown optional fields");
  if (body.U16(what) != ordinal) body.Fail("column descriptor out of ordinal order");
  if (x.presence & X::kName) def.name = body.Lps("column name");
  if (x.presence & X::kBaseTableOrdinal) x.baseTableOrdinal = body.U16(what);
  if (x.presence & X::kBaseColumnOrdinal) x.baseColumnOrdinal = body.U16(what);
  if (x.presence & X::kBaseColumnName) x.baseColumnName = body.Lps("base column name");
  def.adoType = body.U16(what);
  def.maxLength = body.U32(what);
  def.precision = body.U32(what);
  def.numericScale = int32_t(body.U32(what));
  def.attributes = body.U32(what);
  if (def.adoType == 0x0088 || (def.attributes & adFldIsChapter))
    body.Fail("chapter column (hierarchical record sets are not supported)");
  if (!IsSupportedAdoType(def.adoType)) body.Fail("column of an unsupported type code");
  if (x.presence & X::kCatalog) x.baseCatalogName = body.Lps("base catalog name");
  if (x.presence & X::kSchema) x.baseSchemaName = body.Lps("base schema name");
  if (x.presence & X::kCollating) x.collatingSequence = int32_t(body.U32(what));
  if (x.presence & X::kComputeMode) x.computeMode = int32_t(body.U32(what));
  if (x.presence & X::kDateTimePrecision) x.dateTimePrecision = body.U32(what);
  if (x.presence & X::kDefaultValue) {
    const uint8_t* v = body.Take(16, what);
    std::copy(v, v + 16, x.defaultValue.begin());
  }
  if (x.presence & X::kAutoIncrement) def.autoIncrement = body.U16(what) != 0;
  if (x.presence & X::kCaseSensitive) x.isCaseSensitive = body.U16(what);
  if (x.presence & X::kMultivalued) x.isMultivalued = body.U16(what);
  if (x.presence & X::kSearchable) {
    x.searchableWidth = SearchableWidth(body, x.presence);
    x.isSearchable = x.searchableWidth == 2 ? body.U16(what) : body.U32(what);
  }
  if (x.presence & X::kUnique) x.isUnique = body.U16(what);
  if (x.presence & X::kOctetLength) x.octetLength = body.U32(what);
  def.visible = body.U16(what) != 0;
  x.trailer = body.Rest();
  def.dataType = FieldTypeFromAdo(def.adoType, def.attributes, def.precision, def.numericScale,
                                  def.autoIncrement);
  return def;
}

// ---- rows ---------------------------------------------------------------------------------

class RowReader {
 public:
  RowReader(ByteReader& r, RowStore& store)
      : r_(r), store_(store), layout_(store.Layout()), columns_(layout_.Count()) {
    presenceBytes_ = size_t(layout_.nullableCount + 7) / 8;
  }

  // Every row up to the done token, into the store.
  void ReadAll(uint32_t rowCountHint);
  // The next row (an original row with its change or deletion, or an insertion) into the store;
  // false at the done token.
  bool ReadRow(RowEntry& entry);

 private:
  void ReadCell(uint8_t* rec, int col);
  uint32_t ReadOriginal();
  uint32_t ReadChanges(uint32_t base);
  size_t MinimumRowBytes() const;

  ByteReader& r_;
  RowStore& store_;
  const RowLayout& layout_;
  int columns_;
  size_t presenceBytes_;
};

void RowReader::ReadCell(uint8_t* rec, int col) {
  const CellPlan& cell = layout_.cells[size_t(col)];
  const char* what = "row value";
  size_t size = cell.width;
  switch (cell.form) {
    case CellForm::Fixed:
      std::memcpy(store_.Cell(rec, col), r_.Take(size, what), size);
      store_.SetPresent(rec, col, true);
      return;
    case CellForm::VarU8:
      size = r_.U8(what);
      break;
    case CellForm::VarU32:
      size = r_.U32(what);
      if (size > kMaxLength32) r_.Fail("value length above 2^31 - 1");
      break;
    case CellForm::VarFixed:
      break;
  }
  const uint8_t* bytes = r_.Take(size, what);
  if (cell.wide && size % 2 != 0) r_.Fail("UTF-16 text of an odd byte length");
  if (cell.adoType == adVarNumeric && size < 3) r_.Fail("VARNUMERIC value shorter than 3 bytes");
  store_.SetVar(rec, col, bytes, size);
  store_.SetPresent(rec, col, true);
}

// `07`, presence bits of the nullable columns, values of the present columns.
uint32_t RowReader::ReadOriginal() {
  const uint8_t* presence = r_.Take(presenceBytes_, "row presence map");
  const uint32_t id = store_.NewRecord();
  uint8_t* rec = store_.Record(id);
  int nullable = 0;
  for (int col = 0; col < columns_; ++col) {
    if (layout_.cells[size_t(col)].nullable && !RowStore::Bit(presence, nullable++)) continue;
    ReadCell(rec, col);
  }
  return id;
}

// UpdateMap and ForceNullMap (one bit per column), then the values of the columns updated and not
// forced to NULL. `base`: the record the changes apply to (kNoRecord for an insertion).
uint32_t RowReader::ReadChanges(uint32_t base) {
  const uint8_t* update = r_.Take(layout_.bitmapBytes, "row update map");
  const uint8_t* forceNull = r_.Take(layout_.bitmapBytes, "row force-null map");
  const uint32_t id = base == kNoRecord ? store_.NewRecord() : store_.CopyRecord(base);
  uint8_t* rec = store_.Record(id);
  store_.ClearTouched(rec);
  for (int col = 0; col < columns_; ++col) {
    if (RowStore::Bit(forceNull, col)) {
      store_.SetPresent(rec, col, false);
      store_.SetTouched(rec, col, true);
    } else if (RowStore::Bit(update, col)) {
      ReadCell(rec, col);
      store_.SetTouched(rec, col, true);
    }
  }
  return id;
}

// The fewest bytes any row record can take: bounds how much room a row-count hint may reserve.
size_t RowReader::MinimumRowBytes() const {
  size_t original = 1 + presenceBytes_;
  for (const CellPlan& cell : layout_.cells) {
    if (cell.nullable) continue;
    original += cell.form == CellForm::VarU8 ? 1 : cell.form == CellForm::VarU32 ? 4 : cell.width;
  }
  return std::min(original, 1 + 2 * size_t(layout_.bitmapBytes));
}

bool RowReader::ReadRow(RowEntry& entry) {
  const uint8_t token = r_.U8("row token or done token");
  if (token == kTokenDone) return false;
  entry = RowEntry();
  if (token == kTokenOriginal) {
    entry.current = ReadOriginal();
    const uint8_t next = r_.AtImageEnd() ? kTokenDone : r_.Peek("");
    if (next == kTokenChange) {
      r_.U8("");
      entry.original = entry.current;
      entry.current = ReadChanges(entry.original);
      entry.status = TRowStatus::Modified;
    } else if (next == kTokenDelete) {
      r_.U8("");
      entry.original = entry.current;
      entry.status = TRowStatus::Deleted;
    }
    return true;
  }
  if (token == kTokenInsert) {
    entry.current = ReadChanges(kNoRecord);
    entry.status = TRowStatus::Inserted;
    return true;
  }
  if (token == kTokenChange || token == kTokenDelete)
    throw EAdoError(
        Format("Invalid ADTG image: change or delete record without an original row at offset %zu",
               r_.Offset() - 1));
  if (token >= 0x80)
    throw EAdoError(
        Format("Unsupported ADTG image: child row token 0x%02X at offset %zu (hierarchical record "
               "sets are not supported)",
               token, r_.Offset() - 1));
  throw EAdoError(
      Format("Invalid ADTG image: unknown row token 0x%02X at offset %zu", token, r_.Offset() - 1));
}

void RowReader::ReadAll(uint32_t rowCountHint) {
  const size_t hint = std::min<size_t>(rowCountHint, r_.Left() / MinimumRowBytes());
  store_.ReserveRecords(hint);
  store_.Rows().reserve(hint);
  // Variable-length bytes: what is left after the fixed part of `hint` full rows (the hint only
  // sizes a reservation; the heap still grows as needed).
  size_t fixedPart = 1 + presenceBytes_;
  bool anyVariable = false;
  for (const CellPlan& cell : layout_.cells) {
    anyVariable |= cell.Variable();
    fixedPart += cell.form == CellForm::VarU8    ? 1
                 : cell.form == CellForm::VarU32 ? 4
                 : cell.form == CellForm::Fixed  ? cell.width
                                                 : 0;
  }
  if (anyVariable) store_.ReserveHeap(r_.Left() - std::min(r_.Left(), hint * fixedPart));
  RowEntry entry;
  while (ReadRow(entry)) store_.Rows().push_back(entry);
}

// Header, handler options, result descriptor, context, table and column descriptors: everything
// before the rows. Returns the counts the result descriptor states.
Counts ReadMetadata(ByteReader& r, AdtgImageInfo& info, TFieldDefs& defs) {
  ReadHeader(r);
  ReadHandlerOptions(r, info);
  const Counts counts = ReadResultDescriptor(r, info);
  ReadContext(r, info);
  while (r.Peek("metadata element") == kTokenTable) ReadTable(r, info);
  if (info.tables.size() != counts.tables)
    r.Fail("table descriptor count differs from the result descriptor");
  if (counts.total == 0) r.Fail("record set without columns");
  for (int ordinal = 1; ordinal <= counts.total; ++ordinal) {
    if (r.Peek("column descriptor") != kTokenColumn)
      r.Fail("fewer column descriptors than the result descriptor counts");
    defs.Add(ReadColumn(r, ordinal));
  }
  if (r.Peek("row token or done token") == kTokenColumn)
    r.Fail("more column descriptors than the result descriptor counts");
  return counts;
}

// A growing window over an image read piece by piece: the bytes not yet used, at image offset
// Offset(). It grows (doubling) only when the bytes it holds are not enough for one element, so
// its size stays within twice the largest element or row, and within what the source yields.
class Window {
 public:
  // The bytes are left uninitialised: a read of a few rows must not pay for clearing a whole
  // window it never fills (the allocator maps a large one fresh, and only pages that are
  // written are ever touched).
  Window(AdtgSource& source, size_t size)
      : source_(source), size_(std::max<size_t>(size, 64)), bytes_(new uint8_t[size_]) {}

  ByteReader Reader() const {
    const uint8_t* begin = bytes_.get() + begin_;
    return ByteReader(begin, bytes_.get() + end_, begin, offset_, !ended_);
  }
  size_t Offset() const { return offset_; }
  // Everything before `at` (a position of a reader from Reader()) has been used.
  void Consume(const uint8_t* at) {
    const size_t used = size_t(at - (bytes_.get() + begin_));
    begin_ += used;
    offset_ += used;
  }
  // Moves the unused bytes to the front, grows when they fill the window, and reads until the
  // window is full or the source ends.
  void Fill() {
    if (begin_ > 0) {
      std::memmove(bytes_.get(), bytes_.get() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (end_ == size_) {
      std::unique_ptr<uint8_t[]> grown(new uint8_t[size_ * 2]);
      std::memcpy(grown.get(), bytes_.get(), end_);
      bytes_ = std::move(grown);
      size_ *= 2;
    }
    while (end_ < size_ && !ended_) {
      const size_t got = source_.Read(bytes_.get() + end_, size_ - end_);
      if (got == 0) ended_ = true;
      end_ += got;
    }
  }

 private:
  AdtgSource& source_;
  size_t size_;
  std::unique_ptr<uint8_t[]> bytes_;
  size_t begin_ = 0, end_ = 0;  // the unused bytes
  size_t offset_ = 0;           // image offset of bytes_[begin_]
  bool ended_ = false;
};

}  // namespace

size_t ReadAdtg(std::span<const uint8_t> bytes, AdtgImage& image) {
  ByteReader r(bytes.data(), bytes.data() + bytes.size(), bytes.data());
  const Counts counts = ReadMetadata(r, image.info, image.defs);
  image.rows.Reset(RowLayout::For(image.defs));
  try {
    RowReader(r, image.rows).ReadAll(counts.rows);
  } catch (const EAdoError& e) {
    throw EAdoError(Format("%s (row %zu)", e.what(), image.rows.Rows().size() + 1));
  }
  return r.Offset();
}

namespace {

// The metadata of an image read through a window, read again from its start until the window
// holds all of it.
Counts ReadMetadata(Window& w, AdtgImageInfo& info, TFieldDefs& defs) {
  for (;;) {
    ByteReader r = w.Reader();
    try {
      AdtgImageInfo readInfo;
      TFieldDefs readDefs;
      const Counts counts = ReadMetadata(r, readInfo, readDefs);
      info = std::move(readInfo);
      defs = std::move(readDefs);
      w.Consume(r.Position());
      return counts;
    } catch (const NeedMoreBytes&) {
      w.Fill();
    }
  }
}

// Reads the rows after the metadata through a window into `store`, one at a time: each row's
// records are rewound and the row read again from its first byte when the window ends inside it.
// `keep` says whether the store keeps the rows (else it is recycled before each); `row` gets
// each row once read. Returns the image's size.
template <typename OnRow>
size_t ReadRows(Window& w, RowStore& store, bool keep, OnRow row) {
  size_t rowsRead = 0;
  for (;;) {
    ByteReader r = w.Reader();
    RowReader rows(r, store);
    RowEntry entry;
    bool more;
    if (!keep) store.Recycle();
    const size_t records = store.RecordCount(), heap = store.HeapSize();
    try {
      more = rows.ReadRow(entry);
    } catch (const NeedMoreBytes&) {
      store.Rewind(records, heap);
      w.Fill();
      continue;
    } catch (const EAdoError& e) {
      throw EAdoError(Format("%s (row %zu)", e.what(), rowsRead + 1));
    }
    w.Consume(r.Position());
    if (!more) return w.Offset();
    ++rowsRead;
    row(entry);
  }
}

// Room for the rows an image says it has, within a bound: the count is not to be trusted.
void ReserveRows(RowStore& store, uint32_t rowCountHint, size_t memoryLimit) {
  const size_t kMostReserved = std::min(size_t(64) << 20, memoryLimit / 4);
  const size_t recordSize = std::max<size_t>(store.RecordSize(), 1);
  const size_t rows = std::min<size_t>(rowCountHint, kMostReserved / recordSize);
  store.ReserveRecords(rows);
  store.Rows().reserve(rows);
}

}  // namespace

size_t ReadAdtgRows(AdtgSource& source, AdtgRowSink& sink, size_t window) {
  Window w(source, window);
  w.Fill();
  AdtgImageInfo info;
  TFieldDefs defs;
  const Counts counts = ReadMetadata(w, info, defs);
  RowStore store;
  store.Reset(RowLayout::For(defs));
  sink.Columns(defs, counts.rows);
  return ReadRows(w, store, false, [&](const RowEntry& entry) {
    if (entry.status != TRowStatus::Deleted) sink.Row(store, store.Record(entry.current));
  });
}

size_t ReadAdtg(AdtgSource& source, AdtgImage& image, size_t window, const AdtgMemoryCheck* check) {
  Window w(source, window);
  w.Fill();
  const Counts counts = ReadMetadata(w, image.info, image.defs);
  image.rows.Reset(RowLayout::For(image.defs));
  const bool checked = check != nullptr && check->grown;
  ReserveRows(image.rows, counts.rows, checked ? check->limit : ~size_t(0));
  RowStore& store = image.rows;
  size_t reported = 0;
  const auto measure = [&] {
    const size_t held = store.HeldBytes() + store.Rows().size() * kAdtgCursorBytesPerRow;
    if (held != reported) {
      reported = held;
      check->grown(held);
    }
  };
  if (checked) measure();
  const size_t used = ReadRows(w, store, true, [&](const RowEntry& entry) {
    store.Rows().push_back(entry);
    // When a block grew, or the cursor's part by 64 KiB.
    if (checked && store.HeldBytes() + store.Rows().size() * kAdtgCursorBytesPerRow >
                       reported + (size_t(1) << 16))
      measure();
  });
  if (checked) measure();
  return used;
}

}  // namespace qorvin::ado
