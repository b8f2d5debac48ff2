// The dialog's decisions without widgets: check rules, groups, renaming, dragging, loading,
// change detection, saving and closing.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "PersonalTestSupport.h"
#include "basalt/ShareData.h"
#include "basalt/WindowMessages.h"
#include "plugins/personal/CommonFuncEditor.h"
#include "plugins/personal/PersonalLang.h"

namespace qorvin {
namespace {

using Groups = std::vector<std::pair<std::string, std::string>>;
using Texts = std::vector<std::string>;

class EditorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    remote = test::ResetFramework("u1");
    lang.Apply(BasaltBaseLangText() + lang::PersonalLangLines());
    SetMainWindow(&host);
  }
  void TearDown() override {
    SetMainWindow(nullptr);
    ShareData().Reset();
  }

  void OpenPersonal(const Groups& groups) {
    remote->Reads.push_back(test::GroupRows(groups));
    editor.SetUser("u1");
    ASSERT_TRUE(editor.Open(false, "", userGroupRows, ShareData().GetMenuList(),
                            ShareData().GetPlugList()));
  }
  int Menu(int id) const { return editor.MenuTree().FindById(id); }
  bool Checked(int id) const { return editor.MenuTree().Node(Menu(id)).Checked; }
  bool Check(int id, bool checked = true) { return editor.RequestMenuCheck(Menu(id), checked); }
  // "group[function,function] group[]" in tree order.
  std::string Tree() const {
    std::string text;
    for (const TCommonGroup& g : editor.CommonTree().Groups()) {
      if (!text.empty()) text += ' ';
      text += g.Node.Text + "[";
      for (size_t i = 0; i < g.Functions.size(); ++i) text += (i ? "," : "") + g.Functions[i].Text;
      text += "]";
    }
    return text;
  }
  uint64_t Key(const std::string& text) const {
    for (const TCommonGroup& g : editor.CommonTree().Groups()) {
      if (g.Node.Text == text) return g.Node.Key;
      for (const TCommonNode& f : g.Functions)
        if (f.Text == text) return f.Key;
    }
    ADD_FAILURE() << "no node " << text;
    return 0;
  }
  std::string SelectedText() const {
    const TNodePos pos = editor.CommonTree().SelectedPos();
    return pos.Valid() ? editor.CommonTree().NodeAt(pos).Text : "";
  }
  size_t Delivered() {
    QCoreApplication::sendPostedEvents(&host);
    return host.Received.size();
  }

  test::FakeRemoteSql* remote = nullptr;
  TLangTable lang;
  TCommonFuncEditor editor{lang, nullptr};
  std::shared_ptr<TBasaltDataSet> userGroupRows = std::make_shared<TBasaltDataSet>();
  test::MessageScript boxes;
  test::MessageRecorder host;
};

TEST_F(EditorTest, RefusalsAreSilentExceptWhenNoGroupExists) {
  OpenPersonal({});
  EXPECT_FALSE(editor.RequestMenuCheck(0, true));  // root
  EXPECT_FALSE(Check(1));                          // top-level menu
  EXPECT_FALSE(Check(203));                        // a menu with children
  EXPECT_TRUE(boxes.Shown.empty());
  EXPECT_FALSE(Check(201));
  EXPECT_EQ(boxes.Texts(), Texts{"请先创建一个功能分组"});
  EXPECT_FALSE(Checked(201));
  EXPECT_EQ(Tree(), "");
}

