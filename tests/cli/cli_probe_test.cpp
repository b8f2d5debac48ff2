// qorvin probe (each server probed through the client library, over its own transport) and
// --keep-going.
#include <gtest/gtest.h>

#include <regex>

#include "tests/cli/CliHarness.h"

namespace qorvin::testing {
namespace {

std::string Url(char letter, int port) {
  return std::string(1, char(std::tolower(letter))) + "://127.0.0.1:" + std::to_string(port);
}

// A port on which nothing listens (TCP).
int ClosedPort() {
  TestTcpServer gone([](int, const std::atomic<bool>&) {});
  return gone.Port();
}

TEST(CliProbe, EveryTransportAnsweringPROBEDOKSucceedsWithOneLineEach) {
  ScriptedServer server([](const std::string& request) {
    return request == "PROBE" ? std::string("PROBEDOK") : std::string("not a probe");
  });
  const std::vector<std::string> urls = {Url('H', server.Port('H')), Url('T', server.Port('T')),
                                         Url('B', server.Port('T')), Url('U', server.Port('U'))};
  ProgramRun run = Qorvin(Args({"probe"}, urls));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const std::regex line(R"(([htbu]://127\.0\.0\.1:\d+) PROBEDOK \d+\.\d\d ms)");
  std::vector<std::string> lines;
  std::istringstream out(run.out);
  for (std::string l; std::getline(out, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), urls.size()) << run.out;
  for (size_t i = 0; i < urls.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, line)) << lines[i];
    EXPECT_EQ(m[1], urls[i]);  // in the order given
  }
  // Exactly the five bytes went out on each transport.
  for (const std::string& r : server.Requests()) EXPECT_EQ(r, "PROBE");
  EXPECT_EQ(server.Requests().size(), urls.size());
}

TEST(CliProbe, AnyServerNotAnsweringPROBEDOKFailsTheProbe) {
  ScriptedServer wrong([](const std::string&) { return std::string("PROBEDOK!"); });
  ScriptedServer silent([](const std::string&) { return kNoAnswer; });
  const std::string closed = Url('T', ClosedPort());
  // Servers that answer get a generous time-out, so that a busy machine cannot turn their
  // answers into time-outs; only the silent server is probed with the shortest one.
  ProgramRun run = Qorvin({"--format", "json", "probe", Url('T', wrong.Port('T')), closed,
                           Url('H', wrong.Port('H')), "--timeout", "120"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "qorvin: probe: 3 of 3 servers did not answer PROBEDOK\n");
  std::vector<std::string> lines;
  std::istringstream out(run.out);
  for (std::string l; std::getline(out, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 3u) << run.out;
  EXPECT_NE(lines[0].find("\"ok\":false"), std::string::npos);
  EXPECT_NE(lines[0].find("unexpected answer \\\"PROBEDOK!\\\" (9 bytes)"), std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("\"server\":\"" + closed + "\""), std::string::npos);
  EXPECT_NE(lines[1].find("Connection refused"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("unexpected answer"), std::string::npos) << lines[2];

  run = Qorvin({"--format", "json", "probe", Url('U', silent.Port('U')), "--timeout", "1"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "qorvin: probe: 1 of 1 server did not answer PROBEDOK\n");
  EXPECT_NE(run.out.find("\"ok\":false"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Time out reading server response"), std::string::npos) << run.out;

  // The probe goes through the client library: one that cannot load is reported.
  run = Qorvin({"--library", "/nonexistent/lib.so", "probe", Url('T', wrong.Port('T'))});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("cannot load the client library"), std::string::npos) << run.err;

  // One of two down is enough to fail.
  ScriptedServer good([](const std::string&) { return std::string("PROBEDOK"); });
  run = Qorvin({"--format", "csv", "probe", Url('T', good.Port('T')), closed});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out.substr(0, 20), "server,ok,ms,error\r\n");
  EXPECT_NE(run.out.find(Url('T', good.Port('T')) + ",true,"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(closed + ",false,"), std::string::npos) << run.out;
}

TEST(CliProbe, WithoutURLsTheConnectServerIsProbedAndUsageIsChecked) {
  ScriptedServer server([](const std::string&) { return std::string("PROBEDOK"); });
  ProgramRun run = Qorvin({"probe", "--connect", Url('U', server.Port('U'))});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.find(Url('U', server.Port('U')) + " PROBEDOK "), 0u) << run.out;

  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"probe"}, "probe: name the servers"},
      {{"probe", "x://127.0.0.1:1"}, "unknown connection type"},
      {{"probe", "t://127.0.0.1:1", "--timeout", "0"}, "--timeout must lie between 1 and 3600"},
      {{"probe", "t://127.0.0.1:1", "--timeout"}, "--timeout needs a value"},
      {{"--connect", "t://127.0.0.1:1", "datetime", "--timeout", "3"},
       "datetime: unknown option '--timeout'"},
  };
  for (const Case& c : cases) {
    ProgramRun bad = Qorvin(c.args);
    EXPECT_EQ(bad.status, 2) << c.args[0] << " " << bad.err;
    EXPECT_NE(bad.err.find(c.message), std::string::npos) << bad.err;
  }
  EXPECT_TRUE(server.Requests().size() == 1);
}

TEST(CliKeepGoing, LaterSubcommandsRunAfterAFailureAndTheStatusIsOne) {
  CliServer server;
  std::atomic<int> calls{0};
  server.Respond([&calls](const std::string& request) {
    if (request == "PROBE") return std::string("PROBEDOK");
    return ++calls == 1 ? ExceptionReply("EDatabaseError", "no such table: item")
                        : Reply().Int(7).Bytes();
  });
  const std::string probe = server.Connect()[1];
  ProgramRun run =
      Qorvin(Args(server.Connect(), {"--keep-going", "exec-sql", "select * from item", "--",
                                     "exec-sql", "update t set a = 1", "--", "probe", probe}));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "qorvin: exec-sql: An exception was raised on the server: no such table: item\n");
  EXPECT_NE(run.out.find("[2] exec-sql\nresult: 7\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("[3] probe\n" + probe + " PROBEDOK "), std::string::npos) << run.out;
  EXPECT_EQ(server.Requests().size(), 3u);

  // Without it the run stops at the failure.
  calls = 0;
  run = Qorvin(Args(server.Connect(), {"exec-sql", "x", "--", "exec-sql", "y"}));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out.find("[2]"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace qorvin::testing
