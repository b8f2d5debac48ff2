// The values the command-line host moves around: a table of text cells (NULL kept apart from
// empty text) with typed columns, and the two failure kinds that decide the exit status.
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
