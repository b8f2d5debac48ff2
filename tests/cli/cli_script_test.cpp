// SQL scripts through the built program against a qorvin-server child process: -f FILE (several,
// "-" for standard input), standard input when no subcommand is given, the first failing
// statement ending the run unless --keep-going, and a script that does not split sending nothing.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/cli/CliHarness.h"
#include "tests/e2e/ServerProcess.h"
#include "tests/support/TempPath.h"

namespace qorvin::testing {
namespace {

std::string WriteFile(const std::string& name, const std::string& content) {
  const std::string path = qorvin::test::TempPath(name);
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

class CliScript : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    e2e::ServerOptions options;
    options.database = qorvin::test::TempPath(
        std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".sqlite");
    options.logFile = qorvin::test::TempPath("script-server.log");
    server_ = e2e::ServerProcess::Start(options, error);
    ASSERT_TRUE(server_) << error;
  }
  std::vector<std::string> Connect() const {
    return {"--connect", "t://127.0.0.1:" + std::to_string(server_->TcpPort())};
  }
  // What the table holds, as CSV without a header.
  std::string Rows(const std::string& table) {
    ProgramRun run = Qorvin(Args(
        Connect(), {"-t", "--format", "csv", "read", "select * from " + table + " order by 1"}));
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
  }
  size_t Calls() const { return server_->Requests().size(); }

  std::unique_ptr<e2e::ServerProcess> server_;
};

TEST_F(CliScript, FilesAndStandardInputRunInOrder) {
  const std::string first =
      WriteFile("first.sql",
                "-- the table\ncreate table item(id int, name text);\n"
                "insert into item values (1, 'semi;colon'), (2, 'it''s');\n"
                "create trigger named after insert on item begin\n"
                "  update item set name = name || ';' where id = new.id;\nend;\n");
  const std::string second = WriteFile("second.sql", "insert into item values (3, 'c')");
  ProgramOptions input;
  input.input = "select count(*) as n from item;\n";
  ProgramRun run = Qorvin(
      Args(Connect(), {"-f", first, "--file", second, "--file", "-", "--format", "csv"}), input);
  EXPECT_EQ(run.status, 0) << run.err;
  // Rows of the read; the other statements' results went to standard error with the read's.
  EXPECT_EQ(run.out,
            "result\r\n1\r\n\r\nresult\r\n1\r\n\r\nresult\r\n1\r\n\r\nresult\r\n1\r\n"
            "\r\nn\r\n3\r\n");
  EXPECT_EQ(Rows("item"), "1,semi;colon\r\n2,it's\r\n3,c;\r\n");

  // Standard input alone, when no subcommand is given; table output is not numbered.
  input.input = "select id from item where id < 3;\nselect name from item where id = 3\n";
  run = Qorvin(Connect(), input);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            " id\n----\n  1\n  2\n(2 rows)\nresult: 1\n\n name\n------\n c;\n(1 row)\n"
            "result: 1\n");
}

TEST_F(CliScript, TheFirstFailingStatementEndsTheRunUnlessKeepGoing) {
  ASSERT_EQ(Qorvin(Args(Connect(), {"exec-sql", "create table t(a int)"})).status, 0);
  const std::string script =
      WriteFile("failing.sql",
                "insert into t values (1);\n\ninsert into nosuch values (2);\n"
                "insert into t values (3);\n");
  ProgramRun run = Qorvin(Args(Connect(), {"-f", script}));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("qorvin: " + script + ":3: ", 0), 0u) << run.err;
  EXPECT_NE(run.err.find("nosuch"), std::string::npos) << run.err;
  EXPECT_EQ(Rows("t"), "1\r\n");

  run = Qorvin(
      Args(Connect(), {"--keep-going", "-f", script, "exec-sql", "insert into t values (4)"}));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(Rows("t"), "1\r\n1\r\n3\r\n4\r\n");
}

TEST_F(CliScript, AScriptThatDoesNotSplitSendsNothing) {
  const size_t before = Calls();
  const std::string good = WriteFile("good.sql", "create table never(a int);");
  const std::string open = WriteFile("open.sql", "select 1;\n\nselect 'unclosed;\n");
  ProgramRun run = Qorvin(Args(Connect(), {"-f", good, "-f", open}));
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "qorvin: " + open +
                         ": a quoted text opened on line 3 is not closed\n"
                         "Try 'qorvin --help'.\n");
  run = Qorvin(Args(Connect(), {"-f", "/nonexistent/x.sql"}));
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("cannot open '/nonexistent/x.sql'"), std::string::npos) << run.err;
  // Standard input that holds no statement: nothing to do is a mistake of usage.
  ProgramOptions input;
  input.input = "-- nothing\n;\n";
  run = Qorvin(Connect(), input);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("no SQL statement on standard input"), std::string::npos) << run.err;
  EXPECT_EQ(Calls(), before);
  // An explicit empty script is no mistake.
  EXPECT_EQ(Qorvin(Args(Connect(), {"-f", WriteFile("empty.sql", "")})).status, 0);
}

}  // namespace
}  // namespace qorvin::testing
