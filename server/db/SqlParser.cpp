#include "server/db/SqlParser.h"

#include <set>

#include "platform/rtl/FieldTypes.h"

namespace qorvin::server {
namespace {

using StmtPtr = std::unique_ptr<Stmt>;

const std::set<std::string, std::less<>>& StatementWords() {
  static const std::set<std::string, std::less<>> kWords = {
      "SELECT", "INSERT",    "UPDATE", "DELETE", "CREATE", "DROP",  "ALTER", "TRUNCATE", "BEGIN",
      "COMMIT", "ROLLBACK",  "IF",     "ELSE",   "END",    "SET",   "EXEC",  "EXECUTE",  "DECLARE",
      "RETURN", "RAISERROR", "THROW",  "PRINT",  "WHILE",  "GRANT", "REVOKE"};
  return kWords;
}

bool OneOf(std::string_view word, std::initializer_list<std::string_view> words) {
  for (std::string_view w : words)
    if (w == word) return true;
  return false;
}

struct PlainState {
  bool sawValues = false;
  bool sawSelect = false;
  bool sawSet = false;
  std::string main;  // the main statement word after a WITH clause
};

class Parser {
 public:
  explicit Parser(const std::vector<Token>& tokens) : t_(tokens) {}

  std::vector<StmtPtr> ParseAll() {
    std::vector<StmtPtr> out;
    while (i_ < t_.size()) {
      if (IsWord(i_, "END") || IsWord(i_, "ELSE")) Fail(i_);
      ParseInto(out);
    }
    return out;
  }

 private:
  [[noreturn]] void Fail(size_t at) const {
    if (at >= t_.size()) {
      int line = t_.empty() ? 1 : t_.back().line;
      throw EDatabaseError("Incorrect syntax near the end of the batch (line " +
                           std::to_string(line) + ")");
    }
    throw EDatabaseError("Incorrect syntax near '" + t_[at].text + "' (line " +
                         std::to_string(t_[at].line) + ")");
  }
  [[noreturn]] void Unsupported(const std::string& what, size_t at) const {
    throw EDatabaseError(what + " is not supported by this server (line " +
                         std::to_string(t_[at].line) + ")");
  }

  bool IsWord(size_t at, std::string_view upper) const {
    return at < t_.size() && t_[at].IsWord(upper);
  }
  bool IsSymbol(size_t at, std::string_view symbol) const {
    return at < t_.size() && t_[at].IsSymbol(symbol);
  }
  bool IsStatementWord(size_t at) const {
    return at < t_.size() && t_[at].kind == TokenKind::Word &&
           StatementWords().count(t_[at].upper) != 0;
  }
  // A token that ends an expression or argument list: end of input, ';' or a statement word.
  bool AtBoundary(size_t at) const {
    return at >= t_.size() || IsSymbol(at, ";") || IsStatementWord(at);
  }

  StmtPtr Make(StmtKind kind, size_t at) const {
    auto s = std::make_unique<Stmt>();
    s->kind = kind;
    s->line = at < t_.size() ? t_[at].line : (t_.empty() ? 1 : t_.back().line);
    return s;
  }

  // Blocks and IFs nest by recursion; a bound keeps a hostile batch from exhausting the stack.
  struct Nesting {
    explicit Nesting(Parser& p) : p_(p) {
      if (++p_.depth_ > kMaxNesting)
        throw EDatabaseError("The batch nests BEGIN ... END and IF more than " +
                             std::to_string(kMaxNesting) + " levels deep");
    }
    ~Nesting() { --p_.depth_; }
    Parser& p_;
  };
  static constexpr int kMaxNesting = 200;

