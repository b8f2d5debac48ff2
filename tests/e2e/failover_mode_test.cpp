// Fail-over mode without load balancing, as a host sets it up through IQorvinServers: the
// module's own server is broken (T: accepts each connection and closes it; U: silent) and a
// second, real qorvin-server is healthy. Once probing has disabled the broken one, every call
// starts on the healthy server and succeeds, and the host is told why the server changed.
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "include/qorvin/QorvinServers.h"
#include "tests/e2e/E2eSupport.h"
#include "tests/socket/TestServers.h"

namespace qorvin::e2e {
namespace {

struct Log {
  std::mutex m;
  std::vector<std::string> probedDisabled;  // addresses a probe left disabled
  std::vector<std::string> causes;          // of OnServerAssigned
  static void OnProbed(void* self, const char* address, bool, bool enabled) {
    auto* log = static_cast<Log*>(self);
    std::lock_guard<std::mutex> g(log->m);
    if (!enabled) log->probedDisabled.push_back(address);
  }
  static void OnAssigned(void* self, const char*, const char* cause) {
    auto* log = static_cast<Log*>(self);
    std::lock_guard<std::mutex> g(log->m);
    log->causes.push_back(cause);
  }
  bool WaitDisabled(const std::string& address) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < until) {
      {
        std::lock_guard<std::mutex> g(m);
        for (const std::string& a : probedDisabled)
          if (a == address) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
};

class FailOverMode : public ::testing::TestWithParam<char> {};

TEST_P(FailOverMode, CallsLeaveTheServerProbingDisabled) {
  const char letter = GetParam();
  // The broken server: T closes every connection it accepts, U never answers.
  testing::TestTcpServer closing([](int, const std::atomic<bool>&) {});
  testing::TestUdpServer silent([](testing::TestUdpServer&, const auto&) {});
  const int brokenPort = letter == 'U' ? silent.Port() : closing.Port();

  Workspace work;
  ServerOptions o;
  o.logFile = work.Path("server.log");
  std::string error;
  auto healthy = ServerProcess::Start(o, error);
  ASSERT_NE(healthy, nullptr) << error;

  IRemoteDataModule* module = HostLibrary::Instance().Create(letter, brokenPort);
  ASSERT_NE(module, nullptr);
  IQorvinServers* servers = nullptr;
  ASSERT_EQ(module->QueryInterface(&kQorvinIID_IQorvinServers, reinterpret_cast<void**>(&servers)),
            0);
  Text text;
  ASSERT_TRUE(servers->AddServer("127.0.0.1", healthy->Port(letter), nullptr, &text)) << text.str();
  ASSERT_TRUE(servers->SetMode(kQorvinServersFailOver));
  Log log;
  servers->SetOnServerProbed({&Log::OnProbed, &log});
  servers->SetOnServerAssigned({&Log::OnAssigned, &log});
  servers->SetProbing(true, 200);
  const std::string broken = "127.0.0.1:" + std::to_string(brokenPort);
  ASSERT_TRUE(log.WaitDisabled(broken));

  for (int i = 0; i < 3; ++i) {
    int32_t result = 0;
    Text callError;
    module->SynchExecSQL("e2e", "", "select 1", &result, &callError);
    EXPECT_EQ(callError.str(), "") << "call " << i;
  }
  servers->SetProbing(false, 0);
  Text last;
  EXPECT_TRUE(servers->GetLastServer(&last));
  EXPECT_EQ(last.str(), "127.0.0.1:" + std::to_string(healthy->Port(letter)));
  {
    std::lock_guard<std::mutex> g(log.m);
    ASSERT_FALSE(log.causes.empty());
    EXPECT_EQ(log.causes[0], "The server " + broken + " is disabled.");
  }
  servers->SetOnServerProbed({});
  servers->SetOnServerAssigned({});
  EXPECT_EQ(healthy->Stop(), 0) << healthy->LogText();
}

INSTANTIATE_TEST_SUITE_P(Letters, FailOverMode, ::testing::Values('T', 'U'));

}  // namespace
}  // namespace qorvin::e2e
