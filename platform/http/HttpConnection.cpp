#include "platform/http/HttpConnection.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "platform/http/CurlLibrary.h"
#include "platform/socket/WaitInterrupt.h"

namespace qorvin {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kNoAnswer[] = "Empty reply from server";
constexpr char kCutHeaders[] = "Connection closed before the end of the response headers";

// libcurl, loaded by the first call (see CurlLibrary.h): a library that cannot be loaded fails
// the connection's construction with EHttpError, so every later call finds it loaded.
const TCurlLibrary& Curl() {
  std::string error;
  const TCurlLibrary* lib = LoadCurl(error);
  if (lib == nullptr) throw EHttpError(CURLE_FAILED_INIT, THttpFailureKind::Other, error);
  return *lib;
}

bool HasHeader(const std::vector<std::string>& headers, const char* name) {
  const size_t n = std::strlen(name);
  return std::any_of(headers.begin(), headers.end(), [&](const std::string& h) {
    return h.size() > n && h[n] == ':' && strncasecmp(h.c_str(), name, n) == 0;
  });
}

// The state of one transfer, shared with libcurl's callbacks.
struct Transfer {
  CURL* curl = nullptr;
  TStream* body = nullptr;
  int64_t total = 0;
  int64_t sent = 0;
  TStream* response = nullptr;
  THttpObserver* observer = nullptr;
  THttpResponseInfo info;
  bool keepBody = false;
  // Whether the final header block (status 200 or more) reached its blank line.
  bool headersEnded = false;
  int64_t received = 0;
  std::exception_ptr error;
  // Idle detection: from the moment the request goes out, the time since bytes last moved.
  int idleMs = 0;
  Clock::time_point lastActivity;
  curl_off_t lastUp = 0;
  curl_off_t lastDown = 0;
  bool idleExpired = false;
  // The caller's latch, and whether it ended the transfer.
  const TWaitInterrupt* interrupt = nullptr;
  bool cancelled = false;
  // Resend guard: how many times the request went out, and whether the server answered (sent a
  // status line) since it last went out.
  int requestsSent = 0;
  bool answeredSinceSent = false;
  bool resendRefused = false;
};

// Called by libcurl right before each time the request goes out on a connection. A request goes
// out again only after the server answered the previous one (authentication asks for that); a
// request that got no answer may have reached the server and run there — libcurl would resend
// it on a fresh connection when a reused one closed without a word — so that is refused.
int BeforeRequest(void* user, char*, char*, int, int) {
  auto* t = static_cast<Transfer*>(user);
  if (t->requestsSent > 0 && !t->answeredSinceSent) {
    t->resendRefused = true;
    return CURL_PREREQFUNC_ABORT;
  }
  ++t->requestsSent;
  t->answeredSinceSent = false;
  t->lastActivity = Clock::now();  // the idle bound runs from here on
  return CURL_PREREQFUNC_OK;
}

size_t ReadBody(char* buffer, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const int64_t want =
      std::min<int64_t>({int64_t(size * count), THttpConnection::kPieceSize, t->total - t->sent});
  if (want <= 0) return 0;
  t->lastActivity = Clock::now();
  try {
    const int64_t got = t->body->Read(buffer, want);
    if (got <= 0) return CURL_READFUNC_ABORT;  // the body shrank under us
    t->sent += got;
    if (t->observer) t->observer->BodySent(t->sent, t->total);
    return size_t(got);
  } catch (...) {
    t->error = std::current_exception();
    return CURL_READFUNC_ABORT;
  }
}

int SeekBody(void* user, curl_off_t offset, int origin) {
  auto* t = static_cast<Transfer*>(user);
  if (origin != SEEK_SET || offset < 0 || offset > t->total) return CURL_SEEKFUNC_CANTSEEK;
  try {
    t->body->SetPosition(offset);
    t->sent = offset;
    return CURL_SEEKFUNC_OK;
  } catch (...) {
    return CURL_SEEKFUNC_FAIL;
  }
}

// Parses "HTTP/1.1 404 Not Found" into status and reason.
void ParseStatusLine(std::string_view line, THttpResponseInfo& info) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  const size_t space = line.find(' ');
  if (space == std::string_view::npos) return;
  std::string_view rest = line.substr(space + 1);
  int status = 0;
  size_t i = 0;
  for (; i < rest.size() && i < 3 && rest[i] >= '0' && rest[i] <= '9'; ++i)
    status = status * 10 + (rest[i] - '0');
  info.status = status;
  info.reason = i < rest.size() ? std::string(rest.substr(i + 1)) : std::string();
  info.contentLength = -1;
}

