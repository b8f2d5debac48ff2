// A host's HTTP login (IQorvinCredentials) against qorvin-server with a users file: without it a
// call fails with the server's 401, with the right one it runs, and modules of the other letters
// refuse a login, which their transports cannot carry.
#include <cstdlib>
#include <filesystem>
#include <string>

#include "include/qorvin/QorvinCredentials.h"
#include "tests/e2e/E2eSupport.h"

namespace qorvin::e2e {
namespace {

IQorvinCredentials* CredentialsOf(IRemoteDataModule* m) {
  void* p = nullptr;
  return m->QueryInterface(&kQorvinIID_IQorvinCredentials, &p) == 0
             ? static_cast<IQorvinCredentials*>(p)
             : nullptr;
}

std::string Exec(IRemoteDataModule* m) {
  int32_t result = 0;
  Text error;
  m->SynchExecSQL("e2e", "", "select 1", &result, &error);
  return error.str();
}

TEST(HttpLogin, TheHostsLoginReachesAServerThatWantsOne) {
  Workspace work;
  const std::string users = work.Path("users");
  const std::string command = "printf 's3cret\\n' | '" + std::string(QORVIN_SERVER_PROGRAM) +
                              "' passwd '" + users + "' alice 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  ServerOptions o;
  o.logFile = work.Path("server.log");
  o.extra = {"--users", users};
  std::string error;
  auto server = ServerProcess::Start(o, error);
  ASSERT_NE(server, nullptr) << error;

  IRemoteDataModule* m = HostLibrary::Instance().Create('H', server->HttpPort());
  IQorvinCredentials* credentials = CredentialsOf(m);
  ASSERT_NE(credentials, nullptr);
  EXPECT_EQ(Exec(m), "Unauthorized (401)");
  Text why;
  ASSERT_TRUE(credentials->SetHttpLogin("alice", "wrong", &why)) << why.str();
  EXPECT_EQ(Exec(m), "Unauthorized (401)");
  ASSERT_TRUE(credentials->SetHttpLogin("alice", "s3cret", &why)) << why.str();
  EXPECT_EQ(Exec(m), "");
  EXPECT_EQ(Exec(m), "");
  EXPECT_FALSE(credentials->SetHttpLogin("a:b", "x", &why));
  EXPECT_NE(why.str().find("':'"), std::string::npos) << why.str();
  ASSERT_TRUE(credentials->SetHttpLogin(nullptr, nullptr, &why));  // none again
  EXPECT_EQ(Exec(m), "Unauthorized (401)");

  for (char letter : {'T', 'U'}) {
    IRemoteDataModule* other = HostLibrary::Instance().Create(letter, server->Port(letter));
    Text reason;
    EXPECT_FALSE(CredentialsOf(other)->SetHttpLogin("alice", "s3cret", &reason));
    EXPECT_NE(reason.str().find("only an HTTP module"), std::string::npos) << reason.str();
  }
  EXPECT_EQ(server->Stop(), 0) << server->LogText();
  EXPECT_EQ(server->LogText().find("s3cret"), std::string::npos) << "no password in the log";
}

}  // namespace
}  // namespace qorvin::e2e
