// Fail-over between two qorvin-server processes when one of them stops.
//
// This runs one level down, in-process: a TCP (or HTTP) channel with two locators, one per
// server, dispatching fault-tolerantly, under the ExecSqlService proxy that the module itself
// uses. Each server has a procedure `Whoami` whose return value names it. (servers_test.cpp does
// the same through the module's IQorvinServers, as a host does.)
#include <chrono>

#include "channels/uROIndyTCPChannel.h"
#include "channels/uROWinInetHttpChannel.h"
#include "contract/VelmarLib_Intf.h"
#include "messaging/uROBinMessage.h"
#include "tests/e2e/E2eSupport.h"

namespace qorvin::e2e {
namespace {

class FailOver : public ::testing::TestWithParam<char> {
 protected:
  void SetUp() override {
    for (int i = 0; i < 2; ++i) {
      ServerOptions o;
      const std::string name = std::to_string(i + 1);
      work_.WriteFile("procedures" + name + "/Whoami.sql", "return " + name);
      o.procedures = work_.Path("procedures" + name);
      o.logFile = work_.Path("server" + name + ".log");
      std::string error;
      servers_[i] = ServerProcess::Start(o, error);
      ASSERT_NE(servers_[i], nullptr) << error;
    }
    message_.UseCompression = false;
    if (GetParam() == 'H') {
      auto http = std::make_unique<TROWinInetHTTPChannel>(nullptr, "Channel");
      http->SetTimeout(5000);
      http->SetTargetURL("http://127.0.0.1:" + std::to_string(servers_[0]->HttpPort()) + "/Bin");
      channel_ = std::move(http);
    } else {
      auto tcp = std::make_unique<TROIndyTCPChannel>(nullptr, "Channel");
      tcp->SetConnectTimeout(2000);
      tcp->SetReadTimeout(5000);
      tcp->SetHost("127.0.0.1");
      tcp->SetPort(servers_[0]->TcpPort());
      channel_ = std::move(tcp);
    }
    for (auto& server : servers_) {
      TROServerLocator* locator = channel_->ServerLocators().Add();
      locator->SetHost("127.0.0.1");
      locator->SetPort(GetParam() == 'H' ? server->HttpPort() : server->TcpPort());
      locator->SetHTTPDispatcher("Bin");
    }
  }

  // Which server answered: the return value of its Whoami.
  int32_t Whoami() {
    TExecSqlService_Proxy proxy(&message_, Channel());
    return proxy.SynchExecProc("e2e", "", u"exec Whoami");
  }
  IROTransportChannel* Channel() {
    if (GetParam() == 'H') return static_cast<TROWinInetHTTPChannel*>(channel_.get());
    return static_cast<TROIndyTCPChannel*>(channel_.get());
  }

  Workspace work_;
  std::unique_ptr<ServerProcess> servers_[2];
  TROBinMessage message_{nullptr, "Message"};
  std::unique_ptr<TROTransportChannel> channel_;
};

TEST_P(FailOver, CallsGoOnAtTheOtherServerWhenOneStops) {
  // Without fault tolerance a stopped server's failure reaches the caller.
  EXPECT_EQ(Whoami(), 1);
  ASSERT_EQ(servers_[0]->Stop(), 0);
  EXPECT_THROW(Whoami(), std::exception);

  channel_->SetDispatchOptions(doFaultTolerant);
  EXPECT_EQ(Whoami(), 2);
  EXPECT_FALSE(channel_->ServerLocators()[0]->Enabled());  // disabled on failure
  EXPECT_EQ(channel_->CurrentLocator(), channel_->ServerLocators()[1]);
  // The channel stays with the server that answered.
  EXPECT_EQ(Whoami(), 2);
  EXPECT_EQ(servers_[1]->WaitForRequests(2).size(), 2u);

  // With both servers gone the failure comes back, bounded by the time-outs.
  ASSERT_EQ(servers_[1]->Stop(), 0);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(Whoami(), std::exception);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST_P(FailOver, LoadBalancedCallsAlternateAndSkipAStoppedServer) {
  channel_->SetDispatchOptions(doFaultTolerant | doLoadBalanced);
  std::vector<int32_t> seen;
  for (int i = 0; i < 4; ++i) seen.push_back(Whoami());
  EXPECT_EQ(seen, (std::vector<int32_t>{1, 2, 1, 2}));
  ASSERT_EQ(servers_[1]->Stop(), 0);
  seen.clear();
  for (int i = 0; i < 3; ++i) seen.push_back(Whoami());
  EXPECT_EQ(seen, (std::vector<int32_t>{1, 1, 1}));
}

INSTANTIATE_TEST_SUITE_P(Channels, FailOver, ::testing::Values('T', 'H'), LetterName);

}  // namespace
}  // namespace qorvin::e2e
