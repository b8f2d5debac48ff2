#include "server/db/SqlTokenizer.h"

#include "platform/rtl/FieldTypes.h"

namespace qorvin::server {
namespace {

bool IsWordStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '#' || c >= 0x80;
}
bool IsWordPart(unsigned char c) {
  return IsWordStart(c) || (c >= '0' && c <= '9') || c == '$';
}
bool IsDigit(unsigned char c) {
  return c >= '0' && c <= '9';
}
bool IsHexDigit(unsigned char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

class Lexer {
 public:
  explicit Lexer(std::string_view sql) : s_(sql) {}

  std::vector<Token> Run() {
    std::vector<Token> out;
    bool space = false;
    while (pos_ < s_.size()) {
      if (SkipSpaceOrComment()) {
        space = true;
        continue;
      }
      Token t = Next();
      t.spaceBefore = space;
      space = false;
      out.push_back(std::move(t));
    }
    return out;
  }

 private:
  [[noreturn]] void Fail(const std::string& what, int line) const {
    throw EDatabaseError(what + " (line " + std::to_string(line) + ")");
  }

  unsigned char At(size_t i) const { return i < s_.size() ? static_cast<unsigned char>(s_[i]) : 0; }

  // Consumes one line break (CR, LF or CR LF) at pos_ if there is one.
  bool LineBreak() {
    if (At(pos_) == '\r') {
      ++pos_;
      if (At(pos_) == '\n') ++pos_;
      ++line_;
      return true;
    }
    if (At(pos_) == '\n') {
      ++pos_;
      ++line_;
      return true;
    }
    return false;
  }

  bool SkipSpaceOrComment() {
    unsigned char c = At(pos_);
    if (LineBreak()) return true;
    if (c == ' ' || c == '\t' || c == '\f' || c == '\v') {
      ++pos_;
      return true;
    }
    if (c == '-' && At(pos_ + 1) == '-') {
      while (pos_ < s_.size() && At(pos_) != '\r' && At(pos_) != '\n') ++pos_;
      return true;
    }
    if (c == '/' && At(pos_ + 1) == '*') {
      int startLine = line_;
      int depth = 0;
      while (pos_ < s_.size()) {
        if (At(pos_) == '/' && At(pos_ + 1) == '*') {
          ++depth;
          pos_ += 2;
        } else if (At(pos_) == '*' && At(pos_ + 1) == '/') {
          pos_ += 2;
          if (--depth == 0) return true;
        } else if (!LineBreak()) {
          ++pos_;
        }
      }
      Fail("Missing end comment mark '*/'", startLine);
    }
    return false;
  }

  // Reads a delimited run that ends at `close`, where a doubled `close` stands for one.
  std::string Delimited(char close, const char* what, int startLine) {
    std::string value;
    while (true) {
      if (pos_ >= s_.size()) Fail(std::string("Unclosed ") + what, startLine);
      char c = s_[pos_];
      if (c == close) {
        if (At(pos_ + 1) == static_cast<unsigned char>(close)) {
          value += close;
          pos_ += 2;
          continue;
        }
        ++pos_;
        return value;
      }
      if (c == '\r' || c == '\n') {
        size_t from = pos_;
        LineBreak();
        value.append(s_.substr(from, pos_ - from));
        continue;
      }
      value += c;
      ++pos_;
    }
  }

  Token Next() {
    Token t;
    t.line = line_;
    size_t start = pos_;
    unsigned char c = At(pos_);
    if ((c == 'N' || c == 'n') && At(pos_ + 1) == '\'') {
      pos_ += 2;
      t.kind = TokenKind::String;
      t.national = true;
      t.value = Delimited('\'', "quotation mark after the character string", t.line);
    } else if (c == '\'') {
      ++pos_;
      t.kind = TokenKind::String;
      t.value = Delimited('\'', "quotation mark after the character string", t.line);
    } else if (c == '[') {
      ++pos_;
      t.kind = TokenKind::Bracketed;
      t.value = Delimited(']', "bracket in a bracketed name", t.line);
    } else if (c == '"') {
      ++pos_;
      t.kind = TokenKind::Quoted;
      t.value = Delimited('"', "double quote in a quoted name", t.line);
    } else if (c == '0' && (At(pos_ + 1) == 'x' || At(pos_ + 1) == 'X')) {
      pos_ += 2;
      while (IsHexDigit(At(pos_))) ++pos_;
      t.kind = TokenKind::HexNumber;
      t.value = std::string(s_.substr(start + 2, pos_ - start - 2));
    } else if (IsDigit(c) || (c == '.' && IsDigit(At(pos_ + 1)))) {
      ReadNumber();
      t.kind = TokenKind::Number;
    } else if (c == '@') {
      bool system = At(pos_ + 1) == '@';
      pos_ += system ? 2 : 1;
      size_t nameStart = pos_;
      while (IsWordPart(At(pos_))) ++pos_;
      if (pos_ == nameStart) Fail("Incorrect syntax near '@'", t.line);
      std::string name(s_.substr(nameStart, pos_ - nameStart));
      t.kind = system ? TokenKind::SystemVar : TokenKind::Variable;
      t.value = system ? AsciiUpper(name) : name;
    } else if (IsWordStart(c)) {
      while (IsWordPart(At(pos_))) ++pos_;
      t.kind = TokenKind::Word;
    } else {
      ReadSymbol(t.line);
      t.kind = TokenKind::Symbol;
    }
    t.text = std::string(s_.substr(start, pos_ - start));
    if (t.kind == TokenKind::Word) t.upper = AsciiUpper(t.text);
    if (t.kind == TokenKind::Number || t.kind == TokenKind::Symbol || t.kind == TokenKind::Word)
      t.value = t.text;
    return t;
  }

  void ReadNumber() {
    while (IsDigit(At(pos_))) ++pos_;
    if (At(pos_) == '.') {
      ++pos_;
      while (IsDigit(At(pos_))) ++pos_;
    }
    if ((At(pos_) == 'e' || At(pos_) == 'E') &&
        (IsDigit(At(pos_ + 1)) ||
         ((At(pos_ + 1) == '+' || At(pos_ + 1) == '-') && IsDigit(At(pos_ + 2))))) {
      pos_ += 2;
      while (IsDigit(At(pos_))) ++pos_;
    }
  }

  void ReadSymbol(int line) {
    static constexpr std::string_view kPairs[] = {"<>", "!=", "<=", ">=", "!<", "!>", "||", "::"};
    for (std::string_view pair : kPairs) {
      if (s_.substr(pos_, 2) == pair) {
        pos_ += 2;
        return;
      }
    }
    static constexpr std::string_view kSingles = "(),;.=<>+-*/%&|^~!?:";
    if (kSingles.find(static_cast<char>(At(pos_))) == std::string_view::npos) {
      std::string shown(1, static_cast<char>(At(pos_)));
      Fail("Incorrect syntax near '" + shown + "'", line);
    }
    ++pos_;
  }

  std::string_view s_;
  size_t pos_ = 0;
  int line_ = 1;
};

}  // namespace

std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::vector<Token> Tokenize(std::string_view sql) {
  return Lexer(sql).Run();
}

}  // namespace qorvin::server
