#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/socket/Resolve.h"
#include "platform/socket/SocketErrors.h"
#include "platform/socket/TcpClient.h"
#include "platform/socket/UdpSocket.h"
#include "platform/socket/WaitInterrupt.h"
#include "tests/socket/TestServers.h"
#include "tests/support/TestSockets.h"

namespace qorvin {
namespace {

using testing::ReadExact;
using testing::SleepUnlessStopped;
using testing::TestTcpServer;
using testing::TestUdpServer;
using testing::WriteAll;

// A TCP port on 127.0.0.1 that is bound but not listening: connecting to it is refused.
class RefusingPort {
 public:
  RefusingPort() {
    fd_ = testing::OpenSocket(AF_INET, SOCK_STREAM);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~RefusingPort() { testing::CloseSocket(fd_); }
  int Port() const { return port_; }

 private:
  int fd_;
  int port_;
};

TEST(TcpClient, ExchangesBytesAndReportsThePeer) {
  TestTcpServer server([](int fd, const auto&) {
    char in[5];
    if (ReadExact(fd, in, 5)) WriteAll(fd, std::string(in, 5) + "-back");
  });
  TTcpClient c;
  EXPECT_FALSE(c.Connected());
  c.Connect("127.0.0.1", server.Port(), 60000);
  EXPECT_TRUE(c.Connected());
  EXPECT_EQ(c.PeerAddress(), "127.0.0.1");
  c.SetNoDelay(true);
  EXPECT_TRUE(c.NoDelay());
  c.SendAll("hello", 5, 1000);
  char out[10];
  c.ReceiveExactly(out, 10, 60000);
  EXPECT_EQ(std::string(out, 10), "hello-back");
  // The server closed after answering: a further read sees the orderly close.
  EXPECT_THROW(c.ReceiveExactly(out, 1, 60000), EIdConnClosedGracefully);
  c.Close();
  EXPECT_FALSE(c.Connected());
  EXPECT_EQ(c.PeerAddress(), "");
  EXPECT_THROW(c.SendAll("x", 1, 100), EIdNotConnected);
}

TEST(TcpClient, ResolvesLocalhostByName) {
  TestTcpServer server([](int fd, const auto&) { WriteAll(fd, "ok"); });
  TTcpClient c;
  c.Connect("localhost", server.Port(), 60000);  // an IPv6 answer first must not matter
  char out[2];
  c.ReceiveExactly(out, 2, 60000);
  EXPECT_EQ(std::string(out, 2), "ok");
}

TEST(TcpClient, RefusedConnectionAndUnknownHostGiveSocketErrors) {
  RefusingPort refusing;
  TTcpClient c;
  try {
    c.Connect("127.0.0.1", refusing.Port(), 1000);
    FAIL() << "connect succeeded";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), testing::kRefusedCode);
    EXPECT_EQ(e.Message(),
              Format("Socket Error # %d\r\nConnection refused.", testing::kRefusedCode));
  }
  EXPECT_FALSE(c.Connected());
  try {
    c.Connect("no-such-host.invalid", 80, 1000);
    FAIL() << "connect succeeded";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), kHostNotFoundCode);
    // The code is every platform's; the text may add the host and the resolver's reason.
    EXPECT_EQ(e.Message().rfind("Socket Error # 11001\r\nHost not found", 0), 0u) << e.Message();
  }
  EXPECT_THROW(c.Connect("", 80, 1000), EIdSocketError);
}

TEST(TcpClient, StalledPeerRunsOutTheReadTimeOut) {
  TestTcpServer server([](int, const auto& stop) { SleepUnlessStopped(stop, 120000); });
  TTcpClient c;
  c.Connect("127.0.0.1", server.Port(), 60000);
  char b;
  const auto start = std::chrono::steady_clock::now();
  try {
    c.ReceiveExactly(&b, 1, 100);
    FAIL() << "read returned";
  } catch (const EIdReadTimeout& e) {
    EXPECT_EQ(e.Message(), "Read timed out after 100 ms.");
  }
  // Ended by the time-out, not by the server (which stalls for two minutes).
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_FALSE(c.WaitReadable(10));
  c.Close();
}

TEST(TcpClient, PeerClosingMidMessageIsAGracefulClose) {
  TestTcpServer server([](int fd, const auto&) { WriteAll(fd, "abc"); });
  TTcpClient c;
  c.Connect("127.0.0.1", server.Port(), 60000);
  char out[8];
  EXPECT_THROW(c.ReceiveExactly(out, 8, 60000), EIdConnClosedGracefully);
}

