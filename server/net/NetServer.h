// The three transports of the server, all at once, over one dispatcher:
//
//   HTTP  POST to "/Bin" (the path compared without regard to case): status 200 with the reply,
//         500 when the reply reports a failure, 404 for other paths, 405 for other methods.
//         Keep-alive connections carry any number of requests. With a certificate
//         (SetTlsCertificate) the port serves HTTPS only: TLS 1.2 and later, the handshake
//         within idleTimeout.
//   TCP   frames both ways: a 4-byte big-endian length, then that many bytes; one connection
//         carries any number of request/reply pairs, one at a time.
//   UDP   one datagram per request: 38 bytes of request ID, then the request; the reply is one
//         datagram starting with the same 38 bytes. Datagrams shorter than 38 bytes are dropped.
//
// Limits: a request larger than NetOptions::maxRequestBytes is answered with the dispatcher's
// Refuse reply (HTTP status 500; the TCP connection is closed after it). A connection that has
// no complete request within idleTimeout is closed. At most maxConnections TCP and HTTP
// connections are served at once; more are told why and closed. At most maxRequestsPerAddress
// requests of one client address run at once; more are answered with the Refuse reply. A UDP reply
// that does not fit in one datagram is replaced by a Refuse reply.
//
// Threads: ioThreads run the sockets, each its own share of the connections (given out in turn
// as they are accepted; UDP on the first); the dispatcher runs on workerThreads, so a slow request
// never holds up the sockets of others. Only the requests the dispatcher takes at once
// (IDispatcher::AtOnce: microseconds, never waiting) are answered on the I/O thread itself. Stop()
// may be called from any thread (or by SIGINT / SIGTERM after StopOnSignals); Wait() then lets
// requests in progress finish (at most shutdownGrace), closes every socket and joins every thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/net/AllowList.h"
#include "server/net/Dispatcher.h"
#include "server/net/HttpUsers.h"
#include "server/net/RequestLog.h"
#include "server/net/TlsCertificate.h"

namespace qorvin::server {

struct NetOptions {
  // Every address gets every enabled transport, on the same port number (an IPv4 or IPv6
  // literal, or a host name: its first address). With more than one address an IPv6 socket
  // takes IPv6 clients only, so that "::" may stand beside "0.0.0.0".
  std::vector<std::string> bindAddresses = {"127.0.0.1"};
  int httpPort = 8099;  // 0: any free port (one chosen for all addresses); -1: transport off
  int tcpPort = 8090;
  int udpPort = 8090;
  size_t maxRequestBytes = size_t(64) << 20;
  // Two threads run the sockets, each with connections of its own, so that a connection's
  // completions never wake another thread and many clients still use two cores. Never more than
  // the cores the server may run on (AvailableCores).
  int ioThreads = 2;
  int workerThreads = 16;
  // How long a worker that has just sent a kept TCP connection's reply whole waits on that
  // connection for its next request before leaving it to the I/O thread (0: it never waits). A
  // request that arrives meanwhile runs on that worker at once: a client reading back to back
  // is served without waking the I/O thread and then a worker for each request. The worker
  // waits in poll(2), spending no CPU, and only while another worker is idle.
  std::chrono::microseconds workerLinger{1000};
  std::chrono::milliseconds idleTimeout{60000};
  int maxConnections = 512;
  // Requests one client address may have in flight at once, over every transport (0: no
  // limit). A request past it is answered at once with the dispatcher's refusal ("Too many
  // requests from ADDRESS already ...") and counted as refused ("too-many-requests").
  int maxRequestsPerAddress = 64;
  std::chrono::milliseconds shutdownGrace{10000};
  // The clients each transport serves (empty: all). A refused client gets nothing: its TCP or
  // HTTP connection is closed at accept, its datagram dropped.
  AllowList allowHttp, allowTcp, allowUdp;
};

struct BoundPorts {
  int http = -1;  // -1: transport off
  int tcp = -1;
  int udp = -1;
};

// The largest UDP payload (65 535 minus the IP and UDP headers).
inline constexpr size_t kMaxDatagram = 65507;
inline constexpr size_t kRequestIdLength = 38;

struct NetContext;

class NetServer {
 public:
  NetServer(NetOptions options, IDispatcher& dispatcher, RequestLog& log);
  ~NetServer();
  NetServer(const NetServer&) = delete;
  NetServer& operator=(const NetServer&) = delete;

  // Binds every enabled transport on every address and starts serving. std::runtime_error
  // naming the transport, address and port, and the system's reason, when one cannot be bound
  // (or an address cannot be resolved): nothing is left listening then.
  void Start();
  BoundPorts Ports() const { return ports_; }
  // Before Start: "GET /metrics" on the HTTP port is answered with page() as Prometheus text
  // (status 200); without it, that path is not found like any other. page runs on an I/O
  // thread and must not throw.
  void ServeMetrics(std::function<std::string()> page);
  // TCP and HTTP connections open now.
  int OpenConnections() const;
  // The HTTP transport's users (null: no credentials needed); any time, from any thread. A
  // request without a valid user's credentials then gets 401 with WWW-Authenticate (POST /Bin
  // and GET /metrics; GET /health stays open).
  void SetUsers(std::shared_ptr<const UserDirectory> users);
  // Before Start: the HTTP port serves HTTPS (TLS 1.2 and later) with this certificate (null:
  // plain HTTP). After a start with one: new connections take this one, open connections keep
  // theirs (any thread); std::logic_error for null or when the server started without TLS.
  void SetTlsCertificate(std::shared_ptr<const TlsCertificate> certificate);
  bool ServesTls() const;
  // SIGINT and SIGTERM stop the server. With `other` set, SIGHUP and SIGUSR1 no longer end the
  // process: each one runs other(signal) on the server's control thread (it must not block for
  // long) and the server goes on. Returns once the handlers are in place.
  void StopOnSignals(std::function<void(int signal)> other = {});
  void Stop();
  // Blocks until Stop, then shuts down as described above.
  void Wait();

 private:
  // Waits for the next signal of the set (on the control thread).
  void AwaitSignal();

  std::unique_ptr<NetContext> ctx_;
  std::function<void(int)> onOtherSignal_;
  BoundPorts ports_;
  bool started_ = false;
  bool joined_ = false;
};

}  // namespace qorvin::server
