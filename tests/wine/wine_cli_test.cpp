// qorvin.exe, the Windows build of the command-line host with QorvinClient.dll, under Wine
// against qorvin-server running natively on this machine, over each connection letter: every
// subcommand, the failures a user meets (a refused port, an exception raised on the server, a
// server killed in the middle of a reply) and 8-bit text in the Windows-1252 and GBK code pages,
// checked from the Linux side as well. Each run of the program does as much as it can, since
// starting a Windows program costs far more than a call.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <regex>

#include "tests/e2e/CuttingProxy.h"
#include "tests/socket/TestServers.h"
#include "tests/wine/WineCli.h"

namespace qorvin::wine {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kServerPrefix[] = "An exception was raised on the server: ";

std::string Describe(const ProgramRun& run) {
  return "exit " + std::to_string(run.status) + (run.timedOut ? " (timed out)" : "") +
         "\n--- stdout\n" + run.out + "\n--- stderr\n" + run.err;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A port on which nothing listens (bound, then closed) for the letter's protocol.
int ClosedPort(char letter) {
  if (letter == 'U') {
    qorvin::testing::TestUdpServer probe([](auto&, const auto&) {});
    return probe.Port();
  }
  qorvin::testing::TestTcpServer probe([](int, const std::atomic<bool>&) {});
  return probe.Port();
}

class WindowsCli : public ::testing::TestWithParam<char> {
 public:
  char Letter() const { return GetParam(); }
  e2e::ServerProcess& Server() { return SharedServer(Letter()); }
  std::vector<std::string> Connect() {
    return {"--connect", Url(Letter(), Server().Port(Letter()))};
  }
  // The rows of a query as the Linux program shows them (CSV, UTF-8), to see what the server
  // holds.
  std::string RowsSeenFromLinux(const std::string& sql) {
    const ProgramRun run =
        LinuxQorvin({"--connect", Url('T', Server().TcpPort()), "--format", "csv", "read", sql});
    EXPECT_EQ(run.status, 0) << Describe(run);
    return run.out;
  }
};

TEST_P(WindowsCli, EverySubcommandAnswersWithTheServersData) {
  const std::string customers = WriteWorkFile(std::string("customers-") + Letter() + ".csv",
                                              "Id,Name,City\r\n11,Zoe,Oslo\r\n12,Yan,Pisa\r\n");
  const std::string orders =
      WriteWorkFile(std::string("orders-") + Letter() + ".csv", "Id,Amount\r\n201,5.5\r\n");
  // One connection for all the calls of the run (HTTP: kept WinInet handles).
  std::vector<std::string> args = Connect();
  args.push_back("--keep");
  const size_t loggedBefore = Server().Requests().size();
  for (std::vector<std::string> call : std::vector<std::vector<std::string>>{
           {"exec-sql", "update Customers set City = 'Rome' where Id = 2"},
           {"exec-proc", "exec AddOrder 101, 2, 9.5"},
           {"exec-proc-output", "exec CustomerCount"},
           {"read", "select Id, Name, City from Customers where Id < 10 order by Id"},
           {"read-dataset", "select Id, Amount from Orders where Id in (100, 101) order by Id"},
           {"read-two", "select Id from Customers where Id = 1",
            "select Id from Orders where Id = 100"},
           {"exec-proc-read-two", "exec OrdersOf 1", "exec OrdersOf 2"},
           {"batch-build", "select 102 as Id, 1 as CustomerId, 3.5 as Amount", "AddOrder"},
           {"insert-table", "AddCustomer", customers},
           {"insert-table-dataset", "AddCustomer", customers},
           {"exec-sql-insert", "select 12", "Orders", "CustomerId", orders},
           {"datetime"},
           {"probe"}}) {
    if (args.back() != "--keep") args.push_back("--");
    args.insert(args.end(), call.begin(), call.end());
  }
  const ProgramRun run = WindowsQorvin(args, kPlain);
  ASSERT_EQ(run.status, 0) << Describe(run);
  EXPECT_EQ(run.err, "");
  const std::string& out = run.out;
  // Thirteen numbered sections, in order.
  size_t at = 0;
  for (int i = 1; i <= 13; ++i) {
    at = out.find("[" + std::to_string(i) + "] ", at);
    ASSERT_NE(at, std::string::npos) << "section " << i << "\n" << out;
  }
  EXPECT_TRUE(Contains(out, "[3] exec-proc-output\nresult: ")) << out;
  EXPECT_TRUE(Contains(out,
                       "[4] read\n"
                       " Id | Name          | City\n"
                       "----+---------------+--------\n"
                       "  1 | Ada Lovelace  | London\n"
                       "  2 | Blaise Pascal | Rome\n"
                       "(2 rows)\n"
                       "result: 1\n"))
      << out;
  EXPECT_TRUE(Contains(out,
                       "  Id | Amount\n"
                       "-----+--------\n"
                       " 100 | 250.75\n"
                       " 101 |    9.5\n"
                       "(2 rows)\n"))
      << out;
  EXPECT_TRUE(Contains(out, "first:\n Id\n----\n  1\n(1 row)\nsecond:\n  Id\n-----\n 100\n(1 row)"))
      << out;
  EXPECT_TRUE(Contains(out, " 100 | 2024-03-01 10:30:00 | 250.75\n")) << out;
  // The two uploads: the first adds both customers, the second finds them there already.
  EXPECT_TRUE(Contains(out,
                       "     1 |           1 |\n"
                       "     2 |           1 |\n"
                       "(2 rows)\n"
                       "result: 1\n"
                       "success count: 0\n"))
      << out;
  EXPECT_TRUE(Contains(out, "result: 1\nsuccess count: 2\n")) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex("result: true\nserver time: 20[0-9-]+ [0-9:.]+\n")))
      << out;
  EXPECT_TRUE(std::regex_search(
      out, std::regex(Url(Letter(), Server().Port(Letter())) + " PROBEDOK [0-9.]+ ms\n")))
      << out;

