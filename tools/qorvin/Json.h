// A small JSON reader for upload files and the escaping used when writing JSON output.
//
// The reader keeps a number as its source text (so no digit is lost on the way to the record
// set) and an object's members in their order. It is bounded: nesting deeper than 64 levels is
// refused. Text is UTF-8 throughout.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qorvin::cli {

struct JsonValue {
  enum class Kind { Null, Boolean, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  std::string text;  // Number: the source text; String: the decoded UTF-8 text
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;

  // Declared here, defined in Json.cpp: clang cannot instantiate them inline for this recursive
  // type (with libstdc++ 12 in C++20), and the fuzz targets build with clang.
  JsonValue();
  JsonValue(const JsonValue&);
  JsonValue(JsonValue&&) noexcept;
  JsonValue& operator=(const JsonValue&);
  JsonValue& operator=(JsonValue&&) noexcept;
  ~JsonValue();

  // The member named `name`, or null.
  const JsonValue* Find(std::string_view name) const;
};

// Parses one JSON document (whitespace around it allowed). UsageError naming line and column
// for anything that is not JSON, a duplicate member name, or too deep a nesting.
JsonValue ParseJson(std::string_view text);

// Appends `utf8` as a JSON string literal: quotes, backslash and control characters escaped,
// invalid UTF-8 bytes written as U+FFFD.
void AppendJsonString(std::string& out, std::string_view utf8);

// Whether `text` is a JSON number literal (so it may be written unquoted).
bool IsJsonNumber(std::string_view text);

}  // namespace qorvin::cli
