// The dialog through its real widgets: controls, PlugExec modes, checking, groups, popup, keys,
// dragging, saving and closing.
#include <dlfcn.h>

#include "DialogFixture.h"

namespace qorvin {
namespace {

using test::DialogTest;
using test::Q;
using test::Texts;

TEST_F(DialogTest, TheExportFindsTheDialogClassIgnoringCase) {
  EXPECT_NE(PersonalClassLookup("tpersonalcommonfuncform"), nullptr);
  EXPECT_EQ(PersonalClassLookup("TPersonalConfigurationForm"), nullptr);
  EXPECT_EQ(PersonalClassLookup("TSomethingElse"), nullptr);

  void* library = dlopen(PERSONAL_PLUGIN_PATH, RTLD_NOW);
  ASSERT_NE(library, nullptr) << dlerror();
  auto portal = reinterpret_cast<TPlugPortalFunc>(dlsym(library, "PlugPortal"));
  ASSERT_NE(portal, nullptr);
  EXPECT_EQ(dlsym(library,
                  "_ZN6qorvin19PersonalClassLookupERKNSt7__cxx1112basic_stringIcSt11char_"
                  "traitsIcESaIcEEE"),
            nullptr);  // nothing but PlugPortal is exported
  TPlugMgrInfo info;
  info.RunMode = TPlugRunMode::Create;
  info.ClassName = "tpersonalconfigurationform";
  EXPECT_EQ(portal(&info, nullptr, 0), kCallPlugFailed);
  EXPECT_EQ(portal(nullptr, nullptr, 0), kCallPlugFailed);
  info.ClassName = "TPERSONALCOMMONFUNCFORM";
  remote->Reads.push_back(test::GroupRows({{"常用", "101"}}));
  EXPECT_EQ(portal(&info, nullptr, 0), 0);
  ASSERT_NE(info.Form, nullptr);
  EXPECT_EQ(info.Form->windowTitle(), Q("常用功能配置"));
  delete info.Form;  // before the library that holds its code goes
  dlclose(library);
}

TEST_F(DialogTest, ControlsCarryTheirNamesCaptionsAndVisibility) {
  Open({{"常用", "101"}});
  EXPECT_EQ(form->size(), QSize(554, 431));
  EXPECT_EQ(Child<QGroupBox>("RzGroupBox2")->title(), Q("可选功能"));
  EXPECT_EQ(Child<QGroupBox>("RzGroupBoxCommonFunctions")->title(), Q("常用功能"));
  EXPECT_EQ(Child<QGroupBox>("RzGroupBox2")->width(), 371);
  EXPECT_EQ(Child<QWidget>("Panel1")->width(), 168);
  EXPECT_EQ(Child<QWidget>("PanelSecMain")->height(), 388);
  EXPECT_EQ(Child<QWidget>("PanelCommonFuncEdit")->height(), 30);
  for (const char* panel : {"PanelTop", "PanelSecMainLeft", "PanelSecMainRight", "Panel3",
                            "PanelTopGroupSpliter", "Panel2", "PanelBottom"})
    Child<QWidget>(panel);
  const std::pair<const char*, const char*> buttons[] = {{"RzBitBtnAddGroup", "添加分组"},
                                                         {"RzBitBtnRemove", "删除"},
                                                         {"RzBitBtnSave", "保存"},
                                                         {"RzBitBtnCancel", "关闭"}};
  for (const auto& [name, caption] : buttons)
    EXPECT_EQ(Child<QPushButton>(name)->text(), Q(caption));
  EXPECT_TRUE(Child<QLabel>("RzLabelUserGroup")->isHidden());
  EXPECT_EQ(Child<QLabel>("RzLabelUserGroup")->text(), Q("当前用户组"));
  EXPECT_TRUE(Child<QComboBox>("RzComboBoxGroup")->isHidden());
  EXPECT_TRUE(Child<QCheckBox>("RzCheckBoxSaveToGroup")->isHidden());
  EXPECT_FALSE(Child<QCheckBox>("RzCheckBoxSaveToGroup")->isChecked());
  EXPECT_EQ(Child<QAction>("NAddGroup")->text(), Q("新增分组"));
  EXPECT_EQ(Child<QAction>("NDelNode")->text(), Q("删除分组"));
  EXPECT_NE(Child<QMenu>("PopupMenuTree"), nullptr);
  EXPECT_EQ(MenuTree()->indentation(), 19);
  EXPECT_EQ(MenuTree()->topLevelItem(0)->text(0), Q("系统功能"));
  EXPECT_EQ(MenuTree()->currentItem(), MenuTree()->topLevelItem(0));
  EXPECT_TRUE(Item(MenuTree(), "日报")->parent()->isExpanded());
  EXPECT_TRUE(MenuChecked("用户管理"));
  EXPECT_EQ(Shown(), "常用[用户管理]");
  EXPECT_EQ(CommonTree()->currentItem()->text(0), Q("常用"));
}

TEST_F(DialogTest, PlugExecWithoutArgumentsDoesNothing) {
  std::unique_ptr<TPersonalCommonFuncForm> bare(
      static_cast<TPersonalCommonFuncForm*>(TPersonalCommonFuncForm::Create(nullptr)));
  EXPECT_EQ(bare->PlugExec({}), 0);
  EXPECT_FALSE(bare->PlugExecCalled());
}

TEST_F(DialogTest, ActionTypeTwoWithAGroupNameOpensTheGroupsRows) {
  Open({{"组内", "201"}}, 2, {Variant::AnsiString("财务组")});
  EXPECT_EQ(remote->ReadSql, Texts{"select * from bUserGroupCommon where UserGroup = '财务组' "
                                   "order by GroupOrderBy"});
  EXPECT_EQ(Child<QComboBox>("RzComboBoxGroup")->currentText(), Q("财务组"));
  EXPECT_TRUE(Child<QComboBox>("RzComboBoxGroup")->isVisible());
  EXPECT_TRUE(Child<QComboBox>("RzComboBoxGroup")->isEnabled());
  EXPECT_TRUE(Child<QLabel>("RzLabelUserGroup")->isVisible());
  EXPECT_TRUE(Child<QCheckBox>("RzCheckBoxSaveToGroup")->isChecked());
  EXPECT_TRUE(Child<QCheckBox>("RzCheckBoxSaveToGroup")->isHidden());
  EXPECT_EQ(Shown(), "组内[销售订单]");

  Child<QCheckBox>("RzCheckBoxSaveToGroup")->setChecked(false);
  EXPECT_FALSE(Child<QComboBox>("RzComboBoxGroup")->isEnabled());
  EXPECT_TRUE(Child<QComboBox>("RzComboBoxGroup")->currentText().isEmpty());
}

TEST_F(DialogTest, OtherInvocationsStayInPersonalMode) {
  const std::string personal =
      "select * from bUserCommon where [UserID]='u1' order by GroupOrderBy";
  Open({}, 2, {Variant::AnsiString("")});
  Open({}, 0, {Variant::AnsiString("财务组")});
  EXPECT_EQ(remote->ReadSql, (Texts{personal, personal}));
  EXPECT_TRUE(Child<QComboBox>("RzComboBoxGroup")->currentText().isEmpty());
  EXPECT_TRUE(Child<QLabel>("RzLabelUserGroup")->isHidden());
  EXPECT_FALSE(Child<QCheckBox>("RzCheckBoxSaveToGroup")->isChecked());
}

TEST_F(DialogTest, CheckingInTheMenuTreeEditsTheGroupsOrIsPutBack) {
  Open({{"常用", "101"}});
  ToggleMenu("销售订单");
  EXPECT_TRUE(MenuChecked("销售订单"));
  ToggleMenu("系统管理");  // a top-level menu: refused silently
  EXPECT_FALSE(MenuChecked("系统管理"));
  ToggleMenu("报表");  // a menu with children
  EXPECT_FALSE(MenuChecked("报表"));
  EXPECT_EQ(Shown(), "常用[用户管理,销售订单]");
  ToggleMenu("用户管理");
  EXPECT_EQ(Shown(), "常用[销售订单]");
  EXPECT_FALSE(MenuChecked("用户管理"));
  EXPECT_FALSE(Item(MenuTree(), "用户管理", 1)->checkState(0) == Qt::Checked);
  EXPECT_TRUE(boxes.Shown.empty());
}

TEST_F(DialogTest, NewGroupsAreEditedInPlaceAndRenamesAreChecked) {
  Open({{"常用", "101"}});
  Click("RzBitBtnAddGroup");
  auto* editor = OpenEditor();
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->text(), Q("新建分组"));
  QTest::keyClick(editor, Qt::Key_Escape);  // keeps the proposed name
  QCoreApplication::processEvents();
  EXPECT_TRUE(form->isVisible());
  Click("RzBitBtnAddGroup");
  editor = OpenEditor();
  ASSERT_NE(editor, nullptr);
  editor->setText(Q("用户管理"));  // QTest types ASCII only
  QTest::keyClick(editor, Qt::Key_Return);
  QCoreApplication::processEvents();
  EXPECT_EQ(Shown(), "常用[用户管理] 新建分组[] 新建分组1[]");
  EXPECT_EQ(boxes.Texts(), Texts{"已经存在相同名为[用户管理]的常用功能分组，修改失败！！！"});

