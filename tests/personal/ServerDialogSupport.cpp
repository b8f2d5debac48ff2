#include "ServerDialogSupport.h"

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
#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

#include "basalt/ClientRemoteSql.h"
#include "basalt/DataSet.h"
#include "basalt/RemoteCalls.h"
#include "basalt/ShareData.h"
#include "basalt/host/HostRun.h"

extern char** environ;

namespace qorvin::test {

namespace {

QString Q(const char* text) {
  return QString::fromUtf8(text);
}

// The first line written to `fd`, waiting at most `timeoutMs` in all.
std::string ReadLine(int fd, int timeoutMs) {
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

}  // namespace

ServerProcess::ServerProcess(const std::string& database, const std::string& schema,
                             std::string& error) {
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
  const std::string line = ReadLine(out[0], 20000);
  close(out[0]);
  std::smatch m;
  if (!std::regex_search(line, m, std::regex("http=(\\d+) tcp=(\\d+) udp=(\\d+)"))) {
    error = "qorvin-server did not report its ports: '" + line + "'";
    return;
  }
  HttpPort = std::stoi(m[1]);
  TcpPort = std::stoi(m[2]);
}

ServerProcess::~ServerProcess() {
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

QTreeWidget* Dialog::Menu() const {
  return form->findChild<QTreeWidget*>("RzCheckTreeMenu");
}

QTreeWidget* Dialog::Groups() const {
  return form->findChild<QTreeWidget*>("RzTreeViewCommonFunctions");
}

void Dialog::Click(const char* button) const {
  QTest::mouseClick(form->findChild<QPushButton*>(button), Qt::LeftButton);
}

void Dialog::AddGroup(const char* name) const {
  Click("RzBitBtnAddGroup");
  for (QLineEdit* edit : Groups()->viewport()->findChildren<QLineEdit*>()) {
    if (!edit->isVisible()) continue;
    edit->setText(Q(name));
    QTest::keyClick(edit, Qt::Key_Return);
  }
  QCoreApplication::processEvents();
}

void Dialog::SelectGroup(const char* name) const {
  Groups()->setCurrentItem(Groups()->findItems(Q(name), Qt::MatchExactly).value(0));
}

void Dialog::Check(const char* caption, int index) const {
  Menu()->setCurrentItem(
      Menu()->findItems(Q(caption), Qt::MatchExactly | Qt::MatchRecursive).value(index));
  QTest::keyClick(Menu(), Qt::Key_Space);
}

std::string Dialog::Shown() const {
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

std::string DatabaseName(const ::testing::TestParamInfo<Database>& info) {
  return info.param == Database::PostgreSQL ? "PostgreSQL" : "SQLite";
}

void ServerDialogTest::SetUp() {
  const char* url = std::getenv("QORVIN_PG_URL");
  if (Postgres() && (url == nullptr || *url == '\0'))
    GTEST_SKIP() << "no PostgreSQL database (set QORVIN_PG_URL)";
  savedLocale_ = std::setlocale(LC_ALL, nullptr);
  ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
  std::setlocale(LC_NUMERIC, "C");
  static std::atomic<int> counter = 0;
  const std::string id = std::to_string(getpid()) + "_" + std::to_string(++counter);
  const std::string base = ::testing::TempDir() + "basalt-e2e-" + id;
  menuFile_ = base + "-menu.txt";
  std::ofstream(menuFile_, std::ios::binary) << TestMenuText();
  if (Postgres()) {
    // A schema of this test's own, made by the schema script and found first on every session.
    pgSchema_ = "personal_" + id;
    schemaFile_ = base + "-schema.sql";
    std::ifstream sample(QORVIN_SERVER_SCHEMA, std::ios::binary);
    std::ofstream(schemaFile_, std::ios::binary)
        << "create schema if not exists " << pgSchema_ << ";\n"
        << sample.rdbuf();
    const std::string pg = url;
    database_ = pg + (pg.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" +
                pgSchema_;
  } else {
    database_ = base + ".db";
    schemaFile_ = QORVIN_SERVER_SCHEMA;
    std::remove(database_.c_str());
  }
  std::string error;
  server_ = std::make_unique<ServerProcess>(database_, schemaFile_, error);
  ASSERT_EQ(error, "");
}

void ServerDialogTest::TearDown() {
  if (!pgSchema_.empty() && server_) Exec("drop schema " + pgSchema_ + " cascade");
  server_.reset();
  ShareData().Reset();
  if (Postgres()) {
    std::remove(schemaFile_.c_str());
  } else if (!database_.empty()) {
    std::remove(database_.c_str());
  }
  if (!menuFile_.empty()) std::remove(menuFile_.c_str());
  if (!savedLocale_.empty()) std::setlocale(LC_ALL, savedLocale_.c_str());
}

void ServerDialogTest::Restart(const std::string& schema) {
  server_.reset();
  std::string error;
  server_ = std::make_unique<ServerProcess>(database_, schema, error);
  ASSERT_EQ(error, "");
}

std::string ServerDialogTest::RunDialog(char letter,
                                        const std::function<void(const Dialog&)>& actions,
                                        const std::function<void(THostOptions&)>& adjust) {
  THostOptions options;
  options.PluginPath = PERSONAL_PLUGIN_PATH;
  options.MenuFile = menuFile_;
  options.UserId = "u1";
  options.ServerHost = "127.0.0.1";
  options.ServerPort = letter == 'H' ? server_->HttpPort : server_->TcpPort;
  options.Server = "127.0.0.1:" + std::to_string(options.ServerPort);
  options.ConnectType = letter;
  options.ClientLibrary = QORVIN_CLIENT_LIBRARY;
  if (adjust) adjust(options);
  QTimer safety;  // whatever happens, the modal loop ends
  safety.setSingleShot(true);
  QObject::connect(&safety, &QTimer::timeout, [] { QApplication::closeAllWindows(); });
  safety.start(60000);
  test::WhenModalShown([&actions](QWidget* form) { actions(Dialog{form}); });
  std::ostringstream log;
  EXPECT_EQ(RunHost(options, log), 0) << log.str();
  EXPECT_TRUE(safety.isActive()) << "the dialog was left open";
  return log.str();
}

std::string ServerDialogTest::Read(const std::string& sql, const std::string& owner) {
  std::string error;
  std::unique_ptr<IRemoteSql> remote = CreateClientRemoteSql(
      {"127.0.0.1", server_->TcpPort, 'T', QORVIN_CLIENT_LIBRARY, "u1"}, error);
  EXPECT_NE(remote, nullptr) << error;
  if (!remote) return error;
  TBasaltDataSet ds;
  if (!remote->ReadData(sql, ds, error)) return error;
  std::string rows;
  for (ds.First(); !ds.Eof(); ds.Next()) {
    rows += (rows.empty() ? "" : ";") + ds.FieldText("GroupType") + "|" +
            ds.FieldText("MenuIdList") + "|" + ds.FieldText("GroupOrderBy");
    if (ds.FieldValue("CreateOperator").IsNull()) continue;  // not written by the dialog
    EXPECT_EQ(ds.FieldValue("CreateDatetime").Kind(), varDate);
    EXPECT_EQ(ds.FieldText("CreateOperator"), owner);
  }
  return rows;
}

std::string ServerDialogTest::Stored(const std::string& user) {
  return Read(
      "select * from bUserCommon where [UserID]=" + SqlQuoted(user) + " order by GroupOrderBy",
      user);
}

std::string ServerDialogTest::StoredForGroup(const std::string& group) {
  return Read("select * from bUserGroupCommon where UserGroup = " + SqlQuoted(group) +
                  " order by GroupOrderBy",
              "u1");
}

void ServerDialogTest::Exec(const std::string& sql) {
  std::string error;
  std::unique_ptr<IRemoteSql> remote = CreateClientRemoteSql(
      {"127.0.0.1", server_->HttpPort, 'H', QORVIN_CLIENT_LIBRARY, "u1"}, error);
  ASSERT_NE(remote, nullptr) << error;
  ASSERT_TRUE(remote->ExecSql(sql, error)) << error;
}

}  // namespace qorvin::test
