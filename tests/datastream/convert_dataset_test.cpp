// Conversions between the record set, the client dataset and the data packet.
#include <gtest/gtest.h>

#include "convert_support.h"
#include "datastream/uBlobToPacket.h"
#include "datastream/uConvertAdo.h"
#include "datastream/uConvertDataSet.h"
#include "platform/rtl/Text.h"
#include "platform/zlib/ZStream.h"

namespace qorvin {
namespace {

void ExpectSameRows(TAdoDataSet& expected, TAdoDataSet& actual) {
  ASSERT_EQ(actual.RecordCount(), expected.RecordCount());
  ASSERT_EQ(actual.FieldCount(), expected.FieldCount());
  expected.First();
  actual.First();
  for (; !expected.Eof(); expected.Next(), actual.Next())
    for (int f = 0; f < expected.FieldCount(); ++f)
      EXPECT_EQ(actual.FieldValue(f), expected.FieldValue(f))
          << "row " << expected.RecNo() << " field " << f;
}

TEST(ConvertAdoToClient, NullOrClosedGivesNone) {
  EXPECT_EQ(AdoToClientDataSet(nullptr), nullptr);
  TAdoDataSet closed;
  closed.MutableFieldDefs().Add(u"ID", ftInteger);
  EXPECT_EQ(AdoToClientDataSet(&closed), nullptr);
  EXPECT_TRUE(AdoToDataPacket(nullptr).IsNull());
  EXPECT_TRUE(AdoToDataPacket(&closed).IsNull());
}

TEST(ConvertAdoToClient, CopiesDefinitionsAndRowsWithoutMovingTheCursor) {
  TAdoDataSet ado;
  test::FillSample(ado);
  ado.Next();
  auto client = AdoToClientDataSet(&ado);
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(ado.RecNo(), 2);
  ASSERT_TRUE(client->Active());
  const TClientFieldDefs expected = {
      {"ID", ftInteger, 0, 0, faRequired}, {"Name", ftWideString, 20, 0, 0},
      {"Amount", ftFloat, 0, 0, 0},        {"Big", ftLargeint, 0, 0, 0},
      {"When", ftDateTime, 0, 0, 0},
  };
  EXPECT_EQ(client->FieldDefs(), expected);
  ASSERT_EQ(client->RecordCount(), 3);
  client->First();
  EXPECT_EQ(client->FieldValue(1), Variant::OleStr(u"Ann"));
  EXPECT_EQ(client->FieldValue(3), Variant::Int64(int64_t(1) << 40));
  client->Next();
  EXPECT_EQ(client->FieldValue(0), Variant::Integer(2));
  for (int f = 1; f < 5; ++f) EXPECT_TRUE(client->FieldValue(f).IsNull()) << f;
  client->Next();
  EXPECT_EQ(client->FieldValue(1), Variant::OleStr(u"Bob \u4e2d\u6587"));
  EXPECT_EQ(client->FieldValue(4), Variant::Date(36526.5));
}

TEST(ConvertAdoToClient, AttributesFollowTheColumnFlags) {
  TAdoDataSet ado;
  TFieldDef id = MakeFieldDef(u"ID", ftAutoInc, 0, true);
  id.attributes &= ~uint32_t(adFldUpdatable);  // as a server reports an identity column
  ado.MutableFieldDefs().Add(id);
  TFieldDef code = MakeFieldDef(u"Code", ftWideString, 4);
  code.attributes |= adFldFixed;
  code.visible = false;
  ado.MutableFieldDefs().Add(code);
  TFieldDef serial = MakeFieldDef(u"Serial", ftLargeint);
  serial.autoIncrement = true;
  ado.MutableFieldDefs().Add(serial);
  ado.MutableFieldDefs().Add(u"Price", ftBCD, 2, false, 10);
  ado.MutableFieldDefs().Add(u"Notes", ftMemo);
  ado.Open();
  auto client = AdoToClientDataSet(&ado);
  ASSERT_NE(client, nullptr);
  const TClientFieldDefs expected = {
      {"ID", ftAutoInc, 0, 0, faReadonly | faRequired},
      {"Code", ftWideString, 4, 0, faHiddenCol | faFixed},
      {"Serial", ftLargeint, 0, 0, faAutoInc},
      {"Price", ftBCD, 2, 10, 0},
      {"Notes", ftMemo, 0, 0, 0},
  };
  EXPECT_EQ(client->FieldDefs(), expected);
  EXPECT_EQ(client->RecordCount(), 0);
}

TEST(ConvertAdoToClient, RowsPendingDeletionAreLeftOut) {
  TAdoDataSet ado;
  test::FillSample(ado);
  ado.SetLockType(ltBatchOptimistic);
  ado.First();
  ado.Delete();
  auto client = AdoToClientDataSet(&ado);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(client->RecordCount(), 2);
  client->First();
  EXPECT_EQ(client->FieldValue(0), Variant::Integer(2));
}

// A failed conversion is never handed back as a dataset: an empty one would be passed on to the
// host as a successful, empty result.
TEST(ConvertAdoToClient, FailureGivesNoneWithItsMessageAndFreesTheProvider) {
  TAdoDataSet ado;
  ado.MutableFieldDefs().Add(std::u16string(u"Bad") + char16_t(0xD800), ftInteger);
  ado.Open();
  std::string failure;
  EXPECT_EQ(AdoToClientDataSet(&ado, &failure), nullptr);
  EXPECT_FALSE(failure.empty());
  EXPECT_EQ(AdoToClientDataSet(&ado), nullptr);  // no message wanted: still no exception

  TAdoDataSet good;
  test::FillSample(good);
  EXPECT_NE(AdoToClientDataSet(&good), nullptr);  // the shared provider was detached
  FreeSharedDataSetProvider();
  FreeSharedDataSetProvider();
  EXPECT_NE(AdoToClientDataSet(&good), nullptr);  // and is made again on next use
}

TClientDataSet MakeClient() {
  TClientDataSet client;
  client.AddFieldDef({"ID", ftAutoInc, 0, 0, faReadonly | faRequired});
  client.AddFieldDef({"Name", ftString, 10, 0, faRequired | faHiddenCol});
  client.AddFieldDef({"Stamp", ftDateTime, 0, 0, faReadonly});
  client.AddFieldDef({"Blob", ftBlob, 0, 0, 0});
  client.CreateDataSet();
  const uint8_t bytes[] = {0, 1, 2, 3, 4};
  client.AppendRecord({Variant::Null(), Variant::AnsiString("one"), Variant::Date(45000.5),
                       Variant::FromArray(VarArray::Bytes(bytes, sizeof bytes))});
  client.AppendRecord({Variant::Null(), Variant::AnsiString("two")});
  return client;
}

TEST(ConvertClientToAdo, NullOrClosedGivesNone) {
  EXPECT_EQ(ClientToAdoDataSet(nullptr), nullptr);
  TClientDataSet closed;
  closed.AddFieldDef({"ID", ftInteger, 0, 0, 0});
  EXPECT_EQ(ClientToAdoDataSet(&closed), nullptr);
}

TEST(ConvertClientToAdo, CopiesEveryRowIntoWritableFields) {
  TClientDataSet client = MakeClient();
  auto ado = ClientToAdoDataSet(&client);
  ASSERT_NE(ado, nullptr);
  EXPECT_TRUE(client.Eof());

  const TFieldDefs& defs = ado->FieldDefs();
  ASSERT_EQ(defs.Count(), 4);
  EXPECT_EQ(defs[0], MakeFieldDef(u"ID", ftInteger));  // auto-increment and read-only dropped
  TFieldDef name = MakeFieldDef(u"Name", ftString, 10, true);
  name.visible = false;
  EXPECT_EQ(defs[1], name);
  EXPECT_EQ(defs[2], MakeFieldDef(u"Stamp", ftDateTime));
  EXPECT_EQ(defs[3], MakeFieldDef(u"Blob", ftBlob));
  for (const TFieldDef& def : defs) EXPECT_FALSE(def.ReadOnly()) << Utf16ToUtf8(def.name);

  EXPECT_TRUE(ado->Active());
  EXPECT_EQ(ado->Kind(), dkPlain);
  EXPECT_EQ(ado->LockType(), ltBatchOptimistic);
  EXPECT_FALSE(ado->ControlsDisabled());
  ASSERT_EQ(ado->RecordCount(), 2);
  EXPECT_EQ(ado->RecNo(), 2);  // positioned on the last row copied
  EXPECT_EQ(ado->FieldValue(0), Variant::Integer(2));
  EXPECT_EQ(ado->FieldValue(1), Variant::AnsiString("two"));
  EXPECT_TRUE(ado->FieldIsNull(3));
  ado->First();
  EXPECT_EQ(ado->RowStatus(), TRowStatus::Inserted);
  EXPECT_EQ(ado->FieldValue(0), Variant::Integer(1));
  EXPECT_EQ(ado->FieldValue(2), Variant::Date(45000.5));
  const uint8_t bytes[] = {0, 1, 2, 3, 4};
  EXPECT_EQ(ado->FieldValue(3), Variant::FromArray(VarArray::Bytes(bytes, sizeof bytes)));
}

TEST(ConvertClientToAdo, EmptyClientGivesOpenDatasetWithTheFields) {
  TClientDataSet client;
  client.AddFieldDef({"A", ftInteger, 0, 0, 0});
  client.AddFieldDef({"B", ftWideString, 3, 0, 0});
  client.CreateDataSet();
  auto ado = ClientToAdoDataSet(&client);
  ASSERT_NE(ado, nullptr);
  EXPECT_TRUE(ado->Active());
  EXPECT_EQ(ado->FieldCount(), 2);
  EXPECT_EQ(ado->RecordCount(), 0);
  EXPECT_EQ(ado->FieldDefs()[1], MakeFieldDef(u"B", ftWideString, 3));
}

TEST(ConvertClientToAdo, ValueThatDoesNotFitPropagates) {
  TClientDataSet client;
  client.AddFieldDef({"B", ftBytes, 0, 0, 0});  // a record set needs the width of fixed bytes
  client.CreateDataSet();
  EXPECT_THROW(ClientToAdoDataSet(&client), EAdoError);
}

TEST(ConvertVariantToAdo, NullEmptyOrUnloadablePacketGivesNone) {
  EXPECT_EQ(VariantToAdoDataSet(Variant::Null()), nullptr);
  EXPECT_EQ(VariantToAdoDataSet(Variant()), nullptr);
  EXPECT_EQ(VariantToAdoDataSet(Variant::Integer(7)), nullptr);
  const uint8_t junk[] = {'Q', 'V', 'D', 'P', 9, 9, 9};
  EXPECT_EQ(VariantToAdoDataSet(Variant::FromArray(VarArray::Bytes(junk, sizeof junk))), nullptr);

  TClientDataSet client = MakeClient();
  Variant packet = client.Data();
  std::vector<uint8_t> cut(DataPacketBytes(packet).begin(), DataPacketBytes(packet).end());
  for (size_t size = 0; size < cut.size(); ++size)
    EXPECT_EQ(VariantToAdoDataSet(Variant::FromArray(VarArray::Bytes(cut.data(), size))), nullptr)
        << size;
}

// The packet's rows go straight into the record set; the result is what loading a client
// dataset and copying it gives, and what the record set refuses still raises.
TEST(ConvertVariantToAdo, LoadsAsAClientDatasetCopiedWouldAndRefusalsRaise) {
  TClientDataSet client = MakeClient();
  Variant packet = client.Data();
  TClientDataSet loaded;
  loaded.SetData(packet);
  auto viaClient = ClientToAdoDataSet(&loaded);
  auto direct = VariantToAdoDataSet(packet);
  ASSERT_NE(direct, nullptr);
  EXPECT_EQ(direct->FieldDefs(), viaClient->FieldDefs());
  EXPECT_EQ(direct->RecNo(), viaClient->RecNo());
  EXPECT_FALSE(direct->ControlsDisabled());
  ExpectSameRows(*viaClient, *direct);

  std::vector<uint8_t> longer(DataPacketBytes(packet).begin(), DataPacketBytes(packet).end());
  longer.push_back(0);  // a byte after the last row
  EXPECT_EQ(VariantToAdoDataSet(Variant::FromArray(VarArray::Bytes(longer.data(), longer.size()))),
            nullptr);

  TClientDataSet unfit;
  unfit.AddFieldDef({"B", ftBytes, 0, 0, 0});  // a record set needs the width of fixed bytes
  unfit.CreateDataSet();
  EXPECT_THROW(VariantToAdoDataSet(unfit.Data()), EAdoError);
}

// For uploads: a packet that does not load is told apart from Null, with its reason.
TEST(ConvertVariantToAdo, LoadingForAnUploadTellsAFailedPacketFromNull) {
  std::string failure;
  EXPECT_EQ(LoadPacketIntoAdoDataSet(Variant::Null(), failure), nullptr);
  EXPECT_EQ(failure, "");
  TClientDataSet client = MakeClient();
  Variant packet = client.Data();
  auto loaded = LoadPacketIntoAdoDataSet(packet, failure);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(failure, "");
  ExpectSameRows(*VariantToAdoDataSet(packet), *loaded);
  std::vector<uint8_t> cut(DataPacketBytes(packet).begin(), DataPacketBytes(packet).end() - 1);
  EXPECT_EQ(LoadPacketIntoAdoDataSet(Variant::FromArray(VarArray::Bytes(cut.data(), cut.size())),
                                     failure),
            nullptr);
  EXPECT_NE(failure.find("Invalid data packet"), std::string::npos) << failure;
}

// The memory a packet may claim as a record set is measured on the record set's rows, and grows
// with the inflation budget (four times it): a read that a raised budget let through must load.
// Rows of NULLs cost a bit each in the packet; a packet announcing more rows than the budget
// holds is refused before any row is read, one whose rows grow past it as they load.
TClientFieldDefs IntegerFields(int count) {
  TClientFieldDefs fields;
  for (int i = 0; i < count; ++i) {
    TClientFieldDef def;
    def.name = "F" + std::to_string(i);
    def.dataType = ftInteger;
    fields.push_back(def);
  }
  return fields;
}

Variant NullRowsPacket(int fields, int64_t rows) {
  std::vector<uint8_t> bytes;
  AppendDataPacketHeader(bytes, IntegerFields(fields), rows);
  bytes.resize(bytes.size() + size_t(rows) * size_t((fields + 7) / 8), 0xFF);  // every value NULL
  return Variant::FromArray(VarArray::Bytes(bytes.data(), bytes.size()));
}

TEST(ConvertVariantToAdo, ThePacketBudgetIsTheRecordSetsAndGrowsWithTheInflationBudget) {
  // 8 fields: one byte a row in the packet, 50 bytes a row in the record set, 232 bytes a row
  // in the estimate of a Variant per value (which refused 100 000 rows only past 2 GiB).
  const int64_t rows = 100000;  // about 5 MiB as a record set
  const Variant packet = NullRowsPacket(8, rows);
  std::string failure;
  {
    const TInflateBudgetScope small(int64_t(1) << 20);  // a 4 MiB budget
    EXPECT_EQ(LoadPacketIntoAdoDataSet(packet, failure), nullptr);
    EXPECT_NE(failure.find("Data packet too large: its 100000 rows need at least"),
              std::string::npos)
        << failure;
    EXPECT_NE(failure.find("the budget of 4 MiB (four times the inflation budget); raise the "
                           "inflation budget"),
              std::string::npos)
        << failure;
    EXPECT_THROW(VariantToAdoDataSet(packet), EDataPacketTooLarge);
    // A few rows of large values: refused as their bytes fill the record set.
    TClientDataSet blobs;
    blobs.AddFieldDef({"Blob", ftBlob, 0, 0, 0});
    blobs.CreateDataSet();
    const std::vector<uint8_t> value(size_t(1) << 20, 7);
    for (int r = 0; r < 6; ++r)
      blobs.AppendRecord({Variant::FromArray(VarArray::Bytes(value.data(), value.size()))});
    EXPECT_EQ(LoadPacketIntoAdoDataSet(blobs.Data(), failure), nullptr);
    EXPECT_NE(failure.find("Data packet too large: its rows need more than"), std::string::npos)
        << failure;
  }
  const TInflateBudgetScope raised(int64_t(2) << 20);  // 8 MiB
  failure.clear();
  auto loaded = LoadPacketIntoAdoDataSet(packet, failure);
  ASSERT_NE(loaded, nullptr) << failure;
  EXPECT_EQ(loaded->RecordCount(), rows);
}

TEST(ConvertVariantToAdo, PacketByReferenceLoadsLikeThePacket) {
  TClientDataSet client = MakeClient();
  Variant packet = client.Data();
  auto direct = VariantToAdoDataSet(packet);
  auto byRef = VariantToAdoDataSet(Variant::ByRef(varVariant, &packet));
  ASSERT_NE(direct, nullptr);
  ASSERT_NE(byRef, nullptr);
  EXPECT_EQ(byRef->FieldDefs(), direct->FieldDefs());
  ExpectSameRows(*direct, *byRef);
}

// What a host sends as a table upload: packet -> ADO -> blob, read on the other side as rows to
// insert; and what it receives: blob -> ADO -> packet.
TEST(ConvertRoundTrip, PacketBlobPacketKeepsDefinitionsAndRows) {
  TAdoDataSet source;
  test::FillSample(source);
  auto client = AdoToClientDataSet(&source);
  ASSERT_NE(client, nullptr);
  auto ado = VariantToAdoDataSet(client->Data());
  ASSERT_NE(ado, nullptr);
  EXPECT_EQ(ado->FieldDefs(), source.FieldDefs());
  ExpectSameRows(source, *ado);

  TMemoryStream blob;
  ASSERT_TRUE(AdoDataSetToStream(ado.get(), &blob, true, kPersistADTG, 1));
  TAdoDataSet received;
  ASSERT_TRUE(StreamToAdoDataSet(&received, &blob, true));
  EXPECT_EQ(received.FieldDefs(), source.FieldDefs());
  ExpectSameRows(source, received);
  for (received.First(); !received.Eof(); received.Next())
    EXPECT_EQ(received.RowStatus(), TRowStatus::Inserted);
  auto back = AdoToClientDataSet(&received);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->FieldDefs(), client->FieldDefs());
  EXPECT_EQ(back->Data(), client->Data());
}

}  // namespace
}  // namespace qorvin

