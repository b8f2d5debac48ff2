// A database for one test, on each back end: SQLite in memory always; PostgreSQL when the
// environment names a cluster (QORVIN_PG_URL=postgresql://...), skipped otherwise.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/rtl/Text.h"
#include "server/db/BatchRunner.h"
#include "server/db/Database.h"
#include "server/db/SessionPool.h"

namespace qorvin::server::testing {

inline const char* PostgresUrl() {
  const char* url = std::getenv("QORVIN_PG_URL");
  return url && *url ? url : nullptr;
}

class BackendTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    std::string target = ":memory:";
    if (GetParam() == "postgres") {
      if (!PostgresUrl()) GTEST_SKIP() << "no PostgreSQL cluster (set QORVIN_PG_URL)";
      target = PostgresUrl();
    }
    db_ = OpenDatabase(target, DatabaseOptions{});
    pool_ = std::make_unique<SessionPool>("test", db_, 4, std::chrono::seconds(5));
  }

  bool Postgres() const { return GetParam() == "postgres"; }

  BatchOutcome Run(const std::string& sql, const ProcedureCatalog* procs = nullptr,
                   BatchOptions options = {}) {
    auto lease = pool_->Acquire();
    BatchRunner runner(*lease, procs, options);
    runner.Run(sql);
    runner.Finish();
    return std::move(runner.Outcome());
  }

  // The error text a batch fails with ("" when it succeeds).
  std::string ErrorOf(const std::string& sql, const ProcedureCatalog* procs = nullptr) {
    try {
      Run(sql, procs);
    } catch (const EDatabaseError& e) {
      EXPECT_STREQ(e.ClassName(), "EDatabaseError");
      return e.Message();
    }
    return "";
  }

  // The first cell of the first result set, as text.
  std::string Scalar(const std::string& sql) {
    BatchOutcome o = Run(sql);
    if (o.resultSets.empty() || o.resultSets[0].rows.empty()) return "<none>";
    return VariantToText(o.resultSets[0].rows[0][0]);
  }

  std::shared_ptr<IDatabase> db_;
  std::unique_ptr<SessionPool> pool_;
};

}  // namespace qorvin::server::testing