  // The calls of the module arrived in order, over one connection (the log's lines of the
  // calls with parameters: all but GetDateTime).
  const std::vector<e2e::LoggedRequest> logged = Server().WaitForRequests(loggedBefore + 11);
  ASSERT_GE(logged.size(), loggedBefore + 11);
  // (The record-set forms are the same remote operations as the packet forms.)
  std::vector<std::string> operations;
  for (size_t i = loggedBefore; i < logged.size(); ++i) {
    const e2e::LoggedRequest& r = logged[i];
    operations.push_back(r.operation);
    EXPECT_TRUE(r.ok) << i;
    EXPECT_EQ(r.transport, Letter() == 'H' ? "HTTP" : Letter() == 'U' ? "UDP" : "TCP");
    if (Letter() != 'U') {
      EXPECT_EQ(r.peerPort, logged[loggedBefore].peerPort) << i;
    }
  }
  EXPECT_EQ(operations, (std::vector<std::string>{
                            "SynchExecSQL", "SynchExecProc", "SynchExecProcOutput", "SynchReadData",
                            "SynchReadData", "SynchReadTwoData", "SynchExecProcReadTwoData",
                            "SynchExecProcBatchBuild", "ExecProcInsertTable", "ExecProcInsertTable",
                            "SynchExecSQLInsert"}));

  // What the calls changed is in the database.
  EXPECT_EQ(
      RowsSeenFromLinux("select Id, CustomerId, Amount from Orders where Id > 100 order by Id"),
      "Id,CustomerId,Amount\r\n101,2,9.5\r\n102,1,3.5\r\n201,12,5.5\r\n");
  EXPECT_EQ(
      RowsSeenFromLinux("select Id, Name, City from Customers where Id in (11, 12) order by Id"),
      "Id,Name,City\r\n11,Zoe,Oslo\r\n12,Yan,Pisa\r\n");
}

