// CSV as RFC 4180 describes it: records end with CRLF (LF alone is accepted on input), fields
// are separated by commas, and a field holding a comma, a quote or a line break is enclosed in
// double quotes with inner quotes doubled. Another delimiter (';', a tab, '|') may stand for the
// comma, in reading and in writing alike.
//
// NULL and empty text are told apart by quoting: an empty unquoted field is NULL, an empty
// quoted field ("") is empty text. Writing follows the same rule, so output reads back as input.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/qorvin/Table.h"

namespace qorvin::cli {

struct CsvRecord {
  std::vector<Cell> fields;
  size_t line = 0;  // 1-based line on which the record starts
};

// Splits `text` into records. Empty lines are skipped; a leading UTF-8 byte-order mark is
// dropped. UsageError (with the line number) for a quote inside an unquoted field, text after a
// closing quote, or a quoted field left open at the end.
std::vector<CsvRecord> ParseCsv(std::string_view text, char delimiter = ',');

// Appends one record, ending it with CRLF.
void AppendCsvRecord(std::string& out, const std::vector<Cell>& fields, char delimiter = ',');

// Whether `c` can separate fields: any byte but a quote, CR, LF and NUL.
bool IsCsvDelimiter(char c);

}  // namespace qorvin::cli
