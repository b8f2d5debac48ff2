// ANSI text on POSIX systems: the locale's code set (or the one a host chose), converted with
// iconv.
#include <iconv.h>
#include <langinfo.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <mutex>
#include <string_view>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Text.h"

namespace qorvin {

namespace {

std::mutex g_codeset_mutex;
std::string g_codeset_override;
// Whether g_codeset_override is set: without one (as in most hosts) a conversion asks the
// locale without taking the lock.
std::atomic<bool> g_has_override{false};

// Whether `name` is UTF-8 however it is written ("UTF-8", "utf8", "Utf_8"). Allocates nothing:
// every value a host reads as text asks.
bool IsUtf8Name(std::string_view name) {
  static constexpr char kLetters[] = "UTF8";
  size_t matched = 0;
  for (char c : name) {
    if (c == '-' || c == '_') continue;
    // ASCII case only: std::toupper asks the locale for every character.
    const char upper = c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
    if (matched == 4 || upper != kLetters[matched]) return false;
    ++matched;
  }
  return matched == 4;
}

// Throws EConvertError unless `text` is valid UTF-8. Plain ASCII, what most values are, is
// checked without converting.
void CheckUtf8(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) {
      Utf8ToUtf16(text);  // validates
      return;
    }
}

// Converts with iconv; EConvertError on invalid or unrepresentable input.
std::string IconvConvert(std::string_view input, const std::string& from, const std::string& to) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == iconv_t(-1))
    throw EConvertError(Format("No conversion from code set %s to %s", from.c_str(), to.c_str()));
  std::string out;
  out.resize(input.size() * 4 + 16);
  char* in_ptr = const_cast<char*>(input.data());
  size_t in_left = input.size();
  size_t done = 0;
  for (;;) {
    char* out_ptr = out.data() + done;
    size_t out_left = out.size() - done;
    const size_t rc = iconv(cd, in_left ? &in_ptr : nullptr, &in_left, &out_ptr, &out_left);
    done = out.size() - out_left;
    if (rc != size_t(-1)) {
      if (in_left == 0) break;
      continue;
    }
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    const size_t offset = input.size() - in_left;
    iconv_close(cd);
    throw EConvertError(Format("Text cannot be converted from %s to %s at byte %zu", from.c_str(),
                               to.c_str(), offset));
  }
  iconv_close(cd);
  out.resize(done);
  return out;
}

}  // namespace

namespace {

// The locale's code set; ASCII (the C locale's) counts as UTF-8.
std::string_view LocaleCodeSet() {
  const char* cs = nl_langinfo(CODESET);
  const std::string_view name = cs ? cs : "";
  if (name.empty() || name == "ANSI_X3.4-1968" || name == "ASCII") return "UTF-8";
  return name;
}

// Whether ANSI text is UTF-8 here: asked for every value converted, so without building the
// code set's name where it can be helped.
bool AnsiIsUtf8() {
  if (g_has_override.load(std::memory_order_acquire)) return IsUtf8Name(AnsiCodeSet());
  return IsUtf8Name(LocaleCodeSet());
}

}  // namespace

std::string AnsiCodeSet() {
  if (g_has_override.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(g_codeset_mutex);
    if (!g_codeset_override.empty()) return g_codeset_override;
  }
  return std::string(LocaleCodeSet());
}

bool AnsiCodeSetIsUtf8() {
  return AnsiIsUtf8();
}

void SetAnsiCodeSet(const std::string& name) {
  std::lock_guard<std::mutex> lock(g_codeset_mutex);
  g_codeset_override = name;
  g_has_override.store(!name.empty(), std::memory_order_release);
}

std::string AnsiToUtf8(std::string_view text) {
  if (AnsiIsUtf8()) {
    CheckUtf8(text);
    return std::string(text);
  }
  return IconvConvert(text, AnsiCodeSet(), "UTF-8");
}

std::string Utf8ToAnsi(std::string_view text) {
  if (AnsiIsUtf8()) {
    CheckUtf8(text);
    return std::string(text);
  }
  return IconvConvert(text, "UTF-8", AnsiCodeSet());
}

}  // namespace qorvin
