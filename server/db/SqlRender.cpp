#include "server/db/SqlRender.h"

#include <cmath>
#include <cstdio>
#include <set>

#include "platform/rtl/NumberText.h"
#include "platform/rtl/Text.h"
#include "server/db/DateTimeText.h"

namespace qorvin::server {
namespace {

const std::set<std::string, std::less<>>& ReservedWords() {
  static const std::set<std::string, std::less<>> kWords = {"ABORT",
                                                            "ACTION",
                                                            "ADD",
                                                            "ALL",
                                                            "ALTER",
                                                            "ANALYZE",
                                                            "AND",
                                                            "ANY",
                                                            "ARRAY",
                                                            "AS",
                                                            "ASC",
                                                            "BEGIN",
                                                            "BETWEEN",
                                                            "BOTH",
                                                            "BY",
                                                            "CASE",
                                                            "CAST",
                                                            "CHECK",
                                                            "COLLATE",
                                                            "COLUMN",
                                                            "COMMIT",
                                                            "CONSTRAINT",
                                                            "CREATE",
                                                            "CROSS",
                                                            "CURRENT",
                                                            "CURRENT_DATE",
                                                            "CURRENT_TIME",
                                                            "CURRENT_TIMESTAMP",
                                                            "CURRENT_USER",
                                                            "DEFAULT",
                                                            "DEFERRABLE",
                                                            "DELETE",
                                                            "DESC",
                                                            "DISTINCT",
                                                            "DO",
                                                            "DROP",
                                                            "ELSE",
                                                            "END",
                                                            "ESCAPE",
                                                            "EXCEPT",
                                                            "EXISTS",
                                                            "FALSE",
                                                            "FETCH",
                                                            "FILTER",
                                                            "FOR",
                                                            "FOREIGN",
                                                            "FROM",
                                                            "FULL",
                                                            "GLOB",
                                                            "GRANT",
                                                            "GROUP",
                                                            "HAVING",
                                                            "IF",
                                                            "IN",
                                                            "INDEX",
                                                            "INNER",
                                                            "INSERT",
                                                            "INTERSECT",
                                                            "INTO",
                                                            "IS",
                                                            "ISNULL",
                                                            "JOIN",
                                                            "KEY",
                                                            "LEADING",
                                                            "LEFT",
                                                            "LIKE",
                                                            "LIMIT",
                                                            "LOCALTIME",
                                                            "LOCALTIMESTAMP",
                                                            "MATCH",
                                                            "NATURAL",
                                                            "NOT",
                                                            "NOTNULL",
                                                            "NULL",
                                                            "OF",
                                                            "OFFSET",
                                                            "ON",
                                                            "ONLY",
                                                            "OR",
                                                            "ORDER",
                                                            "OUTER",
                                                            "OVER",
                                                            "PLACING",
                                                            "PRIMARY",
                                                            "REFERENCES",
                                                            "REGEXP",
                                                            "RETURNING",
                                                            "RIGHT",
                                                            "ROLLBACK",
                                                            "ROW",
                                                            "ROWS",
                                                            "SELECT",
                                                            "SESSION_USER",
                                                            "SET",
                                                            "SOME",
                                                            "SYMMETRIC",
                                                            "TABLE",
                                                            "THEN",
                                                            "TO",
                                                            "TRAILING",
                                                            "TRANSACTION",
                                                            "TRIGGER",
                                                            "TRUE",
                                                            "UNION",
                                                            "UNIQUE",
                                                            "UPDATE",
                                                            "USER",
                                                            "USING",
                                                            "VALUES",
                                                            "VIEW",
                                                            "WHEN",
                                                            "WHERE",
                                                            "WINDOW",
                                                            "WITH"};
  return kWords;
}

const std::set<std::string, std::less<>>& TableHints() {
  static const std::set<std::string, std::less<>> kHints = {
      "NOLOCK",  "READUNCOMMITTED", "UPDLOCK",        "ROWLOCK",     "HOLDLOCK",
      "TABLOCK", "TABLOCKX",        "PAGLOCK",        "READPAST",    "XLOCK",
      "NOWAIT",  "READCOMMITTED",   "REPEATABLEREAD", "SERIALIZABLE"};
  return kHints;
}

bool IsPlainIdentifier(const std::string& name) {
  if (name.empty()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
  }
  return ReservedWords().count(AsciiUpper(name)) == 0;
}

std::string Quote(const std::string& text, char q) {
  std::string out(1, q);
  for (char c : text) {
    out += c;
    if (c == q) out += q;
  }
  out += q;
  return out;
}

std::string BlobLiteral(const std::string& hex, Dialect d) {
  std::string digits = hex.size() % 2 ? "0" + hex : hex;
  if (d == Dialect::SQLite) return "X'" + digits + "'";
  return "'\\x" + digits + "'::bytea";
}

std::string TextLiteral(const std::string& utf8) {
  if (utf8.find('\0') != std::string::npos)
    throw EDatabaseError("A text value holds the character NUL, which the database refuses");
  return Quote(utf8, '\'');
}

class Renderer {
 public:
  Renderer(const Script& s, TokenRange r, Dialect d, const IVariableSource& v)
      : t_(s.tokens), r_(r), d_(d), vars_(v) {}

