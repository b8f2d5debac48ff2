// What qorvin prints: a read in each output format, two row sets, scalar-only operations, the
// server clock over every connection letter, --keep, and the progress line on a terminal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "tests/cli/CliHarness.h"

namespace qorvin::testing {
namespace {

std::string ReadReply() {
  static const std::string blob = MakeTableBlob(
      {{u"ID", ftInteger}, {u"Name", ftWideString, 20}, {u"Price", ftFloat}},
      {{Variant::Integer(1), Variant::OleStr(u"apple"), Variant::Double(2.5)},
       {Variant::Integer(22), Variant::OleStr(u"\u65E5\u672C, \"x\""), Variant::Null()},
       {Variant::Integer(-3), Variant::OleStr(u""), Variant::Double(0.125)}});
  return Reply().Int(1).Binary(&blob).Bytes();
}

TEST(CliOutput, ReadAsAlignedTableCsvAndJson) {
  CliServer server;
  server.Answer(ReadReply());

  // Wide characters take two columns; numbers are right-aligned; NULL is empty.
  ProgramRun table = Qorvin(Args(server.Connect(), {"read", "select * from item"}));
  EXPECT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(table.out,
            " ID | Name      | Price\n"
            "----+-----------+-------\n"
            "  1 | apple     |   2.5\n"
            " 22 | \u65E5\u672C, \"x\" |\n"
            " -3 |           | 0.125\n"
            "(3 rows)\n"
            "result: 1\n");
  EXPECT_EQ(table.err, "");

  // CSV: RFC 4180 quoting, NULL as an empty field, empty text as "".
  ProgramRun csv = Qorvin(Args(server.Connect(), {"--format", "csv", "read", "select"}));
  EXPECT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out,
            "ID,Name,Price\r\n"
            "1,apple,2.5\r\n"
            "22,\"\u65E5\u672C, \"\"x\"\"\",\r\n"
            "-3,\"\",0.125\r\n");
  EXPECT_EQ(csv.err, "result: 1\n");

  ProgramRun json = Qorvin(Args(server.Connect(), {"--format=json", "read", "select"}));
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out,
            "{\"result\":1,\"fields\":[\"ID\",\"Name\",\"Price\"],\"rows\":[[1,\"apple\",2.5],"
            "[22,\"\u65E5\u672C, \\\"x\\\"\",null],[-3,\"\",0.125]]}\n");

  // The record-set form of the call shows the same rows.
  ProgramRun dataset = Qorvin(Args(server.Connect(), {"--format=json", "read-dataset", "select"}));
  EXPECT_EQ(dataset.out, json.out);
  WireReader r(server.Server().LastRequest());
  EXPECT_EQ(r.MessageName(), "SynchReadData");
}

// Rows are rendered as they are read and written out in pieces; a result larger than one piece
// still comes out whole and in order, and the grid keeps one width per column across pieces.
// --null tells NULL from an empty text; -t leaves the rows alone.
TEST(CliOutput, ANullMarkerAndTuplesOnly) {
  CliServer server;
  server.Answer(ReadReply());
  ProgramRun table =
      Qorvin(Args(server.Connect(), {"--null", "(null)", "read", "select * from item"}));
  EXPECT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(table.out,
            " ID | Name      |  Price\n"
            "----+-----------+--------\n"
            "  1 | apple     |    2.5\n"
            " 22 | \u65E5\u672C, \"x\" | (null)\n"
            " -3 |           |  0.125\n"
            "(3 rows)\n"
            "result: 1\n");
  ProgramRun tuples = Qorvin(Args({"-t"}, Args(server.Connect(), {"read", "select"})));
  EXPECT_EQ(tuples.status, 0) << tuples.err;
  EXPECT_EQ(tuples.out,
            "  1 | apple     |   2.5\n"
            " 22 | \u65E5\u672C, \"x\" |\n"
            " -3 |           | 0.125\n");
  ProgramRun csv = Qorvin(Args(
      server.Connect(), {"--format", "csv", "--tuples-only", "--null", "NULL", "read", "select"}));
  EXPECT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out,
            "1,apple,2.5\r\n"
            "22,\"\u65E5\u672C, \"\"x\"\"\",NULL\r\n"
            "-3,\"\",0.125\r\n");
}

