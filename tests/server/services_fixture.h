// The three services on the sample schema and procedures, called through the dispatcher (no
// network), on SQLite in memory.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "server/services/ServiceHost.h"
#include "tests/server/service_client.h"

namespace qorvin::server::testing {

inline std::string SourceDir() {
  const char* dir = std::getenv("QORVIN_SOURCE_DIR");
  if (dir && *dir) return dir;
  return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().string();
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class ServicesTest : public ::testing::Test {
 protected:
  void SetUp() override { Build(false); }

  void Build(bool admin, const std::string& database = ":memory:") {
    host_.reset();
    state_.reset();
    ServerConfig config;
    config.database = database;
    config.proceduresFolder = SourceDir() + "/server/sample/procedures";
    config.admin = admin;
    config.poolWait = std::chrono::milliseconds(5000);
    state_ = std::make_unique<ServerState>(config, OpenDatabase(database, DatabaseOptions{}));
    host_ = std::make_unique<ServiceHost>(*state_);
    RegisterControlService(*host_, *state_);
    RegisterExecSqlService(*host_, *state_);
    RegisterTableProcService(*host_, *state_);
    Sql(ReadText(SourceDir() + "/server/sample/schema.sql"));
  }

  Reply Send(const std::string& request) {
    DispatchReply d = host_->Dispatch(request, RequestInfo{"TEST", "-"});
    Reply r = ReadReply(d.body);
    EXPECT_EQ(d.failed, r.exception);
    return r;
  }

  // SynchExecSQL; fails the test on an exception reply.
  void Sql(const std::string& sql) {
    Reply r = Send(Request("ExecSqlService", "SynchExecSQL", UserAndSql(sql)));
    ASSERT_FALSE(r.exception) << r.errorClass << ": " << r.errorText;
    EXPECT_EQ(r.Integer(), 1);
  }

  std::unique_ptr<ServerState> state_;
  std::unique_ptr<ServiceHost> host_;
};

}  // namespace qorvin::server::testing
