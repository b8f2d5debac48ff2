// The module through the public header: creation, the interface's own methods, callbacks and
// connection control.
#include <gtest/gtest.h>

#include "tests/client/ClientWire.h"
#include "tests/client/HostLibrary.h"
#include "tests/client/ScriptedServer.h"

namespace qorvin::testing {
namespace {

std::string ExecSqlReply(int32_t result) {
  return Reply().Int(result).Bytes();
}

TEST(HostModule, OnlyTheFourExactLettersBuildAModule) {
  HostLibrary& lib = HostLibrary::Instance();
  for (char letter : {'B', 'T', 'H', 'U'}) {
    std::string failure = "unchanged";
    IRemoteDataModule* m = lib.Create(letter, 8099, &failure);
    ASSERT_NE(m, nullptr) << letter;
    EXPECT_EQ(failure, "");
    EXPECT_EQ(m->GetConnectType(), letter);
  }
  for (char letter : {'h', 't', 'b', 'u', 'X', '\0'}) {
    std::string failure;
    EXPECT_EQ(lib.Create(letter, 8099, &failure), nullptr) << int(letter);
    EXPECT_EQ(failure, "Unknow Connect Type!");
  }
}

TEST(HostModule, InterfaceBasicsReservedMethodsAndInertReferenceCounting) {
  ScriptedServer server([](const std::string&) { return ExecSqlReply(5); });
  IRemoteDataModule* m = HostLibrary::Instance().Create('T', server.Port('T'));
  ASSERT_NE(m, nullptr);
  const IRemoteDataModule::Guid own = {
      0xE4CF5BAA, 0xCF78, 0x4131, {0xAE, 0x75, 0x99, 0xFA, 0x72, 0xA9, 0x13, 0x82}};
  const IRemoteDataModule::Guid base = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  const IRemoteDataModule::Guid other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  void* obj = nullptr;
  EXPECT_EQ(m->QueryInterface(&own, &obj), 0);
  EXPECT_EQ(obj, m);
  EXPECT_EQ(m->QueryInterface(&base, &obj), 0);
  EXPECT_NE(m->QueryInterface(&other, &obj), 0);
  EXPECT_EQ(obj, nullptr);
  EXPECT_EQ(m->AddRef(), -1);
  EXPECT_EQ(m->Release(), -1);
  EXPECT_EQ(m->Release(), -1);
  m->Reserved1(nullptr);
  m->Reserved2(nullptr);
  m->Reserved4(1, 2, "x");
  EXPECT_TRUE(m->Reserved3());
  // Releasing every reference destroyed nothing: the module still works.
  int32_t result = -1;
  Text error;
  m->SynchExecSQL("u", "s", "select 1", &result, &error);
  EXPECT_EQ(result, 5);
  EXPECT_EQ(error.str(), "");
}

TEST(HostModule, LastErrorCallbacksAndErrorTextFollowTheCallFrame) {
  bool fail = true;
  ScriptedServer server([&](const std::string&) {
    return fail ? ExceptionReply("EDatabaseError", "no such table") : ExecSqlReply(-4);
  });
  IRemoteDataModule* m = HostLibrary::Instance().Create('T', server.Port('T'));
  CallbackLog log;
  log.Install(m);
  Text last;
  m->GetLastErrorText(&last);
  EXPECT_EQ(last.str(), "");

  const std::string text = "An exception was raised on the server: no such table";
  int32_t result = 99;
  Text error;
  qorvin_text_assign(&error.t, "caller's text", 13);
  m->SynchExecSQL("u", "s", "select * from nowhere", &result, &error);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(error.str(), text);
  m->GetLastErrorText(&last);
  EXPECT_EQ(last.str(), text);
  EXPECT_EQ(log.events, (std::vector<std::string>{"error " + text + "|", "status 0 0"}));

  // A success clears the last error, keeps the caller's error text and reports (1, 3); a
  // negative server result is still a success.
  fail = false;
  log.events.clear();
  qorvin_text_assign(&error.t, "keep me", 7);
  m->SynchExecSQL("u", "s", "update t set a = 1", &result, &error);
  EXPECT_EQ(result, -4);
  EXPECT_EQ(error.str(), "keep me");
  m->GetLastErrorText(&last);
  EXPECT_EQ(last.str(), "");
  EXPECT_EQ(log.events, (std::vector<std::string>{"status 1 3"}));

  // An empty callback stops that callback.
  m->SetOnStatus({nullptr, &log});
  m->SetOnError({nullptr, &log});
  log.events.clear();
  fail = true;
  m->SynchExecSQL("u", "s", "x", &result, &error);
  EXPECT_TRUE(log.events.empty());
  EXPECT_EQ(error.str(), text);
}

TEST(HostModule, TcpConnectionFollowsKeepConnection) {
  ScriptedServer server([](const std::string&) { return ExecSqlReply(1); });
  IRemoteDataModule* m = HostLibrary::Instance().Create('B', server.Port('B'));
  EXPECT_FALSE(m->GetConnected());
  m->SetConnected(true);  // KeepAlive is off: nothing happens
  EXPECT_FALSE(m->GetConnected());
  EXPECT_EQ(server.TcpConnections(), 0);

  m->SetKeepConnection(true);
  m->SetConnected(true);
  EXPECT_TRUE(m->GetConnected());
  int32_t result = 0;
  Text error;
  m->SynchExecSQL("u", "s", "a", &result, &error);
  m->SynchExecSQL("u", "s", "b", &result, &error);
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(m->GetConnected());
  EXPECT_EQ(server.TcpConnections(), 1);  // both calls on the kept connection

  m->SetConnected(false);
  EXPECT_FALSE(m->GetConnected());
  m->SetKeepConnection(false);
  m->SynchExecSQL("u", "s", "c", &result, &error);
  m->SynchExecSQL("u", "s", "d", &result, &error);
  EXPECT_FALSE(m->GetConnected());
  EXPECT_EQ(server.TcpConnections(), 3);  // one per call once the connection is not kept
}

TEST(HostModule, HttpKeepConnectionOffClosesTheConnection) {
  ScriptedServer server([](const std::string&) { return ExecSqlReply(1); });
  IRemoteDataModule* m = HostLibrary::Instance().Create('H', server.Port('H'));
  m->SetKeepConnection(true);
  int32_t result = 0;
  Text error;
  m->SynchExecSQL("u", "s", "a", &result, &error);
  m->SynchExecSQL("u", "s", "b", &result, &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_TRUE(m->GetConnected());
  EXPECT_EQ(server.HttpConnections(), 1);
  m->SetKeepConnection(false);
  EXPECT_FALSE(m->GetConnected());
  const auto requests = server.HttpRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].path, "/Bin");
  EXPECT_EQ(requests[0].Header("Content-Type"), "application/binary");
}

TEST(HostModule, UdpSetConnectedDoesNothing) {
  ScriptedServer server([](const std::string&) { return ExecSqlReply(1); });
  IRemoteDataModule* m = HostLibrary::Instance().Create('U', server.Port('U'));
  m->SetConnected(true);
  m->SetKeepConnection(true);
  EXPECT_FALSE(m->GetConnected());
}

}  // namespace
}  // namespace qorvin::testing
