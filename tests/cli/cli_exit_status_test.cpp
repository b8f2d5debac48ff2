// Exit statuses through the built program: a call that reaches no server exits with 2 and names
// the server's host and port; an error the server reports (SQL) exits with 1.
#include <gtest/gtest.h>

#include "tests/cli/CliHarness.h"
#include "tests/e2e/ServerProcess.h"
#include "tests/support/TempPath.h"

namespace qorvin::testing {
namespace {

// A loopback port that nothing listens on: one the system gave a listener, which then closed.
int ClosedPort() {
  TestTcpServer gone([](int, const std::atomic<bool>&) {});
  return gone.Port();
}

TEST(CliExitStatus, AServerThatCannotBeReachedExitsWithTwoAndIsNamed) {
  const std::string port = std::to_string(ClosedPort());
  for (const char* scheme : {"t", "b", "h"}) {
    const std::string url = std::string(scheme) + "://127.0.0.1:" + port;
    ProgramRun run = Qorvin({"--connect", url, "--connect-timeout", "10", "exec-sql", "select 1"});
    EXPECT_EQ(run.status, 2) << url << ": " << run.err;
    EXPECT_EQ(
        run.err.rfind("qorvin: exec-sql: cannot reach the server 127.0.0.1:" + port + ": ", 0), 0u)
        << run.err;
    EXPECT_EQ(run.out, "") << url;
  }
  // A name that does not resolve (the .invalid domain never does), over UDP too.
  for (const char* scheme : {"t", "u"}) {
    const std::string url = std::string(scheme) + "://no-such-host.invalid:8090";
    ProgramRun run = Qorvin({"--connect", url, "datetime"});
    EXPECT_EQ(run.status, 2) << url << ": " << run.err;
    EXPECT_NE(run.err.find("cannot reach the server no-such-host.invalid:8090: "),
              std::string::npos)
        << run.err;
  }
  // Every server of a list is named; --keep-going runs on and still ends with 2.
  ProgramRun run = Qorvin({"--connect", "t://127.0.0.1:" + port + ",t://[::1]:" + port,
                           "--keep-going", "exec-sql", "a", "--", "exec-sql", "b"});
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_NE(run.err.find("cannot reach the server 127.0.0.1:" + port + ", [::1]:" + port),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("qorvin: exec-sql: ", 1), std::string::npos) << run.err;
}

TEST(CliExitStatus, AnSqlErrorOfTheServerExitsWithOne) {
  std::string error;
  e2e::ServerOptions options;
  options.logFile = qorvin::test::TempPath("exit-status-server.log");
  std::unique_ptr<e2e::ServerProcess> server = e2e::ServerProcess::Start(options, error);
  ASSERT_TRUE(server) << error;
  for (const char* scheme : {"t", "h"}) {
    const std::string url =
        std::string(scheme) + "://127.0.0.1:" + std::to_string(server->Port(char(scheme[0] - 32)));
    ProgramRun run = Qorvin({"--connect", url, "read", "select * from no_such_table"});
    EXPECT_EQ(run.status, 1) << url << ": " << run.err;
    EXPECT_NE(run.err.find("no_such_table"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("cannot reach"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    // A later step's SQL error, after one that succeeded.
    run = Qorvin({"--connect", url, "--keep-going", "exec-sql", "select 1", "--", "read",
                  "select * from no_such_table"});
    EXPECT_EQ(run.status, 1) << run.err;
  }
}

}  // namespace
}  // namespace qorvin::testing
