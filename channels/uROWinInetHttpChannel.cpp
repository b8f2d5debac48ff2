#include "channels/uROWinInetHttpChannel.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/http/Url.h"
#include "platform/rtl/OsServices.h"

namespace qorvin {

namespace {

std::mutex& HookLock() {
  static std::mutex lock;
  return lock;
}

TROErrorDialogHook& HookSlot() {
  static TROErrorDialogHook hook;
  return hook;
}

std::atomic<bool> autoProxyInitialized = false;

constexpr int kMaxDialogRounds = 3;
constexpr int kEngineConnectTimeout = 60000;
constexpr int kEngineIdleTimeout = 600000;

// The system's text for an error code.
std::string SystemErrorText(uint32_t code) {
  if (code == kErrorCancelled) return "The operation was canceled by the user.";
  return SystemErrorMessage(code);
}

// The standard text of a status code, for servers that send a status line without one.
const char* StandardReason(int status) {
  switch (status) {
    case 300:
      return "Multiple Choices";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 407:
      return "Proxy Authentication Required";
    case 408:
      return "Request Timeout";
    case 413:
      return "Payload Too Large";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "HTTP Error";
  }
}

bool FailingStatus(int status) {
  return status >= 300 && status != 500;
}

// Splits "a: 1\r\nb: 2" into lines.
std::vector<std::string> HeaderLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

}  // namespace

void SetErrorDialogHook(TROErrorDialogHook hook) {
  std::lock_guard<std::mutex> guard(HookLock());
  HookSlot() = std::move(hook);
}

bool AutoProxyInitialized() {
  return autoProxyInitialized;
}

// Turns the engine's callbacks into the channel's progress events.
class TROWinInetHTTPChannel::Observer : public THttpObserver {
 public:
  Observer(TROWinInetHTTPChannel& channel, int64_t size) : channel_(channel), size_(size) {}
  void BodySent(int64_t sentSoFar, int64_t total) override {
    channel_.Transfer().SentSoFar(sentSoFar);
    channel_.DoProgress(ptInProgress, pdSending, sentSoFar, total);
    if (sentSoFar >= total) SendingDone();
  }
  bool ResponseStarted(const THttpResponseInfo& info) override {
    SendingDone();
    if (FailingStatus(info.status)) return false;  // its body is of no use to the caller
    contentLength_ = std::max<int64_t>(info.contentLength, 0);
    channel_.Transfer().BeginReceive(info.contentLength);
    channel_.DoProgress(ptStart, pdReceiving, 0, contentLength_);
    return true;
  }
  void BodyReceived(int64_t receivedSoFar, int64_t) override {
    channel_.Transfer().ReceivedSoFar(receivedSoFar);
    channel_.DoProgress(ptInProgress, pdReceiving, receivedSoFar, contentLength_);
  }
  void SendingDone() {
    if (sendingDone_) return;
    sendingDone_ = true;
    channel_.DoProgress(ptDone, pdSending, 0, size_);
  }

