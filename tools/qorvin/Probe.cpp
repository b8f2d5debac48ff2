#include "tools/qorvin/Probe.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <random>
#include <stdexcept>

#include "platform/http/CurlLibrary.h"
#include "tools/qorvin/Csv.h"
#include "tools/qorvin/Output.h"

namespace qorvin::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kProbe[] = "PROBE";
constexpr char kAnswer[] = "PROBEDOK";
constexpr size_t kIdLength = 38;
// Longer answers are not the probe's; reading stops there.
constexpr size_t kLongestAnswer = 1024;

class ProbeFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Closes a socket on every path.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

int MsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? int(left) : 0;
}

// Waits for `events` on `fd` until the deadline; ProbeFailure when it passes.
void Wait(int fd, short events, Clock::time_point deadline, const char* what) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, MsLeft(deadline));
    if (n > 0) return;
    if (n == 0) throw ProbeFailure(std::string("no answer in time (") + what + ")");
    if (errno != EINTR) throw ProbeFailure(std::string("poll: ") + std::strerror(errno));
  }
}

struct AddressList {
  addrinfo* list = nullptr;
  ~AddressList() {
    if (list) freeaddrinfo(list);
  }
};

// A non-blocking socket connected to the first address of host:port that accepts.
int Connect(const ProbeTarget& t, int type, Clock::time_point deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = type;
  AddressList found;
  const std::string port = std::to_string(t.port);
  const int rc = getaddrinfo(t.host.c_str(), port.c_str(), &hints, &found.list);
  if (rc != 0) throw ProbeFailure("cannot resolve " + t.host + ": " + gai_strerror(rc));
  std::string why = "no address";
  for (addrinfo* a = found.list; a != nullptr; a = a->ai_next) {
    const int fd =
        socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      why = std::strerror(errno);
      continue;
    }
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) return fd;
    if (errno == EINPROGRESS) {
      try {
        Wait(fd, POLLOUT, deadline, "connecting");
      } catch (...) {
        close(fd);
        throw;
      }
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err == 0) return fd;
      why = std::strerror(err);
    } else {
      why = std::strerror(errno);
    }
    close(fd);
  }
  throw ProbeFailure("cannot connect: " + why);
}

void SendAll(int fd, const std::string& bytes, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += size_t(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      Wait(fd, POLLOUT, deadline, "sending");
    } else {
      throw ProbeFailure(std::string("send: ") + std::strerror(errno));
    }
  }
}

std::string ReceiveExactly(int fd, size_t count, Clock::time_point deadline) {
  std::string out(count, '\0');
  size_t got = 0;
  while (got < count) {
    const ssize_t n = recv(fd, out.data() + got, count - got, 0);
    if (n > 0) {
      got += size_t(n);
    } else if (n == 0) {
      throw ProbeFailure("the server closed the connection");
    } else if (errno == EAGAIN || errno == EINTR) {
      Wait(fd, POLLIN, deadline, "reading");
    } else {
      throw ProbeFailure(std::string("receive: ") + std::strerror(errno));
    }
  }
  return out;
}

std::string ProbeTcp(const ProbeTarget& t, Clock::time_point deadline) {
  Socket s(Connect(t, SOCK_STREAM, deadline));
  SendAll(s.fd(), std::string("\0\0\0\5", 4) + kProbe, deadline);
  const std::string head = ReceiveExactly(s.fd(), 4, deadline);
  const uint32_t length = uint32_t(uint8_t(head[0])) << 24 | uint32_t(uint8_t(head[1])) << 16 |
                          uint32_t(uint8_t(head[2])) << 8 | uint32_t(uint8_t(head[3]));
  if (length > kLongestAnswer)
    throw ProbeFailure("unexpected answer (a frame of " + std::to_string(length) + " bytes)");
  return ReceiveExactly(s.fd(), length, deadline);
}

std::string RequestId() {
  static const char* kHex = "0123456789ABCDEF";
  std::random_device random;
  std::string id = "{";
  for (int group : {8, 4, 4, 4, 12}) {
    if (id.size() > 1) id += '-';
    for (int i = 0; i < group; ++i) id += kHex[random() % 16];
  }
  return id + "}";
}

std::string ProbeUdp(const ProbeTarget& t, Clock::time_point deadline) {
  Socket s(Connect(t, SOCK_DGRAM, deadline));
  const std::string id = RequestId();
  SendAll(s.fd(), id + kProbe, deadline);
  std::string datagram(65536, '\0');
  for (;;) {
    Wait(s.fd(), POLLIN, deadline, "no datagram came back");
    const ssize_t n = recv(s.fd(), datagram.data(), datagram.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n < 0) throw ProbeFailure(std::string("receive: ") + std::strerror(errno));
    if (size_t(n) >= kIdLength && datagram.compare(0, kIdLength, id) == 0)
      return datagram.substr(kIdLength, size_t(n) - kIdLength);
    // Someone else's datagram: keep waiting for ours.
  }
}

