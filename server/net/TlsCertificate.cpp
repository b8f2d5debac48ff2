// NetContext.h comes first: it prepares Boost's headers (see there).
// clang-format off
#include "server/net/NetContext.h"
#include "server/net/TlsContext.h"
// clang-format on

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <stdexcept>

namespace qorvin::server {
namespace {

// OpenSSL's reasons queued by the failing calls, oldest first; the queue is emptied.
std::string OpenSslReasons() {
  std::string text;
  while (unsigned long e = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(e, buffer, sizeof buffer);
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text.empty() ? "unknown reason" : text;
}

}  // namespace

TlsCertificate::~TlsCertificate() = default;

std::shared_ptr<const TlsCertificate> TlsCertificate::Load(const std::string& certFile,
                                                           const std::string& keyFile) {
  if (certFile.empty() || keyFile.empty())
    throw std::runtime_error("TLS needs both a certificate (--tls-cert) and its key (--tls-key)");
  std::shared_ptr<TlsCertificate> loaded(new TlsCertificate());
  loaded->certFile_ = certFile;
  loaded->context_ = std::make_unique<TlsContextHolder>();
  SSL_CTX* ctx = loaded->context_->ssl.native_handle();
  ERR_clear_error();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(
      ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1)
    throw std::runtime_error("Cannot use the TLS certificate " + certFile + ": " +
                             OpenSslReasons());
  if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    throw std::runtime_error("Cannot use the TLS key " + keyFile + ": " + OpenSslReasons());
  if (SSL_CTX_check_private_key(ctx) != 1)
    throw std::runtime_error("The TLS key " + keyFile + " does not belong to the certificate " +
                             certFile + ": " + OpenSslReasons());
  if (X509* cert = SSL_CTX_get0_certificate(ctx)) {
    char subject[512];
    X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
    loaded->subject_ = subject;
  }
  return loaded;
}

}  // namespace qorvin::server
