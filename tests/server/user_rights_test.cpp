// Each HTTP user's own rights: the statements of a user run with the user's database role
// (PostgreSQL, SET ROLE on the leased session, reset before the session is pooled again) or
// read-only (SQLite), and ControlService's changes follow the user's admin flag.
#include <gtest/gtest.h>
#include <unistd.h>

#include "server/db/SessionPool.h"
#include "tests/server/db_fixture.h"
#include "tests/server/services_fixture.h"

namespace qorvin::server::testing {
namespace {

std::shared_ptr<const HttpUser> User(const std::string& name, const std::string& role,
                                     bool readOnly, bool admin) {
  auto user = std::make_shared<HttpUser>();
  user->name = name;
  user->role = role;
  user->readOnly = readOnly;
  user->admin = admin;
  return user;
}

class UserRightsTest : public ServicesTest {
 protected:
  Reply SendAs(const std::shared_ptr<const HttpUser>& user, const std::string& request) {
    DispatchReply d = host_->Dispatch(request, RequestInfo{"HTTP", "-", user});
    Reply r = ReadReply(d.body);
    EXPECT_EQ(d.failed, r.exception);
    return r;
  }
  Reply SqlAs(const std::shared_ptr<const HttpUser>& user, const std::string& sql) {
    return SendAs(user, Request("ExecSqlService", "SynchExecSQL", UserAndSql(sql)));
  }
};

TEST_F(UserRightsTest, AReadOnlyUserOfSqliteReadsButNeverWrites) {
  const auto reader = User("rita", "", true, false);
  const auto writer = User("walt", "", false, false);
  const std::string insert =
      "insert into Customers (Id, Name, City, Credit) values (90, 'x', 'y', 1)";
  // The writer's statement is kept prepared on the connection; the reader's same text is still
  // refused, before it runs.
  Reply r = SqlAs(writer, insert);
  ASSERT_FALSE(r.exception) << r.errorText;
  for (const std::string& sql :
       {insert, std::string("update Customers set Name = 'z' where Id = 90"),
        std::string("delete from Customers"), std::string("create table T2 (a int)"),
        std::string("attach database ':memory:' as other")}) {
    r = SqlAs(reader, sql);
    ASSERT_TRUE(r.exception) << sql;
    EXPECT_EQ(r.errorClass, "EDatabaseError");
    EXPECT_NE(r.errorText.find("attempt to write a readonly database: the user rita may only read"),
              std::string::npos)
        << r.errorText;
  }
  r = SqlAs(reader, "select count(*) from Customers");
  EXPECT_FALSE(r.exception) << r.errorText;
  // The session is the server's own again for the next lease: the writer and a call without a
  // user write as before.
  r = SqlAs(writer, "update Customers set Name = 'after' where Id = 90");
  EXPECT_FALSE(r.exception) << r.errorText;
  Sql("delete from Customers where Id = 90");
  // SQLite has no roles: a user meant to run as one is refused rather than let through.
  r = SqlAs(User("pat", "reporting", false, false), "select 1");
  ASSERT_TRUE(r.exception);
  EXPECT_NE(r.errorText.find("SQLite has no roles"), std::string::npos) << r.errorText;
}

TEST_F(UserRightsTest, ControlServiceChangesFollowTheUsersAdminFlag) {
  Build(true);  // --admin: still, an HTTP user needs its own flag
  const std::string restart = Request("ControlService", "Restart");
  Reply r = SendAs(User("olga", "", false, false), restart);
  ASSERT_TRUE(r.exception);
  EXPECT_EQ(r.errorClass, "SessionDoesNotHaveRequiredRolesException");
  EXPECT_NE(r.errorText.find("the HTTP user olga is not an admin"), std::string::npos)
      << r.errorText;
  EXPECT_FALSE(Send(restart).exception) << "a call without a user: --admin decides";
  Build(false);
  EXPECT_FALSE(SendAs(User("ops", "", false, true), restart).exception);
  r = Send(restart);
  ASSERT_TRUE(r.exception);
  EXPECT_NE(r.errorText.find("--admin"), std::string::npos);
}

// PostgreSQL: roles of the test's own (made and dropped here) over one pooled session, so that
// every lease reuses it.
class PostgresRolesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PostgresUrl()) GTEST_SKIP() << "no PostgreSQL cluster (set QORVIN_PG_URL)";
    db_ = OpenDatabase(PostgresUrl(), DatabaseOptions{});
    pool_ = std::make_unique<SessionPool>("test", db_, 1, std::chrono::seconds(5));
    const std::string id = std::to_string(::getpid());
    table_ = "qv_secret_" + id;
    reader_ = "qv reader \"" + id + "\"";  // a name that needs quoting
    outsider_ = "qv_outsider_" + id;
    Exec("create table " + table_ + " (n int); insert into " + table_ + " values (42)");
    Exec("create role " + Quoted(reader_) + "; create role " + Quoted(outsider_));
    Exec("grant select on " + table_ + " to " + Quoted(reader_));
  }
  void TearDown() override {
    if (!pool_) return;
    try {
      Exec("drop table if exists " + table_ + "; drop role if exists " + Quoted(reader_) +
           "; drop role if exists " + Quoted(outsider_));
    } catch (...) {
    }
  }
  static std::string Quoted(const std::string& name) {
    std::string q = "\"";
    for (char c : name) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
  }
  StatementResult Exec(const std::string& sql, const SessionUser* user = nullptr) {
    auto lease = pool_->Acquire(user);
    return lease->Execute(sql, ExecLimits{});
  }
  std::string CurrentUser(const SessionUser* user = nullptr) {
    StatementResult r = Exec("select current_user::text", user);
    return r.table.rows.size() == 1 ? r.table.rows[0][0].ToUtf8() : "?";
  }

  std::shared_ptr<IDatabase> db_;
  std::unique_ptr<SessionPool> pool_;
  std::string table_, reader_, outsider_;
};

