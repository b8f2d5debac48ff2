// ExecProcInsertTable through a one-statement procedure (the rows run together, each under its
// own savepoint) against the same procedure made general (each row a call of its own): rows
// that fail here and there, across pipeline and slice boundaries, must fail alone, with the same
// error texts, and every other row must stay. On SQLite, and on PostgreSQL when QORVIN_PG_URL
// names a database.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "server/services/DataSetBlob.h"
#include "server/services/ServiceHost.h"
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

  // Uploads the rows through `proc`: the reply's per-row table and success count.
  std::pair<ResultTable, int32_t> Upload(const ResultTable& rows, const std::string& proc) {
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
  auto [together, successes] = Upload(rows, "AddOne");
  ASSERT_EQ(together.rows.size(), size_t(kRows));
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
  EXPECT_NE(call->sql.find("'x''y'"), std::string::npos) << call->sql;
  EXPECT_FALSE(runner.PlanSimpleCall("AddOneGeneral", args, true).has_value());
}

INSTANTIATE_TEST_SUITE_P(Databases, UploadRows, ::testing::Values("sqlite", "pg"));

}  // namespace
}  // namespace qorvin::server
