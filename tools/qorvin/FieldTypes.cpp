#include "tools/qorvin/FieldTypes.h"

#include <cctype>

namespace qorvin::cli {

namespace {

struct TypeName {
  const char* name;
  int32_t code;
};

// The first name of each code is the one output uses.
constexpr TypeName kTypeNames[] = {
    {"integer", kFtInteger},   {"int", kFtInteger},
    {"bigint", kFtLargeint},   {"largeint", kFtLargeint},
    {"smallint", kFtSmallint}, {"word", kFtWord},
    {"float", kFtFloat},       {"double", kFtFloat},
    {"currency", kFtCurrency}, {"money", kFtCurrency},
    {"bcd", kFtBCD},           {"decimal", kFtFMTBcd},
    {"boolean", kFtBoolean},   {"bool", kFtBoolean},
    {"date", kFtDate},         {"time", kFtTime},
    {"datetime", kFtDateTime}, {"timestamp", kFtTimeStamp},
    {"text", kFtWideString},   {"widestring", kFtWideString},
    {"string", kFtString},     {"ansi", kFtString},
    {"char", kFtFixedChar},    {"memo", kFtMemo},
    {"guid", kFtGuid},         {"autoinc", kFtAutoInc},
};

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  return true;
}

}  // namespace

std::optional<int32_t> FieldTypeFromName(std::string_view name) {
  for (const TypeName& t : kTypeNames)
    if (SameName(name, t.name)) return t.code;
  return std::nullopt;
}

std::string FieldTypeNames() {
  std::string out;
  for (const TypeName& t : kTypeNames) {
    if (!out.empty()) out += ", ";
    out += t.name;
  }
  return out;
}

std::string FieldTypeName(int32_t code) {
  for (const TypeName& t : kTypeNames)
    if (t.code == code) return t.name;
  return "type " + std::to_string(code);
}

bool IsNumericType(int32_t code) {
  switch (code) {
    case kFtSmallint:
    case kFtInteger:
    case kFtWord:
    case kFtFloat:
    case kFtCurrency:
    case kFtBCD:
    case kFtAutoInc:
    case kFtLargeint:
    case kFtFMTBcd:
      return true;
    default:
      return false;
  }
}

bool IsBooleanType(int32_t code) {
  return code == kFtBoolean;
}

bool IsSizedTextType(int32_t code) {
  return code == kFtString || code == kFtWideString || code == kFtFixedChar;
}

}  // namespace qorvin::cli
