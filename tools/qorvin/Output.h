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
//
// Rows are read from the outcome's row sources as they are rendered, and the text goes out in
// pieces: an output of any size is held at most kSpillBytes at a time. An output smaller than
// that is written whole once it is complete, so a value that cannot be read fails it before
// anything of it is written; a larger one may have been written in part.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "tools/qorvin/CommandLine.h"
#include "tools/qorvin/Outcome.h"

namespace qorvin::cli {

// Where rendered text goes. It gathers in `text`; Spill hands it to `write` (and empties it)
// once it holds kSpillBytes or more. The caller writes what is left at the end.
struct OutputSink {
  static constexpr size_t kSpillBytes = size_t(1) << 20;
  std::string text;
  std::function<void(const std::string&)> write;  // empty: everything stays in `text`
  void Spill() {
    if (write && text.size() >= kSpillBytes) {
      write(text);
      text.clear();
    }
  }
};

// Renders `outcome` in `format` into `out`; `note` gets what goes to standard error (the csv
// scalars of row-returning operations). May raise RunError from a row source.
// How rows are shown: NULL as `nullText` (table and CSV; JSON writes null), and with
// `tuplesOnly` only the rows (no header, separator or row count; CSV without its header record).
// `expanded`: a table shows each row as a record, one "name | value" line per field, each record
// under a "-[ RECORD N ]-" line (with `tuplesOnly`, records are separated by an empty line).
// `delimiter`: between CSV fields.
struct RenderOptions {
  std::string nullText;
  bool tuplesOnly = false;
  bool expanded = false;
  char delimiter = ',';
};

// A failed operation shows nothing in table and CSV output (its error goes to standard error),
// except datetime, whose local clock is its answer; JSON writes its object with "error".
void Render(OutputFormat format, const Outcome& outcome, OutputSink& out, std::string& note,
            const RenderOptions& options = {});

// `text` with control characters replaced by visible escapes (\n, \t, \r, \xNN, \u0085), safe to
// print on a terminal. `keepLineBreaks`: line breaks (LF, CR LF) stay, as one LF.
std::string VisibleText(const std::string& text, bool keepLineBreaks = false);

}  // namespace qorvin::cli
