#include "basalt/Menu.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "basalt/BasaltError.h"

namespace qorvin {

namespace {

constexpr std::streamoff kMaxMenuFileSize = 16 * 1024 * 1024;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Splits off the next blank-separated word of `line` starting at `pos`.
std::string NextWord(const std::string& line, size_t& pos) {
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  const size_t start = pos;
  while (pos < line.size() && !IsBlank(line[pos])) ++pos;
  return line.substr(start, pos - start);
}

bool ParseInt(const std::string& word, long min, int& out) {
  if (word.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(word.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > INT_MAX) return false;
  out = int(v);
  return true;
}

}  // namespace

const TMenuInfo& TMenuList::GetMenuInfo(int index) const {
  if (index < 0 || index >= GetCount())
    throw EBasaltError(Format("Menu index %d out of range (count %d)", index, GetCount()));
  return items_[size_t(index)];
}

const TPlugListItem* TPlugList::FindByMenuId(int menuId) const {
  for (const TPlugListItem& item : items_) {
    if (item.MenuId == menuId) return &item;
  }
  return nullptr;
}

void ParseMenuText(const std::string& text, const std::string& origin, TMenuList& menus,
                   TPlugList& plugs) {
  TMenuList newMenus;
  TPlugList newPlugs;
  size_t start = 0;
  int lineNo = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++lineNo;
    while (!line.empty() && (line.back() == '\r' || IsBlank(line.back()))) line.pop_back();
    size_t pos = 0;
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    if (pos == line.size() || line[pos] == '#') continue;

    const auto fail = [&](const char* what) {
      throw EBasaltError(Format("%s:%d: %s", origin.c_str(), lineNo, what));
    };
    int id = 0;
    int parent = 0;
    if (!ParseInt(NextWord(line, pos), 1, id)) fail("menu id must be a positive integer");
    if (!ParseInt(NextWord(line, pos), 0, parent))
      fail("parent id must be 0 or a positive integer");
    const std::string plug = NextWord(line, pos);
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    const std::string caption = line.substr(pos);
    if (plug.empty() || caption.empty()) fail("expected: <id> <parent-id> <plug or -> <caption>");
    newMenus.Add(TMenuInfo(id, parent, caption));
    if (plug != "-") newPlugs.Add(TPlugListItem{plug, id});
  }
  menus = std::move(newMenus);
  plugs = std::move(newPlugs);
}

void LoadMenuFile(const std::string& path, TMenuList& menus, TPlugList& plugs) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EBasaltError("Cannot open menu file " + path + ": " + std::strerror(errno));
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0 || size > kMaxMenuFileSize)
    throw EBasaltError("Menu file " + path + " is unreadable or larger than 16 MiB");
  in.seekg(0, std::ios::beg);
  std::string text(size_t(size), '\0');
  if (!in.read(text.data(), size)) throw EBasaltError("Cannot read menu file " + path);
  ParseMenuText(text, path, menus, plugs);
}

}  // namespace qorvin
