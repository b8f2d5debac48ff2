// The record set as a dataset: cursor, editing and row states under each lock type, field
// rules, value conversions, definitions, parameters and the command.
#include <gtest/gtest.h>

#include "platform/ado/AdoDataSet.h"
#include "platform/rtl/Text.h"
#include "tests/ado/AdoTestUtil.h"

namespace qorvin::test {
namespace {

// ID (integer, required), NAME (wide string 10), rows 1..count named "n1".."n<count>".
void Fill(TAdoDataSet& ds, TLockType lock, int count) {
  ds.SetLockType(lock);
  ds.MutableFieldDefs().Add(u"ID", ftInteger, 0, true);
  ds.MutableFieldDefs().Add(u"NAME", ftWideString, 10);
  ds.Open();
  for (int i = 1; i <= count; ++i) {
    ds.Append();
    ds.SetFieldValue(0, Variant::Integer(i));
    ds.SetFieldValue(1, Variant::OleStr(u"n" + Utf8ToUtf16(std::to_string(i))));
    ds.Post();
  }
  ds.First();
}

std::vector<int64_t> VisitIds(TAdoDataSet& ds) {
  std::vector<int64_t> ids;
  for (ds.First(); !ds.Eof(); ds.Next()) ids.push_back(ds.FieldValue(0).ToInt64());
  return ids;
}

TEST(AdoDataSet, CursorWalksVisibleRows) {
  TAdoDataSet ds;
  Fill(ds, ltBatchOptimistic, 3);
  EXPECT_TRUE(ds.Bof());
  EXPECT_FALSE(ds.Eof());
  EXPECT_EQ(ds.RecNo(), 1);
  ds.Next();
  ds.Next();
  EXPECT_EQ(ds.RecNo(), 3);
  EXPECT_FALSE(ds.Eof());
  ds.Next();  // past the last row: Eof, still on it
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.FieldValue(u"id"), Variant::Integer(3));
  ds.Prior();
  ds.Prior();
  ds.Prior();
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(ds.RecNo(), 1);
  ds.Last();
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.RecNo(), 3);
  EXPECT_EQ(VisitIds(ds), (std::vector<int64_t>{1, 2, 3}));
}

TEST(AdoDataSet, BatchChangesStayPendingWithOriginals) {
  TAdoDataSet ds;
  Fill(ds, ltOptimistic, 3);  // applied at once: three unchanged rows
  ds.SetLockType(ltBatchOptimistic);
  ds.Edit();
  ds.Post();  // nothing assigned: stays unchanged
  EXPECT_EQ(ds.RowStatus(), TRowStatus::Unchanged);
  ds.Edit();
  ds.SetFieldValue(1, Variant::OleStr(u"x"));
  ds.Post();
  ds.Edit();
  ds.SetFieldValue(1, Variant::Null());
  ds.Post();
  EXPECT_EQ(ds.RowStatus(), TRowStatus::Modified);
  EXPECT_TRUE(ds.FieldIsNull(1));
  EXPECT_EQ(ds.OldFieldValue(1), Variant::OleStr(u"n1"));
  ds.Next();
  ds.Edit();
  ds.SetFieldValue(0, Variant::Integer(20));
  ds.Cancel();
  EXPECT_EQ(ds.FieldValue(0), Variant::Integer(2));
  EXPECT_EQ(ds.RowStatus(), TRowStatus::Unchanged);
  ds.Delete();  // row 2: pending deletion, out of sight
  EXPECT_EQ(ds.RecordCount(), 2);
  EXPECT_EQ(ds.FieldValue(0), Variant::Integer(3));
  ds.First();
  ds.Delete();  // the modified row 1: its original values go into the image
  EXPECT_EQ(VisitIds(ds), (std::vector<int64_t>{3}));
  ASSERT_EQ(ds.StoredRowCount(), 3);
  EXPECT_EQ(ds.StoredRowStatus(0), TRowStatus::Deleted);
  EXPECT_EQ(ds.StoredValue(0, 1), Variant::OleStr(u"n1"));

  TAdoDataSet back;
  OpenFromBytes(back, SaveToBytes(ds));
  EXPECT_EQ(back.RecordCount(), 1);
  EXPECT_EQ(back.StoredRowStatus(0), TRowStatus::Deleted);
  EXPECT_EQ(back.StoredValue(0, 1, true), Variant::OleStr(u"n1"));
}

