// The expanded layout of table output (-x) and another CSV delimiter (--delimiter), for the rows
// shown and the upload files read.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "tests/cli/CliHarness.h"
#include "tests/support/TempPath.h"

namespace qorvin::testing {
namespace {

std::string WideReply() {
  static const std::string blob = MakeTableBlob(
      {{u"ID", ftInteger}, {u"Name", ftWideString, 20}, {u"Description", ftWideString, 40}},
      {{Variant::Integer(1), Variant::OleStr(u"apple"), Variant::OleStr(u"red;\nround")},
       {Variant::Integer(22), Variant::OleStr(u"\u65E5\u672C"), Variant::Null()}});
  return Reply().Int(1).Binary(&blob).Bytes();
}

TEST(CliLayout, ExpandedShowsOneLinePerField) {
  CliServer server;
  server.Answer(WideReply());
  ProgramRun run = Qorvin(Args(server.Connect(), {"-x", "read", "select * from item"}));
  EXPECT_EQ(run.status, 0) << run.err;
  // Names padded to the widest, values as the grid shows them (escapes, NULL as --null says),
  // the header line as wide as the widest name and value.
  EXPECT_EQ(run.out,
            "-[ RECORD 1 ]------------\n"
            "ID          | 1\n"
            "Name        | apple\n"
            "Description | red;\\nround\n"
            "-[ RECORD 2 ]------------\n"
            "ID          | 22\n"
            "Name        | \u65E5\u672C\n"
            "Description |\n"
            "(2 rows)\n"
            "result: 1\n");
  // Rows alone: records apart by an empty line; a NULL marker shows.
  run = Qorvin(Args(server.Connect(), {"--expanded", "-t", "--null", "(null)", "read", "select"}));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "ID          | 1\nName        | apple\nDescription | red;\\nround\n\n"
            "ID          | 22\nName        | \u65E5\u672C\nDescription | (null)\n");
  // A name longer than the header's own text: the header reaches the separator column.
  static const std::string blob =
      MakeTableBlob({{u"a_rather_long_column_name", ftInteger}}, {{Variant::Integer(7)}});
  server.Answer(Reply().Int(1).Binary(&blob).Bytes());
  run = Qorvin(Args(server.Connect(), {"-x", "read", "select"}));
  EXPECT_EQ(run.out,
            "-[ RECORD 1 ]-------------+--\n"
            "a_rather_long_column_name | 7\n"
            "(1 row)\nresult: 1\n");
  // Other formats are not affected.
  server.Answer(WideReply());
  EXPECT_EQ(Qorvin(Args(server.Connect(), {"-x", "--format", "csv", "read", "s"})).out,
            Qorvin(Args(server.Connect(), {"--format", "csv", "read", "s"})).out);
}

TEST(CliLayout, ADelimiterForCsvOutputAndUploads) {
  CliServer server;
  server.Answer(WideReply());
  ProgramRun run =
      Qorvin(Args(server.Connect(), {"--format", "csv", "--delimiter", ";", "read", "select"}));
  EXPECT_EQ(run.status, 0) << run.err;
  // The delimiter, not the comma, makes a field quoted.
  EXPECT_EQ(run.out, "ID;Name;Description\r\n1;apple;\"red;\nround\"\r\n22;\u65E5\u672C;\r\n");
  run = Qorvin(Args(server.Connect(), {"--format", "csv", "--delimiter=\\t", "-t", "read", "s"}));
  EXPECT_EQ(run.out, "1\tapple\t\"red;\nround\"\r\n22\t\u65E5\u672C\t\r\n");

  const std::string path = qorvin::test::TempPath("semicolons.csv");
  std::ofstream(path, std::ios::binary) << "id;name;note\n1;\"a;b\";x,y\n2;;\"\"\n";
  const std::string back = MakeTableBlob({{u"Done", ftInteger}}, {});
  server.Answer(Reply("TableProcService").Int(0).Binary(&back).Int(2).Bytes());
  run = Qorvin(Args(server.Connect(), {"--delimiter", ";", "insert-table", "add", path}));
  EXPECT_EQ(run.status, 0) << run.err;
  WireReader r(server.Server().LastRequest());
  r.MessageName();
  r.Str();
  r.Str();
  const SeenTable seen = DecodeBlob(r.Binary());
  EXPECT_EQ(seen.names, (std::vector<std::string>{"id", "name", "note"}));
  EXPECT_EQ(seen.rows,
            (std::vector<std::vector<std::string>>{{"1", "a;b", "x,y"}, {"2", "NULL", ""}}));
  // Read with the comma, the same file has one column, and its second line a quote inside.
  run = Qorvin(Args(server.Connect(), {"insert-table", "add", path}));
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("CSV line 2: a quote inside an unquoted field"), std::string::npos)
      << run.err;
  std::remove(path.c_str());

  for (const char* bad : {"\"", "ab", "", "\n"}) {
    run = Qorvin(Args(server.Connect(), {"--delimiter", bad, "datetime"}));
    EXPECT_EQ(run.status, 2) << bad;
    EXPECT_NE(run.err.find("--delimiter must be one character"), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace qorvin::testing