  // With `items`, the places in the text of the variables that are whole VALUES items.
  std::string Run(std::vector<RowStatement::Span>* items = nullptr) {
    size_t i = r_.begin;
    std::string limit = TopClause(i);
    int depth = 0;
    bool inValues = false;  // inside the VALUES lists at the statement's level
    for (; i < r_.end; ++i) {
      if (SkipHint(i)) continue;
      const Token& tok = t_[i];
      if (depth == 0) {
        if (tok.IsWord("VALUES"))
          inValues = true;
        else if (!tok.IsSymbol("(") && !tok.IsSymbol(","))
          inValues = false;
      }
      const bool item = items && inValues && depth == 1 && tok.kind == TokenKind::Variable &&
                        i > r_.begin && (IsSym(i - 1, "(") || IsSym(i - 1, ",")) &&
                        (IsSym(i + 1, ")") || IsSym(i + 1, ","));
      if (tok.IsSymbol("(")) ++depth;
      if (tok.IsSymbol(")") && depth > 0) --depth;
      std::string piece = Piece(i);
      if (!out_.empty() && (tok.spaceBefore || pendingSpace_)) out_ += ' ';
      pendingSpace_ = false;
      if (item) items->push_back({out_.size(), piece.size()});
      out_ += piece;
    }
    if (!limit.empty()) out_ += " LIMIT " + limit;
    return out_;
  }

 private:
  bool IsSym(size_t i, std::string_view s) const { return i < r_.end && t_[i].IsSymbol(s); }
  bool IsWord(size_t i, std::string_view w) const { return i < r_.end && t_[i].IsWord(w); }

  // SELECT [DISTINCT] TOP n / TOP (n) at the start: the TOP clause is removed (i moves past
  // the tokens written so far) and n returned.
  std::string TopClause(size_t& i) {
    if (!IsWord(i, "SELECT")) return "";
    size_t j = i + 1;
    if (IsWord(j, "DISTINCT") || IsWord(j, "ALL")) ++j;
    if (!IsWord(j, "TOP")) return "";
    size_t k = j + 1;
    bool paren = IsSym(k, "(");
    if (paren) ++k;
    if (k >= r_.end || t_[k].kind != TokenKind::Number) return "";
    std::string n = t_[k].text;
    ++k;
    if (paren) {
      if (!IsSym(k, ")")) return "";
      ++k;
    }
    if (IsWord(k, "PERCENT") || IsWord(k, "WITH")) return "";
    for (size_t x = i; x < j; ++x) {
      if (!out_.empty()) out_ += ' ';
      out_ += t_[x].text;
    }
    pendingSpace_ = true;
    i = k;
    return n;
  }

  // Table hints: WITH ( hint [, hint]... ) or ( hint ) after a name; skipped, i at their end.
  bool SkipHint(size_t& i) {
    size_t j = i;
    if (IsWord(j, "WITH")) ++j;
    if (!IsSym(j, "(")) return false;
    if (j == i && (i == r_.begin ||
                   (t_[i - 1].kind != TokenKind::Word && t_[i - 1].kind != TokenKind::Bracketed)))
      return false;
    size_t k = j + 1;
    bool any = false;
    while (k < r_.end && t_[k].kind == TokenKind::Word && TableHints().count(t_[k].upper)) {
      any = true;
      ++k;
      if (!IsSym(k, ",")) break;
      ++k;
    }
    if (!any || !IsSym(k, ")")) return false;
    i = k;
    pendingSpace_ = true;
    return true;
  }

  // Skips "( )" after a function name; true when it was there.
  bool EmptyParens(size_t& i) {
    if (IsSym(i + 1, "(") && IsSym(i + 2, ")")) {
      i += 2;
      return true;
    }
    return false;
  }

  std::string LastIdentity() const {
    return d_ == Dialect::SQLite ? "last_insert_rowid()" : "lastval()";
  }

  std::string Piece(size_t& i) {
    const Token& tok = t_[i];
    switch (tok.kind) {
      case TokenKind::String:
        return TextLiteral(tok.value);
      case TokenKind::Bracketed:
        return IsPlainIdentifier(tok.value) ? tok.value : Quote(tok.value, '"');
      case TokenKind::Quoted:
        return Quote(tok.value, '"');
      case TokenKind::HexNumber:
        return BlobLiteral(tok.value, d_);
      case TokenKind::Variable: {
        const Variant* v = vars_.FindVariable(tok.value);
        if (!v)
          throw EDatabaseError("Must declare the scalar variable \"@" + tok.value + "\". (line " +
                               std::to_string(tok.line) + ")");
        return SqlLiteral(*v, d_);
      }
      case TokenKind::SystemVar:
        if (tok.value == "IDENTITY") return LastIdentity();
        return std::to_string(vars_.SystemValue(tok.value));
      case TokenKind::Symbol:
        if (tok.text == "!<") return ">=";
        if (tok.text == "!>") return "<=";
        return tok.text;
      case TokenKind::Word:
        if (IsSym(i + 1, "(")) {
          if (tok.upper == "GETDATE" && EmptyParens(i))
            return TextLiteral(FormatDateTimeText(NowOleDate()));
          if (tok.upper == "SCOPE_IDENTITY" && EmptyParens(i)) return LastIdentity();
          if (tok.upper == "ISNULL") return "COALESCE";
          if (tok.upper == "LEN") return "LENGTH";
        }
        return tok.text;
      default:
        return tok.text;
    }
  }