  // One statement (DECLARE of several variables gives several) appended to `out`.
  void ParseInto(std::vector<StmtPtr>& out) {
    Nesting nesting(*this);
    while (IsSymbol(i_, ";")) ++i_;
    if (i_ >= t_.size()) return;
    const Token& tok = t_[i_];
    if (tok.kind != TokenKind::Word) {
      out.push_back(Plain());
      return;
    }
    const std::string& w = tok.upper;
    if (w == "BEGIN") return out.push_back(Begin());
    if (w == "COMMIT" || w == "ROLLBACK") return out.push_back(EndTran());
    if (w == "IF") return out.push_back(If());
    if (w == "SET") return out.push_back(Set());
    if (w == "EXEC" || w == "EXECUTE") return out.push_back(Exec());
    if (w == "DECLARE") return Declare(out);
    if (w == "RETURN") return out.push_back(Return());
    if (w == "RAISERROR") return out.push_back(RaisError());
    if (w == "THROW") return out.push_back(Throw());
    if (w == "PRINT") {
      auto s = Make(StmtKind::Print, i_);
      s->tokens = Expr(++i_, false);
      if (s->tokens.Empty()) Fail(i_);
      return out.push_back(std::move(s));
    }
    if (w == "WHILE") Unsupported("WHILE", i_);
    out.push_back(Plain());
  }

  // Exactly one statement (a DECLARE list becomes a block).
  StmtPtr ParseOne() {
    while (IsSymbol(i_, ";")) ++i_;
    if (i_ >= t_.size() || IsWord(i_, "END") || IsWord(i_, "ELSE")) Fail(i_);
    size_t at = i_;
    std::vector<StmtPtr> list;
    ParseInto(list);
    if (list.size() == 1) return std::move(list[0]);
    auto block = Make(StmtKind::Block, at);
    block->body = std::move(list);
    return block;
  }

  StmtPtr Begin() {
    size_t at = i_++;
    if (IsWord(i_, "TRAN") || IsWord(i_, "TRANSACTION")) {
      ++i_;
      SkipTransactionName();
      return Make(StmtKind::BeginTran, at);
    }
    if (IsWord(i_, "TRY") || IsWord(i_, "CATCH")) Unsupported("BEGIN " + t_[i_].upper, i_);
    if (IsWord(i_, "DISTRIBUTED")) Unsupported("BEGIN DISTRIBUTED TRANSACTION", i_);
    auto block = Make(StmtKind::Block, at);
    while (true) {
      while (IsSymbol(i_, ";")) ++i_;
      if (i_ >= t_.size())
        throw EDatabaseError("BEGIN without END (line " + std::to_string(block->line) + ")");
      if (IsWord(i_, "END")) break;
      if (IsWord(i_, "ELSE")) Fail(i_);
      ParseInto(block->body);
    }
    ++i_;  // END
    return block;
  }

  void SkipTransactionName() {
    if (i_ < t_.size() && !IsStatementWord(i_) &&
        (t_[i_].kind == TokenKind::Word || t_[i_].kind == TokenKind::Variable ||
         t_[i_].kind == TokenKind::Bracketed))
      ++i_;
  }

  StmtPtr EndTran() {
    size_t at = i_;
    auto s = Make(t_[i_].upper == "COMMIT" ? StmtKind::CommitTran : StmtKind::RollbackTran, at);
    ++i_;
    if (IsWord(i_, "TRAN") || IsWord(i_, "TRANSACTION") || IsWord(i_, "WORK")) ++i_;
    SkipTransactionName();
    return s;
  }

  StmtPtr If() {
    auto s = Make(StmtKind::If, i_);
    s->tokens = Expr(++i_, false);
    if (s->tokens.Empty()) Fail(i_);
    s->body.push_back(ParseOne());
    while (IsSymbol(i_, ";")) ++i_;
    if (IsWord(i_, "ELSE")) {
      ++i_;
      s->body.push_back(ParseOne());
    }
    return s;
  }

