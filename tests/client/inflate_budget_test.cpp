// The module's inflation budget, set through the extension interface, bounds what a reply may
// inflate to during the module's calls, and its failure text says what to do.
#include <gtest/gtest.h>

#include "platform/rtl/Stream.h"
#include "platform/zlib/ZStream.h"
#include "tests/client/ClientWire.h"
#include "tests/client/HostLibrary.h"
#include "tests/client/ScriptedServer.h"

namespace qorvin::testing {
namespace {

const IRemoteDataModule::Guid kFactoryIID = {
    0x6C1E0D2A, 0x6A53, 0x4C4B, {0x9E, 0x32, 0x2B, 0x8C, 0x5D, 0x0F, 0x7A, 0x11}};

// A dataset blob whose record-set section inflates to `inflated` bytes of zeros (no valid image:
// only the inflation matters here).
std::string BlobInflatingTo(int64_t inflated) {
  TMemoryStream zeros, packed;
  zeros.SetSize(inflated);
  ZCompress(zeros, -1, packed, 9);
  std::string blob(packed.View());
  const int64_t offset = int64_t(blob.size());
  for (int i = 0; i < 8; ++i) blob += char(uint64_t(offset) >> (8 * i));
  return blob;
}

TEST(InflateBudget, TheHostSetsItAndARecordSetBeyondItFailsWithAClearText) {
  const std::string blob = BlobInflatingTo(int64_t(3) << 20);
  const std::string reply = Reply().Int(1).Binary(&blob).Bytes();
  ScriptedServer server([&](const std::string&) { return reply; });
  IRemoteDataModule* module = HostLibrary::Instance().Create('T', server.Port('T'));
  ASSERT_NE(module, nullptr);
  void* f = nullptr;
  ASSERT_EQ(module->QueryInterface(&kFactoryIID, &f), 0);
  auto* factory = static_cast<IQorvinDataSetFactory*>(f);
  EXPECT_EQ(factory->GetInflateBudget(), int64_t(256) << 20);

  factory->SetInflateBudget(int64_t(1) << 20);
  EXPECT_EQ(factory->GetInflateBudget(), int64_t(1) << 20);
  QorvinDataPacket data{};
  int32_t result = 0;
  QorvinText error{};
  module->SynchReadData("u", "s", "select", &data, &result, &error);
  const std::string text = error.data != nullptr ? std::string(error.data) : "";
  EXPECT_NE(text.find("Inflated data exceeds the budget of 1 MiB"), std::string::npos) << text;
  EXPECT_NE(text.find("raise the inflation budget"), std::string::npos) << text;
  EXPECT_NE(data.kind, kQorvinPacketBytes);  // no packet from a failed read
  qorvin_text_free(&error);

  // Under the default budget the same bytes inflate, and fail only as the damaged image they are.
  factory->SetInflateBudget(0);
  EXPECT_EQ(factory->GetInflateBudget(), int64_t(256) << 20);
  module->SynchReadData("u", "s", "select", &data, &result, &error);
  const std::string other = error.data != nullptr ? std::string(error.data) : "";
  EXPECT_FALSE(other.empty());
  EXPECT_EQ(other.find("budget"), std::string::npos) << other;
  qorvin_text_free(&error);
  qorvin_packet_free(&data);
}

// GetDateTime is bounded like every call: a compressed reply message that would inflate past
// the budget fails (the local clock stands in), however small the answer it carries.
TEST(InflateBudget, GetDateTimeKeepsToTheBudget) {
  const std::string plain = Reply().Double(1.5).Bytes();
  TMemoryStream body, packed;
  body.WriteBytes(plain.substr(28));
  body.SetSize(int64_t(3) << 20);  // zeros after the answer
  body.SetPosition(0);
  ZCompress(body, -1, packed, 9);
  std::string reply = plain.substr(0, 28);
  reply[5] = '\x01';  // body compressed
  reply += std::string(packed.View());
  ScriptedServer server([&](const std::string&) { return reply; });
  IRemoteDataModule* module = HostLibrary::Instance().Create('T', server.Port('T'));
  void* f = nullptr;
  ASSERT_EQ(module->QueryInterface(&kFactoryIID, &f), 0);
  static_cast<IQorvinDataSetFactory*>(f)->SetInflateBudget(int64_t(1) << 20);
  double when = 0;
  EXPECT_FALSE(module->GetDateTime(&when));
  Text last;
  module->GetLastErrorText(&last);
  EXPECT_NE(last.str().find("Inflated data exceeds the budget of 1 MiB"), std::string::npos)
      << last.str();
}

}  // namespace
}  // namespace qorvin::testing