void ParseContentLength(std::string_view line, THttpResponseInfo& info) {
  constexpr std::string_view name = "content-length:";
  if (line.size() <= name.size() || strncasecmp(line.data(), name.data(), name.size()) != 0) return;
  int64_t value = 0;
  bool digits = false;
  for (char c : line.substr(name.size())) {
    if (c == ' ' || c == '\t') {
      if (digits) break;
      continue;
    }
    if (c < '0' || c > '9') break;
    if (value > (INT64_MAX - 9) / 10) return;  // absurd length: treat as unknown
    value = value * 10 + (c - '0');
    digits = true;
  }
  if (digits) info.contentLength = value;
}

size_t ReceiveHeader(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  t->lastActivity = Clock::now();
  const std::string_view line(data, size * count);
  if (line.starts_with("HTTP/")) {
    t->answeredSinceSent = true;
    ParseStatusLine(line, t->info);
    t->keepBody = false;
    t->headersEnded = false;
  } else if (line == "\r\n" || line == "\n") {
    // End of one header block; 1xx blocks are followed by the real response.
    if (t->info.status >= 200) {
      t->headersEnded = true;
      try {
        t->keepBody = t->observer ? t->observer->ResponseStarted(t->info) : true;
      } catch (...) {
        t->error = std::current_exception();
        return 0;
      }
    }
  } else {
    ParseContentLength(line, t->info);
  }
  return size * count;
}

size_t ReceiveBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
  t->lastActivity = Clock::now();
  if (!t->keepBody) return n;
  try {
    t->response->WriteBuffer(data, int64_t(n));
    t->received += int64_t(n);
    if (t->observer) t->observer->BodyReceived(t->received, t->info.contentLength);
    return n;
  } catch (...) {
    t->error = std::current_exception();
    return 0;
  }
}

// Any movement of bytes counts as activity for the idle bound (the check itself is in Post). A
// triggered latch aborts the transfer from inside libcurl's own work.
int WatchProgress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
  auto* t = static_cast<Transfer*>(user);
  if (t->interrupt && t->interrupt->Triggered()) {
    t->cancelled = true;
    return 1;
  }
  if (down != t->lastDown || up != t->lastUp) {
    t->lastDown = down;
    t->lastUp = up;
    t->lastActivity = Clock::now();
  }
  return 0;
}

THttpFailureKind Classify(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return THttpFailureKind::TimedOut;
    case CURLE_PEER_FAILED_VERIFICATION:
      return THttpFailureKind::ServerCertificate;
    case CURLE_SSL_CLIENTCERT:
      return THttpFailureKind::ClientCertificate;
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return THttpFailureKind::CouldNotConnect;
    default:
      return THttpFailureKind::Other;
  }
}

// Frees a curl_slist on every path.
struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { Curl().slist_free_all(list); }
  void Add(const std::string& line) {
    curl_slist* next = Curl().slist_append(list, line.c_str());
    if (next == nullptr)
      throw EHttpError(CURLE_OUT_OF_MEMORY, THttpFailureKind::Other,
                       Curl().easy_strerror(CURLE_OUT_OF_MEMORY));
    list = next;
  }
};

}  // namespace

// The easy handle carries the options of one request; the multi handle drives it and keeps the
// open connections between requests.
struct THttpConnection::Impl {
  CURL* curl = nullptr;
  CURLM* multi = nullptr;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  Impl() {
    curl = Curl().easy_init();
    multi = Curl().multi_init();
    if (curl == nullptr || multi == nullptr) {
      Free();
      throw EHttpError(CURLE_FAILED_INIT, THttpFailureKind::Other,
                       Curl().easy_strerror(CURLE_FAILED_INIT));
    }
  }
  ~Impl() { Free(); }
  void Free() noexcept {
    if (multi) Curl().multi_cleanup(multi);
    if (curl) Curl().easy_cleanup(curl);
    multi = nullptr;
    curl = nullptr;
  }
  // Replaces both handles (closing every connection); keeps the old ones if no new ones can be
  // made.
  void Renew() noexcept {
    CURL* freshEasy = Curl().easy_init();
    CURLM* freshMulti = Curl().multi_init();
    if (freshEasy == nullptr || freshMulti == nullptr) {
      if (freshEasy) Curl().easy_cleanup(freshEasy);
      if (freshMulti) Curl().multi_cleanup(freshMulti);
      return;
    }
    Free();
    curl = freshEasy;
    multi = freshMulti;
  }
  // Runs the transfer of `c` to its end, or until `t`'s idle bound runs out (then the result is
  // CURLE_ABORTED_BY_CALLBACK with t.idleExpired set) or its latch is triggered (the same
  // result with t.cancelled set). The latch's handle is in every poll, so a trigger wakes it.
  CURLcode Run(Transfer& t);
};

