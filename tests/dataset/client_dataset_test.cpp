// The client dataset: state, cursor, editing rules, loading packets, and the provider.
#include <gtest/gtest.h>

#include "platform/dataset/ClientDataSet.h"
#include "platform/dataset/DataSetProvider.h"
#include "tests/dataset/dataset_support.h"

namespace qorvin {
namespace {

using test::PacketOf;

TClientDataSet ThreeRows() {
  TClientDataSet ds;
  ds.AddFieldDef({"id", ftAutoInc, 0, 0, 0});
  ds.AddFieldDef({"name", ftString, 10, 0, faRequired});
  ds.AddFieldDef({"locked", ftInteger, 0, 0, faReadonly});
  ds.CreateDataSet();
  for (const char* name : {"a", "b", "c"})
    ds.AppendRecord({Variant::Null(), Variant::AnsiString(name), Variant::Integer(0)});
  return ds;
}

TEST(ClientDataSet, DefinitionsChangeOnlyWhileClosed) {
  TClientDataSet ds;
  EXPECT_THROW(ds.CreateDataSet(), EDatabaseError);  // no fields
  EXPECT_THROW(ds.AddFieldDef({"x", ftCursor, 0, 0, 0}), EDatabaseError);
  EXPECT_THROW(ds.AddFieldDef({"x", ftInteger, -1, 0, 0}), EDatabaseError);
  EXPECT_THROW(ds.AddFieldDef({"x", ftInteger, 0, 0, 0x80}), EDatabaseError);
  ds.AddFieldDef({"x", ftInteger, 0, 0, 0});
  ds.Open();
  EXPECT_TRUE(ds.Active());
  EXPECT_THROW(ds.AddFieldDef({"y", ftInteger, 0, 0, 0}), EDatabaseError);
  EXPECT_THROW(ds.ClearFieldDefs(), EDatabaseError);
  EXPECT_THROW(ds.CreateDataSet(), EDatabaseError);
}

TEST(ClientDataSet, CursorWalksRowsWithEofAndBof) {
  TClientDataSet ds = ThreeRows();
  ds.First();
  EXPECT_TRUE(ds.Bof());
  EXPECT_FALSE(ds.Eof());
  std::string seen;
  for (int guard = 0; !ds.Eof() && guard < 10; ++guard) {
    seen += ds.FieldValue("NAME").AsAnsi();
    ds.Next();
  }
  EXPECT_EQ(seen, "abc");
  EXPECT_EQ(ds.RecNo(), 3);
  ds.Prior();
  EXPECT_FALSE(ds.Eof());
  EXPECT_EQ(ds.RecNo(), 2);
  ds.Prior();
  ds.Prior();
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(ds.RecNo(), 1);
  ds.Last();
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.FieldValue(0), Variant::Integer(3));  // auto-increment numbers 1, 2, 3
}

TEST(ClientDataSet, EmptyDatasetIsAtBothEnds) {
  TClientDataSet ds;
  ds.AddFieldDef({"x", ftInteger, 0, 0, 0});
  ds.CreateDataSet();
  ds.First();
  EXPECT_TRUE(ds.Eof());
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(ds.RecNo(), 0);
  EXPECT_TRUE(ds.FieldValue(0).IsNull());
  EXPECT_THROW(ds.Delete(), EDatabaseError);
}

TEST(ClientDataSet, EditPostAndCancel) {
  TClientDataSet ds = ThreeRows();
  ds.First();
  ds.Next();
  ds.Edit();
  EXPECT_EQ(ds.State(), dsEdit);
  ds.SetFieldValue("name", Variant::OleStr(u"B"));
  EXPECT_EQ(ds.FieldValue(1), Variant::AnsiString("B"));  // kept in the field's kind
  ds.Cancel();
  EXPECT_EQ(ds.FieldValue(1), Variant::AnsiString("b"));
  ds.Edit();
  ds.SetFieldValue(1, Variant::AnsiString("bb"));
  ds.Next();  // moving posts the pending row
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(ds.ValueAt(1, 1), Variant::AnsiString("bb"));
  EXPECT_THROW(ds.SetFieldValue(1, Variant::AnsiString("x")), EDatabaseError);  // browsing
}

TEST(ClientDataSet, PostRefusesNullRequiredFieldsAndKeepsTheRowPending) {
  TClientDataSet ds = ThreeRows();
  ds.Append();
  EXPECT_THROW(ds.Post(), EDatabaseError);
  EXPECT_EQ(ds.State(), dsInsert);
  ds.SetFieldValue("name", Variant::AnsiString("d"));
  ds.Post();
  EXPECT_EQ(ds.RecordCount(), 4);
  EXPECT_EQ(ds.RecNo(), 4);
  EXPECT_EQ(ds.FieldValue("id"), Variant::Integer(4));
}

TEST(ClientDataSet, ReadOnlyFieldsRefuseAssignment) {
  TClientDataSet ds = ThreeRows();
  ds.Edit();
  EXPECT_THROW(ds.SetFieldValue("locked", Variant::Integer(1)), EDatabaseError);
  EXPECT_THROW(ds.SetFieldValue("missing", Variant::Integer(1)), EDatabaseError);
  EXPECT_THROW(ds.SetFieldValue(7, Variant::Integer(1)), EDatabaseError);
}

TEST(ClientDataSet, ValuesThatDoNotConvertAreRefused) {
  TClientDataSet ds;
  ds.AddFieldDef({"small", ftSmallint, 0, 0, 0});
  ds.AddFieldDef({"word", ftWord, 0, 0, 0});
  ds.CreateDataSet();
  ds.Append();
  EXPECT_THROW(ds.SetFieldValue(0, Variant::Integer(40000)), EDatabaseError);
  EXPECT_THROW(ds.SetFieldValue(1, Variant::Integer(-1)), EDatabaseError);
  EXPECT_THROW(ds.SetFieldValue(0, Variant::AnsiString("12x")), EDatabaseError);
  try {
    ds.SetFieldValue(0, Variant::Integer(40000));
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message().rfind("Field 'small': ", 0), 0u) << e.Message();
  }
  ds.SetFieldValue(0, Variant::AnsiString("-12"));
  EXPECT_EQ(ds.FieldValue(0), Variant::Smallint(-12));
}

