// SQLite keeps the statements of texts that come again: what they return must always be what a
// fresh statement returns, whatever changed in between.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "server/db/Database.h"
#include "server/db/ResultTable.h"

namespace qorvin::server {
namespace {

std::string Cells(const StatementResult& r) {
  std::string out;
  for (const auto& c : r.table.columns) out += c.name + ";";
  for (const auto& row : r.table.rows) {
    out += "|";
    for (const auto& v : row) out += (v.IsNull() ? std::string("null") : VariantToText(v)) + ";";
  }
  return out;
}

TEST(SqliteStatements, AKeptStatementFollowsTheSchemaAndRecoversFromFailures) {
  auto db = OpenDatabase(":memory:", DatabaseOptions{});
  auto session = db->OpenSession();
  session->Attach(std::chrono::seconds(5));
  const ExecLimits limits;
  session->Execute("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT)", limits);
  session->Execute("INSERT INTO t VALUES (1, 'a')", limits);
  const std::string select = "SELECT * FROM t ORDER BY id";
  EXPECT_EQ(Cells(session->Execute(select, limits)), "id;name;|1;a;");
  EXPECT_EQ(Cells(session->Execute(select, limits)), "id;name;|1;a;");

  // A column added after the statement was kept is in its next result.
  session->Execute("ALTER TABLE t ADD COLUMN extra INTEGER DEFAULT 7", limits);
  EXPECT_EQ(Cells(session->Execute(select, limits)), "id;name;extra;|1;a;7;");

  // A kept statement that fails leaves nothing behind: the same text runs again.
  const std::string insert = "INSERT INTO t (id, name) VALUES (2, 'b')";
  EXPECT_EQ(session->Execute(insert, limits).rowsAffected, 1);
  EXPECT_THROW(session->Execute(insert, limits), std::exception);
  session->Execute("DELETE FROM t WHERE id = 2", limits);
  EXPECT_EQ(session->Execute(insert, limits).rowsAffected, 1);
  EXPECT_EQ(Cells(session->Execute(select, limits)), "id;name;extra;|1;a;7;|2;b;7;");

  // Of a dropped table a kept statement reads nothing stale.
  session->Execute("DROP TABLE t", limits);
  EXPECT_THROW(session->Execute(select, limits), std::exception);
  session->Execute("CREATE TABLE t (id INTEGER PRIMARY KEY)", limits);
  EXPECT_EQ(Cells(session->Execute(select, limits)), "id;");
  session->Detach();
}

}  // namespace
}  // namespace qorvin::server
