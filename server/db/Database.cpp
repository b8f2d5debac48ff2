#include "server/db/Database.h"

namespace qorvin::server {

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
