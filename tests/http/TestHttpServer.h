// A small HTTP/1.1 server for tests on 127.0.0.1 (port picked by the system). It reads each
// request (headers up to 64 KiB, a body of Content-Length bytes), records it, and lets the
// test's handler answer — properly or not. Several requests may arrive on one connection; the
// server serves them in turn until the client closes, the handler asks to close, or Stop().
// Every wait is bounded (see tests/socket/TestServers.h).
#pragma once

#include <strings.h>

#include <mutex>
#include <string>
#include <vector>

#include "tests/socket/TestServers.h"

namespace qorvin::testing {

struct HttpRequestSeen {
  std::string method;
  std::string path;
  std::vector<std::string> headers;  // "Name: value" lines in order
  std::string body;
  int connection = 0;  // 1-based number of the connection it came on

  // The value of the first header `name` (case-insensitive); empty when absent.
  std::string Header(const std::string& name) const {
    for (const std::string& h : headers)
      if (h.size() > name.size() && h[name.size()] == ':' &&
          strncasecmp(h.c_str(), name.c_str(), name.size()) == 0) {
        size_t i = name.size() + 1;
        while (i < h.size() && h[i] == ' ') ++i;
        return h.substr(i);
      }
    return {};
  }
  int Count(const std::string& name) const {
    int n = 0;
    for (const std::string& h : headers)
      if (h.size() > name.size() && h[name.size()] == ':' &&
          strncasecmp(h.c_str(), name.c_str(), name.size()) == 0)
        ++n;
    return n;
  }
};

// Builds a complete response with a Content-Length.
inline std::string HttpResponse(int status, const std::string& reason, const std::string& body,
                                const std::string& extraHeaders = {}) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n" +
         body;
}

class TestHttpServer {
 public:
  // handler(request, fd, stop) answers one request; returns false to close the connection.
  using Handler =
      std::function<bool(const HttpRequestSeen& request, int fd, const std::atomic<bool>& stop)>;

  explicit TestHttpServer(Handler handler)
      : handler_(std::move(handler)),
        tcp_([this](int fd, const std::atomic<bool>& stop) { Serve(fd, stop); }) {}

  int Port() const { return tcp_.Port(); }
  int Connections() const { return tcp_.Accepted(); }
  std::string Url(const std::string& path = "/Bin") const {
    return "http://127.0.0.1:" + std::to_string(Port()) + path;
  }
  std::vector<HttpRequestSeen> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  void Stop() { tcp_.Stop(); }

 private:
  static bool ReadRequest(int fd, HttpRequestSeen& r, int timeoutMs) {
    std::string head;
    while (head.size() < 65536 && head.find("\r\n\r\n") == std::string::npos) {
      char c;
      if (!ReadExact(fd, &c, 1, timeoutMs)) return false;
      head += c;
    }
    const size_t end = head.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const size_t s1 = requestLine.find(' ');
    const size_t s2 = requestLine.find(' ', s1 + 1);
    if (s1 == std::string::npos || s2 == std::string::npos) return false;
    r.method = requestLine.substr(0, s1);
    r.path = requestLine.substr(s1 + 1, s2 - s1 - 1);
    size_t pos = lineEnd + 2;
    while (pos < end) {
      lineEnd = head.find("\r\n", pos);
      r.headers.push_back(head.substr(pos, lineEnd - pos));
      pos = lineEnd + 2;
    }
    const std::string length = r.Header("Content-Length");
    const size_t n = length.empty() ? 0 : std::stoul(length);
    if (n > (64u << 20)) return false;
    r.body.assign(n, '\0');
    return n == 0 || ReadExact(fd, r.body.data(), n, timeoutMs);
  }

  void Serve(int fd, const std::atomic<bool>& stop) {
    const int connection = ++connections_;
    while (!stop) {
      HttpRequestSeen r;
      r.connection = connection;
      if (!WaitReadableUnlessStopped(fd, stop, 3000) || !ReadRequest(fd, r, 3000)) return;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(r);
      }
      if (!handler_(r, fd, stop)) return;
    }
  }

  Handler handler_;
  mutable std::mutex mutex_;
  std::vector<HttpRequestSeen> requests_;
  int connections_ = 0;
  TestTcpServer tcp_;  // last: its thread starts once everything above exists
};

}  // namespace qorvin::testing
