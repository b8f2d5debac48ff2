// Variant encodings: scalar payloads, arrays, byte arrays and their failures.
#include <gtest/gtest.h>

#include "messaging/uROStreamSerializer.h"
#include "platform/rtl/Exceptions.h"
#include "tests/messaging/TestBytes.h"

namespace qorvin {
namespace {

using test::Hex;

class VariantTest : public ::testing::Test {
 protected:
  std::string Write(const Variant& v) {
    stream.SetSize(0);
    serializer.WriteVariant("v", v);
    return test::Bytes(stream);
  }
  Variant Read(std::string_view bytes) {
    test::Load(stream, bytes);
    Variant v;
    serializer.ReadVariant("v", v);
    EXPECT_EQ(stream.Position(), stream.Size()) << "payload not fully consumed";
    return v;
  }
  template <typename E, typename F>
  std::string Failure(F f) {
    try {
      f();
    } catch (const E& e) {
      return e.what();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "unexpected exception: " << e.what();
      return {};
    }
    ADD_FAILURE() << "no exception";
    return {};
  }

  TMemoryStream stream;
  TROStreamSerializer serializer{&stream};
};

TEST_F(VariantTest, ScalarPayloads) {
  struct Case {
    Variant value;
    const char* hex;
  };
  const Case cases[] = {
      {Variant(), "00 00 00 00"},
      {Variant::Null(), "01 00 00 00"},
      {Variant::Boolean(true), "0B 00 00 00 01 00 00 00"},
      {Variant::Boolean(false), "0B 00 00 00 00 00 00 00"},
      {Variant::Smallint(-2), "02 00 00 00 FE FF"},
      {Variant::Integer(1), "03 00 00 00 01 00 00 00"},
      {Variant::Single(1.0f), "04 00 00 00 00 00 80 3F"},
      {Variant::Double(1.5), "05 00 00 00 00 00 00 00 00 00 F8 3F"},
      {Variant::Date(1.5), "07 00 00 00 00 00 00 00 00 00 F8 3F"},
      {Variant::Currency(Currency{10000}), "06 00 00 00 10 27 00 00 00 00 00 00"},
      {Variant::ShortInt(-1), "10 00 00 00 FF"},
      {Variant::Byte(200), "11 00 00 00 C8"},
      {Variant::Int64(-1), "14 00 00 00 FF FF FF FF FF FF FF FF"},
      {Variant::UString(u"\u00e9a"), "02 01 00 00 03 00 00 00 C3 A9 61"},
      {Variant::AnsiString("ab"), "00 01 00 00 02 00 00 00 61 62"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Write(c.value), Hex(c.hex)) << c.hex;
    EXPECT_EQ(Read(Hex(c.hex)), c.value) << c.hex;
  }
}

TEST_F(VariantTest, KindsThatReadBackAsAnother) {
  // Unsigned 16/32-bit read back signed; an OLE string as a Unicode string.
  EXPECT_EQ(Write(Variant::Word(0xFFFF)), Hex("12 00 00 00 FF FF"));
  EXPECT_EQ(Read(Hex("12 00 00 00 FF FF")), Variant::Smallint(-1));
  EXPECT_EQ(Write(Variant::LongWord(0xFFFFFFFF)), Hex("13 00 00 00 FF FF FF FF"));
  EXPECT_EQ(Read(Hex("13 00 00 00 FF FF FF FF")), Variant::Integer(-1));
  EXPECT_EQ(Write(Variant::OleStr(u"x")), Hex("08 00 00 00 01 00 00 00 78"));
  EXPECT_EQ(Read(Hex("08 00 00 00 01 00 00 00 78")), Variant::UString(u"x"));
  // An error value has no payload and means "parameter not found".
  EXPECT_EQ(Write(Variant::Error(5)), Hex("0A 00 00 00"));
  EXPECT_EQ(Read(Hex("0A 00 00 00")), Variant::Error(kDispEParamNotFound));
  // A by-reference variant is written as the value it refers to.
  int32_t target = 7;
  EXPECT_EQ(Write(Variant::ByRef(varInteger, &target)), Hex("03 00 00 00 07 00 00 00"));
}

TEST_F(VariantTest, BooleanArrayUsesOneByteElements) {
  VarArray a(varBoolean, {VarBound{0, 1}});
  a.PutFlat(0, Variant::Boolean(true));
  a.PutFlat(1, Variant::Boolean(false));
  const std::string bytes =
      Hex("0B 20 00 00  00 00 00 00  01 00 00 00  0B 00 00 00 01  0B 00 00 00 00");
  EXPECT_EQ(Write(Variant::FromArray(a)), bytes);
  EXPECT_EQ(Read(bytes), Variant::FromArray(a));
}

TEST_F(VariantTest, VariantArrayKeepsBoundsAndElementKinds) {
  VarArray a(varVariant, {VarBound{-1, 1}});
  a.PutFlat(0, Variant::Integer(5));
  a.PutFlat(1, Variant::UString(u"z"));
  a.PutFlat(2, Variant::Null());
  const std::string bytes =
      Hex("0C 20 00 00 FF FF FF FF 01 00 00 00  03 00 00 00 05 00 00 00"
          "  02 01 00 00 01 00 00 00 7A  01 00 00 00");
  EXPECT_EQ(Write(Variant::FromArray(a)), bytes);
  EXPECT_EQ(Read(bytes), Variant::FromArray(a));
  // An empty array: high = low - 1.
  VarArray empty(varInteger, {VarBound{0, -1}});
  EXPECT_EQ(Write(Variant::FromArray(empty)), Hex("03 20 00 00 00 00 00 00 FF FF FF FF"));
  EXPECT_EQ(Read(Hex("03 20 00 00 00 00 00 00 FF FF FF FF")), Variant::FromArray(empty));
}

TEST_F(VariantTest, ByteArrays) {
  const Variant v = Variant::FromArray(VarArray::Bytes("\x01\x02\x03", 3));
  EXPECT_EQ(Write(v), Hex("11 20 00 00 03 00 00 00 01 02 03"));
  EXPECT_EQ(Read(Hex("11 20 00 00 03 00 00 00 01 02 03")), v);
  // Read back with low bound 0 whatever the writer's bounds were.
  VarArray shifted(varByte, {VarBound{5, 6}});
  shifted.PutFlat(0, Variant::Byte(9));
  EXPECT_EQ(Write(Variant::FromArray(shifted)), Hex("11 20 00 00 02 00 00 00 09 00"));
  const Variant back = Read(Hex("11 20 00 00 02 00 00 00 09 00"));
  EXPECT_EQ(back.AsArray().Bounds()[0], (VarBound{0, 1}));
}

TEST_F(VariantTest, CountsAreCheckedBeforeAllocating) {
  EXPECT_EQ(Failure<EROException>([&] { Read(Hex("11 20 00 00 FF FF FF 7F 00")); }),
            "Stream read error: Invalid string length \"2147483647\"");
  EXPECT_EQ(Failure<EROException>([&] { Read(Hex("11 20 00 00 FF FF FF FF")); }),
            "Stream read error: Invalid string length \"-1\"");
  EXPECT_EQ(Failure<EROException>([&] { Read(Hex("08 00 00 00 FF FF FF 7F 61")); }),
            "Stream read error: Invalid string length \"2147483647\"");
  EXPECT_EQ(Failure<EROException>([&] { Read(Hex("00 01 00 00 FF FF FF 7F 61")); }),
            "Stream read error: Invalid string length \"2147483647\"");
  // Array bounds spanning 2^32 elements, and bounds with high < low - 1.
  EXPECT_THROW(Read(Hex("0C 20 00 00 00 00 00 80 FF FF FF 7F 00 00 00 00")), EROException);
  EXPECT_THROW(Read(Hex("0C 20 00 00 05 00 00 00 01 00 00 00")), EROException);
  EXPECT_THROW(Read(Hex("0C 20 00 00 00 00 00 00 00 00 00 00 03 00 00")), EROException);
  EXPECT_THROW(Read(Hex("0C 20 00 00 00 00 00 00 00 00 00 00 03 00 00 00 01")), EReadError);
  EXPECT_THROW(Read(Hex("0B 00 00 00 01")), EReadError);
  EXPECT_THROW(Read(Hex("05 00")), EReadError);
}

TEST_F(VariantTest, DeeplyNestedArraysAreRefused) {
  std::string bytes;
  for (int i = 0; i < kMaxVariantNesting + 2; ++i)
    bytes += Hex("0C 20 00 00 00 00 00 00 00 00 00 00");
  EXPECT_THROW(Read(bytes), EROBinaryConversionException);
  // A nesting within the bound reads back.
  VarArray inner(varVariant, {VarBound{0, 0}});
  inner.PutFlat(0, Variant::Integer(1));
  VarArray outer(varVariant, {VarBound{0, 0}});
  outer.PutFlat(0, Variant::FromArray(inner));
  EXPECT_EQ(Read(Write(Variant::FromArray(outer))), Variant::FromArray(outer));
}

TEST_F(VariantTest, CodesWithoutEncoding) {
  EXPECT_EQ(Failure<EROException>([&] { Write(Variant::UInt64(1)); }),
            "Unsupported variant type \"21\" Not Supported");
  EXPECT_EQ(Failure<EROException>([&] { Read(Hex("15 00 00 00 01 00 00 00 00 00 00 00")); }),
            "Unsupported variant type \"21\" Not Supported");
  EXPECT_EQ(Failure<EROException>([&] { Read(Hex("09 00 00 00")); }),
            "Unsupported variant type \"9\" Not Supported");
  // Inside an array they are conversion errors.
  VarArray a(varVariant, {VarBound{0, 0}});
  a.PutFlat(0, Variant::UInt64(1));
  EXPECT_EQ(Failure<EROBinaryConversionException>([&] { Write(Variant::FromArray(a)); }),
            "Unsupported variant type \"21\"");
  EXPECT_EQ(Failure<EROBinaryConversionException>(
                [&] { Read(Hex("0C 20 00 00 00 00 00 00 00 00 00 00 15 00 00 00")); }),
            "Unsupported variant type \"21\"");
  EXPECT_EQ(Failure<EROBinaryConversionException>(
                [&] { Read(Hex("0C 20 00 00 00 00 00 00 00 00 00 00 09 00 00 00")); }),
            "Marshaling of IDispatch (9) type variants is not supported.");
  EXPECT_EQ(Failure<EROBinaryConversionException>(
                [&] { Read(Hex("09 20 00 00 00 00 00 00 00 00 00 00")); }),
            "Marshaling of IDispatch (9) type variants is not supported.");
  VarArray uint64s(varUInt64, {VarBound{0, 0}});
  EXPECT_EQ(Failure<EROBinaryConversionException>([&] { Write(Variant::FromArray(uint64s)); }),
            "Unsupported variant type \"21\"");
  EXPECT_EQ(stream.Size(), 0) << "nothing written for a refused array";
}

TEST_F(VariantTest, ArrayShapeChecks) {
  EXPECT_EQ(Failure<EROBinaryConversionException>(
                [&] { serializer.WriteVariantArray(Variant::Integer(1)); }),
            "Variant must be Array, but is 3");
  VarArray twoDim(varInteger, {VarBound{0, 1}, VarBound{0, 1}});
  EXPECT_EQ(Failure<EROBinaryConversionException>([&] { Write(Variant::FromArray(twoDim)); }),
            "Variant Array DimCount must be 1 but is 2");
}

}  // namespace
}  // namespace qorvin
