#include "plugins/personal/SaveBatch.h"

#include <vector>

#include "plugins/personal/GroupListText.h"

namespace qorvin {

std::string QuoteSql(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

std::string UserGroupSelectSql(const std::string& group) {
  return "select * from bUserGroupCommon where UserGroup = " + QuoteSql(group) +
         " order by GroupOrderBy";
}

// Batch layout (CR = carriage return, q() = QuoteSql, n = 1-based group position):
//   BEGIN TRAN CR
//   delete from bUserCommon where [UserId]=q(user) CR            (personal)
//   delete from bUserGroupCommon where [UserGroup]=q(group) CR   (user group)
//   per group, personal:
//     CHECK                                                      (the statement before failed?)
//     insert into bUserCommon([UserID],GroupType,MenuIdList, CR
//     GroupOrderBy,CreateDatetime,CreateOperator) CR
//     values(q(user),q(name),q(ids),n, getdate(),q(user)) CR
//   per group, user group: the same on bUserGroupCommon([UserGroup],... with q(group) first
//   if @@error=0 CR begin CR   COMMIT TRAN CR end else begin CR   ROLLBACK TRAN CR end CR
// where CHECK is
//   if @@error<>0 CR begin CR   ROLLBACK TRAN CR   return CR end CR
// @@error is the error of the statement just before, so every statement is checked: a failure
// rolls back at once and ends the batch, and the closing test covers the last statement. No
// session setting is changed, so a pooled session goes back to the pool as it came.
std::string BuildSaveBatch(const std::string& groupListText, const std::string& user,
                           const std::string& group) {
  static constexpr const char* kCheck = "if @@error<>0\rbegin\r  ROLLBACK TRAN\r  return\rend\r";
  const bool personal = group.empty();
  std::string sql = "BEGIN TRAN\r";
  if (personal) {
    sql += "delete from bUserCommon where [UserId]=" + QuoteSql(user) + "\r";
  } else {
    sql += "delete from bUserGroupCommon where [UserGroup]=" + QuoteSql(group) + "\r";
  }
  if (groupListText.find('=') != std::string::npos) {
    const std::vector<TGroupLine> lines = ParseGroupListText(groupListText);
    for (size_t i = 0; i < lines.size(); ++i) {
      sql += kCheck;
      if (personal) {
        sql += "insert into bUserCommon([UserID],GroupType,MenuIdList,\r";
      } else {
        sql += "insert into bUserGroupCommon([UserGroup],GroupType,MenuIdList,\r";
      }
      sql += "GroupOrderBy,CreateDatetime,CreateOperator)\r";
      sql += "values(" + QuoteSql(personal ? user : group) + "," + QuoteSql(lines[i].Name) + "," +
             QuoteSql(lines[i].MenuIdList) + "," + std::to_string(i + 1) + ", getdate()," +
             QuoteSql(user) + ")\r";
    }
  }
  sql += "if @@error=0\rbegin\r  COMMIT TRAN\rend else begin\r  ROLLBACK TRAN\rend\r";
  return sql;
}

}  // namespace qorvin