TEST_F(EditorTest, CheckingAddsToTheSelectionOnceAndNeedsASelection) {
  OpenPersonal({{"常用", "101"}, {"其他", ""}});
  EXPECT_EQ(SelectedText(), "常用");
  EXPECT_TRUE(Check(201));
  editor.Select(Key("用户管理"));
  EXPECT_TRUE(Check(202));  // after the last function of the selected function's group
  editor.Select(Key("其他"));
  EXPECT_TRUE(Check(2031));
  EXPECT_EQ(Tree(), "常用[用户管理,销售订单,销售发票] 其他[日报]");

  // The second menu entry of 101 was checked with the first: checking it adds nothing.
  const std::vector<int> both = editor.MenuTree().AllWithId(101);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_TRUE(editor.MenuTree().Node(both[0]).Checked);
  EXPECT_TRUE(editor.MenuTree().Node(both[1]).Checked);
  EXPECT_FALSE(editor.RequestMenuCheck(both[1], true));
  EXPECT_EQ(Tree(), "常用[用户管理,销售订单,销售发票] 其他[日报]");

  editor.Select(0);
  EXPECT_FALSE(Check(2032));
  EXPECT_FALSE(Checked(2032));
  EXPECT_EQ(boxes.Texts(), Texts{"请先选择一个功能分组"});

  EXPECT_TRUE(Check(201, false));  // unchecking removes the function
  EXPECT_EQ(Tree(), "常用[用户管理,销售发票] 其他[日报]");
}

TEST_F(EditorTest, DeletingAsksThenUnchecksEveryFunctionOfTheGroup) {
  OpenPersonal({{"常用", "101,201"}, {"报表组", "2031"}});
  editor.Select(Key("常用"));
  boxes.Answer(IDNO);
  editor.DeleteSelectedWithConfirm();
  EXPECT_EQ(Tree(), "常用[用户管理,销售订单] 报表组[日报]");
  boxes.Answer(IDYES);
  editor.DeleteSelectedWithConfirm();
  EXPECT_EQ(Tree(), "报表组[日报]");
  for (int node : editor.MenuTree().AllWithId(101))
    EXPECT_FALSE(editor.MenuTree().Node(node).Checked);
  EXPECT_FALSE(Checked(201));
  EXPECT_TRUE(Checked(2031));

  editor.Select(Key("日报"));
  boxes.Answer(IDYES);
  editor.DeleteSelectedWithConfirm();
  EXPECT_EQ(Tree(), "报表组[]");
  EXPECT_FALSE(Checked(2031));
  EXPECT_EQ(SelectedText(), "报表组");
  EXPECT_EQ(boxes.Texts(), (Texts{"是否删除常用功能分组[常用]?", "是否删除常用功能分组[常用]?",
                                  "是否从分组[报表组]中移除[日报]?"}));
}

TEST_F(EditorTest, NewGroupsAreNumberedAndRenamesCheckEveryOtherNode) {
  OpenPersonal({{"常用", "101"}});
  editor.AddGroup();
  const uint64_t second = editor.AddGroup();
  editor.AddGroup();
  EXPECT_EQ(Tree(), "常用[用户管理] 新建分组[] 新建分组1[] 新建分组2[]");
  EXPECT_EQ(SelectedText(), "新建分组2");

  EXPECT_FALSE(editor.RenameGroup(second, ""));
  EXPECT_FALSE(editor.RenameGroup(second, "用户管理"));  // a function's caption
  EXPECT_FALSE(editor.RenameGroup(second, "常用"));
  EXPECT_EQ(boxes.Texts(), (Texts{"分组名称不能为空！！！",
                                  "已经存在相同名为[用户管理]的常用功能分组，修改失败！！！",
                                  "已经存在相同名为[常用]的常用功能分组，修改失败！！！"}));
  EXPECT_TRUE(editor.RenameGroup(second, "新建分组1"));  // its own name
  EXPECT_TRUE(editor.RenameGroup(second, "Ab=c"));
  EXPECT_FALSE(editor.RenameGroup(Key("新建分组"), "aB=C"));  // ignoring case
  EXPECT_EQ(Tree(), "常用[用户管理] 新建分组[] Ab=c[] 新建分组2[]");
  EXPECT_EQ(editor.GroupListText(), "常用=101\r\n新建分组=\r\nAb|EqulsTo|c=\r\n新建分组2=");
}

