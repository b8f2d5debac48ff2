// The text a host reads of a date, time or date-time value: "YYYY-MM-DD", "HH:MM:SS" and
// "YYYY-MM-DD HH:MM:SS", with ".fff" when there are milliseconds (never for a date), zero-padded,
// for every year a date can hold; NULL as no text.
#include <gtest/gtest.h>

#include "client/ClientAdoDataSet.h"
#include "platform/ado/AdoDates.h"
#include "platform/ado/AdoFieldDef.h"
#include "platform/rtl/Text.h"

namespace qorvin {
namespace {

Variant DateOf(int32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute,
               uint32_t second, uint32_t millis) {
  ado::DateTimeParts p;
  p.year = year;
  p.month = month;
  p.day = day;
  p.hour = hour;
  p.minute = minute;
  p.second = second;
  p.nanos = millis * 1000000;
  return Variant::Date(ado::OleDateFromParts(p));
}

TEST(ValueText, DatesTimesAndDateTimesInTheirFixedForms) {
  const Variant v = DateOf(2024, 3, 7, 9, 5, 1, 250);
  EXPECT_EQ(ValueToHostText(v, ftDateTime), "2024-03-07 09:05:01.250");
  EXPECT_EQ(ValueToHostText(v, ftDate), "2024-03-07");
  EXPECT_EQ(ValueToHostText(v, ftTime), "09:05:01.250");
  const Variant whole = DateOf(1899, 12, 30, 0, 0, 0, 0);
  EXPECT_EQ(ValueToHostText(whole, ftDateTime), "1899-12-30 00:00:00");
  EXPECT_EQ(ValueToHostText(whole, ftTime), "00:00:00");
  EXPECT_EQ(ValueToHostText(DateOf(100, 1, 1, 23, 59, 59, 999), ftDateTime),
            "0100-01-01 23:59:59.999");
  EXPECT_EQ(ValueToHostText(DateOf(9999, 12, 31, 12, 0, 0, 1), ftDateTime),
            "9999-12-31 12:00:00.001");
  // A double in a date field reads as a date.
  EXPECT_EQ(ValueToHostText(Variant::Double(2.5), ftDateTime), "1900-01-01 12:00:00");
  EXPECT_EQ(ValueToHostText(Variant::Null(), ftDateTime), "");
}

// Wide text reads as the UTF-8 of its value, in every width a column has (fixed-width cells
// without their padding), NULL apart from empty text; text the code set cannot hold, or that is
// not UTF-16, is refused.
TEST(ValueText, WideTextInEveryColumnForm) {
  auto ds = std::make_unique<TAdoDataSet>();
  ds->MutableFieldDefs().Add(u"Var", ftWideString, 20);
  ds->MutableFieldDefs().Add(MakeColumnDef(u"Fixed", adWChar, 8, 0, false));
  ds->MutableFieldDefs().Add(MakeColumnDef(u"Long", adWChar, 0, 0, false));
  ds->Open();
  const std::u16string texts[] = {u"", u"abc", u"\u00E9t\u00E9 \u4E2D", u"\U0001F600!",
                                  std::u16string(1, char16_t(0xD800))};
  for (const std::u16string& t : texts) {
    ds->Append();
    for (int f = 0; f < 3; ++f)
      if (f != 1 || t.size() <= 8) ds->SetFieldValue(f, Variant::OleStr(t));
    ds->Post();
  }
  ds->Append();  // NULLs
  ds->Post();
  ClientAdoDataSet host(std::move(ds));
  SetAnsiCodeSet("UTF-8");  // whatever the machine's (a Windows host's is an 8-bit code page)
  const auto text = [&](int32_t field, bool* isNull) {
    QorvinText out{};
    const bool ok = host.GetValueText(field, &out, isNull);
    std::string s = ok ? std::string(out.data ? out.data : "", size_t(out.length)) : "<refused>";
    qorvin_text_free(&out);
    return s;
  };
  const std::string expected[] = {"", "abc", "\xC3\xA9t\xC3\xA9 \xE4\xB8\xAD", "\xF0\x9F\x98\x80!",
                                  "<refused>"};
  host.First();
  for (const std::string& e : expected) {
    for (int32_t f = 0; f < 3; ++f) {
      bool isNull = true;
      EXPECT_EQ(text(f, &isNull), e) << f;
      if (e != "<refused>") {
        EXPECT_FALSE(isNull);
      }
    }
    host.Next();
  }
  for (int32_t f = 0; f < 3; ++f) {
    bool isNull = false;
    EXPECT_EQ(text(f, &isNull), "");
    EXPECT_TRUE(isNull);
  }
  // A code set without the characters: converted where it can be, refused where not.
  SetAnsiCodeSet("CP1252");
  host.First();
  host.Next();
  host.Next();
  bool isNull = true;
  EXPECT_EQ(text(0, &isNull), "<refused>");  // U+4E2D is not in code page 1252
  SetAnsiCodeSet("");
}

}  // namespace
}  // namespace qorvin
