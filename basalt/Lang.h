// The framework's language table: the texts a form looks up by key through tr().
//
// A language text is a sequence of lines "key=value", each ended by a carriage return (line feeds
// are accepted too). Keys compare ignoring ASCII case; a later line for the same key replaces the
// earlier one. Thread: UI thread only.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "basalt/BasaltApi.h"

namespace qorvin {

class BASALT_API TLangTable {
 public:
  // Adds every "key=value" line of `text` (value: everything after the first "="). Lines without
  // "=" or with an empty key are skipped.
  void Apply(const std::string& text);
  void Clear() { texts_.clear(); }
  bool Has(const std::string& key) const;
  // The text registered for `key`; the key itself when none is, so a missing text is visible.
  std::string Text(const std::string& key) const;
  // The key's text with each "%s" filled in order from `values`; inserted values are not scanned
  // again, a "%s" without a value stays as it is and surplus values are ignored.
  std::string Text(const std::string& key, const std::vector<std::string>& values) const;

  static std::string FillPlaceholders(const std::string& pattern,
                                      const std::vector<std::string>& values);

 private:
  struct LessIgnoringCase {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  std::map<std::string, std::string, LessIgnoringCase> texts_;
};

// The framework's own part of every form's language text (the key "Comfirm" among it).
BASALT_API std::string BasaltBaseLangText();

}  // namespace qorvin
