// The three output formats of an Outcome.
//
// table: for people. Rows as an aligned grid (columns sized by display width, numbers right-
//   aligned, control characters shown as escapes such as \n and \x1B so that server data cannot
//   move the cursor; NULL shown empty), then "label: value" lines.
// csv: RFC 4180. An operation that may return rows prints its row sets (a header line, then the
//   rows; two sets are separated by an empty line) and its scalar values go to the `note`
//   stream; other operations print one header line of scalar names and one line of values.
// json: one object per subcommand on one line: the scalars as members ("result" first), then
//   "fields" and "rows" (and "fields2", "rows2" for a second set), NULL as null, numbers of
//   numeric fields unquoted; "error" when the operation failed. Text is UTF-8.
#pragma once

#include <string>

#include "tools/qorvin/Outcome.h"

namespace qorvin::cli {

struct Rendered {
  std::string out;   // for standard output
  std::string note;  // for standard error (csv scalars of row-returning operations)
};

Rendered RenderTable(const Outcome& outcome);
Rendered RenderCsv(const Outcome& outcome);
Rendered RenderJson(const Outcome& outcome);

// `text` with control characters replaced by visible escapes (\n, \t, \r, \xNN, \u0085), safe to
// print on a terminal. `keepLineBreaks`: line breaks (LF, CR LF) stay, as one LF.
std::string VisibleText(const std::string& text, bool keepLineBreaks = false);

}  // namespace qorvin::cli
