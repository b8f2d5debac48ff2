// The TCP channel against loopback servers that frame properly or misbehave.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "channels/uROIndyTCPChannel.h"
#include "platform/socket/SocketErrors.h"
#include "tests/socket/TestServers.h"
#include "tests/support/TestSockets.h"

namespace qorvin {
namespace {

using testing::FrameHeader;
using testing::ReadExact;
using testing::ReadFrame;
using testing::TestTcpServer;
using testing::WriteAll;
using testing::WriteFrame;

std::string Text(TStream& s) {
  std::string bytes(size_t(s.Size()), '\0');
  s.SetPosition(0);
  s.ReadBuffer(bytes.data(), s.Size());
  return bytes;
}

// Answers every frame on a connection with "re:" + payload until the client closes.
TestTcpServer::Handler EchoFrames(std::vector<std::string>* raw = nullptr,
                                  std::mutex* m = nullptr) {
  return [raw, m](int fd, const std::atomic<bool>& stop) {
    while (testing::WaitReadableUnlessStopped(fd, stop, 3000)) {
      unsigned char head[4];
      if (!ReadExact(fd, head, 4)) return;
      const uint32_t n =
          uint32_t(head[0]) << 24 | uint32_t(head[1]) << 16 | uint32_t(head[2]) << 8 | head[3];
      std::string payload(n, '\0');
      if (n && !ReadExact(fd, payload.data(), n)) return;
      if (raw) {
        std::lock_guard<std::mutex> g(*m);
        raw->push_back(std::string(reinterpret_cast<char*>(head), 4) + payload);
      }
      if (!WriteFrame(fd, "re:" + payload)) return;
    }
  };
}

TROIndyTCPChannel& UseServer(TROIndyTCPChannel& c, int port) {
  c.SetPort(port);
  // Generous: an answer that is sent must never time out on a busy machine. Tests of the
  // time-outs set their own, short ones.
  c.SetReadTimeout(60000);
  c.SetConnectTimeout(60000);
  return c;
}

TEST(TcpChannel, DefaultsAndIdentity) {
  TROIndyTCPChannel c(nullptr, "Tcp");
  EXPECT_EQ(c.Host(), "127.0.0.1");
  EXPECT_EQ(c.Port(), 8090);
  EXPECT_FALSE(c.DisableNagle());
  EXPECT_FALSE(c.KeepAlive());
  EXPECT_EQ(c.ConnectTimeout(), 30000);
  EXPECT_EQ(c.ReadTimeout(), 600000);
  EXPECT_EQ(c.IndyClient().Name(), "InternalIndyClient");
  EXPECT_EQ(c.GetTransportInstance(), &c);
  EXPECT_EQ(c.GetPeerAddress(), "");
  c.SetHost("");
  try {
    c.CheckProperties();
    FAIL() << "empty host accepted";
  } catch (const EROException& e) {
    EXPECT_EQ(e.Message(), "Tcp.Host must be set.");
  }
}

TEST(TcpChannel, FramesOnTheWireAndAConnectionPerRequest) {
  std::mutex m;
  std::vector<std::string> raw;
  TestTcpServer server(EchoFrames(&raw, &m));
  TROIndyTCPChannel c;
  UseServer(c, server.Port());
  TMemoryStream request, response;
  request.WriteBytes("0123456789");
  c.Dispatch(request, response);
  EXPECT_EQ(Text(response), "re:0123456789");
  EXPECT_FALSE(c.IndyClient().Connected());
  c.Dispatch(request, response);
  EXPECT_EQ(c.IndyClient().ConnectCount(), 2u);
  // An empty request is its prefix alone.
  TMemoryStream empty, answer;
  c.Dispatch(empty, answer);
  EXPECT_EQ(Text(answer), "re:");
  std::lock_guard<std::mutex> g(m);
  ASSERT_EQ(raw.size(), 3u);
  EXPECT_EQ(raw[0], std::string("\x00\x00\x00\x0A", 4) + "0123456789");
  EXPECT_EQ(raw[2], std::string(4, '\0'));
}

TEST(TcpChannel, KeepAliveReusesTheConnectionAndNagleIsOffOnIt) {
  TestTcpServer server(EchoFrames());
  TROIndyTCPChannel c;
  UseServer(c, server.Port()).SetKeepAlive(true);
  c.SetDisableNagle(true);
  TMemoryStream request, response;
  std::string payload(100000, '\0');  // several 32 KiB pieces each way, every byte placed
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = char('a' + i % 23);
  request.WriteBytes(payload);
  for (int i = 0; i < 3; ++i) {
    TMemoryStream answer;
    c.Dispatch(request, answer);
    EXPECT_EQ(Text(answer), "re:" + payload);
  }
  EXPECT_TRUE(c.IndyClient().Connected());
  EXPECT_TRUE(c.IndyClient().Socket().NoDelay());
  EXPECT_EQ(c.GetPeerAddress(), "127.0.0.1");
  EXPECT_EQ(c.IndyClient().ConnectCount(), 1u);
  EXPECT_EQ(server.Accepted(), 1);
}

// A connection opened outside a dispatch (the module's SetConnected(true) with KeepConnection)
// gets TCP_NODELAY too; a later dispatch reuses it as it is.
TEST(TcpChannel, NagleIsOffOnAConnectionOpenedBeforeTheFirstDispatch) {
  TestTcpServer server(EchoFrames());
  TROIndyTCPChannel c;
  UseServer(c, server.Port()).SetKeepAlive(true);
  c.SetDisableNagle(true);
  c.IndyClient().Connect();
  EXPECT_TRUE(c.IndyClient().Socket().NoDelay());
  TMemoryStream request, response;
  request.WriteBytes("x");
  c.Dispatch(request, response);
  EXPECT_EQ(c.IndyClient().ConnectCount(), 1u);
  EXPECT_TRUE(c.IndyClient().Socket().NoDelay());
  // Switched back on, a new connection keeps Nagle's algorithm.
  c.SetDisableNagle(false);
  c.IndyClient().Connect();
  EXPECT_FALSE(c.IndyClient().Socket().NoDelay());
}

TEST(TcpChannel, ZeroLengthFrameGivesAnEmptyResponse) {
  TestTcpServer server([](int fd, const auto&) {
    std::string payload;
    if (ReadFrame(fd, payload)) WriteFrame(fd, "");
  });
  TROIndyTCPChannel c;
  UseServer(c, server.Port());
  TMemoryStream request, response;
  request.WriteBytes("q");
  c.Dispatch(request, response);
  EXPECT_EQ(response.Size(), 0);
}

TEST(TcpChannel, ServerClosingEarlyIsAGracefulCloseAndDropsTheConnection) {
  TestTcpServer server([](int fd, const auto&) {
    std::string payload;
    if (!ReadFrame(fd, payload)) return;
    if (payload == "short") WriteAll(fd, FrameHeader(100) + "only ten b");
    // "silent": close without answering
  });
  TROIndyTCPChannel c;
  UseServer(c, server.Port()).SetKeepAlive(true);
  for (const char* what : {"short", "silent"}) {
    TMemoryStream request, response;
    request.WriteBytes(what);
    try {
      c.Dispatch(request, response);
      FAIL() << what << ": dispatch returned";
    } catch (const EIdConnClosedGracefully& e) {
      EXPECT_EQ(e.Message(), "Connection Closed Gracefully.");
    }
    EXPECT_FALSE(c.IndyClient().Connected()) << what;  // closed despite KeepAlive
    EXPECT_FALSE(c.Busy());
  }
}

TEST(TcpChannel, RefusedAndStalledServersFailWithinTheirBounds) {
  TROIndyTCPChannel c;
  {
    TestTcpServer gone([](int, const auto&) {});
    UseServer(c, gone.Port());
  }
  TMemoryStream request, response;
  try {
    c.Dispatch(request, response);
    FAIL() << "dispatch returned";
  } catch (const EIdSocketError& e) {
    EXPECT_NE(e.Message().find("Connection refused."), std::string::npos);
  }
  TestTcpServer stalling([](int, const auto& stop) { testing::SleepUnlessStopped(stop, 120000); });
  UseServer(c, stalling.Port()).SetReadTimeout(150);
  const auto start = std::chrono::steady_clock::now();
  try {
    c.Dispatch(request, response);
    FAIL() << "dispatch returned";
  } catch (const EIdReadTimeout& e) {
    EXPECT_EQ(e.Message(), "Read timed out after 150 ms.");
  }
  // Ended by the read time-out, not by the server (which stalls for two minutes).
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_FALSE(c.IndyClient().Connected());
}

TEST(TcpChannel, AbsurdLengthIsRefusedBeforeAnythingIsAllocated) {
  TestTcpServer server([](int fd, const auto&) {
    std::string payload;
    if (ReadFrame(fd, payload)) WriteAll(fd, FrameHeader(0xFFFFFFF0u) + "junk");
  });
  TROIndyTCPChannel c;
  UseServer(c, server.Port());
  TMemoryStream request, response;
  try {
    c.Dispatch(request, response);
    FAIL() << "dispatch returned";
  } catch (const EROException& e) {
    EXPECT_EQ(e.Message(), "Invalid frame length 4294967280 received.");
  }
  EXPECT_EQ(response.Size(), 0);
}

TEST(TcpChannel, ASecondAnswerOnAKeptConnectionNeverAnswersTheNextRequest) {
  TestTcpServer server([](int fd, const std::atomic<bool>& stop) {
    std::string payload;
    while (testing::WaitReadableUnlessStopped(fd, stop, 60000) && ReadFrame(fd, payload)) {
      // Answers twice, in one write: the stale copy is there by the time the answer is read.
      WriteAll(fd, FrameHeader(uint32_t(payload.size() + 3)) + "re:" + payload + FrameHeader(10) +
                       "stale copy");
    }
  });
  TROIndyTCPChannel c;
  UseServer(c, server.Port()).SetKeepAlive(true);
  for (const char* text : {"one", "two"}) {
    TMemoryStream request, response;
    request.WriteBytes(text);
    c.Dispatch(request, response);
    EXPECT_EQ(Text(response), std::string("re:") + text);
  }
  // The connection that held the stale copy was not used again.
  EXPECT_EQ(server.Accepted(), 2);
}

// The client takes an answer with as few receives as it can; an answer that comes a byte at a
// time, prefix included, is still read whole.
TEST(TcpChannel, AnAnswerArrivingAByteAtATimeIsReadWhole) {
  TestTcpServer server([](int fd, const std::atomic<bool>& stop) {
    std::string payload;
    testing::SetSocketOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    while (testing::WaitReadableUnlessStopped(fd, stop, 60000) && ReadFrame(fd, payload)) {
      const std::string frame = FrameHeader(uint32_t(payload.size() + 3)) + "re:" + payload;
      for (char byte : frame)
        if (!WriteAll(fd, std::string(1, byte))) return;
    }
  });
  TROIndyTCPChannel c;
  UseServer(c, server.Port()).SetKeepAlive(true);
  for (const char* text : {"one", "", "three"}) {
    TMemoryStream request, response;
    request.WriteBytes(text);
    c.Dispatch(request, response);
    EXPECT_EQ(Text(response), std::string("re:") + text);
  }
  EXPECT_EQ(server.Accepted(), 1);
}

TEST(TcpChannel, FailOverAcrossThreeServers) {
  TROIndyTCPChannel c;
  std::vector<int> ports;
  {
    TestTcpServer a([](int, const auto&) {}), b([](int, const auto&) {});
    ports = {a.Port(), b.Port()};
  }  // both gone: their ports refuse
  TestTcpServer good(EchoFrames());
  ports.push_back(good.Port());
  for (int port : ports) {
    TROServerLocator* l = c.ServerLocators().Add();
    l->SetHost("127.0.0.1");
    l->SetPort(port);
  }
  UseServer(c, ports[0]).SetDispatchOptions(doFaultTolerant);
  c.ServerLocators().Items(0)->SetDisableOnFailure(true);
  std::vector<int> applied;
  c.OnServerLocatorAssignment = [&](TROTransportChannel*, TROServerLocator* l,
                                    const std::exception* cause) {
    applied.push_back(l->Port());
    EXPECT_NE(cause, nullptr);
  };
  TMemoryStream request, response;
  request.WriteBytes("hi");
  c.Dispatch(request, response);
  EXPECT_EQ(Text(response), "re:hi");
  EXPECT_EQ(c.Port(), ports[2]);
  // Locator 0 was applied by the first fail-over step (nothing was applied before), then 1, 2.
  EXPECT_EQ(applied, (std::vector<int>{ports[0], ports[1], ports[2]}));
  EXPECT_FALSE(c.ServerLocators().Items(0)->Enabled());
  EXPECT_FALSE(c.ServerLocators().Items(1)->Enabled());
  EXPECT_TRUE(c.ServerLocators().Items(2)->Enabled());
}

TEST(TcpChannel, ProbeAnswersAreCheckedExactly) {
  TestTcpServer server([](int fd, const auto&) {
    std::string payload;
    if (ReadFrame(fd, payload)) WriteFrame(fd, payload == "PROBE" ? "PROBEDOK" : "?");
  });
  TROIndyTCPChannel c;
  UseServer(c, 1);
  TROServerLocator* l = c.ServerLocators().Add();
  l->SetHost("127.0.0.1");
  l->SetPort(server.Port());
  EXPECT_TRUE(c.ProbeServer(l));
  EXPECT_EQ(c.Port(), 1);  // the channel itself was not touched
  server.Stop();
  EXPECT_FALSE(c.ProbeServer(l));
  EXPECT_FALSE(l->Enabled());
}

}  // namespace
}  // namespace qorvin
