// TROWinInetHTTPChannel: carries each request stream as the body of one HTTP POST to TargetURL
// and hands the response body back as the response stream. The HTTP work is done by the engine
// of platform/http (libcurl); a kept connection is a kept engine connection.
//
// Request: POST to the URL's path (and query), headers = the pending header lines (set through
// IROWebTransport, normally "Content-Type: application/binary"), "Content-Length: <size>",
// "Accept: application/octet-stream", the user agent; HTTP authentication with Login when its
// user name is set; proxy authentication with ProxyLogin. The pending header lines are used by
// exactly one request and cleared afterwards, also when the request failed (even before it was
// sent, when the address check failed).
//
// Status: 300 or more, except 500, fails with EROException "%s (%d)" (status text, code; the
// standard text of the code when the server sent none), and the response stream is left as it
// was; 500 is read like a success (its body is the server's exception message).
//
// Waits: ConnectTimeout (milliseconds, default 30000) bounds connecting, and Timeout
// (milliseconds, default 600000) every pause in sending or receiving once the request went out,
// to the millisecond; a Timeout shorter than ConnectTimeout bounds connecting too. 0 or less
// leaves the engine's own bounds (60 s to connect, 600 s of silence).
//
// Certificates (HTTPS): verified unless TrustInvalidCA. A certificate that fails verification
// asks the error-dialog hook (see SetErrorDialogHook; without a hook the answer is "cancelled"):
// an accepting answer switches TrustInvalidCA on and sends the request once more, a refusal
// switches it off and fails the dispatch with the verification error. A requested client
// certificate always fails the dispatch. After a request answered 401 or 407 the hook is asked
// too (unless SuppressErrorDialogs); answering ERROR_INTERNET_FORCE_RETRY (12032), typically after
// changing Login, sends the request again, at most three times per dispatch.
//
// Failures: EROException with the engine's text ("Unexpected error in WinInet HTTP Channel (%d)"
// when it has none), "Invalid URL format", "<Name>.TargetURL must be set.", "<Name>: you can't
// change AccessType in connected state", the status failure above, and a plain Exception with the
// system's text when OnAfterAttemptConnect reports a non-zero result.
//
// Progress and cancel: the body bytes are counted as they go and come (the answer's total is its
// Content-Length when it has one); every request carries the channel's cancel latch, which ends
// the engine's wait with "The call was cancelled.".
//
// Threads: one dispatch at a time (the base's busy guard). The error-dialog hook and the
// automatic-proxy flag are process-wide and thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "channels/uROClient.h"
#include "platform/http/HttpConnection.h"