TEST(CliOutput, AResultLargerThanTheOutputBufferComesOutWholeInEveryFormat) {
  constexpr int kRows = 25000;  // about 1.8 MB of CSV, against pieces of 1 MiB
  const auto name = [](int i) {
    std::string text = "row " + std::to_string(i);
    return text + std::string(64 - text.size(), '.');
  };
  std::vector<std::vector<Variant>> rows;
  std::string expectedCsv = "ID,Name\r\n";
  for (int i = 1; i <= kRows; ++i) {
    rows.push_back({Variant::Integer(i), Variant::OleStr(Utf8ToUtf16(name(i)))});
    expectedCsv += std::to_string(i) + "," + name(i) + "\r\n";
  }
  const std::string blob = MakeTableBlob({{u"ID", ftInteger}, {u"Name", ftWideString, 64}}, rows);
  rows.clear();
  CliServer server;
  server.Answer(Reply().Int(1).Binary(&blob).Bytes());
  ProgramOptions generous;  // a sanitizer build on a loaded machine is many times slower
  generous.timeoutMs = 120000;

  ProgramRun csv = Qorvin(Args(server.Connect(), {"--format", "csv", "read", "select"}), generous);
  EXPECT_EQ(csv.status, 0) << csv.err;
  EXPECT_GT(csv.out.size(), size_t(1) << 20);
  EXPECT_TRUE(csv.out == expectedCsv)
      << csv.out.size() << " bytes instead of " << expectedCsv.size();

  ProgramRun json =
      Qorvin(Args(server.Connect(), {"--format", "json", "read", "select"}), generous);
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out.substr(0, 52),
            "{\"result\":1,\"fields\":[\"ID\",\"Name\"],\"rows\":[[1,\"row 1");
  EXPECT_EQ(json.out.substr(json.out.size() - 6), ".\"]]}\n");
  size_t rowsSeen = 0;
  for (size_t at = json.out.find("],["); at != std::string::npos; at = json.out.find("],[", at + 3))
    ++rowsSeen;
  EXPECT_EQ(rowsSeen, size_t(kRows - 1));

  ProgramRun table = Qorvin(Args(server.Connect(), {"read", "select"}), generous);
  EXPECT_EQ(table.status, 0) << table.err;
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = table.out.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(table.out.substr(at, end - at));
  ASSERT_EQ(lines.size(), size_t(kRows + 4));  // header, rule, rows, count, result
  EXPECT_EQ(lines[kRows + 2], "(25000 rows)");
  size_t sameWidth = 0;
  for (int i = 2; i < kRows + 2; ++i) sameWidth += lines[size_t(i)].size() == lines[2].size();
  EXPECT_EQ(sameWidth, size_t(kRows));
  EXPECT_EQ(lines[kRows + 1], " 25000 | " + name(kRows));
}

