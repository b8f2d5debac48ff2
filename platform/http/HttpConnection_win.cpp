// The HTTP engine on Windows: WinInet in synchronous mode.
//
// A connection keeps one Internet handle and one connection handle (host and port) for as long
// as the requests go to the same place with the same agent and proxy mode; WinInet keeps the open
// TCP (and TLS) connections of those handles alive between requests. Each `Post` opens one
// request handle and closes it before returning. The body goes out with HttpSendRequestEx in
// pieces; credentials go with a request only after a challenge (401, 407): Basic in a header of
// the engine's own with the body sent again in pieces, any other scheme by WinInet itself within
// HttpSendRequest (the body then in one piece).
//
// Contract as in HttpConnection.h. What WinInet decides on its own: the headers it adds (Host,
// Cache-Control, Connection), the schemes other than Basic, and the proxy of the process's
// Internet settings in THttpProxyMode::Environment. The connect bound is WinInet's
// connect time-out; the idle bound is its send and receive time-outs (each wait for the network
// is bounded by them; a server that never answers is given the bound twice, once to end the
// request and once to tell the silence from a closed connection). A request's latch, once
// triggered, closes the request handle from a thread of its own (CancelWatch), which ends the
// blocked WinInet call. Failure texts are WinInet's own;
// a code without a text gives an empty text, which the HTTP channel replaces by its own.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/http/HttpConnection.h"
#include "platform/http/Url.h"
#include "platform/socket/WaitInterrupt.h"

namespace qorvin {

namespace {

constexpr char kNoAnswer[] = "Empty reply from server";
constexpr char kCutHeaders[] = "Connection closed before the end of the response headers";
// How often a request goes out again for the server's or the proxy's authentication.
constexpr int kMaxAuthenticationRounds = 2;

// Closes a WinInet handle on every path.
class InternetHandle {
 public:
  InternetHandle() = default;
  explicit InternetHandle(HINTERNET h) : h_(h) {}
  ~InternetHandle() { Reset(); }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  InternetHandle& operator=(InternetHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      h_ = other.h_;
      other.h_ = nullptr;
    }
    return *this;
  }
  HINTERNET Get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }
  void Reset() noexcept {
    if (h_ != nullptr) InternetCloseHandle(h_);
    h_ = nullptr;
  }
  // Forgets the handle without closing it (someone else closed it).
  void Release() noexcept { h_ = nullptr; }

 private:
  HINTERNET h_ = nullptr;
};

// WinInet's (or the system's) message text for `code`, without trailing line breaks; empty
// when neither has one.
std::string WinInetText(DWORD code) {
  char buffer[512] = {};
  DWORD n = 0;
  if (HMODULE wininet = GetModuleHandleA("wininet.dll"); wininet != nullptr)
    n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, wininet, code,
                       0, buffer, sizeof buffer, nullptr);
  if (n == 0 && (code < INTERNET_ERROR_BASE || code > INTERNET_ERROR_LAST))
    n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       buffer, sizeof buffer, nullptr);
  std::string text(buffer, std::min<size_t>(n, sizeof buffer));
  text = text.substr(0, text.find('\0'));
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  return text;
}

THttpFailureKind Classify(DWORD code) {
  switch (code) {
    case ERROR_INTERNET_TIMEOUT:
    case WSAETIMEDOUT:  // what some WinInet versions report for a receive time-out
      return THttpFailureKind::TimedOut;
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SEC_INVALID_CERT:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
      return THttpFailureKind::ServerCertificate;
    case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED:
      return THttpFailureKind::ClientCertificate;
    case ERROR_INTERNET_CANNOT_CONNECT:
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      return THttpFailureKind::CouldNotConnect;
    default:
      return THttpFailureKind::Other;
  }
}

// The server closed the connection after the request went out, without a status line.
bool IsNoAnswer(DWORD code) {
  return code == ERROR_INTERNET_CONNECTION_ABORTED || code == ERROR_INTERNET_CONNECTION_RESET ||
         code == ERROR_HTTP_INVALID_SERVER_RESPONSE;
}

// The failure of a WinInet call with `code`; `sent`: whether the request had started to go out.
[[noreturn]] void Fail(DWORD code, bool sent, int idleMs = 0) {
  if ((code == ERROR_INTERNET_TIMEOUT || code == WSAETIMEDOUT) && sent)
    throw EHttpError(int(code), THttpFailureKind::TimedOut,
                     Format("The operation timed out (no data for %d ms)", idleMs), true);
  if (sent && IsNoAnswer(code))
    throw EHttpError(int(code), THttpFailureKind::Other, kNoAnswer, true);
  throw EHttpError(int(code), Classify(code), WinInetText(code), sent);
}