namespace qorvin {

class TROWinInetHTTPChannel;

class TROLogin {
 public:
  std::string Username;
  std::string Password;
  void Assign(const TROLogin& source) {
    Username = source.Username;
    Password = source.Password;
  }
};

enum TROWinInetAccessType { atPreconfig, atDirect, atProxy, atPreconfig_with_no_autoproxy };

// Answers of the error dialog.
inline constexpr uint32_t kDialogOk = 0;
inline constexpr uint32_t kErrorCancelled = 1223;  // ERROR_CANCELLED
inline constexpr uint32_t kErrorInternetForceRetry = 12032;
// Codes the dialog is asked about.
inline constexpr uint32_t kErrorInvalidCA = 12045;  // the server certificate is not trusted

// The error dialog: (channel, code, HTTP status). `code` is kErrorInvalidCA for a certificate
// that failed verification, 0 after a completed request (then `status` tells why, 401 or 407).
// Returns kDialogOk, kErrorInternetForceRetry or kErrorCancelled. Runs on the dispatching thread.
using TROErrorDialogHook =
    std::function<uint32_t(TROWinInetHTTPChannel& channel, uint32_t code, int status)>;
// Installs the process's error dialog (an empty function removes it).
void SetErrorDialogHook(TROErrorDialogHook hook);

// Whether automatic proxy support was initialized in this process (set once, never cleared).
bool AutoProxyInitialized();

using TROHttpNotifyEvent = std::function<void(TROWinInetHTTPChannel* sender)>;
using TROAfterOpenRequestEvent =
    std::function<void(TROWinInetHTTPChannel* sender, THttpConnection* request)>;
using TROAfterAttemptConnectEvent =
    std::function<void(TROWinInetHTTPChannel* sender, uint32_t& result)>;

class TROWinInetHTTPChannel : public TROTransportChannel,
                              public IROWebTransport,
                              public IROPeerTransport {
 public:
  explicit TROWinInetHTTPChannel(TROComponent* owner = nullptr, std::string name = {});
  ~TROWinInetHTTPChannel() override;
  const char* ClassName() const override { return "TROWinInetHTTPChannel"; }

  // --- properties ---
  const std::string& UserAgent() const { return userAgent_; }
  const std::string& TargetURL() const { return targetURL_; }
  // Splits the URL; "Invalid URL format" (the text stays stored) unless http or https.
  void SetTargetURL(const std::string& url);
  // A PEM file of the certificate authorities HTTPS trusts, in place of the system's (empty:
  // the system's; ignored where the engine cannot take one, see HttpEngineTakesCaFile).
  const std::string& TrustedCertificates() const { return caFile_; }
  void SetTrustedCertificates(const std::string& pemFile) { caFile_ = pemFile; }
  TROLogin& Login() { return login_; }
  void SetLogin(const TROLogin& value) { login_.Assign(value); }
  bool StoreConnected() const { return storeConnected_; }
  void SetStoreConnected(bool value) { storeConnected_ = value; }
  bool Connected() const { return connection_ != nullptr; }
  void SetConnected(bool value);
  bool KeepConnection() const { return keepConnection_; }
  void SetKeepConnection(bool value) { keepConnection_ = value; }
  TROLogin& ProxyLogin() { return proxyLogin_; }
  void SetProxyLogin(const TROLogin& value) { proxyLogin_.Assign(value); }
  int Timeout() const { return timeout_; }
  void SetTimeout(int ms) { timeout_ = ms; }
  int ConnectTimeout() const { return connectTimeout_; }
  void SetConnectTimeout(int ms) { connectTimeout_ = ms; }
  // ConnectTimeout and Timeout.
  void SetCallBounds(int connectMs, int readMs) override {
    if (connectMs > 0) SetConnectTimeout(connectMs);
    if (readMs > 0) SetTimeout(readMs);
  }
  bool AttemptToConnect() const { return attemptToConnect_; }
  void SetAttemptToConnect(bool value) { attemptToConnect_ = value; }
  bool InitializeAutoProxy() const { return initializeAutoProxy_; }
  void SetInitializeAutoProxy(bool value) { initializeAutoProxy_ = value; }
  TROWinInetAccessType AccessType() const { return accessType_; }
  void SetAccessType(TROWinInetAccessType value);
  bool SuppressErrorDialogs() const { return suppressErrorDialogs_; }
  void SetSuppressErrorDialogs(bool value) { suppressErrorDialogs_ = value; }
  bool TrustInvalidCA() const { return trustInvalidCA_; }
  void SetTrustInvalidCA(bool value) { trustInvalidCA_ = value; }

  // URL parts of TargetURL.
  const std::string& Scheme() const { return scheme_; }
  const std::string& HostName() const { return hostName_; }
  int UrlPort() const { return port_; }
  const std::string& UrlPath() const { return path_; }
  // The header lines waiting for the next request, joined by CR LF.
  const std::string& PendingHeaders() const { return headers_; }

  // --- events ---
  TROHttpNotifyEvent AfterConnect;
  TROAfterOpenRequestEvent OnAfterOpenRequest;
  TROHttpNotifyEvent OnBeforeOpenRequest;
  TROHttpNotifyEvent OnBeforeOpenConnection;
  TROAfterAttemptConnectEvent OnAfterAttemptConnect;

  // --- IROTransport / IROWebTransport / IROPeerTransport ---
  IROWebTransport* AsWebTransport() override { return this; }
  // Appends "name: value" to the pending header lines; an empty value is ignored.
  void SetHeader(const std::string& name, const std::string& value);
  std::string GetHeader(const std::string& /*name*/) { return {}; }  // headers are write-only
  std::string GetContentType() { return GetHeader("Content-Type"); }
  void SetContentType(const std::string& value) { SetHeader("Content-Type", value); }
  void SetHeaders(const std::string& name, const std::string& value) override {
    SetHeader(name, value);
  }
  std::string GetHeaders(const std::string& name) override { return GetHeader(name); }
  std::string GetTransportName() override { return {}; }
  // Setting the same agent does nothing; a new agent takes effect at the next connection.
  void SetUserAgent(const std::string& agent) override;
  std::string GetUserAgent() override { return userAgent_; }
  std::string GetTargetURL() { return targetURL_; }
  std::string GetPeerAddress() override { return {}; }

  void Assign(const TROTransportChannel& source) override;

 protected:
  void IntDispatch(TStream& request, TStream& response) override;
  void ApplyServerLocator(TROServerLocator* locator) override;
  std::string AddressText() override;
  std::unique_ptr<TROTransportChannel> CreateProbeChannel() override;
  bool AddressIsSet() const override { return !targetURL_.empty(); }
  const char* AddressPropertyName() const override { return "TargetURL"; }
  void AssignAddress(const TROTransportChannel& source) override;
  bool AcceptsAssignFrom(const TROTransportChannel& source) const override;

 private:
  class Observer;
  THttpRequest BuildRequest(int64_t size) const;
  // One POST; false when the dialog asked for the request to be sent again.
  bool SendOnce(TStream& request, TStream& response, int round);
  bool HandleCertificateError();
  uint32_t ShowErrorDialog(uint32_t code, int status);

  std::string userAgent_ = "Larkspan SDK";
  std::string targetURL_;
  std::string scheme_;
  std::string hostName_;
  int port_ = 0;
  std::string path_;
  std::string headers_;
  TROLogin login_;
  std::string caFile_;
  TROLogin proxyLogin_;
  bool storeConnected_ = false;
  bool keepConnection_ = false;
  int timeout_ = 600000;
  int connectTimeout_ = 30000;
  bool attemptToConnect_ = true;
  bool initializeAutoProxy_ = false;
  TROWinInetAccessType accessType_ = atPreconfig;
  bool suppressErrorDialogs_ = false;
  bool trustInvalidCA_ = false;
  std::unique_ptr<THttpConnection> connection_;
};

}  // namespace qorvin