// Rows are written as they are decoded: a reply found damaged after its first rows has written
// some of them, then ends with the error and status 1, in both formats that stream.
TEST(CliOutput, AReadFoundDamagedAfterItsFirstRowsFailsAfterThem) {
  constexpr int kRows = 100000;  // an image of several inflation windows, 5 MB of CSV
  std::vector<std::vector<Variant>> rows;
  std::string expectedCsv = "ID,Name\r\n";
  for (int i = 1; i <= kRows; ++i) {
    const std::string name = "row " + std::to_string(i) + std::string(32, '.');
    rows.push_back({Variant::Integer(i), Variant::OleStr(Utf8ToUtf16(name))});
    expectedCsv += std::to_string(i) + "," + name + "\r\n";
  }
  const std::string blob = MakeTableBlob({{u"ID", ftInteger}, {u"Name", ftWideString, 48}}, rows);
  rows.clear();
  CliServer server;
  ProgramOptions generous;
  generous.timeoutMs = 120000;
  // A byte among the last of the record set's zlib stream (before the parameters and trailer).
  for (size_t back = 0; back < 64; ++back) {
    std::string damaged = blob;
    const size_t at = blob.size() - 8 - 1 - 16 - back;
    damaged[at] = char(damaged[at] ^ 0x5A);
    server.Answer(Reply().Int(1).Binary(&damaged).Bytes());
    ProgramRun csv =
        Qorvin(Args(server.Connect(), {"--format", "csv", "read", "select"}), generous);
    if (csv.status == 0) continue;  // a byte the reader does not check
    EXPECT_EQ(csv.status, 1) << csv.err;
    EXPECT_NE(csv.err.find("qorvin: "), std::string::npos) << csv.err;
    EXPECT_GT(csv.out.size(), size_t(1) << 20);  // more than the output buffer was written
    EXPECT_LT(csv.out.size(), expectedCsv.size());
    EXPECT_TRUE(csv.out == expectedCsv.substr(0, csv.out.size()));
    ProgramRun json =
        Qorvin(Args(server.Connect(), {"--format", "json", "read", "select"}), generous);
    EXPECT_EQ(json.status, 1) << json.err;
    EXPECT_EQ(json.err, csv.err);
    EXPECT_EQ(json.out.rfind("{\"result\":1,\"fields\":[\"ID\",\"Name\"],\"rows\":[[1,", 0), 0u);
    // The whole reply read in a table fails before anything is written.
    ProgramRun table = Qorvin(Args(server.Connect(), {"read", "select"}), generous);
    EXPECT_EQ(table.status, 1) << table.err;
    EXPECT_EQ(table.out, "");
    return;
  }
  FAIL() << "no damaged byte made the read fail";
}

// A result past the inflation budget fails with the budget's text until --inflate-budget raises
// it.
TEST(CliOutput, AResultPastTheInflationBudgetNeedsItRaised) {
  std::vector<std::vector<Variant>> rows;
  for (int i = 0; i < 9000; ++i)
    rows.push_back({Variant::Integer(i), Variant::OleStr(std::u16string(100, u'x'))});
  const std::string blob = MakeTableBlob({{u"ID", ftInteger}, {u"Name", ftWideString, 100}}, rows);
  CliServer server;
  server.Answer(Reply().Int(1).Binary(&blob).Bytes());
  ProgramOptions generous;
  generous.timeoutMs = 120000;
  ProgramRun refused =
      Qorvin(Args(server.Connect(), {"--inflate-budget", "1", "--format", "csv", "read", "select"}),
             generous);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("Inflated data exceeds the budget of 1 MiB"), std::string::npos)
      << refused.err;
  EXPECT_EQ(refused.out, "");
  ProgramRun raised =
      Qorvin(Args(server.Connect(), {"--inflate-budget", "8", "--format", "csv", "read", "select"}),
             generous);
  EXPECT_EQ(raised.status, 0) << raised.err;
  EXPECT_EQ(std::count(raised.out.begin(), raised.out.end(), '\n'), 9001);
}

TEST(CliOutput, ControlCharactersFromTheServerAreShownAsEscapes) {
  CliServer server;
  const std::string blob =
      MakeTableBlob({{u"Text", ftWideString, 30}}, {{Variant::OleStr(u"a\tb\nc\x1B[31m\u0085")}});
  server.Answer(Reply().Int(1).Binary(&blob).Bytes());
  ProgramRun table = Qorvin(Args(server.Connect(), {"read", "select"}));
  EXPECT_EQ(table.out,
            " Text\n"
            "-----------------------\n"
            " a\\tb\\nc\\x1B[31m\\u0085\n"
            "(1 row)\n"
            "result: 1\n");
  ProgramRun json = Qorvin(Args(server.Connect(), {"--format", "json", "read", "select"}));
  EXPECT_EQ(json.out,
            "{\"result\":1,\"fields\":[\"Text\"],\"rows\":[[\"a\\tb\\nc\\u001B[31m\u0085\"]]}\n");
}

