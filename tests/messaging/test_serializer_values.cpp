// Scalar encodings of the stream serializer: byte-exact vectors, length checks and failures.
#include <gtest/gtest.h>

#include <cmath>

#include "messaging/uROBinaryHelpers.h"
#include "messaging/uROStreamSerializer.h"
#include "platform/rtl/Exceptions.h"
#include "tests/messaging/TestBytes.h"

namespace qorvin {
namespace {

using test::Hex;

class SerializerTest : public ::testing::Test {
 protected:
  template <typename T>
  std::string Write(const TTypeInfo& type, const T& value) {
    stream.SetSize(0);
    serializer.WriteValue("v", type, &value);
    return test::Bytes(stream);
  }
  template <typename T>
  T Read(const TTypeInfo& type, std::string_view bytes) {
    test::Load(stream, bytes);
    T value{};
    serializer.ReadValue("v", type, &value);
    return value;
  }
  // The message of the exception of type E raised by `f`; fails the test otherwise.
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

TEST_F(SerializerTest, StringsAreCountedBytes) {
  EXPECT_EQ(Write(TypeInfo_String(), std::string("abc")), Hex("03 00 00 00 61 62 63"));
  EXPECT_EQ(Write(TypeInfo_String(), std::string()), Hex("00 00 00 00"));
  EXPECT_EQ(Write(TypeInfo_UTF8String(), std::string("\xC3\xA9")), Hex("02 00 00 00 C3 A9"));
  EXPECT_EQ(Write(TypeInfo_WideString(), std::u16string(u"ab")), Hex("02 00 00 00 61 00 62 00"));
  EXPECT_EQ(Write(TypeInfo_WideString(), std::u16string(u"\u20AC")), Hex("01 00 00 00 AC 20"));

  EXPECT_EQ(Read<std::string>(TypeInfo_String(), Hex("03 00 00 00 61 62 63")), "abc");
  EXPECT_EQ(Read<std::u16string>(TypeInfo_WideString(), Hex("02 00 00 00 61 00 62 00")), u"ab");
  EXPECT_EQ(Read<std::string>(TypeInfo_UTF8String(), Hex("00 00 00 00")), "");
}

TEST_F(SerializerTest, NegativeStringCountReadsAsEmpty) {
  EXPECT_EQ(Read<std::string>(TypeInfo_String(), Hex("FF FF FF FF 61")), "");
  EXPECT_EQ(stream.Position(), 4);
  EXPECT_EQ(Read<std::u16string>(TypeInfo_WideString(), Hex("00 00 00 80")), u"");
}

TEST_F(SerializerTest, StringCountsAreCheckedAgainstTheTotalSizeBeforeAllocating) {
  // A count of 2 147 483 647 in a 100-byte body: the invalid-length text, not out-of-memory.
  std::string body = Hex("FF FF FF 7F") + std::string(96, 'x');
  EXPECT_EQ(Failure<EROException>([&] { Read<std::string>(TypeInfo_String(), body); }),
            "Stream read error: Invalid string length \"2147483647\"");
  EXPECT_EQ(Failure<EROException>([&] { Read<std::u16string>(TypeInfo_WideString(), body); }),
            "Stream read error: Invalid string length \"2147483647\"");
  // Wide strings count units: 3 units need 6 bytes, more than this 9-byte stream... is not;
  // 5 units (10 bytes) are.
  EXPECT_EQ(Failure<EROException>([&] {
              Read<std::u16string>(TypeInfo_WideString(), Hex("05 00 00 00 61 00 62 00 63"));
            }),
            "Stream read error: Invalid string length \"5\"");
  // Within the total size but beyond the remaining bytes: the platform's read error.
  EXPECT_EQ(Failure<EReadError>([&] {
              Read<std::u16string>(TypeInfo_WideString(), Hex("03 00 00 00 61 00 62 00 63"));
            }),
            "Stream read error");
  EXPECT_EQ(
      Failure<EReadError>([&] { Read<std::string>(TypeInfo_String(), Hex("05 00 00 00 61")); }),
      "Stream read error");
  // A count prefix cut short.
  EXPECT_EQ(Failure<EReadError>([&] { Read<std::string>(TypeInfo_String(), Hex("05 00")); }),
            "Stream read error");
}

TEST_F(SerializerTest, StringMaximumLength) {
  test::Load(stream, Hex("04 00 00 00 61 62 63 64"));
  std::string s;
  EXPECT_EQ(Failure<EROException>([&] { serializer.ReadUTF8String("n", s, -1, 3); }),
            "Stream read error: Invalid string length \"4\"");
  stream.SetPosition(0);
  serializer.ReadUTF8String("n", s, -1, 4);
  EXPECT_EQ(s, "abcd");
}

TEST_F(SerializerTest, OrdinalsInTheirOwnSize) {
  EXPECT_EQ(Write(TypeInfo_Integer(), int32_t(1)), Hex("01 00 00 00"));
  EXPECT_EQ(Write(TypeInfo_Integer(), int32_t(-2)), Hex("FE FF FF FF"));
  EXPECT_EQ(Write(TypeInfo_Int64(), int64_t(1)), Hex("01 00 00 00 00 00 00 00"));
  EXPECT_EQ(Write(TypeInfo_SmallInt(), int16_t(-1)), Hex("FF FF"));
  EXPECT_EQ(Write(TypeInfo_Word(), uint16_t(0x1234)), Hex("34 12"));
  EXPECT_EQ(Write(TypeInfo_Byte(), uint8_t(7)), Hex("07"));
  EXPECT_EQ(Write(TypeInfo_ShortInt(), int8_t(-3)), Hex("FD"));
  EXPECT_EQ(Write(TypeInfo_Cardinal(), uint32_t(0xFFFFFFFE)), Hex("FE FF FF FF"));

  EXPECT_EQ(Read<int32_t>(TypeInfo_Integer(), Hex("FE FF FF FF")), -2);
  EXPECT_EQ(Read<int64_t>(TypeInfo_Int64(), Hex("00 00 00 00 00 00 00 80")), INT64_MIN);
  EXPECT_EQ(Read<int16_t>(TypeInfo_SmallInt(), Hex("FF FF")), -1);
  EXPECT_EQ(Read<uint8_t>(TypeInfo_Byte(), Hex("07")), 7);
  EXPECT_THROW(Read<int32_t>(TypeInfo_Integer(), Hex("01 00 00")), EReadError);
  EXPECT_THROW(Read<int64_t>(TypeInfo_Int64(), Hex("01 00 00 00 00 00 00")), EReadError);
}

TEST_F(SerializerTest, EnumerationsTravelAsFourBytes) {
  EXPECT_EQ(Write(TypeInfo_Boolean(), true), Hex("01 00 00 00"));
  EXPECT_EQ(Write(TypeInfo_Boolean(), false), Hex("00 00 00 00"));
  EXPECT_TRUE(Read<bool>(TypeInfo_Boolean(), Hex("01 00 00 00")));
  EXPECT_FALSE(Read<bool>(TypeInfo_Boolean(), Hex("00 00 00 00")));
  // Any non-zero ordinal is a valid true, never an invalid bool.
  EXPECT_TRUE(Read<bool>(TypeInfo_Boolean(), Hex("02 00 00 00")));

  TTypeInfo wordEnum;
  wordEnum.kind = TTypeKind::tkEnumeration;
  wordEnum.name = "TWordEnum";
  wordEnum.ord = TOrdType::otUWord;
  EXPECT_EQ(Write(wordEnum, uint16_t(3)), Hex("03 00 00 00"));
  // Read back into the enumeration's own size: the bytes beside it stay untouched.
  uint16_t pair[2] = {0xAAAA, 0xBBBB};
  test::Load(stream, Hex("05 00 00 00"));
  serializer.ReadValue("e", wordEnum, &pair[0]);
  EXPECT_EQ(pair[0], 5);
  EXPECT_EQ(pair[1], 0xBBBB);
}

TEST_F(SerializerTest, FloatingPoint) {
  // 1.5 days: 31 December 1899, 12:00.
  EXPECT_EQ(Write(TypeInfo_TDateTime(), 1.5), Hex("00 00 00 00 00 00 F8 3F"));
  EXPECT_EQ(Read<double>(TypeInfo_TDateTime(), Hex("00 00 00 00 00 00 F8 3F")), 1.5);
  EXPECT_EQ(Write(TypeInfo_Double(), -2.0), Hex("00 00 00 00 00 00 00 C0"));
  EXPECT_EQ(Write(TypeInfo_Single(), 1.0f), Hex("00 00 80 3F"));
  EXPECT_EQ(Read<float>(TypeInfo_Single(), Hex("00 00 80 3F")), 1.0f);
  EXPECT_EQ(Write(TypeInfo_Currency(), Currency{12345}), Hex("39 30 00 00 00 00 00 00"));
  EXPECT_EQ(Read<Currency>(TypeInfo_Currency(), Hex("39 30 00 00 00 00 00 00")).scaled, 12345);
  EXPECT_EQ(Write(TypeInfo_Comp(), int64_t(-1)), Hex("FF FF FF FF FF FF FF FF"));
  // Extended: 80-bit x87 layout, 10 bytes.
  EXPECT_EQ(Write(TypeInfo_Extended(), 1.0L), Hex("00 00 00 00 00 00 00 80 FF 3F"));
  EXPECT_EQ(Write(TypeInfo_Extended(), -0.5L), Hex("00 00 00 00 00 00 00 80 FE BF"));
  EXPECT_EQ(Write(TypeInfo_Extended(), 0.0L), Hex("00 00 00 00 00 00 00 00 00 00"));
  for (long double v : {1.0L, -3.25L, 1e300L, 5e-320L, 123456789.125L})
    EXPECT_EQ(Read<long double>(TypeInfo_Extended(), Write(TypeInfo_Extended(), v)), v);
  EXPECT_TRUE(
      std::isinf(Read<long double>(TypeInfo_Extended(), Hex("00 00 00 00 00 00 00 80 FF 7F"))));
  EXPECT_THROW(Read<double>(TypeInfo_Double(), Hex("00 00 00 00 00 00 F8")), EReadError);
}

TEST_F(SerializerTest, GuidMemoryLayoutAndText) {
  const std::string text = "{00112233-4455-6677-8899-AABBCCDDEEFF}";
  EXPECT_EQ(Write(TypeInfo_Guid(), text), Hex("33 22 11 00 55 44 77 66 88 99 AA BB CC DD EE FF"));
  EXPECT_EQ(
      Read<std::string>(TypeInfo_Guid(), Hex("33 22 11 00 55 44 77 66 88 99 AA BB CC DD EE FF")),
      text);
  // Lower-case text is accepted; the read-back form is upper case.
  EXPECT_EQ(Read<std::string>(
                TypeInfo_Guid(),
                Write(TypeInfo_Guid(), std::string("{aabbccdd-0000-0000-0000-000000000001}"))),
            "{AABBCCDD-0000-0000-0000-000000000001}");
  EXPECT_EQ(Failure<EConvertError>([&] { Write(TypeInfo_Guid(), std::string("nope")); }),
            "'nope' is not a valid GUID value");
  EXPECT_EQ(
      Failure<EROException>([&] { Read<std::string>(TypeInfo_Guid(), std::string(15, '\0')); }),
      "Unexpected end of stream.");
}

TEST_F(SerializerTest, DecimalImage) {
  // 1.5 = 15 with scale 1; -0.01 = 1 with scale 2 and the sign bit.
  EXPECT_EQ(Write(TypeInfo_Decimal(), Variant::AnsiString("1.5")),
            Hex("0F 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00"));
  EXPECT_EQ(Write(TypeInfo_Decimal(), Variant::AnsiString("-0.01")),
            Hex("01 00 00 00 00 00 00 00 00 00 00 00 00 00 02 80"));
  EXPECT_EQ(Write(TypeInfo_Decimal(), Variant::Null()), std::string(16, '\0'));
  EXPECT_EQ(Write(TypeInfo_Decimal(), Variant::Integer(300)),
            Hex("2C 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
  // A double is taken through its plain digits (never an exponent form).
  EXPECT_EQ(Write(TypeInfo_Decimal(), Variant::Double(1e20)),
            Write(TypeInfo_Decimal(), Variant::AnsiString("100000000000000000000")));
  // Other characters are skipped; only the first separator counts; '-' anywhere negates.
  EXPECT_EQ(Write(TypeInfo_Decimal(), Variant::AnsiString("1,2.3.4-")),
            Hex("D2 04 00 00 00 00 00 00 00 00 00 00 00 00 02 80"));
  // The full 96-bit magnitude: 2^96 - 1.
  EXPECT_EQ(Write(TypeInfo_Decimal(), Variant::AnsiString("79228162514264337593543950335")),
            Hex("FF FF FF FF FF FF FF FF FF FF FF FF 00 00 00 00"));
  const std::string image = Hex("01 02 03 04 05 06 07 08 09 0A 0B 0C 00 00 03 00");
  const Variant bytes = Variant::FromArray(VarArray::Bytes(image.data(), 16));
  EXPECT_EQ(Write(TypeInfo_Decimal(), bytes), image);
  EXPECT_EQ(Read<Variant>(TypeInfo_Decimal(), image), bytes);

  EXPECT_EQ(Failure<EConvertError>([&] { Write(TypeInfo_Decimal(), Variant::AnsiString("")); }),
            "Cannot convert empty string to decimal value");
  EXPECT_EQ(Failure<EConvertError>([&] { Write(TypeInfo_Decimal(), Variant()); }),
            "Cannot convert empty string to decimal value");
  // Beyond 96 bits or 28 places the value cannot be represented: refused, never wrapped.
  EXPECT_THROW(Write(TypeInfo_Decimal(), Variant::AnsiString("79228162514264337593543950336")),
               EConvertError);
  EXPECT_THROW(Write(TypeInfo_Decimal(), Variant::AnsiString("0." + std::string(29, '0') + "1")),
               EConvertError);
  EXPECT_EQ(
      Failure<EROException>([&] { Read<Variant>(TypeInfo_Decimal(), std::string(12, '\0')); }),
      "Unexpected end of stream.");
}

TEST_F(SerializerTest, XmlNodeIsItsText) {
  EXPECT_EQ(Write(TypeInfo_IXMLNode(), std::string("<a/>")), Hex("04 00 00 00 3C 61 2F 3E"));
  EXPECT_EQ(Write(TypeInfo_IXMLNode(), std::string()), Hex("00 00 00 00"));
  EXPECT_EQ(Read<std::string>(TypeInfo_IXMLNode(), Hex("04 00 00 00 3C 61 2F 3E")), "<a/>");
}

TEST_F(SerializerTest, BinaryValues) {
  std::unique_ptr<TROBinaryMemoryStream> absent;
  EXPECT_EQ(Write(TypeInfo_Binary(), absent), Hex("00"));
  auto empty = std::make_unique<TROBinaryMemoryStream>();
  EXPECT_EQ(Write(TypeInfo_Binary(), empty), Hex("01 00 00 00 00"));
  auto data = std::make_unique<TROBinaryMemoryStream>("xyz");
  data->SetPosition(2);  // written from offset 0 whatever the position
  EXPECT_EQ(Write(TypeInfo_Binary(), data), Hex("01 03 00 00 00 78 79 7A"));

  auto read = Read<std::unique_ptr<TROBinaryMemoryStream>>(TypeInfo_Binary(),
                                                           Hex("01 03 00 00 00 78 79 7A"));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->Position(), 0);
  EXPECT_EQ(read->ToString(), "xyz");
  EXPECT_FALSE(Read<std::unique_ptr<TROBinaryMemoryStream>>(TypeInfo_Binary(), Hex("00")));
  auto emptyRead =
      Read<std::unique_ptr<TROBinaryMemoryStream>>(TypeInfo_Binary(), Hex("01 00 00 00 00"));
  ASSERT_TRUE(emptyRead);
  EXPECT_EQ(emptyRead->Size(), 0);

  // The reader always makes a new stream: one passed in is replaced.
  auto previous = std::make_unique<TROBinaryMemoryStream>("old");
  TROBinaryMemoryStream* old = previous.get();
  test::Load(stream, Hex("01 01 00 00 00 41"));
  serializer.ReadValue("b", TypeInfo_Binary(), &previous);
  EXPECT_NE(previous.get(), old);
  EXPECT_EQ(previous->ToString(), "A");
}

TEST_F(SerializerTest, BinaryCountsAreChecked) {
  using P = std::unique_ptr<TROBinaryMemoryStream>;
  EXPECT_EQ(Failure<EROException>([&] { Read<P>(TypeInfo_Binary(), Hex("01 FF FF FF 7F 00 00")); }),
            "Stream read error: Invalid string length \"2147483647\"");
  // Negative counts are huge when taken as unsigned.
  EXPECT_EQ(Failure<EROException>([&] { Read<P>(TypeInfo_Binary(), Hex("01 FF FF FF FF 00")); }),
            "Stream read error: Invalid string length \"-1\"");
  EXPECT_EQ(Failure<EReadError>([&] { Read<P>(TypeInfo_Binary(), Hex("01 04 00 00 00 41")); }),
            "Stream read error");
  EXPECT_THROW(Read<P>(TypeInfo_Binary(), Hex("01 04 00")), EReadError);
  EXPECT_THROW(Read<P>(TypeInfo_Binary(), ""), EReadError);
}

TEST_F(SerializerTest, TypesWithoutEncoding) {
  char c = 'x';
  EXPECT_EQ(Failure<EROUnknownType>([&] { serializer.WriteValue("c", TypeInfo_Char(), &c); }),
            "Type \"tkChar\" not supported");
  // On reading, non-class kinds fail as general messaging errors, not unknown types.
  test::Load(stream, Hex("78"));
  try {
    serializer.ReadValue("c", TypeInfo_Char(), &c);
    ADD_FAILURE() << "no exception";
  } catch (const EROUnknownType&) {
    ADD_FAILURE() << "reading a character must not be an unknown type";
  } catch (const EROException& e) {
    EXPECT_STREQ(e.what(), "Type \"tkChar\" not supported");
  }
  TTypeInfo plainClass;
  plainClass.kind = TTypeKind::tkClass;
  plainClass.name = "TObject";
  std::unique_ptr<TROComplexType> none;
  EXPECT_EQ(Failure<EROUnknownType>([&] { serializer.ReadValue("o", plainClass, &none); }),
            "Type \"tkClass\" not supported");
  TTypeInfo otherInterface;
  otherInterface.kind = TTypeKind::tkInterface;
  otherInterface.name = "IUnknown";
  std::string x;
  EXPECT_EQ(Failure<EROUnknownType>([&] { serializer.WriteValue("i", otherInterface, &x); }),
            "Type \"tkInterface\" not supported");
  EXPECT_EQ(Failure<EROUnknownType>([&] { serializer.ReadValue("i", otherInterface, &x); }),
            "Type \"tkInterface\" not supported");
  TTypeInfo record;
  record.kind = TTypeKind::tkRecord;
  record.name = "TPoint";
  EXPECT_EQ(Failure<EROUnknownType>([&] { serializer.WriteValue("r", record, &x); }),
            "Type \"tkRecord\" not supported");
}

TEST(BinaryMemoryStream, ByteStringHelpers) {
  TROBinaryMemoryStream s("hello");
  EXPECT_EQ(s.Position(), 0);
  EXPECT_EQ(s.Size(), 5);
  EXPECT_EQ(s.ToString(), "hello");
  EXPECT_EQ(s.Position(), 5);
  s.LoadFromString("ab");
  EXPECT_EQ(s.Size(), 2);
  EXPECT_EQ(s.Position(), 0);
  EXPECT_EQ(s.ToString(), "ab");
  s.LoadFromString("");
  EXPECT_EQ(s.Size(), 0);
  // Capacity grows in whole steps of 8192 bytes.
  TROBinaryMemoryStream big;
  big.WriteBytes(std::string(8193, 'x'));
  EXPECT_EQ(big.Capacity() % 8192, 0);
  EXPECT_GE(big.Capacity(), 8193);
}

}  // namespace
}  // namespace qorvin
