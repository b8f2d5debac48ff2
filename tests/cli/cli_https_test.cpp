// qorvin reaching a qorvin-server that serves HTTPS by a whole https:// URL in --connect, with
// --cacert naming the authority it trusts (certificates made at run time).
#include <gtest/gtest.h>

#include "tests/cli/CliHarness.h"
#include "tests/e2e/ServerProcess.h"
#include "tests/http/SelfSignedCertificate.h"
#include "tests/support/TempPath.h"

namespace qorvin::testing {
namespace {

TEST(CliHttps, AUrlReachesAnHttpsServerThatTheNamedAuthorityVouchesFor) {
  SelfSignedCertificate pair, other;
  if (!pair.Ok() || !other.Ok()) GTEST_SKIP() << "the openssl command could not make a certificate";
  e2e::ServerOptions options;
  options.logFile = qorvin::test::TempPath("https-server.log");
  options.extra = {"--tls-cert", pair.Cert(), "--tls-key", pair.Key()};
  std::string error;
  auto server = e2e::ServerProcess::Start(options, error);
  ASSERT_NE(server, nullptr) << error;
  const std::string url = "https://127.0.0.1:" + std::to_string(server->HttpPort()) + "/Bin";
  const std::vector<std::string> read = {"-t", "--format", "csv", "read", "select 7 as n"};

  ProgramRun run = Qorvin(Args({"--connect", url, "--cacert", pair.Cert()}, read));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "7\r\n");
  // Another authority, or none (the system's store does not hold the test's): refused, saying
  // it is the certificate, and nothing printed as a result.
  for (const std::vector<std::string>& trust :
       {std::vector<std::string>{"--cacert", other.Cert()}, std::vector<std::string>{}}) {
    std::vector<std::string> args = {"--connect", url};
    args.insert(args.end(), trust.begin(), trust.end());
    run = Qorvin(Args(args, read));
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find("certificate"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  // A URL without a host is a usage error.
  run = Qorvin(Args({"--connect", "https:///Bin"}, read));
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("names no host"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace qorvin::testing
