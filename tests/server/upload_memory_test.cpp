// Uploaded rows keep to the server's upload budget (--max-upload-memory): a small blob of NULL
// rows that would hold more is refused with a text naming the budget, before any row is
// inserted, within a measured peak, and the budget is whole again after it. On SQLite, and on
// PostgreSQL when QORVIN_PG_URL names a database.
#include <gtest/gtest.h>

#include <cstdlib>

#include "datastream/uConvertAdo.h"
#include "server/services/DataSetBlob.h"
#include "server/services/ServiceHost.h"
#include "tests/server/service_client.h"
#include "tests/support/AllocationMeter.h"
#include "tests/support/NullRowsBlob.h"

namespace qorvin::server {
namespace {

using namespace testing;

constexpr int64_t kMiB = int64_t(1) << 20;

using qorvin::test::NullRowsBlob;

class UploadMemory : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    std::string target = ":memory:";
    if (GetParam() == "pg") {
      const char* url = std::getenv("QORVIN_PG_URL");
      if (!url || !*url) GTEST_SKIP() << "QORVIN_PG_URL is not set";
      target = url;
    }
    ServerConfig config;
    config.database = target;
    config.poolWait = std::chrono::milliseconds(5000);
    config.maxUploadMemory = 4 * kMiB;
    state_ = std::make_unique<ServerState>(config, OpenDatabase(target, DatabaseOptions{}));
    host_ = std::make_unique<ServiceHost>(*state_);
    RegisterExecSqlService(*host_, *state_);
    Sql("drop table if exists up8");
    Sql("create table up8 (c0 integer, c1 integer, c2 integer, c3 integer, c4 integer, "
        "c5 integer, c6 integer, c7 integer)");
  }
  void TearDown() override {
    if (host_) Sql("drop table if exists up8");
    host_.reset();
    state_.reset();
  }
  Reply Send(const std::string& request) {
    DispatchReply d = host_->Dispatch(request, RequestInfo{"TEST", "-"});
    return ReadReply(d.body);
  }
  void Sql(const std::string& sql) {
    Reply r = Send(Request("ExecSqlService", "SynchExecSQL", UserAndSql(sql)));
    ASSERT_FALSE(r.exception) << r.errorText;
  }
  int64_t Rows() {
    Reply r =
        Send(Request("ExecSqlService", "SynchReadData", UserAndSql("select count(*) from up8")));
    EXPECT_FALSE(r.exception) << r.errorText;
    r.Integer();
    auto blob = r.Binary("aOutData");
    ResultTable t = BlobToResultTable(*blob).value_or(ResultTable{});
    return t.rows.empty() ? -1 : t.rows[0][0].AsIntegerValue();
  }
  Reply Insert(const std::string& blob) {
    return Send(Request("ExecSqlService", "SynchExecInsert", [&](TROBinMessage& m) {
      m.WriteString("aUserId", "u1");
      m.WriteString("aHDHSerialNumber", "");
      TROBinaryMemoryStream s(blob);
      m.WriteBinary("aInData", &s);
      m.WriteString("aTableName", "up8");
      m.WriteString("aPrimaryKey", "");
      m.WriteString("aPrimaryValue", "");
    }));
  }

  std::unique_ptr<ServerState> state_;
  std::unique_ptr<ServiceHost> host_;
};

TEST_P(UploadMemory, NullRowsPastTheBudgetAreRefusedBeforeAnyInsert) {
  const std::string blob = NullRowsBlob(300000);
  ASSERT_LT(blob.size(), size_t(kMiB));
  Reply r;
  int64_t peak = 0;
  {
    test::PeakAllocation meter;
    r = Insert(blob);
    peak = meter.PeakBytes();
  }
  ASSERT_TRUE(r.exception);
  EXPECT_NE(r.errorText.find("Upload too large"), std::string::npos) << r.errorText;
  EXPECT_NE(r.errorText.find("of the 4 MiB that the server's uploads may hold at once"),
            std::string::npos)
      << r.errorText;
  EXPECT_NE(r.errorText.find("--max-upload-memory"), std::string::npos) << r.errorText;
  EXPECT_EQ(state_->UploadMemory().InUse(), 0);
  EXPECT_EQ(Rows(), 0);
  // The budget, a block growing past it, the request and the blob, a window of the image.
  if (test::AllocationMeterAvailable()) {
    EXPECT_LT(peak, 12 * kMiB);
  }

  // What fits goes in, and leaves the budget whole again.
  r = Insert(NullRowsBlob(1000));
  ASSERT_FALSE(r.exception) << r.errorText;
  EXPECT_EQ(r.Integer(), 1000);
  EXPECT_EQ(state_->UploadMemory().InUse(), 0);
  EXPECT_EQ(Rows(), 1000);
}

// Two uploads held at once draw from the one budget: the second is refused while the first
// holds its rows, and loads once they are gone.
TEST_P(UploadMemory, UploadsHeldAtOnceShareTheBudget) {
  const std::string blob = NullRowsBlob(50000);  // about 2.5 MiB loaded
  TROBinaryMemoryStream one(blob), two(blob);
  std::optional<UploadedRows> first(std::in_place, one, state_->UploadMemory());
  EXPECT_EQ(first->Count(), 50000u);
  EXPECT_GT(state_->UploadMemory().InUse(), 2 * kMiB);
  EXPECT_THROW(UploadedRows(two, state_->UploadMemory()), ERecordSetTooLarge);
  first.reset();
  EXPECT_EQ(state_->UploadMemory().InUse(), 0);
  TROBinaryMemoryStream again(blob);
  UploadedRows second(again, state_->UploadMemory());
  EXPECT_EQ(second.Count(), 50000u);
}

INSTANTIATE_TEST_SUITE_P(Databases, UploadMemory, ::testing::Values("sqlite", "pg"));

}  // namespace
}  // namespace qorvin::server
