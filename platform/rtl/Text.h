// Text conversions between the three encodings the system uses.
//
// - "ANSI" text: 8-bit text in the process's locale code set (nl_langinfo(CODESET) after the host
//   chose its locale). The plain C/POSIX locale names only ASCII; in it, ANSI text is taken to be
//   UTF-8 so that no non-ASCII text is refused on a host that never set a locale.
// - UTF-8, for names on the wire and the typed value stream.
// - UTF-16 (std::u16string), for wide text; on the wire as UTF-16LE.
//
// Every conversion is strict: bytes that are not valid in the source encoding, or characters that
// the target cannot represent, raise EConvertError naming the code sets. Nothing is dropped or
// replaced silently. All functions are thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace qorvin {

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
// The same into `out` (its room is used again); `out` holds anything when it fails.
void Utf8ToUtf16(std::string_view text, std::u16string& out);

std::string AnsiToUtf8(std::string_view text);
std::string Utf8ToAnsi(std::string_view text);
std::u16string AnsiToUtf16(std::string_view text);
std::string Utf16ToAnsi(std::u16string_view text);

// The ANSI code set in use ("UTF-8", "GBK", ...).
std::string AnsiCodeSet();
// Whether that code set is UTF-8 (then valid UTF-8 is ANSI text as it is). Cheap: a reader of
// many values may ask for each.
bool AnsiCodeSetIsUtf8();
// Replaces the ANSI code set for the whole process (an iconv name; empty restores the locale's).
// Meant for hosts that fix a code page regardless of their locale, and for tests.
void SetAnsiCodeSet(const std::string& name);

// Whether `a` and `b` are the same bytes but for the case of ASCII letters (bytes >= 0x80 compare
// as they are; nothing is allocated).
bool AsciiEqualNoCase(std::string_view a, std::string_view b);

// UTF-16 code units to / from UTF-16LE bytes.
std::string Utf16ToLEBytes(std::u16string_view text);
std::u16string LEBytesToUtf16(std::string_view bytes);  // odd trailing byte: EConvertError

}  // namespace qorvin
