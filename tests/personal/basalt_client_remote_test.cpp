// The framework's remote SQL over the real libQorvinClient.so (loaded with dlopen, as basalt does
// it) against a scripted middleware server: reads become framework datasets, execs hand back the
// server's result, server failures reach the caller's text and the error box, and a missing
// library fails clearly. Runs in a UTF-8 locale, as basalt-host does after setlocale.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>

#include "PersonalTestSupport.h"
#include "basalt/ClientRemoteSql.h"
#include "basalt/DataSet.h"
#include "basalt/RemoteCalls.h"
#include "basalt/ShareData.h"
#include "basalt/host/HostRun.h"
#include "datastream/uConvertAdo.h"
#include "platform/ado/AdoDataSet.h"
#include "platform/rtl/Text.h"
#include "tests/client/Blobs.h"
#include "tests/client/ClientWire.h"
#include "tests/client/ScriptedServer.h"

namespace qorvin {
namespace {

using testing::ExceptionReply;
using testing::Reply;
using testing::ScriptedServer;
using testing::WireReader;

// A request as the server saw it: operation, user id, serial number and the SQL text (UTF-8).
struct SeenRequest {
  std::string Operation, User, Serial, Sql;
};

SeenRequest ParseRequest(const std::string& bytes) {
  WireReader r(bytes);
  SeenRequest seen{r.MessageName(), r.Str(), r.Str(), ""};
  // The SQL follows as a count of UTF-16 code units and the units themselves.
  const size_t at = 28 + 16 + r.InterfaceName().size() + seen.Operation.size() + seen.User.size() +
                    seen.Serial.size();
  const int32_t units = r.Int();
  seen.Sql = Utf16ToUtf8(LEBytesToUtf16(std::string_view(bytes).substr(at + 4, 2 * size_t(units))));
  return seen;
}

// A blob of the shape of bUserCommon, plus one column of each other kind the framework reads.
std::string GroupBlob(const std::vector<std::tuple<std::u16string, std::u16string, int>>& rows) {
  TAdoDataSet ds;
  ds.MutableFieldDefs().Add(u"GroupType", ftWideString, 50);
  ds.MutableFieldDefs().Add(u"MenuIdList", ftWideString, 400);
  ds.MutableFieldDefs().Add(u"GroupOrderBy", ftInteger);
  ds.MutableFieldDefs().Add(u"CreateDatetime", ftDateTime);
  ds.MutableFieldDefs().Add(u"Amount", ftCurrency);
  ds.MutableFieldDefs().Add(u"Ratio", ftFloat);
  ds.MutableFieldDefs().Add(u"Shared", ftBoolean);
  ds.Open();
  for (const auto& [name, ids, order] : rows) {
    ds.Append();
    ds.SetFieldValue(0, Variant::OleStr(name));
    ds.SetFieldValue(1, ids.empty() ? Variant::Null() : Variant::OleStr(ids));
    ds.SetFieldValue(2, Variant::Integer(order));
    ds.SetFieldValue(3, Variant::Date(45351.5));  // 2024-02-29 12:00
    ds.SetFieldValue(4, Variant::Currency(Currency{-123456789}));
    ds.SetFieldValue(5, Variant::Double(0.25));
    ds.SetFieldValue(6, Variant::Boolean(order == 1));
    ds.Post();
  }
  TMemoryStream out;
  AdoDataSetToStream(&ds, &out, true, kPersistADTG, 1);
  return std::string(out.View());
}

class ClientBinding : public ::testing::TestWithParam<char> {
 protected:
  void SetUp() override {
    savedLocale_ = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    std::setlocale(LC_NUMERIC, "C");
    server_ = std::make_unique<ScriptedServer>([this](const std::string& request) {
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back(ParseRequest(request));
      const auto it = replies_.find(seen_.back().Operation);
      return it != replies_.end() ? it->second : ExceptionReply("EDatabaseError", "unscripted");
    });
  }
  void TearDown() override {
    ShareData().Reset();
    server_.reset();
    std::setlocale(LC_ALL, savedLocale_.c_str());
  }