  StmtPtr Set() {
    size_t at = i_;
    if (i_ + 1 < t_.size() && t_[i_ + 1].kind == TokenKind::Variable) {
      auto s = Make(StmtKind::SetVar, at);
      s->name = t_[i_ + 1].value;
      i_ += 2;
      if (!IsSymbol(i_, "=")) Fail(i_);
      s->tokens = Expr(++i_, false);
      if (s->tokens.Empty()) Fail(i_);
      return s;
    }
    if (i_ + 2 < t_.size() && t_[i_ + 1].kind == TokenKind::Word &&
        (IsWord(i_ + 2, "ON") || IsWord(i_ + 2, "OFF")) && AtBoundary(i_ + 3)) {
      auto s = Make(StmtKind::SetOption, at);
      s->name = t_[i_ + 1].upper;
      s->on = IsWord(i_ + 2, "ON");
      s->tokens = {i_, i_ + 3};
      i_ += 3;
      return s;
    }
    return Plain();
  }

  StmtPtr Exec() {
    auto s = Make(StmtKind::Exec, i_++);
    if (IsSymbol(i_, "(")) Unsupported("EXEC of a string (dynamic SQL)", i_);
    if (i_ + 1 < t_.size() && t_[i_].kind == TokenKind::Variable && IsSymbol(i_ + 1, "=")) {
      s->name = t_[i_].value;
      i_ += 2;
    }
    // [schema.]name: the last part names the procedure.
    while (true) {
      if (i_ >= t_.size()) Fail(i_);
      const Token& part = t_[i_];
      if (part.kind == TokenKind::Word || part.kind == TokenKind::Bracketed ||
          part.kind == TokenKind::Quoted) {
        s->procName = part.kind == TokenKind::Word ? part.text : part.value;
        ++i_;
      } else {
        Fail(i_);
      }
      if (!IsSymbol(i_, ".")) break;
      ++i_;
    }
    if (AtBoundary(i_)) return s;
    while (true) {
      ExecArg arg;
      if (i_ + 1 < t_.size() && t_[i_].kind == TokenKind::Variable && IsSymbol(i_ + 1, "=")) {
        arg.param = t_[i_].value;
        i_ += 2;
      }
      arg.value = Expr(i_, true);
      if (arg.value.Empty()) Fail(i_);
      const Token& last = t_[arg.value.end - 1];
      if (last.IsWord("OUTPUT") || last.IsWord("OUT")) {
        arg.output = true;
        --arg.value.end;
        if (arg.value.Empty()) Fail(arg.value.end);
      }
      s->args.push_back(std::move(arg));
      if (!IsSymbol(i_, ",")) break;
      ++i_;
    }
    if (!AtBoundary(i_)) Fail(i_);
    return s;
  }

  void Declare(std::vector<StmtPtr>& out) {
    ++i_;
    while (true) {
      if (i_ >= t_.size() || t_[i_].kind != TokenKind::Variable) Fail(i_);
      auto s = Make(StmtKind::Declare, i_);
      s->name = t_[i_++].value;
      if (IsWord(i_, "AS")) ++i_;
      // The type (a name with optional arguments) is accepted and not checked: values keep the
      // type the database gives them.
      if (i_ >= t_.size() || t_[i_].kind != TokenKind::Word || IsStatementWord(i_)) Fail(i_);
      ++i_;
      if (IsSymbol(i_, "(")) {
        while (i_ < t_.size() && !IsSymbol(i_, ")")) ++i_;
        if (i_ >= t_.size()) Fail(i_);
        ++i_;
      }
      if (IsSymbol(i_, "=")) {
        s->tokens = Expr(++i_, true);
        if (s->tokens.Empty()) Fail(i_);
      }
      out.push_back(std::move(s));
      if (!IsSymbol(i_, ",")) break;
      ++i_;
    }
    if (!AtBoundary(i_)) Fail(i_);
  }

  StmtPtr Return() {
    auto s = Make(StmtKind::Return, i_++);
    if (!AtBoundary(i_)) s->tokens = Expr(i_, false);
    return s;
  }

