// Failures as a host sees them, over each connection letter: the database's error texts, and a
// server that dies in the middle of a reply.
#include <signal.h>

#include <chrono>

#include "tests/e2e/CuttingProxy.h"
#include "tests/e2e/E2eSupport.h"

namespace qorvin::e2e {
namespace {

constexpr char kServerPrefix[] = "An exception was raised on the server: ";

class DatabaseErrors : public ServerTest {};

TEST_P(DatabaseErrors, ReachTheHostAsTheDatabasesText) {
  int32_t result = 7;
  Text error;
  qorvin_text_assign(&error.t, "host's own text", 15);
  module_->SynchExecSQL("u1", "", "select * from NoSuchTable", &result, &error);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(error.str().rfind(kServerPrefix, 0), 0u) << error.str();
  const std::string missing =
      Postgres() ? "relation \"nosuchtable\" does not exist" : "no such table: NoSuchTable";
  EXPECT_NE(error.str().find(missing), std::string::npos) << error.str();
  Text last;
  module_->GetLastErrorText(&last);
  EXPECT_EQ(last.str(), error.str());
  EXPECT_EQ(log_.events, (std::vector<std::string>{"error " + error.str() + "|", "status 0 0"}));

  // A raised error keeps its text; a read leaves the host's packet alone.
  QorvinDataPacket data{};
  log_.events.clear();
  module_->SynchReadData("u1", "", "RAISERROR('Credit limit exceeded', 16, 1)", &data, &result,
                         &error);
  EXPECT_EQ(error.str(), std::string(kServerPrefix) + "Credit limit exceeded");
  EXPECT_EQ(data.kind, kQorvinPacketEmpty);
  EXPECT_EQ(log_.events.back(), "status 0 0");

  // A missing procedure fails the upload before any row runs.
  QorvinDataPacket rows = MakePacket(factory_, {"Id:3:0"}, {{"1"}});
  int32_t successes = 5;
  module_->ExecProcInsertTable("u1", "", &rows, "NoSuchProc", &data, &successes, 0, &result,
                               &error);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(error.str().rfind(kServerPrefix, 0), 0u) << error.str();
  EXPECT_NE(error.str().find("NoSuchProc"), std::string::npos) << error.str();
  qorvin_packet_free(&rows);

  // The failed statements changed nothing, and the module goes on working.
  module_->SynchExecSQL("u1", "",
                        "SET XACT_ABORT ON\rupdate Customers set City = 'Oslo' where Id = 1\r"
                        "select 1 / NoSuchColumn",
                        &result, &error);
  EXPECT_NE(error.str(), "");
  EXPECT_EQ(Read("select City from Customers where Id = 1"), "London");
  module_->GetLastErrorText(&last);
  EXPECT_EQ(last.str(), "");
}

INSTANTIATE_TEST_SUITE_P(Letters, DatabaseErrors, ::testing::ValuesIn(OnSqliteAndPostgres()),
                         TargetName);

class ServerDeath : public ServerTest {};

// The server is killed (SIGKILL) while its answer to a large read is on the way: the proxy lets
// the first part through, kills the server and drops the connection (UDP: sends half the
// datagram). The host gets an error text at once, its arguments are left alone, and calls to
// the dead server fail quickly too.
TEST_P(ServerDeath, AServerKilledInTheMiddleOfAReplyGivesACleanError) {
  // 400 rows of random text: the reply stays large after any compression.
  Exec(
      "create table Digits (D int)\r"
      "insert into Digits values (0), (1), (2), (3), (4), (5), (6), (7), (8), (9)\r"
      "create table Big (Id int primary key, T varchar(200))\r"
      "insert into Big (Id, T) select a.D * 100 + b.D * 10 + c.D + 1, hex(randomblob(60)) "
      "from Digits a, Digits b, Digits c where a.D < 4");
  ASSERT_EQ(Read("select count(*) from Big"), "400");

  constexpr size_t kCut = 3000;
  std::unique_ptr<CuttingTcpProxy> tcp;
  std::unique_ptr<CuttingUdpProxy> udp;
  const auto kill = [this] { server_->Kill(); };
  if (Letter() == 'U') {
    udp = std::make_unique<CuttingUdpProxy>(server_->UdpPort(), kill);
  } else {
    tcp = std::make_unique<CuttingTcpProxy>(server_->Port(Letter()), kCut, kill);
  }
  std::string failure;
  IRemoteDataModule* viaProxy =
      HostLibrary::Instance().Create(Letter(), tcp ? tcp->Port() : udp->Port(), &failure);
  ASSERT_NE(viaProxy, nullptr) << failure;
  CallbackLog events;
  events.Install(viaProxy);
  // Unarmed, the proxy passes a whole answer: the read is big enough to be cut in the middle.
  QorvinDataPacket data{};
  int32_t result = 0;
  Text error;
  viaProxy->SynchReadData("u1", "", "select Id, T from Big order by Id", &data, &result, &error);
  ASSERT_EQ(error.str(), "");
  // Ids 1..400 take 1092 digits, each row adds "|" and 120 hex digits, 399 ";" join the rows.
  ASSERT_EQ(Rows(factory_, data).size(), 1092u + 400 * 121 + 399);
  qorvin_packet_free(&data);
  const auto bigRead = server_->WaitForRequests(3).back();
  EXPECT_EQ(bigRead.operation, "SynchReadData");
  EXPECT_GT(bigRead.bytesOut, long(3 * kCut));

  if (tcp) tcp->Arm();
  if (udp) udp->Arm();
  events.events.clear();
  result = 9;
  const auto started = std::chrono::steady_clock::now();
  viaProxy->SynchReadData("u1", "", "select Id, T from Big order by Id", &data, &result, &error);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_TRUE(tcp ? tcp->HasCut() : udp->HasCut());
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_EQ(result, 0);
  EXPECT_NE(error.str(), "");
  EXPECT_EQ(error.str().find(kServerPrefix), std::string::npos) << error.str();
  EXPECT_EQ(data.kind, kQorvinPacketEmpty);
  EXPECT_EQ(events.events, (std::vector<std::string>{"error " + error.str() + "|", "status 0 0"}));
  EXPECT_EQ(server_->Stop(), 128 + SIGKILL);

  // The server is gone: the next call fails too, within the channel's bounds (over UDP at most
  // its retries times its one-second wait), and GetDateTime hands back the local clock.
  const auto again = std::chrono::steady_clock::now();
  double when = 0;
  EXPECT_FALSE(module_->GetDateTime(&when));
  const auto waited = std::chrono::steady_clock::now() - again;
  EXPECT_LT(waited, std::chrono::seconds(Letter() == 'U' ? 10 : 5));
  EXPECT_NEAR(when, LocalNowDays(), 5.0 / 86400);
  Text last;
  module_->GetLastErrorText(&last);
  EXPECT_NE(last.str(), "");
}

INSTANTIATE_TEST_SUITE_P(Letters, ServerDeath, ::testing::ValuesIn(OnSqlite()), TargetName);

}  // namespace
}  // namespace qorvin::e2e