namespace qorvin {
namespace {

// Fixed-width 8-bit text holding a NUL keeps every byte through the record set, the data packet
// (both ways of making it) and back: neither cut at the NUL nor padded after the cut.
TEST(ConvertFixedText, AnEmbeddedNulKeepsTheBytesAfterIt) {
  const std::string value("A1p1\0\x01xyzZ      ", 16);
  TAdoDataSet ado;
  TFieldDef def = MakeFieldDef(u"C", ftFixedChar, 16);
  def.attributes |= adFldFixed;
  ado.MutableFieldDefs().Add(def);
  ado.Open();
  ado.Append();
  ado.SetFieldValue(0, Variant::AnsiString(value));
  ado.Post();
  ado.Append();
  ado.SetFieldValue(0, Variant::AnsiString("ab"));  // a short value is padded with spaces
  ado.Post();
  ado.First();
  EXPECT_EQ(ado.FieldValue(0), Variant::AnsiString(value));

  auto client = AdoToClientDataSet(&ado);
  ASSERT_NE(client, nullptr);
  client->First();
  EXPECT_EQ(client->FieldValue(0), Variant::AnsiString(value));
  auto back = ClientToAdoDataSet(client.get());
  ASSERT_NE(back, nullptr);
  back->First();
  EXPECT_EQ(back->FieldValue(0), Variant::AnsiString(value));
  back->Next();
  EXPECT_EQ(back->FieldValue(0), Variant::AnsiString("ab" + std::string(14, ' ')));

  TMemoryStream blob;
  test::MakeBlob(blob, test::Deflated(test::SavedImage(ado)), "");
  blob.SetPosition(0);
  TPacketBlock block;
  ASSERT_TRUE(BlobToDataPacket(blob, block));
  std::string failure;
  auto fromBlob = LoadPacketBytesIntoAdoDataSet({block.Data(), block.Size()}, failure);
  ASSERT_NE(fromBlob, nullptr) << failure;
  fromBlob->First();
  EXPECT_EQ(fromBlob->FieldValue(0), Variant::AnsiString(value));
  // A slot filled with NULs after the value still reads as the value alone.
  TAdoDataSet nuls;
  nuls.MutableFieldDefs().Add(def);
  nuls.Open();
  std::string image = test::SavedImage(ado);
  const size_t at = image.find(value);
  ASSERT_NE(at, std::string::npos);
  image.replace(at, 16, std::string("A1\0p\0\0\0\0\0\0\0\0\0\0\0\0", 16));
  TMemoryStream padded;
  test::MakeBlob(padded, test::Deflated(image), "");
  padded.SetPosition(0);
  ASSERT_TRUE(StreamToAdoDataSet(&nuls, &padded, true));
  nuls.First();
  EXPECT_EQ(nuls.FieldValue(0), Variant::AnsiString(std::string("A1\0p", 4)));
}

}  // namespace
}  // namespace qorvin
