// The SQL text the common-functions dialog sends.
#pragma once

#include <string>

namespace qorvin {

// `text` in single quotes with every single quote inside doubled.
std::string QuoteSql(const std::string& text);

// The select that reads a user group's stored groups, in their stored order (GroupOrderBy), as
// the framework reads the current user's own.
std::string UserGroupSelectSql(const std::string& group);

// The save batch for `groupListText` (see GroupListText.h): personal mode when `group` is empty
// (rows of `user` in bUserCommon), user-group mode otherwise (rows of `group` in
// bUserGroupCommon). Lines end with a carriage return alone. Every statement of the transaction
// is followed by a test of @@error: the first failure rolls back the whole transaction and ends
// the batch, so the old rows stay. The batch changes no setting of the database session.
std::string BuildSaveBatch(const std::string& groupListText, const std::string& user,
                           const std::string& group);

}  // namespace qorvin
