// The HTTP engine of the HTTP channel: one POST at a time over a kept libcurl easy handle.
//
// A `THttpConnection` is one kept connection: its easy handle (and with it libcurl's cache of
// open connections) lives as long as the object, so consecutive requests to the same server
// reuse the TCP (and TLS) connection. Destroying the object closes everything.
//
// `Post` sends the body stream from offset 0 to its end in pieces of at most 65536 bytes and
// writes the body of the final response at the response stream's position. Redirects are not
// followed (a 3xx status is handed back like any other). HTTP authentication and proxy
// authentication are negotiated by libcurl when a user name is given; the body is then sent
// again from offset 0 as often as the negotiation needs.
//
// A request is sent again only after the server answered it (authentication). When a kept
// connection is closed by the server after the request went out and before any answer came, the
// server may have run it: `Post` fails with "Empty reply from server" (as on a fresh connection)
// and never sends it again on another connection. An answer cut off before the end of its headers
// fails with "Connection closed before the end of the response headers" (libcurl itself would
// take it for a complete answer without a body); one cut off in its body fails with libcurl's
// "transfer closed with N bytes remaining to read".
//
// Waits: connecting (name resolution, TCP and TLS) is bounded by `connectTimeoutMs`; from the
// moment the request goes out the transfer fails when no byte moved in either direction for
// `idleTimeoutMs`, checked to the millisecond. Both must be positive.
//
// Failures: EHttpError with libcurl's code, its text (the detailed error buffer when libcurl
// filled it), and a classification that the channel uses for its certificate handling. An
// exception thrown by an observer callback aborts the transfer and leaves `Post` unchanged.
//
// Interruption: a request may name a latch (platform/socket/WaitInterrupt.h); once it is
// triggered from any thread, `Post` ends within one poll round with EHttpError of kind Cancelled
// and the text "The call was cancelled.", and the connection drops its open connections as after
// any failure.
//
// Thread: one connection is used by one thread at a time (only a request's latch is triggered
// from another); different connections may be used on
// different threads at once (libcurl's global set-up runs once, guarded).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Stream.h"

namespace qorvin {

class TWaitInterrupt;

enum class THttpFailureKind {
  Other,
  TimedOut,           // the connect time-out or the idle time-out ran out
  ServerCertificate,  // the server's certificate could not be verified
  ClientCertificate,  // the server asked for a client certificate we do not have
  CouldNotConnect,    // refused, unreachable, host not found
  Cancelled,          // the request's latch was triggered
};

class EHttpError : public Exception {
 public:
  EHttpError(int code, THttpFailureKind kind, const std::string& text, bool requestSent = false)
      : Exception(text), code_(code), kind_(kind), requestSent_(requestSent) {}
  const char* ClassName() const override { return "EHttpError"; }
  int Code() const { return code_; }
  THttpFailureKind Kind() const { return kind_; }
  // Whether the request had started to go out (so the server may have received it); false for
  // failures while resolving, connecting or negotiating TLS.
  bool RequestSent() const { return requestSent_; }

 private:
  int code_;
  THttpFailureKind kind_;
  bool requestSent_;
};

enum class THttpProxyMode {
  Environment,  // the process's proxy settings (http_proxy, https_proxy, no_proxy, ...)
  Direct,       // never a proxy
};

struct THttpRequest {
  std::string url;                   // full "http(s)://host:port/path"
  std::vector<std::string> headers;  // "Name: value" lines, sent as given
  std::string userAgent;
  std::string username;  // HTTP authentication (any scheme the server offers) when not empty
  std::string password;
  std::string proxyUsername;  // proxy authentication when not empty
  std::string proxyPassword;
  THttpProxyMode proxyMode = THttpProxyMode::Environment;
  // Verify the server certificate and its host name (HTTPS) against the system's trusted
  // certificates, or those named by SSL_CERT_FILE / SSL_CERT_DIR when set.
  bool verifyPeer = true;
  // When not empty: a PEM file of the certificate authorities to trust, in place of the
  // system's bundle (HttpEngineTakesCaFile says whether the engine can).
  std::string caFile;
  int connectTimeoutMs = 60000;
  int idleTimeoutMs = 600000;
  // Ends the transfer when triggered (null: nothing does); must outlive `Post`.
  const TWaitInterrupt* interrupt = nullptr;
};

struct THttpResponseInfo {
  int status = 0;
  std::string reason;          // the status line's text ("Not Found"); may be empty
  int64_t contentLength = -1;  // -1 when the response has no Content-Length
};

// Callbacks during `Post`, on the calling thread. Each may throw to abort the transfer.
class THttpObserver {
 public:
  virtual ~THttpObserver() = default;
  // After each piece of the body was handed to the connection.
  virtual void BodySent(int64_t /*sentSoFar*/, int64_t /*total*/) {}
  // The headers of the final response arrived. Return false to discard its body.
  virtual bool ResponseStarted(const THttpResponseInfo& /*info*/) { return true; }
  // After each piece of the response body was stored.
  virtual void BodyReceived(int64_t /*receivedSoFar*/, int64_t /*contentLength*/) {}
};

// Whether THttpRequest::caFile is honoured here (libcurl: yes; WinInet: no, it trusts the
// system's store).
bool HttpEngineTakesCaFile();

class THttpConnection {
 public:
  THttpConnection();
  ~THttpConnection();
  THttpConnection(const THttpConnection&) = delete;
  THttpConnection& operator=(const THttpConnection&) = delete;

  // Sends `body` (offset 0 to end) as a POST and stores the final response's body in `response`
  // (when the observer keeps it). Returns the final response's status line and length.
  THttpResponseInfo Post(const THttpRequest& request, TStream& body, TStream& response,
                         THttpObserver* observer = nullptr);

  // Upload piece size (the largest piece handed to the connection at once).
  static constexpr int64_t kPieceSize = 65536;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qorvin