TEST(CliOutput, TwoRowSetsAndOperationsWithoutRows) {
  CliServer server;
  const std::string first = MakeTableBlob({{u"A", ftInteger}}, {{Variant::Integer(7)}});
  const std::string second =
      MakeTableBlob({{u"B", ftWideString, 5}}, {{Variant::OleStr(u"x")}, {Variant::Null()}});
  server.Answer(Reply().Int(2).Binary(&first).Binary(&second).Bytes());
  ProgramRun table = Qorvin(Args(server.Connect(), {"read-two", "q1", "q2"}));
  EXPECT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(table.out,
            "first:\n A\n---\n 7\n(1 row)\n"
            "second:\n B\n---\n x\n\n(2 rows)\n"
            "result: 2\n");
  ProgramRun json =
      Qorvin(Args(server.Connect(), {"--format", "json", "exec-proc-read-two", "p1", "p2"}));
  EXPECT_EQ(json.out,
            "{\"result\":2,\"fields\":[\"A\"],\"rows\":[[7]],\"fields2\":[\"B\"],"
            "\"rows2\":[[\"x\"],[null]]}\n");
  EXPECT_EQ(WireReader(server.Server().LastRequest()).MessageName(), "SynchExecProcReadTwoData");
  ProgramRun csv = Qorvin(Args(server.Connect(), {"--format", "csv", "read-two", "q1", "q2"}));
  EXPECT_EQ(csv.out, "A\r\n7\r\n\r\nB\r\nx\r\n\r\n");

  // An empty first blob: no data for the first set, which is not an error; the second set is
  // still shown.
  const std::string empty;
  server.Answer(Reply().Int(0).Binary(&empty).Binary(&second).Bytes());
  table = Qorvin(Args(server.Connect(), {"read-two", "q1", "q2"}));
  EXPECT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(table.out, "first:\n(no data)\nsecond:\n B\n---\n x\n\n(2 rows)\nresult: 0\n");
  json = Qorvin(Args(server.Connect(), {"--format", "json", "read", "q"}));
  EXPECT_EQ(json.out, "{\"result\":0,\"fields\":[],\"rows\":[]}\n");

  // Scalar-only operations: a negative result is the server's value, not a failure.
  server.Answer(Reply().Int(-4).Bytes());
  table = Qorvin(Args(server.Connect(), {"exec-sql", "delete from t"}));
  EXPECT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(table.out, "result: -4\n");
  csv = Qorvin(Args(server.Connect(), {"--format", "csv", "batch-build", "select", "proc1"}));
  EXPECT_EQ(csv.out, "result\r\n-4\r\n");
  server.Answer(Reply().Int(3).Str("out, \"value\"").Bytes());
  csv = Qorvin(Args(server.Connect(), {"--format", "csv", "exec-proc-output", "exec p"}));
  EXPECT_EQ(csv.out, "result,output\r\n3,\"out, \"\"value\"\"\"\r\n");
  json = Qorvin(Args(server.Connect(), {"--format", "json", "exec-proc-output", "exec p"}));
  EXPECT_EQ(json.out, "{\"result\":3,\"output\":\"out, \\\"value\\\"\"}\n");
}

// A directory holding the locale de_DE.UTF-8 (decimal comma), made with localedef from the
// system's locale sources; empty when they are missing. Made under a name of this process's own
// and renamed into place, so that test runs at the same time never read a half-made locale.
std::string CommaLocaleDir() {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / "qorvin-test-locales";
  const fs::path locale = dir / "de_DE.UTF-8";
  std::error_code ignored;
  if (!fs::exists(locale / "LC_NUMERIC")) {
    fs::create_directories(dir, ignored);
    const fs::path made = dir / ("de_DE.UTF-8.making." + std::to_string(::getpid()));
    const std::string command =
        "localedef -i de_DE -f UTF-8 '" + made.string() + "' >/dev/null 2>&1";
    (void)std::system(command.c_str());  // warnings give a non-zero status: look at the files
    if (fs::exists(made / "LC_NUMERIC")) fs::rename(made, locale, ignored);
    fs::remove_all(made, ignored);
  }
  return fs::exists(locale / "LC_NUMERIC") ? dir.string() : std::string();
}

