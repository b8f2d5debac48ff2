// The neutral in-memory result set that both database back ends produce and the services turn
// into dataset blobs, and the builder that decides each column's field type.
//
// Value forms by field type (what a cell Variant holds; any cell may be Null):
//   ftInteger  Integer        ftLargeint Int64         ftBoolean  Boolean
//   ftFloat    Double         ftFMTBcd   Bcd           ftDateTime / ftDate / ftTime  Date (OLE)
//   ftWideString  OleStr (UTF-16)                      ftBlob     one-dimensional byte array
//
// Column names are UTF-8. Not thread-safe; a table belongs to one request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/rtl/FieldTypes.h"
#include "platform/rtl/Variant.h"
#include "server/db/PackedRows.h"

namespace qorvin::server {

struct ResultColumn {
  std::string name;
  TFieldType type = ftWideString;
  // ftWideString: characters (at least 1); ftFMTBcd: decimal places; others 0.
  uint32_t size = 0;
  // ftFMTBcd: total digits; others 0.
  uint32_t precision = 0;
};

// The rows are either in `rows` or, for a table built with packed rows (large reads that go
// straight into a blob), in `packed` (then `rows` is empty).
struct ResultTable {
  std::vector<ResultColumn> columns;
  std::vector<std::vector<Variant>> rows;
  std::shared_ptr<PackedRows> packed;

  int ColumnIndex(std::string_view name) const;  // ASCII case ignored; -1 when absent
  int64_t RowCount() const { return packed ? packed->RowCount() : int64_t(rows.size()); }
};

// What a back end knows of a column before seeing its values (from a declared type or a type
// code). Unknown lets the values decide.
enum class ColumnKind {
  Unknown,
  Integer,
  Float,
  Decimal,
  Boolean,
  DateTime,
  Date,
  Time,
  Text,
  Blob
};

// Collects cells in their natural form (Int64 for integers, Double, Bcd, Boolean, Date, text,
// byte array, Null) packed in blocks (PackedRows), keeps per column what it has seen, and
// settles every column's type when finished:
//   - integers become ftInteger when every value fits 32 bits, else ftLargeint;
//   - a column whose cells mix integers and reals becomes ftFloat; mixing numbers or dates with
//     text makes the whole column text (numbers written in their ordinary text form);
//   - a Decimal column becomes ftFMTBcd with the largest precision and scale seen;
//   - text columns take the larger of the declared size and the longest value.
// Limits: EDatabaseError once the table holds more than `maxRows` rows or its values take more
// than `maxBytes` bytes (approximately: text and binary lengths plus 16 bytes per cell).
// Cells beyond the column count are ignored; missing cells of a row are Null.
class ResultBuilder {
 public:
  ResultBuilder(int64_t maxRows, int64_t maxBytes) : max_rows_(maxRows), max_bytes_(maxBytes) {}

  // All columns come before the first row.
  void AddColumn(std::string name, ColumnKind kind, uint32_t declaredSize = 0);
  int ColumnCount() const { return int(table_.columns.size()); }
  void BeginRow();
  // Cells of the current row in column order, in natural form. AddCell takes any Variant:
  // integers of any width count as integers, Single and Currency as reals, ANSI text as text.
  void AddCell(const Variant& value);
  void AddNull();
  void AddInt(int64_t v);
  void AddReal(double v);
  void AddBool(bool v);
  void AddDate(double v);
  void AddDecimal(const Bcd& v);
  void AddText(std::string_view utf8);
  void AddBlob(const void* data, size_t size);
  // The table; with `packed`, its rows stay in ResultTable::packed.
  ResultTable Finish(bool packed = false);

  struct ColumnStats {
    bool ints = false, reals = false, texts = false, blobs = false, bools = false, dates = false,
         decimals = false;
    bool intsFit32 = true, intsAreBits = true;
    bool textsAreDates = true;  // tracked for date columns only
    // Date columns: a value with a time of day, with a fraction of a second, with a day other
    // than 1899-12-30; a DATE or TIME column whose values need more becomes a date-time one.
    bool timesOfDay = false, subSeconds = false, days = false;
    uint32_t longestText = 0;  // UTF-16 units
    // Decimal columns: the most digits after the point, and before it (of decimals and integers
    // alike), so that the column's precision holds every value.
    uint32_t bcdPlaces = 0, bcdWholeDigits = 0;
    uint64_t largestIntMagnitude = 0;
    int Classes() const { return int(ints) + reals + texts + blobs + bools + dates + decimals; }
    void AddDate(double oleDate);
  };

 private:
  // The column of the next cell, or -1 when the row is full; counts `bytes` against the limit.
  int NextCell(int64_t bytes);
  void AddText16(std::u16string_view text);
  CellMapping Settle(int column);

  ResultTable table_;
  std::vector<ColumnKind> kinds_;
  std::vector<uint32_t> declared_sizes_;
  std::vector<ColumnStats> stats_;
  std::shared_ptr<PackedRows> pack_;
  int cell_ = 0;  // cells added to the current row
  int64_t rows_ = 0;
  int64_t max_rows_;
  int64_t max_bytes_;
  int64_t bytes_ = 0;
};

// Text of a Variant for text columns, output parameters and messages (UTF-8). Null and Empty
// give "". Dates give "YYYY-MM-DD HH:MM:SS[.fff]".
std::string VariantToText(const Variant& value);

}  // namespace qorvin::server