CURLcode THttpConnection::Impl::Run(Transfer& t) {
  if (const CURLMcode added = Curl().multi_add_handle(multi, curl); added != CURLM_OK)
    throw EHttpError(CURLE_FAILED_INIT, THttpFailureKind::Other, Curl().multi_strerror(added));
  struct Removal {
    CURLM* multi;
    CURL* curl;
    ~Removal() { Curl().multi_remove_handle(multi, curl); }
  } removal{multi, curl};
  const auto idle = std::chrono::milliseconds(t.idleMs);
  curl_waitfd latch{};
  if (t.interrupt) {
    latch.fd = t.interrupt->Handle();
    latch.events = CURL_WAIT_POLLIN;
  }
  for (;;) {
    if (t.interrupt && t.interrupt->Triggered()) {
      t.cancelled = true;
      return CURLE_ABORTED_BY_CALLBACK;
    }
    int running = 0;
    const CURLMcode performed = Curl().multi_perform(multi, &running);
    if (performed != CURLM_OK)
      throw EHttpError(CURLE_SEND_ERROR, THttpFailureKind::Other, Curl().multi_strerror(performed));
    int queued = 0;
    while (CURLMsg* message = Curl().multi_info_read(multi, &queued))
      if (message->msg == CURLMSG_DONE && message->easy_handle == curl) return message->data.result;
    if (running == 0) return CURLE_GOT_NOTHING;  // ended without a word (not expected)
    // Wake up at least once a second, and in time for the idle bound once the request is out;
    // the connect bound is libcurl's own timer, which the poll honours.
    int waitMs = 1000;
    if (t.requestsSent > 0) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(t.lastActivity + idle - Clock::now());
      if (left.count() <= 0) {
        t.idleExpired = true;
        return CURLE_ABORTED_BY_CALLBACK;
      }
      waitMs = int(std::min<int64_t>(waitMs, left.count()));
    }
    if (const CURLMcode polled = Curl().multi_poll(multi, t.interrupt ? &latch : nullptr,
                                                   t.interrupt ? 1 : 0, waitMs, nullptr);
        polled != CURLM_OK)
      throw EHttpError(CURLE_RECV_ERROR, THttpFailureKind::Other, Curl().multi_strerror(polled));
  }
}

THttpConnection::THttpConnection() {
  Curl();
  impl_ = std::make_unique<Impl>();
}

THttpConnection::~THttpConnection() = default;

