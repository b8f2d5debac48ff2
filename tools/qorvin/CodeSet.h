// The terminal's code set: the process locale's (set from the environment at start-up), which is
// also the code set in which the client library reads and writes 8-bit text. A locale that names
// only ASCII ("C", "POSIX") is taken as UTF-8, as the library does, so no non-ASCII text is
// refused on a machine that never set a locale.
//
// Thread-safe once the locale is set; nothing here changes the locale.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qorvin::cli {

// Whether terminal text is UTF-8 (conversions below are then copies).
bool TerminalIsUtf8();

// Terminal text to UTF-8 and back. Strict: bytes invalid in the source or characters the target
// cannot hold raise UsageError naming the code set.
std::string TerminalToUtf8(std::string_view text);
std::string Utf8ToTerminal(std::string_view text);
// Terminal text to UTF-8 for output: what does not convert becomes U+FFFD, nothing is refused.
std::string TerminalToUtf8Lenient(std::string_view text);

// Decodes one UTF-8 sequence at text[*pos] and advances *pos; an invalid byte yields U+FFFD and
// advances one byte.
char32_t NextCodePoint(std::string_view text, size_t* pos);
// Appends the UTF-8 form of `cp`.
void AppendUtf8(std::string& out, char32_t cp);

// Columns a terminal gives the text: East Asian wide characters two, combining marks none.
size_t DisplayWidth(std::string_view terminalText);
// UTF-16 code units of the text (the unit in which wide-text columns are sized).
size_t Utf16Length(std::string_view terminalText);

}  // namespace qorvin::cli
