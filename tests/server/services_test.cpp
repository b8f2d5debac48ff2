// ExecSqlService and TableProcService operations, and the dispatcher's handling of bad requests.
#include <gtest/gtest.h>

#include "server/db/DateTimeText.h"
#include "server/services/DataSetBlob.h"
#include "tests/server/services_fixture.h"

namespace qorvin::server {
namespace {

using namespace testing;

ResultTable TableOf(TStream* blob) {
  EXPECT_NE(blob, nullptr);
  std::optional<ResultTable> t = BlobToResultTable(*blob);
  EXPECT_TRUE(t.has_value());
  return t ? *t : ResultTable{};
}

std::string Cell(const ResultTable& t, size_t row, size_t col) {
  return VariantToText(t.rows.at(row).at(col));
}

std::function<void(TROBinMessage&)> TwoCommands(const std::string& a, const std::string& b) {
  return [a, b](TROBinMessage& m) {
    UserAndSql(a)(m);
    m.WriteWideString("aSqlCommand2", Utf8ToUtf16(b));
  };
}

TEST_F(ServicesTest, ReadDataReturnsTheFirstResultSetAsABlob) {
  Reply r = Send(Request("ExecSqlService", "SynchReadData",
                         UserAndSql("select Id, Name, Credit from Customers order by Id\r"
                                    "select 'second set is not sent'")));
  ASSERT_FALSE(r.exception) << r.errorText;
  EXPECT_EQ(r.Integer(), 1);
  ResultTable t = TableOf(r.Binary("aOutData").get());
  ASSERT_EQ(t.rows.size(), 2u);
  EXPECT_EQ(t.columns[1].name, "Name");
  EXPECT_EQ(t.columns[1].type, ftWideString);
  EXPECT_EQ(Cell(t, 0, 1), "Ada Lovelace");
  EXPECT_EQ(t.columns[2].type, ftFloat);
  // A batch without a result set sends an empty blob.
  r = Send(
      Request("ExecSqlService", "SynchReadData", UserAndSql("update Customers set City = City")));
  EXPECT_EQ(r.Integer(), 1);
  EXPECT_EQ(r.Binary("aOutData")->Size(), 0);
}

TEST_F(ServicesTest, SqlErrorsComeBackAsDatabaseErrors) {
  Reply r = Send(Request("ExecSqlService", "SynchExecSQL",
                         UserAndSql("insert into Customers (Id, Name) values (1, 'again')")));
  ASSERT_TRUE(r.exception);
  EXPECT_EQ(r.errorClass, "EDatabaseError");
  EXPECT_NE(r.errorText.find("UNIQUE"), std::string::npos) << r.errorText;
  r = Send(Request("ExecSqlService", "SynchReadData", UserAndSql("select * from NoSuchTable")));
  EXPECT_EQ(r.errorClass, "EDatabaseError");
  EXPECT_NE(r.errorText.find("NoSuchTable"), std::string::npos);
}

TEST_F(ServicesTest, ProceduresReturnValuesAndOutputParameters) {
  Reply r = Send(Request("ExecSqlService", "SynchExecProcOutput",
                         UserAndSql("exec AddCustomer 3, N'Émilie du Châtelet', @Credit = 42.5")));
  ASSERT_FALSE(r.exception) << r.errorText;
  EXPECT_EQ(r.Integer(), 1);
  EXPECT_EQ(r.Ansi("aOutputParam"), "3");
  r = Send(Request("ExecSqlService", "SynchExecProcOutput", UserAndSql("exec AddCustomer 3, 'x'")));
  EXPECT_EQ(r.Integer(), 0);  // the id is taken: the procedure says so
  EXPECT_EQ(r.Ansi("aOutputParam"), "3");
  r = Send(Request("ExecSqlService", "SynchExecProc", UserAndSql("exec dbo.CustomerCount")));
  EXPECT_EQ(r.Integer(), 3);
  r = Send(Request("ExecSqlService", "SynchExecProc", UserAndSql("exec AddCustomer 4")));
  ASSERT_TRUE(r.exception);
  EXPECT_NE(r.errorText.find("expects parameter '@Name'"), std::string::npos);
  r = Send(Request("ExecSqlService", "SynchExecProc", UserAndSql("exec NoSuchProcedure")));
  EXPECT_EQ(r.errorText, "Could not find stored procedure 'NoSuchProcedure'.");
  // Without a procedure call the result is 1.
  r = Send(Request("ExecSqlService", "SynchExecProc", UserAndSql("select 1")));
  EXPECT_EQ(r.Integer(), 1);
}

TEST_F(ServicesTest, TwoReadsAndTheirTransaction) {
  Reply r =
      Send(Request("ExecSqlService", "SynchReadTwoData",
                   TwoCommands("select Name from Customers where Id = 1", "exec OrdersOf 1")));
  ASSERT_FALSE(r.exception) << r.errorText;
  EXPECT_EQ(r.Integer(), 1);
  EXPECT_EQ(Cell(TableOf(r.Binary("aOutData").get()), 0, 0), "Ada Lovelace");
  EXPECT_EQ(Cell(TableOf(r.Binary("aOutData2").get()), 0, 2), "250.75");
  // SynchExecProcReadTwoData runs both commands as one unit: a failing second command undoes
  // the first.
  r = Send(Request("ExecSqlService", "SynchExecProcReadTwoData",
                   TwoCommands("exec AddOrder 101, 2, 10", "select * from NoSuchTable")));
  ASSERT_TRUE(r.exception);
  r = Send(Request("ExecSqlService", "SynchExecProcReadTwoData",
                   TwoCommands("exec AddOrder 101, 2, 10", "exec OrdersOf 2")));
  ASSERT_FALSE(r.exception) << r.errorText;
  EXPECT_EQ(r.Integer(), 1);  // AddOrder's return value
  EXPECT_EQ(r.Binary("aOutData")->Size(), 0);
  ResultTable orders = TableOf(r.Binary("aOutData2").get());
  ASSERT_EQ(orders.rows.size(), 1u);
  EXPECT_EQ(orders.columns[1].type, ftDateTime);
  EXPECT_NEAR(orders.rows[0][1].AsDoubleValue(), NowOleDate(), 60.0 / 86400);
}

TEST_F(ServicesTest, BatchBuildCallsTheProcedurePerRowInOneTransaction) {
  auto build = [&](const std::string& query) {
    return Send(Request("ExecSqlService", "SynchExecProcBatchBuild", [&](TROBinMessage& m) {
      UserAndSql(query)(m);
      m.WriteWideString("aProcName", u"AddOrder");
    }));
  };
  Reply r = build("select 200 + Id as Id, Id as CustomerId, 5 as Amount from Customers");
  ASSERT_FALSE(r.exception) << r.errorText;
  EXPECT_EQ(r.Integer(), 2);
  // The second row collides with the first: nothing of the batch stays.
  r = build("select 300 as Id, 1 as CustomerId, 1 as Amount union all select 300, 2, 1");
  ASSERT_TRUE(r.exception);
  Reply count = Send(Request("ExecSqlService", "SynchReadData",
                             UserAndSql("select count(*) from Orders where Id >= 200")));
  EXPECT_EQ(count.Integer(), 1);
  EXPECT_EQ(Cell(TableOf(count.Binary("aOutData").get()), 0, 0), "2");
}

TEST_F(ServicesTest, InsertsOfUploadedRows) {
  ResultTable upload;
  upload.columns = {{"Id", ftInteger, 0, 0}, {"Amount", ftFloat, 0, 0}};
  upload.rows = {{Variant::Integer(401), Variant::Double(1.5)},
                 {Variant::Integer(402), Variant::Double(2.5)}};
  std::string blob = ResultTableToBlob(upload);
  Reply r = Send(Request("ExecSqlService", "SynchExecInsert", [&](TROBinMessage& m) {
    m.WriteString("aUserId", "u1");
    m.WriteString("aHDHSerialNumber", "");
    TROBinaryMemoryStream s(blob);
    m.WriteBinary("aInData", &s);
    m.WriteString("aTableName", "Orders");
    m.WriteString("aPrimaryKey", "CustomerId");
    m.WriteString("aPrimaryValue", "2");
  }));
  ASSERT_FALSE(r.exception) << r.errorText;
  EXPECT_EQ(r.Integer(), 2);
  // SynchExecSQLInsert: the command adds a customer and selects its key for the rows.
  upload.rows = {{Variant::Integer(501), Variant::Double(7)}};
  blob = ResultTableToBlob(upload);
  r = Send(Request("ExecSqlService", "SynchExecSQLInsert", [&](TROBinMessage& m) {
    UserAndSql("insert into Customers (Id, Name) values (9, 'New')\rselect 9", "aSQLCommand")(m);
    TROBinaryMemoryStream s(blob);
    m.WriteBinary("aInData", &s);
    m.WriteString("aTableName", "[Orders]");
    m.WriteString("aPrimaryKey", "CustomerId");
  }));
  ASSERT_FALSE(r.exception) << r.errorText;
  EXPECT_EQ(r.Integer(), 1);
  Reply check = Send(Request("ExecSqlService", "SynchReadData",
                             UserAndSql("select CustomerId, sum(Amount) from Orders "
                                        "where Id > 400 group by CustomerId order by 1")));
  EXPECT_EQ(check.Integer(), 1);
  ResultTable t = TableOf(check.Binary("aOutData").get());
  ASSERT_EQ(t.rows.size(), 2u);
  EXPECT_EQ(Cell(t, 0, 0), "2");
  EXPECT_EQ(Cell(t, 0, 1), "4");
  EXPECT_EQ(Cell(t, 1, 0), "9");
  // A name that is not a column is quoted, never run: the insert fails and nothing is kept.
  r = Send(Request("ExecSqlService", "SynchExecInsert", [&](TROBinMessage& m) {
    m.WriteString("aUserId", "u1");
    m.WriteString("aHDHSerialNumber", "");
    TROBinaryMemoryStream s(blob);
    m.WriteBinary("aInData", &s);
    m.WriteString("aTableName", "Orders; drop table Customers");
    m.WriteString("aPrimaryKey", "");
    m.WriteString("aPrimaryValue", "");
  }));
  EXPECT_EQ(r.errorClass, "EDatabaseError");
  Sql("select count(*) from Customers");
}

TEST_F(ServicesTest, InsertTableCountsRowsThatReturnTheSuccessValue) {
  ResultTable upload;
  upload.columns = {{"Id", ftInteger, 0, 0},
                    {"Name", ftWideString, 20, 0},
                    {"Extra", ftWideString, 5, 0}};  // no parameter of that name: left out
  upload.rows = {{Variant::Integer(10), Variant::OleStr(u"Ten"), Variant::OleStr(u"x")},
                 {Variant::Integer(1), Variant::OleStr(u"Taken"), Variant::Null()},
                 {Variant::Integer(11), Variant::Null(), Variant::Null()}};
  std::string blob = ResultTableToBlob(upload);
  Reply r = Send(Request("TableProcService", "ExecProcInsertTable", [&](TROBinMessage& m) {
    m.WriteString("aUserID", "u1");
    m.WriteString("aHDHSerialNumber", "");
    TROBinaryMemoryStream s(blob);
    m.WriteBinary("aInData", &s);
    m.WriteString("aProcName", "AddCustomer");
    int32_t success = 1;
    m.WriteInteger("aSuccessReturnValue", TOrdType::otSLong, &success);
  }));
  ASSERT_FALSE(r.exception) << r.errorText;
  EXPECT_EQ(r.Integer(), 1);
  ResultTable out = TableOf(r.Binary("aOutData").get());
  EXPECT_EQ(r.Integer("aSuccessCount"), 1);
  ASSERT_EQ(out.rows.size(), 3u);
  EXPECT_EQ(Cell(out, 0, 1), "1");
  EXPECT_EQ(Cell(out, 1, 1), "0");       // id taken: returned 0
  EXPECT_TRUE(out.rows[2][1].IsNull());  // NULL name: the call failed
  EXPECT_NE(Cell(out, 2, 2).find("NOT NULL"), std::string::npos) << Cell(out, 2, 2);
  // A procedure that does not exist fails the whole call.
  r = Send(Request("TableProcService", "ExecProcInsertTable", [&](TROBinMessage& m) {
    m.WriteString("aUserID", "u1");
    m.WriteString("aHDHSerialNumber", "");
    m.WriteBinary("aInData", nullptr);
    m.WriteString("aProcName", "Missing");
    int32_t success = 1;
    m.WriteInteger("aSuccessReturnValue", TOrdType::otSLong, &success);
  }));
  EXPECT_EQ(r.errorText, "Could not find stored procedure 'Missing'.");
}

TEST_F(ServicesTest, BadRequestsGetTheProtocolsOwnExceptions) {
  Reply r = Send("this is not a binary message, just some text long enough");
  ASSERT_TRUE(r.exception);
  EXPECT_EQ(r.errorClass, "EROInvalidStream");
  r = Send("short");
  EXPECT_EQ(r.errorClass, "EReadError");
  r = Send(Request("NoService", "X"));
  EXPECT_EQ(r.errorText, "Unknown service \"NoService\"");
  r = Send(Request("ExecSqlService", "NoOperation"));
  EXPECT_EQ(r.errorText, "Service ExecSqlService has no operation \"NoOperation\"");
  // Values missing at the end of a request.
  r = Send(Request("ExecSqlService", "SynchExecSQL",
                   [](TROBinMessage& m) { m.WriteString("aUserId", "u1"); }));
  EXPECT_TRUE(r.exception);
  // A string count far beyond the message.
  std::string req = Request("ExecSqlService", "SynchExecSQL",
                            [](TROBinMessage& m) { m.WriteString("aUserId", "u1"); });
  req += std::string("\xFF\xFF\xFF\x7F", 4);
  r = Send(req);
  EXPECT_NE(r.errorText.find("Invalid string length"), std::string::npos) << r.errorText;
  DispatchReply refused = host_->Refuse("too big", RequestInfo{"TEST", "-"});
  EXPECT_TRUE(refused.failed);
  EXPECT_EQ(ReadReply(refused.body).errorClass, "EROMessageTooLarge");
  // The probe is answered before any message parsing.
  EXPECT_EQ(host_->Dispatch("PROBE", RequestInfo{"TEST", "-"}).body, "PROBEDOK");
}

TEST_F(ServicesTest, RepliesKeepTheClientIdAndCompressLargeBodies) {
  TGUID client = TGUID::New();
  Reply r = Send(Request("ExecSqlService", "GetDateTime", {}, client));
  EXPECT_EQ(r.clientId, client);
  EXPECT_FALSE(r.compressed);
  EXPECT_NEAR(r.DateTime(), NowOleDate(), 60.0 / 86400);
  Sql("create table Big(t varchar(10))");
  std::string batch;
  for (int i = 0; i < 100; ++i) batch += "insert into Big values('x')\r";
  Sql(batch);
  // Random text, so that the blob's own compression leaves a body over 4096 bytes.
  r = Send(Request("ExecSqlService", "SynchReadData",
                   UserAndSql("select hex(randomblob(100)) as t from Big")));
  ASSERT_FALSE(r.exception) << r.errorText;
  EXPECT_TRUE(r.compressed);
  EXPECT_EQ(r.Integer(), 1);
  EXPECT_EQ(TableOf(r.Binary("aOutData").get()).rows.size(), 100u);
}

}  // namespace
}  // namespace qorvin::server

