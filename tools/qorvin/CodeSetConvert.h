// The platform's half of CodeSet.h: which code set the terminal (and the client library's 8-bit
// text) uses, and conversions between it and UTF-8. One file per platform.
#pragma once

#include <string>
#include <string_view>

namespace qorvin::cli {

// The terminal's code set by name ("UTF-8", "GBK", "CP1252", ...); "UTF-8" when it names only
// ASCII.
std::string TerminalCodeSet();

// Terminal text to UTF-8. Strict (`lenient` false): bytes invalid in the code set raise
// UsageError; lenient: each of them becomes U+FFFD.
std::string ConvertTerminalToUtf8(std::string_view text, bool lenient);
// UTF-8 to terminal text; a character the code set cannot hold (or invalid UTF-8) raises
// UsageError.
std::string ConvertUtf8ToTerminal(std::string_view text);

}  // namespace qorvin::cli
