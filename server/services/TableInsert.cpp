#include "server/services/TableInsert.h"

#include "server/db/SqlRender.h"

namespace qorvin::server {

int64_t InsertRows(ISession& session, const ExecLimits& limits, const std::string& table,
                   UploadedRows& rows, const std::string& keyColumn, const Variant& keyValue) {
  if (rows.Count() == 0) return 0;
  const std::vector<ResultColumn>& columns = rows.Columns();
  if (columns.empty() && keyColumn.empty())
    throw EDatabaseError("The uploaded dataset has no columns to insert into " + table);
  Dialect d = session.GetDialect();
  ResultTable names;  // the columns alone, to find the key's among them
  names.columns = columns;
  const int keyIndex = keyColumn.empty() ? -1 : names.ColumnIndex(keyColumn);
  std::string head = "INSERT INTO " + SqlIdentifier(table) + " (";
  for (size_t i = 0; i < columns.size(); ++i)
    head += (i ? ", " : "") + SqlIdentifier(columns[i].name);
  if (!keyColumn.empty() && keyIndex < 0)
    head += std::string(columns.empty() ? "" : ", ") + SqlIdentifier(keyColumn);
  head += ") VALUES (";
  int64_t count = 0;
  rows.Rewind();
  for (std::vector<Variant> row; rows.Next(row);) {
    std::string sql = head;
    for (size_t i = 0; i < columns.size(); ++i) {
      const Variant& v = int(i) == keyIndex ? keyValue : (i < row.size() ? row[i] : Variant());
      sql += (i ? ", " : "") + SqlLiteral(v, d);
    }
    if (!keyColumn.empty() && keyIndex < 0)
      sql += std::string(columns.empty() ? "" : ", ") + SqlLiteral(keyValue, d);
    sql += ")";
    session.Execute(sql, limits);
    ++count;
  }
  return count;
}

}  // namespace qorvin::server
