// The dialog keeps what the user did not ask to lose: an id stored in two groups, menu entries
// that share an id at any level, the window's close button, and its look while it waits for the
// server (busy cursor, call bound, rows, tooltips, the user-group list, the default button).
#include <QMessageBox>
#include <QStyle>

#include "DialogFixture.h"
#include "basalt/Menu.h"
#include "basalt/Messages.h"
#include "basalt/QtTranslations.h"

namespace qorvin {
namespace {

using test::DialogTest;
using test::Q;
using test::Texts;

// The test menu with id 6 both a top-level entry with its own plug and an entry under 快捷方式,
// and 203 (报表, a menu with children) also a plain entry under 快捷方式.
void UseMenuWithTwinsAtEveryLevel() {
  ParseMenuText(std::string(test::TestMenuText()) +
                    "6    5    P9  关于\n"
                    "203  5    P6  报表\n"
                    "6    0    P9  关于\n",
                "twin menu", ShareData().GetMenuList(), ShareData().GetPlugList());
}

TEST_F(DialogTest, RemovingAFunctionFromOneGroupKeepsItsCopyInAnother) {
  Open({{"A", "101"}, {"B", "101,201"}});
  EXPECT_EQ(Shown(), "A[用户管理] B[用户管理,销售订单]");
  CommonTree()->setCurrentItem(Item(CommonTree(), "用户管理", 0));
  boxes.Answer(IDYES);
  Click("RzBitBtnRemove");
  EXPECT_EQ(boxes.Texts(), Texts{"是否从分组[A]中移除[用户管理]?"});
  EXPECT_EQ(Shown(), "A[] B[用户管理,销售订单]");
  EXPECT_TRUE(MenuChecked("用户管理", 0));  // B still holds it
  EXPECT_TRUE(MenuChecked("用户管理", 1));
  Click("RzBitBtnSave");
  ASSERT_EQ(remote->ExecSqlText.size(), 1u);
  EXPECT_NE(remote->ExecSqlText[0].find("values('u1','A','',1,"), std::string::npos);
  EXPECT_NE(remote->ExecSqlText[0].find("values('u1','B','101,201',2,"), std::string::npos);

  // The last copy going unchecks every menu node of the id.
  CommonTree()->setCurrentItem(Item(CommonTree(), "用户管理", 0));
  boxes.Answer(IDYES);
  QTest::keyClick(CommonTree(), Qt::Key_Delete);
  EXPECT_EQ(Shown(), "A[] B[销售订单]");
  EXPECT_FALSE(MenuChecked("用户管理", 0));
  EXPECT_FALSE(MenuChecked("用户管理", 1));
}

TEST_F(DialogTest, DeletingAGroupKeepsItsFunctionsInOtherGroups) {
  Open({{"A", "101,2031"}, {"B", "101,201"}});
  CommonTree()->setCurrentItem(Item(CommonTree(), "A"));
  boxes.Answer(IDYES);
  Click("RzBitBtnRemove");
  EXPECT_EQ(Shown(), "B[用户管理,销售订单]");
  EXPECT_TRUE(MenuChecked("用户管理"));
  EXPECT_FALSE(MenuChecked("日报"));
  // Unchecking in the menu takes one copy at a time; the check goes with the last.
  Open({{"A", "101"}, {"B", "101"}});
  ToggleMenu("用户管理", 1);
  EXPECT_EQ(Shown(), "A[] B[用户管理]");
  EXPECT_TRUE(MenuChecked("用户管理", 0));
  EXPECT_TRUE(MenuChecked("用户管理", 1));
  ToggleMenu("用户管理", 1);
  EXPECT_EQ(Shown(), "A[] B[]");
  EXPECT_FALSE(MenuChecked("用户管理", 0));
}

TEST_F(DialogTest, MenuEntriesSharingAnIdAgreeAtEveryLevel) {
  UseMenuWithTwinsAtEveryLevel();
  Open({{"常用", "6,203"}});
  EXPECT_EQ(Shown(), "常用[关于,报表]");
  for (int i : {0, 1}) {
    EXPECT_TRUE(MenuChecked("关于", i)) << i;  // one copy is a top-level entry
    EXPECT_TRUE(MenuChecked("报表", i)) << i;  // one copy has children
  }
  ToggleMenu("关于", 0);  // the entry under 快捷方式: one click removes it
  EXPECT_EQ(Shown(), "常用[报表]");
  EXPECT_FALSE(MenuChecked("关于", 0));
  EXPECT_FALSE(MenuChecked("关于", 1));
  ToggleMenu("关于", 0);  // and one checks it again, everywhere
  EXPECT_EQ(Shown(), "常用[报表,关于]");
  EXPECT_TRUE(MenuChecked("关于", 1));
  ToggleMenu("关于", 1);  // the top-level copy itself does not change
  EXPECT_TRUE(MenuChecked("关于", 1));
  EXPECT_EQ(Shown(), "常用[报表,关于]");

  // The menu with children shows the check of the function it shares an id with; unchecking
  // either removes the function.
  QTreeWidgetItem* reports = Item(MenuTree(), "报表", 0);
  ASSERT_GT(reports->childCount(), 0);
  ToggleMenu("报表", 0);
  EXPECT_EQ(Shown(), "常用[关于]");
  EXPECT_FALSE(MenuChecked("报表", 0));
  EXPECT_FALSE(MenuChecked("报表", 1));
  ToggleMenu("报表", 0);  // a menu with children is not checked
  EXPECT_FALSE(MenuChecked("报表", 0));
  ToggleMenu("报表", 1);
  EXPECT_EQ(Shown(), "常用[关于,报表]");
  EXPECT_TRUE(MenuChecked("报表", 0));
  EXPECT_TRUE(boxes.Shown.empty());
}

TEST_F(DialogTest, TheWindowsCloseButtonAsksLikeTheCloseButton) {
  Open({{"常用", "101"}});
  EXPECT_TRUE(form->close());  // nothing changed: no question
  EXPECT_TRUE(boxes.Shown.empty());

  Open({{"常用", "101"}});
  ToggleMenu("销售订单");
  boxes.Answer(IDCANCEL);
  EXPECT_FALSE(form->close());
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(boxes.Texts(), Texts{"当前自定义常用功能有修改，是否保存？"});
  remote->Execs.push_back({false, "the table is away"});
  boxes.Answer(IDYES);  // the save fails: the dialog stays with the edits
  EXPECT_FALSE(form->close());
  EXPECT_EQ(Shown(), "常用[用户管理,销售订单]");
  boxes.Answer(IDYES);
  EXPECT_TRUE(form->close());
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(remote->ExecSqlText.size(), 2u);

  Open({{"常用", "101"}});
  ToggleMenu("销售订单");
  boxes.Answer(IDNO);
  QCloseEvent event;
  QApplication::sendEvent(form.get(), &event);
  EXPECT_TRUE(event.isAccepted());
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(remote->ExecSqlText.size(), 2u);
}

TEST_F(DialogTest, ServerCallsShowTheBusyCursorHaveTheDialogsBoundAndBlockClosing) {
  Open({{"常用", "101"}});
  ASSERT_EQ(remote->Calls.size(), 1u);  // the load
  EXPECT_EQ(remote->Calls[0].Bound, TPersonalCommonFuncForm::kCallBound);
  EXPECT_TRUE(remote->Calls[0].WaitCursor);
  ToggleMenu("销售订单");
  bool closed = true;
  remote->DuringCall = [&] {
    EXPECT_TRUE(form->Busy());
    closed = form->close();  // the window's close button while the save waits
  };
  Click("RzBitBtnSave");
  remote->DuringCall = nullptr;
  EXPECT_FALSE(closed);
  EXPECT_TRUE(form->isVisible());
  ASSERT_EQ(remote->Calls.size(), 2u);
  EXPECT_EQ(remote->Calls[1].Bound, TPersonalCommonFuncForm::kCallBound);
  EXPECT_TRUE(remote->Calls[1].WaitCursor);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_FALSE(form->Busy());
  EXPECT_EQ(ShareData().RemoteCallBound(), std::chrono::milliseconds(0));
  EXPECT_EQ(boxes.Texts(), Texts{"常用功能保存成功"});
}

TEST_F(DialogTest, ARefusedCheckIsPutBackBeforeItsMessage) {
  Open({});
  std::vector<Qt::CheckState> whileShown;
  TMessageHook script = SetMessageHook(nullptr);
  SetMessageHook([&](const TMessageRequest&) {
    whileShown.push_back(Item(MenuTree(), "销售订单")->checkState(0));
    return IDOK;
  });
  ToggleMenu("销售订单");
  SetMessageHook(std::move(script));
  ASSERT_EQ(whileShown.size(), 1u);
  EXPECT_EQ(whileShown[0], Qt::Unchecked);
  EXPECT_FALSE(MenuChecked("销售订单"));
}

TEST_F(DialogTest, RowsAreEvenTextsCarryTooltipsAndTheBoxesOfferWhatTheyShow) {
  Open({{"abc", "101"}, {"很长的分组名称很长的分组名称很长的分组名称", ""}}, 2,
       {Variant::AnsiString("财务组")});
  for (QTreeWidget* tree : {MenuTree(), CommonTree()}) {
    std::vector<int> heights;
    for (QTreeWidgetItemIterator it(tree); *it; ++it)
      heights.push_back(tree->visualItemRect(*it).height());
    ASSERT_GT(heights.size(), 1u);
    for (int h : heights) EXPECT_EQ(h, heights[0]) << tree->objectName().toStdString();
    // Every row is high enough for Chinese text.
    EXPECT_GE(heights[0], QFontMetrics(tree->font()).boundingRect(Q("用户管理")).height());
  }
  QTreeWidgetItem* longName = Item(CommonTree(), "很长的分组名称很长的分组名称很长的分组名称");
  ASSERT_NE(longName, nullptr);
  EXPECT_EQ(longName->toolTip(0), longName->text(0));
  EXPECT_EQ(Item(MenuTree(), "销售订单")->toolTip(0), Q("销售订单"));
  auto* group = Child<QComboBox>("RzComboBoxGroup");
  ASSERT_EQ(group->count(), 1);
  EXPECT_EQ(group->itemText(0), Q("财务组"));
  EXPECT_TRUE(Child<QPushButton>("RzBitBtnSave")->isDefault());
  EXPECT_FALSE(Child<QPushButton>("RzBitBtnCancel")->isDefault());
}

TEST(QtTranslations, MessageBoxButtonsSpeakTheFrameworksLanguage) {
  ASSERT_TRUE(InstallQtTranslations(FrameworkLocale()))
      << "Qt's translations are missing (Debian package qt6-translations-l10n)";
  QMessageBox box;
  box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
  EXPECT_NE(box.button(QMessageBox::Yes)->text(), "&Yes");
  EXPECT_NE(box.button(QMessageBox::Cancel)->text(), "Cancel");
  EXPECT_FALSE(InstallQtTranslations(QLocale(QLocale::Cornish)));
}

}  // namespace
}  // namespace qorvin