TEST(AdoDataSet, DeletingAPendingInsertionRemovesIt) {
  TAdoDataSet ds;
  Fill(ds, ltBatchOptimistic, 2);
  ds.Delete();
  EXPECT_EQ(ds.StoredRowCount(), 1);
  EXPECT_EQ(ds.StoredRowStatus(0), TRowStatus::Inserted);
  ds.Edit();  // an edited insertion stays an insertion
  ds.SetFieldValue(1, Variant::OleStr(u"y"));
  ds.Post();
  EXPECT_EQ(ds.RowStatus(), TRowStatus::Inserted);
  ds.Delete();
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_TRUE(ds.Eof() && ds.Bof());
  EXPECT_THROW(ds.Delete(), EAdoError);
}

TEST(AdoDataSet, ImmediateLocksApplyChangesAndReadOnlyRefusesThem) {
  TAdoDataSet ds;
  Fill(ds, ltOptimistic, 2);
  ds.Edit();
  ds.SetFieldValue(1, Variant::OleStr(u"z"));
  ds.Post();
  EXPECT_EQ(ds.RowStatus(), TRowStatus::Unchanged);
  EXPECT_EQ(ds.OldFieldValue(1), Variant::OleStr(u"z"));
  ds.Delete();
  EXPECT_EQ(ds.StoredRowCount(), 1);

  ds.SetLockType(ltReadOnly);
  EXPECT_THROW(ds.Append(), EAdoError);
  EXPECT_THROW(ds.Edit(), EAdoError);
  EXPECT_THROW(ds.Delete(), EAdoError);
  EXPECT_EQ(ds.RecordCount(), 1);
}

TEST(AdoDataSet, FieldRulesAreEnforced) {
  TAdoDataSet ds;
  ds.MutableFieldDefs().Add(u"ID", ftInteger, 0, true);
  TFieldDef& ro = ds.MutableFieldDefs().Add(u"RO", ftInteger);
  ro.attributes &= ~uint32_t(adFldUpdatable);
  ds.MutableFieldDefs().Add(u"S", ftString, 3);
  ds.Open();
  EXPECT_THROW(ds.SetFieldValue(0, Variant::Integer(1)), EAdoError);  // not editing
  ds.Append();
  EXPECT_THROW(ds.SetFieldValue(1, Variant::Integer(1)), EAdoError);
  EXPECT_THROW(ds.SetFieldValue(u"nope", Variant::Integer(1)), EAdoError);
  TMemoryStream target;
  EXPECT_THROW(ds.Save(target), EAdoError);  // while editing
  EXPECT_EQ(target.Size(), 0);
  try {
    ds.Post();
    ADD_FAILURE() << "posted without the required field";
  } catch (const EAdoError& e) {
    EXPECT_STREQ(e.what(), "Field 'ID' must have a value");
  }
  ds.SetFieldValue(0, Variant::Integer(1));
  try {
    ds.SetFieldValue(2, Variant::AnsiString("abcd"));
    ADD_FAILURE() << "stored a value longer than the field";
  } catch (const EAdoError& e) {
    EXPECT_STREQ(e.what(), "Field 'S': a value of 4 bytes does not fit into 3 bytes");
  }
  ds.Post();
  EXPECT_EQ(ds.RecordCount(), 1);
  EXPECT_THROW(ds.MutableFieldDefs(), EAdoError);
}

