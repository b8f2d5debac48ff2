// The HTTP channel over TLS against a loopback server with a throw-away self-signed certificate
// (made with the openssl command at test time).
#include <gtest/gtest.h>

#ifdef QORVIN_HAVE_OPENSSL
#include <openssl/ssl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "channels/uROWinInetHttpChannel.h"
#include "tests/http/TestHttpServer.h"

namespace qorvin {
namespace {

// Throw-away certificates and a trust store of the test's own, in a temporary folder: the
// server's self-signed certificate (for 127.0.0.1) and an unrelated one. While it lives,
// SSL_CERT_FILE and SSL_CERT_DIR point the HTTP engine at the test's store instead of the
// system's, so the test needs no system certificates.
class SelfSignedCertificate {
 public:
  SelfSignedCertificate() {
    char dir[] = "/tmp/qorvin-tls-XXXXXX";
    if (::mkdtemp(dir) == nullptr) return;
    dir_ = dir;
    ok_ = Make(Key(), Cert(), "localhost", "IP:127.0.0.1") &&
          Make(dir_ + "/other-key.pem", OtherCert(), "Some Other Authority", "DNS:other.invalid") &&
          std::filesystem::create_directory(dir_ + "/store");
    TrustOnly(OtherCert());
    ::setenv("SSL_CERT_DIR", (dir_ + "/store").c_str(), 1);
  }
  ~SelfSignedCertificate() {
    ::unsetenv("SSL_CERT_FILE");
    ::unsetenv("SSL_CERT_DIR");
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  bool Ok() const { return ok_; }
  std::string Key() const { return dir_ + "/key.pem"; }
  std::string Cert() const { return dir_ + "/cert.pem"; }
  std::string OtherCert() const { return dir_ + "/other.pem"; }
  // The trust store holds exactly the certificate in `file`.
  void TrustOnly(const std::string& file) const { ::setenv("SSL_CERT_FILE", file.c_str(), 1); }

 private:
  static bool Make(const std::string& key, const std::string& cert, const std::string& name,
                   const std::string& altName) {
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj '/CN=" + name +
        "' -addext subjectAltName=" + altName + " -keyout " + key + " -out " + cert +
        " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }

  std::string dir_;
  bool ok_ = false;
};

// Answers one request per connection over TLS with "tls:" + body.
class TlsEchoServer {
 public:
  explicit TlsEchoServer(const SelfSignedCertificate& certificate)
      : ctx_(SSL_CTX_new(TLS_server_method())),
        tcp_([this](int fd, const std::atomic<bool>&) { Serve(fd); }) {
    SSL_CTX_use_certificate_file(ctx_, certificate.Cert().c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx_, certificate.Key().c_str(), SSL_FILETYPE_PEM);
  }
  ~TlsEchoServer() {
    tcp_.Stop();
    SSL_CTX_free(ctx_);
  }
  std::string Url() const { return "https://127.0.0.1:" + std::to_string(tcp_.Port()) + "/Bin"; }
  int Served() const { return served_; }

 private:
  void Serve(int fd) {
    timeval limit{2, 0};  // every read and write of the handshake and request is bounded
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      std::string in;
      char buffer[4096];
      size_t bodyStart = std::string::npos, length = 0;
      while (bodyStart == std::string::npos || in.size() < bodyStart + length) {
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0) break;
        in.append(buffer, size_t(n));
        if (bodyStart == std::string::npos && in.find("\r\n\r\n") != std::string::npos) {
          bodyStart = in.find("\r\n\r\n") + 4;
          const size_t at = in.find("Content-Length: ");
          length = at < bodyStart ? std::stoul(in.substr(at + 16)) : 0;
        }
      }
      if (bodyStart != std::string::npos && in.size() >= bodyStart + length) {
        const std::string answer = testing::HttpResponse(
            200, "OK", "tls:" + in.substr(bodyStart, length), "Connection: close\r\n");
        SSL_write(ssl, answer.data(), int(answer.size()));
        ++served_;
      }
      SSL_shutdown(ssl);
    }
    SSL_free(ssl);
  }

  SSL_CTX* ctx_;
  std::atomic<int> served_ = 0;
  testing::TestTcpServer tcp_;
};

TEST(HttpsChannel, SelfSignedCertificateNeedsTrust) {
  SelfSignedCertificate certificate;
  if (!certificate.Ok()) GTEST_SKIP() << "the openssl command could not make a certificate";
  TlsEchoServer server(certificate);
  TROWinInetHTTPChannel c;
  c.SetTargetURL(server.Url());
  c.SetAccessType(atDirect);
  c.SetTimeout(3000);
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
  if (!certificate.Ok()) GTEST_SKIP() << "the openssl command could not make a certificate";
  certificate.TrustOnly(certificate.Cert());
  TlsEchoServer server(certificate);
  TROWinInetHTTPChannel c;
  c.SetTargetURL(server.Url());
  c.SetAccessType(atDirect);
  c.SetTimeout(3000);
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

}  // namespace
}  // namespace qorvin

#else

TEST(HttpsChannel, SelfSignedCertificateNeedsTrust) {
  GTEST_SKIP() << "built without OpenSSL development files (libssl-dev)";
}

#endif
