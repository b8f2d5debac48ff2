// End-to-end support: basalt-host's logic with the real libPersonal.so and libQorvinClient.so
// against a qorvin-server child process, on a SQLite file or, when QORVIN_PG_URL names a
// database, on PostgreSQL (each test in a schema of its own, dropped afterwards).
#pragma once

#include <gtest/gtest.h>

#include <QTreeWidget>
#include <functional>
#include <memory>
#include <string>

#include "PersonalTestSupport.h"
#include "basalt/host/HostOptions.h"

namespace qorvin::test {

// One qorvin-server child process, every transport on a port of its choosing. Stopped with
// SIGTERM (SIGKILL after 15 s) on every path.
class ServerProcess {
 public:
  // Starts the server on `database` (a file or a PostgreSQL URL) with `schema`; waits at most
  // 20 s for its listening line. On failure `error` says why.
  ServerProcess(const std::string& database, const std::string& schema, std::string& error);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  int HttpPort = 0;
  int TcpPort = 0;

 private:
  pid_t pid_ = -1;
};

// The dialog of a running modal form, driven through its widgets.
struct Dialog {
  QWidget* form;
  QTreeWidget* Menu() const;
  QTreeWidget* Groups() const;
  void Click(const char* button) const;
  // Adds a group and names it in the in-place editor.
  void AddGroup(const char* name) const;
  void SelectGroup(const char* name) const;
  // Toggles the check of the `index`-th menu node captioned `caption` with the space key.
  void Check(const char* caption, int index = 0) const;
  // "group[function,function] group[]" as the common-functions tree shows it.
  std::string Shown() const;
};

enum class Database { SQLite, PostgreSQL };
std::string DatabaseName(const ::testing::TestParamInfo<Database>& info);

class ServerDialogTest : public ::testing::TestWithParam<Database> {
 protected:
  void SetUp() override;
  void TearDown() override;

  bool Postgres() const { return GetParam() == Database::PostgreSQL; }
  // Stops the server and starts it again on the same database with `schema`.
  void Restart(const std::string& schema);

  // Runs basalt-host's logic with the dialog open modally; `actions` drive it and close it.
  // `options` start as the host's for user u1 over transport `letter`; `adjust` may change them.
  std::string RunDialog(char letter, const std::function<void(const Dialog&)>& actions,
                        const std::function<void(THostOptions&)>& adjust = nullptr);

  // The stored rows of a user (bUserCommon) or a user group (bUserGroupCommon) in their order:
  // "name|ids|order;...". Rows written by the dialog are checked for their time and operator.
  std::string Stored(const std::string& user = "u1");
  std::string StoredForGroup(const std::string& group);
  void Exec(const std::string& sql);

  std::string savedLocale_, database_, menuFile_, pgSchema_, schemaFile_;
  std::unique_ptr<ServerProcess> server_;
  MessageScript boxes;

 private:
  std::string Read(const std::string& sql, const std::string& owner);
};

}  // namespace qorvin::test
