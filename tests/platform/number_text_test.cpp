// Number text in the C locale: the shortest round-trip form of doubles, exact decimal text, and
// both unchanged under a decimal-comma locale that the host set.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "platform/rtl/NumberText.h"
#include "platform/rtl/Variant.h"
#include "tests/support/CommaLocale.h"

namespace qorvin {
namespace {

double Read(const std::string& text) {
  double v = -1;
  EXPECT_EQ(ParseDoubleText(text, v), DoubleParse::kOk) << text;
  return v;
}

TEST(NumberText, DoublesGetTheirShortestRoundTripText) {
  EXPECT_EQ(DoubleText(123456789.123456789), "123456789.12345679");
  EXPECT_EQ(DoubleText(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(DoubleText(0.5), "0.5");
  EXPECT_EQ(DoubleText(100), "100");
  EXPECT_EQ(DoubleText(0.0001), "0.0001");
  EXPECT_EQ(DoubleText(123456789012345.0), "123456789012345");
  EXPECT_EQ(DoubleText(1e15), "1e+15");
  EXPECT_EQ(DoubleText(1.5e-7), "1.5e-07");
  EXPECT_EQ(DoubleText(-0.0), "-0");
  EXPECT_EQ(DoubleText(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(DoubleText(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(DoubleText(std::nan("")), "nan");
  EXPECT_EQ(SingleText(0.1f), "0.1");
  // Every text reads back to the very same double.
  for (double d : {123456789.123456789, 0.1 + 0.2, 1.0 / 3, 5e-324, 1.7976931348623157e308,
                   -2.2250738585072014e-308, 9007199254740993.0, 1e22})
    EXPECT_EQ(Read(DoubleText(d)), d) << DoubleText(d);
  EXPECT_EQ(PlainDoubleDigits(1e20), "100000000000000000000");
  EXPECT_EQ(PlainDoubleDigits(1.5e-7), "0.00000015");
}

TEST(NumberText, DoubleTextIsReadWholeOrRefused) {
  double v = 0;
  EXPECT_EQ(Read(" +2.5"), 2.5);
  EXPECT_EQ(Read("-1.25e3"), -1250);
  EXPECT_EQ(Read(".5"), 0.5);
  EXPECT_TRUE(std::isinf(Read("-Infinity")));
  EXPECT_TRUE(std::isnan(Read("nan")));
  for (const char* bad : {"", "+", "1,5", "1.5x", "1e", "+-1", "++1", "0x10", "1 "})
    EXPECT_EQ(ParseDoubleText(bad, v), DoubleParse::kInvalid) << bad;
  EXPECT_EQ(ParseDoubleText("1e999", v), DoubleParse::kOverflow);
  EXPECT_EQ(v, std::numeric_limits<double>::infinity());
  EXPECT_EQ(ParseDoubleText("-12e99999999999999999999", v), DoubleParse::kOverflow);
  EXPECT_EQ(v, -std::numeric_limits<double>::infinity());
  EXPECT_EQ(ParseDoubleText("-0.0001e-400", v), DoubleParse::kUnderflow);
  EXPECT_TRUE(v == 0 && std::signbit(v));
  EXPECT_EQ(ParseDoubleText("1000e-330", v), DoubleParse::kUnderflow);
  EXPECT_EQ(ParseDoubleText("123e9223372036854775807", v), DoubleParse::kOverflow);
  EXPECT_EQ(ParseDoubleText("0.0001e-9223372036854775807", v), DoubleParse::kUnderflow);
}

TEST(NumberText, ScaledDecimalsAreExact) {
  int64_t v = 0;
  auto scaled = [&](const char* text) {
    v = -1;
    EXPECT_EQ(ParseScaledDecimal(text, 4, v), ScaledParse::kOk) << text;
    return v;
  };
  EXPECT_EQ(scaled("922337203685476.5"), 9223372036854765000);
  EXPECT_EQ(scaled("900000000000000.0001"), 9000000000000000001);
  EXPECT_EQ(scaled("922337203685477.5807"), INT64_MAX);
  EXPECT_EQ(scaled("-922337203685477.5808"), INT64_MIN);
  EXPECT_EQ(scaled("0.00005"), 1);  // half away from zero
  EXPECT_EQ(scaled("-0.00005"), -1);
  EXPECT_EQ(scaled("0.00004999"), 0);
  EXPECT_EQ(scaled("+12.34"), 123400);
  EXPECT_EQ(scaled("1.25e3"), 12500000);
  EXPECT_EQ(scaled("125E-5"), 13);
  EXPECT_EQ(scaled("0000.5"), 5000);
  EXPECT_EQ(scaled("7."), 70000);
  EXPECT_EQ(scaled("1e-999999999999999999999"), 0);
  v = 42;
  for (const char* bad : {"", ".", "-", "1.2.3", "1,5", "1e", "1e+-2", "12a", "nan", "inf"})
    EXPECT_EQ(ParseScaledDecimal(bad, 4, v), ScaledParse::kInvalid) << bad;
  for (const char* big : {"922337203685477.5808", "-922337203685477.58085", "1e15", "1e99999"})
    EXPECT_EQ(ParseScaledDecimal(big, 4, v), ScaledParse::kOutOfRange) << big;
  EXPECT_EQ(v, 42);  // left alone
}

// A host that sets a decimal-comma locale for its code set changes no number text of ours.
TEST(NumberText, ADecimalCommaLocaleChangesNothing) {
  test::CommaLocaleScope comma;
  if (!comma.Active()) GTEST_SKIP() << "no locale sources to make de_DE.UTF-8 from";
  EXPECT_EQ(DoubleText(0.5), "0.5");
  EXPECT_EQ(Read("1.5"), 1.5);
  double v = 0;
  EXPECT_EQ(ParseDoubleText("1,5", v), DoubleParse::kInvalid);
  EXPECT_EQ(Variant::Double(0.5).ToUtf8(), "0.5");
  EXPECT_EQ(Variant::Single(-1.25f).ToUtf8(), "-1.25");
  EXPECT_EQ(Variant::FromBcd(Bcd::FromString("1.5")).ToDouble(), 1.5);
  EXPECT_EQ(Variant::AnsiString("2.5").ToDouble(), 2.5);
  EXPECT_EQ(Variant::OleStr(u"-0.125").ToDouble(), -0.125);
  EXPECT_EQ(Variant::FromDecimal({0, 1, 0, 0, 15}).ToDouble(), 1.5);
}

}  // namespace
}  // namespace qorvin