TEST(TcpClient, LargeSendIsDeliveredWhole) {
  const std::string big(3 << 20, 'z');
  std::atomic<size_t> seen = 0;
  TestTcpServer server([&](int fd, const auto&) {
    std::string in(big.size(), '\0');
    if (ReadExact(fd, in.data(), in.size(), 60000) && in == big) seen = in.size();
    WriteAll(fd, "k");
  });
  TTcpClient c;
  c.Connect("127.0.0.1", server.Port(), 60000);
  c.SendAll(big.data(), big.size(), 60000);
  char k;
  c.ReceiveExactly(&k, 1, 60000);
  EXPECT_EQ(seen, big.size());
}

TEST(UdpSocket, SendsAndReceivesWithTheSendersAddress) {
  TestUdpServer server(
      [](TestUdpServer& s, const TestUdpServer::Datagram& d) { s.Send(d.from, "re:" + d.bytes); });
  TUdpSocket u;
  EXPECT_EQ(u.LocalPort(), 0);
  char buffer[64];
  TDatagramInfo info;
  EXPECT_FALSE(u.ReceiveFrom(buffer, sizeof buffer, 20, info));  // nothing sent, nothing comes
  u.SendTo("127.0.0.1", server.Port(), "ping", 4);
  EXPECT_NE(u.LocalPort(), 0);
  ASSERT_TRUE(u.ReceiveFrom(buffer, sizeof buffer, 2000, info));
  EXPECT_EQ(std::string(buffer, info.size), "re:ping");
  EXPECT_FALSE(info.truncated);
  EXPECT_EQ(info.peerAddress, "127.0.0.1");
  EXPECT_EQ(info.peerPort, server.Port());
  // An empty datagram is a datagram too.
  u.SendTo("127.0.0.1", server.Port(), "", 0);
  ASSERT_TRUE(u.ReceiveFrom(buffer, sizeof buffer, 2000, info));
  EXPECT_EQ(std::string(buffer, info.size), "re:");
}

// A numeric target is kept between sends, but only for as long as host and port stay the same;
// a name is looked up again each time.
TEST(UdpSocket, EverySendGoesWhereItsHostAndPortSay) {
  auto echo = [](const char* tag) {
    return [tag](TestUdpServer& s, const TestUdpServer::Datagram& d) {
      s.Send(d.from, tag + d.bytes);
    };
  };
  TestUdpServer a(echo("a:")), b(echo("b:"));
  TUdpSocket u;
  char buffer[64];
  TDatagramInfo info;
  const struct {
    const char* host;
    int port;
    const char* answer;
  } sends[] = {{"127.0.0.1", a.Port(), "a:1"}, {"127.0.0.1", a.Port(), "a:2"},
               {"127.0.0.1", b.Port(), "b:3"}, {"localhost", a.Port(), "a:4"},
               {"127.0.0.1", b.Port(), "b:5"}, {"127.0.0.1", a.Port(), "a:6"}};
  for (const auto& send : sends) {
    const std::string n(1, send.answer[2]);
    u.SendTo(send.host, send.port, n.data(), n.size());
    ASSERT_TRUE(u.ReceiveFrom(buffer, sizeof buffer, 2000, info)) << send.answer;
    EXPECT_EQ(std::string(buffer, info.size), send.answer);
    EXPECT_EQ(info.peerPort, send.port);
  }
  // A closed socket starts afresh, with a new local port.
  u.Close();
  u.SendTo("127.0.0.1", b.Port(), "7", 1);
  ASSERT_TRUE(u.ReceiveFrom(buffer, sizeof buffer, 2000, info));
  EXPECT_EQ(std::string(buffer, info.size), "b:7");
}

// Written addresses are taken as they are, with the family asked for; their text comes back
// the same, every octet width included.
TEST(Resolve, NumericAddressesAndTheirText) {
  const TResolvedAddresses v4 = ResolveHost("10.200.3.45", 8090, SOCK_DGRAM, AF_UNSPEC);
  ASSERT_EQ(v4.size(), 1u);
  EXPECT_EQ(v4[0].family, AF_INET);
  EXPECT_EQ(v4[0].length, socklen_t(sizeof(sockaddr_in)));
  EXPECT_EQ(AddressText(v4[0].Address()), "10.200.3.45");
  EXPECT_EQ(AddressPort(v4[0].Address()), 8090);
  const TResolvedAddresses v6 = ResolveHost("::1", 65535, SOCK_STREAM, AF_UNSPEC);
  ASSERT_EQ(v6.size(), 1u);
  EXPECT_EQ(v6[0].family, AF_INET6);
  EXPECT_EQ(AddressText(v6[0].Address()), "::1");
  EXPECT_EQ(AddressPort(v6[0].Address()), 65535);
  // An address of the other family is no answer.
  try {
    ResolveHost("::1", 80, SOCK_STREAM, AF_INET);
    FAIL() << "expected EIdSocketError";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), kHostNotFoundCode);
  }
  EXPECT_THROW(ResolveHost("127.0.0.1", 65536, SOCK_DGRAM, AF_UNSPEC), EIdSocketError);
  for (const char* text : {"0.0.0.0", "9.10.99.100", "255.255.255.255", "1.20.250.7"})
    EXPECT_EQ(AddressText(ResolveHost(text, 1, SOCK_DGRAM, AF_INET).front().Address()), text);
}

