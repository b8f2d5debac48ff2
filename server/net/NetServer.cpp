#include "server/net/NetServer.h"

#include <array>
#include <csignal>
#include <future>
#include <stdexcept>

#include "server/net/NetContext.h"

namespace qorvin::server {
namespace {

using tcp = net::ip::tcp;

// At most this many turned-away clients are answered at once; more are only closed.
constexpr int kMaxRefusals = 64;

// A client over the connection limit is told why, as a database says "too many clients": the
// dispatcher's refusal (an exception message; over HTTP as status 500, whose body it is) is
// written at once, the socket is shut down for sending, and what the client sent is read and
// dropped until it closes (at most 5 s and 1 MiB), so that closing never resets a connection
// whose answer is still on its way.
class Refusal : public std::enable_shared_from_this<Refusal> {
 public:
  Refusal(NetContext& ctx, TcpSocket socket, bool http, const std::string& reason)
      : ctx_(ctx), socket_(std::move(socket)), timer_(socket_.get_executor()) {
    ++ctx_.refusing;
    const std::string body =
        ctx_.dispatcher.Refuse(reason, RequestInfo{http ? "HTTP" : "TCP", PeerText(socket_)}).body;
    if (http) {
      reply_ =
          "HTTP/1.1 500 Internal Server Error\r\nServer: qorvin-server\r\n"
          "Content-Type: application/binary\r\nConnection: close\r\nContent-Length: " +
          std::to_string(body.size()) + "\r\n\r\n" + body;
    } else {
      const uint32_t n = uint32_t(body.size());
      reply_ = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
      reply_ += body;
    }
  }
  ~Refusal() { --ctx_.refusing; }

  void Start() {
    auto self = shared_from_this();
    timer_.expires_after(std::chrono::seconds(5));
    timer_.async_wait([self](boost::system::error_code ec) {
      if (ec) return;
      boost::system::error_code ignored;
      self->socket_.close(ignored);
    });
    net::async_write(socket_, net::buffer(reply_), [self](boost::system::error_code ec, size_t) {
      if (ec) return self->End();
      boost::system::error_code ignored;
      self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
      self->Drain();
    });
  }

 private:
  void Drain() {
    auto self = shared_from_this();
    socket_.async_read_some(net::buffer(sink_), [self](boost::system::error_code ec, size_t n) {
      self->drained_ += n;
      if (ec || self->drained_ > (size_t(1) << 20)) return self->End();
      self->Drain();
    });
  }
  void End() {
    boost::system::error_code ignored;
    timer_.cancel();
    socket_.close(ignored);
  }

