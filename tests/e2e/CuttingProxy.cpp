#include "tests/e2e/CuttingProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace qorvin::e2e {
namespace {

using qorvin::testing::WriteAll;

// A socket of `type` connected to 127.0.0.1:port, or -1.
int ConnectLoopback(int type, int port) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

CuttingTcpProxy::CuttingTcpProxy(int upstreamPort, size_t cut, std::function<void()> onCut)
    : upstreamPort_(upstreamPort), cut_(cut), onCut_(std::move(onCut)) {
  server_ = std::make_unique<qorvin::testing::TestTcpServer>(
      [this](int fd, const std::atomic<bool>& stop) { Relay(fd, stop); });
}

CuttingTcpProxy::~CuttingTcpProxy() {
  server_->Stop();
}

void CuttingTcpProxy::Relay(int client, const std::atomic<bool>& stop) {
  const int upstream = ConnectLoopback(SOCK_STREAM, upstreamPort_);
  if (upstream < 0) return;
  const bool armed = armed_;
  size_t answered = 0;
  char buffer[16384];
  // A connection lasts at most 20 s; each poll waits 20 ms so that a stop is seen.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!stop && std::chrono::steady_clock::now() < deadline) {
    pollfd p[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
    if (::poll(p, 2, 20) <= 0) continue;
    if (p[0].revents != 0) {
      const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
      if (n <= 0 || !WriteAll(upstream, buffer, size_t(n))) break;
    }
    if (p[1].revents != 0) {
      const ssize_t n = ::recv(upstream, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      size_t pass = size_t(n);
      if (armed && answered + pass >= cut_) pass = cut_ - answered;
      if (!WriteAll(client, buffer, pass)) break;
      answered += pass;
      if (armed && answered >= cut_) {
        if (onCut_) onCut_();
        cutDone_ = true;
        break;
      }
    }
  }
  ::close(upstream);
}

CuttingUdpProxy::CuttingUdpProxy(int upstreamPort, std::function<void()> onCut)
    : upstreamPort_(upstreamPort), onCut_(std::move(onCut)) {
  server_ = std::make_unique<qorvin::testing::TestUdpServer>(
      [this](qorvin::testing::TestUdpServer& server,
             const qorvin::testing::TestUdpServer::Datagram& d) { Relay(server, d); });
}

CuttingUdpProxy::~CuttingUdpProxy() {
  server_->Stop();
}

void CuttingUdpProxy::Relay(qorvin::testing::TestUdpServer& server,
                            const qorvin::testing::TestUdpServer::Datagram& d) {
  const int upstream = ConnectLoopback(SOCK_DGRAM, upstreamPort_);
  if (upstream < 0) return;
  std::string answer(70000, '\0');
  ssize_t n = -1;
  if (::send(upstream, d.bytes.data(), d.bytes.size(), 0) == ssize_t(d.bytes.size())) {
    pollfd p{upstream, POLLIN, 0};
    if (::poll(&p, 1, 5000) > 0) n = ::recv(upstream, answer.data(), answer.size(), 0);
  }
  ::close(upstream);
  if (n <= 0) return;
  answer.resize(size_t(n));
  if (armed_ && answer.size() > 38) {
    answer.resize(38 + (answer.size() - 38) / 2);
    if (onCut_) onCut_();
    cutDone_ = true;
  }
  server.Send(d.from, answer);
}

}  // namespace qorvin::e2e
