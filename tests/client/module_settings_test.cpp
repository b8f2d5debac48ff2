// Settings the module makes on its sub-objects, checked on the module object itself.
#include <gtest/gtest.h>

#include "channels/uROIndyTCPChannel.h"
#include "channels/uROIndyUDPChannel.h"
#include "channels/uROWinInetHttpChannel.h"
#include "client/DataModuleQorvinCommon.h"
#include "messaging/uROExceptions.h"

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

}  // namespace
}  // namespace qorvin