TEST(UdpSocket, OversizedDatagramsAndShortBuffers) {
  TestUdpServer server([](TestUdpServer& s, const TestUdpServer::Datagram& d) {
    s.Send(d.from, std::string(100, 'q'));
  });
  TUdpSocket u;
  const std::string huge(kMaxUdpPayload + 1, 'x');
  EXPECT_THROW(u.SendTo("127.0.0.1", server.Port(), huge.data(), huge.size()),
               EIdPackageSizeTooBig);
  u.SendTo("127.0.0.1", server.Port(), "x", 1);
  char buffer[10];
  TDatagramInfo info;
  ASSERT_TRUE(u.ReceiveFrom(buffer, sizeof buffer, 2000, info));
  EXPECT_TRUE(info.truncated);
  EXPECT_EQ(info.size, 10u);
  EXPECT_THROW(u.SendTo("no-such-host.invalid", 9, "x", 1), EIdSocketError);
}

}  // namespace
}  // namespace qorvin

namespace qorvin {
namespace {

// A listener with a full accept queue drops further connection requests, so a connect to it
// can only end by its time-out.
TEST(TcpClient, ConnectTimeOutBoundsAnUnansweredConnect) {
  const int fd = testing::OpenSocket(AF_INET, SOCK_STREAM);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(fd, 0), 0);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  const int port = ntohs(a.sin_port);
  TTcpClient fill[4];
  bool timedOut = false;
  for (auto& c : fill) {
    try {
      c.Connect("127.0.0.1", port, 150);
    } catch (const EIdConnectTimeout& e) {
      EXPECT_EQ(e.Message(), "Connect timed out after 150 ms.");
      EXPECT_FALSE(c.Connected());
      timedOut = true;
      break;
    }
  }
  testing::CloseSocket(fd);
  EXPECT_TRUE(timedOut);
}

}  // namespace
}  // namespace qorvin

namespace qorvin {
namespace {

// Whether the latch is triggered before or during the wait, the wait ends with the cancel; a
// reset latch leaves the next waits alone.
TEST(WaitInterrupt, EndsTcpAndUdpWaitsUntilReset) {
  TestTcpServer server([](int fd, const auto& stop) {
    char g;
    if (testing::WaitReadableUnlessStopped(fd, stop, 600000) && ReadExact(fd, &g, 1))
      WriteAll(fd, "k");
  });
  TWaitInterrupt latch;
  TTcpClient tcp;
  tcp.SetInterrupt(&latch);
  tcp.Connect("127.0.0.1", server.Port(), 10000);
  std::thread trigger([&] { latch.Trigger(); });
  char b;
  try {
    tcp.ReceiveExactly(&b, 1, 600000);
    FAIL() << "read returned";
  } catch (const EIdCancelled& e) {
    EXPECT_EQ(e.Message(), "The call was cancelled.");
  }
  trigger.join();
  EXPECT_THROW(tcp.SendAll("g", 1, 1000), EIdCancelled);
  EXPECT_THROW(tcp.WaitReadable(0), EIdCancelled);
  latch.Reset();
  EXPECT_FALSE(tcp.WaitReadable(0));
  tcp.SendAll("g", 1, 10000);
  tcp.ReceiveExactly(&b, 1, 600000);
  EXPECT_EQ(b, 'k');

  latch.Trigger();
  TTcpClient fresh;
  fresh.SetInterrupt(&latch);
  EXPECT_THROW(fresh.Connect("127.0.0.1", server.Port(), 10000), EIdCancelled);
  EXPECT_FALSE(fresh.Connected());
  latch.Reset();

  TUdpSocket udp;
  udp.SetInterrupt(&latch);
  char buffer[16];
  TDatagramInfo info;
  std::thread udpTrigger([&] { latch.Trigger(); });
  EXPECT_THROW(udp.ReceiveFrom(buffer, sizeof buffer, 600000, info), EIdCancelled);
  udpTrigger.join();
  latch.Reset();
  EXPECT_FALSE(udp.ReceiveFrom(buffer, sizeof buffer, 0, info));
}

}  // namespace
}  // namespace qorvin