// The terminal's locale gives the code set only: numbers keep their decimal point whatever the
// locale's own number format, in what the program prints and in what the library converts.
TEST(CliOutput, NumbersKeepTheirPointInADecimalCommaLocale) {
  const std::string locales = CommaLocaleDir();
  if (locales.empty()) GTEST_SKIP() << "no locale sources to make de_DE.UTF-8 from";
  ProgramOptions comma;
  comma.env = {"LC_ALL=de_DE.UTF-8", "LOCPATH=" + locales};
  CliServer server;
  server.Answer(Reply().Double(-1.25).Bytes());
  ProgramRun run = Qorvin(Args(server.Connect(), {"datetime"}), comma);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "result: true\nserver time: 1899-12-29 06:00:00\ndays since 1899-12-30: -1.25\n");
  run = Qorvin(Args(server.Connect(), {"--format", "json", "datetime"}), comma);
  EXPECT_NE(run.out.find("\"days\":-1.25}"), std::string::npos) << run.out;
  server.Answer(ReadReply());
  run = Qorvin(Args(server.Connect(), {"--format", "csv", "read", "select * from item"}), comma);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\r\n1,apple,2.5\r\n"), std::string::npos) << run.out;
}

// A double is printed as the shortest text that reads back to the same double, in every format:
// an export read in again keeps the data.
TEST(CliOutput, DoublesPrintTheirShortestRoundTripText) {
  const std::string blob = MakeTableBlob(
      {{u"b", ftFloat}, {u"c", ftFloat}, {u"d", ftFloat}},
      {{Variant::Double(123456789.123456789), Variant::Double(0.1 + 0.2), Variant::Double(1e-7)}});
  CliServer server;
  server.Answer(Reply().Int(1).Binary(&blob).Bytes());
  ProgramRun json = Qorvin(Args(server.Connect(), {"--format", "json", "read", "select"}));
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_NE(json.out.find("[[123456789.12345679,0.30000000000000004,1e-07]]"), std::string::npos)
      << json.out;
  ProgramRun csv = Qorvin(Args(server.Connect(), {"--format", "csv", "read", "select"}));
  EXPECT_EQ(csv.out, "b,c,d\r\n123456789.12345679,0.30000000000000004,1e-07\r\n");
  server.Answer(Reply().Double(45000.1).Bytes());
  json = Qorvin(Args(server.Connect(), {"--format", "json", "datetime"}));
  EXPECT_NE(json.out.find("\"days\":45000.1}"), std::string::npos) << json.out;
}

class CliLetters : public ::testing::TestWithParam<char> {};

TEST_P(CliLetters, DateTimeShowsTheServerClock) {
  CliServer server;
  server.Answer(Reply().Double(45000.5).Bytes());
  ProgramRun run = Qorvin(Args(server.Connect(GetParam()), {"--format", "json", "datetime"}));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "{\"result\":true,\"datetime\":\"2023-03-15 12:00:00\",\"days\":45000.5}\n");
  EXPECT_EQ(WireReader(server.Server().LastRequest()).MessageName(), "GetDateTime");
}

INSTANTIATE_TEST_SUITE_P(All, CliLetters, ::testing::Values('H', 'T', 'B', 'U'));

TEST(CliOutput, DateTimeFractionsAndDaysBefore1900) {
  CliServer server;
  server.Answer(Reply().Double(45000.25 + 0.5 / 86400).Bytes());
  ProgramRun run = Qorvin(Args(server.Connect(), {"datetime"}));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.substr(0, 50), "result: true\nserver time: 2023-03-15 06:00:00.500\n");
  // Before 1899-12-30 the whole part counts back and the fraction is still the time of day.
  server.Answer(Reply().Double(-1.25).Bytes());
  run = Qorvin(Args(server.Connect(), {"datetime"}));
  EXPECT_EQ(run.out,
            "result: true\nserver time: 1899-12-29 06:00:00\ndays since 1899-12-30: -1.25\n");
  server.Answer(Reply().Double(60.0).Bytes());
  run = Qorvin(Args(server.Connect(), {"datetime"}));
  EXPECT_EQ(run.out.substr(0, 46), "result: true\nserver time: 1900-02-28 00:00:00\n");
}