TEST_F(EditorTest, DragAcceptsOnlySameOrHigherLevelTargetsFromItself) {
  OpenPersonal({{"A", "101,103"}, {"B", "201"}, {"C", ""}});
  editor.Select(Key("用户管理"));
  EXPECT_FALSE(editor.CanDrop(false, Key("B")));
  EXPECT_FALSE(editor.CanDrop(true, Key("用户管理")));
  EXPECT_TRUE(editor.CanDrop(true, Key("B")));
  EXPECT_TRUE(editor.CanDrop(true, Key("销售订单")));
  editor.Select(Key("A"));
  EXPECT_FALSE(editor.CanDrop(true, Key("销售订单")));  // never a group onto a function
  EXPECT_TRUE(editor.CanDrop(true, Key("B")));
  editor.Select(0);
  EXPECT_FALSE(editor.CanDrop(true, Key("B")));
}

TEST_F(EditorTest, DropMovesToTheEndWhenComingFromBeforeAndInFrontOtherwise) {
  OpenPersonal({{"A", "101,103"}, {"B", "201"}, {"C", ""}});
  editor.Select(Key("用户管理"));
  editor.Drop(Key("角色管理"));
  EXPECT_EQ(Tree(), "A[角色管理,用户管理] B[销售订单] C[]");
  editor.Drop(Key("角色管理"));
  EXPECT_EQ(Tree(), "A[用户管理,角色管理] B[销售订单] C[]");
  editor.Drop(Key("销售订单"));  // into another group, coming from before
  EXPECT_EQ(Tree(), "A[角色管理] B[销售订单,用户管理] C[]");
  editor.Drop(Key("C"));  // a function onto a group
  EXPECT_EQ(Tree(), "A[角色管理] B[销售订单] C[用户管理]");
  EXPECT_EQ(SelectedText(), "用户管理");
  editor.Select(Key("C"));
  editor.Drop(Key("A"));
  EXPECT_EQ(Tree(), "C[用户管理] A[角色管理] B[销售订单]");
  editor.Drop(Key("B"));
  EXPECT_EQ(Tree(), "A[角色管理] B[销售订单] C[用户管理]");
}

TEST_F(EditorTest, LoadingKeepsStoredOrderAndCarriesIdsTheMenuDoesNotShow) {
  OpenPersonal({{"Z", "2031, x ,999,\"201\""}, {"A", "-5"}, {"M", "2031"}});
  EXPECT_EQ(Tree(), "Z[日报,销售订单] A[] M[日报]");
  EXPECT_TRUE(Checked(2031));
  EXPECT_EQ(SelectedText(), "Z");
  // Hidden ids, blanks and entries that are no ids at all are no change; the hidden ids stay in
  // their places, the other entries go with the next save.
  EXPECT_FALSE(editor.IsChanged());
  EXPECT_EQ(editor.GroupListText(), "Z=2031,999,201\r\nA=-5\r\nM=2031");
}

TEST_F(EditorTest, HiddenIdsKeepTheirPlacesThroughEdits) {
  OpenPersonal({{"A", "998,101,999,103,997"}, {"B", "201"}});
  EXPECT_EQ(Tree(), "A[用户管理,角色管理] B[销售订单]");
  EXPECT_EQ(editor.GroupListText(), "A=998,101,999,103,997\r\nB=201");
  EXPECT_FALSE(editor.IsChanged());

  editor.Select(Key("用户管理"));
  editor.Drop(Key("角色管理"));  // 101 now after 103: 999 still follows 101
  EXPECT_EQ(editor.GroupListText(), "A=998,103,997,101,999\r\nB=201");
  EXPECT_TRUE(editor.IsChanged());
  editor.Drop(Key("销售订单"));  // 101 leaves the group: 999 goes to its end
  EXPECT_EQ(editor.GroupListText(), "A=998,103,997,999\r\nB=201,101");
  EXPECT_TRUE(editor.Save(""));
  const auto rows = editor.CurrentDataSet();
  rows->First();
  EXPECT_EQ(rows->FieldText("MenuIdList"), "998,103,997,999");
  EXPECT_FALSE(editor.IsChanged());
}