  StmtPtr RaisError() {
    auto s = Make(StmtKind::RaiseError, i_++);
    if (!IsSymbol(i_, "(")) Fail(i_);
    s->tokens = Expr(++i_, true);
    if (s->tokens.Empty()) Fail(i_);
    int depth = 1;
    while (i_ < t_.size() && depth > 0) {
      if (IsSymbol(i_, "(")) ++depth;
      if (IsSymbol(i_, ")")) --depth;
      ++i_;
    }
    if (depth != 0) Fail(i_);
    if (IsWord(i_, "WITH")) {
      ++i_;
      while (i_ < t_.size() && t_[i_].kind == TokenKind::Word && !IsStatementWord(i_)) {
        ++i_;
        if (!IsSymbol(i_, ",")) break;
        ++i_;
      }
    }
    return s;
  }

  StmtPtr Throw() {
    auto s = Make(StmtKind::RaiseError, i_++);
    if (AtBoundary(i_)) Unsupported("THROW without arguments", i_ - 1);
    if (Expr(i_, true).Empty() || !IsSymbol(i_, ",")) Fail(i_);
    s->tokens = Expr(++i_, true);
    if (s->tokens.Empty() || !IsSymbol(i_, ",")) Fail(i_);
    if (Expr(++i_, true).Empty()) Fail(i_);
    return s;
  }

  // An expression from `start`: up to a statement boundary, an unmatched ')' or (when
  // `stopAtComma`) a ',' at depth 0. Leaves i_ at the end.
  TokenRange Expr(size_t start, bool stopAtComma) {
    size_t j = start;
    int depth = 0, caseDepth = 0;
    for (; j < t_.size(); ++j) {
      const Token& tok = t_[j];
      if (tok.IsSymbol("(")) {
        ++depth;
      } else if (tok.IsSymbol(")")) {
        if (depth == 0) break;
        --depth;
      } else if (depth == 0) {
        if (tok.IsSymbol(";") || (stopAtComma && tok.IsSymbol(","))) break;
        if (tok.IsWord("CASE")) {
          ++caseDepth;
        } else if (caseDepth > 0 && (tok.IsWord("END") || tok.IsWord("ELSE"))) {
          if (tok.IsWord("END")) --caseDepth;
        } else if (IsStatementWord(j)) {
          break;
        }
      }
    }
    i_ = j;
    return {start, j};
  }

  // WITH name AS ( / WITH name (columns) AS ( / WITH RECURSIVE: a new statement's CTE.
  bool StartsCommonTableExpression(size_t j) const {
    if (IsWord(j + 1, "RECURSIVE")) return true;
    if (j + 2 >= t_.size()) return false;
    const Token& name = t_[j + 1];
    if (name.kind != TokenKind::Word && name.kind != TokenKind::Bracketed &&
        name.kind != TokenKind::Quoted)
      return false;
    return IsWord(j + 2, "AS") || IsSymbol(j + 2, "(");
  }

  // Whether the statement is an INSERT (alone or after a WITH clause) that has not yet reached
  // its VALUES or its SELECT.
  static bool AwaitsInsertQuery(const std::string& first, const PlainState& st) {
    return (first == "INSERT" || st.main == "INSERT") && !st.sawValues && !st.sawSelect;
  }

  StmtPtr Plain();
  bool Continues(size_t j, const std::string& first, PlainState& st) const;

