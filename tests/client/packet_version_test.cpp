// The packets a module hands out keep the version-1 layout and field types that hosts' own
// readers load, unless the host asks for version 2 through the dataset factory.
#include <gtest/gtest.h>

#include <string>

#include "datastream/uConvertAdo.h"
#include "platform/ado/AdoDataSet.h"
#include "platform/dataset/DataPacket.h"
#include "tests/client/ClientWire.h"
#include "tests/client/HostLibrary.h"
#include "tests/client/ScriptedServer.h"

namespace qorvin::testing {
namespace {

const IRemoteDataModule::Guid kFactoryIID = {
    0x6C1E0D2A, 0x6A53, 0x4C4B, {0x9E, 0x32, 0x2B, 0x8C, 0x5D, 0x0F, 0x7A, 0x11}};

// A blob of one row: a single (R4), an unsigned byte (UI1), long wide text and an integer.
std::string TypedBlob() {
  TAdoDataSet ds;
  ds.MutableFieldDefs().Add(MakeColumnDef(u"R", adSingle, 0, 0, false));
  ds.MutableFieldDefs().Add(MakeColumnDef(u"B", adUnsignedTinyInt, 0, 0, false));
  ds.MutableFieldDefs().Add(MakeColumnDef(u"NOTE", adWChar, 0, 0, false));
  ds.MutableFieldDefs().Add(u"ID", ftInteger);
  ds.Open();
  ds.Append();
  ds.SetFieldValue(0, Variant::Single(1.5f));
  ds.SetFieldValue(1, Variant::Byte(200));
  ds.SetFieldValue(2, Variant::OleStr(u"a long note"));
  ds.SetFieldValue(3, Variant::Integer(7));
  ds.Post();
  TMemoryStream out;
  AdoDataSetToStream(&ds, &out, true, kPersistADTG, 1);
  return std::string(out.View());
}

TDataPacketContent Read(IRemoteDataModule* module, uint8_t* version) {
  QorvinDataPacket data{};
  int32_t result = 0;
  QorvinText error{};
  module->SynchReadData("u", "s", "select", &data, &result, &error);
  EXPECT_EQ(error.data, nullptr) << error.data;
  qorvin_text_free(&error);
  EXPECT_EQ(data.kind, kQorvinPacketBytes);
  if (data.kind != kQorvinPacketBytes) return {};
  *version = data.bytes[4];
  TDataPacketContent content = DecodeDataPacket({data.bytes, size_t(data.size)});
  qorvin_packet_free(&data);
  return content;
}

TEST(PacketVersion, Version1ByDefaultAndVersion2WhenTheHostAsks) {
  const std::string blob = TypedBlob();
  const std::string reply = Reply().Int(1).Binary(&blob).Bytes();
  ScriptedServer server([&](const std::string&) { return reply; });
  IRemoteDataModule* module = HostLibrary::Instance().Create('T', server.Port('T'));
  ASSERT_NE(module, nullptr);
  void* f = nullptr;
  ASSERT_EQ(module->QueryInterface(&kFactoryIID, &f), 0);
  auto* factory = static_cast<IQorvinDataSetFactory*>(f);
  EXPECT_EQ(factory->GetDataPacketVersion(), 1);

  uint8_t version = 0;
  TDataPacketContent v1 = Read(module, &version);
  ASSERT_EQ(v1.fields.size(), 4u);
  EXPECT_EQ(version, 1);
  EXPECT_EQ(v1.fields[0].dataType, ftFloat);
  EXPECT_EQ(v1.fields[1].dataType, ftWord);
  EXPECT_EQ(v1.fields[2].dataType, ftMemo);  // long wide text, as version 1 always held it
  for (const TClientFieldDef& d : v1.fields) EXPECT_EQ(d.columnType, 0) << d.name;
  EXPECT_EQ(v1.rows[0][0], Variant::Double(1.5));
  EXPECT_EQ(v1.rows[0][2].ToUtf8(), "a long note");

  // A record set made from the version-1 packet, and its packet again: still version 1.
  QorvinDataPacket data{};
  int32_t result = 0;
  QorvinText error{};
  module->SynchReadData("u", "s", "select", &data, &result, &error);
  QorvinAdoDataSet* ds = factory->PacketToAdoDataSet(&data);
  ASSERT_NE(ds, nullptr);
  QorvinDataPacket again{};
  ASSERT_TRUE(factory->AdoDataSetToPacket(ds, &again));
  ASSERT_EQ(again.kind, kQorvinPacketBytes);
  EXPECT_EQ(again.bytes[4], 1);

  EXPECT_FALSE(factory->SetDataPacketVersion(3));
  EXPECT_FALSE(factory->SetDataPacketVersion(0));
  EXPECT_EQ(factory->GetDataPacketVersion(), 1);
  ASSERT_TRUE(factory->SetDataPacketVersion(2));
  EXPECT_EQ(factory->GetDataPacketVersion(), 2);
  TDataPacketContent v2 = Read(module, &version);
  ASSERT_EQ(v2.fields.size(), 4u);
  EXPECT_EQ(version, 2);
  EXPECT_EQ(v2.fields[0].columnType, adSingle);
  EXPECT_EQ(v2.fields[1].columnType, adUnsignedTinyInt);
  EXPECT_EQ(v2.fields[2].dataType, ftWideString);
  EXPECT_EQ(v2.fields[2].size, 0);
  EXPECT_EQ(v2.fields[3].columnType, 0);
  // The version-1 packet loads under version 2 too; its record set's packet is now version 2
  // only where a field carries a column type, which version 1 did not keep.
  QorvinDataPacket third{};
  ASSERT_TRUE(factory->AdoDataSetToPacket(ds, &third));
  EXPECT_EQ(third.bytes[4], 1);
  ds->Release();
  qorvin_packet_free(&third);
  qorvin_packet_free(&again);
  qorvin_packet_free(&data);
  qorvin_text_free(&error);
}

}  // namespace
}  // namespace qorvin::testing