  TRemoteSqlConfig Config(char letter) {
    return {"127.0.0.1", server_->Port(letter), letter, QORVIN_CLIENT_LIBRARY, "用户'1"};
  }
  std::unique_ptr<TClientRemoteSql> Connect(char letter) {
    std::string error;
    std::unique_ptr<IRemoteSql> remote = CreateClientRemoteSql(Config(letter), error);
    EXPECT_NE(remote, nullptr) << error;
    EXPECT_EQ(error, "");
    return std::unique_ptr<TClientRemoteSql>(static_cast<TClientRemoteSql*>(remote.release()));
  }
  void Answer(const std::string& operation, std::string reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_[operation] = std::move(reply);
  }
  std::vector<SeenRequest> Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

  std::string savedLocale_;
  std::mutex mutex_;
  std::map<std::string, std::string> replies_;
  std::vector<SeenRequest> seen_;
  std::unique_ptr<ScriptedServer> server_;
};

INSTANTIATE_TEST_SUITE_P(Letters, ClientBinding, ::testing::Values('H', 'B', 'U'));

std::string Row(TBasaltDataSet& ds, const std::vector<std::string>& fields) {
  std::string out;
  for (const std::string& f : fields) out += (out.empty() ? "" : "|") + ds.FieldText(f);
  return out;
}

TEST_P(ClientBinding, AReadBecomesTheDatasetsFieldsRowsAndTypedValues) {
  const std::string sql = "select * from bUserCommon where GroupType='常用'";
  std::string blob = GroupBlob({{u"常用功能", u"101,201", 1}, {u"空组", u"", 2}});
  Answer("SynchReadData", Reply().Int(2).Binary(&blob).Bytes());
  auto remote = Connect(GetParam());
  TBasaltDataSet ds;
  ds.SetFields({"old"});
  ds.AppendRow({Variant::Integer(9)});
  std::string error;
  ASSERT_TRUE(remote->ReadData(sql, ds, error)) << error;
  EXPECT_EQ(remote->LastResult(), 2);

  // The Chinese SQL and user id arrive intact, the serial number is empty.
  const std::vector<SeenRequest> seen = Seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].Operation, "SynchReadData");
  EXPECT_EQ(seen[0].User, "用户'1");
  EXPECT_EQ(seen[0].Serial, "");
  EXPECT_EQ(seen[0].Sql, sql);

  ASSERT_TRUE(ds.Active());
  EXPECT_EQ(ds.FieldNames(),
            (std::vector<std::string>{"GroupType", "MenuIdList", "GroupOrderBy", "CreateDatetime",
                                      "Amount", "Ratio", "Shared"}));
  ASSERT_EQ(ds.RecordCount(), 2);
  EXPECT_EQ(ds.RecNo(), 0);
  EXPECT_EQ(Row(ds, {"GroupType", "MenuIdList", "GroupOrderBy", "Amount", "Shared"}),
            "常用功能|101,201|1|-12345.6789|True");
  EXPECT_EQ(ds.FieldValue("GroupType").Kind(), varString);
  EXPECT_EQ(ds.FieldValue("GroupOrderBy").Kind(), varInteger);
  EXPECT_EQ(ds.FieldValue("CreateDatetime").Kind(), varDate);
  EXPECT_DOUBLE_EQ(ds.FieldValue("CreateDatetime").AsDoubleValue(), 45351.5);
  EXPECT_EQ(ds.FieldValue("Amount").AsCurrency().scaled, -123456789);
  EXPECT_DOUBLE_EQ(ds.FieldValue("Ratio").AsDoubleValue(), 0.25);
  ds.Next();
  EXPECT_EQ(ds.FieldText("GroupType"), "空组");
  EXPECT_TRUE(ds.FieldValue("MenuIdList").IsNull());
  EXPECT_FALSE(ds.FieldValue("Shared").AsBoolean());
}

TEST_P(ClientBinding, AReplyWithoutDataGivesAnOpenEmptyDatasetAndAFailureKeepsTheOldRows) {
  auto remote = Connect(GetParam());
  TBasaltDataSet ds;
  ds.SetFields({"GroupType"});
  ds.AppendRow({Variant::AnsiString("kept")});
  std::string error;

  Answer("SynchReadData", ExceptionReply("EDatabaseError", "表 bUserCommon 不存在"));
  EXPECT_FALSE(remote->ReadData("select 1", ds, error));
  EXPECT_NE(error.find("表 bUserCommon 不存在"), std::string::npos) << error;
  EXPECT_FALSE(ds.Active());
  EXPECT_EQ(ds.RecordCount(), 1);

  const std::string empty;
  Answer("SynchReadData", Reply().Int(0).Binary(&empty).Bytes());
  error.clear();
  ASSERT_TRUE(remote->ReadData("select 1", ds, error)) << error;
  EXPECT_TRUE(ds.Active());
  EXPECT_TRUE(ds.FieldNames().empty());
  EXPECT_EQ(ds.RecordCount(), 0);
}

