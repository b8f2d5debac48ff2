// Round trips per second of a small request over each channel, each beside a raw ping-pong of
// the same bytes over the same kind of socket against the same loopback server in the same run.
// The ratio channel / raw is the channel's own cost per call.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "channels/uROIndyTCPChannel.h"
#include "channels/uROIndyUDPChannel.h"
#include "channels/uROWinInetHttpChannel.h"
#include "platform/socket/TcpClient.h"
#include "platform/socket/UdpSocket.h"
#include "tests/http/TestHttpServer.h"
#include "tests/socket/TestServers.h"

namespace qorvin {
namespace {

// A request of the size of a small call (a "GetDateTime" message is 61 bytes).
const std::string kRequest(64, 'r');

testing::TestTcpServer& FrameServer() {
  static testing::TestTcpServer server([](int fd, const std::atomic<bool>& stop) {
    std::string payload;
    while (testing::WaitReadableUnlessStopped(fd, stop, 60000) && testing::ReadFrame(fd, payload))
      if (!testing::WriteFrame(fd, payload)) return;
  });
  return server;
}

void BM_TcpChannel_KeepAlive(benchmark::State& state) {
  TROIndyTCPChannel c;
  c.SetPort(FrameServer().Port());
  c.SetKeepAlive(true);
  c.SetDisableNagle(true);
  TMemoryStream request;
  request.WriteBytes(kRequest);
  for (auto _ : state) {
    TMemoryStream response;
    c.Dispatch(request, response);
    benchmark::DoNotOptimize(response.Size());
  }
  c.IndyClient().Disconnect();
}
BENCHMARK(BM_TcpChannel_KeepAlive);

void BM_TcpRaw_PingPong(benchmark::State& state) {
  TTcpClient socket;
  socket.Connect("127.0.0.1", FrameServer().Port(), 1000);
  socket.SetNoDelay(true);
  const std::string frame = testing::FrameHeader(uint32_t(kRequest.size())) + kRequest;
  std::string answer(frame.size(), '\0');
  for (auto _ : state) {
    socket.SendAll(frame.data(), frame.size(), 1000);
    socket.ReceiveExactly(answer.data(), answer.size(), 1000);
  }
}
BENCHMARK(BM_TcpRaw_PingPong);

testing::TestHttpServer& HttpServer() {
  static testing::TestHttpServer server(
      [](const testing::HttpRequestSeen& r, int fd, const std::atomic<bool>&) {
        return testing::WriteAll(fd, testing::HttpResponse(200, "OK", r.body));
      });
  return server;
}

void BM_HttpChannel_KeepConnection(benchmark::State& state) {
  TROWinInetHTTPChannel c;
  c.SetTargetURL(HttpServer().Url("/Bin"));
  c.SetAccessType(atDirect);
  c.SetKeepConnection(true);
  TMemoryStream request;
  request.WriteBytes(kRequest);
  for (auto _ : state) {
    c.SetHeaders("Content-Type", "application/binary");
    TMemoryStream response;
    c.Dispatch(request, response);
    benchmark::DoNotOptimize(response.Size());
  }
  c.SetConnected(false);
}
BENCHMARK(BM_HttpChannel_KeepConnection);

// The same request bytes a channel sends, written by hand on one kept TCP connection.
void BM_HttpRaw_PingPong(benchmark::State& state) {
  TTcpClient socket;
  socket.Connect("127.0.0.1", HttpServer().Port(), 1000);
  socket.SetNoDelay(true);
  const std::string request =
      "POST /Bin HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(HttpServer().Port()) +
      "\r\nUser-Agent: Larkspan SDK\r\nContent-Type: application/binary\r\nContent-Length: " +
      std::to_string(kRequest.size()) + "\r\nAccept: application/octet-stream\r\n\r\n" + kRequest;
  const size_t answerSize = testing::HttpResponse(200, "OK", kRequest).size();
  std::string answer(answerSize, '\0');
  for (auto _ : state) {
    socket.SendAll(request.data(), request.size(), 1000);
    socket.ReceiveExactly(answer.data(), answer.size(), 1000);
  }
  socket.Close();
}
BENCHMARK(BM_HttpRaw_PingPong);

testing::TestUdpServer& UdpServer() {
  static testing::TestUdpServer server(
      [](testing::TestUdpServer& s, const testing::TestUdpServer::Datagram& d) {
        s.Send(d.from, d.bytes);
      });
  return server;
}

void BM_UdpChannel(benchmark::State& state) {
  TROIndyUDPChannel c;
  c.SetHost("127.0.0.1");
  c.SetPort(UdpServer().Port());
  c.IndyClient().BufferSize = 8 << 20;  // as the remote data module sets it
  TMemoryStream request;
  request.WriteBytes(kRequest);
  for (auto _ : state) {
    TMemoryStream response;
    c.Dispatch(request, response);
    benchmark::DoNotOptimize(response.Size());
  }
}
BENCHMARK(BM_UdpChannel);

void BM_UdpRaw_PingPong(benchmark::State& state) {
  TUdpSocket socket;
  const std::string datagram = TGUID::New().ToString() + kRequest;
  std::string buffer(65536, '\0');
  TDatagramInfo info;
  for (auto _ : state) {
    socket.SendTo("127.0.0.1", UdpServer().Port(), datagram.data(), datagram.size());
    if (!socket.ReceiveFrom(buffer.data(), buffer.size(), 1000, info)) state.SkipWithError("lost");
  }
}
BENCHMARK(BM_UdpRaw_PingPong);

}  // namespace
}  // namespace qorvin
