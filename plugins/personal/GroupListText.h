// The group list text: the serialized form of the common-functions tree that a save writes.
//
// One line per group in tree order, lines separated by CR LF: the encoded group name, then "=",
// then the group's MenuIdList (decimal menu ids joined by "," without blanks; empty for an empty
// group). A tree without groups gives the empty text.
//
// Encoding a name replaces every "=" by "|EqulsTo|", and, so that every name comes back exactly,
// every "|" by "|Bar|", carriage return by "|CR|" and line feed by "|LF|". A name without any of
// these four characters is written as it is. Decoding replaces each mark by its character and
// keeps a "|" that starts no mark.
// Also the comma-text splitting and integer parsing that reading a MenuIdList relies on.
#pragma once

#include <string>
#include <vector>

namespace qorvin {

struct TGroupLine {
  std::string Name;        // decoded group name
  std::string MenuIdList;  // "12,7,30"
  bool operator==(const TGroupLine&) const = default;
};

std::string EncodeGroupName(const std::string& name);
std::string DecodeGroupName(const std::string& encoded);

std::string BuildGroupListText(const std::vector<TGroupLine>& groups);
// Splits a group list text into its lines, each at its first "=" (a line without "=" is a name
// with an empty list); names come back decoded. Empty lines are skipped.
std::vector<TGroupLine> ParseGroupListText(const std::string& text);

// Splits comma text: entries separated by "," or blanks (characters up to ' '); an entry in
// double quotes is unquoted with "" standing for one quote; a "," at the very end adds an empty
// entry.
std::vector<std::string> SplitCommaText(const std::string& text);

// Reads the decimal integer in `text` (optional sign, digits, within 32 bits) into `value`;
// false, with `value` unchanged, when `text` is anything else.
bool TryStrToInt(const std::string& text, int& value);
// The decimal integer in `text`, or `fallback`.
int StrToIntDef(const std::string& text, int fallback);

// Menu ids joined by "," without blanks.
std::string JoinMenuIds(const std::vector<int>& ids);

}  // namespace qorvin
