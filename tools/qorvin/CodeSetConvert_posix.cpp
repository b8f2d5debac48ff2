// The terminal's code set is the process locale's; conversions through iconv.
#include <iconv.h>
#include <langinfo.h>

#include <cerrno>

#include "tools/qorvin/CodeSetConvert.h"
#include "tools/qorvin/Table.h"

namespace qorvin::cli {

namespace {

// One iconv conversion. `lenient`: an invalid or unconvertible input byte is replaced by
// `replacement` and skipped; otherwise it raises UsageError.
std::string Convert(std::string_view text, const std::string& from, const std::string& to,
                    bool lenient, std::string_view replacement) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1))
    throw UsageError("cannot convert text from " + from + " to " + to);
  std::string out;
  char buffer[4096];
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  std::string failure;
  while (inLeft > 0) {
    char* put = buffer;
    size_t putLeft = sizeof buffer;
    const size_t rc = iconv(cd, &in, &inLeft, &put, &putLeft);
    out.append(buffer, size_t(put - buffer));
    if (rc != size_t(-1) || errno == E2BIG) continue;
    if (!lenient) {
      failure = "text that is not valid " + from + " or has no " + to + " form (at byte " +
                std::to_string(text.size() - inLeft) + ")";
      break;
    }
    out.append(replacement);
    ++in;
    --inLeft;
  }
  iconv_close(cd);
  if (!failure.empty()) throw UsageError(failure);
  return out;
}

}  // namespace

std::string TerminalCodeSet() {
  const char* cs = nl_langinfo(CODESET);
  std::string name = cs != nullptr ? cs : "";
  if (name.empty() || name == "ANSI_X3.4-1968" || name == "ASCII") return "UTF-8";
  return name;
}

std::string ConvertTerminalToUtf8(std::string_view text, bool lenient) {
  return Convert(text, TerminalCodeSet(), "UTF-8", lenient, "\xEF\xBF\xBD");
}

std::string ConvertUtf8ToTerminal(std::string_view text) {
  return Convert(text, "UTF-8", TerminalCodeSet(), false, {});
}

}  // namespace qorvin::cli
