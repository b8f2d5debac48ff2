// Decimals of different scales in one column (20 whole digits and 21 places: 41 digits, more
// than a NUMERIC column's 38) travel as a VARNUMERIC column, every value exactly, and go back
// into the database exactly when uploaded; more than the 64 digits a record set holds refuses
// the read, naming the column, instead of rounding. PostgreSQL end to end when QORVIN_PG_URL
// names a database.
#include <gtest/gtest.h>

#include <cstdlib>

#include "datastream/uConvertAdo.h"
#include "platform/ado/AdoDataSet.h"
#include "server/services/DataSetBlob.h"
#include "server/services/ServiceHost.h"
#include "tests/server/service_client.h"

namespace qorvin::server {
namespace {

using namespace testing;

const char* const kWide[] = {"12345678901234567890", "0.123456789012345678901",
                             "-98765432109876543210.5"};

ResultTable WideTable() {
  ResultTable t;
  t.columns = {{"n", ftFMTBcd, 21, 41}};
  for (const char* v : kWide) t.rows.push_back({Variant::FromBcd(Bcd::FromString(v))});
  t.rows.push_back({Variant::Null()});
  return t;
}

// The value as exact text without trailing zeros of its fraction.
std::string Exact(const Variant& v) {
  if (v.IsNull()) return "NULL";
  EXPECT_EQ(v.Kind(), varBcd) << "the value is not exact";
  std::string s = v.Kind() == varBcd ? v.AsBcd().ToString() : v.ToUtf8();
  if (s.find('.') != std::string::npos) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  return s;
}

TEST(WideNumeric, DecimalsOfMixedScalesTravelExactly) {
  const std::string blob = ResultTableToBlob(WideTable());
  TROBinaryMemoryStream in(blob);
  const std::optional<ResultTable> back = BlobToResultTable(in);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->rows.size(), 4u);
  EXPECT_EQ(back->columns[0].type, ftFMTBcd);
  for (size_t r = 0; r < 3; ++r) EXPECT_EQ(Exact(back->rows[r][0]), kWide[r]);
  EXPECT_TRUE(back->rows[3][0].IsNull());

  // The record set's column is a VARNUMERIC of the column's digits.
  TAdoDataSet ds;
  TROBinaryMemoryStream again(blob);
  ASSERT_TRUE(StreamToAdoDataSet(&ds, &again, true));
  EXPECT_EQ(ds.FieldDefs()[0].adoType, adVarNumeric);
  EXPECT_EQ(ds.FieldDefs()[0].precision, 41u);
}

TEST(WideNumeric, MoreDigitsThanARecordSetHoldsRefuseTheRead) {
  ResultTable t;
  t.columns = {{"amount", ftFMTBcd, 30, 70}};
  t.rows = {{Variant::FromBcd(Bcd::FromString("1.5"))}};
  try {
    ResultTableToBlob(t);
    ADD_FAILURE() << "a column of 70 digits was sent";
  } catch (const EDatabaseError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("Column amount holds decimals of 70 digits"), std::string::npos) << text;
    EXPECT_NE(text.find("cast it to a narrower numeric or to text"), std::string::npos) << text;
  }
}

class WideNumericPg : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* url = std::getenv("QORVIN_PG_URL");
    if (!url || !*url) GTEST_SKIP() << "QORVIN_PG_URL is not set";
    ServerConfig config;
    config.database = url;
    config.poolWait = std::chrono::milliseconds(5000);
    state_ = std::make_unique<ServerState>(config, OpenDatabase(url, DatabaseOptions{}));
    host_ = std::make_unique<ServiceHost>(*state_);
    RegisterExecSqlService(*host_, *state_);
    Sql("drop table if exists wide_numeric");
    Sql("create table wide_numeric (n numeric)");
  }
  void TearDown() override {
    if (host_) Sql("drop table if exists wide_numeric");
  }
  Reply Send(const std::string& request) {
    return ReadReply(host_->Dispatch(request, RequestInfo{"TEST", "-"}).body);
  }
  void Sql(const std::string& sql) {
    Reply r = Send(Request("ExecSqlService", "SynchExecSQL", UserAndSql(sql)));
    ASSERT_FALSE(r.exception) << r.errorText;
  }
  std::string ReadBlob(const std::string& sql) {
    Reply r = Send(Request("ExecSqlService", "SynchReadData", UserAndSql(sql)));
    EXPECT_FALSE(r.exception) << r.errorText;
    if (r.exception) return {};
    r.Integer();
    auto blob = r.Binary("aOutData");
    std::string bytes(size_t(blob->Size()), '\0');
    blob->SetPosition(0);
    blob->ReadBuffer(bytes.data(), blob->Size());
    return bytes;
  }
  std::vector<std::string> Values(const std::string& blob) {
    TROBinaryMemoryStream in(blob);
    std::vector<std::string> out;
    for (const auto& row : BlobToResultTable(in).value_or(ResultTable{}).rows)
      out.push_back(Exact(row[0]));
    return out;
  }

  std::unique_ptr<ServerState> state_;
  std::unique_ptr<ServiceHost> host_;
};

TEST_F(WideNumericPg, MixedScalesAreReadAndUploadedExactly) {
  Sql("insert into wide_numeric values (12345678901234567890), (0.123456789012345678901), "
      "(-98765432109876543210.5)");
  const std::string blob = ReadBlob("select n from wide_numeric order by n desc nulls last");
  const std::vector<std::string> expected = {kWide[0], kWide[1], kWide[2]};
  EXPECT_EQ(Values(blob), expected);

  // The same blob uploaded back: the database holds the same numbers.
  Sql("delete from wide_numeric");
  Reply r = Send(Request("ExecSqlService", "SynchExecInsert", [&](TROBinMessage& m) {
    m.WriteString("aUserId", "u1");
    m.WriteString("aHDHSerialNumber", "");
    TROBinaryMemoryStream s(blob);
    m.WriteBinary("aInData", &s);
    m.WriteString("aTableName", "wide_numeric");
    m.WriteString("aPrimaryKey", "");
    m.WriteString("aPrimaryValue", "");
  }));
  ASSERT_FALSE(r.exception) << r.errorText;
  Reply text = Send(Request("ExecSqlService", "SynchReadData",
                            UserAndSql("select n::text from wide_numeric order by n desc")));
  ASSERT_FALSE(text.exception) << text.errorText;
  text.Integer();
  auto rows = text.Binary("aOutData");
  const ResultTable stored = BlobToResultTable(*rows).value_or(ResultTable{});
  ASSERT_EQ(stored.rows.size(), 3u);
  EXPECT_EQ(stored.rows[0][0].ToUtf8(), kWide[0]);
  EXPECT_EQ(stored.rows[1][0].ToUtf8(), kWide[1]);
  EXPECT_EQ(stored.rows[2][0].ToUtf8(), kWide[2]);
}

}  // namespace
}  // namespace qorvin::server
