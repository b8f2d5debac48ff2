// What one subcommand produced, independent of how it is printed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/qorvin/Table.h"

namespace qorvin::cli {

struct Scalar {
  enum class Kind { Number, Boolean, Text };
  std::string key;    // JSON member and CSV column name ("result", "success_count", ...)
  std::string label;  // for people ("result", "success count", ...)
  std::string text;   // the value in the terminal's code set; numbers in the C locale
  Kind kind = Kind::Number;
};

// One record set an operation may hand back; no rows (null) when nothing came back.
struct DataResult {
  std::string title;  // for people when an operation has two ("first", "second")
  std::shared_ptr<RowSource> rows;
};

struct Outcome {
  std::string command;
  std::vector<Scalar> scalars;  // "result" first
  bool returnsData = false;     // the operation may hand back record sets (`data`)
  std::vector<DataResult> data;
  bool failed = false;
  std::string error;       // the operation's error text when it failed
  bool unreached = false;  // it failed without reaching a server: nothing of it was sent
};

}  // namespace qorvin::cli
