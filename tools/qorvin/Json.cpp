#include "tools/qorvin/Json.h"

#include <cstdio>

#include "tools/qorvin/CodeSet.h"
#include "tools/qorvin/Table.h"

namespace qorvin::cli {

JsonValue::JsonValue() = default;
JsonValue::JsonValue(const JsonValue&) = default;
JsonValue::JsonValue(JsonValue&&) noexcept = default;
JsonValue& JsonValue::operator=(const JsonValue&) = default;
JsonValue& JsonValue::operator=(JsonValue&&) noexcept = default;
JsonValue::~JsonValue() = default;

namespace {

constexpr int kMaxDepth = 64;

class JsonParser {
 public:
  explicit JsonParser(std::string_view text) : t_(text) {}

  JsonValue Document() {
    if (t_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    JsonValue v = Value(0);
    Space();
    if (pos_ != t_.size()) Fail("text after the JSON value");
    return v;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    size_t line = 1, column = 1;
    for (size_t i = 0; i < pos_ && i < t_.size(); ++i) {
      if (t_[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    throw UsageError("JSON line " + std::to_string(line) + " column " + std::to_string(column) +
                     ": " + what);
  }

  void Space() {
    while (pos_ < t_.size() &&
           (t_[pos_] == ' ' || t_[pos_] == '\t' || t_[pos_] == '\n' || t_[pos_] == '\r'))
      ++pos_;
  }

  bool Literal(std::string_view word) {
    if (t_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  JsonValue Value(int depth) {
    if (depth > kMaxDepth) Fail("nesting deeper than 64 levels");
    Space();
    if (pos_ >= t_.size()) Fail("a value is missing");
    JsonValue v;
    const char c = t_[pos_];
    if (c == '{') return Object(depth);
    if (c == '[') return Array(depth);
    if (c == '"') {
      v.kind = JsonValue::Kind::String;
      v.text = String();
    } else if (Literal("true")) {
      v.kind = JsonValue::Kind::Boolean;
      v.boolean = true;
    } else if (Literal("false")) {
      v.kind = JsonValue::Kind::Boolean;
    } else if (Literal("null")) {
      v.kind = JsonValue::Kind::Null;
    } else {
      v.kind = JsonValue::Kind::Number;
      v.text = Number();
    }
    return v;
  }

  JsonValue Array(int depth) {
    JsonValue v;
    v.kind = JsonValue::Kind::Array;
    ++pos_;
    Space();
    if (pos_ < t_.size() && t_[pos_] == ']') {
      ++pos_;
      return v;
    }
    for (;;) {
      v.items.push_back(Value(depth + 1));
      Space();
      if (pos_ < t_.size() && t_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < t_.size() && t_[pos_] == ']') {
        ++pos_;
        return v;
      }
      Fail("',' or ']' expected");
    }
  }

  JsonValue Object(int depth) {
    JsonValue v;
    v.kind = JsonValue::Kind::Object;
    ++pos_;
    Space();
    if (pos_ < t_.size() && t_[pos_] == '}') {
      ++pos_;
      return v;
    }
    for (;;) {
      Space();
      if (pos_ >= t_.size() || t_[pos_] != '"') Fail("a member name in quotes expected");
      std::string name = String();
      if (v.Find(name) != nullptr) Fail("the member name \"" + name + "\" appears twice");
      Space();
      if (pos_ >= t_.size() || t_[pos_] != ':') Fail("':' expected");
      ++pos_;
      v.members.emplace_back(std::move(name), Value(depth + 1));
      Space();
      if (pos_ < t_.size() && t_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < t_.size() && t_[pos_] == '}') {
        ++pos_;
        return v;
      }
      Fail("',' or '}' expected");
    }
  }

  std::string Number() {
    const size_t start = pos_;
    const auto digits = [&] {
      const size_t from = pos_;
      while (pos_ < t_.size() && t_[pos_] >= '0' && t_[pos_] <= '9') ++pos_;
      return pos_ > from;
    };
    if (pos_ < t_.size() && t_[pos_] == '-') ++pos_;
    if (pos_ < t_.size() && t_[pos_] == '0') {
      ++pos_;
    } else if (!digits()) {
      Fail("not a JSON value");
    }
    if (pos_ < t_.size() && t_[pos_] == '.') {
      ++pos_;
      if (!digits()) Fail("digits expected after the decimal point");
    }
    if (pos_ < t_.size() && (t_[pos_] == 'e' || t_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < t_.size() && (t_[pos_] == '+' || t_[pos_] == '-')) ++pos_;
      if (!digits()) Fail("digits expected in the exponent");
    }
    return std::string(t_.substr(start, pos_ - start));
  }

  unsigned Hex4() {
    if (t_.size() - pos_ < 4) Fail("four hexadecimal digits expected after \\u");
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = t_[pos_++];
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= unsigned(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        v |= unsigned(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        v |= unsigned(c - 'A' + 10);
      } else {
        Fail("four hexadecimal digits expected after \\u");
      }
    }
    return v;
  }

  std::string String() {
    std::string out;
    ++pos_;
    for (;;) {
      if (pos_ >= t_.size()) Fail("a string is not closed");
      const unsigned char c = static_cast<unsigned char>(t_[pos_]);
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (c < 0x20) Fail("a control character inside a string (write it as an escape)");
      if (c != '\\') {
        const size_t at = pos_;
        const char32_t cp = NextCodePoint(t_, &pos_);
        if (cp == 0xFFFD && t_.substr(at, 3) != "\xEF\xBF\xBD") {
          pos_ = at;
          Fail("text that is not valid UTF-8");
        }
        out.append(t_.substr(at, pos_ - at));
        continue;
      }
      ++pos_;
      if (pos_ >= t_.size()) Fail("a string is not closed");
      const char e = t_[pos_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u':
          AppendUtf8(out, Escaped());
          break;
        default:
          Fail("an unknown escape in a string");
      }
    }
  }

  // The code point of a \u escape (its "\u" already read), joining a surrogate pair.
  char32_t Escaped() {
    const unsigned first = Hex4();
    if (first >= 0xDC00 && first <= 0xDFFF) Fail("a lone low surrogate in a \\u escape");
    if (first < 0xD800 || first > 0xDBFF) return first;
    if (t_.substr(pos_, 2) != "\\u") Fail("a high surrogate without its low half");
    pos_ += 2;
    const unsigned second = Hex4();
    if (second < 0xDC00 || second > 0xDFFF) Fail("a high surrogate without its low half");
    return 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
  }

  std::string_view t_;
  size_t pos_ = 0;
};

}  // namespace

const JsonValue* JsonValue::Find(std::string_view name) const {
  for (const auto& [key, value] : members)
    if (key == name) return &value;
  return nullptr;
}

JsonValue ParseJson(std::string_view text) {
  return JsonParser(text).Document();
}

void AppendJsonString(std::string& out, std::string_view utf8) {
  out += '"';
  for (size_t pos = 0; pos < utf8.size();) {
    const char32_t cp = NextCodePoint(utf8, &pos);
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (cp < 0x20 || cp == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04X", unsigned(cp));
          out += buf;
        } else {
          AppendUtf8(out, cp);
        }
    }
  }
  out += '"';
}

bool IsJsonNumber(std::string_view text) {
  if (text.empty() || text.front() == ' ' || text.back() == ' ') return false;
  try {
    JsonParser parser(text);
    return parser.Document().kind == JsonValue::Kind::Number;
  } catch (const UsageError&) {
    return false;
  }
}

}  // namespace qorvin::cli
