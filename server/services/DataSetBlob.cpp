#include "server/services/DataSetBlob.h"

#include <malloc.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <system_error>

#include "datastream/uConvertAdo.h"
#include "platform/ado/AdoDataSet.h"
#include "platform/ado/AdoValues.h"
#include "platform/ado/AdtgStreamWriter.h"
#include "platform/rtl/BackgroundWriteStream.h"
#include "platform/rtl/Text.h"
#include "platform/zlib/FastZlib.h"
#include "platform/zlib/ZStream.h"
#include "server/db/SqlTokenizer.h"
#include "server/services/ImageDeflateStream.h"

namespace qorvin::server {
namespace {

constexpr int kFastestLevel = 1;
constexpr uint32_t kMaxDecimalDigits = 38;     // a NUMERIC column
constexpr uint32_t kMaxVarNumericDigits = 64;  // a VARNUMERIC column (and a BCD value)

std::vector<std::u16string> UniqueNames(const ResultTable& table) {
  std::vector<std::u16string> names;
  std::set<std::string> seen;  // ASCII upper case
  for (size_t i = 0; i < table.columns.size(); ++i) {
    std::string base = table.columns[i].name;
    if (base.empty()) base = "Column" + std::to_string(i + 1);
    std::string name = base;
    for (int n = 2; seen.count(AsciiUpper(name)); ++n) name = base + "_" + std::to_string(n);
    seen.insert(AsciiUpper(name));
    names.push_back(Utf8ToUtf16(name));
  }
  return names;
}

// Rows streamed into the record-set writer per batch.
constexpr size_t kBatchRows = 4096;

// Cells from which a result set is compressed on a thread of its own while it is encoded.
constexpr int64_t kBackgroundCells = 64 * 1024;

// A write-only stream that appends to a string.
class StringSink : public TStream {
 public:
  explicit StringSink(std::string& out) : out_(out) {}
  int64_t Read(void*, int64_t) override { throw EStreamError("The blob sink cannot be read"); }
  int64_t Write(const void* buffer, int64_t count) override {
    out_.append(static_cast<const char*>(buffer), size_t(count));
    return count;
  }
  int64_t Seek(int64_t offset, SeekOrigin origin) override {
    const int64_t end = int64_t(out_.size());
    const bool atEnd = origin == SeekOrigin::Beginning ? offset == end : offset == 0;
    if (!atEnd) throw EStreamError("The blob sink can only append");
    return end;
  }
  int64_t Size() const override { return int64_t(out_.size()); }
  void SetSize(int64_t) override { throw EStreamError("The blob sink can only append"); }

