// Wrong usage (exit status 2, nothing sent), help texts, operation errors (exit status 1 with
// the error text on standard error), and how arguments are told apart from options.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "tests/cli/CliHarness.h"
#include "tests/support/TempPath.h"

namespace qorvin::testing {
namespace {

// A file in the test's temporary folder, removed with the object.
class TempFile {
 public:
  TempFile(const std::string& name, const std::string& content)
      : path_(qorvin::test::TempPath(name)) {
    std::ofstream(path_, std::ios::binary) << content;
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

TEST(CliUsage, WrongUsageExitsWithTwoAndSendsNothing) {
  CliServer server;
  server.Answer(Reply().Int(1).Bytes());
  const std::string port = std::to_string(server.Server().Port('T'));
  const std::string connect = "t://127.0.0.1:" + port;
  const TempFile unclosed("unclosed.csv", "id,name\n1,\"open\n");
  const TempFile ragged("ragged.csv", "id,name\n1,a\n2\n");
  const TempFile badJson("bad.json", "[{\"id\": 1,}]");
  const TempFile badValue("value.csv", "id:integer\n1\nabc\n");
  const TempFile badType("type.csv", "id:integr\n1\n");
  const TempFile tooLong("long.csv", "name:text(3)\nabcd\n");
  struct Case {
    std::vector<std::string> args;
    std::string message;  // a part of what standard error must say
  };
  const std::vector<Case> cases = {
      {{}, "no subcommand given"},
      {{"--connect", connect}, "no subcommand given"},
      {{"--connect", connect, "select"}, "unknown subcommand 'select'"},
      {{"--connect", connect, "exec-sql"}, "exec-sql takes 1 argument, 0 given"},
      {{"--connect", connect, "read-two", "a"}, "read-two takes 2 arguments, 1 given"},
      {{"--connect", connect, "datetime", "now"}, "datetime takes 0 arguments, 1 given"},
      {{"--connect", connect, "--format", "xml", "datetime"},
       "--format must be table, csv or json"},
      {{"--connect", connect, "--frmat", "json", "datetime"}, "unknown option '--frmat'"},
      {{"--connect", connect, "--inflate-budget", "0", "datetime"},
       "--inflate-budget must lie between 1 and 1048576 MiB"},
      {{"--connect", connect, "--inflate-budget", "1G", "datetime"},
       "--inflate-budget must be a whole number"},
      {{"--connect", connect, "exec-sql", "x", "--success-return", "1"},
       "exec-sql: unknown option '--success-return'"},
      {{"--connect", connect, "insert-table", "p", unclosed.Path(), "--success-return", "one"},
       "--success-return must be a whole number"},
      {{"--connect"}, "--connect needs a value"},
      {{"--keep=yes", "--connect", connect, "datetime"}, "--keep takes no value"},
      {{"--connect", "x://127.0.0.1:" + port, "datetime"}, "unknown connection type"},
      {{"--connect", "t://127.0.0.1", "datetime"}, "HOST and PORT are both needed"},
      {{"--connect", "t://127.0.0.1:0", "datetime"}, "between 1 and 65535"},
      {{"--connect", "t://127.0.0.1:70000", "datetime"}, "between 1 and 65535"},
      {{"--connect", "t://::1:8099", "datetime"}, "put an IPv6 address in brackets"},
      {{"datetime"}, "no server given"},
      {{"--connect", connect + ",h://127.0.0.1:" + port, "datetime"},
       "all servers of a list use one connection type"},
      {{"--connect", connect + ",", "datetime"}, "an empty server in the list"},
      {{"--connect", connect + ",t://127.0.0.1", "datetime"}, "HOST and PORT are both needed"},
      {{"--connect", connect, "--servers", "round-robin", "datetime"},
       "--servers must be fail-over or balance"},
      {{"--connect", connect, "datetime", "--"}, "a subcommand must follow '--'"},
      {{"--connect", connect, "insert-table", "p", "/nonexistent/rows.csv"}, "cannot open"},
      {{"--connect", connect, "insert-table", "p", unclosed.Path()},
       "CSV line 2: a quoted field is not closed"},
      {{"--connect", connect, "insert-table", "p", ragged.Path()},
       "CSV line 3: 1 fields, the header has 2"},
      {{"--connect", connect, "insert-table", "p", badJson.Path()},
       "JSON line 1 column 11: a member name in quotes expected"},
      {{"--connect", connect, "insert-table", "p", badType.Path()}, "unknown type 'integr'"},
      {{"--connect", connect, "insert-table", "p", tooLong.Path()},
       "longer than the declared size 3"},
      // A bad upload in a later subcommand stops the earlier ones too.
      {{"--connect", connect, "exec-sql", "x", "--", "insert-table-dataset", "p", badValue.Path()},
       "row 2, column 'id': 'abc' is not a valid integer value"},
  };
  for (const Case& c : cases) {
    ProgramRun run = Qorvin(c.args);
    std::string shown;
    for (const std::string& a : c.args) shown += a + " ";
    EXPECT_EQ(run.status, 2) << shown << "\n" << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << shown << "\n" << run.err;
    EXPECT_NE(run.err.find("Try 'qorvin --help'."), std::string::npos) << shown;
    EXPECT_EQ(run.out, "") << shown;
  }
  EXPECT_TRUE(server.Requests().empty());
}

TEST(CliUsage, HelpEverywhereNeedsNoServer) {
  ProgramRun global = Qorvin({"--help"});
  EXPECT_EQ(global.status, 0);
  EXPECT_EQ(global.err, "");
  for (const char* name : {"exec-sql", "exec-proc-output", "read-two", "insert-table-dataset",
                           "exec-sql-insert", "datetime", "--connect URL", "--keep"})
    EXPECT_NE(global.out.find(name), std::string::npos) << name;
  EXPECT_EQ(Qorvin({"-h"}).out, global.out);
  EXPECT_EQ(Qorvin({"--format", "json", "--help", "bogus"}).out, global.out);

  ProgramRun insert = Qorvin({"insert-table", "--help"});
  EXPECT_EQ(insert.status, 0);
  EXPECT_EQ(insert.out.substr(0, insert.out.find('\n')),
            "usage: qorvin [OPTIONS] insert-table PROC FILE [--success-return N]");
  EXPECT_NE(insert.out.find("name:type"), std::string::npos);
  // --help wins over a missing argument, and in any later subcommand.
  ProgramRun later =
      Qorvin({"--connect", "t://127.0.0.1:1", "exec-sql", "x", "--", "datetime", "-h"});
  EXPECT_EQ(later.status, 0);
  EXPECT_EQ(later.out.substr(0, later.out.find('\n')), "usage: qorvin [OPTIONS] datetime");
}

TEST(CliErrors, AnOperationErrorExitsWithOneAndStopsTheRun) {
  CliServer server;
  server.Answer(ExceptionReply("EDatabaseError", "no such table: item"));
  ProgramRun run = Qorvin(
      Args(server.Connect(), {"exec-sql", "select * from item", "--", "exec-sql", "never sent"}));
  EXPECT_EQ(run.status, 1);
  const std::string text = "An exception was raised on the server: no such table: item";
  EXPECT_EQ(run.err, "qorvin: exec-sql: " + text + "\n");
  EXPECT_EQ(run.out, "[1] exec-sql\n");  // the error on standard error alone
  EXPECT_EQ(server.Requests().size(), 1u);

  run = Qorvin(Args(server.Connect('H'), {"--format", "json", "read", "select"}));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "{\"result\":0,\"fields\":[],\"rows\":[],\"error\":\"" + text + "\"}\n");
  EXPECT_EQ(run.err, "qorvin: read: " + text + "\n");

  // The server's clock unreachable: the local clock is shown, and named as such.
  int port = 0;
  {
    TestTcpServer probe([](int, const std::atomic<bool>&) {});
    port = probe.Port();
  }
  run = Qorvin({"--connect", "t://127.0.0.1:" + std::to_string(port), "datetime"});
  EXPECT_EQ(run.status, 2);  // it reached no server
  EXPECT_EQ(run.out.substr(0, 26), "result: false\nlocal time: ");
  EXPECT_EQ(run.err.substr(0, 18), "qorvin: datetime: ");
}

TEST(CliErrors, ALibraryThatDoesNotLoadExitsWithOne) {
  ProgramRun run = Qorvin(
      {"--library", "/nonexistent/libQorvinClient.so", "--connect", "t://127.0.0.1:1", "datetime"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("cannot load the client library; tried:\n  "
                         "/nonexistent/libQorvinClient.so: "),
            std::string::npos)
      << run.err;
  // An explicit choice is the only place tried, though a library sits beside the program.
  EXPECT_EQ(run.err.find("\n  ", run.err.find("\n  ") + 1), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
}

TEST(CliLibrary, WithoutALibraryBesideItTheEnvironmentNamesIt) {
  // A copy of the program in a folder of its own has no library beside it.
  const std::string folder = qorvin::test::TempPath("alone");
  const std::string copy = folder + "/qorvin";
  ASSERT_EQ(std::system(("mkdir -p " + folder + " && cp " QORVIN_CLI_PROGRAM " " + copy).c_str()),
            0);
  CliServer server;
  server.Answer(Reply().Double(45000.0).Bytes());
  const std::vector<std::string> args =
      Args({copy, "--format", "csv"}, Args(server.Connect(), {"datetime"}));
  ProgramOptions named;
  named.env = {"QORVIN_CLIENT_LIBRARY=" QORVIN_CLIENT_LIBRARY};
  ProgramRun run = RunProgram(args, named);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "result,datetime,days\r\ntrue,2023-03-15 00:00:00,45000\r\n");

  ProgramOptions unnamed;
  unnamed.env = {"QORVIN_CLIENT_LIBRARY=", "LD_LIBRARY_PATH="};
  run = RunProgram(args, unnamed);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("cannot load the client library; tried:\n  libQorvinClient.so: "),
            std::string::npos)
      << run.err;
  std::remove(copy.c_str());
  std::remove(folder.c_str());
}

TEST(CliUsage, ArgumentsThatStartWithADashAndOptionsAfterASubcommand) {
  CliServer server;
  server.Answer(Reply().Int(5).Bytes());
  // SQL beginning with a comment, a negative number, and a global option among the arguments.
  ProgramRun run = Qorvin(Args(server.Connect(), {"--user", "u1", "exec-sql", "-- note\nselect 1",
                                                  "--hdh", "H-7", "--format", "csv"}));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "result\r\n5\r\n");
  WireReader r(server.Server().LastRequest());
  EXPECT_EQ(r.MessageName(), "SynchExecSQL");
  EXPECT_EQ(r.Str(), "u1");
  EXPECT_EQ(r.Str(), "H-7");
  EXPECT_EQ(r.WideAscii(), "-- note\nselect 1");

