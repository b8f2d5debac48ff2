// 8-bit text on Windows: the active ANSI code page by default, any code page a host names, and
// the same strictness as elsewhere (no silent "best fit" look-alikes, no dropped bytes).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Text.h"

namespace qorvin {
namespace {

class CodePage {
 public:
  explicit CodePage(const std::string& name) { SetAnsiCodeSet(name); }
  ~CodePage() { SetAnsiCodeSet(""); }
};

TEST(AnsiCodePage, DefaultIsTheActiveCodePage) {
  const UINT active = GetACP();
  EXPECT_EQ(AnsiCodeSet(),
            active == CP_UTF8 ? std::string("UTF-8") : "CP" + std::to_string(active));
  // Whatever the active code page, ASCII passes unchanged both ways.
  EXPECT_EQ(AnsiToUtf8("select 1"), "select 1");
  EXPECT_EQ(Utf8ToAnsi("select 1"), "select 1");
}

TEST(AnsiCodePage, Windows1252RoundTrip) {
  for (const char* name : {"CP1252", "windows-1252", "1252"}) {
    CodePage page(name);
    // e acute, the euro sign (0x80) and the left double quote (0x93) of Windows-1252.
    const std::string ansi = "caf\xE9 \x80 \x93q";
    const std::string utf8 = "caf\xC3\xA9 \xE2\x82\xAC \xE2\x80\x9Cq";
    EXPECT_EQ(AnsiToUtf8(ansi), utf8) << name;
    EXPECT_EQ(Utf8ToAnsi(utf8), ansi) << name;
    EXPECT_EQ(AnsiToUtf16(ansi), u"caf\u00E9 \u20AC \u201Cq") << name;
    EXPECT_EQ(Utf16ToAnsi(u"caf\u00E9 \u20AC \u201Cq"), ansi) << name;
  }
}

TEST(AnsiCodePage, GbkRoundTrip) {
  CodePage page("GBK");
  EXPECT_EQ(AnsiCodeSet(), "GBK");
  // U+4E2D U+6587 ("Chinese text") and ASCII around them.
  const std::string ansi = "a\xD6\xD0\xCE\xC4z";
  const std::string utf8 = "a\xE4\xB8\xAD\xE6\x96\x87z";
  EXPECT_EQ(AnsiToUtf8(ansi), utf8);
  EXPECT_EQ(Utf8ToAnsi(utf8), ansi);
}

TEST(AnsiCodePage, UnrepresentableCharactersAreErrorsNotLookAlikes) {
  CodePage page("CP1252");
  // U+4E2D has no Windows-1252 form; U+0100 would "best fit" to 'A'; U+2260 to '='.
  EXPECT_THROW(Utf8ToAnsi("\xE4\xB8\xAD"), EConvertError);
  EXPECT_THROW(Utf8ToAnsi("\xC4\x80"), EConvertError);
  EXPECT_THROW(Utf16ToAnsi(u"x\u2260y"), EConvertError);
  // Invalid UTF-8 is refused before any code page is consulted.
  EXPECT_THROW(Utf8ToAnsi("\xC3"), EConvertError);
}

TEST(AnsiCodePage, InvalidBytesAreErrorsNotDropped) {
  CodePage page("GBK");
  EXPECT_THROW(AnsiToUtf8("ab\x81"), EConvertError);    // a lead byte cut short
  EXPECT_THROW(AnsiToUtf8("\xFF\xFF"), EConvertError);  // no such lead byte
  try {
    AnsiToUtf8("\x81");
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_NE(e.Message().find("GBK"), std::string::npos) << e.Message();
  }
}

TEST(AnsiCodePage, UnknownCodeSetIsAnError) {
  CodePage page("NO-SUCH-SET");
  EXPECT_THROW(AnsiToUtf8("\xE9"), EConvertError);
  EXPECT_THROW(Utf8ToAnsi("\xC3\xA9"), EConvertError);
  // Plain UTF-8 works without any code page.
  SetAnsiCodeSet("UTF-8");
  EXPECT_EQ(AnsiToUtf8("\xC3\xA9"), "\xC3\xA9");
  EXPECT_THROW(AnsiToUtf8("\xE9"), EConvertError);
}

}  // namespace
}  // namespace qorvin
