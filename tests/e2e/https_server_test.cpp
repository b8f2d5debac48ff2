// qorvin-server serving HTTPS (--tls-cert, --tls-key) to the client library: a module that
// trusts the server's authority (IQorvinCredentials::SetTrustedCertificates) reads over
// https://, one that does not is refused at the handshake, and SIGHUP swaps the certificate for
// new connections while open ones go on (a broken pair on reload changes nothing). Every
// certificate is made at run time.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "include/qorvin/QorvinCredentials.h"
#include "include/qorvin/QorvinServers.h"
#include "tests/e2e/E2eSupport.h"
#include "tests/http/SelfSignedCertificate.h"

namespace qorvin::e2e {
namespace {

using qorvin::testing::SelfSignedCertificate;

IQorvinCredentials* CredentialsOf(IRemoteDataModule* m) {
  void* p = nullptr;
  return m->QueryInterface(&kQorvinIID_IQorvinCredentials, &p) == 0
             ? static_cast<IQorvinCredentials*>(p)
             : nullptr;
}

// The rows of a small read, or the error text prefixed with "error: ".
std::string Read(IRemoteDataModule* m) {
  QorvinAdoDataSet* ds = nullptr;
  int32_t result = 0;
  Text error;
  m->SynchReadDataSet("e2e", "", "select 7 as n, 'seven' as t", &ds, &result, &error);
  if (!error.str().empty() || ds == nullptr) return "error: " + error.str();
  const std::string rows = Rows(ds);
  ds->Release();
  return rows;
}

// A module of the HTTPS server at `url` (its only server, as a host names an https:// one) that
// trusts `authority` (none: the system's) and logs in.
IRemoteDataModule* Module(const std::string& url, const std::string& authority) {
  std::string failure;
  IRemoteDataModule* m = HostLibrary::Instance().Create('H', 0, &failure, "");
  void* p = nullptr;
  if (m == nullptr || m->QueryInterface(&kQorvinIID_IQorvinServers, &p) != 0) {
    ADD_FAILURE() << failure;
    return nullptr;
  }
  auto* servers = static_cast<IQorvinServers*>(p);
  Text why;
  if (!servers->AddServer(url.c_str(), 0, nullptr, &why) ||
      !servers->SetMode(kQorvinServersFailOver)) {
    ADD_FAILURE() << why.str();
    return nullptr;
  }
  m->SetKeepConnection(true);
  IQorvinCredentials* credentials = CredentialsOf(m);
  if (credentials == nullptr || !credentials->SetHttpLogin("alice", "s3cret", &why) ||
      (!authority.empty() && !credentials->SetTrustedCertificates(authority.c_str(), &why))) {
    ADD_FAILURE() << why.str();
    return nullptr;
  }
  return m;
}

std::string FileText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Waits (at most 30 s) until `path` holds `what` `count` times.
bool WaitForText(const std::string& path, const std::string& what, int count = 1) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < until) {
    const std::string text = FileText(path);
    int seen = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++seen;
    if (seen >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void CopyPair(const SelfSignedCertificate& from, const std::string& cert, const std::string& key) {
  std::filesystem::copy_file(from.Cert(), cert, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::copy_file(from.Key(), key, std::filesystem::copy_options::overwrite_existing);
}

TEST(HttpsServer, TrustedClientsReadAndTheCertificateIsSwappedOnHangUp) {
  SelfSignedCertificate first, second;
  if (!first.Ok() || !second.Ok())
    GTEST_SKIP() << "the openssl command could not make a certificate";
  Workspace work;
  const std::string users = work.Path("users");
  const std::string command = "printf 's3cret\\n' | '" + std::string(QORVIN_SERVER_PROGRAM) +
                              "' passwd '" + users + "' alice 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string cert = work.Path("server.pem"), key = work.Path("server.key");
  CopyPair(first, cert, key);
  ServerOptions o;
  o.logFile = work.Path("server.log");
  o.extra = {"--users", users, "--tls-cert", cert, "--tls-key", key};
  std::string error;
  auto server = ServerProcess::Start(o, error);
  ASSERT_NE(server, nullptr) << error;
  const std::string url = "https://127.0.0.1:" + std::to_string(server->HttpPort()) + "/Bin";

  IRemoteDataModule* trusting = Module(url, first.Cert());
  ASSERT_NE(trusting, nullptr);
  EXPECT_EQ(Read(trusting), "7|seven");
  // No trust in the test's authority (the system's store does not hold it): refused before any
  // request is sent, saying it is the certificate.
  IRemoteDataModule* stranger = Module(url, "");
  ASSERT_NE(stranger, nullptr);
  const std::string refused = Read(stranger);
  EXPECT_NE(refused.find("certificate"), std::string::npos) << refused;
  // Trusting another authority is no better.
  IRemoteDataModule* wrongTrust = Module(url, second.Cert());
  ASSERT_NE(wrongTrust, nullptr);
  EXPECT_NE(Read(wrongTrust).find("certificate"), std::string::npos);
  // Plain HTTP on the HTTPS port gets no answer it could take for one.
  IRemoteDataModule* plain = HostLibrary::Instance().Create('H', server->HttpPort());
  ASSERT_NE(plain, nullptr);
  EXPECT_NE(Read(plain).rfind("error: ", 0), std::string::npos);

  // SIGHUP with the second pair in the files: new connections get it; the connection the first
  // module keeps goes on with the first.
  CopyPair(second, cert, key);
  ASSERT_EQ(::kill(server->Pid(), SIGHUP), 0);
  ASSERT_TRUE(WaitForText(o.logFile, "configuration reloaded")) << server->LogText();
  EXPECT_EQ(Read(trusting), "7|seven") << "an open connection is not dropped";
  IRemoteDataModule* late = Module(url, first.Cert());
  ASSERT_NE(late, nullptr);
  EXPECT_NE(Read(late).find("certificate"), std::string::npos);
  IRemoteDataModule* renewed = Module(url, second.Cert());
  ASSERT_NE(renewed, nullptr);
  EXPECT_EQ(Read(renewed), "7|seven");

  // A key that does not belong to the certificate: reported, the second pair stays.
  std::filesystem::copy_file(first.Key(), key, std::filesystem::copy_options::overwrite_existing);
  ASSERT_EQ(::kill(server->Pid(), SIGHUP), 0);
  ASSERT_TRUE(WaitForText(o.logFile, "the configuration was not reloaded")) << server->LogText();
  EXPECT_NE(server->LogText().find("the TLS key " + key), std::string::npos) << server->LogText();
  IRemoteDataModule* after = Module(url, second.Cert());
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(Read(after), "7|seven");

  EXPECT_EQ(server->Stop(), 0) << server->LogText();
  EXPECT_EQ(server->LogText().find("s3cret"), std::string::npos) << "no password in the log";
}

TEST(HttpsServer, ACertificateOrKeyThatCannotBeUsedStopsTheStart) {
  SelfSignedCertificate pair;
  if (!pair.Ok()) GTEST_SKIP() << "the openssl command could not make a certificate";
  Workspace work;
  const std::string garbage = work.WriteFile("garbage.pem", "not a certificate\n");
  struct Case {
    std::vector<std::string> options;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--tls-cert", garbage, "--tls-key", pair.Key()}, "Cannot use the TLS certificate"},
      {{"--tls-cert", pair.Cert(), "--tls-key", garbage}, "Cannot use the TLS key"},
      {{"--tls-cert", pair.Cert(), "--tls-key", work.Path("missing.key")},
       "Cannot use the TLS key"},
      {{"--tls-cert", pair.Cert()}, "--tls-cert needs --tls-key"},
  };
  for (const Case& c : cases) {
    ServerOptions o;
    o.logFile = work.Path("server.log");
    o.extra = c.options;
    std::string error;
    auto server = ServerProcess::Start(o, error);
    EXPECT_EQ(server, nullptr);
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace qorvin::e2e