namespace qorvin::server {
namespace {

using namespace testing;

// The services on PostgreSQL (when a cluster is named): the save batch, a procedure, a read.
class ServicesOnPostgres : public ServicesTest {
 protected:
  void SetUp() override {
    const char* url = std::getenv("QORVIN_PG_URL");
    if (!url || !*url) GTEST_SKIP() << "no PostgreSQL cluster (set QORVIN_PG_URL)";
    auto db = OpenDatabase(url, DatabaseOptions{});
    auto session = db->OpenSession();
    session->Execute(
        "drop table if exists Orders; drop table if exists Customers;"
        "drop table if exists bUserCommon; drop table if exists bUserGroupCommon",
        ExecLimits{});
    Build(false, url);
  }
};

TEST_F(ServicesOnPostgres, SaveBatchProceduresAndReads) {
  const std::string save =
      "BEGIN TRAN\rdelete from bUserCommon where [UserId]='u1'\r"
      "insert into bUserCommon([UserID],GroupType,MenuIdList,\rGroupOrderBy,CreateDatetime,"
      "CreateOperator)\rvalues('u1','Fav','1,2',1, getdate(),'u1')\r"
      "insert into bUserCommon([UserID],GroupType,MenuIdList,\rGroupOrderBy,CreateDatetime,"
      "CreateOperator)\rvalues('u1',NULL_OR_NAME,'3',2, getdate(),'u1')\r"
      "if @@error=0\rbegin\r  COMMIT TRAN\rend else begin\r  ROLLBACK TRAN\rend\r";
  auto with = [&](const std::string& second) {
    std::string b = save;
    return b.replace(b.find("NULL_OR_NAME"), 12, second);
  };
  Sql(with("'Daily'"));
  Reply r = Send(Request("ExecSqlService", "SynchExecSQL", UserAndSql(with("null"))));
  EXPECT_EQ(r.errorClass, "EDatabaseError");
  r = Send(Request("ExecSqlService", "SynchReadData",
                   UserAndSql("select GroupType, CreateDatetime from bUserCommon "
                              "where UserID = 'u1' order by GroupOrderBy")));
  ASSERT_FALSE(r.exception) << r.errorText;
  EXPECT_EQ(r.Integer(), 1);
  ResultTable t = TableOf(r.Binary("aOutData").get());
  ASSERT_EQ(t.rows.size(), 2u);  // the failed save changed nothing
  EXPECT_EQ(Cell(t, 1, 0), "Daily");
  EXPECT_EQ(t.columns[1].type, ftDateTime);
  r = Send(Request("ExecSqlService", "SynchExecProcOutput",
                   UserAndSql("exec AddCustomer 3, 'Émilie', 'Cirey'")));
  ASSERT_FALSE(r.exception) << r.errorText;
  EXPECT_EQ(r.Integer(), 1);
  EXPECT_EQ(r.Ansi("aOutputParam"), "3");
}

}  // namespace
}  // namespace qorvin::server
