// Servers of both address families behind one channel: a UDP channel switches its socket to
// the family of each server, and an IPv6 literal becomes a bracketed URL host over HTTP.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "channels/uROIndyUDPChannel.h"
#include "channels/uROWinInetHttpChannel.h"
#include "tests/socket/TestServers.h"
#include "tests/support/TestSockets.h"

namespace qorvin {
namespace {

using testing::CloseSocket;
using testing::OpenSocket;
using testing::PollSocket;

// A socket bound to ::1 on a port the system picks; -1 when IPv6 loopback is missing.
int BindLoopback6(int type, int& port) {
  const int fd = OpenSocket(AF_INET6, type);
  if (fd < 0) return -1;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    CloseSocket(fd);
    return -1;
  }
  port = ntohs(a.sin6_port);
  return fd;
}

// Answers each datagram on ::1 with its 38-character request ID and `answer`.
class Udp6Server {
 public:
  explicit Udp6Server(std::string answer) : answer_(std::move(answer)) {
    fd_ = BindLoopback6(SOCK_DGRAM, port_);
    if (fd_ >= 0) thread_ = std::thread([this] { Run(); });
  }
  ~Udp6Server() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) CloseSocket(fd_);
  }
  bool Ok() const { return fd_ >= 0; }
  int Port() const { return port_; }

 private:
  void Run() {
    std::string buffer(70000, '\0');
    while (!stop_) {
      if (PollSocket(fd_, POLLIN, 20) <= 0) continue;
      sockaddr_in6 from{};
      socklen_t len = sizeof from;
      const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 38) continue;
      const std::string reply = buffer.substr(0, 38) + answer_;
      ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  }
  std::string answer_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

// Serves one HTTP exchange on ::1: reads the request (headers and a Content-Length body) and
// answers 200 with `body`.
class Http6Server {
 public:
  explicit Http6Server(std::string body) : body_(std::move(body)) {
    fd_ = BindLoopback6(SOCK_STREAM, port_);
    if (fd_ >= 0 && ::listen(fd_, 4) == 0) thread_ = std::thread([this] { Run(); });
  }
  ~Http6Server() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) CloseSocket(fd_);
  }
  bool Ok() const { return thread_.joinable(); }
  int Port() const { return port_; }

 private:
  void Run() {
    while (!stop_) {
      if (PollSocket(fd_, POLLIN, 20) <= 0) continue;
      const int c = testing::AcceptSocket(fd_);
      if (c < 0) continue;
      std::string request;
      char piece[4096];
      size_t headerEnd = std::string::npos;
      size_t wanted = 0;
      for (int rounds = 0; rounds < 1000 && !stop_; ++rounds) {
        if (headerEnd != std::string::npos && request.size() >= headerEnd + 4 + wanted) break;
        if (PollSocket(c, POLLIN, 20) <= 0) continue;
        const ssize_t n = ::recv(c, piece, sizeof piece, 0);
        if (n <= 0) break;
        request.append(piece, size_t(n));
        headerEnd = request.find("\r\n\r\n");
        const size_t at = request.find("Content-Length: ");
        if (at != std::string::npos && at < headerEnd) wanted = std::stoul(request.substr(at + 16));
      }
      testing::WriteAll(c, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_.size()) +
                               "\r\nConnection: close\r\n\r\n" + body_);
      CloseSocket(c);
    }
  }
  std::string body_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

std::string Call(TROTransportChannel& c) {
  TMemoryStream request, response;
  request.WriteBytes("call");
  c.Dispatch(request, response);
  return std::string(response.View());
}

TEST(Ipv6, AUdpChannelServesServersOfBothFamilies) {
  Udp6Server six("six");
  if (!six.Ok()) GTEST_SKIP() << "no IPv6 loopback here";
  testing::TestUdpServer four([](testing::TestUdpServer& s, const auto& d) {
    s.Send(d.from, d.bytes.substr(0, 38) + "four");
  });
  TROIndyUDPChannel c;
  c.AddServerLocator("127.0.0.1", four.Port(), "");
  c.AddServerLocator("::1", six.Port(), "");
  c.SelectServerLocator(0);
  c.SetDispatchOptions(doFaultTolerant | doLoadBalanced);
  std::string answers;
  for (int i = 0; i < 4; ++i) answers += Call(c) + " ";
  EXPECT_EQ(answers, "six four six four ");
  EXPECT_TRUE(c.ServerLocators()[0]->Enabled());
  EXPECT_TRUE(c.ServerLocators()[1]->Enabled());
  EXPECT_EQ(c.LastServerAddress(), "127.0.0.1:" + std::to_string(four.Port()));
}

TEST(Ipv6, AnIpv6LiteralBecomesABracketedUrlHost) {
  Http6Server six("ok");
  if (!six.Ok()) GTEST_SKIP() << "no IPv6 loopback here";
  TROWinInetHTTPChannel c;
  c.AddServerLocator("::1", six.Port(), "Bin");
  c.SelectServerLocator(0);
  EXPECT_EQ(c.TargetURL(), "http://[::1]:" + std::to_string(six.Port()) + "/Bin");
  EXPECT_EQ(Call(c), "ok");
}

}  // namespace
}  // namespace qorvin
