// Upload files: the rows a table upload sends, read from CSV or JSON into a typed table.
//
// CSV: a header line of column names, then one record per row (see Csv.h for quoting and NULL).
// A header name may carry its type as "name:type" or "name:type(size)" (FieldTypeFromName); a
// name that itself holds a colon then needs a type ("a:b:text").
// JSON: an array of objects (columns in order of first appearance; a missing member is NULL), or
// {"fields": [...], "rows": [[...], ...]} where a field is "name", "name:type" or
// {"name": ..., "type": ..., "size": ...}.
//
// Columns without a declared type take one from their values: integer when every value is a
// whole number (64-bit "bigint" when one needs it), float when every value is a number, boolean
// for JSON true/false, text otherwise. A number with a leading zero ("007") or beyond 64 bits is
// text, so that no digit is lost. Text columns are sized to their longest value.
//
// All failures are UsageError naming the file, line or row and column.
#pragma once

#include <string>
#include <string_view>

#include "tools/qorvin/Table.h"

namespace qorvin::cli {

// Files larger than this are refused before they are read.
inline constexpr size_t kMaxUploadBytes = size_t(512) << 20;

// The bytes of `path` ("-" for standard input), at most kMaxUploadBytes; UsageError when it
// cannot be read or is larger.
std::string ReadInputFile(const std::string& path);

// Reads `path` ("-" for standard input); JSON when the name ends in ".json" or the content
// starts with '[' or '{', CSV otherwise.
// CSV fields are separated by `delimiter`.
Table ReadUploadFile(const std::string& path, char delimiter = ',');

Table UploadFromCsv(std::string_view text, char delimiter = ',');
Table UploadFromJson(std::string_view text);

}  // namespace qorvin::cli