TEST_F(EditorTest, AFunctionInTwoPlacesOfTheMenuIsCheckedInBoth) {
  OpenPersonal({{"常用", ""}});
  const std::vector<int> both = editor.MenuTree().AllWithId(101);
  ASSERT_EQ(both.size(), 2u);
  const auto bothChecked = [&] {
    return std::to_string(editor.MenuTree().Node(both[0]).Checked) +
           std::to_string(editor.MenuTree().Node(both[1]).Checked);
  };
  EXPECT_TRUE(editor.RequestMenuCheck(both[1], true));
  EXPECT_EQ(bothChecked(), "11");
  EXPECT_EQ(Tree(), "常用[用户管理]");
  EXPECT_FALSE(editor.RequestMenuCheck(both[0], true));  // already checked through its twin
  EXPECT_TRUE(editor.RequestMenuCheck(both[0], false));
  EXPECT_EQ(bothChecked(), "00");
  EXPECT_EQ(Tree(), "常用[]");

  editor.Select(0);  // a refused check leaves both unchecked
  EXPECT_FALSE(editor.RequestMenuCheck(both[1], true));
  EXPECT_EQ(bothChecked(), "00");
  EXPECT_EQ(boxes.Texts(), Texts{"请先选择一个功能分组"});
}

TEST_F(EditorTest, ChangeDetectionSeesLetterCaseInNames) {
  OpenPersonal({{"abc", "101"}});
  EXPECT_TRUE(editor.RenameGroup(Key("abc"), "ABC"));
  EXPECT_TRUE(editor.IsChanged());
  EXPECT_TRUE(editor.Save(""));
  EXPECT_NE(remote->ExecSqlText.at(0).find("values('u1','ABC','101',1,"), std::string::npos);
  EXPECT_FALSE(editor.IsChanged());
}

TEST_F(EditorTest, AnOpenDatasetWithoutRowsLoadsNothing) {
  OpenPersonal({});
  EXPECT_EQ(Tree(), "");
  EXPECT_EQ(editor.CommonTree().Selected(), 0u);
  EXPECT_FALSE(editor.IsChanged());
  editor.AddGroup();
  EXPECT_TRUE(editor.IsChanged());
}

TEST_F(EditorTest, SaveWritesTheBatchRefreshesTheRowsAndNotifiesTheHost) {
  OpenPersonal({{"常用", "101,201"}, {"B", "2031"}});
  editor.Select(Key("B"));
  editor.RenameGroup(Key("B"), "b");
  EXPECT_TRUE(editor.IsChanged());
  editor.RenameGroup(Key("b"), "B");
  EXPECT_FALSE(editor.IsChanged());
  boxes.Answer(IDYES);
  editor.DeleteSelectedWithConfirm();  // the last of several groups
  ASSERT_TRUE(editor.IsChanged());

  EXPECT_TRUE(editor.Save(""));
  ASSERT_EQ(remote->ExecSqlText.size(), 1u);
  EXPECT_NE(remote->ExecSqlText[0].find("values('u1','常用','101,201',1, getdate(),'u1')\r"),
            std::string::npos);
  EXPECT_EQ(remote->ExecSqlText[0].find("'B'"), std::string::npos);
  const auto rows = editor.CurrentDataSet();
  ASSERT_EQ(rows->RecordCount(), 1);
  rows->First();
  EXPECT_EQ(rows->FieldText("GroupType"), "常用");
  EXPECT_EQ(rows->FieldText("MenuIdList"), "101,201");
  EXPECT_EQ(rows->FieldValue("GroupOrderBy").AsIntegerValue(), 1);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(host.Received[0].Number, 0x80CCu);
  EXPECT_EQ(host.Received[0].WParam, 1);
  EXPECT_EQ(host.Received[0].LParam, 0);

  EXPECT_FALSE(editor.IsChanged());
  EXPECT_FALSE(editor.Save(""));
  EXPECT_EQ(boxes.Texts().back(), "没有作任何修改");
  EXPECT_EQ(remote->ExecSqlText.size(), 1u);
}

