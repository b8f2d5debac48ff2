// Two qorvin-server processes on one PostgreSQL database and one module that knows both through
// IQorvinServers, over each connection letter: load balancing spreads the calls (counted in the
// servers' logs), one server stops mid-run and the calls go on through the other with every row
// written exactly once, and the stopped server, started again on its ports, comes back through
// probing.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "include/qorvin/QorvinServers.h"
#include "tests/e2e/E2eSupport.h"

namespace qorvin::e2e {
namespace {

// Probe results, as the module reports them (on its probing thread: no poster here).
struct ProbeLog {
  std::mutex m;
  std::vector<std::pair<std::string, bool>> results;  // address, enabled afterwards
  static void OnProbed(void* self, const char* address, bool, bool enabled) {
    auto* log = static_cast<ProbeLog*>(self);
    std::lock_guard<std::mutex> g(log->m);
    log->results.emplace_back(address, enabled);
  }
  // Waits (bounded) until a probe of `address` left it `enabled`.
  bool WaitFor(const std::string& address, bool enabled, int seconds = 30) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      {
        std::lock_guard<std::mutex> g(m);
        for (const auto& [a, e] : results)
          if (a == address && e == enabled) return true;
      }
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  void Clear() {
    std::lock_guard<std::mutex> g(m);
    results.clear();
  }
};

// Whether `port` on 127.0.0.1 can be bound now, for TCP and for UDP.
bool PortFree(int port) {
  for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0) ::close(fd);
    if (!bound) return false;
  }
  return true;
}

// Three ports below the range the system gives out for outgoing connections and for port 0.
// A server that stops and comes back on its ports needs them: a port from that range may be
// taken meanwhile by any outgoing connection (one to the database, say), and then the server
// cannot listen on it again.
std::vector<std::string> PortsOutsideTheEphemeralRange() {
  int low = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
  const int first = 10000, span = std::max(low - first, 1000);
  std::vector<int> ports;
  const int start = int(getpid() % span);
  for (int i = 0; i < span && ports.size() < 3; ++i) {
    const int port = first + (start + i) % span;
    if (PortFree(port)) ports.push_back(port);
  }
  if (ports.size() < 3) return {};  // the server then takes ports the system gives out
  return {"--http-port", std::to_string(ports[0]), "--tcp-port", std::to_string(ports[1]),
          "--udp-port",  std::to_string(ports[2])};
}

class TwoServers : public ::testing::TestWithParam<char> {
 protected:
  void SetUp() override {
    if (PostgresUrl().empty()) GTEST_SKIP() << "no PostgreSQL database (set QORVIN_PG_URL)";
    static std::atomic<int> counter = 0;
    schema_ = "e2e_servers_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    schemaFile_ = work_.WriteFile("schema.sql", "create schema if not exists " + schema_ +
                                                    ";\ncreate table if not exists " + schema_ +
                                                    ".calls (id integer not null);\n");
    for (int i = 0; i < 2; ++i) {
      servers_[i] = Start(i, i == 1 ? PortsOutsideTheEphemeralRange() : std::vector<std::string>{});
      ASSERT_NE(servers_[i], nullptr);
    }
    module_ = HostLibrary::Instance().Create(Letter(), servers_[0]->Port(Letter()));
    ASSERT_NE(module_, nullptr);
    ASSERT_EQ(
        module_->QueryInterface(&kQorvinIID_IQorvinServers, reinterpret_cast<void**>(&servers)), 0);
    Text error;
    ASSERT_TRUE(servers->AddServer("127.0.0.1", servers_[1]->Port(Letter()), nullptr, &error))
        << error.str();
    ASSERT_TRUE(servers->SetMode(kQorvinServersLoadBalance));
    servers->SetOnServerProbed({&ProbeLog::OnProbed, &probes_});
  }

  void TearDown() override {
    if (servers != nullptr) servers->SetProbing(false, 0);
    if (module_ != nullptr && !schema_.empty()) {
      int32_t result = 0;
      Text error;
      module_->SynchExecSQL("e2e", "", ("drop schema " + schema_ + " cascade").c_str(), &result,
                            &error);
      EXPECT_EQ(error.str(), "");
    }
    for (auto& s : servers_)
      if (s && s->Running()) {
        EXPECT_EQ(s->Stop(), 0) << s->LogText();
      }
  }

  std::unique_ptr<ServerProcess> Start(int i, const std::vector<std::string>& extra) {
    ServerOptions o;
    const std::string url = PostgresUrl();
    o.database = url + (url.find('?') == std::string::npos ? "?" : "&") +
                 "options=-csearch_path%3D" + schema_;
    o.schema = schemaFile_;
    o.logFile =
        work_.Path("server" + std::to_string(i + 1) + "-" + std::to_string(++starts_) + ".log");
    o.extra = extra;
    std::string error;
    auto server = ServerProcess::Start(o, error);
    EXPECT_NE(server, nullptr) << error;
    return server;
  }

  char Letter() const { return GetParam(); }
  std::string Address(int i) const {
    const std::string hostPort = "127.0.0.1:" + std::to_string(servers_[i]->Port(Letter()));
    return Letter() == 'H' ? "http://" + hostPort + "/Bin" : hostPort;
  }
  // Inserts row `id`; the error text ("" on success).
  std::string Insert(int id) {
    int32_t result = 0;
    Text error;
    module_->SynchExecSQL("e2e", "",
                          ("insert into calls values (" + std::to_string(id) + ")").c_str(),
                          &result, &error);
    return error.str();
  }
  // The server's SynchExecSQL lines, once it has logged at least `count` of them (a line is
  // written after the reply, so it may trail the call a little; probe lines do not count).
  static size_t Executed(const ServerProcess& server, size_t count) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      size_t n = 0;
      for (const LoggedRequest& r : server.Requests()) n += r.operation == "SynchExecSQL";
      if (n >= count || std::chrono::steady_clock::now() > until) return n;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  // "rows|distinct ids|lowest|highest" of the calls table.
  std::string RowSummary() {
    QorvinDataPacket data{};
    int32_t result = 0;
    Text error;
    module_->SynchReadData("e2e", "",
                           "select count(*), count(distinct id), min(id), max(id) from calls",
                           &data, &result, &error);
    EXPECT_EQ(error.str(), "");
    const std::string rows = Rows(FactoryOf(module_), data);
    qorvin_packet_free(&data);
    return rows;
  }

  Workspace work_;
  std::string schema_;
  std::string schemaFile_;
  int starts_ = 0;
  std::unique_ptr<ServerProcess> servers_[2];
  IRemoteDataModule* module_ = nullptr;
  IQorvinServers* servers = nullptr;
  ProbeLog probes_;
};

