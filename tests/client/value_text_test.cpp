// The text a host reads of a date, time or date-time value: "YYYY-MM-DD", "HH:MM:SS" and
// "YYYY-MM-DD HH:MM:SS", with ".fff" when there are milliseconds (never for a date), zero-padded,
// for every year a date can hold; NULL as no text.
#include <gtest/gtest.h>

#include "client/ClientAdoDataSet.h"
#include "platform/ado/AdoDates.h"

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

}  // namespace
}  // namespace qorvin