TEST_P(ClientBinding, AnExecHandsBackTheServersResultAndOnlyACallFailureFails) {
  auto remote = Connect(GetParam());
  const std::string batch =
      "BEGIN TRAN\rdelete from bUserCommon where "
      "[UserId]='用户''1'\rinsert ... values('新建分组')\r";
  std::string error;
  for (int32_t result : {0, -1, 17}) {
    Answer("SynchExecSQL", Reply().Int(result).Bytes());
    EXPECT_TRUE(remote->ExecSql(batch, error)) << error;
    EXPECT_EQ(remote->LastResult(), result);
    EXPECT_EQ(error, "");
  }
  EXPECT_EQ(Seen().back().Operation, "SynchExecSQL");
  EXPECT_EQ(Seen().back().Sql, batch);
  // A text the C interface would cut short is refused before anything is sent.
  EXPECT_FALSE(remote->ExecSql(std::string("delete from t\0 where 1=0", 25), error));
  EXPECT_NE(error.find("NUL"), std::string::npos) << error;
  EXPECT_EQ(Seen().size(), 3u);

  Answer("SynchExecSQL", ExceptionReply("EDatabaseError", "违反唯一约束"));
  EXPECT_FALSE(remote->ExecSql(batch, error));
  EXPECT_EQ(error, "An exception was raised on the server: 违反唯一约束");
  EXPECT_EQ(remote->LastResult(), 0);
  // The next success clears nothing of the caller's but reports success again.
  Answer("SynchExecSQL", Reply().Int(1).Bytes());
  std::string next;
  EXPECT_TRUE(remote->ExecSql("select 1", next));
  EXPECT_EQ(next, "");
}

TEST_P(ClientBinding, ServerFailuresReachTheErrorBoxAndTheErrorRecord) {
  ShareData().Reset();
  ShareData().SetUserInfo(TUserInfo("用户'1"));
  ShareData().SetRemoteSql(Connect(GetParam()));
  test::MessageScript boxes;

  Answer("SynchExecSQL", ExceptionReply("EDatabaseError", "磁盘已满"));
  TErrorReturnValueProperty record;
  EXPECT_FALSE(SynchExecSQL(nullptr, "update t set a=1", record, "更新自定义常用功能失败！！！"));
  const std::string reason = "An exception was raised on the server: 磁盘已满";
  EXPECT_EQ(record.ErrorText, reason);
  ASSERT_EQ(boxes.Shown.size(), 1u);
  EXPECT_EQ(boxes.Shown[0].Kind, TMessageKind::Error);
  EXPECT_EQ(boxes.Shown[0].Text, "更新自定义常用功能失败！！！\n" + reason);

  // OpenXMLDataSet: the current user's rows, in order, quoted; nothing shown on failure.
  std::string blob = GroupBlob({{u"甲", u"1", 1}, {u"乙", u"2", 2}});
  Answer("SynchReadData", Reply().Int(0).Binary(&blob).Bytes());
  std::shared_ptr<TBasaltDataSet> current;
  ASSERT_TRUE(OpenXMLDataSet(nullptr, current, "bUserCommon")) << LastRemoteError();
  EXPECT_EQ(Seen().back().Sql,
            "select * from bUserCommon where [UserID]='用户''1' order by GroupOrderBy");
  EXPECT_EQ(current, ShareData().LocalTable("bUserCommon"));
  EXPECT_EQ(current->RecordCount(), 2);
  EXPECT_EQ(current->FieldText("GroupType"), "甲");

  Answer("SynchReadData", ExceptionReply("EDatabaseError", "连接中断"));
  std::shared_ptr<TBasaltDataSet> untouched;
  EXPECT_FALSE(OpenXMLDataSet(nullptr, untouched, "bUserCommon"));
  EXPECT_EQ(untouched, nullptr);
  EXPECT_EQ(LastRemoteError(), "An exception was raised on the server: 连接中断");
  EXPECT_EQ(boxes.Shown.size(), 1u);

  // A user without rows whose reply carries no data still gets the table's columns.
  const std::string empty;
  Answer("SynchReadData", Reply().Int(0).Binary(&empty).Bytes());
  ASSERT_TRUE(OpenXMLDataSet(nullptr, current, "bUserCommon"));
  EXPECT_TRUE(current->Active());
  EXPECT_EQ(current->RecordCount(), 0);
  EXPECT_GE(current->FindField("MenuIdList"), 0);
}

