// The framework stand-in: dataset, language table, menu file, message boxes, CallPlug and the
// remote calls.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "PersonalTestSupport.h"
#include "basalt/BasaltError.h"
#include "basalt/PlugBase.h"
#include "basalt/RemoteCalls.h"
#include "basalt/ShareData.h"

namespace qorvin {
namespace {

TEST(BasaltDataSet, AppendDeleteAndEmptyKeepTheCursorOnARow) {
  TBasaltDataSet ds;
  ds.SetFields({"GroupType", "GroupOrderBy"});
  EXPECT_THROW(ds.Append(), EDataSetError);  // closed
  ds.Open();
  EXPECT_TRUE(ds.Eof());
  for (int i = 1; i <= 3; ++i) {
    ds.Append();
    ds.SetFieldValue("grouptype", Variant::AnsiString("g" + std::to_string(i)));
    ds.SetFieldValue("GroupOrderBy", Variant::Integer(i));
    ds.Post();
  }
  EXPECT_EQ(ds.RecordCount(), 3);
  EXPECT_EQ(ds.FieldText("GroupType"), "g3");
  EXPECT_EQ(ds.FieldText("GroupOrderBy"), "3");
  ds.Delete();  // the last row: the cursor moves to the new last row
  EXPECT_EQ(ds.FieldText("GroupType"), "g2");
  ds.First();
  ds.Delete();
  EXPECT_EQ(ds.FieldText("GroupType"), "g2");
  EXPECT_THROW(ds.FieldValue("Missing"), EDataSetError);
  EXPECT_THROW(ds.Post(), EDataSetError);
  ds.Append();
  ds.Cancel();
  EXPECT_EQ(ds.RecordCount(), 1);
  ds.EmptyDataSet();
  EXPECT_TRUE(ds.Eof());
  EXPECT_THROW(ds.Delete(), EDataSetError);
  EXPECT_THROW(ds.SetFields({"a", "A"}), EDataSetError);
}

TEST(BasaltLang, LinesOverrideAndPlaceholdersFillInOrder) {
  TLangTable lang;
  lang.Apply(BasaltBaseLangText() + "A=one\rB=x=%s,%s\r\nnoequals\r=empty\rA=two\r");
  EXPECT_EQ(lang.Text("Comfirm"), "确认");
  EXPECT_EQ(lang.Text("a"), "two");
  EXPECT_EQ(lang.Text("B", {"%s", "2"}), "x=%s,2");  // inserted values are not filled again
  EXPECT_EQ(lang.Text("B", {"1"}), "x=1,%s");
  EXPECT_EQ(lang.Text("Unknown"), "Unknown");
  EXPECT_FALSE(lang.Has("noequals"));
}

TEST(BasaltMenuFile, MalformedLinesAreNamedAndChangeNothing) {
  TMenuList menus;
  TPlugList plugs;
  ParseMenuText("1 0 - 菜单 一\n\r\n# note\n11 1 TForm 功能\n", "m", menus, plugs);
  ASSERT_EQ(menus.GetCount(), 2);
  EXPECT_EQ(menus.GetMenuInfo(0).GetMenuCaption(), "菜单 一");
  EXPECT_EQ(menus.GetMenuInfo(1).GetMenuParentId(), 1);
  ASSERT_NE(plugs.FindByMenuId(11), nullptr);
  EXPECT_EQ(plugs.FindByMenuId(11)->PlugName, "TForm");
  EXPECT_EQ(plugs.FindByMenuId(1), nullptr);
  EXPECT_THROW(menus.GetMenuInfo(2), EBasaltError);

  for (const char* bad : {"0 0 - x\n", "1 -1 - x\n", "x 0 - y\n", "1 0 -\n", "1 0\n"}) {
    try {
      ParseMenuText(std::string("1 0 - ok\n") + bad, "m", menus, plugs);
      ADD_FAILURE() << bad;
    } catch (const EBasaltError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("m:2: ", 0), 0u) << e.what();
    }
  }
  EXPECT_EQ(menus.GetCount(), 2);
  EXPECT_THROW(LoadMenuFile("/nonexistent/menu.txt", menus, plugs), EBasaltError);
}

TEST(BasaltMessages, HookSeesEveryRequestAndButtonSetsAreChecked) {
  test::MessageScript boxes;
  boxes.Answer(IDCANCEL);
  EXPECT_EQ(ShowComfirm("q", ""), IDNO);  // anything but yes is no
  boxes.Answer(IDNO);
  EXPECT_EQ(MsgBox(nullptr, "t", "c", MB_YESNOCANCEL | MB_ICONQUESTION), IDNO);
  EXPECT_THROW(MsgBox(nullptr, "t", "c", 0x0F), std::invalid_argument);
  ASSERT_EQ(boxes.Shown.size(), 2u);
  EXPECT_EQ(boxes.Shown[1].Flags, 35);
  EXPECT_EQ(boxes.Shown[1].Caption, "c");
}

// A dialog that records the order of the framework's calls.
class ProbeDialog : public TPlugBaseDialog {
 public:
  explicit ProbeDialog(QWidget* parent) : TPlugBaseDialog(parent) {}
  static std::vector<std::string>& Calls() {
    static std::vector<std::string> calls;
    return calls;
  }
  static TPlugBaseForm* Create(QWidget* parent) { return new ProbeDialog(parent); }
  std::string InitLang() override { return TPlugBaseDialog::InitLang() + "Hello=你好 %s\r"; }
  int PlugExec(TPlugArgs args) override {
    Calls().push_back("exec " + tr("Hello", {GetUserInfo().GetUserId()}));
    if (!args.empty() && args[0].Kind() == varInteger) throw EBasaltError("bad argument");
    TPlugBaseDialog::PlugExec(args);
    return 7;
  }
  void PlugInitEvent(QObject* sender) override {
    Calls().push_back("init " + std::to_string(GetPlugInfo().GetActionType()));
    TPlugBaseDialog::PlugInitEvent(sender);
  }
};

const TPlugFormClass* ProbeLookup(const std::string& name) {
  static const TPlugFormClass probe{"TProbe", &ProbeDialog::Create};
  return name == "TProbe" ? &probe : nullptr;
}

TEST(BasaltCallPlug, RunsPlugExecBeforePlugInitEventAndHandsTheFormOver) {
  ShareData().Reset();
  ShareData().SetUserInfo(TUserInfo("u7"));
  ProbeDialog::Calls().clear();
  TPlugMgrInfo info;
  info.ClassName = "TMissing";
  EXPECT_EQ(CallPlug(&ProbeLookup, info, {}), kCallPlugFailed);
  EXPECT_EQ(info.ErrorText, "No plug class named TMissing");

  info.ClassName = "TProbe";
  info.ActionType = 2;
  info.RunMode = TPlugRunMode::Create;
  const std::vector<Variant> args = {Variant::AnsiString("g")};
  EXPECT_EQ(CallPlug(&ProbeLookup, info, args), 7);
  std::unique_ptr<TPlugBaseForm> form(info.Form);
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(ProbeDialog::Calls(), (std::vector<std::string>{"exec 你好 u7", "init 2"}));
  auto* dialog = dynamic_cast<ProbeDialog*>(form.get());
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->PlugArgs().size(), 1u);
  EXPECT_EQ(dialog->GetPlugMgrList(), &info);

