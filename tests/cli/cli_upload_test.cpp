// Uploads: rows read from CSV and JSON files (and standard input) arrive at the server with the
// column types, sizes and values the file gave or implied.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "tests/cli/CliHarness.h"
#include "tests/support/TempPath.h"

namespace qorvin::testing {
namespace {

class CliUpload : public ::testing::Test {
 protected:
  std::string File(const std::string& name, const std::string& content) {
    const std::string path = qorvin::test::TempPath(name);
    std::ofstream(path, std::ios::binary) << content;
    files_.push_back(path);
    return path;
  }
  ~CliUpload() override {
    for (const std::string& f : files_) std::remove(f.c_str());
  }

  // The upload of an ExecProcInsertTable request, after checking the other arguments.
  static SeenTable InsertTableUpload(const std::string& request, const std::string& proc,
                                     int32_t successReturn) {
    WireReader r(request);
    EXPECT_EQ(r.InterfaceName(), "TableProcService");
    EXPECT_EQ(r.MessageName(), "ExecProcInsertTable");
    EXPECT_EQ(r.Str(), "u1");
    EXPECT_EQ(r.Str(), "H9");
    const std::string blob = r.Binary();
    EXPECT_EQ(r.Str(), proc);
    EXPECT_EQ(r.Int(), successReturn);
    EXPECT_TRUE(r.AtEnd());
    return DecodeBlob(blob);
  }

  CliServer server_;
  std::vector<std::string> files_;
};

using Rows = std::vector<std::vector<std::string>>;

TEST_F(CliUpload, CsvColumnsTakeDeclaredOrInferredTypes) {
  const std::string csv = File("items.csv",
                               "\xEF\xBB\xBFid,name,price,code,note:text(12),flag:boolean\r\n"
                               "1,apple,2.5,007,\"has, comma\",true\r\n"
                               "2,\u65E5\u672C,,010,\"\",0\r\n"
                               "\r\n"
                               "3,x,3,,,\r\n");
  const std::string back =
      MakeTableBlob({{u"Done", ftInteger}}, {{Variant::Integer(1)}, {Variant::Integer(2)}});
  server_.Answer(Reply("TableProcService").Int(1).Binary(&back).Int(2).Bytes());
  ProgramRun run =
      Qorvin(Args(server_.Connect(), {"--user", "u1", "--hdh", "H9", "--format", "json",
                                      "insert-table", "add_item", csv, "--success-return", "5"}));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "{\"result\":1,\"success_count\":2,\"fields\":[\"Done\"],\"rows\":[[1],[2]]}\n");

  const SeenTable seen = InsertTableUpload(server_.Server().LastRequest(), "add_item", 5);
  EXPECT_EQ(seen.names, (std::vector<std::string>{"id", "name", "price", "code", "note", "flag"}));
  // integer, text sized to "apple", float, text (leading zeros keep their digits), text(12),
  // boolean.
  EXPECT_EQ(seen.types, (std::vector<int>{ftInteger, ftWideString, ftFloat, ftWideString,
                                          ftWideString, ftBoolean}));
  EXPECT_EQ(seen.sizes[1], 5u);
  EXPECT_EQ(seen.sizes[3], 3u);
  EXPECT_EQ(seen.sizes[4], 12u);
  EXPECT_EQ(seen.rows, (Rows{{"1", "apple", "2.5", "007", "has, comma", "True"},
                             {"2", "\u65E5\u672C", "NULL", "010", "", "False"},
                             {"3", "x", "3", "NULL", "NULL", "NULL"}}));

  // A result other than 1 brings no rows back; the table shows the counts.
  server_.Answer(Reply("TableProcService").Int(0).Binary(&back).Int(0).Bytes());
  run = Qorvin(
      Args(server_.Connect(), {"--user", "u1", "--hdh", "H9", "insert-table", "add_item", csv}));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "(no data)\nresult: 0\nsuccess count: 0\n");
  InsertTableUpload(server_.Server().LastRequest(), "add_item", 0);  // the default
}

