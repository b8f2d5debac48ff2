// End to end: basalt-host's logic with the real libPersonal.so and libQorvinClient.so against a
// running qorvin-server on SQLite. Groups saved through the dialog come back in the same order
// when it is opened again, and a save whose insert fails leaves the stored groups as they were.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <chrono>
#include <clocale>
#include <functional>
#include <regex>
#include <sstream>

#include "PersonalTestSupport.h"
#include "basalt/ClientRemoteSql.h"
#include "basalt/DataSet.h"
#include "basalt/ShareData.h"
#include "basalt/host/HostRun.h"

extern char** environ;

namespace qorvin {
namespace {

QString Q(const char* text) {
  return QString::fromUtf8(text);
}

// One qorvin-server child process on a SQLite file, every transport on a port of its choosing.
// Stopped with SIGTERM (SIGKILL after 15 s) on every path.
class ServerProcess {
 public:
  ServerProcess(const std::string& database, const std::string& schema, std::string& error) {
    int out[2];
    if (pipe(out) != 0) {
      error = "pipe failed";
      return;
    }
    std::vector<std::string> args = {
        QORVIN_SERVER_PROGRAM, "--db", database,     "--schema", schema,   "--http-port", "0",
        "--tcp-port",          "0",    "--udp-port", "0",        "--quiet"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
      pid_ = -1;
      close(out[0]);
      error = std::string("cannot start ") + QORVIN_SERVER_PROGRAM;
      return;
    }
    const std::string line = ReadLine(out[0], 15000);
    close(out[0]);
    std::smatch m;
    if (!std::regex_search(line, m, std::regex("http=(\\d+) tcp=(\\d+) udp=(\\d+)"))) {
      error = "qorvin-server did not report its ports: '" + line + "'";
      return;
    }
    HttpPort = std::stoi(m[1]);
    TcpPort = std::stoi(m[2]);
  }
  ~ServerProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        break;
      }
      usleep(20000);
    }
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  int HttpPort = 0;
  int TcpPort = 0;

 private:
  // The first line written to `fd`, waiting at most `timeoutMs` in all.
  static std::string ReadLine(int fd, int timeoutMs) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (line.find('\n') == std::string::npos && line.size() < 4096) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{fd, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) break;
      char buffer[256];
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      line.append(buffer, size_t(n));
    }
    return line;
  }

  pid_t pid_ = -1;
};

// The dialog of a running modal form, driven through its widgets.
struct Dialog {
  QWidget* form;
  QTreeWidget* Menu() const { return form->findChild<QTreeWidget*>("RzCheckTreeMenu"); }
  QTreeWidget* Groups() const { return form->findChild<QTreeWidget*>("RzTreeViewCommonFunctions"); }
  void Click(const char* button) const {
    QTest::mouseClick(form->findChild<QPushButton*>(button), Qt::LeftButton);
  }
  // Adds a group and names it in the in-place editor.
  void AddGroup(const char* name) const {
    Click("RzBitBtnAddGroup");
    for (QLineEdit* edit : Groups()->viewport()->findChildren<QLineEdit*>()) {
      if (!edit->isVisible()) continue;
      edit->setText(Q(name));
      QTest::keyClick(edit, Qt::Key_Return);
    }
    QCoreApplication::processEvents();
  }
  void SelectGroup(const char* name) const {
    Groups()->setCurrentItem(Groups()->findItems(Q(name), Qt::MatchExactly).value(0));
  }
  void Check(const char* caption) const {
    Menu()->setCurrentItem(
        Menu()->findItems(Q(caption), Qt::MatchExactly | Qt::MatchRecursive).value(0));
    QTest::keyClick(Menu(), Qt::Key_Space);
  }
  // "group[function,function] group[]" as the common-functions tree shows it.
  std::string Shown() const {
    std::string text;
    for (int g = 0; g < Groups()->topLevelItemCount(); ++g) {
      const QTreeWidgetItem* group = Groups()->topLevelItem(g);
      text += (g ? " " : "") + group->text(0).toStdString() + "[";
      for (int f = 0; f < group->childCount(); ++f)
        text += (f ? "," : "") + group->child(f)->text(0).toStdString();
      text += "]";
    }
    return text;
  }
};

class ClientServerEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLocale_ = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    std::setlocale(LC_NUMERIC, "C");
    const std::string base = ::testing::TempDir() + "basalt-e2e-" + std::to_string(getpid());
    database_ = base + ".db";
    menuFile_ = base + "-menu.txt";
    std::remove(database_.c_str());
    FILE* f = fopen(menuFile_.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs(test::TestMenuText(), f);
    fclose(f);
    std::string error;
    server_ = std::make_unique<ServerProcess>(database_, QORVIN_SERVER_SCHEMA, error);
    ASSERT_EQ(error, "");
  }
  void TearDown() override {
    server_.reset();
    ShareData().Reset();
    std::remove(database_.c_str());
    std::remove(menuFile_.c_str());
    std::setlocale(LC_ALL, savedLocale_.c_str());
  }

  int Port(char letter) const { return letter == 'H' ? server_->HttpPort : server_->TcpPort; }

  // Runs basalt-host's logic with the dialog open modally; `actions` drive it and close it.
  std::string RunDialog(char letter, const std::function<void(const Dialog&)>& actions) {
    THostOptions options;
    options.PluginPath = PERSONAL_PLUGIN_PATH;
    options.MenuFile = menuFile_;
    options.UserId = "u1";
    options.ServerHost = "127.0.0.1";
    options.ServerPort = Port(letter);
    options.Server = "127.0.0.1:" + std::to_string(options.ServerPort);
    options.ConnectType = letter;
    options.ClientLibrary = QORVIN_CLIENT_LIBRARY;
    QTimer safety;  // whatever happens, the modal loop ends
    safety.setSingleShot(true);
    QObject::connect(&safety, &QTimer::timeout, [] { QApplication::closeAllWindows(); });
    safety.start(20000);
    QTimer::singleShot(0, [&actions] {
      QWidget* form = QApplication::activeModalWidget();
      ASSERT_NE(form, nullptr);
      actions(Dialog{form});
    });
    std::ostringstream log;
    EXPECT_EQ(RunHost(options, log), 0) << log.str();
    return log.str();
  }

  // The stored rows of a user in their order: "name|ids|order;...".
  std::string Stored(const std::string& user = "u1") {
    std::string error;
    std::unique_ptr<IRemoteSql> remote = CreateClientRemoteSql(
        {"127.0.0.1", server_->TcpPort, 'T', QORVIN_CLIENT_LIBRARY, user}, error);
    EXPECT_NE(remote, nullptr) << error;
    if (!remote) return error;
    TBasaltDataSet ds;
    if (!remote->ReadData(
            "select * from bUserCommon where [UserID]='" + user + "' order by GroupOrderBy", ds,
            error))
      return error;
    std::string rows;
    for (ds.First(); !ds.Eof(); ds.Next()) {
      rows += (rows.empty() ? "" : ";") + ds.FieldText("GroupType") + "|" +
              ds.FieldText("MenuIdList") + "|" + ds.FieldText("GroupOrderBy");
      EXPECT_EQ(ds.FieldValue("CreateDatetime").Kind(), varDate);
      EXPECT_EQ(ds.FieldText("CreateOperator"), user);
    }
    return rows;
  }

  void Exec(const std::string& sql) {
    std::string error;
    std::unique_ptr<IRemoteSql> remote = CreateClientRemoteSql(
        {"127.0.0.1", server_->HttpPort, 'H', QORVIN_CLIENT_LIBRARY, "u1"}, error);
    ASSERT_NE(remote, nullptr) << error;
    ASSERT_TRUE(remote->ExecSql(sql, error)) << error;
  }

  std::string savedLocale_, database_, menuFile_;
  std::unique_ptr<ServerProcess> server_;
  test::MessageScript boxes;
};

TEST_F(ClientServerEndToEnd, SavedGroupsComeBackInTheSameOrderWhenTheDialogOpensAgain) {
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

TEST_F(ClientServerEndToEnd, ASaveWhoseInsertFailsLeavesTheStoredGroupsAsTheyWere) {
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
  Exec(
      "create trigger RefuseBadGroup before insert on bUserCommon\n"
      "when NEW.GroupType = '坏组'\n"
      "begin\n"
      "  select raise(abort, '分组名称被拒绝');\n"
      "end");

  boxes.Answer(IDNO);  // close without saving
  std::string failedSave;
  RunDialog('H', [&failedSave](const Dialog& d) {
    d.SelectGroup("乙");
    d.Check("销售订单");
    d.AddGroup("坏组");
    d.Click("RzBitBtnSave");
    failedSave = d.Shown();  // the edits stay for another try
    d.Click("RzBitBtnCancel");
  });
  EXPECT_EQ(failedSave, "甲[用户管理] 乙[销售订单] 坏组[]");
  const std::vector<std::string> texts = boxes.Texts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[1].rfind("更新自定义常用功能失败！！！\n", 0), 0u) << texts[1];
  EXPECT_NE(texts[1].find("分组名称被拒绝"), std::string::npos) << texts[1];
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
TEST_F(ClientServerEndToEnd, TheDemoServerScriptGivesTheDemoUserThreeGroups) {
  server_.reset();
  std::string error;
  server_ = std::make_unique<ServerProcess>(
      database_, std::string(QORVIN_SOURCE_ROOT) + "/basalt/demo/demo-server.sql", error);
  ASSERT_EQ(error, "");
  const std::string groups = "常用单据|201,202,301|1;报表|2031,2032,401|2;系统|101,104|3";
  EXPECT_EQ(Stored("demo"), groups);
  // Run again on the same database, it adds nothing.
  server_.reset();
  server_ = std::make_unique<ServerProcess>(
      database_, std::string(QORVIN_SOURCE_ROOT) + "/basalt/demo/demo-server.sql", error);
  ASSERT_EQ(error, "");
  EXPECT_EQ(Stored("demo"), groups);
}

}  // namespace
}  // namespace qorvin
