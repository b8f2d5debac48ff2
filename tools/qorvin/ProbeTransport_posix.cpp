// Probes over POSIX sockets (non-blocking, each wait a poll bounded by the deadline) and libcurl,
// loaded when an HTTP probe needs it with the HTTP engine's loader.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/http/CurlLibrary.h"
#include "tools/qorvin/ProbeTransport.h"

namespace qorvin::cli {

namespace {

// Waits for `events` on `fd` until the deadline; ProbeFailure when it passes.
void Wait(int fd, short events, ProbeClock::time_point deadline, const char* what) {
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
int Connect(const ProbeTarget& t, int type, ProbeClock::time_point deadline) {
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

size_t CollectBody(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<std::pair<std::string, size_t>*>(user);
  const size_t n = size * count;
  if (sink->first.size() + n > sink->second) return 0;  // not the probe's answer: stop
  sink->first.append(data, n);
  return n;
}

}  // namespace

int MsLeft(ProbeClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ProbeClock::now()).count();
  return left > 0 ? int(left) : 0;
}

void ProbeStartUp() {
  // libcurl (for HTTP probes) is loaded, and set up once, by the first probe that needs it.
}

ProbeSocket::ProbeSocket(const ProbeTarget& target, bool datagram, ProbeClock::time_point deadline)
    : socket_(Connect(target, datagram ? SOCK_DGRAM : SOCK_STREAM, deadline)),
      deadline_(deadline) {}

ProbeSocket::~ProbeSocket() {
  close(int(socket_));
}

void ProbeSocket::SendAll(const std::string& bytes) {
  const int fd = int(socket_);
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += size_t(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      Wait(fd, POLLOUT, deadline_, "sending");
    } else {
      throw ProbeFailure(std::string("send: ") + std::strerror(errno));
    }
  }
}

std::string ProbeSocket::ReceiveExactly(size_t count) {
  const int fd = int(socket_);
  std::string out(count, '\0');
  size_t got = 0;
  while (got < count) {
    const ssize_t n = recv(fd, out.data() + got, count - got, 0);
    if (n > 0) {
      got += size_t(n);
    } else if (n == 0) {
      throw ProbeFailure("the server closed the connection");
    } else if (errno == EAGAIN || errno == EINTR) {
      Wait(fd, POLLIN, deadline_, "reading");
    } else {
      throw ProbeFailure(std::string("receive: ") + std::strerror(errno));
    }
  }
  return out;
}

std::string ProbeSocket::ReceiveDatagram() {
  const int fd = int(socket_);
  std::string datagram(65536, '\0');
  for (;;) {
    Wait(fd, POLLIN, deadline_, "no datagram came back");
    const ssize_t n = recv(fd, datagram.data(), datagram.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n < 0) throw ProbeFailure(std::string("receive: ") + std::strerror(errno));
    datagram.resize(size_t(n));
    return datagram;
  }
}

std::string HttpProbePost(const std::string& url, const std::string& body, size_t longest,
                          ProbeClock::time_point deadline) {
  std::string loadError;
  const TCurlLibrary* lib = LoadCurl(loadError);
  if (lib == nullptr) throw ProbeFailure(loadError);
  const TCurlLibrary& curl = *lib;
  std::unique_ptr<CURL, void (*)(CURL*)> easy(curl.easy_init(), curl.easy_cleanup);
  if (!easy) throw ProbeFailure("libcurl did not start");
  std::pair<std::string, size_t> sink{std::string(), longest};
  curl_slist* headers = curl.slist_append(nullptr, "Content-Type: application/octet-stream");
  std::unique_ptr<curl_slist, void (*)(curl_slist*)> keepHeaders(headers, curl.slist_free_all);
  CURL* h = easy.get();
  curl.easy_setopt(h, CURLOPT_URL, url.c_str());
  curl.easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
  curl.easy_setopt(h, CURLOPT_POSTFIELDSIZE, long(body.size()));
  curl.easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  curl.easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl.easy_setopt(h, CURLOPT_NOPROXY, "*");
  curl.easy_setopt(h, CURLOPT_TIMEOUT_MS, long(std::max(1, MsLeft(deadline))));
  curl.easy_setopt(h, CURLOPT_WRITEFUNCTION, CollectBody);
  curl.easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  const CURLcode rc = curl.easy_perform(h);
  if (rc == CURLE_WRITE_ERROR) throw ProbeFailure("unexpected answer (a long body)");
  if (rc != CURLE_OK) throw ProbeFailure(curl.easy_strerror(rc));
  long status = 0;
  curl.easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) throw ProbeFailure("HTTP status " + std::to_string(status));
  return sink.first;
}

}  // namespace qorvin::cli