  const std::vector<Variant> bad = {Variant::Integer(1)};
  EXPECT_EQ(CallPlug(&ProbeLookup, info, bad), kCallPlugFailed);
  EXPECT_EQ(info.ErrorText, "TProbe: bad argument");
  EXPECT_EQ(info.Form, nullptr);
  ShareData().Reset();
}

TEST(BasaltRemoteCalls, FailuresReportTheReasonAndChangeNothing) {
  ShareData().Reset();
  test::MessageScript boxes;
  TBasaltDataSet ds;
  EXPECT_FALSE(SynchReadData(nullptr, "select 1", ds, "读取失败", "", "详情"));
  EXPECT_EQ(boxes.Texts().back(), "读取失败\nthe framework has no server connection\n详情");

  test::FakeRemoteSql* remote = test::ResetFramework("u1");
  remote->Execs.push_back({false, "constraint violated"});
  TErrorReturnValueProperty error;
  EXPECT_FALSE(SynchExecSQL(nullptr, "insert", error, "更新失败"));
  EXPECT_EQ(error.ErrorText, "constraint violated");
  EXPECT_EQ(boxes.Texts().back(), "更新失败\nconstraint violated");
  EXPECT_EQ(LastRemoteError(), "constraint violated");

  std::shared_ptr<TBasaltDataSet> table;
  EXPECT_FALSE(OpenXMLDataSet(nullptr, table, "bOther"));
  EXPECT_EQ(table, nullptr);
  remote->Reads.push_back(test::GroupRows({{"g", "1"}}));
  ASSERT_TRUE(OpenXMLDataSet(nullptr, table, "bUserCommon"));
  EXPECT_EQ(table, ShareData().LocalTable("bUserCommon"));
  EXPECT_EQ(table->RecordCount(), 1);
  EXPECT_EQ(LastRemoteError(), "");
  ShareData().Reset();
}

TEST(BasaltRemoteCalls, TheClientLibraryFactoryNamesTheServerWhenItCannotConnect) {
  std::string error;
  EXPECT_EQ(
      CreateClientRemoteSql(
          TRemoteSqlConfig{"127.0.0.1", 8099, 'H', "/nonexistent/libQorvinClient.so", "u1"}, error),
      nullptr);
  EXPECT_NE(error.find("127.0.0.1:8099"), std::string::npos);
}

}  // namespace
}  // namespace qorvin
