// Settings the module makes on its sub-objects, checked on the module object itself.
#include <gtest/gtest.h>

#include "channels/uROIndyTCPChannel.h"
#include "channels/uROIndyUDPChannel.h"
#include "channels/uROWinInetHttpChannel.h"
#include "client/ClientAdoDataSet.h"
#include "client/DataModuleQorvinCommon.h"
#include "contract/VelmarLib_Intf.h"
#include "messaging/uROExceptions.h"
#include "tests/client/Blobs.h"
#include "tests/client/ClientWire.h"
#include "tests/client/ScriptedServer.h"

namespace qorvin {
namespace {

TEST(ModuleSettings, ChannelsAreBuiltAsTheLetterSays) {
  auto h = TDataModuleZent::Create(0, 'H', "db.example", 8099);
  auto* http = dynamic_cast<TROWinInetHTTPChannel*>(h->Channel());
  ASSERT_NE(http, nullptr);
  EXPECT_EQ(http->TargetURL(), "http://db.example:8099/Bin");
  EXPECT_EQ(http->UserAgent(), "QorvinClient");
  EXPECT_FALSE(http->Encryption().UseCompression());

  for (char letter : {'B', 'T'}) {
    auto t = TDataModuleZent::Create(0, letter, "10.0.0.1", 8090);
    auto* tcp = dynamic_cast<TROIndyTCPChannel*>(t->Channel());
    ASSERT_NE(tcp, nullptr);
    EXPECT_TRUE(tcp->DisableNagle());
    EXPECT_FALSE(tcp->KeepAlive());
    EXPECT_EQ(tcp->Host(), "10.0.0.1");
    EXPECT_EQ(tcp->Port(), 8090);
  }

  auto u = TDataModuleZent::Create(3, 'U', "h", 1);
  auto* udp = dynamic_cast<TROIndyUDPChannel*>(u->Channel());
  ASSERT_NE(udp, nullptr);
  EXPECT_EQ(udp->IndyClient().BufferSize, 8388608);
  EXPECT_EQ(u->HostTag(), 3);
}

TEST(ModuleSettings, ServiceAndMessageAreWiredWithCompressionOff) {
  auto m = TDataModuleZent::Create(0, 'T', "127.0.0.1", 1);
  EXPECT_EQ(m->ROService().Name(), "ROService");
  EXPECT_EQ(m->ROService().MessageIntf(), static_cast<IROMessage*>(&m->ROMessage()));
  EXPECT_NE(m->ROService().ChannelIntf(), nullptr);
  EXPECT_FALSE(m->ROMessage().UseCompression);
  EXPECT_EQ(m->ROMessage().Envelopes.Count(), 0u);
}

TEST(ModuleSettings, UnknownLetterFailsWithTheSystemsText) {
  try {
    TDataModuleZent::Create(0, 'h', "x", 1);
    FAIL();
  } catch (const EROException& e) {
    EXPECT_EQ(e.Message(), "Unknow Connect Type!");
  }
}

// A record set that ExecProcInsertTableDataSet hands over is the host's alone: it outlives the
// module, and none is made when the host gives no slot for it.
TEST(ModuleSettings, UploadedRecordSetsBelongToTheHostAlone) {
  RegisterVelmarLibProxies();  // this test binary drives a module without loading the library
  const std::string blob = testing::MakeBlob({{1, u"one"}});
  testing::ScriptedServer server([&](const std::string&) {
    return testing::Reply("TableProcService").Int(1).Binary(&blob).Int(1).Bytes();
  });
  const size_t before = ClientAdoDataSet::LiveCount();
  QorvinAdoDataSet* kept = nullptr;
  {
    auto m = TDataModuleZent::Create(0, 'T', "127.0.0.1", server.Port('T'));
    int32_t count = 0, result = 0;
    QorvinText error{};
    m->ExecProcInsertTableDataSet("u", "s", nullptr, "p", nullptr, &count, 1, &result, &error);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(ClientAdoDataSet::LiveCount(), before);
    m->ExecProcInsertTableDataSet("u", "s", nullptr, "p", &kept, &count, 1, &result, &error);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(ClientAdoDataSet::LiveCount(), before + 1);
    qorvin_text_free(&error);
  }
  ASSERT_EQ(ClientAdoDataSet::FromHost(kept), kept);  // the module's end did not free it
  EXPECT_EQ(kept->RecordCount(), 1);
  kept->Release();
  EXPECT_EQ(ClientAdoDataSet::LiveCount(), before);
}

}  // namespace
}  // namespace qorvin
