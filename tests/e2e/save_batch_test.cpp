// The Personal plug-in's save batch (built by its own code) executed through SynchExecSQL: the
// groups are stored in order, and a save in which one insert fails changes nothing at all.
#include "plugins/personal/GroupListText.h"
#include "plugins/personal/SaveBatch.h"
#include "tests/e2e/E2eSupport.h"

namespace qorvin::e2e {
namespace {

constexpr char kStoredGroups[] =
    "select GroupType, MenuIdList, GroupOrderBy, CreateOperator from bUserCommon "
    "where UserID = 'u1' order by GroupOrderBy";

class SaveBatch : public ServerTest {
 protected:
  // Runs the save batch of `groups` for user u1 (personal mode) or for a user group.
  int32_t Save(const std::vector<TGroupLine>& groups, Text& error, const std::string& group = "") {
    const std::string batch = BuildSaveBatch(BuildGroupListText(groups), "u1", group);
    int32_t result = -1;
    module_->SynchExecSQL("u1", "", batch.c_str(), &result, &error);
    return result;
  }
};

TEST_P(SaveBatch, StoresTheGroupsInOrderAndAFailedSaveChangesNothing) {
  Exec(
      "insert into bUserCommon (UserID, GroupType, MenuIdList, GroupOrderBy) "
      "values ('u2', 'Other user', '9', 1)");
  Text error;
  EXPECT_EQ(Save({{"常用'单据", "201,202"}, {"报表=月", "2031"}, {"空组", ""}}, error), 1);
  EXPECT_EQ(error.str(), "");
  const std::string saved = "常用'单据|201,202|1|u1;报表=月|2031|2|u1;空组||3|u1";
  EXPECT_EQ(Read(kStoredGroups), saved);
  const std::string stamp =
      Read("select CreateDatetime from bUserCommon where UserID = 'u1' and GroupOrderBy = 1");
  EXPECT_NEAR(DaysOf(stamp), LocalNowDays(), 60.0 / 86400) << stamp;

  // The second insert of the next save is refused. By then the batch has deleted the user's
  // rows and inserted one new group; all of it is undone.
  std::string badName = "坏组";
  if (Postgres()) {
    badName = std::string(60, 'x');  // longer than the column's 50 characters
  } else {
    Exec(
        "create trigger RefuseBadGroup before insert on bUserCommon\n"
        "when NEW.GroupType = '坏组'\n"
        "begin\n"
        "  select raise(abort, '分组名称被拒绝');\n"
        "end");
  }
  log_.events.clear();
  EXPECT_EQ(Save({{"新组", "1"}, {badName, "2"}, {"后组", "3"}}, error), 0);
  EXPECT_NE(error.str().find(Postgres() ? "value too long" : "分组名称被拒绝"), std::string::npos)
      << error.str();
  EXPECT_EQ(log_.events.back(), "status 0 0");
  EXPECT_EQ(Read(kStoredGroups), saved);
  EXPECT_EQ(Read("select GroupType from bUserCommon where UserID = 'u2'"), "Other user");

  // Saving without the bad group works again and replaces the stored groups.
  EXPECT_EQ(Save({{"新组", "1"}, {"后组", "3"}}, error), 1);
  EXPECT_EQ(Read(kStoredGroups), "新组|1|1|u1;后组|3|2|u1");
}

TEST_P(SaveBatch, UserGroupModeWritesTheGroupTable) {
  Text error;
  EXPECT_EQ(Save({{"Sales", "301,302"}}, error, "管理员"), 1);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(Read("select UserGroup, GroupType, MenuIdList, GroupOrderBy, CreateOperator "
                 "from bUserGroupCommon"),
            "管理员|Sales|301,302|1|u1");
  EXPECT_EQ(Read("select count(*) from bUserCommon"), "0");
}

INSTANTIATE_TEST_SUITE_P(Letters, SaveBatch, ::testing::ValuesIn(OnSqliteAndPostgres()),
                         TargetName);

}  // namespace
}  // namespace qorvin::e2e
