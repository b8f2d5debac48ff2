// An INSERT whose query has a common table expression, written before the INSERT or between its
// target and its query, stays one statement; a table expression after a complete statement
// still begins the next one.
#include <gtest/gtest.h>

#include "platform/rtl/Text.h"
#include "server/db/SqlParser.h"
#include "server/db/SqlRender.h"
#include "tests/server/db_fixture.h"

namespace qorvin::server {
namespace {

using testing::BackendTest;

struct NoVars : IVariableSource {
  const Variant* FindVariable(const std::string&) const override { return nullptr; }
  int64_t SystemValue(const std::string& name) const override {
    throw EDatabaseError("Unknown system variable @@" + name);
  }
};

std::vector<std::string> Statements(const std::string& sql) {
  auto script = ParseScript(sql);
  std::vector<std::string> out;
  NoVars vars;
  for (const auto& s : script->statements) {
    EXPECT_EQ(s->kind, StmtKind::Sql) << "statement at line " << s->line;
    out.push_back(RenderSql(*script, s->tokens, Dialect::SQLite, vars));
  }
  return out;
}

const char kInsertThenWith[] =
    "insert into Big (Id, T) with recursive n(i) as "
    "(select 1 union all select i + 1 from n where i < 3) select i, 'x' from n";
const char kWithThenInsert[] =
    "with n(i) as (select 1 union all select i + 1 from n where i < 3) "
    "insert into Big (Id, T) select i, 'x' from n";

TEST(SqlParser, InsertWithCommonTableExpressionIsOneStatement) {
  EXPECT_EQ(Statements(kInsertThenWith), std::vector<std::string>{kInsertThenWith});
  EXPECT_EQ(Statements(kWithThenInsert), std::vector<std::string>{kWithThenInsert});
  // Several table expressions, a plain (not recursive) one, and a following statement.
  auto s = Statements(
      "insert into t with a as (select 1 x), b(y) as (select x from a) select y from b\r"
      "with c as (select 2 x) insert into t select x from c union select 3\r"
      "select 4");
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0],
            "insert into t with a as (select 1 x), b(y) as (select x from a) select y from b");
  EXPECT_EQ(s[1], "with c as (select 2 x) insert into t select x from c union select 3");
  EXPECT_EQ(s[2], "select 4");
}

TEST(SqlParser, InsertWithCommonTableExpressionAfterACompleteStatementSplits) {
  auto s = Statements(
      "insert into t values(1)\r"
      "with a as (select 1 x) select x from a\r"
      "insert into t select 2\r"
      "with recursive b(x) as (select 1) insert into t select x from b\r"
      "with c(x) as (select 1) insert into t values(5)\r"
      "with d as (select 1 x) select x from d");
  ASSERT_EQ(s.size(), 6u);
  EXPECT_EQ(s[0], "insert into t values(1)");
  EXPECT_EQ(s[1], "with a as (select 1 x) select x from a");
  EXPECT_EQ(s[2], "insert into t select 2");
  EXPECT_EQ(s[3], "with recursive b(x) as (select 1) insert into t select x from b");
  EXPECT_EQ(s[4], "with c(x) as (select 1) insert into t values(5)");
  EXPECT_EQ(s[5], "with d as (select 1 x) select x from d");
}

TEST_P(BackendTest, InsertWithCommonTableExpressionRunsOnTheDatabase) {
  Run("drop table if exists Big;create table Big(Id int, T varchar(10))");
  // PostgreSQL wants RECURSIVE before a table expression that names itself; SQLite does not.
  std::string withThenInsert = kWithThenInsert;
  if (Postgres()) withThenInsert.replace(0, 4, "with recursive");
  for (const std::string& batch : {std::string(kInsertThenWith), withThenInsert}) {
    BatchOutcome o = Run(batch + "\rselect count(*), sum(Id) from Big");
    EXPECT_EQ(o.rowsAffected, 3) << batch;
    ASSERT_EQ(o.resultSets.size(), 1u) << batch;
    ASSERT_EQ(o.resultSets[0].rows.size(), 1u);
    EXPECT_EQ(VariantToText(o.resultSets[0].rows[0][0]), "3") << batch;
    EXPECT_EQ(VariantToText(o.resultSets[0].rows[0][1]), "6") << batch;
    Run("delete from Big");
  }
  Run("drop table Big");
}

}  // namespace
}  // namespace qorvin::server
