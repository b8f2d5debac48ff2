// ANSI text on Windows: the active ANSI code page (GetACP), or the one a host chose, converted
// with MultiByteToWideChar / WideCharToMultiByte. Strict like the iconv version: bytes that are
// not valid in the code page, and characters it cannot represent (also by a "best fit"
// look-alike), raise EConvertError naming both code sets.
#include <windows.h>

#include <cctype>
#include <cstdlib>
#include <mutex>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Text.h"

namespace qorvin {

namespace {

std::mutex g_codeset_mutex;
std::string g_codeset_override;

std::string Normalized(const std::string& name) {
  std::string n;
  for (char c : name)
    if (c != '-' && c != '_') n += char(std::toupper(static_cast<unsigned char>(c)));
  return n;
}

bool IsUtf8Name(const std::string& name) {
  return Normalized(name) == "UTF8";
}

// The code page a code set name stands for: "CP1252", "WINDOWS-1252", "1252", and the common
// names of the code pages hosts use; 0 when the name means nothing here.
UINT CodePageOf(const std::string& name) {
  const std::string n = Normalized(name);
  std::string digits;
  if (n.rfind("CP", 0) == 0)
    digits = n.substr(2);
  else if (n.rfind("WINDOWS", 0) == 0)
    digits = n.substr(7);
  else
    digits = n;
  if (!digits.empty() && digits.size() <= 5 &&
      digits.find_first_not_of("0123456789") == std::string::npos)
    return UINT(std::strtoul(digits.c_str(), nullptr, 10));
  static const struct {
    const char* name;
    UINT page;
  } kNames[] = {{"GBK", 936},         {"GB2312", 936},        {"BIG5", 950},
                {"SHIFTJIS", 932},    {"SJIS", 932},          {"EUCKR", 949},
                {"ISO88591", 28591},  {"LATIN1", 28591},      {"ISO88592", 28592},
                {"ISO885915", 28605}, {"ASCII", 20127},       {"USASCII", 20127},
                {"KOI8R", 20866},     {"ANSIX3.41968", 20127}};
  for (const auto& k : kNames)
    if (n == k.name) return k.page;
  return 0;
}

// Code pages whose converters take no flags (the system refuses MB_ERR_INVALID_CHARS and
// WC_NO_BEST_FIT_CHARS for them); their strictness comes from the round trip alone.
bool TakesNoFlags(UINT page) {
  return page == 42 || (page >= 50220 && page <= 50229) || page == 52936 || page == 54936 ||
         (page >= 57002 && page <= 57011) || page == 65000;
}

[[noreturn]] void Refuse(const std::string& from, const std::string& to) {
  throw EConvertError(Format("Text cannot be converted from %s to %s", from.c_str(), to.c_str()));
}

// The code page for `codeSet`; EConvertError when the system has no such code page.
UINT RequireCodePage(const std::string& codeSet) {
  const UINT page = CodePageOf(codeSet);
  if (page == 0 || !IsValidCodePage(page))
    throw EConvertError(Format("No conversion from code set %s to %s", codeSet.c_str(), "UTF-16"));
  return page;
}

std::u16string Decode(std::string_view text, UINT page, const std::string& codeSet) {
  if (text.empty()) return {};
  if (text.size() > 0x7FFFFFFF) Refuse(codeSet, "UTF-16");
  const DWORD flags = TakesNoFlags(page) ? 0 : MB_ERR_INVALID_CHARS;
  const int n = MultiByteToWideChar(page, flags, text.data(), int(text.size()), nullptr, 0);
  if (n <= 0) Refuse(codeSet, "UTF-16");
  std::wstring wide(size_t(n), L'\0');
  if (MultiByteToWideChar(page, flags, text.data(), int(text.size()), wide.data(), n) != n)
    Refuse(codeSet, "UTF-16");
  return std::u16string(wide.begin(), wide.end());
}

std::string Encode(std::u16string_view text, UINT page, const std::string& codeSet) {
  if (text.empty()) return {};
  if (text.size() > 0x3FFFFFFF) Refuse("UTF-16", codeSet);
  const std::wstring wide(text.begin(), text.end());
  const bool noFlags = TakesNoFlags(page);
  const DWORD flags = noFlags ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultOut = noFlags ? nullptr : &usedDefault;
  const int n = WideCharToMultiByte(page, flags, wide.data(), int(wide.size()), nullptr, 0, nullptr,
                                    usedDefaultOut);
  if (n <= 0 || usedDefault) Refuse("UTF-16", codeSet);
  std::string out(size_t(n), '\0');
  if (WideCharToMultiByte(page, flags, wide.data(), int(wide.size()), out.data(), n, nullptr,
                          usedDefaultOut) != n ||
      usedDefault)
    Refuse("UTF-16", codeSet);
  // Whatever stands in for a character the code page lacks does not read back as it.
  if (Decode(out, page, codeSet) != text) Refuse("UTF-16", codeSet);
  return out;
}

}  // namespace

std::string AnsiCodeSet() {
  {
    std::lock_guard<std::mutex> lock(g_codeset_mutex);
    if (!g_codeset_override.empty()) return g_codeset_override;
  }
  const UINT page = GetACP();
  if (page == CP_UTF8) return "UTF-8";
  return Format("CP%u", page);
}

bool AnsiCodeSetIsUtf8() {
  return IsUtf8Name(AnsiCodeSet());
}

void SetAnsiCodeSet(const std::string& name) {
  std::lock_guard<std::mutex> lock(g_codeset_mutex);
  g_codeset_override = name;
}

std::string AnsiToUtf8(std::string_view text) {
  const std::string cs = AnsiCodeSet();
  if (IsUtf8Name(cs)) {
    Utf8ToUtf16(text);  // validates
    return std::string(text);
  }
  return Utf16ToUtf8(Decode(text, RequireCodePage(cs), cs));
}

std::string Utf8ToAnsi(std::string_view text) {
  const std::string cs = AnsiCodeSet();
  if (IsUtf8Name(cs)) {
    Utf8ToUtf16(text);
    return std::string(text);
  }
  return Encode(Utf8ToUtf16(text), RequireCodePage(cs), cs);
}

}  // namespace qorvin