TEST_P(WindowsCli, ServerExceptionsReachTheUserAsTheServersText) {
  std::vector<std::string> args = Connect();
  args.insert(args.end(),
              {"--keep-going", "--format", "json", "exec-sql", "select * from NoSuchTable", "--",
               "read", "RAISERROR('Credit limit exceeded', 16, 1)", "--", "read",
               "select Name from Customers where Id = 1"});
  const ProgramRun run = WindowsQorvin(args, kPlain);
  EXPECT_EQ(run.status, 1) << Describe(run);
  EXPECT_TRUE(Contains(run.err, std::string("qorvin: exec-sql: ") + kServerPrefix)) << run.err;
  EXPECT_TRUE(Contains(run.err, "no such table: NoSuchTable")) << run.err;
  EXPECT_TRUE(
      Contains(run.err, std::string("qorvin: read: ") + kServerPrefix + "Credit limit exceeded\n"))
      << run.err;
  // The module goes on working after the failures.
  EXPECT_TRUE(Contains(run.out, "Ada Lovelace")) << run.out;
}

TEST_P(WindowsCli, ARefusedPortFailsEveryCallWithAReason) {
  const std::string url = Url(Letter(), ClosedPort(Letter()));
  const auto started = Clock::now();
  const ProgramRun run = WindowsQorvin({"--connect", url, "--keep-going", "datetime", "--", "read",
                                        "select 1", "--", "probe", "--timeout", "3"},
                                       kPlain);
  const auto took = Clock::now() - started;
  // No call reached a server: status 2. Over UDP a datagram went out and got no answer, so the
  // server may have run the call: status 1.
  EXPECT_EQ(run.status, Letter() == 'U' ? 1 : 2) << Describe(run);
  // The clock shown is the local one, said to be so; the read shows no rows.
  EXPECT_TRUE(Contains(run.out, "result: false\nlocal time: ")) << run.out;
  EXPECT_TRUE(Contains(run.err, "qorvin: datetime: ")) << run.err;
  EXPECT_TRUE(Contains(run.err, "qorvin: read: ")) << run.err;
  EXPECT_TRUE(Contains(run.out, url + " failed ")) << run.out;
  EXPECT_TRUE(Contains(run.err, "did not answer PROBEDOK")) << run.err;
  if (Letter() == 'H') {
    EXPECT_TRUE(Contains(run.err, "The attempt to connect to the server failed.")) << run.err;
  }
  // Every wait is bounded: TCP and HTTP are refused at once; UDP waits for answers that do not
  // come, a few seconds a call.
  EXPECT_LT(took, std::chrono::seconds(60));
}

TEST_P(WindowsCli, AServerKilledInTheMiddleOfAReplyGivesACleanError) {
  std::unique_ptr<e2e::ServerProcess> server =
      StartSampleServer(std::string("killed-") + Letter() + ".log");
  ASSERT_NE(server, nullptr);
  // 400 rows of random text: the reply stays large after any compression.
  const ProgramRun made = LinuxQorvin(
      {"--connect", Url('T', server->TcpPort()), "exec-sql",
       "create table Digits (D int)\r"
       "insert into Digits values (0), (1), (2), (3), (4), (5), (6), (7), (8), (9)\r"
       "create table Big (Id int primary key, T varchar(200))\r"
       "insert into Big (Id, T) select a.D * 100 + b.D * 10 + c.D + 1, hex(randomblob(60)) "
       "from Digits a, Digits b, Digits c where a.D < 4"});
  ASSERT_EQ(made.status, 0) << Describe(made);

  std::unique_ptr<e2e::CuttingTcpProxy> tcp;
  std::unique_ptr<e2e::CuttingUdpProxy> udp;
  e2e::ServerProcess* const target = server.get();
  const auto kill = [target] { target->Kill(); };
  if (Letter() == 'U') {
    udp = std::make_unique<e2e::CuttingUdpProxy>(server->UdpPort(), kill);
    udp->Arm();
  } else {
    tcp = std::make_unique<e2e::CuttingTcpProxy>(server->Port(Letter()), 3000, kill);
    tcp->Arm();
  }
  const std::string url = Url(Letter(), tcp ? tcp->Port() : udp->Port());
  const auto started = Clock::now();
  const ProgramRun run = WindowsQorvin({"--connect", url, "--keep-going", "read",
                                        "select Id, T from Big order by Id", "--", "datetime"},
                                       kPlain);
  const auto took = Clock::now() - started;
  EXPECT_TRUE(tcp ? tcp->HasCut() : udp->HasCut());
  // The cut read fails with 1. Over HTTP the next call opens a connection of its own, which the
  // proxy accepts and closes at once, finding the server dead: whether the request got out
  // before the close (status 1) or not (nothing reached, status 2) is the two processes' race.
  if (Letter() == 'H') {
    EXPECT_TRUE(run.status == 1 || run.status == 2) << Describe(run);
  } else {
    EXPECT_EQ(run.status, 1) << Describe(run);
  }
  EXPECT_TRUE(Contains(run.err, "qorvin: read: ")) << run.err;
  EXPECT_FALSE(Contains(run.err, kServerPrefix)) << run.err;
  // No row of the cut reply is shown as if it had arrived.
  EXPECT_FALSE(Contains(run.out, "(400 rows)")) << run.out;
  // The dead server fails the next call too, and the local clock is said to be local.
  EXPECT_TRUE(Contains(run.out, "result: false\nlocal time: ")) << run.out;
  EXPECT_LT(took, std::chrono::seconds(60));
  EXPECT_EQ(server->Stop(), 128 + SIGKILL);
}