TEST(AdoDataSet, ValueConversions) {
  TAdoDataSet ds;
  TFieldDefs& defs = ds.MutableFieldDefs();
  defs.Add(u"I2", ftSmallint);
  defs.Add(u"CY", ftCurrency);
  defs.Add(u"G", ftGuid);
  defs.Add(u"B", ftBoolean);
  defs.Add(u"N", ftBCD, 2, false, 5);
  defs.Add(u"V", ftVariant);
  ds.Open();
  ds.Append();
  ds.SetFieldValue(0, Variant::AnsiString("-12"));
  EXPECT_EQ(ds.FieldValue(0), Variant::Smallint(-12));
  ds.SetFieldValue(0, Variant::FromBcd(Bcd::FromString("300")));
  EXPECT_EQ(ds.FieldValue(0), Variant::Smallint(300));
  EXPECT_THROW(ds.SetFieldValue(0, Variant::Integer(40000)), EAdoError);
  ds.SetFieldValue(1, Variant::OleStr(u"1234.56785"));
  EXPECT_EQ(ds.FieldValue(1), Variant::Currency(Currency{12345679}));
  EXPECT_THROW(ds.SetFieldValue(1, Variant::AnsiString("abc")), EAdoError);
  EXPECT_THROW(ds.SetFieldValue(1, Variant::Double(1e300)), EAdoError);
  ds.SetFieldValue(2, Variant::AnsiString("{01234567-89ab-cdef-0123-456789abcdef}"));
  EXPECT_EQ(ds.FieldValue(2), Variant::OleStr(u"{01234567-89AB-CDEF-0123-456789ABCDEF}"));
  EXPECT_THROW(ds.SetFieldValue(2, Variant::AnsiString("{nope}")), EAdoError);
  ds.SetFieldValue(3, Variant::Integer(5));
  EXPECT_EQ(ds.FieldValue(3), Variant::Boolean(true));
  ds.SetFieldValue(4, Variant::Double(123.456));  // NUMERIC(5, 2)
  EXPECT_EQ(ds.FieldValue(4).ToUtf8(), "123.46");
  EXPECT_THROW(ds.SetFieldValue(4, Variant::Integer(1000)), EAdoError);
  ds.SetFieldValue(5, Variant::FromDecimal(Decimal{0, 1, 0x80, 0, 15}));
  EXPECT_EQ(ds.FieldValue(5).ToUtf8(), "-1.5");
  ds.SetFieldValue(5, Variant::FromBcd(Bcd::FromString("2.25")));  // held as a DECIMAL
  EXPECT_EQ(ds.FieldValue(5), Variant::FromDecimal(Decimal{0, 2, 0, 0, 225}));
  EXPECT_THROW(ds.SetFieldValue(5, Variant::OleStr(u"text")), EAdoError);
  ds.SetFieldValue(5, Variant());  // Empty is a value of a variant field ...
  EXPECT_FALSE(ds.FieldIsNull(5));
  ds.SetFieldValue(0, Variant());  // ... and NULL elsewhere
  EXPECT_TRUE(ds.FieldIsNull(0));
  int16_t target = 77;
  ds.SetFieldValue(0, Variant::ByRef(varSmallint, &target));
  EXPECT_EQ(ds.FieldValue(0), Variant::Smallint(77));
}