TEST_F(CliUpload, JsonObjectsThroughTheRecordSetCall) {
  const std::string json =
      File("rows.json",
           "[{\"id\": 1, \"name\": \"a\", \"ok\": true, \"big\": 5000000000},\n"
           " {\"id\": 2, \"score\": 1.5, \"ok\": false, \"name\": \"\\u00e9\\ud83d\\ude00\"},\n"
           " {\"id\": -3, \"score\": 2, \"name\": null, \"mixed\": 1},\n"
           " {\"mixed\": \"one\"}]");
  server_.Answer(Reply("TableProcService").Int(2).Binary(nullptr).Int(3).Bytes());
  ProgramRun run = Qorvin(Args(server_.Connect('U'), {"--user", "u1", "--hdh", "H9", "--format",
                                                      "csv", "insert-table-dataset", "p", json}));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "result: 2, success count: 3\n");
  const SeenTable seen = InsertTableUpload(server_.Server().LastRequest(), "p", 0);
  EXPECT_EQ(seen.names, (std::vector<std::string>{"id", "name", "ok", "big", "score", "mixed"}));
  EXPECT_EQ(seen.types, (std::vector<int>{ftInteger, ftWideString, ftBoolean, ftLargeint, ftFloat,
                                          ftWideString}));
  EXPECT_EQ(seen.sizes[1], 3u);  // é and a character outside the BMP: three UTF-16 units
  EXPECT_EQ(seen.rows, (Rows{{"1", "a", "True", "5000000000", "NULL", "NULL"},
                             {"2", "\u00e9\U0001F600", "False", "NULL", "1.5", "NULL"},
                             {"-3", "NULL", "NULL", "NULL", "2", "1"},
                             {"NULL", "NULL", "NULL", "NULL", "NULL", "one"}}));
}

TEST_F(CliUpload, JsonFieldsAndRowsForSqlInsert) {
  const std::string json =
      File("upload.json",
           "{\"fields\": [\"id:bigint\", {\"name\": \"when\", \"type\": \"datetime\"},"
           " {\"name\": \"note\", \"size\": 40}],\n"
           " \"rows\": [[1, \"2024-02-29 10:30:00\", \"x\"], [2, null, \"0042\"]]}");
  server_.Answer(Reply().Int(1).Bytes());
  ProgramRun run =
      Qorvin(Args(server_.Connect('H'), {"exec-sql-insert", "insert into log", "log", "id", json}));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "result: 1\n");
  WireReader r(server_.Server().LastRequest());
  EXPECT_EQ(r.MessageName(), "SynchExecSQLInsert");
  r.Str(), r.Str();
  EXPECT_EQ(r.WideAscii(), "insert into log");
  const SeenTable seen = DecodeBlob(r.Binary());
  EXPECT_EQ(r.Str(), "log");
  EXPECT_EQ(r.Str(), "id");
  EXPECT_EQ(seen.types, (std::vector<int>{ftLargeint, ftDateTime, ftWideString}));
  EXPECT_EQ(seen.sizes[2], 40u);
  // 2024-02-29 is day 45351 after 1899-12-30; 10:30 is 0.4375 of a day.
  EXPECT_EQ(seen.rows, (Rows{{"1", "45351.4375", "x"}, {"2", "NULL", "0042"}}));
}

TEST_F(CliUpload, StandardInputAndLongText) {
  const std::string longText(300, 'q');
  ProgramOptions options;
  options.input = "id,text\n1," + longText + "\n2,\"two\nlines\"\n";
  server_.Answer(Reply("TableProcService").Int(1).Binary(nullptr).Int(2).Bytes());
  ProgramRun run =
      Qorvin(Args(server_.Connect('B'), {"--user", "u1", "--hdh", "H9", "insert-table", "p", "-"}),
             options);
  EXPECT_EQ(run.status, 0) << run.err;
  const SeenTable seen = InsertTableUpload(server_.Server().LastRequest(), "p", 0);
  EXPECT_EQ(seen.sizes[1], 300u);
  EXPECT_EQ(seen.rows, (Rows{{"1", longText}, {"2", "two\nlines"}}));
}

}  // namespace
}  // namespace qorvin::testing