  const std::vector<Token>& t_;
  size_t i_ = 0;
  int depth_ = 0;
};

// Whether the statement word at `j` continues the plain statement that began with `first`.
bool Parser::Continues(size_t j, const std::string& first, PlainState& st) const {
  const std::string& w = t_[j].upper;
  std::string prev = j > 0 ? (t_[j - 1].kind == TokenKind::Word ? t_[j - 1].upper : "") : "";
  if (first == "ALTER") return w != "END" && w != "ELSE";
  // "... WITH GRANT OPTION", "REVOKE GRANT OPTION FOR ...".
  if (OneOf(w, {"GRANT", "REVOKE"})) return prev == "WITH" || (w == "GRANT" && prev == "REVOKE");
  // The privileges of a GRANT or REVOKE are statement words: "grant select, insert on t to r",
  // "revoke grant option for delete on t from r", "grant execute on function f to r".
  if ((first == "GRANT" || first == "REVOKE") &&
      (OneOf(prev, {"GRANT", "REVOKE", "FOR"}) || (j > 0 && t_[j - 1].IsSymbol(","))))
    return true;
  if (OneOf(w, {"SELECT", "INSERT", "UPDATE", "DELETE"})) {
    if (OneOf(prev, {"ON", "AFTER", "BEFORE", "OF", "FOR", "DO"})) return true;
    if (first == "WITH" && st.main.empty()) {
      st.main = w;
      return true;
    }
    if (w == "SELECT") {
      if (OneOf(prev, {"UNION", "ALL", "EXCEPT", "INTERSECT", "AS"})) return true;
      if (AwaitsInsertQuery(first, st)) {
        st.sawSelect = true;
        return true;
      }
    }
    return false;
  }
  if (w == "SET") {
    if (prev == "DELETE" || prev == "UPDATE") return true;
    if ((first == "UPDATE" || st.main == "UPDATE") && !st.sawSet) {
      st.sawSet = true;
      return true;
    }
    return false;
  }
  if (w == "IF") return OneOf(first, {"CREATE", "DROP"});
  if (OneOf(w, {"DROP", "COMMIT", "DELETE"})) return prev == "ON";  // ON COMMIT DROP
  return false;
}

StmtPtr Parser::Plain() {
  auto s = Make(StmtKind::Sql, i_);
  size_t start = i_;
  std::string first = t_[start].kind == TokenKind::Word ? t_[start].upper : "";
  PlainState st;
  bool trigger = false;
  int depth = 0, caseDepth = 0, blockDepth = 0;
  size_t j = start + 1;
  for (; j < t_.size(); ++j) {
    const Token& tok = t_[j];
    if (tok.IsSymbol("(")) {
      ++depth;
      continue;
    }
    if (tok.IsSymbol(")")) {
      if (depth > 0) --depth;
      continue;
    }
    if (depth > 0) continue;
    if (tok.IsSymbol(";")) {
      if (blockDepth > 0) continue;
      break;
    }
    if (tok.kind != TokenKind::Word) continue;
    const std::string& w = tok.upper;
    if (first == "CREATE" && w == "TRIGGER" && blockDepth == 0) trigger = true;
    if (w == "VALUES") st.sawValues = true;
    if (w == "CASE") {
      ++caseDepth;
      continue;
    }
    if (caseDepth > 0 && (w == "END" || w == "ELSE")) {
      if (w == "END") --caseDepth;
      continue;
    }
    if (trigger) {
      if (w == "BEGIN") ++blockDepth;
      if (w == "END" && --blockDepth == 0) {
        ++j;
        break;
      }
      continue;
    }
    // A table expression after the target of an INSERT, before its query, belongs to that
    // query; anywhere else it begins the next statement.
    if (w == "WITH" && first != "ALTER" && StartsCommonTableExpression(j) &&
        !AwaitsInsertQuery(first, st))
      break;
    if (IsStatementWord(j) && !Continues(j, first, st)) break;
  }
  if (trigger && blockDepth > 0)
    throw EDatabaseError("CREATE TRIGGER without END (line " + std::to_string(s->line) + ")");
  s->tokens = {start, j};
  i_ = j;
  return s;
}

}  // namespace

std::shared_ptr<const Script> ParseScript(std::string_view sql) {
  auto script = std::make_shared<Script>();
  script->tokens = Tokenize(sql);
  script->statements = Parser(script->tokens).ParseAll();
  return script;
}

}  // namespace qorvin::server