 private:
  TROWinInetHTTPChannel& channel_;
  int64_t size_;
  int64_t contentLength_ = 0;
  bool sendingDone_ = false;
};

TROWinInetHTTPChannel::TROWinInetHTTPChannel(TROComponent* owner, std::string name)
    : TROTransportChannel(owner, std::move(name)) {}

TROWinInetHTTPChannel::~TROWinInetHTTPChannel() {
  StopProbing();
  SetConnected(false);
}

void TROWinInetHTTPChannel::SetTargetURL(const std::string& url) {
  if (url == targetURL_) return;
  targetURL_ = url;
  if (url.empty()) {
    port_ = 0;
    hostName_.clear();
    path_.clear();
    scheme_.clear();
    return;
  }
  TUrlParts parts;
  if (!CrackUrl(url, parts) || (parts.scheme != "http" && parts.scheme != "https")) {
    scheme_.clear();
    throw EROException("Invalid URL format");
  }
  scheme_ = parts.scheme;
  port_ = parts.port;
  hostName_ = parts.host;
  path_ = parts.path;
}

void TROWinInetHTTPChannel::SetUserAgent(const std::string& agent) {
  if (agent == userAgent_) return;
  userAgent_ = agent;
}

void TROWinInetHTTPChannel::SetAccessType(TROWinInetAccessType value) {
  if (value == accessType_) return;
  if (Connected()) throw EROException(Name() + ": you can't change AccessType in connected state");
  accessType_ = value;
}

void TROWinInetHTTPChannel::SetHeader(const std::string& name, const std::string& value) {
  if (value.empty()) return;
  if (!headers_.empty()) headers_ += "\r\n";
  headers_ += name + ": " + value;
}

void TROWinInetHTTPChannel::SetConnected(bool value) {
  if (value == Connected()) return;
  if (!value) {
    connection_.reset();
    return;
  }
  // libcurl has no automatic proxy configuration of its own: the flag records that the
  // process asked for it once, and the process's proxy settings apply (see THttpProxyMode).
  if (initializeAutoProxy_) autoProxyInitialized = true;
  auto connection = std::make_unique<THttpConnection>();
  if (OnBeforeOpenConnection) OnBeforeOpenConnection(this);
  if (attemptToConnect_) {
    uint32_t result = 0;  // the network is always "attempted" successfully here
    if (OnAfterAttemptConnect) OnAfterAttemptConnect(this, result);
    if (result != 0) throw Exception(SystemErrorText(result));
  }
  connection_ = std::move(connection);
  if (AfterConnect) AfterConnect(this);
}

THttpRequest TROWinInetHTTPChannel::BuildRequest(int64_t size) const {
  THttpRequest r;
  r.url = scheme_ + "://" + hostName_ + ":" + std::to_string(port_) + path_;
  r.headers = HeaderLines(headers_);
  r.headers.push_back("Content-Length: " + std::to_string(size));
  r.headers.push_back("Accept: application/octet-stream");
  r.userAgent = userAgent_;
  r.caFile = caFile_;
  r.username = login_.Username;
  r.password = login_.Password;
  r.proxyUsername = proxyLogin_.Username;
  r.proxyPassword = proxyLogin_.Password;
  r.proxyMode = accessType_ == atDirect ? THttpProxyMode::Direct : THttpProxyMode::Environment;
  r.verifyPeer = !trustInvalidCA_;
  r.connectTimeoutMs = connectTimeout_ > 0 ? connectTimeout_ : kEngineConnectTimeout;
  if (timeout_ > 0) r.connectTimeoutMs = std::min(r.connectTimeoutMs, timeout_);
  r.idleTimeoutMs = timeout_ > 0 ? timeout_ : kEngineIdleTimeout;
  r.interrupt = &Interrupt();
  return r;
}

uint32_t TROWinInetHTTPChannel::ShowErrorDialog(uint32_t code, int status) {
  TROErrorDialogHook hook;
  {
    std::lock_guard<std::mutex> guard(HookLock());
    hook = HookSlot();
  }
  if (!hook) return code != 0 ? kErrorCancelled : kDialogOk;
  return hook(*this, code, status);
}

// A certificate that failed verification: ask, and remember the answer in TrustInvalidCA.
bool TROWinInetHTTPChannel::HandleCertificateError() {
  bool accepted = true;
  if (!trustInvalidCA_) {
    const uint32_t answer = ShowErrorDialog(kErrorInvalidCA, 0);
    accepted = answer == kDialogOk || answer == kErrorInternetForceRetry;
  }
  trustInvalidCA_ = accepted;
  return accepted;
}

bool TROWinInetHTTPChannel::SendOnce(TStream& request, TStream& response, int round) {
  const int64_t size = request.Size();
  const int64_t responseStart = response.Position();
  DoProgress(ptStart, pdSending, 0, size);
  Transfer().BeginSend(size);
  const THttpRequest r = BuildRequest(size);
  headers_.clear();  // the lines belong to this request only
  if (OnBeforeOpenRequest) OnBeforeOpenRequest(this);
  if (OnAfterOpenRequest) OnAfterOpenRequest(this, connection_.get());
  Observer observer(*this, size);
  THttpResponseInfo info;
  try {
    info = connection_->Post(r, request, response, &observer);
  } catch (const EHttpError& e) {
    if (e.RequestSent()) NoteRequestSent();
    if (e.Kind() == THttpFailureKind::ServerCertificate && round < kMaxDialogRounds &&
        HandleCertificateError())
      return false;
    if (e.Message().empty())
      throw EROException(Format("Unexpected error in WinInet HTTP Channel (%d)", e.Code()));
    throw EROException(e.Message());
  } catch (...) {
    NoteRequestSent();  // an observer failed while the request was under way
    throw;
  }
  NoteRequestSent();  // answered: the server has seen the request
  if ((info.status == 401 || info.status == 407) && !suppressErrorDialogs_ &&
      round < kMaxDialogRounds && ShowErrorDialog(0, info.status) == kErrorInternetForceRetry) {
    response.SetSize(responseStart);
    return false;
  }
  if (FailingStatus(info.status)) {
    response.SetSize(responseStart);
    const std::string reason = info.reason.empty() ? StandardReason(info.status) : info.reason;
    throw EROException(Format("%s (%d)", reason.c_str(), info.status));
  }
  response.SetPosition(0);
  DoProgress(ptDone, pdReceiving, 0, 0);
  return true;
}

void TROWinInetHTTPChannel::IntDispatch(TStream& request, TStream& response) {
  try {
    CheckProperties();
    SetConnected(true);
    // The header lines go with the first round only; a repeated round (after a dialog asked for
    // it) carries its own "Content-Length" alone.
    for (int round = 0; !SendOnce(request, response, round); ++round) {
    }
  } catch (...) {
    headers_.clear();
    if (!keepConnection_) SetConnected(false);
    throw;
  }
  if (!keepConnection_) SetConnected(false);
}

std::string TROWinInetHTTPChannel::AddressText() {
  return targetURL_;
}

void TROWinInetHTTPChannel::ApplyServerLocator(TROServerLocator* locator) {
  if (locator == nullptr) return;
  std::string host = locator->Host();
  std::string lower = host;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  if (lower.starts_with("http://") || lower.starts_with("https://"))
    SetTargetURL(host);
  else if (host.empty())
    SetTargetURL("");  // a locator without a host (a module whose servers were all added)
  else
    SetTargetURL(Format("http://%s:%d/%s", UrlHost(host).c_str(), locator->Port(),
                        locator->HTTPDispatcher().c_str()));
}

std::unique_ptr<TROTransportChannel> TROWinInetHTTPChannel::CreateProbeChannel() {
  auto probe = std::make_unique<TROWinInetHTTPChannel>(this);
  probe->SetTimeout(ProbeBound(timeout_));
  probe->SetConnectTimeout(ProbeBound(connectTimeout_));
  return probe;
}

bool TROWinInetHTTPChannel::AcceptsAssignFrom(const TROTransportChannel& source) const {
  return dynamic_cast<const TROWinInetHTTPChannel*>(&source) != nullptr;
}

void TROWinInetHTTPChannel::AssignAddress(const TROTransportChannel& source) {
  SetTargetURL(static_cast<const TROWinInetHTTPChannel&>(source).targetURL_);
}

void TROWinInetHTTPChannel::Assign(const TROTransportChannel& source) {
  TROTransportChannel::Assign(source);
  const auto& http = static_cast<const TROWinInetHTTPChannel&>(source);
  SetConnected(false);
  accessType_ = http.accessType_;
  AfterConnect = http.AfterConnect;
  OnAfterOpenRequest = http.OnAfterOpenRequest;
  OnBeforeOpenRequest = http.OnBeforeOpenRequest;
  OnBeforeOpenConnection = http.OnBeforeOpenConnection;
  OnAfterAttemptConnect = http.OnAfterAttemptConnect;
  attemptToConnect_ = http.attemptToConnect_;
  initializeAutoProxy_ = http.initializeAutoProxy_;
  keepConnection_ = http.keepConnection_;
  login_.Assign(http.login_);
  caFile_ = http.caFile_;
  proxyLogin_.Assign(http.proxyLogin_);
  storeConnected_ = http.storeConnected_;
  suppressErrorDialogs_ = http.suppressErrorDialogs_;
  timeout_ = http.timeout_;
  connectTimeout_ = http.connectTimeout_;
  trustInvalidCA_ = http.trustInvalidCA_;
  SetUserAgent(http.userAgent_);
  SetConnected(http.Connected());
}

}  // namespace qorvin
