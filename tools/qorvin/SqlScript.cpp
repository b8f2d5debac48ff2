#include "tools/qorvin/SqlScript.h"

#include <cctype>

#include "tools/qorvin/Table.h"

namespace qorvin::cli {

namespace {

bool WordStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}

bool WordPart(char c) {
  return WordStart(c) || std::isdigit(static_cast<unsigned char>(c)) || c == '$';
}

std::string Upper(std::string word) {
  for (char& c : word) c = char(std::toupper(static_cast<unsigned char>(c)));
  return word;
}

// One scan of a statement from `from` (on line `line`).
struct Scan {
  bool complete = false;  // its semicolon was found, at `end`
  size_t end = 0;
  int endLine = 0;                       // the line of that semicolon
  size_t textStart = std::string::npos;  // its first character outside comments and blanks
  int textLine = 0;
  char open = 0;  // what is open at the end of the text when not complete
  int openLine = 0;
};

// The "$tag$" at `i`, or "" when none starts there.
std::string DollarTag(const std::string& s, size_t i) {
  if (i > 0 && WordPart(s[i - 1])) return "";  // part of a name (a$b$)
  size_t j = i + 1;
  if (j < s.size() && !WordStart(s[j]) && s[j] != '$') return "";  // $1: a parameter
  while (j < s.size() && s[j] != '$' && WordPart(s[j])) ++j;
  if (j >= s.size() || s[j] != '$') return "";
  return s.substr(i, j + 1 - i);
}

Scan ScanStatement(const std::string& s, size_t from, int line) {
  Scan r;
  std::vector<std::string> first;  // the first words, upper-cased
  std::string last;                // the last word so far
  bool trigger = false, body = false;
  const auto text = [&](size_t at) {
    if (r.textStart == std::string::npos) {
      r.textStart = at;
      r.textLine = line;
    }
  };
  size_t i = from;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '\n') {
      ++line;
      ++i;
      continue;
    }
    if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
      const size_t nl = s.find('\n', i);
      if (nl == std::string::npos) return r;  // a line comment may end with the text
      i = nl;
      continue;
    }
    if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
      const int opened = line;
      const size_t close = s.find("*/", i + 2);
      for (size_t k = i; k < (close == std::string::npos ? s.size() : close); ++k)
        line += s[k] == '\n' ? 1 : 0;
      if (close == std::string::npos) {
        r.open = '*';
        r.openLine = opened;
        return r;
      }
      i = close + 2;
      continue;
    }
    if (c == '\'' || c == '"') {
      text(i);
      const int opened = line;
      // E'...' (PostgreSQL): a backslash escapes the character after it, a quote too.
      const bool escapes = c == '\'' && i > 0 && (s[i - 1] == 'E' || s[i - 1] == 'e') &&
                           (i < 2 || !WordPart(s[i - 2]));
      size_t k = i + 1;
      for (;; ++k) {
        if (k >= s.size()) {
          r.open = c;
          r.openLine = opened;
          return r;
        }
        if (escapes && s[k] == '\\' && k + 1 < s.size()) {
          ++k;
          if (s[k] == '\n') ++line;
          continue;
        }
        if (s[k] == '\n') ++line;
        if (s[k] == c) {
          if (k + 1 < s.size() && s[k + 1] == c) {
            ++k;  // a doubled quote stands for itself
            continue;
          }
          break;
        }
      }
      i = k + 1;
      last.clear();
      continue;
    }
    if (c == '$') {
      const std::string tag = DollarTag(s, i);
      if (!tag.empty()) {
        text(i);
        const int opened = line;
        const size_t close = s.find(tag, i + tag.size());
        for (size_t k = i; k < (close == std::string::npos ? s.size() : close); ++k)
          line += s[k] == '\n' ? 1 : 0;
        if (close == std::string::npos) {
          r.open = '$';
          r.openLine = opened;
          return r;
        }
        i = close + tag.size();
        last.clear();
        continue;
      }
    }
    if (WordStart(c)) {
      text(i);
      size_t k = i;
      while (k < s.size() && WordPart(s[k])) ++k;
      last = Upper(s.substr(i, k - i));
      if (first.size() < 4) {
        first.push_back(last);
        // CREATE [TEMP | TEMPORARY] TRIGGER
        trigger =
            trigger || (first[0] == "CREATE" && last == "TRIGGER" &&
                        (first.size() == 2 ||
                         (first.size() == 3 && (first[1] == "TEMP" || first[1] == "TEMPORARY"))));
      }
      if (trigger && last == "BEGIN") body = true;
      i = k;
      continue;
    }
    if (c == ';' && (!body || last == "END")) {
      r.complete = true;
      r.end = i;
      r.endLine = line;
      return r;
    }
    if (!std::isspace(static_cast<unsigned char>(c))) {
      text(i);
      if (c != ';') last.clear();
    }
    ++i;
  }
  return r;
}

