// The OpenSSL context of a TlsCertificate, as Asio's type (server/net internals only). Include
// after NetContext.h.
#pragma once

#include <boost/asio/ssl.hpp>

#include "server/net/TlsCertificate.h"

namespace qorvin::server {

struct TlsContextHolder {
  boost::asio::ssl::context ssl{boost::asio::ssl::context::tls_server};
};

}  // namespace qorvin::server