size_t CollectBody(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  const size_t n = size * count;
  if (body->size() + n > kLongestAnswer) return 0;  // not the probe's answer: stop
  body->append(data, n);
  return n;
}

std::string ProbeHttp(const ProbeTarget& t, Clock::time_point deadline) {
  std::string loadError;
  const TCurlLibrary* lib = LoadCurl(loadError);
  if (lib == nullptr) throw ProbeFailure(loadError);
  const TCurlLibrary& curl = *lib;
  std::unique_ptr<CURL, void (*)(CURL*)> easy(curl.easy_init(), curl.easy_cleanup);
  if (!easy) throw ProbeFailure("libcurl did not start");
  const std::string url = "http://" + t.host + ":" + std::to_string(t.port) + "/Bin";
  std::string body;
  curl_slist* headers = curl.slist_append(nullptr, "Content-Type: application/octet-stream");
  std::unique_ptr<curl_slist, void (*)(curl_slist*)> keepHeaders(headers, curl.slist_free_all);
  CURL* h = easy.get();
  curl.easy_setopt(h, CURLOPT_URL, url.c_str());
  curl.easy_setopt(h, CURLOPT_POSTFIELDS, kProbe);
  curl.easy_setopt(h, CURLOPT_POSTFIELDSIZE, long(sizeof kProbe - 1));
  curl.easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  curl.easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl.easy_setopt(h, CURLOPT_NOPROXY, "*");
  curl.easy_setopt(h, CURLOPT_TIMEOUT_MS, long(std::max(1, MsLeft(deadline))));
  curl.easy_setopt(h, CURLOPT_WRITEFUNCTION, CollectBody);
  curl.easy_setopt(h, CURLOPT_WRITEDATA, &body);
  const CURLcode rc = curl.easy_perform(h);
  if (rc == CURLE_WRITE_ERROR) throw ProbeFailure("unexpected answer (a long body)");
  if (rc != CURLE_OK) throw ProbeFailure(curl.easy_strerror(rc));
  long status = 0;
  curl.easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) throw ProbeFailure("HTTP status " + std::to_string(status));
  return body;
}

ProbeResult ProbeOne(const ProbeTarget& t, int timeoutMs) {
  ProbeResult r;
  r.target = t;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::milliseconds(timeoutMs);
  try {
    const std::string answer = t.letter == 'H'   ? ProbeHttp(t, deadline)
                               : t.letter == 'U' ? ProbeUdp(t, deadline)
                                                 : ProbeTcp(t, deadline);
    r.ok = answer == kAnswer;
    if (!r.ok)
      r.error = "unexpected answer \"" + VisibleText(answer.substr(0, 40)) + "\" (" +
                std::to_string(answer.size()) + " bytes)";
  } catch (const std::exception& e) {
    r.error = e.what();
  }
  r.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return r;
}

std::string Milliseconds(double ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", ms);
  return buf;
}

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(static_cast<unsigned char>(c)));
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

std::vector<ProbeResult> ProbeAll(const std::vector<ProbeTarget>& targets, int timeoutMs) {
  // libcurl (for HTTP probes) is loaded, and set up once, by the first probe that needs it.
  std::vector<std::future<ProbeResult>> running;
  for (const ProbeTarget& t : targets)
    running.push_back(std::async(std::launch::async, ProbeOne, t, timeoutMs));
  std::vector<ProbeResult> results;
  for (auto& f : running) results.push_back(f.get());
  return results;
}

std::string RenderProbes(const std::vector<ProbeResult>& results, const std::string& format) {
  std::string out;
  if (format == "csv") AppendCsvRecord(out, {"server", "ok", "ms", "error"});
  for (const ProbeResult& r : results) {
    const std::string ms = Milliseconds(r.ms);
    if (format == "json") {
      out += "{\"server\":" + JsonText(r.target.url) + ",\"ok\":" + (r.ok ? "true" : "false") +
             ",\"ms\":" + ms + (r.ok ? "" : ",\"error\":" + JsonText(r.error)) + "}\n";
    } else if (format == "csv") {
      AppendCsvRecord(out,
                      {r.target.url, r.ok ? "true" : "false", ms, r.ok ? Cell() : Cell(r.error)});
    } else {
      out += VisibleText(r.target.url) + " " +
             (r.ok ? "PROBEDOK " + ms + " ms" : "failed " + ms + " ms: " + VisibleText(r.error)) +
             "\n";
    }
  }
  return out;
}

}  // namespace qorvin::cli
