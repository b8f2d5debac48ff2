// Each HTTP user's own database rights, end to end: a users file whose entries name a role or
// read-only, a qorvin-server on it, and modules of the client library logged in as those users.
// On PostgreSQL a user whose role has no GRANT on a table gets the database's "permission
// denied" while another user reads it; on SQLite a read-only user cannot insert.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "include/qorvin/QorvinCredentials.h"
#include "tests/e2e/E2eSupport.h"

namespace qorvin::e2e {
namespace {

// Sets each user's password ("pw-" + name) with the server's own command, then gives the
// entries their rights ("" for none).
std::string UsersFile(Workspace& work,
                      const std::vector<std::pair<std::string, std::string>>& users) {
  const std::string path = work.Path("users");
  for (const auto& [name, rights] : users) {
    const std::string command = "printf 'pw-" + name + "\\n' | '" +
                                std::string(QORVIN_SERVER_PROGRAM) + "' passwd '" + path + "' " +
                                name + " 2>/dev/null";
    if (std::system(command.c_str()) != 0) return "";
  }
  std::ifstream in(path);
  std::ostringstream out;
  for (std::string line; std::getline(in, line);) {
    out << line;
    for (const auto& [name, rights] : users)
      if (!rights.empty() && line.rfind(name + ":", 0) == 0) out << ":" << rights;
    out << "\n";
  }
  in.close();
  work.WriteFile("users", out.str());
  return path;
}

IRemoteDataModule* LoggedIn(int port, const std::string& user) {
  IRemoteDataModule* m = HostLibrary::Instance().Create('H', port);
  void* p = nullptr;
  if (m == nullptr || m->QueryInterface(&kQorvinIID_IQorvinCredentials, &p) != 0) return nullptr;
  Text why;
  const std::string password = "pw-" + user;
  if (!static_cast<IQorvinCredentials*>(p)->SetHttpLogin(user.c_str(), password.c_str(), &why))
    return nullptr;
  return m;
}

std::string Exec(IRemoteDataModule* m, const std::string& sql) {
  int32_t result = 0;
  Text error;
  m->SynchExecSQL("e2e", "", sql.c_str(), &result, &error);
  return error.str();
}

std::string Read(IRemoteDataModule* m, const std::string& sql) {
  QorvinAdoDataSet* ds = nullptr;
  int32_t result = 0;
  Text error;
  m->SynchReadDataSet("e2e", "", sql.c_str(), &ds, &result, &error);
  if (!error.str().empty() || ds == nullptr) return "error: " + error.str();
  const std::string rows = Rows(ds);
  ds->Release();
  return rows;
}

TEST(UserRights, AReadOnlyUserOfSqliteCannotInsert) {
  Workspace work;
  const std::string users = UsersFile(work, {{"rita", "read-only"}, {"walt", ""}});
  ASSERT_FALSE(users.empty());
  ServerOptions o = work.SampleServer();
  o.extra = {"--users", users};
  std::string error;
  auto server = ServerProcess::Start(o, error);
  ASSERT_NE(server, nullptr) << error;
  IRemoteDataModule* rita = LoggedIn(server->HttpPort(), "rita");
  IRemoteDataModule* walt = LoggedIn(server->HttpPort(), "walt");
  ASSERT_NE(rita, nullptr);
  ASSERT_NE(walt, nullptr);
  const std::string insert =
      "insert into Customers (Id, Name, City, Credit) values (77, 'n', 'c', 1)";
  const std::string refused = Exec(rita, insert);
  EXPECT_NE(refused.find("attempt to write a readonly database: the user rita may only read"),
            std::string::npos)
      << refused;
  EXPECT_EQ(Exec(walt, insert), "");
  EXPECT_EQ(Read(rita, "select Name from Customers where Id = 77"), "n");
  EXPECT_EQ(server->Stop(), 0) << server->LogText();
  EXPECT_EQ(server->LogText().find("pw-"), std::string::npos) << "no password in the log";
}

TEST(UserRights, APostgresUserReadsWhatItsRoleIsGranted) {
  if (PostgresUrl().empty()) GTEST_SKIP() << "no PostgreSQL cluster (set QORVIN_PG_URL)";
  Workspace work;
  const std::string id = std::to_string(::getpid());
  const std::string table = "e2e_rights_" + id, reader = "e2e_reader_" + id,
                    outsider = "e2e_outsider_" + id;
  const std::string users = UsersFile(
      work,
      {{"owner", ""}, {"rita", "role=" + reader}, {"otto", "role=" + outsider + ",read-only"}});
  ASSERT_FALSE(users.empty());
  ServerOptions o;
  o.database = PostgresUrl();
  o.logFile = work.Path("server.log");
  o.extra = {"--users", users};
  std::string error;
  auto server = ServerProcess::Start(o, error);
  ASSERT_NE(server, nullptr) << error;
  // "owner" has no role: the server's own account, which makes the table and the roles.
  IRemoteDataModule* owner = LoggedIn(server->HttpPort(), "owner");
  ASSERT_NE(owner, nullptr);
  for (const std::string& sql :
       {"create table " + table + " (n int)", "insert into " + table + " values (5)",
        "create role " + reader, "create role " + outsider,
        "grant select on " + table + " to " + reader})
    ASSERT_EQ(Exec(owner, sql), "") << sql;
  IRemoteDataModule* rita = LoggedIn(server->HttpPort(), "rita");
  IRemoteDataModule* otto = LoggedIn(server->HttpPort(), "otto");
  ASSERT_NE(rita, nullptr);
  ASSERT_NE(otto, nullptr);
  EXPECT_EQ(Read(rita, "select n from " + table), "5");
  const std::string denied = Read(otto, "select n from " + table);
  EXPECT_NE(denied.find("permission denied for table " + table), std::string::npos) << denied;
  EXPECT_NE(Exec(rita, "insert into " + table + " values (6)").find("permission denied"),
            std::string::npos)
      << "select only";
  EXPECT_NE(Exec(otto, "insert into " + table + " values (7)").find("read-only transaction"),
            std::string::npos)
      << "read-only before the GRANTs are even looked at";
  EXPECT_EQ(Read(rita, "select count(*) from " + table), "1");
  // Whoever leased the sessions before, the owner is itself again.
  EXPECT_EQ(Read(owner, "select current_user = session_user"), "True");
  EXPECT_EQ(
      Exec(owner, "drop table " + table + "; drop role " + reader + "; drop role " + outsider), "");
  EXPECT_EQ(server->Stop(), 0) << server->LogText();
}

}  // namespace
}  // namespace qorvin::e2e
