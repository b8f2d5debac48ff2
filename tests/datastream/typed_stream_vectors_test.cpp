// Byte-exact vectors of the typed value stream, both ways.
#include <gtest/gtest.h>

#include <string>

#include "datastream/uAdoParamsStream.h"
#include "platform/rtl/Text.h"
#include "tests/datastream/typed_stream_support.h"

namespace qorvin {
namespace {

using test::Encode;
using test::Hex;
using test::Load;
using test::ToHex;

TEST(TypedStreamVectors, LengthGroupsOfSevenBitsLowFirst) {
  const struct {
    int64_t value;
    const char* hex;
  } cases[] = {{0, "00"},
               {127, "7F"},
               {128, "80 01"},
               {200, "C8 01"},
               {16383, "FF 7F"},
               {16384, "80 80 01"},
               {0x7FFFFFFF, "FF FF FF FF 07"}};
  for (const auto& c : cases) {
    EXPECT_EQ(ToHex(Encode([&](TWAStreamWriter& w) { w.WriteLength(c.value); })), c.hex);
    TWAStreamReader r;
    Load(r, Hex(c.hex));
    EXPECT_EQ(r.ReadLength(), c.value);
    EXPECT_EQ(r.Remaining(), 0);
  }
}

TEST(TypedStreamVectors, TextLengthsAtTheGroupBoundaries) {
  for (size_t n : {size_t(127), size_t(128), size_t(200), size_t(16384)}) {
    const std::string text(n, 'x');
    const std::string bytes = Encode([&](TWAStreamWriter& w) { w.WriteAnsiString(text); });
    std::string prefix = n == 127   ? Hex("7F")
                         : n == 128 ? Hex("80 01")
                         : n == 200 ? Hex("C8 01")
                                    : Hex("80 80 01");
    EXPECT_EQ(bytes, prefix + text) << n;
    TWAStreamReader r;
    Load(r, bytes);
    EXPECT_EQ(r.ReadAnsiString(), text);
  }
}

TEST(TypedStreamVectors, EmptyStringsAreOneZeroByte) {
  EXPECT_EQ(ToHex(Encode([](TWAStreamWriter& w) {
              w.WriteWideString(u"");
              w.WriteAnsiString("");
            })),
            "00 00");
  TWAStreamReader r;
  Load(r, Hex("00 00"));
  EXPECT_EQ(r.ReadWideString(), u"");
  EXPECT_EQ(r.ReadAnsiString(), "");
  EXPECT_EQ(r.Remaining(), 0);
}

TEST(TypedStreamVectors, WideTextTravelsAsUtf8) {
  const std::string bytes = Encode([](TWAStreamWriter& w) { w.WriteWideString(u"A\u4e2d"); });
  EXPECT_EQ(ToHex(bytes), "04 41 E4 B8 AD");
  TWAStreamReader r;
  Load(r, bytes);
  EXPECT_EQ(r.ReadWideString(), u"A\u4e2d");
}

TEST(TypedStreamVectors, AnsiTextIsConvertedFromTheAnsiCodeSet) {
  SetAnsiCodeSet("GBK");
  const std::string gbk = Hex("D6 D0");  // U+4E2D in GBK
  const std::string bytes = Encode([&](TWAStreamWriter& w) { w.WriteAnsiString(gbk); });
  TWAStreamReader r;
  Load(r, bytes);
  const std::string back = r.ReadAnsiString();
  SetAnsiCodeSet("");
  EXPECT_EQ(ToHex(bytes), "03 E4 B8 AD");
  EXPECT_EQ(back, gbk);
}

TEST(TypedStreamVectors, FixedWidthPrimitivesAreLittleEndian) {
  SQLTimeStamp ts{2024, 2, 29, 23, 59, 58, 123456};
  Bcd bcd = Bcd::FromString("-12.34");
  const std::string bytes = Encode([&](TWAStreamWriter& w) {
    w.WriteByte(0xFE);
    w.WriteShortInt(-2);
    w.WriteBoolean(true);
    w.WriteSmallInt(-2);
    w.WriteWord(0xABCD);
    w.WriteInteger(-2);
    w.WriteLongWord(0x01020304);
    w.WriteSingle(1.5f);
    w.WriteDouble(1.5);
    w.WriteInt64(-2);
    w.WriteSQLTimeStamp(ts);
    w.WriteBcd(bcd);
  });
  EXPECT_EQ(ToHex(bytes.substr(0, 35)),
            "FE FE 01 FE FF CD AB FE FF FF FF 04 03 02 01 00 00 C0 3F 00 00 00 00 00 00 F8 3F "
            "FE FF FF FF FF FF FF FF");
  EXPECT_EQ(ToHex(bytes.substr(35, 16)), "E8 07 02 00 1D 00 17 00 3B 00 3A 00 40 E2 01 00");
  EXPECT_EQ(ToHex(bytes.substr(51, 5)), "04 82 12 34 00");  // 4 digits, negative, 2 places
  EXPECT_EQ(bytes.size(), 51u + 34u);

  TWAStreamReader r;
  Load(r, bytes);
  EXPECT_EQ(r.ReadByte(), 0xFE);
  EXPECT_EQ(r.ReadShortInt(), -2);
  EXPECT_TRUE(r.ReadBoolean());
  EXPECT_EQ(r.ReadSmallInt(), -2);
  EXPECT_EQ(r.ReadWord(), 0xABCD);
  EXPECT_EQ(r.ReadInteger(), -2);
  EXPECT_EQ(r.ReadLongWord(), 0x01020304u);
  EXPECT_EQ(r.ReadSingle(), 1.5f);
  EXPECT_EQ(r.ReadDouble(), 1.5);
  EXPECT_EQ(r.ReadInt64(), -2);
  EXPECT_EQ(r.ReadSQLTimeStamp(), ts);
  EXPECT_EQ(r.ReadBcd(), bcd);
}

TEST(TypedStreamVectors, AnyNonZeroByteReadsAsTrue) {
  TWAStreamReader r;
  Load(r, Hex("00 01 7F FF"));
  EXPECT_FALSE(r.ReadBoolean());
  EXPECT_TRUE(r.ReadBoolean());
  EXPECT_TRUE(r.ReadBoolean());
  EXPECT_TRUE(r.ReadBoolean());
}

TEST(TypedStreamVectors, CurrencyIsTheAmountTimesTenThousand) {
  EXPECT_EQ(ToHex(Encode([](TWAStreamWriter& w) {
              w.WriteVariant(Variant::Currency(Currency::FromDouble(1.5)));
            })),
            "06 00 98 3A 00 00 00 00 00 00");  // 15000
}

TEST(TypedStreamVectors, ScalarVariantTags) {
  const struct {
    Variant value;
    const char* hex;
  } cases[] = {
      {Variant(), "00 00"},
      {Variant::Null(), "01 00"},
      {Variant::Smallint(-1), "02 00 FF FF"},
      {Variant::Integer(1), "03 00 01 00 00 00"},
      {Variant::Single(1.5f), "04 00 00 00 C0 3F"},
      {Variant::Double(1.5), "05 00 00 00 00 00 00 00 F8 3F"},
      {Variant::Date(2.0), "07 00 00 00 00 00 00 00 00 40"},
      {Variant::OleStr(u"ab"), "08 00 02 61 62"},
      {Variant::UString(u"ab"), "08 00 02 61 62"},
      {Variant::Error(5), "0A 00 05 00 00 00"},
      {Variant::Boolean(true), "0B 00 01"},
      {Variant::ShortInt(-1), "10 00 FF"},
      {Variant::Byte(200), "11 00 C8"},
      {Variant::Word(0x1234), "12 00 34 12"},
      {Variant::LongWord(0x12345678), "13 00 78 56 34 12"},
      {Variant::Int64(-1), "14 00 FF FF FF FF FF FF FF FF"},
      {Variant::AnsiString("ab"), "00 01 02 61 62"},
      {Variant::FromSQLTimeStamp({1, 2, 3, 4, 5, 6, 7}),
       "02 01 01 00 02 00 03 00 04 00 05 00 06 00 07 00 00 00"},
  };
  for (const auto& c : cases) {
    const std::string bytes = Encode([&](TWAStreamWriter& w) { w.WriteVariant(c.value); });
    EXPECT_EQ(ToHex(bytes), c.hex) << VarTypeName(c.value.Type());
  }
  EXPECT_EQ(ToHex(Encode([](TWAStreamWriter& w) {
                    w.WriteVariant(Variant::FromBcd(Bcd::FromString("5")));
                  }).substr(0, 5)),
            "01 01 01 00 50");
}

TEST(TypedStreamVectors, ScalarVariantsReadBackAsTheirKind) {
  const Variant values[] = {Variant(),
                            Variant::Null(),
                            Variant::Smallint(-300),
                            Variant::Integer(-70000),
                            Variant::Double(-2.25),
                            Variant::Currency(Currency{-15000}),
                            Variant::Date(45000.5),
                            Variant::OleStr(u"\u4e2d\u6587"),
                            Variant::Error(-2147352572),
                            Variant::Boolean(true),
                            Variant::Boolean(false),
                            Variant::ShortInt(-128),
                            Variant::Byte(255),
                            Variant::Word(65535),
                            Variant::LongWord(4294967295u),
                            Variant::Int64(INT64_MIN),
                            Variant::AnsiString("text"),
                            Variant::FromBcd(Bcd::FromString("-123456789012345678901234.5678")),
                            Variant::FromSQLTimeStamp({-5, 12, 31, 0, 0, 0, 999999999})};
  const std::string bytes = Encode([&](TWAStreamWriter& w) {
    for (const Variant& v : values) w.WriteVariant(v);
  });
  TWAStreamReader r;
  Load(r, bytes);
  for (const Variant& v : values) EXPECT_EQ(r.ReadVariant(), v) << VarTypeName(v.Type());
  EXPECT_EQ(r.Remaining(), 0);
}

TEST(TypedStreamVectors, SingleReadsBackAsDouble) {
  TWAStreamReader r;
  Load(r, Hex("04 00 00 00 C0 3F  04 00 CD CC CC 3D"));
  const Variant a = r.ReadVariant();
  EXPECT_EQ(a.Type(), varDouble);
  EXPECT_EQ(a.AsDoubleValue(), 1.5);
  EXPECT_EQ(r.ReadVariant().AsDoubleValue(), double(0.1f));  // widened, not rounded to 0.1
}

TEST(TypedStreamVectors, ByReferenceValuesAreWrittenAsWhatTheyReferTo) {
  int32_t i = 42;
  int16_t yes = -1;
  std::u16string wide = u"w";
  std::string ansi = "a";
  Variant inner = Variant::Integer(42);
  Variant outer = Variant::ByRef(varVariant, &inner);
  const std::string plain =
      Encode([](TWAStreamWriter& w) { w.WriteVariant(Variant::Integer(42)); });
  EXPECT_EQ(ToHex(plain), "03 00 2A 00 00 00");
  EXPECT_EQ(Encode([&](TWAStreamWriter& w) { w.WriteVariant(Variant::ByRef(varInteger, &i)); }),
            plain);
  EXPECT_EQ(Encode([&](TWAStreamWriter& w) { w.WriteVariant(Variant::ByRef(varVariant, &inner)); }),
            plain);
  EXPECT_EQ(Encode([&](TWAStreamWriter& w) { w.WriteVariant(Variant::ByRef(varVariant, &outer)); }),
            plain);
  EXPECT_EQ(ToHex(Encode([&](TWAStreamWriter& w) {
              w.WriteVariant(Variant::ByRef(varBoolean, &yes));
              w.WriteVariant(Variant::ByRef(varOleStr, &wide));
              w.WriteVariant(Variant::ByRef(varString, &ansi));
            })),
            "0B 00 01 08 00 01 77 00 01 01 61");
}

TEST(TypedStreamVectors, ByteArrayIsOneRawBlock) {
  const uint8_t data[] = {0, 1, 2, 3, 4};
  const Variant array = Variant::FromArray(VarArray::Bytes(data, 5));
  const std::string bytes = Encode([&](TWAStreamWriter& w) { w.WriteVariant(array); });
  EXPECT_EQ(ToHex(bytes), "11 20 01 00 00 00 00 00 04 00 00 00 05 00 00 00 00 01 02 03 04");
  TWAStreamReader r;
  Load(r, bytes);
  EXPECT_EQ(r.ReadVariant(), array);
}

TEST(TypedStreamVectors, RawArraysKeepStorageOrderFirstDimensionFastest) {
  VarArray a(varSmallint, {{1, 2}, {-1, 0}});
  a.Put({1, -1}, Variant::Smallint(0x11));
  a.Put({2, -1}, Variant::Smallint(0x21));
  a.Put({1, 0}, Variant::Smallint(0x12));
  a.Put({2, 0}, Variant::Smallint(0x22));
  const Variant v = Variant::FromArray(a);
  const std::string bytes = Encode([&](TWAStreamWriter& w) { w.WriteVariant(v); });
  EXPECT_EQ(ToHex(bytes),
            "02 20 02 00 01 00 00 00 FF FF FF FF 02 00 00 00 00 00 00 00 08 00 00 00 "
            "11 00 21 00 12 00 22 00");
  TWAStreamReader r;
  Load(r, bytes);
  EXPECT_EQ(r.ReadVariant(), v);
}

TEST(TypedStreamVectors, VariantArraysWalkWithTheLastIndexFastest) {
  VarArray a(varVariant, {{0, 1}, {5, 7}});
  for (int i = 0; i <= 1; ++i)
    for (int j = 5; j <= 7; ++j) a.Put({i, j}, Variant::Byte(uint8_t(i * 16 + j)));
  const Variant v = Variant::FromArray(a);
  const std::string bytes = Encode([&](TWAStreamWriter& w) { w.WriteVariant(v); });
  EXPECT_EQ(ToHex(bytes),
            "0C 20 02 00 00 00 00 00 05 00 00 00 01 00 00 00 07 00 00 00 "
            "11 00 05 11 00 06 11 00 07 11 00 15 11 00 16 11 00 17");
  TWAStreamReader r;
  Load(r, bytes);
  EXPECT_EQ(r.ReadVariant(), v);
}

TEST(TypedStreamVectors, ArraysOfEveryElementKindRoundTrip) {
  std::vector<Variant> arrays;
  for (uint16_t kind : {varSmallint, varInteger, varSingle, varDouble, varCurrency, varDate,
                        varBoolean, varShortInt, varByte, varWord, varLongWord, varError, varInt64,
                        varOleStr, varString, varVariant}) {
    VarArray a(kind, {{-1, 1}, {2, 3}, {0, 1}});
    for (int64_t p = 0; p < a.ElementCount(); ++p) a.PutFlat(p, Variant::Integer(int32_t(p % 2)));
    arrays.push_back(Variant::FromArray(std::move(a)));
  }
  VarArray bcds(varBcd, {{0, 1}});
  bcds.PutFlat(0, Variant::FromBcd(Bcd::FromString("1.5")));
  bcds.PutFlat(1, Variant::FromBcd(Bcd::FromString("-2")));
  arrays.push_back(Variant::FromArray(std::move(bcds)));
  VarArray empty(varByte, {{0, -1}});
  arrays.push_back(Variant::FromArray(std::move(empty)));
  const std::string bytes = Encode([&](TWAStreamWriter& w) {
    for (const Variant& v : arrays) w.WriteVariant(v);
  });
  TWAStreamReader r;
  Load(r, bytes);
  for (const Variant& v : arrays) EXPECT_EQ(r.ReadVariant(), v) << VarTypeName(v.Type());
  EXPECT_EQ(r.Remaining(), 0);
}

TEST(TypedStreamVectors, AnEmptyFixedSizeArrayHasByteCountZero) {
  const Variant v = Variant::FromArray(VarArray(varInteger, {{3, 2}}));
  EXPECT_EQ(ToHex(Encode([&](TWAStreamWriter& w) { w.WriteVariant(v); })),
            "03 20 01 00 03 00 00 00 02 00 00 00 00 00 00 00");
}

TEST(TypedStreamVectors, TagTwelveWrapsTheVariantThatFollows) {
  TWAStreamReader r;
  Load(r, Hex("0C 00 03 00 2A 00 00 00  0C 00 0C 00 01 00"));
  EXPECT_EQ(r.ReadVariant(), Variant::Integer(42));
  EXPECT_EQ(r.ReadVariant(), Variant::Null());
}

}  // namespace
}  // namespace qorvin
