#include "tools/qorvin/UploadFile.h"

#include <strings.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "tools/qorvin/CodeSet.h"
#include "tools/qorvin/Csv.h"
#include "tools/qorvin/FieldTypes.h"
#include "tools/qorvin/Json.h"

namespace qorvin::cli {

namespace {

// What one value says about its column's type.
enum class Hint { Null, Integer, BigInteger, Float, Boolean, Text };

// Integer when `s` is -?(0|[1-9][0-9]*) within 64 bits; Float for a decimal number with a
// fraction or exponent that a double holds; Text for anything else.
Hint ClassifyNumber(const std::string& s) {
  size_t i = s.size() > 0 && s[0] == '-' ? 1 : 0;
  const size_t intStart = i;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
  const size_t intDigits = i - intStart;
  if (intDigits == 0 || (intDigits > 1 && s[intStart] == '0')) return Hint::Text;
  if (i == s.size()) {
    errno = 0;
    const long long v = std::strtoll(s.c_str(), nullptr, 10);
    if (errno == ERANGE) return Hint::Text;
    return v >= INT32_MIN && v <= INT32_MAX ? Hint::Integer : Hint::BigInteger;
  }
  if (s[i] == '.') {
    const size_t from = ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    if (i == from) return Hint::Text;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const size_t from = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    if (i == from) return Hint::Text;
  }
  if (i != s.size()) return Hint::Text;
  errno = 0;
  const double v = std::strtod(s.c_str(), nullptr);
  if (errno == ERANGE || !std::isfinite(v)) return Hint::Text;  // overflow or underflow
  return Hint::Float;
}

// Everything the values of one column said.
struct ColumnHints {
  bool integer = false, bigInteger = false, floating = false, boolean = false, text = false;
  void Add(Hint h) {
    integer |= h == Hint::Integer;
    bigInteger |= h == Hint::BigInteger;
    floating |= h == Hint::Float;
    boolean |= h == Hint::Boolean;
    text |= h == Hint::Text;
  }
  int32_t Type() const {
    const bool numbers = integer || bigInteger || floating;
    if (text || (numbers && boolean)) return kFtWideString;
    if (boolean) return kFtBoolean;
    if (floating) return kFtFloat;
    if (bigInteger) return kFtLargeint;
    if (integer) return kFtInteger;
    return kFtWideString;  // no values at all
  }
};

// A column as the file declares it.
struct Declared {
  std::string name;
  std::optional<int32_t> type;
  std::optional<int32_t> size;
};

// "name", "name:type" or "name:type(size)".
Declared ParseColumnHeader(const std::string& def) {
  Declared d;
  const size_t colon = def.rfind(':');
  if (colon == std::string::npos) {
    d.name = def;
    return d;
  }
  d.name = def.substr(0, colon);
  std::string type = def.substr(colon + 1);
  const size_t paren = type.find('(');
  if (paren != std::string::npos) {
    const std::string digits = type.substr(paren + 1, type.size() - paren - 2);
    char* end = nullptr;
    errno = 0;
    const long size = std::strtol(digits.c_str(), &end, 10);
    if (type.back() != ')' || digits.empty() || *end != '\0' || errno != 0 || size < 0 ||
        size > INT32_MAX)
      throw UsageError("column '" + def + "': the size must be written as type(N)");
    d.size = int32_t(size);
    type.resize(paren);
  }
  d.type = FieldTypeFromName(type);
  if (!d.type)
    throw UsageError("column '" + def + "': unknown type '" + type + "' (known types: " +
                     FieldTypeNames() + "; a name holding ':' needs a type, as in 'a:b:text')");
  return d;
}

bool SameAsciiName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

void CheckNames(const std::vector<Declared>& columns) {
  if (columns.empty()) throw UsageError("the file has no columns");
  for (size_t i = 0; i < columns.size(); ++i) {
    if (columns[i].name.empty())
      throw UsageError("column " + std::to_string(i + 1) + " has no name");
    for (size_t j = 0; j < i; ++j)
      if (SameAsciiName(columns[i].name, columns[j].name))
        throw UsageError("the column name '" + columns[i].name + "' appears twice");
  }
}

size_t ValueLength(const std::string& value, int32_t type) {
  return type == kFtWideString ? Utf16Length(value) : value.size();
}

// The typed table: declared types win, the others come from the hints; text kinds get a size
// that holds their longest value.
Table Finish(const std::vector<Declared>& declared, const std::vector<ColumnHints>& hints,
             std::vector<std::vector<Cell>> rows) {
  Table t;
  for (size_t c = 0; c < declared.size(); ++c) {
    Column col;
    col.name = declared[c].name;
    col.type = declared[c].type ? *declared[c].type : hints[c].Type();
    size_t longest = 0, longestRow = 0;
    for (size_t r = 0; r < rows.size(); ++r) {
      if (!rows[r][c] || !IsSizedTextType(col.type)) continue;
      const size_t n = ValueLength(*rows[r][c], col.type);
      if (n > longest) longest = n, longestRow = r + 1;
    }
    if (longest > size_t(INT32_MAX))
      throw UsageError("column '" + col.name + "': a value is too long to upload");
    if (declared[c].size) {
      col.size = *declared[c].size;
      if (IsSizedTextType(col.type) && longest > size_t(col.size))
        throw UsageError("column '" + col.name + "', row " + std::to_string(longestRow) +
                         ": a value of " + std::to_string(longest) +
                         " characters is longer than the declared size " +
                         std::to_string(col.size));
    } else if (IsSizedTextType(col.type)) {
      col.size = int32_t(longest > 0 ? longest : 1);
    }
    t.columns.push_back(std::move(col));
  }
  t.rows = std::move(rows);
  return t;
}

// One JSON scalar as a cell, with what it says about the column.
Cell JsonCell(const JsonValue& v, const std::string& where, Hint* hint) {
  switch (v.kind) {
    case JsonValue::Kind::Null:
      *hint = Hint::Null;
      return std::nullopt;
    case JsonValue::Kind::Boolean:
      *hint = Hint::Boolean;
      return std::string(v.boolean ? "true" : "false");
    case JsonValue::Kind::Number:
      *hint = ClassifyNumber(v.text);
      return v.text;
    case JsonValue::Kind::String:
      *hint = Hint::Text;
      try {
        return Utf8ToTerminal(v.text);
      } catch (const UsageError& e) {
        throw UsageError(where + ": " + e.what());
      }
    default:
      throw UsageError(where + ": arrays and objects cannot be uploaded as values");
  }
}

Declared JsonField(const JsonValue& f, size_t index) {
  const std::string where = "field " + std::to_string(index + 1);
  if (f.kind == JsonValue::Kind::String) return ParseColumnHeader(Utf8ToTerminal(f.text));
  if (f.kind != JsonValue::Kind::Object)
    throw UsageError(where + ": a field is a name or an object with \"name\"");
  const JsonValue* name = f.Find("name");
  if (name == nullptr || name->kind != JsonValue::Kind::String)
    throw UsageError(where + ": \"name\" must be a string");
  Declared d;
  d.name = Utf8ToTerminal(name->text);
  if (const JsonValue* type = f.Find("type")) {
    if (type->kind != JsonValue::Kind::String || !(d.type = FieldTypeFromName(type->text)))
      throw UsageError(where + ": unknown type (known types: " + FieldTypeNames() + ")");
  }
  if (const JsonValue* size = f.Find("size")) {
    if (size->kind != JsonValue::Kind::Number || ClassifyNumber(size->text) != Hint::Integer ||
        size->text[0] == '-')
      throw UsageError(where + ": \"size\" must be a whole number");
    d.size = int32_t(std::strtol(size->text.c_str(), nullptr, 10));
  }
  return d;
}

std::string RowPlace(size_t row, const std::string& column) {
  return "row " + std::to_string(row) + ", column '" + column + "'";
}

Table JsonFieldsAndRows(const JsonValue& doc) {
  const JsonValue* fields = doc.Find("fields");
  const JsonValue* rows = doc.Find("rows");
  if (fields == nullptr || fields->kind != JsonValue::Kind::Array || rows == nullptr ||
      rows->kind != JsonValue::Kind::Array)
    throw UsageError("a JSON object upload needs \"fields\" and \"rows\" arrays");
  std::vector<Declared> declared;
  for (size_t i = 0; i < fields->items.size(); ++i)
    declared.push_back(JsonField(fields->items[i], i));
  CheckNames(declared);
  std::vector<ColumnHints> hints(declared.size());
  std::vector<std::vector<Cell>> out;
  for (size_t r = 0; r < rows->items.size(); ++r) {
    const JsonValue& row = rows->items[r];
    if (row.kind != JsonValue::Kind::Array || row.items.size() != declared.size())
      throw UsageError("row " + std::to_string(r + 1) + ": an array of " +
                       std::to_string(declared.size()) + " values expected");
    std::vector<Cell> cells;
    for (size_t c = 0; c < declared.size(); ++c) {
      Hint h = Hint::Null;
      cells.push_back(JsonCell(row.items[c], RowPlace(r + 1, declared[c].name), &h));
      hints[c].Add(h);
    }
    out.push_back(std::move(cells));
  }
  return Finish(declared, hints, std::move(out));
}

Table JsonObjects(const JsonValue& doc) {
  std::vector<std::string> names;  // UTF-8, in order of first appearance
  for (size_t r = 0; r < doc.items.size(); ++r) {
    const JsonValue& row = doc.items[r];
    if (row.kind != JsonValue::Kind::Object)
      throw UsageError("row " + std::to_string(r + 1) + ": an object expected");
    for (const auto& member : row.members) {
      bool known = false;
      for (const std::string& n : names) known |= n == member.first;
      if (!known) names.push_back(member.first);
    }
  }
  std::vector<Declared> declared;
  for (const std::string& n : names) declared.push_back(Declared{Utf8ToTerminal(n), {}, {}});
  CheckNames(declared);
  std::vector<ColumnHints> hints(declared.size());
  std::vector<std::vector<Cell>> out;
  for (size_t r = 0; r < doc.items.size(); ++r) {
    std::vector<Cell> cells;
    for (size_t c = 0; c < names.size(); ++c) {
      const JsonValue* v = doc.items[r].Find(names[c]);
      Hint h = Hint::Null;
      cells.push_back(v ? JsonCell(*v, RowPlace(r + 1, declared[c].name), &h) : std::nullopt);
      hints[c].Add(h);
    }
    out.push_back(std::move(cells));
  }
  return Finish(declared, hints, std::move(out));
}

}  // namespace

std::string ReadInputFile(const std::string& path) {
  const bool stdinInput = path == "-";
  std::FILE* f = stdinInput ? stdin : std::fopen(path.c_str(), "rb");
  if (f == nullptr) throw UsageError("cannot open '" + path + "': " + std::strerror(errno));
  std::string data;
  char buffer[65536];
  bool tooBig = false, failed = false;
  for (;;) {
    const size_t n = std::fread(buffer, 1, sizeof buffer, f);
    data.append(buffer, n);
    if (data.size() > kMaxUploadBytes) {
      tooBig = true;
      break;
    }
    if (n < sizeof buffer) {
      failed = std::ferror(f) != 0;
      break;
    }
  }
  if (!stdinInput) std::fclose(f);
  if (tooBig)
    throw UsageError("'" + path + "' is larger than " + std::to_string(kMaxUploadBytes >> 20) +
                     " MiB");
  if (failed) throw UsageError("cannot read '" + path + "'");
  return data;
}

namespace {

bool LooksLikeJson(const std::string& path, std::string_view text) {
  if (path.size() >= 5 && strcasecmp(path.c_str() + path.size() - 5, ".json") == 0) return true;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  const size_t first = text.find_first_not_of(" \t\r\n");
  return first != std::string_view::npos && (text[first] == '[' || text[first] == '{');
}

}  // namespace

Table UploadFromCsv(std::string_view text, char delimiter) {
  std::vector<CsvRecord> records = ParseCsv(text, delimiter);
  if (records.empty()) throw UsageError("the CSV file has no header line");
  std::vector<Declared> declared;
  for (size_t i = 0; i < records[0].fields.size(); ++i) {
    const Cell& name = records[0].fields[i];
    declared.push_back(name ? ParseColumnHeader(*name) : Declared{});
  }
  CheckNames(declared);
  std::vector<ColumnHints> hints(declared.size());
  std::vector<std::vector<Cell>> rows;
  for (size_t r = 1; r < records.size(); ++r) {
    CsvRecord& rec = records[r];
    if (rec.fields.size() != declared.size())
      throw UsageError("CSV line " + std::to_string(rec.line) + ": " +
                       std::to_string(rec.fields.size()) + " fields, the header has " +
                       std::to_string(declared.size()));
    for (size_t c = 0; c < declared.size(); ++c)
      hints[c].Add(rec.fields[c] ? ClassifyNumber(*rec.fields[c]) : Hint::Null);
    rows.push_back(std::move(rec.fields));
  }
  return Finish(declared, hints, std::move(rows));
}

Table UploadFromJson(std::string_view text) {
  const JsonValue doc = ParseJson(text);
  if (doc.kind == JsonValue::Kind::Array) return JsonObjects(doc);
  if (doc.kind == JsonValue::Kind::Object) return JsonFieldsAndRows(doc);
  throw UsageError("a JSON upload is an array of objects or {\"fields\": ..., \"rows\": ...}");
}

Table ReadUploadFile(const std::string& path, char delimiter) {
  const std::string data = ReadInputFile(path);
  try {
    return LooksLikeJson(path, data) ? UploadFromJson(data) : UploadFromCsv(data, delimiter);
  } catch (const UsageError& e) {
    throw UsageError("'" + path + "': " + e.what());
  }
}

}  // namespace qorvin::cli
