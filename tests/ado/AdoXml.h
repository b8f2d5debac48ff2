// Test support: a small reader for the XML form of a persisted record set (the twin of each ADTG
// file in the corpus). It understands the subset such files use: elements, attributes in single
// or double quotes, character and the five named entities, comments and processing
// instructions. Text content is ignored. Throws std::runtime_error on anything else.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qorvin::test {

struct XmlElement {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;  // values with entities resolved
  std::vector<XmlElement> children;

  const std::string* Attr(std::string_view key) const;
};

XmlElement ParseXml(std::string_view text);

// The schema and rows of a record set in its XML form.
struct TwinColumn {
  std::string name;
  int number = 0;
  bool nullable = false;  // rs:nullable
  bool write = false;     // rs:write
  std::string type;       // dt:type
  std::string dbtype;     // rs:dbtype
  std::optional<uint64_t> maxLength;
  std::optional<int> precision, scale;
  bool fixed = false, isLong = false, maybeNull = false;
};

enum class TwinState { Unchanged, Modified, Inserted, Deleted };

struct TwinRow {
  TwinState state = TwinState::Unchanged;
  std::map<std::string, std::string> values;    // the row's attributes (new values of a change)
  std::set<std::string> forceNull;              // rs:forcenull
  std::map<std::string, std::string> original;  // rs:original of a change
};

struct Twin {
  std::vector<TwinColumn> columns;
  std::vector<TwinRow> rows;  // document order
};

Twin ParseTwin(std::string_view xmlText);

}  // namespace qorvin::test
