// Minimal clients for the server's three transports, for tests: blocking POSIX sockets with a
// bounded wait on every step, and libcurl for HTTP. Failures are reported as std::runtime_error.
#pragma once

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace qorvin::server::testing {

inline constexpr int kWaitMs = 10000;

class Socket {
 public:
  explicit Socket(int type) : fd_(::socket(AF_INET, type, 0)) {
    if (fd_ < 0) throw std::runtime_error("socket() failed");
  }
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

  static sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }

  // Sends from `address` (any 127.x.y.z is loopback on Linux: a second client address without a
  // second machine).
  void BindSource(const char* address) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (::inet_pton(AF_INET, address, &a.sin_addr) != 1 ||
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error(std::string("cannot bind to ") + address);
  }

  // `address`:`port` (an IPv4 address in text).
  static sockaddr_in At(const char* address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    if (::inet_pton(AF_INET, address, &a.sin_addr) != 1)
      throw std::runtime_error(std::string("not an IPv4 address: ") + address);
    return a;
  }
  void ConnectTo(const char* address, int port) {
    sockaddr_in a = At(address, port);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error(std::string("connect to ") + address + " failed");
  }

  void Connect(int port) {
    sockaddr_in a = Loopback(port);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error("connect failed");
  }

  // Waits until readable; false when `ms` ran out.
  bool Readable(int ms) const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
  }

  void SendAll(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send failed");
      done += size_t(n);
    }
  }

  // Exactly n bytes; throws when the peer closes first or a wait runs out.
  std::string ReceiveExactly(size_t n) {
    std::string out(n, '\0');
    size_t done = 0;
    while (done < n) {
      if (!Readable(kWaitMs)) throw std::runtime_error("receive timed out");
      ssize_t got = ::recv(fd_, out.data() + done, n - done, 0);
      if (got <= 0) throw std::runtime_error("connection closed");
      done += size_t(got);
    }
    return out;
  }

  // True when the peer closed the connection (within the wait).
  bool PeerClosed() {
    if (!Readable(kWaitMs)) return false;
    char c;
    return ::recv(fd_, &c, 1, 0) == 0;
  }

  // True when the peer closed or reset the connection (within the wait).
  bool PeerClosedOrReset() {
    if (!Readable(kWaitMs)) return false;
    char c;
    const ssize_t n = ::recv(fd_, &c, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
  }

 private:
  int fd_;
};

inline std::string Frame(const std::string& payload) {
  uint32_t n = uint32_t(payload.size());
  std::string f{char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
  return f + payload;
}

// Reads one frame.
inline std::string ReadFrame(Socket& s) {
  std::string head = s.ReceiveExactly(4);
  uint32_t n = uint32_t(uint8_t(head[0])) << 24 | uint32_t(uint8_t(head[1])) << 16 |
               uint32_t(uint8_t(head[2])) << 8 | uint32_t(uint8_t(head[3]));
  return s.ReceiveExactly(n);
}

// A POST of `body` to /Bin on a kept connection.
inline std::string HttpPost(const std::string& body) {
  return "POST /Bin HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

// Reads one HTTP response with a Content-Length and returns its body.
inline std::string ReadHttpBody(Socket& s) {
  std::string head;
  while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
    if (head.size() > 65536) throw std::runtime_error("no end of the response header");
    head += s.ReceiveExactly(1);
  }
  const size_t field = head.find("Content-Length: ");
  if (field == std::string::npos) throw std::runtime_error("no Content-Length");
  return s.ReceiveExactly(std::stoul(head.substr(field + 16)));
}

// One request frame, one reply frame, on an open TCP connection.
inline std::string TcpCall(Socket& s, const std::string& payload) {
  s.SendAll(Frame(payload));
  return ReadFrame(s);
}

inline std::string TcpCall(int port, const std::string& payload) {
  Socket s(SOCK_STREAM);
  s.Connect(port);
  return TcpCall(s, payload);
}

// Sends id + payload; returns the first datagram received ("" when none came within `ms`).
inline std::string UdpCall(int port, const std::string& id, const std::string& payload,
                           int ms = kWaitMs) {
  Socket s(SOCK_DGRAM);
  sockaddr_in a = Socket::Loopback(port);
  std::string d = id + payload;
  if (::sendto(s.fd(), d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0)
    throw std::runtime_error("sendto failed");
  if (!s.Readable(ms)) return "";
  std::string buf(70000, '\0');
  ssize_t n = ::recv(s.fd(), buf.data(), buf.size(), 0);
  if (n < 0) throw std::runtime_error("recv failed");
  buf.resize(size_t(n));
  return buf;
}

struct HttpResult {
  long status = 0;
  std::string body;
  long connectsMade = 0;  // new connections this request needed (0: a kept one was reused)
};

// A libcurl easy handle kept across requests (so keep-alive can be observed).
class HttpClient {
 public:
  HttpClient() : curl_(curl_easy_init()) {
    if (!curl_) throw std::runtime_error("curl_easy_init failed");
  }
  ~HttpClient() { curl_easy_cleanup(curl_); }
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // "user:password" sent as HTTP Basic credentials from now on (empty: none).
  void SetCredentials(const std::string& userAndPassword) {
    if (userAndPassword.empty()) {
      curl_easy_setopt(curl_, CURLOPT_HTTPAUTH, long(CURLAUTH_NONE));
      curl_easy_setopt(curl_, CURLOPT_USERPWD, nullptr);
      return;
    }
    curl_easy_setopt(curl_, CURLOPT_HTTPAUTH, long(CURLAUTH_BASIC));
    curl_easy_setopt(curl_, CURLOPT_USERPWD, userAndPassword.c_str());
  }
  // HTTPS: the PEM file of the only authorities trusted from now on.
  void SetAuthority(const std::string& pemFile) {
    curl_easy_setopt(curl_, CURLOPT_CAINFO, pemFile.c_str());
    curl_easy_setopt(curl_, CURLOPT_CAPATH, nullptr);
  }
  // The value of the last response's header `name` ("" without one).
  std::string Header(const char* name) {
    curl_header* h = nullptr;
    if (curl_easy_header(curl_, name, 0, CURLH_HEADER, -1, &h) != CURLHE_OK || h == nullptr)
      return {};
    return h->value;
  }

  HttpResult Send(const std::string& url, const std::string& body, bool post = true) {
    HttpResult r;
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    if (post) {
      curl_easy_setopt(curl_, CURLOPT_POST, 1L);
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.data());
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
    } else {
      curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, long(kWaitMs));
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &HttpClient::Append);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &r.body);
    CURLcode rc = curl_easy_perform(curl_);
    if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &r.status);
    curl_easy_getinfo(curl_, CURLINFO_NUM_CONNECTS, &r.connectsMade);
    return r;
  }

 private:
  static size_t Append(char* p, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(p, size * n);
    return size * n;
  }
  CURL* curl_;
};

}  // namespace qorvin::server::testing
