// Column types and values that the client dataset has no field type of its own for: they must
// reach the host intact and come back on upload as the same column types.
#include <gtest/gtest.h>

#include <cstdint>

#include "datastream/uAdoParamsStream.h"
#include "datastream/uConvertDataSet.h"
#include "platform/dataset/DataPacket.h"
#include "platform/rtl/Text.h"

namespace qorvin {
namespace {

// Sets the ANSI code set for one test.
class CodeSet {
 public:
  explicit CodeSet(const std::string& name) { SetAnsiCodeSet(name); }
  ~CodeSet() { SetAnsiCodeSet(""); }
};

Variant Bcd(const char* text) {
  return Variant::FromBcd(Bcd::FromString(text));
}

struct Column {
  const char16_t* name;
  uint16_t adoType;
  uint32_t size;
  uint32_t precision;
  TFieldType clientType;
  Variant value;
};

std::vector<Column> Columns() {
  return {
      {u"I1", adTinyInt, 0, 0, ftSmallint, Variant::ShortInt(-128)},
      {u"UI1", adUnsignedTinyInt, 0, 0, ftWord, Variant::Byte(255)},
      {u"UI4", adUnsignedInt, 0, 0, ftLargeint, Variant::LongWord(4294967295u)},
      {u"UI8", adUnsignedBigInt, 0, 0, ftFMTBcd, Variant::UInt64(18446744073709551615ull)},
      {u"R4", adSingle, 0, 0, ftFloat, Variant::Single(1.1f)},
      {u"DEC", adDecimal, 4, 18, ftBCD, Variant()},
      {u"VN", adVarNumeric, 255, 255, ftFMTBcd, Bcd("-12345.000678")},
      {u"FT", adFileTime, 0, 0, ftDateTime, Variant::Date(45000.25)},
      {u"BS", adBSTR, 0, 0, ftWideString, Variant::OleStr(u"한국어 中文 €")},
      {u"LW", adWChar, 0, 0, ftWideString, Variant::OleStr(u"Ωmega 한")},
      // Bytes that are valid in no common code set: an 8-bit column keeps them as they are.
      {u"LS", adChar, 0, 0, ftMemo, Variant::AnsiString(std::string("\xff\xfe\x80 abc", 7))},
  };
}

TEST(ConvertTypes, EveryColumnTypeReachesTheHostAndComesBackAsItWas) {
  for (const char* codeSet : {"UTF-8", "GBK", "CP1252"}) {
    CodeSet scope(codeSet);
    const std::vector<Column> columns = Columns();
    TAdoDataSet ado;
    for (const Column& c : columns)
      ado.MutableFieldDefs().Add(MakeColumnDef(c.name, c.adoType, c.size, c.precision, false));
    ado.Open();
    ado.Append();
    for (size_t f = 0; f < columns.size(); ++f) {
      // DECIMAL: -9.5 as a 96-bit integer 95 with scale 1.
      Decimal d;
      d.scale = 1;
      d.sign = 0x80;
      d.lo64 = 95;
      ado.SetFieldValue(
          int(f), columns[f].adoType == adDecimal ? Variant::FromDecimal(d) : columns[f].value);
    }
    ado.Post();
    ado.Append();
    ado.Post();  // a row of NULLs

    std::string failure;
    const auto client = AdoToClientDataSet(&ado, &failure);
    ASSERT_NE(client, nullptr) << codeSet << ": " << failure;
    for (size_t f = 0; f < columns.size(); ++f)
      EXPECT_EQ(client->FieldDefs()[f].dataType, columns[f].clientType)
          << codeSet << " " << Utf16ToUtf8(columns[f].name);
    client->First();
    EXPECT_EQ(client->FieldValue(3).ToUtf8(), "18446744073709551615");
    EXPECT_EQ(client->FieldValue(8).Type(), varOleStr) << "wide text narrowed under " << codeSet;

    const auto back = VariantToAdoDataSet(client->Data());
    ASSERT_NE(back, nullptr) << codeSet;
    for (size_t f = 0; f < columns.size(); ++f) {
      const TFieldDef& a = ado.FieldDefs()[int(f)];
      const TFieldDef& b = back->FieldDefs()[int(f)];
      EXPECT_EQ(b.AdoFieldType(), a.AdoFieldType()) << codeSet << " " << Utf16ToUtf8(a.name);
      EXPECT_EQ(b.precision, a.precision) << Utf16ToUtf8(a.name);
      EXPECT_EQ(b.numericScale, a.numericScale) << Utf16ToUtf8(a.name);
      EXPECT_EQ(back->StoredValue(0, int(f)), ado.StoredValue(0, int(f)))
          << codeSet << " " << Utf16ToUtf8(a.name);
      EXPECT_TRUE(back->StoredValue(1, int(f)).IsNull());
    }
  }
}

// Packets with column types are version 2; packets without stay version 1 for older readers, and
// both read back.
TEST(ConvertTypes, ColumnTypesMakeAVersionTwoPacketOnlyWhenNeeded) {
  TAdoDataSet plain;
  plain.MutableFieldDefs().Add(u"ID", ftInteger);
  plain.MutableFieldDefs().Add(u"Text", ftMemo);
  plain.Open();
  auto client = AdoToClientDataSet(&plain);
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(DataPacketBytes(client->Data())[4], 1);
  EXPECT_EQ(client->FieldDefs()[1].columnType, 0);

  TAdoDataSet typed;
  typed.MutableFieldDefs().Add(MakeColumnDef(u"B", adTinyInt, 0, 0, false));
  typed.Open();
  client = AdoToClientDataSet(&typed);
  ASSERT_NE(client, nullptr);
  const Variant packet = client->Data();
  EXPECT_EQ(DataPacketBytes(packet)[4], 2);
  const TDataPacketContent content = DecodeDataPacket(DataPacketBytes(packet));
  EXPECT_EQ(content.fields[0].columnType, adTinyInt);
}

// A long column's maximum travels as its field's size where the column's cells have no limit
// of their own (more than 255 bytes), in both forms; a smaller one is dropped, so that a host's
// packet that states a small size for a memo never has its values refused.
TEST(ConvertTypes, LongColumnsKeepTheirMaximumAboveOneCellByte) {
  TAdoDataSet ds;
  TFieldDef text = MakeFieldDef(u"Text", ftMemo);
  text.maxLength = 4000;
  TFieldDef wide = MakeFieldDef(u"Wide", ftWideString);
  wide.maxLength = 4000;
  TFieldDef bytes = MakeFieldDef(u"Bytes", ftBlob);
  bytes.maxLength = 64;
  ds.MutableFieldDefs().Add(text);
  ds.MutableFieldDefs().Add(wide);
  ds.MutableFieldDefs().Add(bytes);
  ds.Open();
  ds.Append();
  ds.SetFieldValue(0, Variant::AnsiString("memo"));
  ds.Post();
  for (const TPacketForm form : {TPacketForm::Version1, TPacketForm::ColumnTypes}) {
    const Variant packet = AdoToDataPacket(&ds, nullptr, form);
    ASSERT_FALSE(packet.IsNull());
    const TDataPacketContent content = DecodeDataPacket(DataPacketBytes(packet));
    EXPECT_EQ(content.fields[0].size, 4000);
    EXPECT_EQ(content.fields[2].size, 64);
    const auto back = VariantToAdoDataSet(packet);
    ASSERT_NE(back, nullptr);
    const TFieldDefs& defs = back->FieldDefs();
    EXPECT_TRUE(defs[0].IsLong());
    EXPECT_EQ(defs[0].maxLength, 4000u);
    // Version 1 holds long wide text as ftMemo (with its maximum); version 2 as a wide field of
    // size 0, which has no room for one.
    EXPECT_TRUE(defs[1].IsLong());
    EXPECT_EQ(defs[1].maxLength, form == TPacketForm::Version1 ? 4000u : kAdoUnlimited);
    EXPECT_TRUE(defs[2].IsLong());
    EXPECT_EQ(defs[2].maxLength, kAdoUnlimited);
    back->First();
    EXPECT_EQ(back->FieldValue(0).ToUtf8(), "memo");
  }
}

// Without a column type (an older packet, a host's own definitions), a decimal field whose
// precision and scale no NUMERIC column takes becomes VARNUMERIC instead of failing the upload.
TEST(ConvertTypes, UnstatedPrecisionBecomesVarNumeric) {
  TClientDataSet client;
  client.AddFieldDef({"N", ftFMTBcd, 255, 255, 0});
  client.CreateDataSet();
  client.Append();
  client.SetFieldValue(0, Bcd("0.125"));
  client.Post();
  const auto ado = ClientToAdoDataSet(&client);
  ASSERT_NE(ado, nullptr);
  EXPECT_EQ(ado->FieldDefs()[0].AdoFieldType(), adVarNumeric);
  EXPECT_EQ(ado->FieldDefs()[0].precision, 255u);
  EXPECT_EQ(ado->StoredValue(0, 0), Bcd("0.125"));
}

// An 8-bit string value of the typed value stream that the code set cannot hold reads as wide
// text instead of failing the whole stream; one it can hold stays 8-bit.
TEST(ConvertTypes, TypedStreamTextTheCodeSetCannotHoldStaysWide) {
  TMemoryStream image;
  {
    CodeSet scope("UTF-8");  // the default of POSIX systems, not of Windows
    TWAStreamWriter writer(1);
    writer.WriteVariant(Variant::AnsiString("Korea 한국"));
    writer.WriteVariant(Variant::AnsiString("plain"));
    VarArray texts(varString, {{1, 2}});
    texts.Put({1}, Variant::AnsiString("plain"));
    texts.Put({2}, Variant::AnsiString("Korea 한국"));
    writer.WriteVariant(Variant::FromArray(texts));
    writer.WriteVariant(Variant::FromArray(VarArray(varString, {{0, 0}})));  // one empty text
    writer.SaveToStream(&image);
  }
  for (const char* codeSet : {"GBK", "CP1252"}) {
    CodeSet scope(codeSet);
    image.SetPosition(0);
    TWAStreamReader reader;
    reader.LoadFromStream(&image);
    const Variant wide = reader.ReadVariant();
    EXPECT_EQ(wide.Type(), varOleStr) << codeSet;
    EXPECT_EQ(wide.ToWide(), u"Korea 한국") << codeSet;
    const Variant narrow = reader.ReadVariant();
    EXPECT_EQ(narrow.Type(), varString) << codeSet;
    EXPECT_EQ(narrow.AsAnsi(), "plain");
    // The same text as an array element: the array becomes one of wide strings.
    const Variant array = reader.ReadVariant();
    ASSERT_EQ(array.Type(), varArray | varOleStr) << codeSet;
    EXPECT_EQ(array.AsArray().Bounds()[0], (VarBound{1, 2}));
    EXPECT_EQ(array.AsArray().Get({1}), Variant::OleStr(u"plain"));
    EXPECT_EQ(array.AsArray().Get({2}), Variant::OleStr(u"Korea 한국"));
    const Variant held = reader.ReadVariant();
    EXPECT_EQ(held.Type(), varArray | varString) << codeSet;
  }
}

}  // namespace
}  // namespace qorvin
