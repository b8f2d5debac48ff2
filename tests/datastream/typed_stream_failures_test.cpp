// Failure handling of the typed value stream: error classes and texts, loading, limits, and
// every truncation of a valid image.
#include <gtest/gtest.h>

#include <string>

#include "datastream/uAdoParamsStream.h"
#include "platform/zlib/ZStream.h"
#include "tests/datastream/typed_stream_support.h"

namespace qorvin {
namespace {

using test::Deflate;
using test::Encode;
using test::Hex;
using test::Load;

const std::string kDecompressPrefix =
    "[DecompressStream]解压缩流出错(源流大小默认为流体积－流当前位置)！\r";

template <typename E, typename F>
std::string MessageOf(F&& action) {
  try {
    action();
  } catch (const E& e) {
    return e.Message();
  }
  ADD_FAILURE() << "no exception";
  return {};
}

TEST(TypedStreamFailures, ShortReadsRaiseReaderErrorAndConsumeNothing) {
  TWAStreamReader r;
  Load(r, Hex("01 02 03"));
  int32_t value = 0;
  EXPECT_EQ(MessageOf<EReaderError>([&] { value = r.ReadInteger(); }), "Stream read error.");
  EXPECT_EQ(r.Remaining(), 3);
  EXPECT_EQ(r.ReadWord(), 0x0201);
}

TEST(TypedStreamFailures, ErrorClassesDeriveFromTheFilerError) {
  TWAStreamReader r;
  try {
    r.ReadByte();
    FAIL();
  } catch (const EFilerError& e) {
    EXPECT_STREQ(e.ClassName(), "EReaderError");
  }
  TWAStreamWriter w(1);
  TMemoryStream out;
  w.SaveToStream(&out);
  try {
    w.WriteByte(1);
    FAIL();
  } catch (const EFilerError& e) {
    EXPECT_STREQ(e.ClassName(), "EWriterError");
    EXPECT_EQ(e.Message(), "Stream write error.");
  }
}

TEST(TypedStreamFailures, KindsTheFormatCannotCarry) {
  EXPECT_EQ(MessageOf<EWriteError>([] {
              Encode([](TWAStreamWriter& w) { w.WriteVariant(Variant::FromDecimal({})); });
            }),
            "无效的Variant类型 14");
  EXPECT_EQ(MessageOf<EWriteError>(
                [] { Encode([](TWAStreamWriter& w) { w.WriteVariant(Variant::UInt64(1)); }); }),
            "无效的Variant类型 21");
  uint64_t u = 1;
  EXPECT_EQ(MessageOf<EWriteError>([&] {
              Encode([&](TWAStreamWriter& w) { w.WriteVariant(Variant::ByRef(varUInt64, &u)); });
            }),
            "无效的Variant类型 16405");  // the full type word, 0x4015
  const Variant uints = Variant::FromArray(VarArray(varUInt64, {{0, 0}}));
  EXPECT_EQ(
      MessageOf<EWriteError>([&] { Encode([&](TWAStreamWriter& w) { w.WriteVariant(uints); }); }),
      "无效的Variant类型 8213");  // 0x2015
}

TEST(TypedStreamFailures, UnknownTagsOnReading) {
  for (const char* hex : {"09 00", "0D 00", "0E 00", "15 00", "03 01", "FF 1F", "15 20"}) {
    TWAStreamReader r;
    Load(r, Hex(hex));
    const std::string bytes = Hex(hex);
    const int tag = uint8_t(bytes[0]) | uint8_t(bytes[1]) << 8;
    EXPECT_EQ(MessageOf<EReadError>([&] { r.ReadVariant(); }),
              "无效的Variant类型 " + std::to_string(tag));
  }
}

TEST(TypedStreamFailures, VariableSizeArraysWithAnEmptyDimensionAreRefused) {
  for (uint16_t kind : {varVariant, varOleStr, varString, varInt64}) {
    const Variant v = Variant::FromArray(VarArray(kind, {{0, 2}, {1, 0}}));
    EXPECT_THROW(Encode([&](TWAStreamWriter& w) { w.WriteVariant(v); }), EWriteError);
  }
  TWAStreamReader r;
  Load(r, Hex("0C 20 01 00 00 00 00 00 FF FF FF FF"));
  EXPECT_THROW(r.ReadVariant(), EReadError);
}

TEST(TypedStreamFailures, MalformedArraysAreRefused) {
  const char* cases[] = {
      "0C 20 00 00",                          // no dimensions
      "11 20 01 00 05 00 00 00 02 00 00 00",  // upper bound two below lower
      "11 20 01 00 00 00 00 00 04 00 00 00 04 00 00 00 00 01 02 03 04",  // byte count 4 for 5
      "11 20 01 00 00 00 00 00 04 00 00 00 FF FF FF FF 00 01 02 03 04",  // negative count
      "01 21 01 00 00 00 00 00 00 00 00 00 03 00 01 00 00 00",           // integer in a BCD array
  };
  for (const char* hex : cases) {
    TWAStreamReader r;
    Load(r, Hex(hex));
    EXPECT_THROW(r.ReadVariant(), EReadError) << hex;
  }
}

TEST(TypedStreamFailures, HugeDeclaredArraysFailBeforeAllocating) {
  const char* cases[] = {
      "11 20 01 00 00 00 00 00 FE FF FF 7F FF FF FF 7F",              // 2^31 bytes
      "0C 20 02 00 00 00 00 80 00 00 00 80 FF FF FF 7F FF FF FF 7F",  // 2^64 variants
      "05 20 03 00 00 00 00 00 00 00 00 00 00 00 00 00 FF FF FF 7F FF FF FF 7F FF FF FF 7F",
  };
  for (const char* hex : cases) {
    TWAStreamReader r;
    Load(r, Hex(hex));
    EXPECT_THROW(r.ReadVariant(), EFilerError) << hex;
  }
}

TEST(TypedStreamFailures, ReaderLimits) {
  {  // variant elements in total
    TWAStreamReader r;
    TWAStreamLimits limits;
    limits.max_variant_elements = 4;
    r.SetLimits(limits);
    VarArray a(varVariant, {{0, 2}});
    const std::string bytes = Encode([&](TWAStreamWriter& w) {
      w.WriteVariant(Variant::FromArray(a));
      w.WriteVariant(Variant::FromArray(a));
    });
    Load(r, bytes);
    EXPECT_NO_THROW(r.ReadVariant());
    EXPECT_THROW(r.ReadVariant(), EReadError);
  }
  {  // nesting of wrapped variants
    std::string chain;
    for (int i = 0; i < 100; ++i) chain += Hex("0C 00");
    chain += Hex("01 00");
    TWAStreamReader r;
    Load(r, chain);
    EXPECT_THROW(r.ReadVariant(), EReadError);
    TWAStreamReader wide;
    TWAStreamLimits limits;
    limits.max_nesting = 200;
    wide.SetLimits(limits);
    Load(wide, chain);
    EXPECT_EQ(wide.ReadVariant(), Variant::Null());
  }
  {  // inflated size: 1 MiB of zeros from about a kilobyte
    TWAStreamReader r;
    TWAStreamLimits limits;
    limits.max_inflated_size = 4096;
    r.SetLimits(limits);
    TMemoryStream image;
    image.WriteBytes(Deflate(std::string(1 << 20, '\0')));
    image.SetPosition(0);
    const std::string message = MessageOf<Exception>([&] { r.LoadFromStream(&image); });
    EXPECT_EQ(message.rfind(kDecompressPrefix, 0), 0u) << message;
    EXPECT_EQ(r.Size(), 0);
  }
}

TEST(TypedStreamFailures, WriterRefusesNestingTheReaderWouldRefuse) {
  std::vector<Variant> chain(100);
  chain[0] = Variant::Integer(1);
  for (size_t i = 1; i < chain.size(); ++i) chain[i] = Variant::ByRef(varVariant, &chain[i - 1]);
  EXPECT_THROW(Encode([&](TWAStreamWriter& w) { w.WriteVariant(chain.back()); }), EWriteError);
  Variant self;
  self = Variant::ByRef(varVariant, &self);  // refers to itself
  EXPECT_THROW(Encode([&](TWAStreamWriter& w) { w.WriteVariant(self); }), EWriteError);
}

TEST(TypedStreamFailures, LoadingFromASourceAtItsEndLeavesTheReaderEmpty) {
  TMemoryStream source;
  source.WriteBytes(Deflate(Hex("01 00")));  // positioned at its end
  TWAStreamReader r;
  r.LoadFromStream(&source);
  r.LoadFromStream(nullptr);
  EXPECT_EQ(r.Size(), 0);
  EXPECT_EQ(MessageOf<EReaderError>([&] { r.ReadWord(); }), "Stream read error.");
}

TEST(TypedStreamFailures, LoadingReadsFromThePositionToTheEnd) {
  TMemoryStream source;
  source.WriteBytes("junk");
  source.WriteBytes(Deflate(Hex("2A 00")));
  source.SetPosition(4);
  TWAStreamReader r;
  r.LoadFromStream(&source);
  EXPECT_EQ(source.Position(), source.Size());
  EXPECT_EQ(r.ReadWord(), 42);
}

TEST(TypedStreamFailures, BytesThatAreNotZlibFailWithTheDecompressText) {
  TMemoryStream source;
  source.WriteBytes("this is not a zlib stream");
  source.SetPosition(0);
  TWAStreamReader r;
  Load(r, Hex("07 00"));
  try {
    r.LoadFromStream(&source);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "Exception");
    EXPECT_EQ(e.Message().rfind(kDecompressPrefix, 0), 0u);
    EXPECT_GT(e.Message().size(), kDecompressPrefix.size());  // zlib's reason follows
    EXPECT_EQ(e.Message().find('\n'), std::string::npos);
  }
  EXPECT_EQ(r.ReadWord(), 7);  // the earlier content is kept
}

TEST(TypedStreamFailures, ACutZlibStreamFailsWithTheDecompressText) {
  const std::string image = Deflate(std::string(1000, 'q'));
  for (size_t n = 1; n < image.size(); ++n) {
    TMemoryStream source;
    source.WriteBytes(image.substr(0, n));
    source.SetPosition(0);
    TWAStreamReader r;
    const std::string message = MessageOf<Exception>([&] { r.LoadFromStream(&source); });
    EXPECT_EQ(message.rfind(kDecompressPrefix, 0), 0u) << n;
  }
}

TEST(TypedStreamFailures, EveryPrefixOfAValidSequenceFailsCleanly) {
  VarArray grid(varVariant, {{0, 1}, {0, 1}});
  grid.Put({0, 0}, Variant::OleStr(u"x"));
  grid.Put({1, 1}, Variant::FromArray(VarArray(varInteger, {{0, 2}})));
  const uint8_t raw[] = {9, 8, 7};
  const std::string plain = Encode([&](TWAStreamWriter& w) {
    w.WriteVariant(Variant::AnsiString(std::string(200, 'a')));
    w.WriteVariant(Variant::FromArray(grid));
    w.WriteVariant(Variant::FromArray(VarArray::Bytes(raw, 3)));
    w.WriteVariant(Variant::FromBcd(Bcd::FromString("1.25")));
    w.WriteVariant(Variant::FromSQLTimeStamp({}));
  });
  for (size_t n = 0; n < plain.size(); ++n) {
    TWAStreamReader r;
    Load(r, plain.substr(0, n));
    EXPECT_THROW(
        {
          for (int i = 0; i < 5; ++i) r.ReadVariant();
        },
        EFilerError)
        << n;
  }
  TWAStreamReader whole;
  Load(whole, plain);
  for (int i = 0; i < 5; ++i) whole.ReadVariant();
  EXPECT_EQ(whole.Remaining(), 0);
}

TEST(TypedStreamFailures, LengthsLongerThanFiveBytesOrAbove31BitsAreRefused) {
  for (const char* hex : {"80 80 80 80 80 01", "FF FF FF FF 08", "FF FF FF FF 0F"}) {
    TWAStreamReader r;
    Load(r, Hex(hex));
    EXPECT_THROW(r.ReadLength(), EReadError) << hex;
  }
  EXPECT_THROW(Encode([](TWAStreamWriter& w) { w.WriteLength(-1); }), EWriteError);
  EXPECT_THROW(Encode([](TWAStreamWriter& w) { w.WriteLength(int64_t(1) << 31); }), EWriteError);
}

TEST(TypedStreamFailures, InvalidUtf8TextIsAConversionError) {
  TWAStreamReader r;
  Load(r, Hex("02 C3 28"));
  EXPECT_THROW(r.ReadWideString(), EConvertError);
}

TEST(TypedStreamFailures, CompressionLevelsOutsideTheTable) {
  EXPECT_THROW(TWAStreamWriter(13), EZCompressionError);
  EXPECT_THROW(TWAStreamWriter(-1), EZCompressionError);
  for (int level = 0; level <= 12; ++level) {
    TWAStreamWriter w(level);
    w.WriteInteger(level);
    TMemoryStream image;
    w.SaveToStream(&image);
    image.SetPosition(0);
    TWAStreamReader r;
    r.LoadFromStream(&image);
    EXPECT_EQ(r.ReadInteger(), level);
  }
}

TEST(TypedStreamFailures, SavingToNullKeepsTheWriterOpen) {
  TWAStreamWriter w(1);
  w.WriteByte(1);
  w.SaveToStream(nullptr);
  w.WriteByte(2);
  TMemoryStream image;
  image.WriteBytes("xy");  // appended at the target's position
  w.SaveToStream(&image);
  EXPECT_EQ(test::Inflate(std::string(image.View().substr(2))), Hex("01 02"));
}

}  // namespace
}  // namespace qorvin