TEST_P(TwoServers, CallsSpreadSurviveAStopAndComeBack) {
  EXPECT_EQ(servers->ServerCount(), 2);
  // Load balancing: the calls alternate between the two servers.
  int next = 1;
  for (int i = 0; i < 6; ++i) ASSERT_EQ(Insert(next++), "");
  EXPECT_EQ(Executed(*servers_[0], 3), 3u);
  EXPECT_EQ(Executed(*servers_[1], 3), 3u);
  Text last;
  EXPECT_TRUE(servers->GetLastServer(&last));

  // The second server stops. TCP and HTTP calls that find it gone move on to the first server
  // (the connection was refused: nothing reached a server). A UDP datagram to it may have gone
  // anywhere, so UDP first waits until probing has taken the stopped server out.
  const int ports[3] = {servers_[1]->HttpPort(), servers_[1]->TcpPort(), servers_[1]->UdpPort()};
  ASSERT_EQ(servers_[1]->Stop(), 0);
  servers->SetRetryDisabledAfter(0);
  servers->SetProbing(true, 100);
  if (Letter() == 'U') {
    ASSERT_TRUE(probes_.WaitFor(Address(1), false));
  }
  for (int i = 0; i < 6; ++i) ASSERT_EQ(Insert(next++), "") << "call " << next - 1;
  bool enabled = true;
  ASSERT_TRUE(servers->GetServer(1, nullptr, &enabled));
  EXPECT_FALSE(enabled);
  EXPECT_EQ(Executed(*servers_[0], 9), 9u);

  // Every call ran exactly once.
  EXPECT_EQ(RowSummary(), "12|12|1|12");

  // The stopped server comes back on its ports; probing enables it and calls reach it again.
  probes_.Clear();
  servers_[1] = Start(1, {"--http-port", std::to_string(ports[0]), "--tcp-port",
                          std::to_string(ports[1]), "--udp-port", std::to_string(ports[2])});
  ASSERT_NE(servers_[1], nullptr);
  ASSERT_TRUE(probes_.WaitFor(Address(1), true));
  for (int i = 0; i < 4; ++i) ASSERT_EQ(Insert(next++), "");
  EXPECT_GE(Executed(*servers_[1], 1), 1u);
  EXPECT_EQ(RowSummary(), "16|16|1|16");
}

INSTANTIATE_TEST_SUITE_P(Letters, TwoServers, ::testing::Values('T', 'B', 'U', 'H'), LetterName);

}  // namespace
}  // namespace qorvin::e2e