TEST_F(EditorTest, SavingAnEmptyConfigurationAsksThenClearsTheLocalRows) {
  OpenPersonal({{"常用", "101"}});
  boxes.Answer(IDYES);
  editor.DeleteSelectedWithConfirm();
  boxes.Answer(IDNO);
  EXPECT_FALSE(editor.Save(""));
  EXPECT_TRUE(remote->ExecSqlText.empty());
  EXPECT_EQ(boxes.Texts().back(), "确定要删除所有自定义常用功能吗？");

  boxes.Answer(IDYES);
  EXPECT_TRUE(editor.Save(""));
  ASSERT_EQ(remote->ExecSqlText.size(), 1u);
  EXPECT_EQ(remote->ExecSqlText[0].find("insert"), std::string::npos);
  EXPECT_TRUE(editor.CurrentDataSet()->Active());
  EXPECT_EQ(editor.CurrentDataSet()->RecordCount(), 0);
  EXPECT_EQ(Delivered(), 1u);
  EXPECT_FALSE(editor.IsChanged());
}

TEST_F(EditorTest, AFailedSaveKeepsEditsAndStoredRows) {
  OpenPersonal({{"常用", "101"}});
  Check(201);
  remote->Execs.push_back({false, "insert failed"});
  EXPECT_FALSE(editor.Save(""));
  EXPECT_EQ(boxes.Texts(), Texts{"更新自定义常用功能失败！！！\ninsert failed"});
  EXPECT_EQ(Tree(), "常用[用户管理,销售订单]");
  EXPECT_TRUE(editor.IsChanged());
  EXPECT_EQ(editor.CurrentDataSet()->RecordCount(), 1);
  EXPECT_EQ(Delivered(), 0u);
}

TEST_F(EditorTest, UserGroupModeReadsAndWritesTheGroupsRowsOnly) {
  remote->Reads.push_back(test::GroupRows({{"组1", "101"}}));
  editor.SetUser("u1");
  ASSERT_TRUE(editor.Open(true, "财务'组", userGroupRows, ShareData().GetMenuList(),
                          ShareData().GetPlugList()));
  EXPECT_EQ(remote->ReadSql,
            Texts{"select * from bUserGroupCommon where UserGroup = '财务''组' order by "
                  "GroupOrderBy"});
  EXPECT_EQ(editor.CurrentDataSet(), userGroupRows);
  Check(201);
  editor.AddGroup();
  EXPECT_TRUE(editor.Save("财务'组"));
  ASSERT_EQ(remote->ExecSqlText.size(), 1u);
  EXPECT_EQ(remote->ExecSqlText[0].rfind("BEGIN TRAN\rdelete from bUserGroupCommon where "
                                         "[UserGroup]='财务''组'\r",
                                         0),
            0u);
  // The group's rows are refreshed; the host hears nothing (they are not the user's own).
  ASSERT_EQ(userGroupRows->RecordCount(), 2);
  userGroupRows->First();
  EXPECT_EQ(userGroupRows->FieldText("MenuIdList"), "101,201");
  userGroupRows->Next();
  EXPECT_EQ(userGroupRows->FieldText("GroupType"), "新建分组");
  EXPECT_EQ(userGroupRows->FieldValue("GroupOrderBy").AsIntegerValue(), 2);
  EXPECT_EQ(Delivered(), 0u);
  EXPECT_TRUE(boxes.Shown.empty());
  EXPECT_FALSE(editor.IsChanged());
  EXPECT_FALSE(editor.Save("财务'组"));
  EXPECT_EQ(boxes.Texts(), Texts{"没有作任何修改"});
  EXPECT_EQ(remote->ExecSqlText.size(), 1u);
}

