// A TLS server for tests on 127.0.0.1 (OpenSSL), with throw-away certificates made by the openssl
// command at run time. Linux only; needs OpenSSL's development files (libssl-dev).
#pragma once

#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <string>

#include "tests/http/SelfSignedCertificate.h"
#include "tests/http/TestHttpServer.h"

namespace qorvin::testing {

// Answers one request per connection over TLS with "tls:" + body (and "Connection: close").
// A client that gives up during the handshake (a certificate it refuses) is served nothing.
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
  TlsEchoServer(const TlsEchoServer&) = delete;
  TlsEchoServer& operator=(const TlsEchoServer&) = delete;

  std::string Url() const { return "https://127.0.0.1:" + std::to_string(tcp_.Port()) + "/Bin"; }
  // Connections accepted, handshakes completed, requests answered.
  int Connections() const { return tcp_.Accepted(); }
  int Handshakes() const { return handshakes_; }
  int Served() const { return served_; }

 private:
  void Serve(int fd) {
    timeval limit{2, 0};  // every read and write of the handshake and request is bounded
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      ++handshakes_;
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
        const std::string answer =
            HttpResponse(200, "OK", "tls:" + in.substr(bodyStart, length), "Connection: close\r\n");
        SSL_write(ssl, answer.data(), int(answer.size()));
        ++served_;
      }
      SSL_shutdown(ssl);
    }
    SSL_free(ssl);
  }

  SSL_CTX* ctx_;
  std::atomic<int> handshakes_ = 0;
  std::atomic<int> served_ = 0;
  TestTcpServer tcp_;  // last: its thread starts once everything above exists
};

}  // namespace qorvin::testing
