// The terminal's code set is the active ANSI code page, the one in which the client library
// reads and writes 8-bit text and in which the program receives its arguments; conversions
// through UTF-16 with MultiByteToWideChar and WideCharToMultiByte.
#include <windows.h>

#include <climits>

#include "tools/qorvin/CodeSetConvert.h"
#include "tools/qorvin/Table.h"

namespace qorvin::cli {

namespace {

std::string CodePageName(UINT page) {
  switch (page) {
    case CP_UTF8:
      return "UTF-8";
    case 936:
      return "GBK";
    default:
      return "CP" + std::to_string(page);
  }
}

void CheckSize(std::string_view text) {
  if (text.size() > size_t(INT_MAX) / 4) throw UsageError("text too long to convert");
}

// `text` in code page `page` to UTF-16; `strict`: invalid bytes fail (empty result, false).
bool ToWide(UINT page, std::string_view text, bool strict, std::wstring& wide) {
  wide.clear();
  if (text.empty()) return true;
  const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
  const int n = MultiByteToWideChar(page, flags, text.data(), int(text.size()), nullptr, 0);
  if (n <= 0) return false;
  wide.resize(size_t(n));
  return MultiByteToWideChar(page, flags, text.data(), int(text.size()), wide.data(), n) == n;
}

// UTF-16 to code page `page`; false when a character has no form there.
bool FromWide(UINT page, const std::wstring& wide, std::string& out) {
  out.clear();
  if (wide.empty()) return true;
  BOOL defaulted = FALSE;
  // UTF-8 takes neither a default character nor the flag; every other page must report any
  // character it replaced.
  const bool utf8 = page == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL* used = utf8 ? nullptr : &defaulted;
  const int n =
      WideCharToMultiByte(page, flags, wide.data(), int(wide.size()), nullptr, 0, nullptr, used);
  if (n <= 0 || defaulted) return false;
  out.resize(size_t(n));
  return WideCharToMultiByte(page, flags, wide.data(), int(wide.size()), out.data(), n, nullptr,
                             used) == n &&
         !defaulted;
}

}  // namespace

std::string TerminalCodeSet() {
  return CodePageName(GetACP());
}

std::string ConvertTerminalToUtf8(std::string_view text, bool lenient) {
  CheckSize(text);
  const UINT page = GetACP();
  std::wstring wide;
  if (!ToWide(page, text, !lenient, wide))
    throw UsageError("text that is not valid " + CodePageName(page) + " or has no UTF-8 form");
  std::string out;
  if (!FromWide(CP_UTF8, wide, out))
    throw UsageError("text that is not valid " + CodePageName(page) + " or has no UTF-8 form");
  return out;
}

std::string ConvertUtf8ToTerminal(std::string_view text) {
  CheckSize(text);
  const UINT page = GetACP();
  std::wstring wide;
  std::string out;
  if (!ToWide(CP_UTF8, text, true, wide) || !FromWide(page, wide, out))
    throw UsageError("text that is not valid UTF-8 or has no " + CodePageName(page) + " form");
  return out;
}

}  // namespace qorvin::cli