 private:
  std::string& out_;
};

// Field definitions of `table` on a fresh record set (which gives the image information too).
// A decimal column of up to 38 digits is a NUMERIC column; one of 39 to 64 digits (values of
// different scales together: 20 whole digits and 21 places, say) a VARNUMERIC column, which
// holds every value exactly. Wider ones cannot be held exactly: the read is refused, naming the
// column, rather than rounded. `asFloat` is kept for the writers' loops and is never set now.
void DefineFields(const ResultTable& table, TAdoDataSet& ds, std::vector<bool>& asFloat) {
  std::vector<std::u16string> names = UniqueNames(table);
  asFloat.assign(table.columns.size(), false);
  for (size_t i = 0; i < table.columns.size(); ++i) {
    const ResultColumn& c = table.columns[i];
    TFieldType type = c.type;
    uint32_t size = c.size;
    uint32_t precision = c.precision;
    if (type == ftFMTBcd) {
      precision = std::max({precision, size, 1u});
      if (precision > kMaxVarNumericDigits)
        throw EDatabaseError(
            Format("Column %s holds decimals of %u digits (%u after the point) together, more "
                   "than the 64 a record set holds exactly; cast it to a narrower numeric or to "
                   "text in the query",
                   Utf16ToUtf8(names[i]).c_str(), precision, size));
      if (precision > kMaxDecimalDigits) {
        ds.MutableFieldDefs().Add(MakeColumnDef(names[i], adVarNumeric, size, precision, false));
        continue;
      }
    }
    if (type == ftWideString) size = std::max(size, 1u);
    ds.MutableFieldDefs().Add(names[i], type, size, false, precision);
  }
}

// Whether the packed cell went into its column as SetCellValue of its settled value would put it,
// without making that value: text kept as the database gave it into a wide column, integers and
// reals kept (or made 32- or 64-bit integers) into number columns; the bulk of a result's cells.
// False, with the cell unchanged, for anything else.
bool TakenWithoutVariant(const TFieldDef& def, RowStore& batch, uint8_t* rec, int col,
                         const PackedRows::Reader::Raw& cell) {
  switch (cell.tag) {
    case CellTag::Text8:
      return cell.mapping == CellMapping::Keep &&
             ado::SetWideCellFromUtf8(
                 def, batch, rec, col,
                 {reinterpret_cast<const char*>(cell.value), size_t(cell.length)});
    case CellTag::Int: {
      int64_t v;
      std::memcpy(&v, cell.value, 8);
      if (cell.mapping == CellMapping::ToInt32) v = int32_t(v);  // as MapCell makes it
      return (cell.mapping == CellMapping::Keep || cell.mapping == CellMapping::ToInt32 ||
              cell.mapping == CellMapping::ToInt64) &&
             ado::SetNumberCell(batch, rec, col, v);
    }
    case CellTag::Real: {
      double v;
      std::memcpy(&v, cell.value, 8);
      return (cell.mapping == CellMapping::Keep || cell.mapping == CellMapping::ToDouble) &&
             ado::SetNumberCell(batch, rec, col, v);
    }
    default:
      return false;
  }
}

// The record-set image of the packed rows of `pack` (fields of `ds`) written into `image`; with
// `consume`, the packed blocks are freed as they are written.
void WriteImage(const TAdoDataSet& ds, const std::vector<bool>& asFloat, PackedRows& pack,
                bool consume, TStream& image) {
  const TFieldDefs& defs = ds.FieldDefs();
  ado::AdtgStreamWriter writer(ds.ImageInfo(), defs, uint32_t(pack.RowCount()), image);
  RowStore& batch = writer.Batch();
  PackedRows::Reader reader(pack, consume);
  const int columns = pack.Columns();
  for (int64_t r = 0; r < pack.RowCount(); ++r) {
    const uint32_t id = batch.NewRecord();
    for (int c = 0; c < columns; ++c) {
      const PackedRows::Reader::Raw cell = reader.NextRaw();
      // Text as the database gave it, kept as it is, goes into a wide column without a Variant
      // (the bulk of a result's cells); anything that does not go so takes SetCellValue.
      if (TakenWithoutVariant(defs[c], batch, batch.Record(id), c, cell)) continue;
      Variant v = PackedRows::Reader::Settled(cell);
      if (asFloat[size_t(c)] && v.Kind() == varBcd)
        v = Variant::Double(std::stod(v.AsBcd().ToString()));
      ado::SetCellValue(defs[c], batch, batch.Record(id), c, v);
    }
    writer.AddRow(id);
    if (writer.BatchRows() >= kBatchRows) writer.WriteBatch();
  }
  writer.Finish();
}

// An image smaller than this goes in stored blocks (zlib level 0: still a zlib stream, which is
// all a reader takes). Compressing it cost more than sending it: the compressor sets up its
// tables for every call (about 9 µs for 1.5 KB, an eighth of a 10-row read's server CPU), while a
// kilobyte more takes 8 µs on a 1 Gbit/s link, and the database's own protocol sends such a
// result uncompressed as well.
constexpr size_t kStoredImageBytes = 2048;

// A small set's image, made in memory and deflated in one step: setting up a zlib stream (its
// quarter of a megabyte of state, allocated and cleared) cost a read of a few rows more than
// its rows did. ISA-L deflates it; where it cannot, the one-step path of the platform, and
// where there is none, zlib's stream.
void DeflateSmallImage(const TAdoDataSet& ds, const std::vector<bool>& asFloat, PackedRows& pack,
                       bool consume, std::string& blob) {
  TMemoryStream image;
  WriteImage(ds, asFloat, pack, consume, image);
  const std::span<const unsigned char> bytes = image.InMemory();
  if (bytes.size() >= kStoredImageBytes && DeflateImageWhole(bytes, blob)) return;
  const int level = bytes.size() < kStoredImageBytes ? 0 : ZLibLevelFromIndex(kFastestLevel);
  const size_t bound = DeflateWholeBound(bytes.size());
  if (bound == 0) {
    StringSink sink(blob);
    TZCompressionStream compressor(sink, level);
    compressor.Write(bytes.data(), int64_t(bytes.size()));
    compressor.Finish();
    return;
  }
  blob.resize(bound);
  const size_t n =
      DeflateWholeBuffer(bytes, level, {reinterpret_cast<uint8_t*>(blob.data()), blob.size()});
  if (n == 0) throw EDatabaseError("The result set could not be compressed");
  blob.resize(n);
}

// The packed rows of `table` streamed through the record-set writer into the zlib stream; with
// `consume`, the packed blocks are freed as they are written.
std::string PackedTableToBlob(const ResultTable& table, bool consume) {
  TAdoDataSet ds;
  std::vector<bool> asFloat;
  DefineFields(table, ds, asFloat);
  ds.Open();
  PackedRows& pack = *table.packed;
  if (pack.RowCount() > int64_t(UINT32_MAX))
    throw EDatabaseError("A result set of more than 4294967295 rows cannot be sent");
  std::string blob;
  const bool large = pack.RowCount() * pack.Columns() >= kBackgroundCells;
  if (!large) {
    DeflateSmallImage(ds, asFloat, pack, consume, blob);
  } else {
    // Room for the compressed set at once: growing the string would copy it each time. The
    // packed size bounds it closely enough (the image holds about as much, and compresses well
    // below that); what is reserved and never written costs address space only.
    blob.reserve(pack.ByteSize());
    StringSink sink(blob);
    TImageDeflateStream compressor(sink);
    // A large set is encoded on this thread and compressed on another.
    std::optional<TBackgroundWriteStream> background;
    try {
      background.emplace(compressor);
    } catch (const std::system_error&) {
      // No thread to be had: the set is compressed on this one.
    }
    WriteImage(ds, asFloat, pack, consume,
               background ? static_cast<TStream&>(*background) : compressor);
    if (background) background->Finish();
    compressor.Finish();
  }
  const int64_t recordsetSize = int64_t(blob.size());
  StringSink(blob).WriteLE<int64_t>(recordsetSize);
  return blob;
}

}  // namespace

void ReleaseFreeMemory(size_t held) {
  // Trimming hands every free page back, so the next call faults its pages in again (a small
  // read paid more for that than for its query). Only a heap holding much free memory, as after
  // a large result, is worth it. mallinfo2 sums every arena, walking their free lists: a call
  // that held a few megabytes cannot have left that much, and does not pay for the look.
  constexpr size_t kWorthLooking = size_t(4) << 20;
  constexpr size_t kWorthTrimming = size_t(16) << 20;
  if (held >= kWorthLooking && mallinfo2().fordblks >= kWorthTrimming) malloc_trim(0);
}

std::string TakeResultTableBlob(ResultTable&& table) {
  if (!table.packed) return ResultTableToBlob(table);
  std::string blob = PackedTableToBlob(table, true);
  table = ResultTable{};
  return blob;
}

std::string ResultTableToBlob(const ResultTable& table) {
  if (table.packed) return PackedTableToBlob(table, false);
  TAdoDataSet ds;
  std::vector<bool> asFloat;
  DefineFields(table, ds, asFloat);
  ds.Open();
  for (const auto& row : table.rows) {
    ds.Append();
    for (size_t i = 0; i < row.size() && i < table.columns.size(); ++i) {
      const Variant& v = row[i];
      if (v.IsNull()) continue;
      if (asFloat[i] && v.Kind() == varBcd) {
        ds.SetFieldValue(int(i), Variant::Double(std::stod(v.AsBcd().ToString())));
      } else {
        ds.SetFieldValue(int(i), v);
      }
    }
    ds.Post();
  }
  TMemoryStream blob;
  AdoDataSetToStream(&ds, &blob, true, kPersistADTG, kFastestLevel);
  return std::string(blob.View());
}

std::optional<ResultTable> BlobToResultTable(TStream& blob) {
  if (blob.Size() == 0) return std::nullopt;
  UploadedRows upload(blob);
  ResultTable table;
  table.columns = upload.Columns();
  table.rows.reserve(upload.Count());
  for (std::vector<Variant> row; upload.Next(row);) table.rows.push_back(row);
  return table;
}

UploadedRows::UploadedRows(TStream& blob) : ds_(std::make_unique<TAdoDataSet>()) {
  Load(blob);
}

UploadedRows::UploadedRows(TStream& blob, TSharedMemoryBudget& budget)
    : ds_(std::make_unique<TAdoDataSet>()) {
  claim_.emplace(budget);
  // The server's budget is the whole of what one upload may hold too (not the host's inflation
  // budget, which the server's thread does not have).
  const TRecordSetBudgetScope scope(budget.Limit(), &*claim_);
  try {
    Load(blob);
  } catch (const ERecordSetTooLarge&) {
    ds_.reset();
    const long long limit = static_cast<long long>(budget.Limit() >> 20);
    const long long others = static_cast<long long>((budget.InUse() - claim_->Bytes()) >> 20);
    throw ERecordSetTooLarge(
        Format("Upload too large: its rows need more memory than is left of the %lld MiB that "
               "the server's uploads may hold at once (other uploads hold %lld MiB now); upload "
               "fewer rows at a time, or have the server's operator raise --max-upload-memory",
               limit, others));
  }
}

void UploadedRows::Load(TStream& blob) {
  if (blob.Size() == 0) return;
  blob.SetPosition(0);
  StreamToAdoDataSet(ds_.get(), &blob, true);
  if (!ds_->Active()) return;
  for (int i = 0; i < ds_->FieldCount(); ++i) {
    const TFieldDef& def = ds_->FieldDefs()[i];
    ResultColumn c;
    c.name = Utf16ToUtf8(def.name);
    c.type = def.dataType;
    c.size = def.Size();
    c.precision = def.precision;
    columns_.push_back(std::move(c));
  }
  count_ = size_t(ds_->RecordCount());
}

UploadedRows::~UploadedRows() = default;

void UploadedRows::Rewind() {
  started_ = false;
}

bool UploadedRows::Next(std::vector<Variant>& values) {
  if (count_ == 0) return false;
  if (!started_) {
    ds_->First();
    started_ = true;
  } else if (!ds_->Eof()) {
    ds_->Next();
  }
  if (ds_->Eof()) return false;
  values.resize(columns_.size());
  for (size_t i = 0; i < columns_.size(); ++i) values[i] = ds_->FieldValue(int(i));
  return true;
}

}  // namespace qorvin::server