  NetContext& ctx_;
  TcpSocket socket_;
  net::steady_timer timer_;
  std::string reply_;
  std::array<char, 4096> sink_{};
  size_t drained_ = 0;
};

void Accept(NetContext& ctx, tcp::acceptor& acceptor, bool http) {
  acceptor.async_accept(
      ctx.NextIo().get_executor(),
      [&ctx, &acceptor, http](boost::system::error_code ec, TcpSocket socket) {
        if (ec == net::error::operation_aborted || ctx.stopping) return;
        if (!ec) {
          const AllowList& allowed = http ? ctx.options.allowHttp : ctx.options.allowTcp;
          boost::system::error_code peerError;
          const auto peer = socket.remote_endpoint(peerError);
          if (!allowed.Empty() && (peerError || !allowed.Allows(peer.address()))) {
            const std::string address = peerError ? "?" : peer.address().to_string();
            ctx.log.Refused(http ? "HTTP" : "TCP", PeerText(socket), "not-allowed",
                            "connection refused: " + address + " is not in the allow list",
                            ctx.refusals.ShouldLog(address, std::chrono::steady_clock::now()));
            boost::system::error_code ignored;
            socket.close(ignored);
          } else if (ctx.connections >= ctx.options.maxConnections) {
            const std::string reason = "Too many clients already: the server serves at most " +
                                       std::to_string(ctx.options.maxConnections) +
                                       " connections at once; try again later";
            ctx.log.Refused(http ? "HTTP" : "TCP", PeerText(socket), "too-many-connections",
                            "connection refused: " + std::to_string(ctx.options.maxConnections) +
                                " connections are open already",
                            true);
            if (ctx.refusing < kMaxRefusals && http && ctx.TlsCert()) {
              StartHttpSession(ctx, std::move(socket), reason);
            } else if (ctx.refusing < kMaxRefusals) {
              std::make_shared<Refusal>(ctx, std::move(socket), http, reason)->Start();
            } else {
              boost::system::error_code ignored;
              socket.close(ignored);
            }
          } else if (http) {
            StartHttpSession(ctx, std::move(socket));
          } else {
            StartTcpSession(ctx, std::move(socket));
          }
        }
        Accept(ctx, acceptor, http);
      });
}

net::ip::address Resolve(NetContext& ctx) {
  boost::system::error_code ec;
  auto address = net::ip::make_address(ctx.options.bindAddress, ec);
  if (!ec) return address;
  tcp::resolver resolver(ctx.io);
  auto results = resolver.resolve(ctx.options.bindAddress, "", ec);
  if (ec || results.empty())
    throw std::runtime_error("Cannot resolve the bind address \"" + ctx.options.bindAddress +
                             "\": " + ec.message());
  return results.begin()->endpoint().address();
}

int Listen(NetContext& ctx, net::ip::address address, int port, bool http) {
  const char* name = http ? "HTTP" : "TCP";
  auto acceptor = std::make_unique<tcp::acceptor>(ctx.control);
  boost::system::error_code ec;
  tcp::endpoint at(address, static_cast<unsigned short>(port));
  acceptor->open(at.protocol(), ec);
  if (!ec) acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor->bind(at, ec);
  if (!ec) acceptor->listen(net::socket_base::max_listen_connections, ec);
  if (ec)
    throw std::runtime_error(std::string("Cannot listen for ") + name + " on " +
                             address.to_string() + ":" + std::to_string(port) + ": " +
                             ec.message());
  int bound = acceptor->local_endpoint().port();
  Accept(ctx, *acceptor, http);
  ctx.acceptors.push_back(std::move(acceptor));
  return bound;
}

}  // namespace

NetServer::NetServer(NetOptions options, IDispatcher& dispatcher, RequestLog& log)
    : ctx_(std::make_unique<NetContext>(std::move(options), dispatcher, log)) {}

NetServer::~NetServer() {
  Stop();
  Wait();
}

void NetServer::Start() {
  NetContext& ctx = *ctx_;
  auto address = Resolve(ctx);
  auto port = [](int p) { return p < 0 ? -1 : p; };
  try {
    if (port(ctx.options.httpPort) >= 0)
      ports_.http = Listen(ctx, address, ctx.options.httpPort, true);
    if (port(ctx.options.tcpPort) >= 0)
      ports_.tcp = Listen(ctx, address, ctx.options.tcpPort, false);
    if (port(ctx.options.udpPort) >= 0)
      ctx.udp = StartUdpEndpoint(
          ctx, net::ip::udp::endpoint(address, uint16_t(ctx.options.udpPort)), ports_.udp);
  } catch (...) {
    ctx.acceptors.clear();
    if (ctx.udp) CloseUdpEndpoint(ctx.udp);
    ctx.udp.reset();
    throw;
  }
  started_ = true;
  ctx.ForEachIo([&ctx](net::io_context& io) {
    ctx.keepRunning.push_back(net::make_work_guard(io));
    ctx.ioThreads.emplace_back([&io] { io.run(); });
  });
}

void NetServer::AwaitSignal() {
  NetContext& ctx = *ctx_;
  ctx.signals->async_wait([this](boost::system::error_code ec, int signal) {
    if (ec) return;
    if ((signal == SIGHUP || signal == SIGUSR1) && onOtherSignal_) {
      try {
        onOtherSignal_(signal);
      } catch (...) {
        // The handler reports its own failures; the server goes on.
      }
      AwaitSignal();
      return;
    }
    Stop();
  });
}

void NetServer::StopOnSignals(std::function<void(int signal)> other) {
  NetContext& ctx = *ctx_;
  onOtherSignal_ = std::move(other);
  // Returns only once the handlers are in place, so that a caller announcing readiness
  // afterwards (the "listening" line) can never be stopped by the signals' default action.
  std::promise<void> installed;
  std::future<void> done = installed.get_future();
  net::dispatch(ctx.control, [this, &ctx, &installed] {
    try {
      ctx.signals = std::make_unique<net::signal_set>(ctx.control, SIGINT, SIGTERM);
      if (onOtherSignal_) {
        ctx.signals->add(SIGHUP);
        ctx.signals->add(SIGUSR1);
      }
      AwaitSignal();
      installed.set_value();
    } catch (...) {
      installed.set_exception(std::current_exception());
    }
  });
  done.get();
}

void NetServer::Stop() {
  NetContext& ctx = *ctx_;
  if (ctx.stopping.exchange(true)) return;
  net::post(ctx.control, [&ctx] {
    boost::system::error_code ignored;
    for (auto& a : ctx.acceptors) a->close(ignored);
    if (ctx.udp) CloseUdpEndpoint(ctx.udp);
    if (ctx.signals) ctx.signals->cancel(ignored);
  });
  std::lock_guard<std::mutex> lock(ctx.stopMutex);
  ctx.stopped.notify_all();
}

void NetServer::Wait() {
  NetContext& ctx = *ctx_;
  if (joined_) return;
  {
    std::unique_lock<std::mutex> lock(ctx.stopMutex);
    ctx.stopped.wait(lock, [&] { return ctx.stopping.load(); });
  }
  if (started_) {
    // Requests in progress may finish and send their replies, within the grace period.
    auto deadline = std::chrono::steady_clock::now() + ctx.options.shutdownGrace;
    while (ctx.inFlight > 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (ctx.inFlight > 0)
      ctx.log.Event("-", "-",
                    std::to_string(ctx.inFlight.load()) +
                        " requests still running at shutdown; their replies are dropped");
  }
  ctx.keepRunning.clear();
  ctx.ForEachIo([](net::io_context& io) { io.stop(); });
  for (auto& t : ctx.ioThreads) t.join();
  ctx.ioThreads.clear();
  // The UDP endpoint's thread ends here at the latest: the close that Stop posted may not have
  // run before the I/O contexts stopped.
  if (ctx.udp) CloseUdpEndpoint(ctx.udp);
  ctx.workers.stop();
  ctx.workers.join();
  // No worker sends a UDP reply any more: the endpoint's socket may go (and its port with it).
  ctx.udp.reset();
  joined_ = true;
}

void NetServer::ServeMetrics(std::function<std::string()> page) {
  ctx_->metricsPage = std::move(page);
}

void NetServer::SetTlsCertificate(std::shared_ptr<const TlsCertificate> certificate) {
  if (started_ && (certificate == nullptr || ctx_->TlsCert() == nullptr))
    throw std::logic_error(
        "HTTP over TLS is chosen at the start; a running server only replaces its certificate");
  ctx_->SetTlsCert(std::move(certificate));
}

bool NetServer::ServesTls() const {
  return ctx_->TlsCert() != nullptr;
}

void NetServer::SetUsers(std::shared_ptr<const UserDirectory> users) {
  ctx_->SetUsers(std::move(users));
}

int NetServer::OpenConnections() const {
  return ctx_->connections.load();
}

}  // namespace qorvin::server
