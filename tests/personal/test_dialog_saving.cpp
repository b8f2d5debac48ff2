// The dialog keeps the user's groups: closing with "yes" stays open until the save succeeded,
// user-group saves count as saves, stored names and ids the menu does not show come back as they
// were, letter case is a change, twin menu nodes agree, and a click on the blank area keeps the
// selected group. Everything through the widgets, against a scripted connection.
#include "DialogFixture.h"

namespace qorvin {
namespace {

using test::DialogTest;
using test::Q;
using test::Texts;

// The rows of a dataset: "name|ids|order;...".
std::string RowsOf(TBasaltDataSet& ds) {
  std::string rows;
  for (ds.First(); !ds.Eof(); ds.Next())
    rows += (rows.empty() ? "" : ";") + ds.FieldText("GroupType") + "|" +
            ds.FieldText("MenuIdList") + "|" + ds.FieldText("GroupOrderBy");
  return rows;
}

TEST_F(DialogTest, YesToClosingStaysOpenUntilTheSaveSucceeded) {
  Open({{"常用", "101"}});
  ToggleMenu("销售订单");
  remote->Execs.push_back({false, "connection lost"});
  boxes.Answer(IDYES);
  Click("RzBitBtnCancel");
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(Shown(), "常用[用户管理,销售订单]");

  // Every group deleted, then "no" to saving an empty configuration: still open.
  CommonTree()->setCurrentItem(Item(CommonTree(), "常用"));
  boxes.Answer(IDYES);
  QTest::keyClick(CommonTree(), Qt::Key_Delete);
  boxes.Answer(IDYES);
  boxes.Answer(IDNO);
  QTest::keyClick(form.get(), Qt::Key_Escape);
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(remote->ExecSqlText.size(), 1u);

  boxes.Answer(IDYES);
  boxes.Answer(IDYES);
  QTest::keyClick(form.get(), Qt::Key_Escape);
  EXPECT_FALSE(form->isVisible());
  ASSERT_EQ(remote->ExecSqlText.size(), 2u);
  EXPECT_EQ(remote->ExecSqlText[1].find("insert"), std::string::npos);
  EXPECT_EQ(boxes.Texts(),
            (Texts{"当前自定义常用功能有修改，是否保存？",
                   "更新自定义常用功能失败！！！\nconnection lost", "是否删除常用功能分组[常用]?",
                   "当前自定义常用功能有修改，是否保存？", "确定要删除所有自定义常用功能吗？",
                   "当前自定义常用功能有修改，是否保存？", "确定要删除所有自定义常用功能吗？"}));
  EXPECT_EQ(boxes.Unscripted, 0);
}

TEST_F(DialogTest, AUserGroupSaveRunTwiceSavesOnceAndClosesWithoutAsking) {
  Open({{"组内", "201"}}, 2, {Variant::AnsiString("财务组")});
  ToggleMenu("用户管理");
  Click("RzBitBtnSave");
  Click("RzBitBtnSave");
  ASSERT_EQ(remote->ExecSqlText.size(), 1u);
  EXPECT_NE(remote->ExecSqlText[0].find("values('财务组','组内','201,101',1, getdate(),'u1')"),
            std::string::npos);
  EXPECT_EQ(boxes.Texts(), (Texts{"常用功能保存成功", "没有作任何修改"}));
  EXPECT_EQ(RowsOf(*form->ClientDataSetUserGroup()), "组内|201,101|1");
  Click("RzBitBtnCancel");
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(boxes.Shown.size(), 2u);
  QCoreApplication::sendPostedEvents(&host);
  EXPECT_TRUE(host.Received.empty());  // the user's own groups did not change
}

TEST_F(DialogTest, ActionTypeTwoWithAnEmptyArgumentSavesAsThePersonalConfiguration) {
  Open({{"常用", "101"}}, 2, {Variant::AnsiString("")});
  ToggleMenu("销售订单");
  Click("RzBitBtnSave");
  ASSERT_EQ(remote->ExecSqlText.size(), 1u);
  EXPECT_NE(remote->ExecSqlText[0].find("delete from bUserCommon where [UserId]='u1'\r"),
            std::string::npos);
  EXPECT_EQ(boxes.Texts(), Texts{"常用功能保存成功"});
  QCoreApplication::sendPostedEvents(&host);
  ASSERT_EQ(host.Received.size(), 1u);
  EXPECT_EQ(host.Received[0].Number, 0x80CCu);
  EXPECT_EQ(RowsOf(*ShareData().LocalTable("bUserCommon")), "常用|101,201|1");
  Click("RzBitBtnCancel");
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(boxes.Shown.size(), 1u);
}

TEST_F(DialogTest, StoredNamesWithTheMarkAndLineBreaksComeBackAsTheyWere) {
  Open({{"x|EqulsTo|y", "101"}, {"a\r\nb", "201"}, {"p=q|", ""}});
  EXPECT_EQ(Shown(), "x|EqulsTo|y[用户管理] a\r\nb[销售订单] p=q|[]");
  Click("RzBitBtnCancel");  // nothing changed: closes without asking
  EXPECT_FALSE(form->isVisible());
  EXPECT_TRUE(boxes.Shown.empty());

  Open({{"x|EqulsTo|y", "101"}, {"a\r\nb", "201"}, {"p=q|", ""}});
  ToggleMenu("销售发票");
  Click("RzBitBtnSave");
  ASSERT_EQ(remote->ExecSqlText.size(), 1u);
  const std::string& batch = remote->ExecSqlText[0];
  EXPECT_NE(batch.find("values('u1','x|EqulsTo|y','101,202',1,"), std::string::npos);
  EXPECT_NE(batch.find("values('u1','a\r\nb','201',2,"), std::string::npos);
  EXPECT_NE(batch.find("values('u1','p=q|','',3,"), std::string::npos);
  EXPECT_EQ(RowsOf(*ShareData().LocalTable("bUserCommon")),
            "x|EqulsTo|y|101,202|1;a\r\nb|201|2;p=q|||3");
  Click("RzBitBtnCancel");
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(boxes.Texts(), Texts{"常用功能保存成功"});
}

TEST_F(DialogTest, IdsTheMenuDoesNotShowSurviveASave) {
  Open({{"A", "101, 201"}, {"B", "999,202"}});
  EXPECT_EQ(Shown(), "A[用户管理,销售订单] B[销售发票]");
  Click("RzBitBtnSave");
  EXPECT_EQ(boxes.Texts(), Texts{"没有作任何修改"});
  Click("RzBitBtnCancel");
  EXPECT_FALSE(form->isVisible());
  EXPECT_TRUE(remote->ExecSqlText.empty());

  Open({{"A", "101, 201"}, {"B", "999,202"}});
  ToggleMenu("角色管理");
  Click("RzBitBtnSave");
  ASSERT_EQ(remote->ExecSqlText.size(), 1u);
  EXPECT_NE(remote->ExecSqlText[0].find("values('u1','A','101,201,103',1,"), std::string::npos);
  EXPECT_NE(remote->ExecSqlText[0].find("values('u1','B','999,202',2,"), std::string::npos);
}

TEST_F(DialogTest, ARenameThatChangesOnlyLetterCaseIsSaved) {
  Open({{"abc", "101"}});
  CommonTree()->editItem(Item(CommonTree(), "abc"), 0);
  QLineEdit* editor = OpenEditor();
  ASSERT_NE(editor, nullptr);
  editor->selectAll();
  QTest::keyClicks(editor, "ABC");
  QTest::keyClick(editor, Qt::Key_Return);
  QCoreApplication::processEvents();
  EXPECT_EQ(Shown(), "ABC[用户管理]");
  boxes.Answer(IDYES);
  Click("RzBitBtnCancel");
  EXPECT_FALSE(form->isVisible());
  ASSERT_EQ(remote->ExecSqlText.size(), 1u);
  EXPECT_NE(remote->ExecSqlText[0].find("values('u1','ABC','101',1,"), std::string::npos);
  EXPECT_EQ(boxes.Texts(), Texts{"当前自定义常用功能有修改，是否保存？"});
}

TEST_F(DialogTest, AFunctionInTwoPlacesOfTheMenuIsOneCheck) {
  Open({{"常用", ""}});
  ToggleMenu("用户管理", 1);  // the entry under 快捷方式
  EXPECT_TRUE(MenuChecked("用户管理", 0));
  EXPECT_TRUE(MenuChecked("用户管理", 1));
  EXPECT_EQ(Shown(), "常用[用户管理]");
  ToggleMenu("用户管理", 1);
  EXPECT_FALSE(MenuChecked("用户管理", 0));
  EXPECT_FALSE(MenuChecked("用户管理", 1));
  EXPECT_EQ(Shown(), "常用[]");
  ToggleMenu("用户管理", 0);
  ToggleMenu("用户管理", 1);  // unchecking the other copy removes it everywhere
  EXPECT_FALSE(MenuChecked("用户管理", 0));
  EXPECT_EQ(Shown(), "常用[]");
  EXPECT_TRUE(boxes.Shown.empty());
}

TEST_F(DialogTest, AClickOnTheBlankAreaKeepsTheSelectedGroup) {
  Open({{"常用", "101"}, {"B", ""}});
  CommonTree()->setCurrentItem(Item(CommonTree(), "B"));
  QTest::mouseClick(CommonTree()->viewport(), Qt::LeftButton, {}, At(nullptr));
  ASSERT_NE(CommonTree()->currentItem(), nullptr);
  EXPECT_TRUE(CommonTree()->currentItem()->isSelected());
  ToggleMenu("销售订单");
  EXPECT_TRUE(MenuChecked("销售订单"));
  EXPECT_EQ(Shown(), "常用[用户管理] B[销售订单]");
  EXPECT_TRUE(boxes.Shown.empty());
}

}  // namespace
}  // namespace qorvin
