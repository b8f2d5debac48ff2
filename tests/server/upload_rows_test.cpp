// ExecProcInsertTable through a one-statement procedure (the rows run together, each under its
// own savepoint) against the same procedure made general (each row a call of its own): rows
// that fail here and there, across pipeline and slice boundaries, must fail alone, with the same
// error texts, and every other row must stay. On SQLite, and on PostgreSQL when QORVIN_PG_URL
// names a database.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>

#include "server/services/DataSetBlob.h"
#include "server/services/ServiceHost.h"
#include "tests/server/blob_image.h"
#include "tests/server/service_client.h"

namespace qorvin::server {
namespace {

using namespace testing;

constexpr int kRows = 2300;  // more than one slice (2000) and many pipelines (256)

class UploadRows : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    target_ = GetParam();
    if (target_ == "pg") {
      const char* url = std::getenv("QORVIN_PG_URL");
      if (!url || !*url) GTEST_SKIP() << "QORVIN_PG_URL is not set";
      target_ = url;
    } else {
      target_ = ":memory:";
    }
    folder_ = std::filesystem::temp_directory_path() /
              ("qorvin-upload-procs-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
    const std::string params = "--! param @Id\n--! param @Name\n--! param @Note = NULL\n";
    const std::string insert =
        "insert into upl (id, name, note) values (@Id, @Name, @Note)\nreturn 1\n";
    std::ofstream(folder_ / "AddOne.sql") << params << insert;
    // The same statement behind a declaration: no longer one statement, so called row by row.
    std::ofstream(folder_ / "AddOneGeneral.sql") << params << "declare @x int\n" << insert;
    ServerConfig config;
    config.database = target_;
    config.proceduresFolder = folder_.string();
    config.poolWait = std::chrono::milliseconds(5000);
    state_ = std::make_unique<ServerState>(config, OpenDatabase(target_, DatabaseOptions{}));
    host_ = std::make_unique<ServiceHost>(*state_);
    RegisterExecSqlService(*host_, *state_);
    RegisterTableProcService(*host_, *state_);
  }
  void TearDown() override {
    host_.reset();
    state_.reset();
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
  }

  Reply Send(const std::string& request) {
    DispatchReply d = host_->Dispatch(request, RequestInfo{"TEST", "-"});
    return ReadReply(d.body);
  }
  void Sql(const std::string& sql) {
    Reply r = Send(Request("ExecSqlService", "SynchExecSQL", UserAndSql(sql)));
    ASSERT_FALSE(r.exception) << r.errorText;
  }
  ResultTable Read(const std::string& sql) {
    Reply r = Send(Request("ExecSqlService", "SynchReadData", UserAndSql(sql)));
    EXPECT_FALSE(r.exception) << r.errorText;
    r.Integer();
    auto blob = r.Binary("aOutData");
    return BlobToResultTable(*blob).value_or(ResultTable{});
  }
  void FreshTable() {
    Sql("drop table if exists upl");
    Sql("create table upl (id integer primary key, name varchar(10) not null, note "
        "varchar(20), check (id <> 777))");
  }

  // Uploads the rows through `proc`: the reply's per-row table and success count (and, with
  // `replyBlob`, the per-row table's blob as it came).
  std::pair<ResultTable, int32_t> Upload(const ResultTable& rows, const std::string& proc,
                                         std::string* replyBlob = nullptr) {
    std::string blob = ResultTableToBlob(rows);
    Reply r = Send(Request("TableProcService", "ExecProcInsertTable", [&](TROBinMessage& m) {
      m.WriteString("aUserID", "u1");
      m.WriteString("aHDHSerialNumber", "");
      TROBinaryMemoryStream s(blob);
      m.WriteBinary("aInData", &s);
      m.WriteString("aProcName", proc);
      int32_t success = 1;
      m.WriteInteger("aSuccessReturnValue", TOrdType::otSLong, &success);
    }));
    EXPECT_FALSE(r.exception) << r.errorText;
    if (r.exception) return {};
    EXPECT_EQ(r.Integer(), 1);
    auto out = r.Binary("aOutData");
    if (replyBlob) {
      replyBlob->resize(size_t(out->Size()));
      out->SetPosition(0);
      out->ReadBuffer(replyBlob->data(), out->Size());
    }
    ResultTable t = BlobToResultTable(*out).value_or(ResultTable{});
    return {std::move(t), r.Integer("aSuccessCount")};
  }

