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
#include <string>
#include <vector>

#include "platform/rtl/FieldTypes.h"
#include "platform/rtl/Variant.h"

namespace qorvin::server {

struct ResultColumn {
  std::string name;
  TFieldType type = ftWideString;
  // ftWideString: characters (at least 1); ftFMTBcd: decimal places; others 0.
  uint32_t size = 0;
  // ftFMTBcd: total digits; others 0.
  uint32_t precision = 0;
};

struct ResultTable {
  std::vector<ResultColumn> columns;
  std::vector<std::vector<Variant>> rows;

  int ColumnIndex(std::string_view name) const;  // ASCII case ignored; -1 when absent
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

// Collects cells in their natural form (Int64 for integers, Double, Bcd, Boolean, Date, OleStr,
// byte array, Null) and settles every column's type when finished:
//   - integers become ftInteger when every value fits 32 bits, else ftLargeint;
//   - a column whose cells mix integers and reals becomes ftFloat; mixing numbers or dates with
//     text makes the whole column text (numbers written in their ordinary text form);
//   - a Decimal column becomes ftFMTBcd with the largest precision and scale seen;
//   - text columns take the larger of the declared size and the longest value.
// Limits: EDatabaseError once the table holds more than `maxRows` rows or its values take more
// than `maxBytes` bytes (approximately: text and binary lengths plus 16 bytes per cell).
class ResultBuilder {
 public:
  ResultBuilder(int64_t maxRows, int64_t maxBytes) : max_rows_(maxRows), max_bytes_(maxBytes) {}

  void AddColumn(std::string name, ColumnKind kind, uint32_t declaredSize = 0);
  int ColumnCount() const { return int(table_.columns.size()); }
  void BeginRow();
  // Cells of the current row in column order.
  void AddCell(Variant value);
  ResultTable Finish();

 private:
  void Settle(int column);

  ResultTable table_;
  std::vector<ColumnKind> kinds_;
  std::vector<uint32_t> declared_sizes_;
  int64_t max_rows_;
  int64_t max_bytes_;
  int64_t bytes_ = 0;
};

// Text of a Variant for text columns, output parameters and messages (UTF-8). Null and Empty
// give "". Dates give "YYYY-MM-DD HH:MM:SS[.fff]".
std::string VariantToText(const Variant& value);

}  // namespace qorvin::server