  const std::vector<Token>& t_;
  TokenRange r_;
  Dialect d_;
  const IVariableSource& vars_;
  std::string out_;
  bool pendingSpace_ = false;
};

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

}  // namespace

std::string RenderSql(const Script& script, TokenRange range, Dialect dialect,
                      const IVariableSource& vars) {
  return Renderer(script, range, dialect, vars).Run();
}

RowStatement RenderRowStatement(const Script& script, TokenRange range, Dialect dialect,
                                const IVariableSource& vars) {
  RowStatement statement;
  statement.sql = Renderer(script, range, dialect, vars).Run(&statement.values);
  return statement;
}

std::string SqlLiteral(const Variant& value, Dialect d) {
  const Variant v = value.IsByRef() ? value.Deref() : value;
  if (v.IsNull() || v.IsEmpty()) return "NULL";
  if (v.IsArray()) {
    const VarArray& a = v.AsArray();
    if (a.DimCount() != 1 || (a.ElementType() != varByte && a.ElementType() != varShortInt))
      throw EDatabaseError("Only byte arrays can be passed to the database as values");
    return BlobLiteral(Hex(a.RawData()), d);
  }
  switch (v.Kind()) {
    case varBoolean:
      if (d == Dialect::SQLite) return v.AsBoolean() ? "1" : "0";
      return v.AsBoolean() ? "'1'" : "'0'";
    case varSmallint:
    case varInteger:
    case varShortInt:
    case varByte:
    case varWord:
    case varLongWord:
    case varInt64:
      return std::to_string(v.AsIntegerValue());
    case varUInt64:
      return std::to_string(uint64_t(v.AsIntegerValue()));
    case varSingle:
    case varDouble: {
      const double x = v.AsDoubleValue();
      if (std::isfinite(x)) return DoubleText(x);  // reads back as the very same double
      // PostgreSQL's float8 holds NaN and both infinities (and casts them on to numeric, or
      // refuses them for an integer column, row by row); SQLite reads an overflowing literal as
      // an infinity but has no NaN (it would store NULL), so that value is refused.
      if (d == Dialect::PostgreSQL)
        return std::isnan(x) ? "'NaN'::float8"
               : x > 0       ? "'Infinity'::float8"
                             : "'-Infinity'::float8";
      if (std::isnan(x))
        throw EDatabaseError("SQLite cannot store NaN (a number that is not a number)");
      return x > 0 ? "9e999" : "-9e999";
    }
    case varCurrency: {
      int64_t s = v.AsCurrency().scaled;
      uint64_t mag = s < 0 ? uint64_t(0) - uint64_t(s) : uint64_t(s);
      char buf[40];
      std::snprintf(buf, sizeof buf, "%s%llu.%04llu", s < 0 ? "-" : "",
                    static_cast<unsigned long long>(mag / 10000),
                    static_cast<unsigned long long>(mag % 10000));
      return buf;
    }
    case varDate:
      return TextLiteral(FormatDateTimeText(v.AsDoubleValue()));
    case varBcd:
      return v.AsBcd().ToString();
    case varDecimal:
      return v.AsDecimal().ToString();
    case varOleStr:
    case varUString:
      return TextLiteral(Utf16ToUtf8(v.AsWide()));
    case varString:
      return TextLiteral(AnsiToUtf8(v.AsAnsi()));
    case varSQLTimeStamp: {
      const SQLTimeStamp& ts = v.AsSQLTimeStamp();
      char buf[64];
      std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02u:%02u:%02u.%03u", int(ts.year),
                    unsigned(ts.month), unsigned(ts.day), unsigned(ts.hour), unsigned(ts.minute),
                    unsigned(ts.second), unsigned(ts.fractions / 1000000));
      return TextLiteral(buf);
    }
    default:
      throw EDatabaseError("A value of type " + VarTypeName(v.Type()) +
                           " cannot be passed to the database");
  }
}

std::string SqlIdentifier(std::string_view name) {
  std::string out;
  size_t start = 0;
  while (true) {
    size_t dot = name.find('.', start);
    std::string part(
        name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
    if (part.size() >= 2 && part.front() == '[' && part.back() == ']')
      part = part.substr(1, part.size() - 2);
    if (part.empty()) throw EDatabaseError("Invalid name \"" + std::string(name) + "\"");
    if (!out.empty()) out += '.';
    out += IsPlainIdentifier(part) ? part : Quote(part, '"');
    if (dot == std::string_view::npos) return out;
    start = dot + 1;
  }
}

std::string BeginSql(Dialect d) {
  return d == Dialect::SQLite ? "BEGIN IMMEDIATE" : "BEGIN";
}

}  // namespace qorvin::server
