// Proxies that stand between a module and a real qorvin-server and, once armed, let through only
// the first part of the server's answer: the client then sees a reply that stops in the middle,
// as when the server dies while sending it. Both listen on 127.0.0.1 on a port the system picks.
//
// When the cut happens, `onCut` runs on the proxy's thread (a test kills the server there) and
// the proxy closes its connections (TCP) or sends the cut datagram (UDP). Unarmed, everything is
// relayed unchanged. Every wait is bounded (5 s for an upstream answer); the destructor stops
// and joins the proxy's thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>

#include "tests/socket/TestServers.h"

namespace qorvin::e2e {

// TCP (frames or HTTP alike: the proxy only counts bytes). One client connection at a time.
class CuttingTcpProxy {
 public:
  // `cut`: the number of answer bytes let through on an armed connection.
  CuttingTcpProxy(int upstreamPort, size_t cut, std::function<void()> onCut);
  ~CuttingTcpProxy();

  int Port() const { return server_->Port(); }
  // Cuts the answers on connections accepted from now on.
  void Arm() { armed_ = true; }
  bool HasCut() const { return cutDone_; }

 private:
  void Relay(int client, const std::atomic<bool>& stop);

  int upstreamPort_;
  size_t cut_;
  std::function<void()> onCut_;
  std::atomic<bool> armed_ = false;
  std::atomic<bool> cutDone_ = false;
  std::unique_ptr<qorvin::testing::TestTcpServer> server_;
};

// UDP: each request datagram is sent on to the server and its answer sent back; armed, the
// answer is cut to its first half (the 38-byte request ID stays whole).
class CuttingUdpProxy {
 public:
  CuttingUdpProxy(int upstreamPort, std::function<void()> onCut);
  ~CuttingUdpProxy();

  int Port() const { return server_->Port(); }
  void Arm() { armed_ = true; }
  bool HasCut() const { return cutDone_; }

 private:
  void Relay(qorvin::testing::TestUdpServer& server,
             const qorvin::testing::TestUdpServer::Datagram& d);

  int upstreamPort_;
  std::function<void()> onCut_;
  std::atomic<bool> armed_ = false;
  std::atomic<bool> cutDone_ = false;
  std::unique_ptr<qorvin::testing::TestUdpServer> server_;
};

}  // namespace qorvin::e2e