  std::string target_;
  std::filesystem::path folder_;
  std::unique_ptr<ServerState> state_;
  std::unique_ptr<ServiceHost> host_;
};

TEST_P(UploadRows, FailingRowsFailAloneAndTheOthersStay) {
  ResultTable rows;
  rows.columns = {{"Id", ftInteger, 0, 0}, {"Name", ftWideString, 12, 0}};
  std::set<int> bad;
  for (int r = 0; r < kRows; ++r) {
    int id = r + 1;
    Variant name = Variant::OleStr(u"n" + Utf8ToUtf16(std::to_string(r)));
    // Failures at the edges of pipelines and slices and in between: a NULL name, an id used
    // by an earlier row of the same upload, an id the check refuses.
    if (r == 0 || r == 255 || r == 256 || r == 1999 || r == 2000 || r == kRows - 1) {
      name = Variant::Null();
      bad.insert(r);
    } else if (r == 300 || r == 301 || r == 2100) {
      id = 5;  // row 4 inserted it
      bad.insert(r);
    } else if (r == 776) {
      id = 777;
      bad.insert(r);
    }
    rows.rows.push_back({Variant::Integer(id), name});
  }
  FreshTable();
  std::string replyBlob;
  auto [together, successes] = Upload(rows, "AddOne", &replyBlob);
  ASSERT_EQ(together.rows.size(), size_t(kRows));
  // The per-row table's blob holds the image of the table of its layout written at once: RowNo
  // and ReturnValue integer, ErrorText text as long as the longest error.
  ResultTable expected;
  expected.columns = {{"RowNo", ftInteger, 0, 0},
                      {"ReturnValue", ftInteger, 0, 0},
                      {"ErrorText", ftWideString, 1, 0}};
  for (const auto& row : together.rows) {
    expected.columns[2].size =
        std::max<uint32_t>(expected.columns[2].size, uint32_t(row[2].AsWide().size()));
    expected.rows.push_back({row[0], row[1], Variant::OleStr(row[2].AsWide())});
  }
  EXPECT_EQ(test::BlobImage(ResultTableToBlob(expected)), test::BlobImage(replyBlob));
  EXPECT_EQ(successes, kRows - int(bad.size()));
  for (int r = 0; r < kRows; ++r) {
    const auto& row = together.rows[size_t(r)];
    ASSERT_EQ(VariantToText(row[0]), std::to_string(r + 1));
    if (bad.count(r)) {
      EXPECT_TRUE(row[1].IsNull()) << r;
      EXPECT_FALSE(VariantToText(row[2]).empty()) << r;
    } else {
      EXPECT_EQ(VariantToText(row[1]), "1") << r;
      EXPECT_EQ(VariantToText(row[2]), "") << r;
    }
  }
  ResultTable stored = Read("select count(*), sum(id) from upl");
  int64_t expectedSum = 0;
  for (int r = 0; r < kRows; ++r)
    if (!bad.count(r)) expectedSum += r + 1;
  EXPECT_EQ(VariantToText(stored.rows.at(0).at(0)), std::to_string(kRows - bad.size()));
  EXPECT_EQ(VariantToText(stored.rows.at(0).at(1)), std::to_string(expectedSum));

  // Row by row, the same rows give the same reply.
  FreshTable();
  auto [general, generalSuccesses] = Upload(rows, "AddOneGeneral");
  EXPECT_EQ(generalSuccesses, successes);
  ASSERT_EQ(general.rows.size(), together.rows.size());
  for (size_t r = 0; r < general.rows.size(); ++r)
    for (size_t c = 0; c < 3; ++c)
      EXPECT_EQ(VariantToText(general.rows[r][c]), VariantToText(together.rows[r][c]))
          << r << "," << c;
}

// Values of each kind, each going to a column of another type: the database must cast them
// exactly as it casts the literals of a call made on its own (PostgreSQL gets them as parameters
// of one prepared statement, typed as those literals are), and fail the same rows the same way.
TEST_P(UploadRows, ValuesReachTheirColumnsAsInACallOfTheirOwn) {
  const std::string params =
      "--! param @Id\n--! param @I\n--! param @B\n--! param @N\n--! param @D\n--! param @T\n"
      "--! param @S\n--! param @F\n--! param @Y\n--! param @T2\n--! param @S2\n"
      "--! param @F2\n--! param @I2\n";
  const std::string insert =
      "insert into upt (id, i, b, n, d, t, s, f, y, t2, s2, f2, i2) values (@Id, @I, @B, @N, "
      "@D, @T, @S, @F, @Y, @T2, @S2, @F2, @I2)\nreturn 1\n";
  std::ofstream(folder_ / "AddTyped.sql") << params << insert;
  std::ofstream(folder_ / "AddTypedGeneral.sql") << params << "declare @x int\n" << insert;
  const bool pg = target_ != ":memory:";
  auto freshTable = [&] {
    Sql("drop table if exists upt");
    Sql(std::string("create table upt (id integer primary key, i integer, b bigint, n "
                    "numeric(12,3), d double precision, t varchar(30), s timestamp, f boolean, "
                    "y ") +
        (pg ? "bytea" : "blob") + ", t2 varchar(30), s2 timestamp, f2 boolean, i2 integer)");
  };
  ResultTable rows;
  rows.columns = {
      {"Id", ftInteger, 0, 0},    {"I", ftFloat, 0, 0},        {"B", ftLargeint, 0, 0},
      {"N", ftWideString, 20, 0}, {"D", ftLargeint, 0, 0},     {"T", ftFloat, 0, 0},
      {"S", ftDateTime, 0, 0},    {"F", ftBoolean, 0, 0},      {"Y", ftBlob, 0, 0},
      {"T2", ftInteger, 0, 0},    {"S2", ftWideString, 30, 0}, {"F2", ftWideString, 5, 0},
      {"I2", ftCurrency, 0, 0}};
  const Variant null = Variant::Null();
  auto row = [&](int id, Variant i, Variant b, Variant n, Variant d, Variant t) {
    std::vector<Variant> r = {Variant::Integer(id), i, b, n, d, t};
    r.resize(rows.columns.size(), null);
    return r;
  };
  rows.rows = {
      row(1, null, null, null, null, null),
      row(2, Variant::Double(2.5), Variant::Int64(int64_t(1) << 40), Variant::OleStr(u"12.3456"),
          Variant::Int64((int64_t(1) << 53) + 1), Variant::Double(0.1)),
      row(3, Variant::Double(-0.0), Variant::Int64(INT64_MIN), Variant::OleStr(u"-0.0005"),
          Variant::Int64(-7), Variant::Double(1e20)),
      row(4, Variant::Double(3e9), null, null, null, null),     // out of the column's range
      row(5, null, null, Variant::OleStr(u"abc"), null, null),  // not a number
      row(6, null, null, null, null, Variant::Double(1e300)),   // too long as text
      row(7, Variant::Double(-2147483648.0), null, null, null, null),
  };
  rows.rows[1][6] = Variant::Date(45296.4375);  // 2024-01-05 10:30
  rows.rows[1][7] = Variant::Boolean(true);
  rows.rows[1][8] = Variant::FromArray(VarArray::Bytes("\x00\xff'\\", 4));
  rows.rows[1][9] = Variant::Integer(42);
  rows.rows[1][10] = Variant::OleStr(u"2024-01-05 10:03:00");
  rows.rows[1][11] = Variant::OleStr(u"true");
  rows.rows[1][12] = Variant::Currency(Currency{25000});  // 2.5
  rows.rows[2][7] = Variant::Boolean(false);
  rows.rows[2][9] = Variant::Integer(-1);
  rows.rows[2][12] = Variant::Currency(Currency{-35000});  // -3.5

  auto stored = [&] { return Read("select * from upt order by id"); };
  freshTable();
  auto [together, successes] = Upload(rows, "AddTyped");
  const ResultTable togetherRows = stored();
  freshTable();
  auto [general, generalSuccesses] = Upload(rows, "AddTypedGeneral");
  const ResultTable generalRows = stored();

  EXPECT_EQ(successes, generalSuccesses);
  ASSERT_EQ(together.rows.size(), rows.rows.size());
  ASSERT_EQ(general.rows.size(), rows.rows.size());
  for (size_t r = 0; r < rows.rows.size(); ++r)
    for (size_t c = 0; c < 3; ++c)
      EXPECT_EQ(VariantToText(together.rows[r][c]), VariantToText(general.rows[r][c]))
          << "row " << r + 1 << ", column " << c;
  ASSERT_EQ(togetherRows.rows.size(), generalRows.rows.size());
  for (size_t r = 0; r < togetherRows.rows.size(); ++r)
    for (size_t c = 0; c < togetherRows.columns.size(); ++c)
      EXPECT_EQ(VariantToText(togetherRows.rows[r][c]), VariantToText(generalRows.rows[r][c]))
          << "stored row " << r << ", column " << togetherRows.columns[c].name;
  if (pg) {
    // The casts themselves: numeric to integer rounds, text to numeric(12,3) rounds, and the
    // rows that cannot be stored are the three bad ones.
    EXPECT_EQ(successes, 4);
    ASSERT_EQ(togetherRows.rows.size(), 4u);
    EXPECT_EQ(VariantToText(togetherRows.rows[1][1]), "3");
    EXPECT_EQ(VariantToText(togetherRows.rows[1][9]), "42");
    EXPECT_EQ(VariantToText(togetherRows.rows[1][12]), "3");
    EXPECT_EQ(VariantToText(togetherRows.rows[2][12]), "-4");
    EXPECT_EQ(VariantToText(togetherRows.rows[3][1]), "-2147483648");
  }
}

// NaN and the infinities a read delivered go back where the database holds them: PostgreSQL's
// double precision and numeric take all three, SQLite stores the infinities; a NaN for SQLite or
// for a PostgreSQL integer fails its row alone, with a reason.
TEST_P(UploadRows, NonFiniteDoublesReachTheDatabasesThatHoldThem) {
  const std::string params = "--! param @Id\n--! param @D\n--! param @N\n--! param @I\n";
  const std::string insert = "insert into upf (id, d, n, i) values (@Id, @D, @N, @I)\nreturn 1\n";
  std::ofstream(folder_ / "AddFloat.sql") << params << insert;
  std::ofstream(folder_ / "AddFloatGeneral.sql") << params << "declare @x int\n" << insert;
  const bool pg = target_ != ":memory:";
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  ResultTable rows;
  rows.columns = {
      {"Id", ftInteger, 0, 0}, {"D", ftFloat, 0, 0}, {"N", ftFloat, 0, 0}, {"I", ftFloat, 0, 0}};
  const Variant null = Variant::Null();
  rows.rows = {
      {Variant::Integer(1), Variant::Double(nan), Variant::Double(nan), null},
      {Variant::Integer(2), Variant::Double(inf), Variant::Double(inf), null},
      {Variant::Integer(3), Variant::Double(-inf), Variant::Double(-inf), null},
      {Variant::Integer(4), null, null, Variant::Double(nan)},
      {Variant::Integer(5), Variant::Double(0.1 + 0.2), null, null},
  };
  for (const char* proc : {"AddFloat", "AddFloatGeneral"}) {
    Sql("drop table if exists upf");
    Sql("create table upf (id integer primary key, d double precision, n numeric, i integer)");
    auto [out, successes] = Upload(rows, proc);
    ASSERT_EQ(out.rows.size(), rows.rows.size()) << proc;
    EXPECT_EQ(successes, pg ? 4 : 3) << proc;
    for (size_t r : pg ? std::vector<size_t>{3} : std::vector<size_t>{0, 3}) {
      EXPECT_TRUE(out.rows[r][1].IsNull()) << proc << " row " << r + 1;
      EXPECT_NE(VariantToText(out.rows[r][2]), "") << proc << " row " << r + 1;
    }
    if (!pg) {
      EXPECT_EQ(VariantToText(out.rows[0][2]),
                "SQLite cannot store NaN (a number that is not a number)");
    }
    const ResultTable stored =
        Read("select id, d, cast(n as double precision) as n from upf order by id");
    std::vector<std::string> texts;
    for (const auto& row : stored.rows)
      texts.push_back(VariantToText(row[0]) + " " + VariantToText(row[1]) + " " +
                      VariantToText(row[2]));
    const std::vector<std::string> pgTexts = {"1 nan nan", "2 inf inf", "3 -inf -inf",
                                              "5 0.30000000000000004 "};
    const std::vector<std::string> sqliteTexts = {"2 inf inf", "3 -inf -inf",
                                                  "5 0.30000000000000004 "};
    EXPECT_EQ(texts, pg ? pgTexts : sqliteTexts) << proc;
  }
}

TEST_P(UploadRows, ArgumentsThatCannotBeBoundFailTheirRowOnly) {
  FreshTable();
  ResultTable rows;
  // A column the procedure does not declare is left out; a missing required parameter fails.
  rows.columns = {{"Name", ftWideString, 12, 0}, {"Other", ftInteger, 0, 0}};
  rows.rows = {{Variant::OleStr(u"a"), Variant::Integer(1)}};
  auto [out, successes] = Upload(rows, "AddOne");
  ASSERT_EQ(out.rows.size(), 1u);
  EXPECT_EQ(successes, 0);
  EXPECT_TRUE(out.rows[0][1].IsNull());
  EXPECT_NE(VariantToText(out.rows[0][2]).find("@Id"), std::string::npos)
      << VariantToText(out.rows[0][2]);
}

TEST_P(UploadRows, OnlyOneStatementProceduresRunTogether) {
  FreshTable();
  auto lease = state_->Pool(kTableProcService)->Acquire();
  BatchRunner runner(*lease, &state_->Procedures(), state_->Batch(false));
  std::vector<NamedValue> args = {{"Id", Variant::Integer(3)}, {"Name", Variant::OleStr(u"x'y")}};
  std::optional<SimpleCall> call = runner.PlanSimpleCall("AddOne", args, true);
  ASSERT_TRUE(call.has_value());
  EXPECT_EQ(call->returnValue, 1);
  EXPECT_NE(call->statement.sql.find("'x''y'"), std::string::npos) << call->statement.sql;
  EXPECT_FALSE(runner.PlanSimpleCall("AddOneGeneral", args, true).has_value());
}

INSTANTIATE_TEST_SUITE_P(Databases, UploadRows, ::testing::Values("sqlite", "pg"));

}  // namespace
}  // namespace qorvin::server
