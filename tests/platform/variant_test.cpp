#include "platform/rtl/Variant.h"

#include <gtest/gtest.h>

#include "platform/rtl/Exceptions.h"

namespace qorvin {
namespace {

TEST(Variant, KindsAndDeepCopies) {
  Variant a = Variant::OleStr(u"text");
  Variant b = a;
  EXPECT_EQ(b.Type(), varOleStr);
  EXPECT_EQ(b.AsWide(), u"text");
  EXPECT_EQ(a, b);
  Variant arr = Variant::FromArray(VarArray(varVariant, {VarBound{1, 2}}));
  arr.AsArray().Put({1}, Variant::Integer(7));
  Variant copy = arr;
  copy.AsArray().Put({1}, Variant::Integer(8));
  EXPECT_EQ(arr.AsArray().Get({1}).AsIntegerValue(), 7);  // arrays copy deeply
  EXPECT_EQ(arr.Type(), varArray | varVariant);
  EXPECT_THROW(a.AsIntegerValue(), EVariantError);
}

TEST(Variant, ByReferenceValuesReadThroughToTheirTarget) {
  int32_t target = 41;
  Variant ref = Variant::ByRef(varInteger, &target);
  EXPECT_EQ(ref.Type(), varInteger | varByRef);
  target = 42;
  EXPECT_EQ(ref.Deref(), Variant::Integer(42));
  Variant inner = Variant::OleStr(u"x");
  EXPECT_EQ(Variant::ByRef(varVariant, &inner).Deref(), inner);
  EXPECT_EQ(ref.ToInt64(), 42);
}

TEST(VarArray, MultiDimensionalBoundsAndStorageOrder) {
  // Bounds [1..2] x [-1..1]; the first dimension varies fastest in storage.
  VarArray a(varSmallint, {VarBound{1, 2}, VarBound{-1, 1}});
  EXPECT_EQ(a.ElementCount(), 6);
  a.Put({2, -1}, Variant::Smallint(5));
  a.Put({1, 0}, Variant::Smallint(-1));
  EXPECT_EQ(a.RawData()[2], 5);     // flat position 1 = (2, -1)
  EXPECT_EQ(a.RawData()[4], 0xFF);  // flat position 2 = (1, 0)
  EXPECT_EQ(a.RawData()[5], 0xFF);
  EXPECT_EQ(a.GetFlat(1).AsIntegerValue(), 5);
  EXPECT_THROW(a.Get({3, 0}), ERangeError);
  EXPECT_THROW(a.Get({1}), ERangeError);
  VarArray empty(varVariant, {VarBound{0, -1}});
  EXPECT_EQ(empty.ElementCount(), 0);
  EXPECT_THROW(VarArray(varVariant, {VarBound{0, -2}}), EVariantError);
  EXPECT_THROW(VarArray(varDispatch, {VarBound{0, 1}}), EVariantError);
}

TEST(VarArray, BooleansAreThePlatforms16BitBooleans) {
  VarArray a(varBoolean, {VarBound{0, 1}});
  a.PutFlat(0, Variant::Boolean(true));
  EXPECT_EQ(a.RawData()[0], 0xFF);
  EXPECT_EQ(a.RawData()[1], 0xFF);
  EXPECT_TRUE(a.GetFlat(0).AsBoolean());
  EXPECT_FALSE(a.GetFlat(1).AsBoolean());
  const uint8_t bytes[] = {0, 1, 2, 3, 4};
  VarArray b = VarArray::Bytes(bytes, 5);
  EXPECT_EQ(b.Bounds()[0].high, 4);
  EXPECT_EQ(b.GetFlat(4).AsIntegerValue(), 4);
}

TEST(Decimals, BcdTextRoundTripAndDecimalText) {
  const Bcd b = Bcd::FromString("-123.450");
  EXPECT_EQ(b.precision, 6);
  EXPECT_EQ(b.Places(), 3);
  EXPECT_TRUE(b.Negative());
  EXPECT_EQ(b.digits[0], 0x12);
  EXPECT_EQ(b.ToString(), "-123.450");
  EXPECT_EQ(Bcd::FromString("0.05").ToString(), "0.05");
  EXPECT_THROW(Bcd::FromString("1e5"), EConvertError);
  EXPECT_THROW(Bcd::FromString(""), EConvertError);
  Decimal d;
  d.lo64 = 123456;
  d.scale = 3;
  d.sign = 0x80;
  EXPECT_EQ(d.ToString(), "-123.456");
  d.hi32 = 1, d.lo64 = 0, d.scale = 0, d.sign = 0;
  EXPECT_EQ(d.ToString(), "18446744073709551616");
}

TEST(Variant, ConversionsBetweenKinds) {
  EXPECT_EQ(Variant::Currency(Currency{15000}).ToUtf8(), "1.5");
  EXPECT_EQ(Variant::Currency(Currency{-5}).ToUtf8(), "-0.0005");
  EXPECT_EQ(Variant::Currency(Currency{INT64_MIN}).ToUtf8(), "-922337203685477.5808");
  EXPECT_DOUBLE_EQ(Variant::AnsiString("2.5").ToDouble(), 2.5);
  EXPECT_EQ(Variant::OleStr(u"12").ToInt64(), 12);
  EXPECT_THROW(Variant::OleStr(u"12x").ToInt64(), EVariantError);
  EXPECT_THROW(Variant::Double(1e300).ToInt64(), EVariantError);
  EXPECT_EQ(Variant::Boolean(true).ToUtf8(), "True");
}

}  // namespace
}  // namespace qorvin
