#include "server/net/NetServer.h"

#include <csignal>
#include <future>
#include <stdexcept>

#include "server/net/NetContext.h"

namespace qorvin::server {
namespace {

using tcp = net::ip::tcp;

void Accept(NetContext& ctx, tcp::acceptor& acceptor, bool http) {
  acceptor.async_accept(ctx.NextIo().get_executor(), [&ctx, &acceptor, http](
                                                         boost::system::error_code ec,
                                                         TcpSocket socket) {
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
        ctx.log.Refused(http ? "HTTP" : "TCP", PeerText(socket), "too-many-connections", "", false);
        ctx.log.Event(http ? "HTTP" : "TCP", PeerText(socket),
                      "connection refused: " + std::to_string(ctx.options.maxConnections) +
                          " connections are open already");
        boost::system::error_code ignored;
        socket.close(ignored);
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

void NetServer::SetUsers(std::shared_ptr<const UserDirectory> users) {
  ctx_->SetUsers(std::move(users));
}

int NetServer::OpenConnections() const {
  return ctx_->connections.load();
}

}  // namespace qorvin::server
