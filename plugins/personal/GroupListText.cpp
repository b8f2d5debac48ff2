#include "plugins/personal/GroupListText.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

namespace qorvin {

namespace {

// The marks that stand for the characters a name cannot hold in the text. Each starts with '|',
// and an encoded name holds '|' only at the start of a mark.
struct TNameMark {
  char Character;
  std::string_view Mark;
};
constexpr TNameMark kNameMarks[] = {
    {'=', "|EqulsTo|"}, {'|', "|Bar|"}, {'\r', "|CR|"}, {'\n', "|LF|"}};

bool IsBlank(char c) {
  return c != '\0' && static_cast<unsigned char>(c) <= ' ';
}

}  // namespace

std::string EncodeGroupName(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    const TNameMark* mark = nullptr;
    for (const TNameMark& m : kNameMarks) {
      if (m.Character == c) mark = &m;
    }
    if (mark != nullptr) {
      out += mark->Mark;
    } else {
      out += c;
    }
  }
  return out;
}

std::string DecodeGroupName(const std::string& encoded) {
  std::string out;
  out.reserve(encoded.size());
  for (size_t i = 0; i < encoded.size();) {
    const TNameMark* mark = nullptr;
    if (encoded[i] == '|') {
      for (const TNameMark& m : kNameMarks) {
        if (encoded.compare(i, m.Mark.size(), m.Mark) == 0) mark = &m;
      }
    }
    if (mark != nullptr) {
      out += mark->Character;
      i += mark->Mark.size();
    } else {
      out += encoded[i++];  // a '|' that starts no mark stays as it is
    }
  }
  return out;
}

std::string BuildGroupListText(const std::vector<TGroupLine>& groups) {
  std::string text;
  for (size_t i = 0; i < groups.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += EncodeGroupName(groups[i].Name) + "=" + groups[i].MenuIdList;
  }
  return text;
}

std::vector<TGroupLine> ParseGroupListText(const std::string& text) {
  std::vector<TGroupLine> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    if (line.empty()) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
      lines.push_back({DecodeGroupName(line), ""});
    } else {
      lines.push_back({DecodeGroupName(line.substr(0, eq)), line.substr(eq + 1)});
    }
  }
  return lines;
}

std::vector<std::string> SplitCommaText(const std::string& text) {
  std::vector<std::string> entries;
  size_t p = 0;
  const size_t n = text.size();
  while (p < n && IsBlank(text[p])) ++p;
  while (p < n) {
    std::string entry;
    if (text[p] == '"') {
      ++p;
      while (p < n) {
        if (text[p] == '"') {
          if (p + 1 < n && text[p + 1] == '"') {
            entry += '"';
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        entry += text[p++];
      }
    } else {
      const size_t s = p;
      while (p < n && !IsBlank(text[p]) && text[p] != ',') ++p;
      entry = text.substr(s, p - s);
    }
    entries.push_back(entry);
    while (p < n && IsBlank(text[p])) ++p;
    if (p < n && text[p] == ',') {
      if (p + 1 == n) entries.emplace_back();
      do {
        ++p;
      } while (p < n && IsBlank(text[p]));
    }
  }
  return entries;
}

bool TryStrToInt(const std::string& text, int& value) {
  if (text.empty()) return false;
  const char first = text[0];
  if (!(first == '-' || first == '+' || (first >= '0' && first <= '9'))) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || end == text.c_str() || v < INT_MIN || v > INT_MAX) return false;
  if ((first == '-' || first == '+') && text.size() == 1) return false;
  value = int(v);
  return true;
}

int StrToIntDef(const std::string& text, int fallback) {
  int value = fallback;
  return TryStrToInt(text, value) ? value : fallback;
}

std::string JoinMenuIds(const std::vector<int>& ids) {
  std::string text;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i > 0) text += ',';
    text += std::to_string(ids[i]);
  }
  return text;
}

}  // namespace qorvin