TEST_F(PostgresRolesTest, EachUserReadsWhatItsRoleIsGranted) {
  SessionUser reader{"rita", reader_, false};
  SessionUser outsider{"otto", outsider_, false};
  const std::string login = CurrentUser();
  EXPECT_EQ(CurrentUser(&reader), reader_);
  StatementResult r = Exec("select n from " + table_, &reader);
  ASSERT_EQ(r.table.RowCount(), 1);
  try {
    Exec("select n from " + table_, &outsider);
    ADD_FAILURE() << "the outsider read the table";
  } catch (const ESqlError& e) {
    EXPECT_NE(std::string(e.what()).find("permission denied for table " + table_),
              std::string::npos)
        << e.what();
  }
  // The failure left the (only) session inside no transaction as the outsider: the next lease
  // is the server's login again, also after a failure inside a transaction.
  EXPECT_EQ(CurrentUser(), login);
  {
    auto lease = pool_->Acquire(&outsider);
    lease->Execute("begin", ExecLimits{});
    EXPECT_THROW(lease->Execute("select n from " + table_, ExecLimits{}), ESqlError);
  }
  EXPECT_EQ(CurrentUser(), login);
  // A role that does not exist fails the lease with the database's text; the pool goes on.
  SessionUser ghost{"gus", "qv_no_such_role_" + std::to_string(::getpid()), false};
  try {
    Exec("select 1", &ghost);
    ADD_FAILURE() << "a role that does not exist was taken";
  } catch (const ESqlError& e) {
    EXPECT_NE(std::string(e.what()).find("does not exist"), std::string::npos) << e.what();
  }
  EXPECT_EQ(CurrentUser(), login);
  // Read-only: writing fails in the database, and the default is back to normal afterwards.
  SessionUser readOnly{"rob", "", true};
  EXPECT_THROW(Exec("insert into " + table_ + " values (1)", &readOnly), ESqlError);
  Exec("insert into " + table_ + " values (2)");
  EXPECT_EQ(Exec("select n from " + table_).table.RowCount(), 2);
}

}  // namespace
}  // namespace qorvin::server::testing