TEST(ClientDataSet, DeleteEmptyAndClose) {
  TClientDataSet ds = ThreeRows();
  ds.Last();
  ds.Delete();
  EXPECT_EQ(ds.RecordCount(), 2);
  EXPECT_EQ(ds.RecNo(), 2);
  ds.Append();
  ds.Delete();  // drops the pending row only
  EXPECT_EQ(ds.RecordCount(), 2);
  ds.EmptyDataSet();
  EXPECT_TRUE(ds.Active());
  EXPECT_EQ(ds.RecordCount(), 0);
  ds.AppendRecord({Variant(), Variant::AnsiString("z")});
  EXPECT_EQ(ds.FieldValue("id"), Variant::Integer(4));  // numbers are not reused
  ds.Close();
  EXPECT_FALSE(ds.Active());
  EXPECT_TRUE(ds.Data().IsNull());
  EXPECT_THROW(ds.FieldValue(0), EDatabaseError);
  ds.Open();
  EXPECT_EQ(ds.RecordCount(), 0);
  EXPECT_EQ(ds.FieldCount(), 3);
}

TEST(ClientDataSet, EditOnAnEmptyDatasetAppends) {
  TClientDataSet ds;
  ds.AddFieldDef({"x", ftInteger, 0, 0, 0});
  ds.CreateDataSet();
  ds.Edit();
  EXPECT_EQ(ds.State(), dsInsert);
}

TEST(ClientDataSet, DataPostsThePendingRow) {
  TClientDataSet ds = ThreeRows();
  ds.Append();
  ds.SetFieldValue("name", Variant::AnsiString("d"));
  TClientDataSet copy;
  copy.SetData(ds.Data());
  EXPECT_EQ(copy.RecordCount(), 4);
}

TEST(ClientDataSet, SetDataReplacesEverythingOrNothing) {
  TClientDataSet source = ThreeRows();
  TClientDataSet ds;
  ds.SetData(source.Data());
  EXPECT_EQ(ds.RecNo(), 1);
  EXPECT_EQ(ds.FieldDefs(), source.FieldDefs());
  ds.Last();
  ds.AppendRecord({Variant(), Variant::AnsiString("d")});
  EXPECT_EQ(ds.FieldValue("id"), Variant::Integer(4));  // continues after the loaded numbers

  std::vector<uint8_t> broken = PacketOf(source);
  broken.back() ^= 0xFF;
  broken.push_back(0);
  EXPECT_THROW(ds.SetData(DataPacketToVariant(broken)), EDatabaseError);
  EXPECT_EQ(ds.RecordCount(), 4);
  EXPECT_EQ(ds.RecNo(), 4);

  ds.SetData(Variant::Null());
  EXPECT_FALSE(ds.Active());
  EXPECT_EQ(ds.FieldCount(), 0);
}

TEST(ClientDataSet, ProviderMakesThePacketOfTheAttachedDataset) {
  TDataSetProvider provider;
  EXPECT_THROW(provider.Data(), EDatabaseError);  // none attached
  TClientDataSet source = ThreeRows();
  {
    TProviderAttachment attach(provider, source);
    EXPECT_EQ(provider.DataSet(), &source);
    TClientDataSet target;
    target.SetData(provider.Data());
    EXPECT_EQ(PacketOf(target), PacketOf(source));
  }
  EXPECT_EQ(provider.DataSet(), nullptr);
  try {
    TProviderAttachment attach(provider, source);
    source.Close();
    provider.Data();  // a closed dataset
    FAIL();
  } catch (const EDatabaseError&) {
  }
  EXPECT_EQ(provider.DataSet(), nullptr);  // detached on the failure path too
}

}  // namespace
}  // namespace qorvin
