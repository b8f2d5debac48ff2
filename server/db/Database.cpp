#include "server/db/Database.h"

#include "server/db/SqlRender.h"

namespace qorvin::server {

std::vector<std::optional<std::string>> ISession::ExecuteEach(
    const std::vector<RowStatement>& statements, const ExecLimits& limits) {
  std::vector<std::optional<std::string>> errors(statements.size());
  Execute(BeginSql(GetDialect()), limits);
  try {
    for (size_t i = 0; i < statements.size(); ++i) {
      Execute("SAVEPOINT qv_row", limits);
      try {
        Execute(statements[i].sql, limits);
      } catch (const ESqlError& e) {
        errors[i] = e.Message();
        Execute("ROLLBACK TO SAVEPOINT qv_row", limits);
      }
      Execute("RELEASE SAVEPOINT qv_row", limits);
    }
    Execute("COMMIT", limits);
  } catch (...) {
    if (InTransaction()) {
      try {
        Execute("ROLLBACK", limits);
      } catch (const Exception&) {
      }
    }
    throw;
  }
  return errors;
}

std::shared_ptr<IDatabase> OpenDatabase(const std::string& target, const DatabaseOptions& options) {
  std::shared_ptr<IDatabase> db;
  if (target.rfind("postgres://", 0) == 0 || target.rfind("postgresql://", 0) == 0) {
    db = OpenPostgresDatabase(target, options);
  } else {
    db = OpenSqliteDatabase(target, options);
  }
  db->OpenSession();  // fail now, not at the first request
  return db;
}

}  // namespace qorvin::server