std::string Trimmed(const std::string& s, size_t from, size_t to) {
  while (to > from && std::isspace(static_cast<unsigned char>(s[to - 1]))) --to;
  return s.substr(from, to - from);
}

int LinesIn(const std::string& s, size_t from, size_t to) {
  int n = 0;
  for (size_t k = from; k < to; ++k) n += s[k] == '\n' ? 1 : 0;
  return n;
}

}  // namespace

std::vector<Statement> StatementSplitter::Feed(const std::string& text) {
  pending_ += text;
  std::vector<Statement> out;
  for (;;) {
    const Scan scan = ScanStatement(pending_, 0, pendingLine_);
    if (!scan.complete) break;
    if (scan.textStart != std::string::npos && scan.textStart < scan.end)
      out.push_back(Statement{Trimmed(pending_, scan.textStart, scan.end), scan.textLine});
    pendingLine_ = scan.endLine;
    pending_.erase(0, scan.end + 1);
  }
  return out;
}

bool StatementSplitter::Pending() const {
  const Scan scan = ScanStatement(pending_, 0, pendingLine_);
  return scan.textStart != std::string::npos || scan.open != 0;
}

std::string StatementSplitter::Unclosed() const {
  const Scan scan = ScanStatement(pending_, 0, pendingLine_);
  const std::string where = " opened on line " + std::to_string(scan.openLine) + " is not closed";
  switch (scan.open) {
    case '\'':
      return "a quoted text" + where;
    case '"':
      return "a quoted name" + where;
    case '*':
      return "a /* comment" + where;
    case '$':
      return "a $-quoted text" + where;
    default:
      return "";
  }
}

std::vector<Statement> StatementSplitter::Finish(const std::string& source) {
  const std::string open = Unclosed();
  if (!open.empty()) throw UsageError(source + ": " + open);
  std::vector<Statement> out;
  const Scan scan = ScanStatement(pending_, 0, pendingLine_);
  if (scan.textStart != std::string::npos)
    out.push_back(Statement{Trimmed(pending_, scan.textStart, pending_.size()), scan.textLine});
  Discard();
  return out;
}

void StatementSplitter::Discard() {
  pendingLine_ += LinesIn(pending_, 0, pending_.size());
  pending_.clear();
}

bool ReturnsRows(const std::string& statement) {
  size_t i = 0;
  while (i < statement.size()) {
    const char c = statement[i];
    if (std::isspace(static_cast<unsigned char>(c)) || c == '(') {
      ++i;
    } else if (statement.compare(i, 2, "--") == 0) {
      const size_t nl = statement.find('\n', i);
      i = nl == std::string::npos ? statement.size() : nl;
    } else if (statement.compare(i, 2, "/*") == 0) {
      const size_t close = statement.find("*/", i + 2);
      i = close == std::string::npos ? statement.size() : close + 2;
    } else {
      break;
    }
  }
  size_t k = i;
  while (k < statement.size() && WordPart(statement[k])) ++k;
  const std::string word = Upper(statement.substr(i, k - i));
  for (const char* w : {"SELECT", "WITH", "VALUES", "TABLE", "SHOW", "EXPLAIN", "PRAGMA"})
    if (word == w) return true;
  return false;
}

}  // namespace qorvin::cli
