#include <gtest/gtest.h>

#include <set>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Guid.h"
#include "platform/rtl/Text.h"

namespace qorvin {
namespace {

TEST(Text, Utf8AndUtf16RoundTripIncludingSurrogatePairs) {
  const std::u16string wide = u"a\u00E9\u4E2D\U0001F600";
  const std::string utf8 = Utf16ToUtf8(wide);
  EXPECT_EQ(utf8, "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToUtf16(utf8), wide);
  EXPECT_EQ(Utf16ToLEBytes(u"ab"), std::string("a\0b\0", 4));
  EXPECT_EQ(LEBytesToUtf16(std::string("a\0b\0", 4)), u"ab");
  EXPECT_EQ(Utf16ToLEBytes(u"\u4E2D\U0001F600"), std::string("\x2D\x4E\x3D\xD8\x00\xDE", 6));
  EXPECT_EQ(LEBytesToUtf16(std::string("\x2D\x4E\x3D\xD8\x00\xDE", 6)), u"\u4E2D\U0001F600");
  EXPECT_EQ(Utf8ToUtf16(std::string(1000, 'x') + utf8), std::u16string(1000, u'x') + wide);
}

TEST(Text, InvalidInputIsAnErrorNotSilentLoss) {
  EXPECT_THROW(Utf8ToUtf16("\xC3"), EConvertError);          // cut short
  EXPECT_THROW(Utf8ToUtf16("\xC0\xAF"), EConvertError);      // overlong
  EXPECT_THROW(Utf8ToUtf16("\xED\xA0\x80"), EConvertError);  // surrogate
  EXPECT_THROW(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), EConvertError);
  EXPECT_THROW(LEBytesToUtf16("abc"), EConvertError);
}

TEST(Text, AnsiUsesTheChosenCodeSet) {
  SetAnsiCodeSet("GBK");
  EXPECT_EQ(AnsiToUtf8("\xD6\xD0"), "\xE4\xB8\xAD");  // U+4E2D
  EXPECT_EQ(Utf8ToAnsi("\xE4\xB8\xAD"), "\xD6\xD0");
  SetAnsiCodeSet("ISO-8859-1");
  EXPECT_THROW(Utf8ToAnsi("\xE4\xB8\xAD"), EConvertError);  // not representable
  SetAnsiCodeSet("");
  // The plain C locale names only ASCII; ANSI text is then taken as UTF-8.
  EXPECT_EQ(AnsiToUtf8("\xE4\xB8\xAD"), "\xE4\xB8\xAD");
}

// Names (fields, services) match regardless of ASCII case only: the bytes next to the letters
// and every byte above 0x7F stay distinct.
TEST(Text, AsciiEqualNoCaseFoldsLettersOnly) {
  EXPECT_TRUE(AsciiEqualNoCase("ExecSqlService", "EXECSQLSERVICE"));
  EXPECT_TRUE(AsciiEqualNoCase("", ""));
  EXPECT_FALSE(AsciiEqualNoCase("abc", "abcd"));
  EXPECT_FALSE(AsciiEqualNoCase("@[", "`{"));  // 0x40/0x5B against 0x60/0x7B
  EXPECT_FALSE(AsciiEqualNoCase("_", "\x7F"));
  EXPECT_FALSE(AsciiEqualNoCase("\xC4", "\xE4"));  // Latin-1 A and a with diaeresis
  EXPECT_TRUE(AsciiEqualNoCase("Na\xEFve", "NA\xEFVE"));
}

TEST(Guid, MemoryLayoutAndTextForm) {
  const TGUID g = TGUID::FromString("{092FB8BE-5FC4-48CB-BB50-623465168B98}");
  const auto bytes = g.ToBytes();
  const uint8_t expected[16] = {0xBE, 0xB8, 0x2F, 0x09, 0xC4, 0x5F, 0xCB, 0x48,
                                0xBB, 0x50, 0x62, 0x34, 0x65, 0x16, 0x8B, 0x98};
  EXPECT_EQ(0, memcmp(bytes.data(), expected, 16));
  EXPECT_EQ(TGUID::FromBytes(expected), g);
  EXPECT_EQ(g.ToString(), "{092FB8BE-5FC4-48CB-BB50-623465168B98}");
  EXPECT_EQ(TGUID::FromString("{092fb8be-5fc4-48cb-bb50-623465168b98}"), g);
}

TEST(Guid, BadTextIsAConversionError) {
  for (const char* bad :
       {"", "{092FB8BE-5FC4-48CB-BB50-623465168B9}", "092FB8BE-5FC4-48CB-BB50-623465168B98",
        "{092FB8BE+5FC4-48CB-BB50-623465168B98}", "{092FB8BE-5FC4-48CB-BB50-623465168BXY}"}) {
    try {
      TGUID::FromString(bad);
      FAIL() << bad;
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), std::string("'") + bad + "' is not a valid GUID value");
    }
  }
}

TEST(Guid, NewIdentifiersAreRandomVersion4) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const TGUID g = TGUID::New();
    EXPECT_EQ(g.Data3 >> 12, 4);
    EXPECT_EQ(g.Data4[0] & 0xC0, 0x80);
    const std::string text = g.ToString();
    EXPECT_EQ(text.size(), kGuidTextLength);
    EXPECT_EQ(TGUID::FromString(text), g);  // every digit in its place
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
}  // namespace qorvin
