// Byte-exact images: a two-column record set built from definitions in each row form, and the
// tablegram a remote data server returns in the published protocol example.
#include <gtest/gtest.h>

#include "platform/ado/AdoDataSet.h"
#include "platform/rtl/Text.h"
#include "tests/ado/AdoTestUtil.h"

namespace qorvin::test {
namespace {

// Header, handler options, result descriptor (2 columns, RowCount patched by the caller),
// context and the column descriptors of ID (I4, 0x14) and NAME (WSTR 20, 0x64).
std::string Metadata(uint8_t rowCount) {
  std::string hex =
      "01 07 54 47 21 00 00 00 00 02 19 00 B6 92 F2 3F 04 B2 CF 11 8D 23 00 AA 00 5F FE 58 01"
      "00 00 00 00 00 00 00 00 03 67 00 D2 AD 63 F6 02 EB CF 11 B0 E3 00 AA 00 3F 00 0F 00 00 00"
      "02 00 02 00 00 00 00 00 00 00 RC 00 00 00"
      "01 00 C1 3C 8E B6 EB 6D D0 11 8D F6 00 AA 00 5F FE 58 07 00 0B 00 00 00 04 00 01 00 00 00"
      "13 00 00 00 04 00 01 00 00 00 0D 00 00 00 00 00 0E 00 00 00 00 00 0F 00 00 00 00 00"
      "10 00 00 00 00 00 12 00 00 00 00 00"
      "10 7C 00 02 00 BE 22 B5 C8 F3 5C CE 11 AD E5 00 AA 00 44 77 3D 04 00 7F 00 00 00 02 00"
      "FF FF 86 00 00 00 02 00 FF FF 22 00 00 00 04 00 00 00 00 00 49 00 00 00 04 00 00 00 00 00"
      "C1 3C 8E B6 EB 6D D0 11 8D F6 00 AA 00 5F FE 58 05 00 04 00 00 00 04 00 0F 00 00 00"
      "05 00 00 00 04 00 02 00 00 00 03 00 00 00 04 00 0F 00 00 00 07 00 00 00 04 00 32 00 00 00"
      "08 00 00 00 04 00 03 00 00 00"
      "06 21 00 80 01 00 01 00 02 00 49 00 44 00 03 00 04 00 00 00 00 00 00 00 00 00 00 00"
      "14 00 00 00 00 00 FF FF"
      "06 25 00 80 01 00 02 00 04 00 4E 00 41 00 4D 00 45 00 82 00 14 00 00 00 00 00 00 00"
      "00 00 00 00 64 00 00 00 00 00 FF FF";
  const char digits[] = "0123456789ABCDEF";
  hex.replace(hex.find("RC"), 2, std::string{digits[rowCount >> 4], digits[rowCount & 15]});
  return HexToBytes(hex);
}

void DefineIdName(TAdoDataSet& ds) {
  TFieldDefs& defs = ds.MutableFieldDefs();
  defs.Add(u"ID", ftInteger, 0, true);
  TFieldDef& name = defs.Add(u"NAME", ftWideString, 20);
  name.attributes = adFldUpdatable | adFldIsNullable | adFldMayBeNull;
  ds.Open();
}

void AppendRow(TAdoDataSet& ds, int32_t id, const Variant& name) {
  ds.Append();
  ds.SetFieldValue(0, Variant::Integer(id));
  ds.SetFieldValue(1, name);
  ds.Post();
}

TEST(AdtgVectors, UnchangedRowsOfARecordSetBuiltFromDefinitions) {
  TAdoDataSet ds;
  ds.SetLockType(ltOptimistic);  // changes apply at once: rows save as unchanged records
  DefineIdName(ds);
  AppendRow(ds, 1, Variant::OleStr(u"Ab"));
  AppendRow(ds, 2, Variant::Null());
  const std::string expected =
      Metadata(2) + HexToBytes("07 FF 01 00 00 00 04 41 00 62 00 07 7F 02 00 00 00 0F");
  ASSERT_EQ(expected.size(), 364u);
  EXPECT_EQ(BytesToHex(SaveToBytes(ds)), BytesToHex(expected));
}

TEST(AdtgVectors, AppendedRowsOfABatchRecordSetArePendingInserts) {
  TAdoDataSet ds;
  ds.SetLockType(ltBatchOptimistic);
  DefineIdName(ds);
  AppendRow(ds, 1, Variant::OleStr(u"Ab"));
  AppendRow(ds, 2, Variant::Null());
  EXPECT_EQ(BytesToHex(SaveToBytes(ds)),
            BytesToHex(Metadata(2) + HexToBytes("0D C0 00 01 00 00 00 04 41 00 62 00"
                                                "0D 80 40 02 00 00 00 0F")));
}

TEST(AdtgVectors, ChangeDeletionAndInsertionAfterOpening) {
  TAdoDataSet ds;
  OpenFromBytes(ds, Metadata(2) + HexToBytes("07 FF 01 00 00 00 04 41 00 62 00"
                                             "07 7F 02 00 00 00 0F"));
  EXPECT_EQ(ds.LockType(), ltBatchOptimistic);
  ds.Edit();
  ds.SetFieldValue(u"name", Variant::OleStr(u"Xyz"));
  ds.Post();
  ds.Next();
  ds.Delete();
  AppendRow(ds, 3, Variant::OleStr(u"Q"));
  // Pending deletions come first, as ADO writes them.
  const std::string expected =
      Metadata(2) + HexToBytes(
                        "07 7F 02 00 00 00 0C"
                        "07 FF 01 00 00 00 04 41 00 62 00 0A 40 00 06 58 00 79 00 7A 00"
                        "0D C0 00 03 00 00 00 02 51 00 0F");
  EXPECT_EQ(BytesToHex(SaveToBytes(ds)), BytesToHex(expected));

  TAdoDataSet back;
  OpenFromBytes(back, expected);
  ASSERT_EQ(back.StoredRowCount(), 3);
  EXPECT_EQ(back.StoredRowStatus(0), TRowStatus::Deleted);
  EXPECT_EQ(back.StoredRowStatus(1), TRowStatus::Modified);
  EXPECT_EQ(back.StoredRowStatus(2), TRowStatus::Inserted);
  EXPECT_EQ(back.RecordCount(), 2);
  EXPECT_EQ(back.FieldValue(1), Variant::OleStr(u"Xyz"));
  EXPECT_EQ(back.OldFieldValue(1), Variant::OleStr(u"Ab"));
  EXPECT_FALSE(back.StoredFieldAssigned(1, 0));
  EXPECT_TRUE(back.StoredFieldAssigned(1, 1));
}

TEST(AdtgVectors, PresenceMapUnusedBitsAreIgnoredOnReading) {
  TAdoDataSet ds;
  OpenFromBytes(ds, Metadata(2) + HexToBytes("07 80 01 00 00 00 04 41 00 62 00"
                                             "07 00 02 00 00 00 0F"));
  EXPECT_EQ(ds.FieldValue(1), Variant::OleStr(u"Ab"));
  ds.Next();
  EXPECT_TRUE(ds.FieldIsNull(1));
  // Saved back the way ADO writes it: unused bits set.
  EXPECT_EQ(SaveToBytes(ds).substr(0x15A, 7), HexToBytes("07 FF 01 00 00 00 04"));
}

TEST(AdtgVectors, ReaderDecisions) {
  const std::string metadata = Metadata(1);
  // A column both updated and forced to NULL is NULL and carries no bytes.
  TAdoDataSet ds;
  OpenFromBytes(ds, metadata + HexToBytes("0D C0 40 01 00 00 00 0F"));
  EXPECT_TRUE(ds.FieldIsNull(1));
  EXPECT_TRUE(ds.StoredFieldAssigned(0, 1));

  // IsSearchable (presence bit 0x20) is 2 or 4 bytes wide, whichever fills the descriptor; the
  // width read is the width written.
  for (const char* searchable : {"01 00", "01 00 00 00"}) {
    std::string image = metadata + HexToBytes("07 FF 01 00 00 00 00 0F");
    const std::string extra = HexToBytes(searchable);
    image.insert(0x130, extra);  // before IsVisible of the ID descriptor
    image[0x10F] = char(0x21 + extra.size());
    image[0x113] = 0x20;
    TAdoDataSet withSearchable;
    OpenFromBytes(withSearchable, image);
    EXPECT_EQ(withSearchable.FieldDefs()[0].adtg.isSearchable, 1u);
    EXPECT_EQ(SaveToBytes(withSearchable), image);
  }

  // Fixed-width text reads up to its first NUL; the stored bytes save back unchanged.
  TAdoDataSet fixed;
  fixed.SetLockType(ltOptimistic);
  TFieldDef& def = fixed.MutableFieldDefs().Add(u"F", ftWideString, 4, true);
  def.attributes |= adFldFixed;
  fixed.Open();
  fixed.Append();
  fixed.SetFieldValue(0, Variant::OleStr(u"ab"));
  EXPECT_EQ(fixed.FieldValue(0), Variant::OleStr(u"ab  "));
  fixed.Post();
  std::string image = SaveToBytes(fixed);
  image.replace(image.size() - 9, 8, std::string("a\0b\0\0\0X\0", 8));
  OpenFromBytes(fixed, image);
  EXPECT_EQ(fixed.FieldValue(0), Variant::OleStr(u"ab"));
  EXPECT_EQ(SaveToBytes(fixed), image);

  // A VARNUMERIC value needs its precision, scale and sign bytes.
  TAdoDataSet varNumeric;
  varNumeric.SetLockType(ltOptimistic);
  TFieldDef v;
  v.name = u"V";
  v.adoType = adVarNumeric;
  v.maxLength = 20;
  v.attributes = adFldUpdatable;
  varNumeric.MutableFieldDefs().Add(v);
  varNumeric.Open();
  varNumeric.Append();
  varNumeric.SetFieldValue(0, Variant::Integer(-5));
  varNumeric.Post();
  image = SaveToBytes(varNumeric);
  EXPECT_EQ(image.substr(image.size() - 6), HexToBytes("04 01 00 00 05 0F"));
  image.replace(image.size() - 6, 6, HexToBytes("02 01 00 0F"));
  try {
    OpenFromBytes(varNumeric, image);
    ADD_FAILURE() << "a 2-byte VARNUMERIC value opened";
  } catch (const EAdoError& e) {
    EXPECT_NE(std::string(e.what()).find("shorter than 3 bytes"), std::string::npos) << e.what();
  }
}

// The tablegram of the execute response in the published protocol examples: one row of a
// five-column query result read through a remote data server (table descriptor, base-table
// fields, 8-bit fixed and variable strings).
constexpr const char* kExecuteResponse =
    "01 07 54 47 21 00 00 00 00 02 19 00 B6 92 F2 3F 04 B2 CF 11 8D 23 00 AA 00 5F FE 58 01 00 00 "
    "00 00 00 00 03 00 03 67 00 D2 AD 63 F6 02 EB CF 11 B0 E3 00 AA 00 3F 00 0F 00 00 00 05 00 05 "
    "00 00 00 01 00 00 00 01 00 00 00 01 00 C1 3C 8E B6 EB 6D D0 11 8D F6 00 AA 00 5F FE 58 07 00 "
    "0B 00 00 00 04 00 01 00 00 00 13 00 00 00 04 00 01 00 00 00 0D 00 00 00 00 00 0E 00 00 00 00 "
    "00 0F 00 00 00 00 00 10 00 00 00 00 00 12 00 00 00 00 00 10 7C 00 02 00 BE 22 B5 C8 F3 5C CE "
    "11 AD E5 00 AA 00 44 77 3D 04 00 7F 00 00 00 02 00 FF FF 86 00 00 00 02 00 FF FF 22 00 00 00 "
    "04 00 1E 00 00 00 49 00 00 00 04 00 00 00 00 00 C1 3C 8E B6 EB 6D D0 11 8D F6 00 AA 00 5F FE "
    "58 05 00 04 00 00 00 04 00 0F 00 00 00 05 00 00 00 04 00 02 00 00 00 03 00 00 00 04 00 0F 00 "
    "00 00 07 00 00 00 04 00 32 00 00 00 08 00 00 00 04 00 03 00 00 00 05 4A 00 01 00 14 00 22 00 "
    "70 00 75 00 62 00 73 00 22 00 2E 00 2E 00 22 00 50 00 75 00 62 00 6C 00 69 00 73 00 68 00 65 "
    "00 72 00 73 00 22 00 0A 00 50 00 75 00 62 00 6C 00 69 00 73 00 68 00 65 00 72 00 73 00 00 00 "
    "05 00 01 00 01 00 06 45 00 F2 01 00 01 00 06 00 70 00 75 00 62 00 5F 00 69 00 64 00 01 00 01 "
    "00 06 00 70 00 75 00 62 00 5F 00 69 00 64 00 81 00 04 00 00 00 FF 00 00 00 FF 00 00 00 18 80 "
    "00 00 04 00 70 00 75 00 62 00 73 00 00 00 FF FF 06 4D 00 F2 01 00 02 00 08 00 70 00 75 00 62 "
    "00 5F 00 6E 00 61 00 6D 00 65 00 01 00 02 00 08 00 70 00 75 00 62 00 5F 00 6E 00 61 00 6D 00 "
    "65 00 81 00 28 00 00 00 FF 00 00 00 FF 00 00 00 68 00 00 00 04 00 70 00 75 00 62 00 73 00 00 "
    "00 FF FF 06 3D 00 F2 01 00 03 00 04 00 63 00 69 00 74 00 79 00 01 00 03 00 04 00 63 00 69 00 "
    "74 00 79 00 81 00 14 00 00 00 FF 00 00 00 FF 00 00 00 68 00 00 00 04 00 70 00 75 00 62 00 73 "
    "00 00 00 FF FF 06 41 00 F2 01 00 04 00 05 00 73 00 74 00 61 00 74 00 65 00 01 00 04 00 05 00 "
    "73 00 74 00 61 00 74 00 65 00 81 00 02 00 00 00 FF 00 00 00 FF 00 00 00 78 00 00 00 04 00 70 "
    "00 75 00 62 00 73 00 00 00 FF FF 06 49 00 F2 01 00 05 00 07 00 63 00 6F 00 75 00 6E 00 74 00 "
    "72 00 79 00 01 00 05 00 07 00 63 00 6F 00 75 00 6E 00 74 00 72 00 79 00 81 00 1E 00 00 00 FF "
    "00 00 00 FF 00 00 00 68 00 00 00 04 00 70 00 75 00 62 00 73 00 00 00 FF FF 07 FF 30 37 33 36 "
    "0E 4E 65 77 20 4D 6F 6F 6E 20 42 6F 6F 6B 73 08 4E 65 77 20 59 6F 72 6B 4D 41 03 55 53 41 0F";

TEST(AdtgVectors, PublishedExecuteResponseTablegram) {
  const std::string image = HexToBytes(kExecuteResponse);
  ASSERT_EQ(image.size(), 744u);
  TAdoDataSet ds;
  OpenFromBytes(ds, image);
  ASSERT_EQ(ds.FieldCount(), 5);
  const TFieldDef& id = ds.FieldDefs()[0];
  EXPECT_EQ(id.name, u"pub_id");
  EXPECT_EQ(id.dataType, ftFixedChar);
  EXPECT_EQ(id.attributes, 0x8018u);
  EXPECT_TRUE(id.Required());
  EXPECT_EQ(id.adtg.baseCatalogName, u"pubs");
  EXPECT_EQ(id.adtg.baseTableOrdinal, 1);
  EXPECT_EQ(ds.FieldDefs()[1].dataType, ftString);
  EXPECT_EQ(ds.FieldDefs()[3].Size(), 2u);
  ASSERT_EQ(ds.ImageInfo().tables.size(), 1u);
  const char* expected[] = {"0736", "New Moon Books", "New York", "MA", "USA"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ds.FieldValue(i), Variant::AnsiString(expected[i]));
  EXPECT_EQ(BytesToHex(SaveToBytes(ds)), BytesToHex(image));
}

}  // namespace
}  // namespace qorvin::test