  CommonTree()->editItem(Item(CommonTree(), "新建分组1"), 0);
  editor = OpenEditor();
  ASSERT_NE(editor, nullptr);
  editor->setText(Q("我的="));
  QTest::keyClicks(editor, "G");
  QTest::keyClick(editor, Qt::Key_Return);
  QCoreApplication::processEvents();
  EXPECT_EQ(Shown(), "常用[用户管理] 新建分组[] 我的=G[]");
  EXPECT_EQ(form->Editor().GroupListText(), "常用=101\r\n新建分组=\r\n我的|EqulsTo|G=");
}

TEST_F(DialogTest, PopupOffersWhatFitsTheNodeUnderThePointer) {
  Open({{"常用", "101,201"}, {"B", "2031"}});
  auto* popup = Child<QMenu>("PopupMenuTree");
  auto* addItem = Child<QAction>("NAddGroup");
  auto* delItem = Child<QAction>("NDelNode");
  RightClick(Item(CommonTree(), "用户管理"));
  EXPECT_TRUE(popup->isVisible());
  EXPECT_FALSE(addItem->isVisible());
  EXPECT_TRUE(delItem->isVisible());
  EXPECT_EQ(delItem->text(), Q("移除此功能"));
  EXPECT_EQ(CommonTree()->currentItem()->text(0), Q("用户管理"));
  popup->hide();
  boxes.Answer(IDYES);
  delItem->trigger();
  EXPECT_EQ(Shown(), "常用[销售订单] B[日报]");
  EXPECT_FALSE(MenuChecked("用户管理"));

  RightClick(Item(CommonTree(), "B"));
  EXPECT_EQ(delItem->text(), Q("删除分组"));
  popup->hide();
  RightClick(nullptr);
  EXPECT_TRUE(addItem->isVisible());
  EXPECT_FALSE(delItem->isVisible());
  popup->hide();
  addItem->trigger();
  EXPECT_EQ(Shown(), "常用[销售订单] B[日报] 新建分组[]");
  EXPECT_EQ(boxes.Texts(), Texts{"是否从分组[常用]中移除[用户管理]?"});
}

TEST_F(DialogTest, DeleteKeyRemovesTheSelectedGroupAfterAsking) {
  Open({{"常用", "101"}, {"B", "2031,2032"}});
  CommonTree()->setCurrentItem(Item(CommonTree(), "B"));
  boxes.Answer(IDNO);
  QTest::keyClick(CommonTree(), Qt::Key_Delete);
  EXPECT_EQ(Shown(), "常用[用户管理] B[日报,月报]");
  boxes.Answer(IDYES);
  QTest::keyClick(CommonTree(), Qt::Key_Delete);
  EXPECT_EQ(Shown(), "常用[用户管理]");
  EXPECT_FALSE(MenuChecked("日报"));
  EXPECT_FALSE(MenuChecked("月报"));
  EXPECT_TRUE(MenuChecked("用户管理"));
  EXPECT_EQ(boxes.Texts(), (Texts{"是否删除常用功能分组[B]?", "是否删除常用功能分组[B]?"}));
}

TEST_F(DialogTest, DraggingMovesNodesWithinTheTreeOnly) {
  Open({{"A", "101,103"}, {"B", ""}});
  EXPECT_TRUE(Drag(Item(CommonTree(), "用户管理"), Item(CommonTree(), "B")));
  EXPECT_EQ(Shown(), "A[角色管理] B[用户管理]");
  EXPECT_EQ(CommonTree()->currentItem()->text(0), Q("用户管理"));
  EXPECT_FALSE(Drag(Item(CommonTree(), "A"), Item(CommonTree(), "用户管理")));  // group on function
  EXPECT_FALSE(Drag(Item(CommonTree(), "A"), nullptr));                         // no node
  EXPECT_EQ(Shown(), "A[角色管理] B[用户管理]");
  EXPECT_TRUE(Drag(Item(CommonTree(), "A"), Item(CommonTree(), "B")));  // from before: to the end
  EXPECT_EQ(Shown(), "B[用户管理] A[角色管理]");
  EXPECT_TRUE(Drag(Item(CommonTree(), "角色管理"), Item(CommonTree(), "用户管理")));  // in front
  EXPECT_EQ(Shown(), "B[角色管理,用户管理] A[]");
  EXPECT_TRUE(form->Editor().IsChanged());

  // Data of this view's kind that no drag of this view carries is refused.
  QMimeData foreign;
  foreign.setData(TCommonFuncTreeView::DragMimeType(), "1:1");
  const QPoint at = At(Item(CommonTree(), "A"));
  QDragMoveEvent move(at, Qt::MoveAction, &foreign, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(CommonTree()->viewport(), &move);
  EXPECT_FALSE(move.isAccepted());
  QDropEvent drop(at, Qt::MoveAction, &foreign, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(CommonTree()->viewport(), &drop);
  EXPECT_FALSE(drop.isAccepted());
  EXPECT_EQ(Shown(), "B[角色管理,用户管理] A[]");
}

TEST_F(DialogTest, SaveSendsTheBatchShowsSuccessAndNotifiesTheHost) {
  Open({{"常用", "101"}});
  ToggleMenu("销售订单");
  Click("RzBitBtnSave");
  ASSERT_EQ(remote->ExecSqlText.size(), 1u);
  EXPECT_EQ(remote->ExecSqlText[0],
            "BEGIN TRAN\r"
            "delete from bUserCommon where [UserId]='u1'\r"
            "if @@error<>0\rbegin\r  ROLLBACK TRAN\r  return\rend\r"
            "insert into bUserCommon([UserID],GroupType,MenuIdList,\r"
            "GroupOrderBy,CreateDatetime,CreateOperator)\r"
            "values('u1','常用','101,201',1, getdate(),'u1')\r"
            "if @@error=0\rbegin\r  COMMIT TRAN\rend else begin\r  ROLLBACK TRAN\rend\r");
  EXPECT_EQ(boxes.Texts(), Texts{"常用功能保存成功"});
  QCoreApplication::sendPostedEvents(&host);
  ASSERT_EQ(host.Received.size(), 1u);
  EXPECT_EQ(host.Received[0].Number, 0x80CCu);
  Click("RzBitBtnSave");
  EXPECT_EQ(boxes.Texts().back(), "没有作任何修改");
}

TEST_F(DialogTest, ClosingWithChangesAsksAndHonoursTheAnswer) {
  Open({{"常用", "101"}});
  ToggleMenu("销售订单");
  boxes.Answer(IDCANCEL);
  Click("RzBitBtnCancel");
  EXPECT_TRUE(form->isVisible());
  ASSERT_EQ(boxes.Shown.size(), 1u);
  EXPECT_EQ(boxes.Shown[0].Text, "当前自定义常用功能有修改，是否保存？");
  EXPECT_EQ(boxes.Shown[0].Caption, "确认");
  boxes.Answer(IDNO);
  QTest::keyClick(form.get(), Qt::Key_Escape);
  EXPECT_FALSE(form->isVisible());
  EXPECT_TRUE(remote->ExecSqlText.empty());

  Open({{"常用", "101"}});
  ToggleMenu("销售订单");
  boxes.Answer(IDYES);
  Click("RzBitBtnCancel");
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(remote->ExecSqlText.size(), 1u);
}

TEST_F(DialogTest, AFailedLoadShowsTheErrorAndClosesTheDialog) {
  remote->Reads.push_back({false, {}, {}, "connection refused"});
  TPlugMgrInfo info;
  info.ClassName = "TPersonalCommonFuncForm";
  info.RunMode = TPlugRunMode::Create;
  ASSERT_EQ(CallPlug(&PersonalClassLookup, info, {}), 0);
  form.reset(static_cast<TPersonalCommonFuncForm*>(info.Form));
  form->show();
  EXPECT_EQ(boxes.Texts(), Texts{"数据加载失败！！！"});
  QCoreApplication::sendPostedEvents(form.get());
  EXPECT_FALSE(form->isVisible());
}

}  // namespace
}  // namespace qorvin