// Text typed in the user's code page reaches the server as the same characters and comes back
// in that code page: through the command line, through an upload file and through the output;
// text stored from Linux in UTF-8 comes out in the code page too.
void ExpectCodePageRoundTrip(WindowsCli& test, const CodePage& page, const std::string& typedUtf8,
                             const std::string& uploadedUtf8, int firstId) {
  const std::string typed = FromUtf8(typedUtf8, page.charset);
  const std::string uploaded = FromUtf8(uploadedUtf8, page.charset);
  ASSERT_NE(typed, typedUtf8);  // the code page's own bytes, not UTF-8
  const std::string typedId = std::to_string(firstId);
  const std::string uploadedId = std::to_string(firstId + 1);
  const std::string linuxId = std::to_string(firstId + 2);
  const std::string select = "select Name from Customers where Id in (" + typedId + ", " +
                             uploadedId + ", " + linuxId + ") order by Id";
  const ProgramRun stored = LinuxQorvin(
      {"--connect", Url('T', test.Server().TcpPort()), "exec-sql",
       "insert into Customers (Id, Name) values (" + linuxId + ", '" + typedUtf8 + "')"});
  ASSERT_EQ(stored.status, 0) << Describe(stored);

  const std::string file =
      WriteWorkFile(std::string("upload-") + page.charset + "-" + test.Letter() + ".csv",
                    "Id,Name\r\n" + uploadedId + "," + uploaded + "\r\n");
  std::vector<std::string> args = test.Connect();
  args.insert(args.end(),
              {"--format", "csv", "exec-sql",
               "insert into Customers (Id, Name) values (" + typedId + ", '" + typed + "')", "--",
               "insert-table", "AddCustomer", file, "--", "read", select});
  const ProgramRun run = WindowsQorvin(args, page);
  ASSERT_EQ(run.status, 0) << Describe(run);
  EXPECT_TRUE(Contains(run.out, "Name\r\n" + typed + "\r\n" + uploaded + "\r\n" + typed + "\r\n"))
      << run.out;
  // Stored as the same characters: the Linux program reads them back in UTF-8.
  EXPECT_EQ(test.RowsSeenFromLinux(select),
            "Name\r\n" + typedUtf8 + "\r\n" + uploadedUtf8 + "\r\n" + typedUtf8 + "\r\n");
}

TEST_P(WindowsCli, Windows1252TextRoundTrips) {
  // é, û and Å are in Latin-1; the dash and the euro sign only in Windows-1252.
  ExpectCodePageRoundTrip(*this, kWindows1252, "Crème brûlée – 5 €", "Zoë Ångström", 31);
}

TEST_P(WindowsCli, GbkTextRoundTrips) {
  ExpectCodePageRoundTrip(*this, kGbk, "北京市 – 东方明珠", "张伟", 41);
}

INSTANTIATE_TEST_SUITE_P(Letters, WindowsCli, ::testing::Values('H', 'T', 'B', 'U'),
                         [](const ::testing::TestParamInfo<char>& info) {
                           return std::string(1, info.param);
                         });

}  // namespace
}  // namespace qorvin::wine
