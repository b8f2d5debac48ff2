#include "basalt/Lang.h"

#include <strings.h>

namespace qorvin {

bool TLangTable::LessIgnoringCase::operator()(const std::string& a, const std::string& b) const {
  return strcasecmp(a.c_str(), b.c_str()) < 0;
}

void TLangTable::Apply(const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const size_t eq = line.find('=');
    if (eq != std::string::npos && eq > 0) texts_[line.substr(0, eq)] = line.substr(eq + 1);
    start = end + 1;
  }
}

bool TLangTable::Has(const std::string& key) const {
  return texts_.count(key) != 0;
}

std::string TLangTable::Text(const std::string& key) const {
  const auto it = texts_.find(key);
  return it == texts_.end() ? key : it->second;
}

std::string TLangTable::Text(const std::string& key, const std::vector<std::string>& values) const {
  return FillPlaceholders(Text(key), values);
}

std::string TLangTable::FillPlaceholders(const std::string& pattern,
                                         const std::vector<std::string>& values) {
  std::string out;
  size_t next = 0;
  size_t pos = 0;
  while (pos < pattern.size()) {
    if (next < values.size() && pattern.compare(pos, 2, "%s") == 0) {
      out += values[next++];
      pos += 2;
    } else {
      out += pattern[pos++];
    }
  }
  return out;
}

std::string BasaltBaseLangText() {
  return "Comfirm=确认\r";
}

}  // namespace qorvin