THttpResponseInfo THttpConnection::Post(const THttpRequest& request, TStream& body,
                                        TStream& response, THttpObserver* observer) {
  CURL* c = impl_->curl;
  // Reset drops every option of the previous request but keeps the open connections.
  Curl().easy_reset(c);
  impl_->errorBuffer[0] = '\0';

  Transfer t;
  t.curl = c;
  t.body = &body;
  t.total = body.Size();
  t.response = &response;
  t.observer = observer;
  t.idleMs = std::max(1, request.idleTimeoutMs);
  t.lastActivity = Clock::now();
  t.interrupt = request.interrupt;
  body.SetPosition(0);

  HeaderList headers;
  for (const std::string& h : request.headers)
    if (!HasHeader({h}, "Content-Length")) headers.Add(h);
  // libcurl would add these on its own; the request carries only what the caller gave.
  if (!HasHeader(request.headers, "Content-Type")) headers.Add("Content-Type:");
  if (!HasHeader(request.headers, "Accept")) headers.Add("Accept:");
  if (!HasHeader(request.headers, "Expect")) headers.Add("Expect:");

  Curl().easy_setopt(c, CURLOPT_ERRORBUFFER, impl_->errorBuffer);
  Curl().easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  Curl().easy_setopt(c, CURLOPT_URL, request.url.c_str());
  Curl().easy_setopt(c, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
  Curl().easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  Curl().easy_setopt(c, CURLOPT_POST, 1L);
  Curl().easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(t.total));
  Curl().easy_setopt(c, CURLOPT_READFUNCTION, ReadBody);
  Curl().easy_setopt(c, CURLOPT_READDATA, &t);
  Curl().easy_setopt(c, CURLOPT_SEEKFUNCTION, SeekBody);
  Curl().easy_setopt(c, CURLOPT_SEEKDATA, &t);
  Curl().easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, long(kPieceSize));
  Curl().easy_setopt(c, CURLOPT_HEADERFUNCTION, ReceiveHeader);
  Curl().easy_setopt(c, CURLOPT_HEADERDATA, &t);
  Curl().easy_setopt(c, CURLOPT_WRITEFUNCTION, ReceiveBody);
  Curl().easy_setopt(c, CURLOPT_WRITEDATA, &t);
  Curl().easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  Curl().easy_setopt(c, CURLOPT_XFERINFOFUNCTION, WatchProgress);
  Curl().easy_setopt(c, CURLOPT_XFERINFODATA, &t);
  Curl().easy_setopt(c, CURLOPT_PREREQFUNCTION, BeforeRequest);
  Curl().easy_setopt(c, CURLOPT_PREREQDATA, &t);
  Curl().easy_setopt(c, CURLOPT_HTTPHEADER, headers.list);
  Curl().easy_setopt(c, CURLOPT_USERAGENT, request.userAgent.c_str());
  Curl().easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, long(std::max(1, request.connectTimeoutMs)));
  Curl().easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  Curl().easy_setopt(c, CURLOPT_SSL_VERIFYPEER, request.verifyPeer ? 1L : 0L);
  Curl().easy_setopt(c, CURLOPT_SSL_VERIFYHOST, request.verifyPeer ? 2L : 0L);
  // The trusted certificates: libcurl's defaults (the system's bundle), unless OpenSSL's own
  // variables SSL_CERT_FILE / SSL_CERT_DIR name others, as they do for OpenSSL's tools.
  if (const char* file = std::getenv("SSL_CERT_FILE"); file != nullptr && *file != '\0')
    Curl().easy_setopt(c, CURLOPT_CAINFO, file);
  if (const char* dir = std::getenv("SSL_CERT_DIR"); dir != nullptr && *dir != '\0')
    Curl().easy_setopt(c, CURLOPT_CAPATH, dir);
  if (!request.caFile.empty()) Curl().easy_setopt(c, CURLOPT_CAINFO, request.caFile.c_str());
  if (request.proxyMode == THttpProxyMode::Direct) Curl().easy_setopt(c, CURLOPT_PROXY, "");
  if (!request.username.empty()) {
    Curl().easy_setopt(c, CURLOPT_USERNAME, request.username.c_str());
    Curl().easy_setopt(c, CURLOPT_PASSWORD, request.password.c_str());
    Curl().easy_setopt(c, CURLOPT_HTTPAUTH, long(CURLAUTH_ANY));
  }
  if (!request.proxyUsername.empty()) {
    Curl().easy_setopt(c, CURLOPT_PROXYUSERNAME, request.proxyUsername.c_str());
    Curl().easy_setopt(c, CURLOPT_PROXYPASSWORD, request.proxyPassword.c_str());
    Curl().easy_setopt(c, CURLOPT_PROXYAUTH, long(CURLAUTH_ANY));
  }

  CURLcode rc;
  try {
    rc = impl_->Run(t);
  } catch (...) {
    impl_->Renew();
    throw;
  }
  // Nothing of this call may be used by the next one.
  Curl().easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
  Curl().easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
  if (t.error || rc != CURLE_OK) {
    // A failed transfer may leave a connection in an unknown state: drop every connection.
    const std::string text = impl_->errorBuffer[0] ? impl_->errorBuffer : Curl().easy_strerror(rc);
    impl_->Renew();
    if (t.error) std::rethrow_exception(t.error);
    // The same failure a fresh connection closed without an answer gives.
    const bool sent = t.requestsSent > 0;
    if (t.resendRefused)
      throw EHttpError(CURLE_GOT_NOTHING, THttpFailureKind::Other, kNoAnswer, sent);
    if (t.cancelled)
      throw EHttpError(CURLE_ABORTED_BY_CALLBACK, THttpFailureKind::Cancelled, kCallCancelled,
                       sent);
    if (rc == CURLE_ABORTED_BY_CALLBACK && t.idleExpired)
      throw EHttpError(rc, THttpFailureKind::TimedOut,
                       Format("The operation timed out (no data for %d ms)", t.idleMs), sent);
    throw EHttpError(rc, Classify(rc), text, sent);
  }
  // libcurl reports success when the connection closes after the status line but before the
  // headers end; such an answer is cut off, never an empty one.
  if (!t.headersEnded) {
    impl_->Renew();
    throw EHttpError(CURLE_PARTIAL_FILE, THttpFailureKind::Other, kCutHeaders, true);
  }
  return t.info;
}

bool HttpEngineTakesCaFile() {
  return true;
}

}  // namespace qorvin
