// Conversion of values into the kinds client dataset fields keep.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/dataset/FieldValue.h"
#include "platform/rtl/Text.h"
#include "tests/support/CommaLocale.h"

namespace qorvin {
namespace {

Variant As(TFieldType type, const Variant& v) {
  return CoerceFieldValue({"f", type, 0, 0, 0}, v);
}

TEST(FieldValue, NullAndEmptyAreNullExceptEmptyInVariantFields) {
  EXPECT_TRUE(As(ftInteger, Variant()).IsNull());
  EXPECT_TRUE(As(ftString, Variant::Null()).IsNull());
  EXPECT_TRUE(As(ftVariant, Variant()).IsEmpty());
  EXPECT_TRUE(As(ftVariant, Variant::Null()).IsNull());
}

TEST(FieldValue, IntegersAreRangeChecked) {
  EXPECT_EQ(As(ftSmallint, Variant::Int64(-32768)), Variant::Smallint(-32768));
  EXPECT_THROW(As(ftSmallint, Variant::Int64(32768)), EDatabaseError);
  EXPECT_EQ(As(ftWord, Variant::LongWord(65535)), Variant::Word(65535));
  EXPECT_THROW(As(ftInteger, Variant::Int64(int64_t(1) << 31)), EDatabaseError);
  EXPECT_THROW(As(ftLargeint, Variant::UInt64(uint64_t(1) << 63)), EDatabaseError);
  EXPECT_EQ(As(ftLargeint, Variant::UInt64(12)), Variant::Int64(12));
  EXPECT_EQ(As(ftInteger, Variant::FromBcd(Bcd::FromString("2.5"))), Variant::Integer(3));
  EXPECT_EQ(As(ftInteger, Variant::FromDecimal({0, 1, 0x80, 0, 25})), Variant::Integer(-3));
  EXPECT_EQ(As(ftLargeint, Variant::AnsiString("-9223372036854775808")), Variant::Int64(INT64_MIN));
}

TEST(FieldValue, DecimalsConvertExactly) {
  EXPECT_EQ(As(ftCurrency, Variant::FromBcd(Bcd::FromString("922337203685477.5807"))),
            Variant::Currency(Currency{INT64_MAX}));
  EXPECT_EQ(As(ftCurrency, Variant::FromBcd(Bcd::FromString("0.00005"))),
            Variant::Currency(Currency{1}));  // half away from zero
  EXPECT_THROW(As(ftCurrency, Variant::FromBcd(Bcd::FromString("922337203685478"))),
               EDatabaseError);
  EXPECT_EQ(As(ftCurrency, Variant::Double(1.5)), Variant::Currency(Currency{15000}));
  EXPECT_EQ(As(ftBCD, Variant::Currency(Currency{-15})).AsBcd().ToString(), "-0.0015");
  EXPECT_EQ(As(ftFMTBcd, Variant::FromDecimal({0, 3, 0, 0, 1234567})).AsBcd().ToString(),
            "1234.567");
  EXPECT_EQ(As(ftBCD, Variant::Double(1e20)).AsBcd().ToString(), "100000000000000000000");
  EXPECT_EQ(As(ftBCD, Variant::Int64(INT64_MIN)).AsBcd().ToString(), "-9223372036854775808");
  EXPECT_THROW(As(ftBCD, Variant::Boolean(true)), EDatabaseError);
}

// A double becomes a decimal through the digits of its shortest round-trip text, in the C locale
// whatever the host set (a decimal comma made "'1,25' is not a valid BCD value").
TEST(FieldValue, DoublesBecomeDecimalsThroughTheirShortestTextInAnyLocale) {
  test::CommaLocaleScope comma;
  if (!comma.Active()) GTEST_SKIP() << "no locale sources to make de_DE.UTF-8 from";
  EXPECT_EQ(As(ftBCD, Variant::Double(1.25)).AsBcd().ToString(), "1.25");
  EXPECT_EQ(As(ftCurrency, Variant::Double(-1.25)), Variant::Currency(Currency{-12500}));
  EXPECT_EQ(As(ftFMTBcd, Variant::Double(0.1 + 0.2)).AsBcd().ToString(), "0.30000000000000004");
  EXPECT_EQ(As(ftBCD, Variant::Double(123456789.123456789)).AsBcd().ToString(),
            "123456789.12345679");
  EXPECT_EQ(As(ftBCD, Variant::Double(1.5e-7)).AsBcd().ToString(), "0.00000015");
  EXPECT_EQ(As(ftBCD, Variant::Double(1e-70)).AsBcd().ToString(), "0");
  EXPECT_EQ(As(ftFloat, Variant::FromBcd(Bcd::FromString("1.5"))), Variant::Double(1.5));
  EXPECT_EQ(As(ftFloat, Variant::AnsiString("-2.5")), Variant::Double(-2.5));
  EXPECT_EQ(As(ftString, Variant::Double(0.5)), Variant::AnsiString("0.5"));
}

TEST(FieldValue, TextKinds) {
  EXPECT_EQ(As(ftString, Variant::Integer(42)), Variant::AnsiString("42"));
  EXPECT_EQ(As(ftWideString, Variant::AnsiString("ab")), Variant::OleStr(u"ab"));
  SetAnsiCodeSet("UTF-8");  // the default of POSIX systems, not of Windows (its ANSI code page)
  EXPECT_EQ(As(ftMemo, Variant::OleStr(u"\u4e2d")), Variant::AnsiString("\xE4\xB8\xAD"));
  SetAnsiCodeSet("ISO-8859-1");
  EXPECT_THROW(As(ftMemo, Variant::OleStr(u"\u4e2d")), EDatabaseError);  // not representable
  SetAnsiCodeSet("");
  EXPECT_EQ(As(ftBoolean, Variant::AnsiString("TRUE")), Variant::Boolean(true));
  EXPECT_EQ(As(ftBoolean, Variant::Double(0.0)), Variant::Boolean(false));
  EXPECT_THROW(As(ftBoolean, Variant::AnsiString("yes")), EDatabaseError);
}

TEST(FieldValue, BinaryKinds) {
  const Variant shifted = Variant::FromArray(VarArray(varByte, {{5, 6}}));
  const Variant normal = As(ftBlob, shifted);
  EXPECT_EQ(normal.AsArray().Bounds()[0], (VarBound{0, 1}));
  EXPECT_EQ(As(ftBytes, Variant::AnsiString("ab")).AsArray().RawData(),
            (std::vector<uint8_t>{'a', 'b'}));
  EXPECT_THROW(As(ftBlob, Variant::Integer(1)), EDatabaseError);
  EXPECT_THROW(As(ftBlob, Variant::FromArray(VarArray(varInteger, {{0, 1}}))), EDatabaseError);
}

TEST(FieldValue, DatesAndTimestamps) {
  const SQLTimeStamp leap{2024, 2, 29, 12, 30, 15, 250000000};
  const double date = DateTimeFromTimeStamp(leap);
  EXPECT_EQ(TimeStampFromDateTime(date), leap);
  EXPECT_EQ(As(ftDateTime, Variant::FromSQLTimeStamp(leap)), Variant::Date(date));
  EXPECT_EQ(As(ftTimeStamp, Variant::Date(date)).AsSQLTimeStamp(), leap);
  // The fraction is the time of day also before 1899-12-30: -1.25 is 1899-12-29 06:00.
  EXPECT_EQ(TimeStampFromDateTime(-1.25), (SQLTimeStamp{1899, 12, 29, 6, 0, 0, 0}));
  EXPECT_EQ(DateTimeFromTimeStamp({1899, 12, 29, 6, 0, 0, 0}), -1.25);
  EXPECT_EQ(TimeStampFromDateTime(0), (SQLTimeStamp{1899, 12, 30, 0, 0, 0, 0}));
  EXPECT_EQ(TimeStampFromDateTime(-693593), (SQLTimeStamp{1, 1, 1, 0, 0, 0, 0}));
  EXPECT_EQ(TimeStampFromDateTime(2958465.99999999),
            (SQLTimeStamp{9999, 12, 31, 23, 59, 59, 999000000}));
  EXPECT_EQ(TimeStampFromDateTime(0.99999999999), (SQLTimeStamp{1899, 12, 31, 0, 0, 0, 0}));
  EXPECT_THROW(TimeStampFromDateTime(NAN), EConvertError);
  EXPECT_THROW(TimeStampFromDateTime(2958466.0), EConvertError);
  EXPECT_THROW(DateTimeFromTimeStamp({2023, 2, 29, 0, 0, 0, 0}), EConvertError);
  EXPECT_THROW(DateTimeFromTimeStamp({2023, 1, 1, 24, 0, 0, 0}), EConvertError);
  EXPECT_THROW(As(ftDate, Variant::AnsiString("2024-01-01")), EDatabaseError);
}

TEST(FieldValue, ByReferenceValuesAreDereferenced) {
  int32_t i = 5;
  EXPECT_EQ(As(ftLargeint, Variant::ByRef(varInteger, &i)), Variant::Int64(5));
  EXPECT_THROW(As(ftVariant, Variant::FromArray(VarArray(varVariant, {{0, 0}}))), EDatabaseError);
  EXPECT_EQ(As(ftVariant, Variant::UString(u"u")), Variant::OleStr(u"u"));
}

}  // namespace
}  // namespace qorvin
