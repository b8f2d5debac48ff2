// basalt-host: its options and its run with the real libPersonal.so over a scripted connection.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QImage>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <sstream>

#include "PersonalTestSupport.h"
#include "basalt/BasaltError.h"
#include "basalt/ShareData.h"
#include "basalt/host/HostOptions.h"
#include "basalt/host/HostRun.h"

namespace qorvin {
namespace {

using Args = std::vector<std::string>;

TEST(HostOptions, ParsesEveryOptionAndRejectsBadInput) {
  const THostOptions o = ParseHostOptions(
      {"--server", "127.0.0.1:8099", "--transport", "T", "--user", "u1", "--action-type", "2",
       "--group", "财务组", "--menu-file", "m.txt", "--screenshot", "s.png"});
  EXPECT_EQ(o.ServerHost, "127.0.0.1");
  EXPECT_EQ(o.ServerPort, 8099);
  EXPECT_EQ(o.ConnectType, 'T');
  EXPECT_EQ(o.UserId, "u1");
  EXPECT_EQ(o.ActionType, 2);
  EXPECT_TRUE(o.HasGroup);
  EXPECT_EQ(o.Group, "财务组");
  EXPECT_EQ(o.MenuFile, "m.txt");
  EXPECT_EQ(o.Screenshot, "s.png");
  EXPECT_FALSE(ParseHostOptions({}).HasGroup);
  for (const Args& bad : {Args{"--user"}, Args{"--server", "host"}, Args{"--server", "h:70000"},
                          Args{"--transport", "X"}, Args{"--action-type", "2x"},
                          Args{"--colour", "red"}, Args{"stray"}})
    EXPECT_THROW(ParseHostOptions(bad), EBasaltError) << bad[0];
}

class HostRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options.PluginPath = PERSONAL_PLUGIN_PATH;
    options.UserId = "u1";
    menuFile = testing::TempDir() + "host-menu-" + std::to_string(getpid()) + ".txt";
    FILE* f = fopen(menuFile.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs(test::TestMenuText(), f);
    fclose(f);
    options.MenuFile = menuFile;
    auto fake = std::make_unique<test::FakeRemoteSql>();
    fake->Reads.push_back(test::GroupRows({{"常用", "101"}}));
    remote = fake.get();
    pending = std::move(fake);
  }
  void TearDown() override {
    std::remove(menuFile.c_str());
    ShareData().Reset();
  }
  int Run() { return RunHost(options, log, std::move(pending)); }

  THostOptions options;
  std::string menuFile;
  std::ostringstream log;
  test::FakeRemoteSql* remote = nullptr;
  std::unique_ptr<IRemoteSql> pending;
  test::MessageScript boxes;
};

TEST_F(HostRunTest, ScreenshotRendersTheLoadedDialog) {
  options.Screenshot = testing::TempDir() + "shot-" + std::to_string(getpid()) + ".png";
  ASSERT_EQ(Run(), 0) << log.str();
  const QImage image(QString::fromStdString(options.Screenshot));
  EXPECT_EQ(image.size(), QSize(554, 431));
  EXPECT_NE(log.str().find("wrote"), std::string::npos);
  EXPECT_EQ(remote->ReadSql.size(), 1u);
  std::remove(options.Screenshot.c_str());
}

TEST_F(HostRunTest, AModalRunLogsTheNotificationAndTheSavedGroups) {
  // Safety net: whatever happens, the modal loop ends within a bounded time.
  QTimer safety;
  safety.setSingleShot(true);
  QObject::connect(&safety, &QTimer::timeout, [] { QApplication::closeAllWindows(); });
  safety.start(10000);
  QTimer::singleShot(0, [] {
    QWidget* dialog = QApplication::activeModalWidget();
    ASSERT_NE(dialog, nullptr);
    auto* menu = dialog->findChild<QTreeWidget*>("RzCheckTreeMenu");
    ASSERT_NE(menu, nullptr);
    menu->setCurrentItem(
        menu->findItems(QString::fromUtf8("销售订单"), Qt::MatchExactly | Qt::MatchRecursive)
            .value(0));
    QTest::keyClick(menu, Qt::Key_Space);
    QTest::mouseClick(dialog->findChild<QPushButton*>("RzBitBtnSave"), Qt::LeftButton);
    QTest::mouseClick(dialog->findChild<QPushButton*>("RzBitBtnCancel"), Qt::LeftButton);
  });
  ASSERT_EQ(Run(), 0) << log.str();
  EXPECT_EQ(remote->ExecSqlText.size(), 1u);
  EXPECT_NE(log.str().find("basalt-host: message 0x80CC wParam=1 lParam=0\n"
                           "basalt-host:   group 1 常用: 101,201\n"),
            std::string::npos)
      << log.str();
}

TEST_F(HostRunTest, FailuresAreLoggedWithExitCodeOne) {
  options.ClassName = "TPersonalConfigurationForm";
  EXPECT_EQ(Run(), 1);
  EXPECT_NE(log.str().find("No plug class named TPersonalConfigurationForm"), std::string::npos);
  options.PluginPath = "/nonexistent/libPersonal.so";
  EXPECT_EQ(Run(), 1);
  EXPECT_NE(log.str().find("cannot load /nonexistent/libPersonal.so"), std::string::npos);
  options.MenuFile = "/nonexistent/menu.txt";
  EXPECT_EQ(Run(), 1);
  EXPECT_NE(log.str().find("Cannot open menu file /nonexistent/menu.txt"), std::string::npos);
}

}  // namespace
}  // namespace qorvin
