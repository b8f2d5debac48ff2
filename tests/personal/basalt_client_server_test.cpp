// End to end: basalt-host's logic with the real libPersonal.so and libQorvinClient.so against a
// running qorvin-server on SQLite and on PostgreSQL. Groups saved through the dialog come back in
// the same order when it is opened again, and a save whose insert fails leaves the stored groups
// as they were.
#include "ServerDialogSupport.h"

namespace qorvin {
namespace {

using test::Database;
using test::DatabaseName;
using test::Dialog;

class ClientServerEndToEnd : public test::ServerDialogTest {};

TEST_P(ClientServerEndToEnd, SavedGroupsComeBackInTheSameOrderWhenTheDialogOpensAgain) {
  const std::string saved = RunDialog('H', [](const Dialog& d) {
    EXPECT_EQ(d.Shown(), "");
    d.AddGroup("常用'单据");
    d.AddGroup("报表=月");
    d.AddGroup("新建分组");
    d.SelectGroup("常用'单据");
    d.Check("销售订单");
    d.Check("用户管理");
    d.SelectGroup("报表=月");
    d.Check("月报");
    d.Check("日报");
    d.Click("RzBitBtnSave");
    d.Click("RzBitBtnCancel");
  });
  EXPECT_NE(saved.find("basalt-host: message 0x80CC wParam=1 lParam=0\n"
                       "basalt-host:   group 1 常用'单据: 201,101\n"
                       "basalt-host:   group 2 报表=月: 2032,2031\n"
                       "basalt-host:   group 3 新建分组: \n"),
            std::string::npos)
      << saved;
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"常用功能保存成功"});
  EXPECT_EQ(Stored(), "常用'单据|201,101|1;报表=月|2032,2031|2;新建分组||3");

  // Opened again (over TCP this time): the same groups, functions and order, and unchanged.
  std::string shown;
  RunDialog('T', [&shown](const Dialog& d) {
    shown = d.Shown();
    d.Click("RzBitBtnCancel");
  });
  EXPECT_EQ(shown, "常用'单据[销售订单,用户管理] 报表=月[月报,日报] 新建分组[]");
  EXPECT_EQ(boxes.Texts().size(), 1u);  // closing asked nothing: no change was seen
}

TEST_P(ClientServerEndToEnd, ASaveWhoseInsertFailsLeavesTheStoredGroupsAsTheyWere) {
  RunDialog('H', [](const Dialog& d) {
    d.AddGroup("甲");
    d.Check("用户管理");
    d.AddGroup("乙");
    d.Click("RzBitBtnSave");
    d.Click("RzBitBtnCancel");
  });
  const std::string before = Stored();
  ASSERT_EQ(before, "甲|101|1;乙||2");
  // The database refuses one group name; the batch has deleted the user's rows by then.
  // PostgreSQL refuses a name longer than the column; on SQLite a trigger refuses one.
  const std::string badName = Postgres() ? std::string(60, 'x') : "坏组";
  if (!Postgres()) {
    Exec(
        "create trigger RefuseBadGroup before insert on bUserCommon\n"
        "when NEW.GroupType = '坏组'\n"
        "begin\n"
        "  select raise(abort, '分组名称被拒绝');\n"
        "end");
  }

  boxes.Answer(IDNO);  // close without saving
  std::string failedSave;
  RunDialog('H', [&failedSave, &badName](const Dialog& d) {
    d.SelectGroup("乙");
    d.Check("销售订单");
    d.AddGroup(badName.c_str());
    d.Click("RzBitBtnSave");
    failedSave = d.Shown();  // the edits stay for another try
    d.Click("RzBitBtnCancel");
  });
  EXPECT_EQ(failedSave, "甲[用户管理] 乙[销售订单] " + badName + "[]");
  const std::vector<std::string> texts = boxes.Texts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[1].rfind("更新自定义常用功能失败！！！\n", 0), 0u) << texts[1];
  EXPECT_NE(texts[1].find(Postgres() ? "value too long" : "分组名称被拒绝"), std::string::npos)
      << texts[1];
  EXPECT_EQ(texts[2], "当前自定义常用功能有修改，是否保存？");

  EXPECT_EQ(Stored(), before);
  std::string shown;
  RunDialog('H', [&shown](const Dialog& d) {
    shown = d.Shown();
    d.Click("RzBitBtnCancel");
  });
  EXPECT_EQ(shown, "甲[用户管理] 乙[]");
}

// The demo server of the README: its script loads, and the user demo has three groups.
TEST_P(ClientServerEndToEnd, TheDemoServerScriptGivesTheDemoUserThreeGroups) {
  const std::string script = std::string(QORVIN_SOURCE_ROOT) + "/basalt/demo/demo-server.sql";
  Restart(script);
  const std::string groups = "常用单据|201,202,301|1;报表|2031,2032,401|2;系统|101,104|3";
  EXPECT_EQ(Stored("demo"), groups);
  // Run again on the same database, it adds nothing.
  Restart(script);
  EXPECT_EQ(Stored("demo"), groups);
}

INSTANTIATE_TEST_SUITE_P(Databases, ClientServerEndToEnd,
                         ::testing::Values(Database::SQLite, Database::PostgreSQL), DatabaseName);

}  // namespace
}  // namespace qorvin
