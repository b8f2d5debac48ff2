// Batch semantics of the dialect on a real database: transactions, errors, variables, types.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "messaging/uROBinaryHelpers.h"
#include "server/db/DateTimeText.h"
#include "server/db/SqlRender.h"
#include "server/services/DataSetBlob.h"
#include "tests/server/db_fixture.h"

namespace qorvin::server {
namespace {

using testing::BackendTest;

const char kSchema[] =
    "drop table if exists bUserCommon;"
    "create table bUserCommon(UserID varchar(20) not null, GroupType varchar(50) not null,"
    " MenuIdList varchar(200), GroupOrderBy int, CreateDatetime timestamp,"
    " CreateOperator varchar(20))";

// How a save batch guards its transaction: the closing "if @@error=0 COMMIT else ROLLBACK"
// alone; a test of @@error after every statement that rolls back and returns at the first
// failure (what the common-functions dialog sends); or SET XACT_ABORT ON at its head.
enum class Guard { TailOnly, EachStatement, XactAbort };

// The save batch of the common-functions dialog: carriage returns only, quotes doubled.
std::string SaveBatch(const std::string& user, const std::string& first, const std::string& second,
                      Guard guard = Guard::EachStatement) {
  const std::string check =
      guard == Guard::EachStatement ? "if @@error<>0\rbegin\r  ROLLBACK TRAN\r  return\rend\r" : "";
  std::string b = guard == Guard::XactAbort ? "SET XACT_ABORT ON\r" : "";
  b += "BEGIN TRAN\rdelete from bUserCommon where [UserId]='" + user + "'\r";
  int n = 0;
  for (const std::string& group : {first, second}) {
    b += check;
    b += "insert into bUserCommon([UserID],GroupType,MenuIdList,\rGroupOrderBy,CreateDatetime,"
         "CreateOperator)\rvalues('" +
         user + "'," + group + ",'1,2'," + std::to_string(++n) + ", getdate(),'" + user + "')\r";
  }
  return b + "if @@error=0\rbegin\r  COMMIT TRAN\rend else begin\r  ROLLBACK TRAN\rend\r";
}

TEST_P(BackendTest, SaveBatchCommitsWholeOrNotAtAll) {
  Run(kSchema);
  Run("insert into bUserCommon values('o''k', 'old', '9', 1, null, 'x')");
  BatchOutcome ok = Run(SaveBatch("o''k", "'Fav''s'", "'Daily'"));
  EXPECT_EQ(ok.rowsAffected, 3);  // one delete, two inserts
  BatchOutcome rows =
      Run("select GroupType, GroupOrderBy, CreateDatetime from bUserCommon "
          "where UserID = 'o''k' order by GroupOrderBy");
  ASSERT_EQ(rows.resultSets.size(), 1u);
  const ResultTable& t = rows.resultSets[0];
  ASSERT_EQ(t.rows.size(), 2u);
  EXPECT_EQ(VariantToText(t.rows[0][0]), "Fav's");
  EXPECT_EQ(t.columns[1].type, ftInteger);
  EXPECT_EQ(t.columns[2].type, ftDateTime);
  EXPECT_NEAR(t.rows[0][2].AsDoubleValue(), NowOleDate(), 60.0 / 86400);

  // A failing insert (NULL into a NOT NULL column) in either position rolls back the delete
  // and the other insert, however the batch guards itself, and the database's message comes
  // back; no transaction stays open on the session.
  for (Guard guard : {Guard::EachStatement, Guard::TailOnly, Guard::XactAbort}) {
    for (bool failFirst : {false, true}) {
      const std::string batch = failFirst ? SaveBatch("o''k", "null", "'New'", guard)
                                          : SaveBatch("o''k", "'New'", "null", guard);
      {
        auto lease = pool_->Acquire();
        {
          BatchRunner runner(*lease, nullptr, BatchOptions{});
          try {
            runner.Run(batch);
            ADD_FAILURE() << "the batch succeeded";
          } catch (const EDatabaseError& e) {
            EXPECT_NE(AsciiUpper(e.Message()).find("NULL"), std::string::npos) << e.Message();
          }
        }
        EXPECT_FALSE(lease->InTransaction());
        // The session goes on as before: a later batch continues after its own failure.
        BatchRunner runner(*lease, nullptr, BatchOptions{});
        EXPECT_THROW(
            runner.Run("insert into bUserCommon values('later', null, '', 1, null, 'x')\r"
                       "insert into bUserCommon values('later', 'kept', '', 1, null, 'x')"),
            EDatabaseError);
      }
      const std::string what =
          "guard " + std::to_string(int(guard)) + " failFirst " + std::to_string(failFirst);
      EXPECT_EQ(Scalar("select count(*) from bUserCommon where GroupType in ('Fav''s','Daily')"),
                "2")
          << what;
      EXPECT_EQ(Scalar("select count(*) from bUserCommon where GroupType = 'New'"), "0") << what;
      EXPECT_EQ(Scalar("select count(*) from bUserCommon where UserID = 'later'"), "1") << what;
      Run("delete from bUserCommon where UserID = 'later'");
    }
  }
}

TEST_P(BackendTest, XactAbortStopsAtTheFirstFailureAndUndoesTheBatch) {
  Run("drop table if exists t1; create table t1(id int primary key)");
  std::string err = ErrorOf(
      "SET XACT_ABORT ON\rinsert into t1 values(1)\r"
      "insert into t1 values(1)\rinsert into t1 values(3)");
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(Scalar("select count(*) from t1"), "0");
  // Without it, every statement runs on its own: the good ones stay, the error is reported.
  err = ErrorOf("insert into t1 values(1)\rinsert into t1 values(1)\rinsert into t1 values(3)");
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(Scalar("select count(*) from t1"), "2");
  // An atomic run spans several batches and ends with the first failure.
  {
    auto lease = pool_->Acquire();
    {
      BatchOptions atomic;
      atomic.atomic = true;
      BatchRunner runner(*lease, nullptr, atomic);
      runner.Run("insert into t1 values(10)");
      EXPECT_THROW(runner.Run("insert into t1 values(10)"), EDatabaseError);
    }
    EXPECT_FALSE(lease->InTransaction());
  }
  EXPECT_EQ(Scalar("select count(*) from t1 where id = 10"), "0");
}

TEST_P(BackendTest, TransactionCountsAndMisuse) {
  Run("drop table if exists t2; create table t2(id int primary key)");
  Run("begin tran\rbegin tran\rinsert into t2 values(1)\rcommit tran\r"
      "select @@trancount\rcommit tran");
  EXPECT_EQ(Scalar("select count(*) from t2"), "1");
  Run("begin transaction\rinsert into t2 values(2)\rrollback");
  EXPECT_EQ(Scalar("select count(*) from t2"), "1");
  EXPECT_NE(ErrorOf("begin tran\rinsert into t2 values(3)").find("BEGIN TRAN without COMMIT"),
            std::string::npos);
  EXPECT_EQ(Scalar("select count(*) from t2"), "1");
  EXPECT_NE(ErrorOf("commit tran").find("no corresponding BEGIN"), std::string::npos);
  EXPECT_NE(ErrorOf("rollback tran").find("no corresponding BEGIN"), std::string::npos);
  // A transaction in which a statement failed does not commit, even when asked to.
  EXPECT_FALSE(ErrorOf("begin tran\rinsert into t2 values(4)\rinsert into t2 values(1)\r"
                       "commit tran")
                   .empty());
  EXPECT_EQ(Scalar("select count(*) from t2"), "1");
  // After a failure outside any transaction, later statements still run.
  EXPECT_FALSE(ErrorOf("insert into t2 values(1)\rinsert into t2 values(5)").empty());
  EXPECT_EQ(Scalar("select count(*) from t2"), "2");
}

TEST_P(BackendTest, VariablesConditionsAndReturn) {
  Run("drop table if exists t3; create table t3(id int, name varchar(10))");
  BatchOutcome o =
      Run("declare @n int = 2, @who varchar(10)\r"
          "set @who = N'it''s'\r"
          "insert into t3 values(@n, @who)\r"
          "insert into t3 values(@n + 1, @who)\r"
          "update t3 set name = 'x' where id > 0\r"
          "declare @changed int = @@rowcount\r"
          "if (select count(*) from t3) > 1 and @changed = 2 select 'many', @who\r"
          "else select 'few'\r"
          "return\r"
          "select 'never'");
  ASSERT_EQ(o.resultSets.size(), 1u);
  EXPECT_EQ(VariantToText(o.resultSets[0].rows[0][0]), "many");
  EXPECT_EQ(VariantToText(o.resultSets[0].rows[0][1]), "it's");
  EXPECT_NE(ErrorOf("set @undeclared = 1").find("@undeclared"), std::string::npos);
  EXPECT_NE(ErrorOf("declare @a int\rdeclare @A int").find("already been declared"),
            std::string::npos);
  EXPECT_EQ(ErrorOf("raiserror('stop here', 16, 1)"), "stop here");
  EXPECT_EQ(ErrorOf("throw 50001, 'thrown', 1"), "thrown");
  // Statements with errors after a RAISERROR still run; @@error reports the first error.
  o = Run("select @@error");
  EXPECT_EQ(VariantToText(o.resultSets[0].rows[0][0]), "0");
}

TEST_P(BackendTest, ResultColumnsTakeTheirTypesFromTheDatabase) {
  Run("drop table if exists t4;"
      "create table t4(i int, b bigint, f double precision, s varchar(12), d timestamp,"
      " n int, flag boolean)");
  Run("insert into t4 values(7, 5000000000, 2.5, 'héllo', '2024-02-29 13:14:15.250', null, "
      "'1')");
  BatchOutcome o = Run("select i, b, f, s, d, n, flag from t4");
  ASSERT_EQ(o.resultSets.size(), 1u);
  const ResultTable& t = o.resultSets[0];
  ASSERT_EQ(t.rows.size(), 1u);
  EXPECT_EQ(t.columns[0].type, ftInteger);
  EXPECT_EQ(t.rows[0][0].Kind(), varInteger);
  EXPECT_EQ(t.columns[1].type, ftLargeint);
  EXPECT_EQ(t.rows[0][1].AsIntegerValue(), 5000000000LL);
  EXPECT_EQ(t.columns[2].type, ftFloat);
  EXPECT_EQ(t.columns[3].type, ftWideString);
  EXPECT_EQ(t.columns[3].size, 12u);
  EXPECT_EQ(t.rows[0][3].AsWide(), u"héllo");
  EXPECT_EQ(t.columns[4].type, ftDateTime);
  EXPECT_EQ(FormatDateTimeText(t.rows[0][4].AsDoubleValue()), "2024-02-29 13:14:15.250");
  EXPECT_EQ(t.columns[5].type, ftInteger);
  EXPECT_TRUE(t.rows[0][5].IsNull());
  EXPECT_EQ(t.columns[6].type, ftBoolean);
  EXPECT_TRUE(t.rows[0][6].AsBoolean());
  // Binary values travel both ways.
  o = Run("select 0x00FF10 as bin");
  ASSERT_EQ(o.resultSets[0].columns[0].type, ftBlob);
  EXPECT_EQ(o.resultSets[0].rows[0][0].AsArray().RawData(), (std::vector<uint8_t>{0, 255, 16}));
}

// Fractions of a second arrive to the microsecond: a timestamp keeps its microseconds, and a time
// with a fraction (which DBTIME cannot hold) makes its column a date-time on 1899-12-30, through
// the dataset blob too; a time without one stays a time.
TEST_P(BackendTest, SubSecondPartsArriveToTheMicrosecond) {
  Run("drop table if exists t5;"
      "create table t5(tm time, ts timestamp, dt date, tm2 time)");
  Run("insert into t5 values('23:59:59.999', '2024-02-29 13:14:15.123456', '2024-02-29', "
      "'08:30:00')");
  BatchOutcome o = Run("select tm, ts, dt, tm2 from t5");
  ASSERT_EQ(o.resultSets.size(), 1u);
  const ResultTable& t = o.resultSets[0];
  ASSERT_EQ(t.rows.size(), 1u);
  std::string blob = ResultTableToBlob(t);
  TROBinaryMemoryStream stream(blob);
  const std::optional<ResultTable> sent = BlobToResultTable(stream);
  ASSERT_TRUE(sent.has_value());
  for (const ResultTable* table : {&t, &*sent}) {
    EXPECT_EQ(table->columns[0].type, ftDateTime);
    EXPECT_EQ(FormatDateTimeText(table->rows[0][0].AsDoubleValue()), "1899-12-30 23:59:59.999");
    EXPECT_EQ(table->columns[1].type, ftDateTime);
    EXPECT_EQ(FormatDateTimeText(table->rows[0][1].AsDoubleValue()), "2024-02-29 13:14:15.123456");
    EXPECT_EQ(table->columns[2].type, ftDate);
    EXPECT_EQ(table->columns[3].type, ftTime);
    EXPECT_EQ(FormatDateTimeText(table->rows[0][3].AsDoubleValue()), "1899-12-30 08:30:00");
  }
  // Written back as an upload writes it, the microseconds reach the database.
  Run("insert into t5 (ts) values (" +
      SqlLiteral(t.rows[0][1], Postgres() ? Dialect::PostgreSQL : Dialect::SQLite) + ")");
  EXPECT_EQ(Scalar("select count(*) from t5 where ts = '2024-02-29 13:14:15.123456'"), "2");
}

// The extremes of PostgreSQL's integer and floating-point text forms arrive as exact values:
// the ends of each integer range, and doubles at their limits, subnormal, signed zero, infinite
// and not a number.
TEST_P(BackendTest, NumericExtremesArriveExactly) {
  if (!Postgres()) GTEST_SKIP() << "PostgreSQL's text forms";
  BatchOutcome o =
      Run("select '-9223372036854775808'::bigint, 9223372036854775807::bigint, '-32768'::smallint,"
          " 2147483647::int, 1.7976931348623157e308::float8, '4.9406564584124654e-324'::float8,"
          " '-0'::float8, 0.1::float8, 'Infinity'::float8, '-Infinity'::float8, 'NaN'::float8,"
          " 3.4028235e38::float4");
  ASSERT_EQ(o.resultSets.size(), 1u);
  const std::vector<Variant>& row = o.resultSets[0].rows.at(0);
  EXPECT_EQ(row[0].AsIntegerValue(), INT64_MIN);
  EXPECT_EQ(row[1].AsIntegerValue(), INT64_MAX);
  EXPECT_EQ(row[2].AsIntegerValue(), -32768);
  EXPECT_EQ(row[3].AsIntegerValue(), 2147483647);
  EXPECT_EQ(row[4].AsDoubleValue(), 1.7976931348623157e308);
  EXPECT_EQ(row[5].AsDoubleValue(), 4.9406564584124654e-324);
  EXPECT_EQ(row[6].AsDoubleValue(), 0.0);
  EXPECT_TRUE(std::signbit(row[6].AsDoubleValue()));
  EXPECT_EQ(row[7].AsDoubleValue(), 0.1);
  EXPECT_EQ(row[8].AsDoubleValue(), HUGE_VAL);
  EXPECT_EQ(row[9].AsDoubleValue(), -HUGE_VAL);
  EXPECT_TRUE(std::isnan(row[10].AsDoubleValue()));
  EXPECT_EQ(row[11].AsDoubleValue(), 3.4028235e38) << "a real's shortest text, read as a double";
}

TEST_P(BackendTest, LimitsEndOversizedResults) {
  Run("drop table if exists t5; create table t5(id int)");
  Run("insert into t5 values(1)\rinsert into t5 values(2)\rinsert into t5 values(3)");
  BatchOptions small;
  small.limits.maxRows = 2;
  try {
    Run("select id from t5", nullptr, small);
    FAIL() << "three rows passed a limit of two";
  } catch (const EDatabaseError& e) {
    EXPECT_NE(std::string(e.Message()).find("more than 2 rows"), std::string::npos);
  }
  BatchOptions fewSets;
  fewSets.maxResultSets = 1;
  EXPECT_THROW(Run("select 1\rselect 2", nullptr, fewSets), EDatabaseError);
  // The session is usable afterwards.
  EXPECT_EQ(Scalar("select count(*) from t5"), "3");
}

INSTANTIATE_TEST_SUITE_P(Db, BackendTest, ::testing::Values("sqlite", "postgres"));

TEST(SessionPool, WaitsBoundedAndRetiresSessions) {
  auto db = OpenDatabase(":memory:", DatabaseOptions{});
  SessionPool pool("ExecSqlService", db, 1, std::chrono::milliseconds(50));
  {
    auto lease = pool.Acquire();
    EXPECT_EQ(pool.InUse(), 1);
    try {
      pool.Acquire();
      FAIL() << "a second lease from a pool of one";
    } catch (const EDatabaseError& e) {
      EXPECT_EQ(std::string(e.Message()),
                "All 1 database sessions of ExecSqlService are busy; try again later.");
    }
    lease->Execute("create table p(x int)", ExecLimits{});
    lease->Execute("BEGIN", ExecLimits{});
    lease->Execute("insert into p values(1)", ExecLimits{});
  }
  // The returned session's open transaction was rolled back; the session is kept.
  EXPECT_EQ(pool.InUse(), 0);
  EXPECT_EQ(pool.Idle(), 1);
  {
    auto lease = pool.Acquire();
    EXPECT_EQ(lease->Execute("select count(*) from p", ExecLimits{}).table.rows[0][0].ToInt64(), 0);
  }
  pool.Clear();
  EXPECT_EQ(pool.Idle(), 0);
  pool.SetMaxSize(0);  // clamped to 1
  EXPECT_EQ(pool.MaxSize(), 1);
}

}  // namespace
}  // namespace qorvin::server