bool HasHeader(const std::string& line, const char* name) {
  const size_t n = std::strlen(name);
  return line.size() > n && line[n] == ':' && _strnicmp(line.c_str(), name, n) == 0;
}

// The host as InternetConnect takes it: an IPv6 address without its brackets.
std::string ConnectHost(const std::string& host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    return host.substr(1, host.size() - 2);
  return host;
}

// The text of a header that WinInet hands back, or empty when the response has none.
std::string QueryText(HINTERNET request, DWORD what) {
  std::vector<char> buffer(256);
  for (int tries = 0; tries < 4; ++tries) {
    DWORD size = DWORD(buffer.size());
    if (HttpQueryInfoA(request, what, buffer.data(), &size, nullptr))
      return std::string(buffer.data(), std::min<size_t>(size, buffer.size()));
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size > 65536) return {};
    buffer.resize(size + 1);
  }
  return {};
}

int64_t ParseLength(const std::string& text) {
  if (text.empty()) return -1;
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    if (value > (INT64_MAX - 9) / 10) return -1;  // absurd length: treat as unknown
    value = value * 10 + (c - '0');
  }
  return value;
}

std::string Base64(const std::string& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t v = 0;
    for (size_t k = 0; k < 3; ++k)
      v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    for (size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[(v >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

// Whether the raw response headers offer the Basic scheme (WWW-Authenticate, or
// Proxy-Authenticate for a proxy's challenge).
bool OffersBasic(const std::string& headers, bool proxy) {
  const std::string name = proxy ? "proxy-authenticate:" : "www-authenticate:";
  size_t start = 0;
  while (start < headers.size()) {
    size_t end = headers.find("\r\n", start);
    if (end == std::string::npos) end = headers.size();
    std::string line = headers.substr(start, end - start);
    std::transform(line.begin(), line.end(), line.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (line.rfind(name, 0) == 0 && line.find("basic", name.size()) != std::string::npos)
      return true;
    start = end + 2;
  }
  return false;
}

// Where and as what the kept handles connect; new handles when any of it changes.
struct Endpoint {
  std::string agent;
  THttpProxyMode proxyMode = THttpProxyMode::Environment;
  std::string host;
  int port = 0;
  bool operator==(const Endpoint&) const = default;
};

}  // namespace

struct THttpConnection::Impl {
  InternetHandle internet;
  InternetHandle connection;
  Endpoint endpoint;

  void Close() noexcept {
    connection.Reset();
    internet.Reset();
  }

  // Opens the Internet and connection handles for `wanted`, keeping them when they already
  // serve it.
  void Open(const Endpoint& wanted, int connectTimeoutMs) {
    if (connection && endpoint == wanted) return;
    Close();
    const DWORD type = wanted.proxyMode == THttpProxyMode::Direct ? INTERNET_OPEN_TYPE_DIRECT
                                                                  : INTERNET_OPEN_TYPE_PRECONFIG;
    InternetHandle opened(InternetOpenA(wanted.agent.c_str(), type, nullptr, nullptr, 0));
    if (!opened) Fail(GetLastError(), false);
    DWORD timeout = DWORD(std::max(1, connectTimeoutMs));
    InternetSetOptionA(opened.Get(), INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
    // No credentials here: they go with a request only once its server asked for them (a
    // connection handle with credentials lets WinInet send a request again on its own).
    InternetHandle connected(InternetConnectA(opened.Get(), ConnectHost(wanted.host).c_str(),
                                              INTERNET_PORT(wanted.port), nullptr, nullptr,
                                              INTERNET_SERVICE_HTTP, 0, 0));
    if (!connected) Fail(GetLastError(), false);
    internet = std::move(opened);
    connection = std::move(connected);
    endpoint = wanted;
  }
};

THttpConnection::THttpConnection() : impl_(std::make_unique<Impl>()) {}

THttpConnection::~THttpConnection() = default;

namespace {

// One request on an open connection handle: its handle, the body's pieces out, the answer in.
class Exchange {
 public:
  Exchange(HINTERNET connection, const THttpRequest& request, const TUrlParts& url,
           THttpObserver* observer)
      : request_(request), observer_(observer) {
    DWORD flags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                  INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI;
    const bool secure = url.scheme == "https";
    if (secure) flags |= INTERNET_FLAG_SECURE;
    if (secure && !request.verifyPeer)
      flags |= INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID;
    handle_ = InternetHandle(HttpOpenRequestA(connection, "POST", url.path.c_str(), "HTTP/1.1",
                                              nullptr, nullptr, flags, 0));
    if (!handle_) Fail(GetLastError(), false);
    HINTERNET h = handle_.Get();
    DWORD connect = DWORD(std::max(1, request.connectTimeoutMs));
    DWORD idle = DWORD(std::max(1, request.idleTimeoutMs));
    InternetSetOptionA(h, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
    InternetSetOptionA(h, INTERNET_OPTION_SEND_TIMEOUT, &idle, sizeof idle);
    InternetSetOptionA(h, INTERNET_OPTION_RECEIVE_TIMEOUT, &idle, sizeof idle);
    if (secure && !request.verifyPeer) {
      DWORD security = 0;
      DWORD size = sizeof security;
      InternetQueryOptionA(h, INTERNET_OPTION_SECURITY_FLAGS, &security, &size);
      security |= SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                  SECURITY_FLAG_IGNORE_CERT_DATE_INVALID | SECURITY_FLAG_IGNORE_REVOCATION;
      InternetSetOptionA(h, INTERNET_OPTION_SECURITY_FLAGS, &security, sizeof security);
    }
    if (!request.proxyUsername.empty()) {
      InternetSetOptionA(h, INTERNET_OPTION_PROXY_USERNAME,
                         const_cast<char*>(request.proxyUsername.c_str()),
                         DWORD(request.proxyUsername.size()));
      InternetSetOptionA(h, INTERNET_OPTION_PROXY_PASSWORD,
                         const_cast<char*>(request.proxyPassword.c_str()),
                         DWORD(request.proxyPassword.size()));
    }
    // The caller's lines, replacing WinInet's own of the same name; Content-Length is WinInet's
    // (from the body size given when the request starts).
    for (const std::string& line : request.headers) {
      if (HasHeader(line, "Content-Length")) continue;
      if (!HttpAddRequestHeadersA(h, line.c_str(), DWORD(line.size()),
                                  HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE))
        Fail(GetLastError(), false);
    }
  }

  // Sends the request with the whole body; false when WinInet asks for it to go again.
  bool Send(TStream& body, int64_t total) {
    INTERNET_BUFFERSA buffers{};
    buffers.dwStructSize = sizeof buffers;
    buffers.dwBufferTotal = DWORD(total);
    body.SetPosition(0);
    if (!HttpSendRequestExA(handle_.Get(), &buffers, nullptr, 0, 0)) Raise(GetLastError());
    sent_ = true;  // the headers went out: from here on the server may see the request
    std::vector<char> piece(size_t(std::min<int64_t>(THttpConnection::kPieceSize, total)) + 1);
    int64_t done = 0;
    while (done < total) {
      const int64_t want = std::min<int64_t>(THttpConnection::kPieceSize, total - done);
      const int64_t got = body.Read(piece.data(), want);
      if (got <= 0) throw EHttpError(0, THttpFailureKind::Other, "The request body ended early");
      for (int64_t written = 0; written < got;) {
        DWORD n = 0;
        if (!InternetWriteFile(handle_.Get(), piece.data() + written, DWORD(got - written), &n))
          Raise(GetLastError());
        if (n == 0) Raise(ERROR_INTERNET_CONNECTION_ABORTED);
        written += n;
      }
      done += got;
      if (observer_) observer_->BodySent(done, total);
    }
    if (!HttpEndRequestA(handle_.Get(), nullptr, 0, 0)) {
      const DWORD code = GetLastError();
      if (code == ERROR_INTERNET_FORCE_RETRY && Answered()) return false;
      Raise(code == ERROR_INTERNET_FORCE_RETRY ? ERROR_HTTP_INVALID_SERVER_RESPONSE : code);
    }
    return true;
  }

  // The body in one call, for a challenge that WinInet answers itself (it does so only within
  // HttpSendRequest, sending the body again as often as the scheme needs).
  bool SendWhole(TStream& body, int64_t total) {
    std::vector<char> whole(size_t(total) + 1);
    body.SetPosition(0);
    for (int64_t done = 0; done < total;) {
      const int64_t got = body.Read(whole.data() + done, total - done);
      if (got <= 0) throw EHttpError(0, THttpFailureKind::Other, "The request body ended early");
      done += got;
    }
    sent_ = true;
    if (!HttpSendRequestA(handle_.Get(), nullptr, 0, whole.data(), DWORD(total))) {
      const DWORD code = GetLastError();
      if (code == ERROR_INTERNET_FORCE_RETRY && Answered()) return false;
      Raise(code == ERROR_INTERNET_FORCE_RETRY ? ERROR_HTTP_INVALID_SERVER_RESPONSE : code);
    }
    if (observer_ && total > 0) observer_->BodySent(total, total);
    return true;
  }

  // After a challenge: Basic credentials go in a header of our own with the next send; for any
  // other scheme WinInet negotiates. Returns whether the request went again whole (SendWhole).
  bool AnswerChallenge(TStream& body, int64_t total, int status) {
    const bool proxy = status == 407;
    const std::string& user = proxy ? request_.proxyUsername : request_.username;
    const std::string& password = proxy ? request_.proxyPassword : request_.password;
    if (OffersBasic(QueryText(handle_.Get(), HTTP_QUERY_RAW_HEADERS_CRLF), proxy)) {
      const std::string line = std::string(proxy ? "Proxy-Authorization" : "Authorization") +
                               ": Basic " + Base64(user + ":" + password);
      if (!HttpAddRequestHeadersA(handle_.Get(), line.c_str(), DWORD(line.size()),
                                  HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE))
        Raise(GetLastError());
      return Send(body, total);
    }
    if (!proxy) {
      InternetSetOptionA(handle_.Get(), INTERNET_OPTION_USERNAME, const_cast<char*>(user.c_str()),
                         DWORD(user.size()));
      InternetSetOptionA(handle_.Get(), INTERNET_OPTION_PASSWORD,
                         const_cast<char*>(password.c_str()), DWORD(password.size()));
    }
    return SendWhole(body, total);
  }

  THttpResponseInfo Status() const {
    THttpResponseInfo info;
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!HttpQueryInfoA(handle_.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                        &size, nullptr))
      Raise(GetLastError());
    // Some WinInet versions end a request whose connection closed without a status line as if
    // it had been answered, with status 0; a read then tells a time-out from a closed connection.
    if (status == 0) {
      char probe = 0;
      DWORD n = 0;
      if (!InternetReadFile(handle_.Get(), &probe, 1, &n)) Raise(GetLastError());
      Raise(ERROR_HTTP_INVALID_SERVER_RESPONSE);
    }
    info.status = int(status);
    info.reason = QueryText(handle_.Get(), HTTP_QUERY_STATUS_TEXT);
    info.contentLength = ParseLength(QueryText(handle_.Get(), HTTP_QUERY_CONTENT_LENGTH));
    return info;
  }

  // Reads the response body to its end, storing it in `response` when not null. `final`: the
  // answer is the one handed back (not an authentication challenge).
  void Receive(TStream* response, const THttpResponseInfo& info, bool final) {
    std::vector<char> piece(size_t(THttpConnection::kPieceSize));
    int64_t received = 0;
    for (;;) {
      DWORD n = 0;
      if (!InternetReadFile(handle_.Get(), piece.data(), DWORD(piece.size()), &n))
        Raise(GetLastError());
      if (n == 0) break;
      received += n;
      if (response == nullptr) continue;
      response->WriteBuffer(piece.data(), int64_t(n));
      if (observer_) observer_->BodyReceived(received, info.contentLength);
    }
    // WinInet ends the body quietly when the connection closes early.
    if (info.contentLength >= 0 && received < info.contentLength)
      throw EHttpError(int(ERROR_INTERNET_CONNECTION_ABORTED), THttpFailureKind::Other,
                       Format("transfer closed with %lld bytes remaining to read",
                              static_cast<long long>(info.contentLength - received)),
                       true);
    // WinInet also takes headers that the connection cut off for complete ones, and hides
    // whether their blank line came. An answer that says nothing of its length (no
    // Content-Length, not chunked, no "Connection: close") and brings no body is taken as cut
    // off in its headers; a server that means an empty body says so.
    if (final && received == 0 && info.contentLength < 0 && info.status != 204 &&
        info.status != 304 && QueryText(handle_.Get(), HTTP_QUERY_TRANSFER_ENCODING).empty() &&
        _stricmp(QueryText(handle_.Get(), HTTP_QUERY_CONNECTION).c_str(), "close") != 0)
      throw EHttpError(int(ERROR_HTTP_INVALID_SERVER_RESPONSE), THttpFailureKind::Other,
                       kCutHeaders, true);
  }

  // Whether a status line came back for the request: WinInet may ask for a request to go again
  // when its kept connection closed without a word, but such a request may have run on the
  // server and is never sent again.
  bool Answered() const {
    DWORD status = 0;
    DWORD size = sizeof status;
    return HttpQueryInfoA(handle_.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                          &size, nullptr) &&
           status != 0;
  }

  [[noreturn]] void Raise(DWORD code) const {
    Fail(code, sent_, std::max(1, request_.idleTimeoutMs));
  }

  const THttpRequest& request_;
  THttpObserver* observer_;
  InternetHandle handle_;
  bool sent_ = false;

 public:
  HINTERNET Handle() const { return handle_.Get(); }
  bool Sent() const { return sent_; }
  // The handle was closed by a CancelWatch.
  void Forget() { handle_.Release(); }
};

}  // namespace

namespace {

// Watches a request's latch while WinInet blocks in a call on the request: once the latch is
// triggered, a thread of the watch's own closes the request handle, which ends the call at once
// (WinInet's way to abort a synchronous call). The latch is looked at every 20 ms.
class CancelWatch {
 public:
  CancelWatch(const TWaitInterrupt* latch, HINTERNET request) : latch_(latch), request_(request) {
    if (latch_ != nullptr) thread_ = std::thread([this] { Run(); });
  }
  ~CancelWatch() { Stop(); }
  CancelWatch(const CancelWatch&) = delete;
  CancelWatch& operator=(const CancelWatch&) = delete;

  // Ends the watch; from then on the handle is closed by its owner, unless Fired().
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  bool Fired() const { return fired_; }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_) {
      if (latch_->Triggered()) {
        fired_ = true;
        InternetCloseHandle(request_);
        return;
      }
      wake_.wait_for(lock, std::chrono::milliseconds(20));
    }
  }

  const TWaitInterrupt* latch_;
  HINTERNET request_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;   // guarded by mutex_
  bool fired_ = false;  // written by the watch's thread before it ends; read after Stop
  std::thread thread_;
};

}  // namespace

namespace {

// The request of `exchange` to its final answer: sent, sent again for WinInet or for a challenge
// while credentials are at hand, and the final answer's body read.
THttpResponseInfo Run(Exchange& exchange, const THttpRequest& request, TStream& body, int64_t total,
                      TStream& response, THttpObserver* observer) {
  bool complete = exchange.Send(body, total);
  for (int round = 0;; ++round) {
    if (!complete) {  // WinInet asks for the request to go again
      if (round >= kMaxAuthenticationRounds) Fail(ERROR_INTERNET_FORCE_RETRY, true);
      complete = exchange.Send(body, total);
      continue;
    }
    THttpResponseInfo info = exchange.Status();
    const bool challenged = (info.status == 401 && !request.username.empty()) ||
                            (info.status == 407 && !request.proxyUsername.empty());
    if (challenged && round < kMaxAuthenticationRounds) {
      exchange.Receive(nullptr, info, false);  // the challenge's own body
      complete = exchange.AnswerChallenge(body, total, info.status);
      continue;
    }
    const bool keep = observer ? observer->ResponseStarted(info) : true;
    exchange.Receive(keep ? &response : nullptr, info, true);
    return info;
  }
}

}  // namespace

THttpResponseInfo THttpConnection::Post(const THttpRequest& request, TStream& body,
                                        TStream& response, THttpObserver* observer) {
  TUrlParts url;
  if (!CrackUrl(request.url, url) || (url.scheme != "http" && url.scheme != "https") ||
      url.port <= 0 || url.port > 65535)
    Fail(ERROR_INTERNET_UNRECOGNIZED_SCHEME, false);
  const int64_t total = body.Size();
  if (total > int64_t(MAXDWORD))
    throw EHttpError(0, THttpFailureKind::Other, "The request body is larger than 4 GB");

  const Endpoint wanted{request.userAgent, request.proxyMode, url.host, url.port};
  try {
    if (request.interrupt != nullptr && request.interrupt->Triggered())
      throw EHttpError(int(ERROR_INTERNET_OPERATION_CANCELLED), THttpFailureKind::Cancelled,
                       kCallCancelled, false);
    impl_->Open(wanted, request.connectTimeoutMs);
    Exchange exchange(impl_->connection.Get(), request, url, observer);
    CancelWatch watch(request.interrupt, exchange.Handle());
    try {
      const THttpResponseInfo info = Run(exchange, request, body, total, response, observer);
      watch.Stop();
      if (watch.Fired()) exchange.Forget();  // closed once the answer was whole: it stands
      return info;
    } catch (...) {
      watch.Stop();
      if (!watch.Fired()) throw;
      exchange.Forget();
      throw EHttpError(int(ERROR_INTERNET_OPERATION_CANCELLED), THttpFailureKind::Cancelled,
                       kCallCancelled, exchange.Sent());
    }
  } catch (...) {
    // A failed transfer may leave a connection in an unknown state: drop every connection.
    impl_->Close();
    throw;
  }
}

bool HttpEngineTakesCaFile() {
  return false;  // WinInet trusts the system's certificate store
}

}  // namespace qorvin