  run = Qorvin(Args(server.Connect(), {"batch-build", "-5", "--x"}));
  EXPECT_EQ(run.status, 2);  // "--x" looks like an option, and there is none of that name
  run = Qorvin(Args(server.Connect(), {"batch-build", "-5", "-x"}));
  EXPECT_EQ(run.status, 0) << run.err;
  WireReader b(server.Server().LastRequest());
  b.Str(), b.Str();
  EXPECT_EQ(b.WideAscii(), "-5");
  EXPECT_EQ(b.WideAscii(), "-x");
}

}  // namespace
}  // namespace qorvin::testing

namespace qorvin::testing {
namespace {

// --version; the server from $QORVIN_CONNECT when --connect is not given (and --connect wins).
TEST(CliDefaults, VersionAndTheServerFromTheEnvironment) {
  ProgramRun run = Qorvin({"--version"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("qorvin ", 0), 0u) << run.out;

  CliServer server;
  server.Answer(Reply().Int(7).Bytes());
  const std::string url = server.Connect('T')[1];
  ProgramOptions env;
  env.env = {"QORVIN_CONNECT=" + url};
  run = Qorvin({"exec-sql", "select 1"}, env);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "result: 7\n");
  env.env = {"QORVIN_CONNECT=t://127.0.0.1:1"};
  run = Qorvin({"--connect", url, "exec-sql", "select 1"}, env);
  EXPECT_EQ(run.status, 0) << run.err;
  env.env = {"QORVIN_CONNECT=x://nowhere"};
  run = Qorvin({"exec-sql", "select 1"}, env);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("$QORVIN_CONNECT: "), std::string::npos) << run.err;
}

// --call-timeout bounds the wait for an answer; over U the failure says the server may have run
// the call, as a datagram that went out may have arrived.
TEST(CliDefaults, TheCallTimeoutBoundsTheWait) {
  ScriptedServer silent([](const std::string&) { return kNoAnswer; });
  for (const char* scheme : {"u", "h"}) {
    const char letter = char(std::toupper(scheme[0]));
    const std::string url =
        std::string(scheme) + "://127.0.0.1:" + std::to_string(silent.Port(letter));
    ProgramRun run = Qorvin({"--connect", url, "--call-timeout", "0.5", "exec-sql", "select 1"});
    EXPECT_EQ(run.status, 1) << scheme;
    EXPECT_FALSE(run.err.empty()) << scheme;
    if (letter == 'U') {
      EXPECT_NE(run.err.find("the server may have run the call"), std::string::npos) << run.err;
    }
  }
  EXPECT_EQ(Qorvin({"--connect", "t://127.0.0.1:1", "--call-timeout", "x", "datetime"}).status, 2);
}

}  // namespace
}  // namespace qorvin::testing

namespace qorvin::testing {
namespace {

// --http-user takes its password from --password-file or $QORVIN_PASSWORD, never from the
// command line, and only for an h:// server.
TEST(CliDefaults, AnHttpUserNeedsAPasswordFromAFileOrTheEnvironment) {
  ProgramRun run = Qorvin({"--connect", "t://127.0.0.1:1", "--http-user", "alice", "datetime"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("--http-user needs an h:// server"), std::string::npos) << run.err;
  ProgramOptions bare;
  bare.env = {"QORVIN_PASSWORD="};  // set but empty still counts as given
  run = Qorvin({"--connect", "h://127.0.0.1:1", "--http-user", "alice", "--password-file",
                "/nonexistent/pw", "datetime"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("--password-file: cannot read /nonexistent/pw"), std::string::npos)
      << run.err;
  run = Qorvin({"--connect", "h://127.0.0.1:1", "--http-user", "a:b", "datetime"}, bare);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("cannot hold ':'"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace qorvin::testing
