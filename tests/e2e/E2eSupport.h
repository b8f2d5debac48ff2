// What the end-to-end tests share: a throw-away folder per test, a qorvin-server on the sample
// schema in it, a remote data module of the built libQorvinClient.so (reached through the public
// header only) and helpers that read data packets and record sets as text.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "include/qorvin/QorvinClient.h"
#include "tests/client/HostLibrary.h"
#include "tests/e2e/ServerProcess.h"

namespace qorvin::e2e {

using qorvin::testing::CallbackLog;
using qorvin::testing::HostLibrary;
using qorvin::testing::Text;

// A fresh folder under the test temp folder, removed with everything in it on destruction.
class Workspace {
 public:
  Workspace();
  ~Workspace();
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  const std::string& Dir() const { return dir_; }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // Writes `text` to the file `name` in the folder (made when needed) and returns its path.
  std::string WriteFile(const std::string& name, const std::string& text) const;
  // A procedures folder: the sample procedures plus the tests' own (BigText), made once.
  std::string Procedures();
  // Options for a server on `database` with the sample schema and Procedures(), logging to
  // `logName` in the folder.
  ServerOptions SampleServer(const std::string& logName = "server.log",
                             const std::string& database = ":memory:");

 private:
  std::string dir_;
  std::string procedures_;
};

// The sample schema file of the source tree.
std::string SampleSchema();
// The PostgreSQL database named by QORVIN_PG_URL, or "" when none is named.
std::string PostgresUrl();
// The local wall clock as the library writes date-times: days since 1899-12-30.
double LocalNowDays();
// A date-time shown as "YYYY-MM-DD HH:MM:SS[.fff]" in the same days; NaN when it is not one.
double DaysOf(const std::string& text);

// Rows of a data packet or record set as text, read through the host's record-set interface:
// cells joined by "|", rows by ";", NULL shown as "<null>".
std::string Rows(QorvinAdoDataSet* ds);
std::string Rows(IQorvinDataSetFactory* factory, const QorvinDataPacket& packet);
// "Name:type,..." with the field-type codes of the data-packet format.
std::string Fields(QorvinAdoDataSet* ds);

// A record set for uploads: fields "Name:type:size" and rows of cells ("<null>" = NULL).
// Owned by the caller (Release()).
QorvinAdoDataSet* MakeRecordSet(IQorvinDataSetFactory* factory,
                                const std::vector<std::string>& fields,
                                const std::vector<std::vector<std::string>>& rows);
// The same rows as a data packet (freed by the caller with qorvin_packet_free).
QorvinDataPacket MakePacket(IQorvinDataSetFactory* factory, const std::vector<std::string>& fields,
                            const std::vector<std::vector<std::string>>& rows);

// The record-set factory of a module.
IQorvinDataSetFactory* FactoryOf(IRemoteDataModule* module);

// What a parameterised test runs against: a connection letter and the server's database.
enum class Backend { Sqlite, Postgres };
struct Target {
  char letter;
  Backend backend;
};
void PrintTo(const Target& target, std::ostream* out);
// The four letters on SQLite in memory, and the same on PostgreSQL as well.
std::vector<Target> OnSqlite();
std::vector<Target> OnSqliteAndPostgres();
// "H", "T", ... and "H_Postgres", ... as test name suffixes.
std::string TargetName(const ::testing::TestParamInfo<Target>& info);

// A test with one sample server and one module of the letter under test.
//
// On PostgreSQL (skipped when QORVIN_PG_URL names no database) every test works in a schema of
// its own, made by the server's schema batch and found through the connection's search_path,
// and dropped at the end: tests running at the same time on one database never meet.
// TearDown checks that the server still stops cleanly (exit status 0): a crash or a sanitizer
// report in the server fails the test that caused it.
class ServerTest : public ::testing::TestWithParam<Target> {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The server's options: the sample schema and procedures on the target's database.
  virtual ServerOptions Options();
  // A new module for the letter under test, its callbacks recorded in `log_` when asked.
  IRemoteDataModule* NewModule(CallbackLog* log = nullptr);

  char Letter() const { return GetParam().letter; }
  bool Postgres() const { return GetParam().backend == Backend::Postgres; }
  // Runs a command through SynchExecSQL and expects success.
  void Exec(const std::string& sql);
  // The rows of a read (see Rows), or "error: <text>" when it failed.
  std::string Read(const std::string& sql);

  Workspace work_;
  std::unique_ptr<ServerProcess> server_;
  IRemoteDataModule* module_ = nullptr;
  IQorvinDataSetFactory* factory_ = nullptr;
  CallbackLog log_;

 private:
  std::string pgSchema_;  // the test's own PostgreSQL schema
};

// "H", "T", "B", "U" as test name suffixes.
std::string LetterName(const ::testing::TestParamInfo<char>& info);

}  // namespace qorvin::e2e