TEST(AdoDataSet, DefinitionsFromFieldTypes) {
  // 8-bit memo text is a long 8-bit column (its bytes travel as they are); wide text without a
  // maximum is a long wide one.
  const TFieldDef memo = MakeFieldDef(u"M", ftMemo);
  EXPECT_EQ(memo.AdoFieldType(), adLongVarChar);
  EXPECT_EQ(MakeFieldDef(u"W", ftWideString).AdoFieldType(), adLongVarWChar);
  EXPECT_EQ(memo.attributes, uint32_t(adFldUpdatable | adFldLong | adFldIsNullable));
  const TFieldDef fixed = MakeFieldDef(u"F", ftFixedChar, 4, true);
  EXPECT_EQ(fixed.AdoFieldType(), adChar);
  EXPECT_EQ(fixed.attributes, 0x14u);  // what ADO writes for a fixed field without NULLs
  EXPECT_EQ(MakeFieldDef(u"S", ftString, 9).AdoFieldType(), adVarChar);
  EXPECT_EQ(MakeFieldDef(u"B", ftBCD, 4).precision, 18u);
  EXPECT_THROW(MakeFieldDef(u"S", ftString, 0), EAdoError);
  EXPECT_THROW(MakeFieldDef(u"C", ftCursor), EAdoError);
  EXPECT_THROW(MakeFieldDef(u"N", ftBCD, 40, false, 38), EAdoError);

  TFieldDef auto_ = MakeFieldDef(u"A", ftAutoInc, 0, true);
  auto_.attributes &= ~uint32_t(adFldUpdatable);
  EXPECT_TRUE(auto_.autoIncrement);
  auto_.SetDataType(ftInteger);
  EXPECT_FALSE(auto_.autoIncrement);
  EXPECT_EQ(auto_.dataType, ftInteger);
  EXPECT_TRUE(auto_.Required());
  EXPECT_TRUE(auto_.ReadOnly());  // the caller decides about writability

  EXPECT_EQ(FieldTypeFromAdo(adNumeric, 0, 19, 2, false), ftFMTBcd);
  EXPECT_EQ(FieldTypeFromAdo(adDecimal, 0, 18, 4, false), ftBCD);
  EXPECT_EQ(FieldTypeFromAdo(adWChar, adFldLong, 0, 0, false), ftWideString);
  EXPECT_EQ(FieldTypeFromAdo(adBSTR, adFldLong, 0, 0, false), ftWideString);
  EXPECT_EQ(FieldTypeFromAdo(adChar, adFldLong, 0, 0, false), ftMemo);
  EXPECT_EQ(FieldTypeFromAdo(adInteger, 0, 0, 0, true), ftAutoInc);

  TAdoDataSet ds;
  EXPECT_THROW(ds.Open(), EAdoError);      // no definitions
  ds.MutableFieldDefs().Add(TFieldDef{});  // type code 0
  EXPECT_THROW(ds.Open(), EAdoError);
  EXPECT_FALSE(ds.Active());
}

TEST(AdoDataSet, ParametersCommandAndControls) {
  TAdoDataSet query(dkQuery);
  EXPECT_EQ(query.Kind(), dkQuery);
  query.SetSQLText(u"select 1\r\nfrom t\nwhere x\r\n");
  EXPECT_EQ(query.SQL().size(), 3u);
  EXPECT_EQ(query.SQL()[1], u"from t\nwhere x");
  EXPECT_EQ(query.SQLText(), u"select 1\r\nfrom t\nwhere x\r\n");

  TParameters& params = query.Parameters();
  TParameter& p = params.Add(u"Amount");
  EXPECT_EQ(params.FindParam(u"AMOUNT"), &p);
  EXPECT_EQ(params.FindParam(u"other"), nullptr);
  EXPECT_THROW(params.ParamByName(u"other"), EAdoError);
  EXPECT_TRUE(p.Value().IsNull());
  p.SetValue(Variant::Currency(Currency{5}));  // an untyped parameter takes the value's type
  EXPECT_EQ(p.DataType(), ftCurrency);
  p.SetDataType(ftMemo);
  p.SetValue(Variant::OleStr(u"text"));  // a typed one keeps its type
  EXPECT_EQ(p.DataType(), ftMemo);
  int32_t ref = 9;
  p.SetValue(Variant::ByRef(varInteger, &ref));
  ref = 10;
  EXPECT_EQ(p.Value(), Variant::Integer(9));  // stored as the value referred to

  query.DisableControls();
  query.DisableControls();
  query.EnableControls();
  EXPECT_TRUE(query.ControlsDisabled());
  query.EnableControls();
  EXPECT_FALSE(query.ControlsDisabled());
}

}  // namespace
}  // namespace qorvin::test
