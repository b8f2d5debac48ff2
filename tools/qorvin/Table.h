// The values the command-line host moves around: a table of text cells (NULL kept apart from
// empty text) with typed columns, rows read one at a time, and the two failure kinds that
// decide the exit status.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qorvin::cli {

// Text in the terminal's code set (the process locale's), as the client library reads and
// writes it. std::nullopt is NULL.
using Cell = std::optional<std::string>;

struct Column {
  std::string name;
  int32_t type = 0;  // FieldTypeCode
  int32_t size = 0;  // characters for text kinds, decimal places for BCD kinds, else 0
};

struct Table {
  std::vector<Column> columns;
  std::vector<std::vector<Cell>> rows;  // every row has columns.size() cells
};

// Rows read one at a time from where they are kept (a record set of the library), so that a
// result is never copied whole into text. Next may raise RunError for a value it cannot read.
class RowSource {
 public:
  virtual ~RowSource() = default;
  virtual const std::vector<Column>& Columns() const = 0;
  // Back to before the first row: the rows can be read more than once.
  virtual void Rewind() = 0;
  // The next row's cells (columns.size() of them); false after the last row.
  virtual bool Next(std::vector<Cell>& cells) = 0;
};

// The invocation is wrong (arguments, options, input files): nothing was sent. Exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Something failed while running: the library did not load, or an operation reported an
// error. Exit status 1.
class RunError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace qorvin::cli
