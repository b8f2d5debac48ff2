// The parameters section: exact bytes, the three dataset kinds, updating and adding parameters,
// and damaged sections that must leave the dataset as it was.
#include <gtest/gtest.h>

#include "datastream/uAdoParamsStream.h"
#include "platform/ado/AdoDataSet.h"
#include "tests/datastream/typed_stream_support.h"

namespace qorvin {
namespace {

using test::Deflate;
using test::Hex;
using test::Inflate;
using test::ToHex;

// The section `dataSet` writes, inflated; "" when WriteAdoParams returns false.
std::string Section(const TAdoDataSet& dataSet) {
  TMemoryStream stream;
  if (!WriteAdoParams(&dataSet, &stream, 1)) {
    EXPECT_EQ(stream.Size(), 0);
    return {};
  }
  return Inflate(std::string(stream.View()));
}

bool Read(TAdoDataSet& dataSet, const std::string& plain) {
  TMemoryStream stream;
  stream.WriteBytes(Deflate(plain));
  stream.SetPosition(0);
  return ReadAdoParams(&dataSet, &stream);
}

TEST(ParamsSection, AQueryWritesItsTextAndParameters) {
  TAdoDataSet query(dkQuery);
  query.SetSQLText(u"select 1");
  TParameter& a = query.Parameters().Add(u"a");
  a.SetDataType(ftInteger);
  a.SetValue(Variant::Integer(5));
  TParameter& m = query.Parameters().Add(u"m");
  m.SetDirection(pdOutput);
  m.SetDataType(ftMemo);
  m.SetValue(Variant::AnsiString("x"));
  EXPECT_EQ(ToHex(Section(query)),
            "08 73 65 6C 65 63 74 20 31 02 00 "
            "01 61 01 01 03 00 00 00 00 03 00 05 00 00 00 "
            "01 6D 02 F9 00 01 01 78");
}

TEST(ParamsSection, StoredProceduresWriteTheirNameAndPlainDatasetsNothing) {
  TAdoDataSet proc(dkStoredProc);
  proc.SetProcedureName(u"p_Save");
  EXPECT_EQ(ToHex(Section(proc)), "06 70 5F 53 61 76 65 00 00");
  TAdoDataSet plain;
  plain.SetCommandText(u"select 2");
  plain.Parameters().Add(u"x");
  EXPECT_EQ(Section(plain), "");
  TMemoryStream stream;
  EXPECT_FALSE(WriteAdoParams(&proc, nullptr, 1));
  EXPECT_FALSE(WriteAdoParams(nullptr, &stream, 1));
  EXPECT_EQ(stream.Size(), 0);
}

TEST(ParamsSection, ReadingUpdatesNamedParametersAndAddsMissingOnes) {
  TAdoDataSet query(dkQuery);
  TParameter& existing = query.Parameters().Add(u"Id");
  existing.SetDataType(ftSmallint);
  query.Parameters().Add(u"other");
  const std::string section =
      Hex("0E 73 65 6C 65 63 74 20 2A 0D 0A 66 72 6F 6D 02 00 "  // "select *\r\nfrom", 2 entries
          "02 49 44 03 01 03 04 00 00 00 03 00 2A 00 00 00 "     // "ID" in-out, integer, size 4, 42
          "04 6E 6F 74 65 02 F9 00 01 02 68 69");                // "note" output, memo, "hi"
  ASSERT_TRUE(Read(query, section));
  EXPECT_EQ(query.SQLText(), u"select *\r\nfrom");
  ASSERT_EQ(query.Parameters().Count(), 3);
  const TParameter& id = query.Parameters()[0];
  EXPECT_EQ(id.Name(), u"Id");  // found ignoring case, updated in place
  EXPECT_EQ(id.Direction(), pdInputOutput);
  EXPECT_EQ(id.DataType(), ftInteger);
  EXPECT_EQ(id.Size(), 4);
  EXPECT_EQ(id.Value(), Variant::Integer(42));
  const TParameter& note = query.Parameters()[2];
  EXPECT_EQ(note.Name(), u"note");
  EXPECT_EQ(note.DataType(), ftMemo);  // kind 249, whatever the value's own type
  EXPECT_EQ(note.Value(), Variant::AnsiString("hi"));
}

TEST(ParamsSection, TheCommandTextGoesWhereTheKindKeepsIt) {
  const std::string section = Hex("03 61 62 63 00 00");
  TAdoDataSet plain, proc(dkStoredProc);
  ASSERT_TRUE(Read(plain, section));
  EXPECT_EQ(plain.CommandText(), u"abc");
  ASSERT_TRUE(Read(proc, section));
  EXPECT_EQ(proc.ProcedureName(), u"abc");
}

TEST(ParamsSection, WrittenSectionsReadBack) {
  TAdoDataSet proc(dkStoredProc);
  proc.SetProcedureName(u"\u4e2d");
  const uint8_t raw[] = {0, 1, 2, 3, 4};
  const struct {
    const char16_t* name;
    TFieldType type;
    Variant value;
  } params[] = {{u"blob", ftBlob, Variant::FromArray(VarArray::Bytes(raw, 5))},
                {u"graphic", ftGraphic, Variant::Null()},
                {u"fmt", ftFmtMemo, Variant::OleStr(u"w")},
                {u"money", ftCurrency, Variant::Currency(Currency{15000})},
                {u"ret", ftInteger, Variant()}};
  for (const auto& p : params) {
    TParameter& added = proc.Parameters().Add(p.name);
    added.SetDataType(p.type);
    added.SetSize(7);
    added.SetDirection(pdReturnValue);
    added.SetValue(p.value);
  }
  TMemoryStream stream;
  ASSERT_TRUE(WriteAdoParams(&proc, &stream, 1));
  stream.SetPosition(0);
  TAdoDataSet copy(dkStoredProc);
  ASSERT_TRUE(ReadAdoParams(&copy, &stream));
  EXPECT_EQ(copy.ProcedureName(), u"\u4e2d");
  ASSERT_EQ(copy.Parameters().Count(), 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(copy.Parameters()[i].Name(), params[i].name);
    EXPECT_EQ(copy.Parameters()[i].DataType(), params[i].type);
    EXPECT_EQ(copy.Parameters()[i].Direction(), pdReturnValue);
    EXPECT_EQ(copy.Parameters()[i].Value(), params[i].value);
  }
  EXPECT_EQ(copy.Parameters()[3].Size(), 7);  // only typed entries carry the size
  EXPECT_EQ(copy.Parameters()[0].Size(), 0);
}

TEST(ParamsSection, EmptyOrMissingSectionsReadNothing) {
  TAdoDataSet query(dkQuery);
  query.SetSQLText(u"keep");
  TMemoryStream atEnd;
  atEnd.WriteBytes(Deflate(Hex("00 00")));  // positioned at its end
  EXPECT_FALSE(ReadAdoParams(&query, &atEnd));
  EXPECT_FALSE(ReadAdoParams(&query, nullptr));
  EXPECT_FALSE(Read(query, ""));  // a zlib stream of nothing
  EXPECT_EQ(query.SQLText(), u"keep");
}

TEST(ParamsSection, DamagedSectionsLeaveTheDatasetAsItWas) {
  const char* damaged[] = {
      "03 61 62 63 01 00 01 61 05 01 03 00 00 00 00 00 00",  // direction 5
      "03 61 62 63 01 00 01 61 01 01 26 00 00 00 00 00 00",  // field type 38
      "03 61 62 63 01 00 01 61 01 01 03 00 00 00 00 09 00",  // variant tag 9
      "03 61 62 63 02 00 01 61 01 01 03 00 00 00 00 00 00",  // second entry missing
      "03 61 62",                                            // text cut short
  };
  for (const char* hex : damaged) {
    TAdoDataSet query(dkQuery);
    query.MutableFieldDefs().Add(u"f", ftInteger);
    query.Open();
    query.SetSQLText(u"keep");
    query.Parameters().Add(u"a").SetValue(Variant::Integer(1));
    EXPECT_THROW(Read(query, Hex(hex)), EFilerError) << hex;
    EXPECT_TRUE(query.Active()) << hex;
    EXPECT_EQ(query.SQLText(), u"keep");
    ASSERT_EQ(query.Parameters().Count(), 1);
    EXPECT_EQ(query.Parameters()[0].Value(), Variant::Integer(1));
  }
  TAdoDataSet query(dkQuery);
  TMemoryStream notZlib;
  notZlib.WriteBytes("garbage!");
  notZlib.SetPosition(0);
  EXPECT_THROW(ReadAdoParams(&query, &notZlib), Exception);
}

TEST(ParamsSection, ReadingClosesTheDataset) {
  TAdoDataSet query(dkQuery);
  query.MutableFieldDefs().Add(u"f", ftInteger);
  query.Open();
  ASSERT_TRUE(Read(query, Hex("00 00 00")));
  EXPECT_FALSE(query.Active());
}

}  // namespace
}  // namespace qorvin
