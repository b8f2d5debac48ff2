// The signals an operator's tools send: SIGHUP (systemctl reload, logrotate) reads the
// configuration again and reopens the log file, SIGUSR1 reopens the log file; neither ends the
// server, and a configuration broken meanwhile is reported and changes nothing.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/e2e/E2eSupport.h"

namespace qorvin::e2e {
namespace {

std::string FileText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Waits (at most 30 s) until `path` holds `what`.
bool WaitForText(const std::string& path, const std::string& what) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < until) {
    if (FileText(path).find(what) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string Exec(IRemoteDataModule* m, const std::string& sql) {
  int32_t result = 0;
  Text error;
  m->SynchExecSQL("e2e", "", sql.c_str(), &result, &error);
  return error.str();
}

TEST(ServerSignals, HangUpReloadsAndUser1ReopensTheLog) {
  Workspace work;
  const std::string requests = work.Path("requests.log");
  const std::string config = work.WriteFile("server.conf", "pool-size = 2\n");
  ServerOptions o;
  o.logFile = work.Path("server.log");
  o.extra = {"--config", config, "--log-file", requests};
  std::string error;
  auto server = ServerProcess::Start(o, error);
  ASSERT_NE(server, nullptr) << error;
  IRemoteDataModule* m = HostLibrary::Instance().Create('T', server->TcpPort());
  ASSERT_EQ(Exec(m, "select 1"), "");
  ASSERT_TRUE(WaitForText(requests, "SynchExecSQL"));

  // HUP: reloaded, the changed option named; the server goes on.
  work.WriteFile("server.conf", "pool-size = 3\n");
  ASSERT_EQ(::kill(server->Pid(), SIGHUP), 0);
  ASSERT_TRUE(WaitForText(o.logFile,
                          "configuration reloaded; take effect at the next start: "
                          "pool-size"))
      << server->LogText();
  EXPECT_EQ(Exec(m, "select 2"), "");

  // A configuration broken meanwhile: reported, nothing changes, still serving.
  work.WriteFile("server.conf", "no-such-option = 1\n");
  ASSERT_EQ(::kill(server->Pid(), SIGHUP), 0);
  ASSERT_TRUE(WaitForText(o.logFile, "the configuration was not reloaded")) << server->LogText();
  EXPECT_EQ(Exec(m, "select 3"), "");
  work.WriteFile("server.conf", "pool-size = 3\n");

  // USR1 after the file was moved away (as logrotate does): a new file takes the next lines.
  std::filesystem::rename(requests, requests + ".1");
  ASSERT_EQ(::kill(server->Pid(), SIGUSR1), 0);
  ASSERT_TRUE(WaitForText(requests, "log file reopened"));
  EXPECT_EQ(Exec(m, "select 4"), "");
  EXPECT_TRUE(WaitForText(requests, "SynchExecSQL"));
  EXPECT_EQ(FileText(requests + ".1").find("log file reopened"), std::string::npos);

  EXPECT_EQ(server->Stop(), 0) << server->LogText();
}

}  // namespace
}  // namespace qorvin::e2e
