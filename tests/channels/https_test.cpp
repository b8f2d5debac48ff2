// The HTTP channel over TLS against a loopback server with a throw-away self-signed certificate
// (made with the openssl command at test time).
#include <gtest/gtest.h>

#ifdef QORVIN_HAVE_OPENSSL
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "channels/uROWinInetHttpChannel.h"
#include "tests/http/TlsTestServer.h"

namespace qorvin {
namespace {

using testing::TlsEchoServer;

// The server's throw-away certificate (for 127.0.0.1), an unrelated one, and a trust store of
// the test's own: while it lives, SSL_CERT_FILE and SSL_CERT_DIR point the HTTP engine at the
// test's store instead of the system's, so the test needs no system certificates.
class SelfSignedCertificate : public testing::SelfSignedCertificate {
 public:
  SelfSignedCertificate() {
    ok_ = Ok() &&
          Make(Folder() + "/other-key.pem", OtherCert(), "Some Other Authority",
               "DNS:other.invalid") &&
          std::filesystem::create_directory(Folder() + "/store");
    TrustOnly(OtherCert());
    ::setenv("SSL_CERT_DIR", (Folder() + "/store").c_str(), 1);
  }
  ~SelfSignedCertificate() {
    ::unsetenv("SSL_CERT_FILE");
    ::unsetenv("SSL_CERT_DIR");
  }
  bool Ready() const { return ok_; }
  std::string OtherCert() const { return Folder() + "/other.pem"; }
  // The trust store holds exactly the certificate in `file`.
  void TrustOnly(const std::string& file) const { ::setenv("SSL_CERT_FILE", file.c_str(), 1); }

 private:
  bool ok_ = false;
};

// A direct channel to the test's TLS server, with a bound a busy machine never reaches.
void UseServer(TROWinInetHTTPChannel& c, const TlsEchoServer& server) {
  c.SetTargetURL(server.Url());
  c.SetAccessType(atDirect);
  c.SetTimeout(3000);
}

TEST(HttpsChannel, SelfSignedCertificateNeedsTrust) {
  SelfSignedCertificate certificate;
  if (!certificate.Ready()) GTEST_SKIP() << "the openssl command could not make a certificate";
  TlsEchoServer server(certificate);
  TROWinInetHTTPChannel c;
  UseServer(c, server);
  TMemoryStream request;
  request.WriteBytes("secret");

  // Verified by default: with no dialog to ask, the unknown authority fails the dispatch (the
  // trust store holds only an unrelated certificate).
  TMemoryStream refused;
  EXPECT_THROW(c.Dispatch(request, refused), EROException);
  EXPECT_FALSE(c.TrustInvalidCA());
  EXPECT_EQ(refused.Size(), 0);

  // A dialog that accepts: the channel trusts from now on and sends again.
  int asked = 0;
  SetErrorDialogHook([&](TROWinInetHTTPChannel&, uint32_t code, int) {
    ++asked;
    EXPECT_EQ(code, kErrorInvalidCA);
    return kDialogOk;
  });
  TMemoryStream response;
  c.Dispatch(request, response);
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(c.TrustInvalidCA());
  EXPECT_EQ(std::string(response.View()), "tls:secret");
  TMemoryStream again;
  c.Dispatch(request, again);  // trusted: not asked again
  EXPECT_EQ(asked, 1);

  // A dialog that refuses switches the trust off again.
  SetErrorDialogHook([](TROWinInetHTTPChannel&, uint32_t, int) { return kErrorCancelled; });
  c.SetTrustInvalidCA(false);
  EXPECT_THROW(c.Dispatch(request, again), EROException);
  EXPECT_FALSE(c.TrustInvalidCA());
  SetErrorDialogHook(nullptr);
  EXPECT_EQ(server.Served(), 2);
}

TEST(HttpsChannel, TrustedCertificatePassesWithoutAsking) {
  SelfSignedCertificate certificate;
  if (!certificate.Ready()) GTEST_SKIP() << "the openssl command could not make a certificate";
  certificate.TrustOnly(certificate.Cert());
  TlsEchoServer server(certificate);
  TROWinInetHTTPChannel c;
  UseServer(c, server);
  int asked = 0;
  SetErrorDialogHook([&](TROWinInetHTTPChannel&, uint32_t, int) {
    ++asked;
    return kErrorCancelled;
  });
  TMemoryStream request, response;
  request.WriteBytes("verified");
  c.Dispatch(request, response);
  SetErrorDialogHook(nullptr);
  EXPECT_EQ(asked, 0);
  EXPECT_FALSE(c.TrustInvalidCA());
  EXPECT_EQ(std::string(response.View()), "tls:verified");
}

// A channel's own trusted authorities (a PEM file) take the place of the system's: the store the
// test set holds only an unrelated certificate, and the server's own file lets the call through.
TEST(HttpsChannel, TheChannelsOwnAuthoritiesAreTrusted) {
  SelfSignedCertificate certificate;
  if (!certificate.Ready()) GTEST_SKIP() << "the openssl command could not make a certificate";
  TlsEchoServer server(certificate);
  TROWinInetHTTPChannel c;
  UseServer(c, server);
  TMemoryStream request;
  request.WriteBytes("own");
  TMemoryStream refused;
  EXPECT_THROW(c.Dispatch(request, refused), EROException);
  c.SetTrustedCertificates(certificate.Cert());
  TMemoryStream response;
  c.Dispatch(request, response);
  EXPECT_EQ(std::string(response.View()), "tls:own");
  c.SetTrustedCertificates(certificate.OtherCert());
  TMemoryStream again;
  EXPECT_THROW(c.Dispatch(request, again), EROException);
  EXPECT_FALSE(c.TrustInvalidCA());
}

}  // namespace
}  // namespace qorvin

#else

TEST(HttpsChannel, SelfSignedCertificateNeedsTrust) {
  GTEST_SKIP() << "built without OpenSSL development files (libssl-dev)";
}

#endif