TEST_F(EditorTest, AUserGroupWithoutRowsOrColumnsTakesItsFirstSave) {
  remote->Reads.push_back({});  // an answer without data: no field list at all
  editor.SetUser("u1");
  ASSERT_TRUE(editor.Open(true, "新组", userGroupRows, ShareData().GetMenuList(),
                          ShareData().GetPlugList()));
  editor.AddGroup();
  Check(101);
  EXPECT_TRUE(editor.Save("新组"));
  ASSERT_EQ(userGroupRows->RecordCount(), 1);
  userGroupRows->First();
  EXPECT_EQ(userGroupRows->FieldText("UserGroup"), "新组");
  EXPECT_EQ(userGroupRows->FieldText("GroupType"), "新建分组");
  EXPECT_EQ(userGroupRows->FieldText("MenuIdList"), "101");
  EXPECT_FALSE(editor.IsChanged());
}

TEST_F(EditorTest, FailedLoadsShowTheLoadError) {
  remote->Reads.push_back({false, {}, {}, "timeout"});
  ShareData().SetUserInfo(TUserInfo("u'1"));
  EXPECT_FALSE(
      editor.Open(false, "", userGroupRows, ShareData().GetMenuList(), ShareData().GetPlugList()));
  EXPECT_EQ(remote->ReadSql[0],
            "select * from bUserCommon where [UserID]='u''1' order by GroupOrderBy");
  EXPECT_EQ(boxes.Texts(), Texts{"数据加载失败！！！"});

  remote->Reads.push_back({false, {}, {}, "timeout"});
  EXPECT_FALSE(
      editor.Open(true, "g", userGroupRows, ShareData().GetMenuList(), ShareData().GetPlugList()));
  EXPECT_EQ(boxes.Texts(),
            (Texts{"数据加载失败！！！", "无法获取到用户组常用功能配置, 请重新打开！！！\ntimeout",
                   "数据加载失败！！！"}));
}

TEST_F(EditorTest, ClosingAsksOnlyWhenChanged) {
  OpenPersonal({{"常用", "101"}});
  EXPECT_TRUE(editor.QueryClose(""));
  EXPECT_TRUE(boxes.Shown.empty());
  Check(201);
  boxes.Answer(IDCANCEL);
  EXPECT_FALSE(editor.QueryClose(""));
  ASSERT_EQ(boxes.Shown.size(), 1u);
  EXPECT_EQ(boxes.Shown[0].Kind, TMessageKind::MsgBox);
  EXPECT_EQ(boxes.Shown[0].Text, "当前自定义常用功能有修改，是否保存？");
  EXPECT_EQ(boxes.Shown[0].Caption, "确认");
  EXPECT_EQ(boxes.Shown[0].Flags, 35);
  boxes.Answer(IDNO);
  EXPECT_TRUE(editor.QueryClose(""));
  EXPECT_TRUE(remote->ExecSqlText.empty());
  boxes.Answer(IDYES);
  EXPECT_TRUE(editor.QueryClose(""));
  EXPECT_EQ(remote->ExecSqlText.size(), 1u);
  EXPECT_EQ(boxes.Unscripted, 0);
}

TEST_F(EditorTest, YesToClosingKeepsTheDialogUnlessTheSaveSucceeded) {
  OpenPersonal({{"常用", "101"}});
  Check(201);
  remote->Execs.push_back({false, "server down"});
  boxes.Answer(IDYES);
  EXPECT_FALSE(editor.QueryClose(""));
  EXPECT_TRUE(editor.IsChanged());

  boxes.Answer(IDYES);  // delete the group
  editor.DeleteSelectedWithConfirm();
  boxes.Answer(IDYES);  // close: save
  boxes.Answer(IDNO);   // but not an empty configuration
  EXPECT_FALSE(editor.QueryClose(""));
  EXPECT_EQ(remote->ExecSqlText.size(), 1u);

  boxes.Answer(IDYES);
  boxes.Answer(IDYES);
  EXPECT_TRUE(editor.QueryClose(""));
  EXPECT_EQ(remote->ExecSqlText.size(), 2u);
  EXPECT_EQ(boxes.Unscripted, 0);
}

}  // namespace
}  // namespace qorvin
