// Field-type codes of the record sets a host handles (the list in docs/data-packet.md), the
// names a user writes for them in an upload file's header, and how output treats each kind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qorvin::cli {

enum FieldTypeCode : int32_t {
  kFtString = 1,
  kFtSmallint = 2,
  kFtInteger = 3,
  kFtWord = 4,
  kFtBoolean = 5,
  kFtFloat = 6,
  kFtCurrency = 7,
  kFtBCD = 8,
  kFtDate = 9,
  kFtTime = 10,
  kFtDateTime = 11,
  kFtAutoInc = 14,
  kFtMemo = 16,
  kFtFixedChar = 23,
  kFtWideString = 24,
  kFtLargeint = 25,
  kFtGuid = 35,
  kFtTimeStamp = 36,
  kFtFMTBcd = 37,
};

// The code for a type name of an upload header ("integer", "text", ...; case-insensitive), or
// nothing for an unknown name.
std::optional<int32_t> FieldTypeFromName(std::string_view name);
// The names FieldTypeFromName accepts, for help and error texts.
std::string FieldTypeNames();
// A short name for output ("integer", "text", ...); "type N" for codes without one.
std::string FieldTypeName(int32_t code);

// Kinds whose values are plain numbers (written unquoted in JSON, right-aligned in tables).
bool IsNumericType(int32_t code);
bool IsBooleanType(int32_t code);
// Kinds whose declared size counts characters, so an upload column needs one.
bool IsSizedTextType(int32_t code);

}  // namespace qorvin::cli
