// ControlService: figures, port queries, and the operations that need --admin.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/server/services_fixture.h"

namespace qorvin::server {
namespace {

using namespace testing;

std::function<void(TROBinMessage&)> ServiceName(const std::string& name) {
  return [name](TROBinMessage& m) { m.WriteString("aServiceName", name); };
}

std::function<void(TROBinMessage&)> PoolSize(const std::string& name, int32_t size) {
  return [name, size](TROBinMessage& m) {
    m.WriteString("aServiceName", name);
    m.WriteInteger("aPoolSize", TOrdType::otSLong, &size);
  };
}

TEST_F(ServicesTest, ControlFiguresAreTheServersOwn) {
  EXPECT_TRUE(Send(Request("ControlService", "Alive")).Boolean());
  EXPECT_EQ(Send(Request("ControlService", "GetServiceList")).Ansi("Result"),
            "ControlService,ExecSqlService,TableProcService");
  // Clients are told apart by their ClientID.
  TGUID a = TGUID::New(), b = TGUID::New();
  Send(Request("ControlService", "Alive", {}, a));
  Send(Request("ControlService", "Alive", {}, a));
  Send(Request("ControlService", "Alive", {}, b));
  int clients = Send(Request("ControlService", "GetClientCount")).Integer();
  // a and b, and four requests with fresh IDs: the schema, Alive, GetServiceList and this one.
  EXPECT_EQ(clients, 2 + 4);
  EXPECT_EQ(Send(Request("ControlService", "GetServicePoolSize", ServiceName("execsqlservice")))
                .Integer(),
            8);
  EXPECT_EQ(Send(Request("ControlService", "GetServicePoolSize", ServiceName("ControlService")))
                .Integer(),
            0);
  EXPECT_EQ(
      Send(Request("ControlService", "GetInUseCount", ServiceName("ExecSqlService"))).Integer(), 0);
  EXPECT_EQ(
      Send(Request("ControlService", "GetInUseCount", ServiceName("ControlService"))).Integer(),
      1);  // this call
  EXPECT_EQ(
      Send(Request("ControlService", "GetTotalCount", ServiceName("ExecSqlService"))).Integer(),
      1);  // the schema
  Reply r = Send(Request("ControlService", "GetTotalCount", ServiceName("Nope")));
  EXPECT_EQ(r.errorText, "Unknown service \"Nope\"");
}

// Which requests the I/O thread answers itself: the probe and the cheap figures, and only in a
// plain message; everything else, and anything the peek cannot read, goes to a worker.
TEST_F(ServicesTest, OnlyPlainCheapFiguresAreAnsweredAtOnce) {
  EXPECT_TRUE(host_->AtOnce("PROBE"));
  for (const char* op :
       {"GetServerTime", "Alive", "GetServiceList", "GetPort", "IsPortActive", "GetTotalCount"})
    EXPECT_TRUE(host_->AtOnce(Request("ControlService", op))) << op;
  // Those that may wait on a pool's lock or scan the clients, and every database operation.
  for (const char* op : {"GetClientCount", "GetServicePoolSize", "GetInUseCount", "Restart",
                         "SetDBConnInfo", "ClearServicePool"})
    EXPECT_FALSE(host_->AtOnce(Request("ControlService", op))) << op;
  EXPECT_TRUE(host_->AtOnce(Request("ExecSqlService", "GetDateTime")));
  EXPECT_FALSE(host_->AtOnce(Request("ExecSqlService", "SynchExecSQL", UserAndSql("select 1"))));
  // Names are compared whole and exactly.
  EXPECT_FALSE(host_->AtOnce(Request("ControlService", "GetServerTim")));
  EXPECT_FALSE(host_->AtOnce(Request("ControlService", "getservertime")));
  EXPECT_FALSE(host_->AtOnce(Request("ControlServic", "eGetServerTime")));
  EXPECT_FALSE(host_->AtOnce(Request("ExecSqlService", "GetServerTime")));
  EXPECT_FALSE(host_->AtOnce(Request("ControlService", "GetDateTime")));

  const std::string plain = Request("ControlService", "GetServerTime");
  // Compressed or too large: the worker reads it.
  std::string compressed = plain;
  compressed[5] = char(compressed[5] | kBinFlagCompressed);
  EXPECT_FALSE(host_->AtOnce(compressed));
  EXPECT_FALSE(host_->AtOnce(plain + std::string(ServiceHost::kAtOnceMaxBytes, '\0')));
  // Cut anywhere: at once only while both names are whole (the worker then reports the rest).
  // A name length past the end, negative or wrong: never at once, never a read past the view.
  const size_t namesEnd = 28 + 4 + 14 + 4 + 13;
  for (size_t n = 0; n < plain.size(); ++n)
    EXPECT_EQ(host_->AtOnce(plain.substr(0, n)), n >= namesEnd) << n;
  for (const char* length : {"\xff\xff\xff\x7f", "\xff\xff\xff\xff", "\x0f\x00\x00\x00"}) {
    std::string hostile = plain;
    hostile.replace(28, 4, length, 4);
    EXPECT_FALSE(host_->AtOnce(hostile));
  }
  // What runs at once answers like any other call.
  EXPECT_TRUE(Send(plain).DateTime() > 40000);
}

TEST_F(ServicesTest, PortsAreTheListenersPorts) {
  state_->SetPorts(BoundPorts{8099, 8090, -1});
  auto port = [&](const std::string& p) {
    return Send(Request("ControlService", "GetPort",
                        [p](TROBinMessage& m) { m.WriteString("aProtocol", p); }));
  };
  auto active = [&](int32_t p) {
    return Send(Request("ControlService", "IsPortActive",
                        [p](TROBinMessage& m) { m.WriteInteger("aPort", TOrdType::otSLong, &p); }))
        .Boolean();
  };
  EXPECT_EQ(port("http").Integer(), 8099);
  EXPECT_EQ(port("TCP").Integer(), 8090);
  EXPECT_EQ(port("UDP").Integer(), 0);  // off
  EXPECT_EQ(port("FTP").errorText, "Unknown protocol \"FTP\" (HTTP, TCP or UDP)");
  EXPECT_TRUE(active(8099));
  EXPECT_FALSE(active(-1));
  EXPECT_FALSE(active(1234));
}

TEST_F(ServicesTest, ChangesAreRefusedWithoutAdmin) {
  for (const auto& req :
       {Request("ControlService", "SetServicePoolSize", PoolSize("ExecSqlService", 2)),
        Request("ControlService", "ClearServicePool", ServiceName("ExecSqlService")),
        Request("ControlService", "Restart"),
        Request("ControlService", "SetDBConnInfo", [](TROBinMessage& m) {
          for (const char* n : {"aDBServer", "aDBName", "aDBUser", "aDBPass"}) m.WriteString(n, "");
          int32_t t = 5;
          m.WriteInteger("aTimeOut", TOrdType::otSLong, &t);
        })}) {
    Reply r = Send(req);
    ASSERT_TRUE(r.exception);
    EXPECT_EQ(r.errorClass, "SessionDoesNotHaveRequiredRolesException");
    EXPECT_NE(r.errorText.find("--admin"), std::string::npos);
  }
  EXPECT_EQ(state_->Pool(kExecSqlService)->MaxSize(), 8);
}

TEST_F(ServicesTest, AdminChangesPoolsDatabaseAndCounters) {
  Build(true);
  Reply r = Send(Request("ControlService", "SetServicePoolSize", PoolSize("ExecSqlService", 2)));
  ASSERT_FALSE(r.exception) << r.errorText;
  EXPECT_EQ(state_->Pool(kExecSqlService)->MaxSize(), 2);
  EXPECT_EQ(Send(Request("ControlService", "SetServicePoolSize", PoolSize("ExecSqlService", 0)))
                .errorText,
            "A pool size must lie between 1 and 1000, not 0");
  EXPECT_FALSE(
      Send(Request("ControlService", "ClearServicePool", ServiceName("ExecSqlService"))).exception);
  EXPECT_EQ(state_->Pool(kExecSqlService)->Idle(), 0);

  // Another database: an SQLite file named by aDBName (no server given).
  std::string file = (std::filesystem::temp_directory_path() /
                      ("qorvin-control-" + TGUID::New().ToString() + ".db"))
                         .string();
  r = Send(Request("ControlService", "SetDBConnInfo", [&](TROBinMessage& m) {
    m.WriteString("aDBServer", "");
    m.WriteString("aDBName", file);
    m.WriteString("aDBUser", "");
    m.WriteString("aDBPass", "");
    int32_t t = 5;
    m.WriteInteger("aTimeOut", TOrdType::otSLong, &t);
  }));
  ASSERT_FALSE(r.exception) << r.errorText;
  r = Send(Request("ExecSqlService", "SynchExecSQL", UserAndSql("select * from Customers")));
  EXPECT_EQ(r.errorClass, "EDatabaseError");  // the new database has no sample schema
  Sql("create table OnlyHere(x int)");
  EXPECT_TRUE(std::filesystem::exists(file));

  EXPECT_FALSE(Send(Request("ControlService", "Restart")).exception);
  EXPECT_EQ(
      Send(Request("ControlService", "GetTotalCount", ServiceName("ExecSqlService"))).Integer(), 0);
  Sql("select * from OnlyHere");  // the database survives a restart
  state_.reset();
  host_.reset();
  std::filesystem::remove(file);
  std::filesystem::remove(file + "-wal");
  std::filesystem::remove(file + "-shm");
}

}  // namespace
}  // namespace qorvin::server
