// Tokenizer of the SQL dialect that hosts send.
//
// The text is UTF-8. Line breaks may be a carriage return alone (what hosts send), a line feed or
// both; each counts as one line. Whitespace and comments ("-- ..." to the end of the line, and
// "/* ... */", which nests) separate tokens and are not kept: a token only records whether
// something separated it from the token before, so that the translation never glues two words
// together where a comment stood.
//
// Token forms:
//   Word         letters, digits, '_', '#', '$' and any byte >= 0x80, not starting with a digit
//                or '$'; `upper` holds the ASCII upper-case form for keyword tests
//   String       '...' with '' standing for one quote; N'...' (national) is the same value;
//                `value` holds the content without quotes
//   Bracketed    [...] with ]] standing for one ']'; `value` holds the name
//   Quoted       "..." with "" standing for one '"'; `value` holds the name
//   Number       digits with an optional fraction and exponent, or .digits
//   HexNumber    0x followed by hexadecimal digits (a binary literal); `value` holds the digits
//   Variable     @name; `value` holds the name without '@'
//   SystemVar    @@name; `value` holds the name without "@@", upper-cased
//   Symbol       ( ) , ; . = < > + - * / % & | ^ ~ ! ? : and the pairs <> != <= >= !< !> || ::
//
// Failure: an unterminated string, bracketed name, quoted name or comment, or a byte that starts
// no token, raises EDatabaseError naming the line ("Unclosed quotation mark ... (line 3)").
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qorvin::server {

enum class TokenKind {
  Word,
  String,
  Bracketed,
  Quoted,
  Number,
  HexNumber,
  Variable,
  SystemVar,
  Symbol,
};

struct Token {
  TokenKind kind = TokenKind::Word;
  std::string text;          // the source text of the token, exactly as written
  std::string value;         // decoded content (see above); the text itself for Number and Symbol
  std::string upper;         // Word: ASCII upper case of the text; empty for other kinds
  int line = 1;              // 1-based line of the token's first byte
  bool spaceBefore = false;  // whitespace or a comment separated it from the previous token
  bool national = false;     // String written as N'...'

  bool IsWord(std::string_view upperWord) const {
    return kind == TokenKind::Word && upper == upperWord;
  }
  bool IsSymbol(std::string_view symbol) const {
    return kind == TokenKind::Symbol && text == symbol;
  }
};

// Splits `sql` into tokens. Never reads outside `sql`.
std::vector<Token> Tokenize(std::string_view sql);

// ASCII upper case (bytes >= 0x80 unchanged).
std::string AsciiUpper(std::string_view text);

}  // namespace qorvin::server
