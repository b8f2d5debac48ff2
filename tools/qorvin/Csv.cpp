#include "tools/qorvin/Csv.h"

namespace qorvin::cli {

namespace {

class CsvParser {
 public:
  CsvParser(std::string_view text, char delimiter) : t_(text), delimiter_(delimiter) {
    if (t_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
  }

  std::vector<CsvRecord> Records() {
    std::vector<CsvRecord> out;
    while (pos_ < t_.size()) {
      if (AtLineEnd()) {  // an empty line
        SkipLineEnd();
        continue;
      }
      CsvRecord record;
      record.line = line_;
      for (;;) {
        record.fields.push_back(Field());
        if (pos_ < t_.size() && t_[pos_] == delimiter_) {
          ++pos_;
          continue;
        }
        SkipLineEnd();
        break;
      }
      out.push_back(std::move(record));
    }
    return out;
  }

 private:
  bool AtLineEnd() const { return t_[pos_] == '\n' || t_[pos_] == '\r'; }
  void SkipLineEnd() {
    if (pos_ < t_.size() && t_[pos_] == '\r') ++pos_;
    if (pos_ < t_.size() && t_[pos_] == '\n') ++pos_;
    ++line_;
  }
  [[noreturn]] void Fail(const std::string& what) const {
    throw UsageError("CSV line " + std::to_string(line_) + ": " + what);
  }

  Cell Field() {
    if (pos_ < t_.size() && t_[pos_] == '"') return Quoted();
    const size_t start = pos_;
    while (pos_ < t_.size() && t_[pos_] != delimiter_ && !AtLineEnd()) {
      if (t_[pos_] == '"') Fail("a quote inside an unquoted field (enclose the field in quotes)");
      ++pos_;
    }
    if (pos_ == start) return std::nullopt;
    return std::string(t_.substr(start, pos_ - start));
  }

  Cell Quoted() {
    const size_t openedOn = line_;
    std::string value;
    ++pos_;
    for (;;) {
      if (pos_ >= t_.size())
        throw UsageError("CSV line " + std::to_string(openedOn) +
                         ": a quoted field is not closed before the end of the file");
      const char c = t_[pos_++];
      if (c == '"') {
        if (pos_ < t_.size() && t_[pos_] == '"') {
          value += '"';
          ++pos_;
          continue;
        }
        break;
      }
      if (c == '\n') ++line_;
      value += c;
    }
    if (pos_ < t_.size() && t_[pos_] != delimiter_ && !AtLineEnd())
      Fail("text after the closing quote of a field");
    return value;
  }

  std::string_view t_;
  const char delimiter_;
  size_t pos_ = 0;
  size_t line_ = 1;
};

// A field that starts with a byte-order mark is quoted too: first in a file, it would otherwise
// be read back without it (a reader drops the file's leading mark).
// One pass over the bytes: this runs for every cell of a CSV output.
bool NeedsQuotes(const std::string& s, char delimiter) {
  if (s.empty() || s.starts_with("\xEF\xBB\xBF")) return true;
  for (const char c : s)
    if (c == '"' || c == '\r' || c == '\n' || c == delimiter) return true;
  return false;
}

}  // namespace

std::vector<CsvRecord> ParseCsv(std::string_view text, char delimiter) {
  return CsvParser(text, delimiter).Records();
}

bool IsCsvDelimiter(char c) {
  return c != '"' && c != '\r' && c != '\n' && c != '\0';
}

void AppendCsvRecord(std::string& out, const std::vector<Cell>& fields, char delimiter) {
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += delimiter;
    if (!fields[i]) continue;  // NULL: an empty unquoted field
    const std::string& s = *fields[i];
    if (!NeedsQuotes(s, delimiter)) {
      out += s;
      continue;
    }
    out += '"';
    for (char c : s) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  out += "\r\n";
}

}  // namespace qorvin::cli
