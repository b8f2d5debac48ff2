// The Windows HTTP engine (WinInet) over TLS, driven by http-post.exe under Wine, against TLS
// servers on this machine whose certificates are made at run time and trusted by nobody: a
// certificate that fails verification is the classed certificate failure that the HTTP channel
// answers (asking, then trusting), and with verification off the same request succeeds.
#include <gtest/gtest.h>

#ifdef QORVIN_HAVE_OPENSSL
#include "tests/http/TlsTestServer.h"
#include "tests/wine/WineCli.h"

namespace qorvin::wine {
namespace {

using qorvin::testing::SelfSignedCertificate;
using qorvin::testing::TlsEchoServer;

TEST(WindowsHttpsEngine, AnUntrustedCertificateFailsAsACertificateFailureUnlessVerificationIsOff) {
  // Self-signed, one for the address the client asks for, one for another name.
  SelfSignedCertificate forTheAddress("localhost", "IP:127.0.0.1");
  SelfSignedCertificate forAnotherName("other.invalid", "DNS:other.invalid");
  ASSERT_TRUE(forTheAddress.Ok() && forAnotherName.Ok()) << "the openssl command failed";
  TlsEchoServer unknownAuthority(forTheAddress);
  TlsEchoServer wrongName(forAnotherName);

  const ProgramRun verified = WindowsProgram(
      "QORVIN_WINDOWS_HTTP_POST", {unknownAuthority.Url(), "one", wrongName.Url(), "two"});
  ASSERT_EQ(verified.status, 0) << verified.err;
  const std::vector<std::string> refused = OutputLines(verified);
  ASSERT_EQ(refused.size(), 2u) << verified.out;
  // Kind 2: the server's certificate, before the request went out. An unknown authority is
  // ERROR_INTERNET_INVALID_CA; a certificate both unknown and for another name may be reported
  // as either problem, or as the combined one (WinInet checks the authority first).
  EXPECT_EQ(refused[0].rfind("error code=12045 kind=2 sent=0 text=", 0), 0u) << refused[0];
  const std::string code = refused[1].substr(0, refused[1].find(" kind"));
  EXPECT_TRUE(code == "error code=12045" || code == "error code=12038" ||
              code == "error code=12055")
      << refused[1];
  EXPECT_EQ(refused[1].substr(refused[1].find(" kind"), 15), " kind=2 sent=0 ") << refused[1];
  // Nothing reached either server: the request never went out (sent=0).
  EXPECT_EQ(unknownAuthority.Served(), 0);
  EXPECT_EQ(wrongName.Served(), 0);

  const ProgramRun trusting =
      WindowsProgram("QORVIN_WINDOWS_HTTP_POST",
                     {"--verify", "0", unknownAuthority.Url(), "one", wrongName.Url(), "two"});
  ASSERT_EQ(trusting.status, 0) << trusting.err;
  EXPECT_EQ(OutputLines(trusting),
            (std::vector<std::string>{
                "ok status=200 length=7 pieces=1 received=7 reason=OK body=tls:one",
                "ok status=200 length=7 pieces=1 received=7 reason=OK body=tls:two"}));
  EXPECT_EQ(unknownAuthority.Served(), 1);
  EXPECT_EQ(wrongName.Served(), 1);
}

}  // namespace
}  // namespace qorvin::wine

#else

TEST(WindowsHttpsEngine, AnUntrustedCertificateFailsAsACertificateFailureUnlessVerificationIsOff) {
  GTEST_SKIP() << "built without OpenSSL development files (libssl-dev)";
}

#endif
