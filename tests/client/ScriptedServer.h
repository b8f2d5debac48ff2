// One scripted middleware peer for the client tests, listening on 127.0.0.1 for all three
// transports at once (ports picked by the system): TCP length-prefixed frames, HTTP POST, UDP
// datagrams with a 38-character request ID. Every request is recorded and answered by the
// test's responder; a responder that returns kNoAnswer makes the server drop the request (TCP:
// close the connection; HTTP: close without a response; UDP: stay silent).
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tests/http/TestHttpServer.h"
#include "tests/socket/TestServers.h"

namespace qorvin::testing {

inline const std::string kNoAnswer = "\x01no-answer\x01";

class ScriptedServer {
 public:
  using Responder = std::function<std::string(const std::string& request)>;

  explicit ScriptedServer(Responder responder)
      : responder_(std::move(responder)),
        tcp_([this](int fd, const std::atomic<bool>& stop) { ServeTcp(fd, stop); }),
        http_([this](const HttpRequestSeen& r, int fd, const std::atomic<bool>&) {
          return ServeHttp(r, fd);
        }),
        udp_([this](TestUdpServer& server, const TestUdpServer::Datagram& d) {
          ServeUdp(server, d);
        }) {}

  ~ScriptedServer() {
    tcp_.Stop();
    http_.Stop();
    udp_.Stop();
  }

  // The port for a connection letter.
  int Port(char letter) const {
    switch (letter) {
      case 'H':
        return http_.Port();
      case 'U':
        return udp_.Port();
      default:
        return tcp_.Port();
    }
  }
  int TcpConnections() const { return tcp_.Accepted(); }
  int HttpConnections() const { return http_.Connections(); }
  std::vector<HttpRequestSeen> HttpRequests() const { return http_.Requests(); }

  std::vector<std::string> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  std::string LastRequest() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.empty() ? std::string() : requests_.back();
  }

 private:
  std::string Answer(const std::string& request) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    return responder_(request);
  }

  void ServeTcp(int fd, const std::atomic<bool>& stop) {
    std::string payload;
    while (!stop && ReadFrame(fd, payload, 2000)) {
      const std::string reply = Answer(payload);
      if (reply == kNoAnswer || !WriteFrame(fd, reply)) break;
    }
  }

  bool ServeHttp(const HttpRequestSeen& r, int fd) {
    if (r.method != "POST" || r.path != "/Bin") {
      WriteAll(fd, HttpResponse(404, "Not Found", "no such path"));
      return true;
    }
    const std::string reply = Answer(r.body);
    if (reply == kNoAnswer) return false;
    WriteAll(fd, HttpResponse(200, "OK", reply, "Content-Type: application/binary\r\n"));
    return true;
  }

  void ServeUdp(TestUdpServer& server, const TestUdpServer::Datagram& d) {
    if (d.bytes.size() < 38) return;
    const std::string reply = Answer(d.bytes.substr(38));
    if (reply == kNoAnswer) return;
    server.Send(d.from, d.bytes.substr(0, 38) + reply);
  }

  Responder responder_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  TestTcpServer tcp_;
  TestHttpServer http_;
  TestUdpServer udp_;
};

}  // namespace qorvin::testing
