// End to end, on SQLite and on PostgreSQL: the dialog keeps the user's groups through the real
// server. Closing with "yes" while the server fails keeps the dialog and its edits; stored names
// with the equals mark and line breaks, ids the menu does not show and a change of letter case
// all come back from the database as they should; a user group's groups load in their order and
// a second save finds nothing to do; action type 2 without a group saves the user's own groups.
#include <QLineEdit>
#include <QTest>

#include "ServerDialogSupport.h"

namespace qorvin {
namespace {

using test::Database;
using test::DatabaseName;
using test::Dialog;
using Texts = std::vector<std::string>;

class DialogAgainstServer : public test::ServerDialogTest {};

TEST_P(DialogAgainstServer, YesToClosingWithAFailingServerKeepsTheDialogAndItsEdits) {
  RunDialog('H', [](const Dialog& d) {
    d.AddGroup("甲");
    d.Check("用户管理");
    d.Click("RzBitBtnSave");
    d.Click("RzBitBtnCancel");
  });
  ASSERT_EQ(Stored(), "甲|101|1");

  bool openAfterFailure = false;
  std::string shownAfterFailure;
  RunDialog('T', [&](const Dialog& d) {
    d.Check("销售订单");
    Exec("alter table bUserCommon rename to bUserCommonAway");  // every save now fails
    boxes.Answer(IDYES);
    d.Click("RzBitBtnCancel");
    openAfterFailure = d.form->isVisible();
    shownAfterFailure = d.Shown();
    Exec("alter table bUserCommonAway rename to bUserCommon");
    boxes.Answer(IDYES);
    d.Click("RzBitBtnCancel");
  });
  EXPECT_TRUE(openAfterFailure);
  EXPECT_EQ(shownAfterFailure, "甲[用户管理,销售订单]");
  const Texts texts = boxes.Texts();
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_EQ(texts[1], "当前自定义常用功能有修改，是否保存？");
  EXPECT_EQ(texts[2].rfind("更新自定义常用功能失败！！！\n", 0), 0u) << texts[2];
  EXPECT_EQ(texts[3], "当前自定义常用功能有修改，是否保存？");
  EXPECT_EQ(Stored(), "甲|101,201|1");
}

TEST_P(DialogAgainstServer, StoredNamesHiddenIdsAndLetterCaseComeBackAsTheyShould) {
  Exec(
      "insert into bUserCommon (UserID, GroupType, MenuIdList, GroupOrderBy) values "
      "('u1', 'x|EqulsTo|y', '101', 1)");
  Exec(
      "insert into bUserCommon (UserID, GroupType, MenuIdList, GroupOrderBy) values "
      "('u1', 'a\r\nb', '999, 201', 2)");
  Exec(
      "insert into bUserCommon (UserID, GroupType, MenuIdList, GroupOrderBy) values "
      "('u1', 'abc', '', 3)");
  const std::string stored = Stored();
  ASSERT_EQ(stored, "x|EqulsTo|y|101|1;a\r\nb|999, 201|2;abc||3");

  std::string shown;
  RunDialog('H', [&shown](const Dialog& d) {
    shown = d.Shown();
    d.Click("RzBitBtnSave");    // nothing changed
    d.Click("RzBitBtnCancel");  // closes without asking
  });
  EXPECT_EQ(shown, "x|EqulsTo|y[用户管理] a\r\nb[销售订单] abc[]");
  EXPECT_EQ(boxes.Texts(), Texts{"没有作任何修改"});
  EXPECT_EQ(Stored(), stored);

  RunDialog('H', [](const Dialog& d) {
    QTreeWidgetItem* abc = d.Groups()->topLevelItem(2);
    d.Groups()->editItem(abc, 0);
    for (QLineEdit* edit : d.Groups()->viewport()->findChildren<QLineEdit*>()) {
      if (!edit->isVisible()) continue;
      edit->setText("ABC");
      QTest::keyClick(edit, Qt::Key_Return);
    }
    QCoreApplication::processEvents();
    d.SelectGroup("x|EqulsTo|y");
    d.Check("销售发票");
    d.Click("RzBitBtnSave");
    d.Click("RzBitBtnCancel");
  });
  EXPECT_EQ(boxes.Texts(), (Texts{"没有作任何修改", "常用功能保存成功"}));
  EXPECT_EQ(Stored(), "x|EqulsTo|y|101,202|1;a\r\nb|999,201|2;ABC||3");
}

TEST_P(DialogAgainstServer, AUserGroupLoadsInItsOrderAndASecondSaveFindsNothingToDo) {
  // Inserted last first, so that only the order by the groups' positions shows them in order.
  Exec(
      "insert into bUserGroupCommon (UserGroup, GroupType, MenuIdList, GroupOrderBy) values "
      "('财务组', '乙', '201', 2)");
  Exec(
      "insert into bUserGroupCommon (UserGroup, GroupType, MenuIdList, GroupOrderBy) values "
      "('财务组', '甲', '101', 1)");
  const auto userGroup = [](THostOptions& o) {
    o.ActionType = 2;
    o.HasGroup = true;
    o.Group = "财务组";
  };
  std::string shown;
  const std::string log = RunDialog(
      'H',
      [&shown](const Dialog& d) {
        shown = d.Shown();
        d.Check("销售发票");
        d.Click("RzBitBtnSave");
        d.Click("RzBitBtnSave");
        d.Click("RzBitBtnCancel");
      },
      userGroup);
  EXPECT_EQ(shown, "甲[用户管理] 乙[销售订单]");
  EXPECT_EQ(boxes.Texts(), (Texts{"常用功能保存成功", "没有作任何修改"}));
  EXPECT_EQ(StoredForGroup("财务组"), "甲|101,202|1;乙|201|2");
  EXPECT_EQ(log.find("0x80CC"), std::string::npos) << log;
  EXPECT_EQ(Stored(), "");

  // Action type 2 without a group name: the user's own groups, saved and announced as such.
  const std::string personal = RunDialog(
      'H',
      [](const Dialog& d) {
        d.AddGroup("我的");
        d.Check("角色管理");
        d.Click("RzBitBtnSave");
        d.Click("RzBitBtnCancel");
      },
      [](THostOptions& o) {
        o.ActionType = 2;
        o.HasGroup = true;
        o.Group = "";
      });
  EXPECT_NE(personal.find("basalt-host: message 0x80CC wParam=1 lParam=0\n"
                          "basalt-host:   group 1 我的: 103\n"),
            std::string::npos)
      << personal;
  EXPECT_EQ(boxes.Texts().back(), "常用功能保存成功");
  EXPECT_EQ(Stored(), "我的|103|1");
  EXPECT_EQ(StoredForGroup("财务组"), "甲|101,202|1;乙|201|2");
}

INSTANTIATE_TEST_SUITE_P(Databases, DialogAgainstServer,
                         ::testing::Values(Database::SQLite, Database::PostgreSQL), DatabaseName);

}  // namespace
}  // namespace qorvin