TEST(CliOutput, KeepUsesOneConnectionForAllSubcommands) {
  CliServer server;
  server.Answer(Reply().Int(1).Bytes());
  ProgramRun kept = Qorvin(Args(server.Connect(), {"--keep", "exec-sql", "a", "--", "exec-proc",
                                                   "b", "--", "exec-sql", "c"}));
  EXPECT_EQ(kept.status, 0) << kept.err;
  EXPECT_EQ(kept.out,
            "[1] exec-sql\nresult: 1\n\n[2] exec-proc\nresult: 1\n\n[3] exec-sql\nresult: 1\n");
  EXPECT_EQ(server.Requests().size(), 3u);
  EXPECT_EQ(server.Server().TcpConnections(), 1);

  ProgramRun separate = Qorvin(Args(server.Connect(), {"exec-sql", "a", "--", "exec-sql", "b"}));
  EXPECT_EQ(separate.status, 0) << separate.err;
  EXPECT_EQ(server.Server().TcpConnections(), 3);  // one more for each call

  // Over HTTP the kept connection is the HTTP channel's.
  kept = Qorvin(Args(server.Connect('H'), {"--keep", "exec-sql", "a", "--", "exec-sql", "b"}));
  EXPECT_EQ(kept.status, 0) << kept.err;
  EXPECT_EQ(server.Server().HttpConnections(), 1);
  separate = Qorvin(Args(server.Connect('H'), {"exec-sql", "a", "--", "exec-sql", "b"}));
  EXPECT_EQ(server.Server().HttpConnections(), 3);

  // JSON: one object per subcommand, one per line.
  ProgramRun json = Qorvin(Args(
      server.Connect(), {"--format", "json", "--keep", "exec-sql", "a", "--", "exec-sql", "b"}));
  EXPECT_EQ(json.out, "{\"result\":1}\n{\"result\":1}\n");
}

// A --connect list: "balance" spreads the subcommands over the servers; "fail-over" stays with
// the first while it answers and moves on when it cannot be reached.
TEST(CliOutput, AServerListSharesOrTakesOverTheCalls) {
  for (char letter : {'T', 'H'}) {
    CliServer first, second;
    first.Answer(Reply().Int(1).Bytes());
    second.Answer(Reply().Int(1).Bytes());
    const std::string scheme(1, char(std::tolower(letter)));
    const std::string list =
        scheme + "://127.0.0.1:" + std::to_string(first.Server().Port(letter)) + "," + scheme +
        "://127.0.0.1:" + std::to_string(second.Server().Port(letter));
    ProgramRun run = Qorvin({"--connect", list, "--servers", "balance", "exec-sql", "a", "--",
                             "exec-sql", "b", "--", "exec-sql", "c", "--", "exec-sql", "d"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(first.Requests().size(), 2u) << letter;
    EXPECT_EQ(second.Requests().size(), 2u) << letter;

    run = Qorvin({"--connect", list, "exec-sql", "a", "--", "exec-sql", "b"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(first.Requests().size(), 4u) << letter;
    EXPECT_EQ(second.Requests().size(), 2u) << letter;
  }
  CliServer only;
  only.Answer(Reply().Int(1).Bytes());
  int gone;
  {
    CliServer stopped;
    gone = stopped.Server().Port('T');
  }
  ProgramRun run = Qorvin({"--connect",
                           "t://127.0.0.1:" + std::to_string(gone) +
                               ",t://127.0.0.1:" + std::to_string(only.Server().Port('T')),
                           "exec-sql", "a"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(only.Requests().size(), 1u);
}

TEST(CliOutput, ProgressLineOnlyOnATerminalAndErasedAfterwards) {
  CliServer server;
  // The answer comes well after the line's delay (400 ms), even when a busy machine wakes the
  // program's progress thread late.
  server.Respond([](const std::string&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    return Reply().Int(1).Bytes();
  });
  ProgramOptions terminal;
  terminal.stderrTerminal = true;
  ProgramRun run = Qorvin(Args(server.Connect(), {"exec-sql", "slow"}), terminal);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "result: 1\n");
  EXPECT_NE(run.err.find("exec-sql: waiting for the server"), std::string::npos) << run.err;
  ASSERT_GE(run.err.size(), 4u);
  EXPECT_EQ(run.err.substr(run.err.size() - 4), "\r\x1b[K");  // the line is erased at the end

  ProgramRun piped = Qorvin(Args(server.Connect(), {"exec-sql", "slow"}));
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.err, "");
}

}  // namespace
}  // namespace qorvin::testing
