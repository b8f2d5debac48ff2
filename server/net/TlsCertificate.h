// The server's TLS identity: a certificate chain and its private key (PEM files), loaded into an
// OpenSSL context that accepts TLS 1.2 and later only.
//
// Load reads both files at once and checks that the key belongs to the certificate; it throws
// std::runtime_error naming the file and OpenSSL's reason otherwise, so a broken pair never
// replaces a working one. The key's text is never put in an error.
//
// Threads: a loaded certificate is read-only (shared between the connections that took it); the
// transports swap the one new connections take as a whole (NetServer::SetTlsCertificate), and a
// connection keeps the one it started with until it closes.
#pragma once

#include <memory>
#include <string>

namespace qorvin::server {

struct TlsContextHolder;

class TlsCertificate {
 public:
  static std::shared_ptr<const TlsCertificate> Load(const std::string& certFile,
                                                    const std::string& keyFile);
  ~TlsCertificate();
  TlsCertificate(const TlsCertificate&) = delete;
  TlsCertificate& operator=(const TlsCertificate&) = delete;

  const std::string& CertFile() const { return certFile_; }
  // The subject of the chain's first certificate, for the server's messages ("CN=localhost").
  const std::string& Subject() const { return subject_; }
  // The OpenSSL context (server/net internals only).
  TlsContextHolder& Context() const { return *context_; }

 private:
  TlsCertificate() = default;
  std::unique_ptr<TlsContextHolder> context_;
  std::string certFile_;
  std::string subject_;
};

}  // namespace qorvin::server