TEST(ClientBindingLoad, AMissingLibraryOrAnUnknownLetterFailsWithTheReason) {
  std::string error;
  TRemoteSqlConfig config{"127.0.0.1", 1, 'H', "/nonexistent/libQorvinClient.so", "u"};
  EXPECT_EQ(CreateClientRemoteSql(config, error), nullptr);
  EXPECT_EQ(error.rfind("no connection to 127.0.0.1:1: cannot load the client library "
                        "/nonexistent/libQorvinClient.so: ",
                        0),
            0u)
      << error;

  // A library without the export.
  config.ClientLibrary = "libz.so.1";
  EXPECT_EQ(CreateClientRemoteSql(config, error), nullptr);
  EXPECT_EQ(error,
            "no connection to 127.0.0.1:1: the client library libz.so.1 does not export "
            "CreateRemoteDataModule");

  config.ClientLibrary = QORVIN_CLIENT_LIBRARY;
  config.ConnectType = 'h';
  EXPECT_EQ(CreateClientRemoteSql(config, error), nullptr);
  EXPECT_EQ(error, "no connection to 127.0.0.1:1: the client library " +
                       std::string(QORVIN_CLIENT_LIBRARY) + " refused: Unknow Connect Type!");
}

TEST(ClientBindingLoad, AServerThatNeverAnswersFailsTheCallWithTheTransportsReason) {
  ScriptedServer server([](const std::string&) { return testing::kNoAnswer; });
  std::string error;
  auto remote = CreateClientRemoteSql(
      {"127.0.0.1", server.Port('B'), 'B', QORVIN_CLIENT_LIBRARY, "u"}, error);
  ASSERT_NE(remote, nullptr) << error;
  TBasaltDataSet ds;
  EXPECT_FALSE(remote->ReadData("select 1", ds, error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(ds.Active());
}

// A server that stalls: a call with a bound is cancelled at the bound and fails with a text that
// names it, while the calling thread keeps handling events (a timer fires during the call); the
// module then serves the next call normally.
TEST(ClientBindingLoad, ACallPastItsBoundIsCancelledWhileEventsGoOn) {
  for (char letter : {'H', 'B'}) {
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    int requests = 0;
    ScriptedServer server([&](const std::string&) {
      std::unique_lock<std::mutex> lock(mutex);
      if (requests++ == 0)
        released.wait_for(lock, std::chrono::seconds(60), [&] { return release; });
      return Reply().Int(5).Bytes();
    });
    std::string error;
    auto remote = CreateClientRemoteSql(
        {"127.0.0.1", server.Port(letter), letter, QORVIN_CLIENT_LIBRARY, "u"}, error);
    ASSERT_NE(remote, nullptr) << error;
    remote->SetCallBound(std::chrono::milliseconds(300));
    bool ticked = false;
    QTimer::singleShot(0, [&] { ticked = true; });
    EXPECT_FALSE(remote->ExecSql("update t set x = 1", error));
    EXPECT_EQ(error, "the server did not answer within 300 ms (the call was cancelled)") << letter;
    EXPECT_TRUE(ticked) << "no event was handled while the call waited";
    {
      std::lock_guard<std::mutex> lock(mutex);
      release = true;
    }
    released.notify_all();
    remote->SetCallBound(std::chrono::seconds(30));
    EXPECT_TRUE(remote->ExecSql("update t set x = 2", error)) << letter << ": " << error;
    EXPECT_EQ(static_cast<TClientRemoteSql*>(remote.get())->LastResult(), 5);
  }
}

// basalt-host's run with the real plug-in and the real client library: the dialog loads the
// user's groups from the server, a function is checked and saved, and the save batch reaches the
// server with its Chinese texts intact; the host logs the notification with the saved groups.
class ClientBindingHost : public ClientBinding {};
INSTANTIATE_TEST_SUITE_P(Http, ClientBindingHost, ::testing::Values('H'));

TEST_P(ClientBindingHost, TheDialogLoadsAndSavesThroughTheLibrary) {
  const std::string menuFile = ::testing::TempDir() + "client-menu-" + std::to_string(getpid());
  FILE* f = fopen(menuFile.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs(test::TestMenuText(), f);
  fclose(f);
  std::string blob = GroupBlob({{u"常用=组", u"101", 1}});
  Answer("SynchReadData", Reply().Int(0).Binary(&blob).Bytes());
  Answer("SynchExecSQL", Reply().Int(-1).Bytes());

  THostOptions options;
  options.PluginPath = PERSONAL_PLUGIN_PATH;
  options.MenuFile = menuFile;
  options.UserId = "u1";
  options.Server = "127.0.0.1:" + std::to_string(server_->Port('H'));
  options.ServerHost = "127.0.0.1";
  options.ServerPort = server_->Port('H');
  options.ClientLibrary = QORVIN_CLIENT_LIBRARY;
  test::MessageScript boxes;
  QTimer safety;
  safety.setSingleShot(true);
  QObject::connect(&safety, &QTimer::timeout, [] { QApplication::closeAllWindows(); });
  safety.start(10000);
  test::WhenModalShown([](QWidget* dialog) {
    auto* menu = dialog->findChild<QTreeWidget*>("RzCheckTreeMenu");
    auto* groups = dialog->findChild<QTreeWidget*>("RzTreeViewCommonFunctions");
    ASSERT_NE(menu, nullptr);
    ASSERT_NE(groups, nullptr);
    ASSERT_EQ(groups->topLevelItemCount(), 1);
    EXPECT_EQ(groups->topLevelItem(0)->text(0), QString::fromUtf8("常用=组"));
    groups->setCurrentItem(groups->topLevelItem(0));
    menu->setCurrentItem(
        menu->findItems(QString::fromUtf8("销售订单"), Qt::MatchExactly | Qt::MatchRecursive)
            .value(0));
    QTest::keyClick(menu, Qt::Key_Space);
    QTest::mouseClick(dialog->findChild<QPushButton*>("RzBitBtnSave"), Qt::LeftButton);
    QTest::mouseClick(dialog->findChild<QPushButton*>("RzBitBtnCancel"), Qt::LeftButton);
  });
  std::ostringstream log;
  ASSERT_EQ(RunHost(options, log), 0) << log.str();
  std::remove(menuFile.c_str());

  const std::vector<SeenRequest> seen = Seen();
  ASSERT_EQ(seen.size(), 2u) << log.str();
  EXPECT_EQ(seen[0].Operation, "SynchReadData");
  EXPECT_EQ(seen[0].User, "u1");
  EXPECT_EQ(seen[1].Operation, "SynchExecSQL");
  EXPECT_EQ(seen[1].Sql.rfind("BEGIN TRAN\r", 0), 0u) << seen[1].Sql;
  EXPECT_NE(seen[1].Sql.find("values('u1','常用=组','101,201',1, getdate(),'u1')\r"),
            std::string::npos)
      << seen[1].Sql;
  EXPECT_NE(log.str().find("basalt-host: message 0x80CC wParam=1 lParam=0\n"
                           "basalt-host:   group 1 常用=组: 101,201\n"),
            std::string::npos)
      << log.str();
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"常用功能保存成功"});
}

TEST(ClientBindingHostLoad, AMissingLibraryIsLoggedAndEveryServerCallFailsWithIt) {
  THostOptions options;
  options.PluginPath = PERSONAL_PLUGIN_PATH;
  options.UserId = "u1";
  options.Server = "127.0.0.1:9";
  options.ServerHost = "127.0.0.1";
  options.ServerPort = 9;
  options.ClientLibrary = "/nonexistent/libQorvinClient.so";
  options.Screenshot = ::testing::TempDir() + "client-missing-" + std::to_string(getpid()) + ".png";
  std::ostringstream log;
  EXPECT_EQ(RunHost(options, log), 0) << log.str();
  std::remove(options.Screenshot.c_str());
  const std::string reason =
      "no connection to 127.0.0.1:9: cannot load the client library "
      "/nonexistent/libQorvinClient.so";
  EXPECT_NE(log.str().find("basalt-host: " + reason), std::string::npos) << log.str();
  EXPECT_NE(log.str().find("basalt-host: last server call failed: " + reason), std::string::npos)
      << log.str();
  EXPECT_NE(log.str().find("message box: 数据加载失败！！！"), std::string::npos) << log.str();
  ShareData().Reset();
}

}  // namespace
}  // namespace qorvin
