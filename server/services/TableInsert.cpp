#include "server/services/TableInsert.h"

#include "server/db/SqlRender.h"

namespace qorvin::server {

int64_t InsertRows(ISession& session, const ExecLimits& limits, const std::string& table,
                   const ResultTable& rows, const std::string& keyColumn, const Variant& keyValue) {
  if (rows.rows.empty()) return 0;
  if (rows.columns.empty() && keyColumn.empty())
    throw EDatabaseError("The uploaded dataset has no columns to insert into " + table);
  Dialect d = session.GetDialect();
  int keyIndex = keyColumn.empty() ? -1 : rows.ColumnIndex(keyColumn);
  std::string head = "INSERT INTO " + SqlIdentifier(table) + " (";
  for (size_t i = 0; i < rows.columns.size(); ++i)
    head += (i ? ", " : "") + SqlIdentifier(rows.columns[i].name);
  if (!keyColumn.empty() && keyIndex < 0)
    head += std::string(rows.columns.empty() ? "" : ", ") + SqlIdentifier(keyColumn);
  head += ") VALUES (";
  int64_t count = 0;
  for (const auto& row : rows.rows) {
    std::string sql = head;
    for (size_t i = 0; i < rows.columns.size(); ++i) {
      const Variant& v = int(i) == keyIndex ? keyValue : (i < row.size() ? row[i] : Variant());
      sql += (i ? ", " : "") + SqlLiteral(v, d);
    }
    if (!keyColumn.empty() && keyIndex < 0)
      sql += std::string(rows.columns.empty() ? "" : ", ") + SqlLiteral(keyValue, d);
    sql += ")";
    session.Execute(sql, limits);
    ++count;
  }
  return count;
}

}  // namespace qorvin::server
