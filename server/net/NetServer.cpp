#include "server/net/NetServer.h"

#include <array>
#include <csignal>
#include <future>
#include <stdexcept>
#include <vector>

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

// Every bind address, resolved before anything is bound.
std::vector<net::ip::address> ResolveAll(NetContext& ctx) {
  std::vector<net::ip::address> addresses;
  for (const std::string& text : ctx.options.bindAddresses) {
    boost::system::error_code ec;
    auto address = net::ip::make_address(text, ec);
    if (ec) {
      tcp::resolver resolver(ctx.io);
      auto results = resolver.resolve(text, "", ec);
      if (ec || results.empty())
        throw std::runtime_error("Cannot resolve the bind address \"" + text +
                                 "\": " + (ec ? ec.message() : "no address"));
      address = results.begin()->endpoint().address();
    }
    addresses.push_back(address);
  }
  if (addresses.empty()) throw std::runtime_error("No address to listen on");
  return addresses;
}

std::string EndpointText(const net::ip::address& address, int port) {
  const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  return host + ":" + std::to_string(port);
}

// How often a port the system chose on the first address is given up for another because a
// further address has it taken already.
constexpr int kPortTries = 8;

// Binds one transport on every address, on one port: `requested`, or for 0 one the system picks
// on the first address and the others then take. `bind(address, port, ec)` binds one socket and
// returns its port (ec set on failure); `undo()` drops the sockets this transport bound so far.
// Returns the port; std::runtime_error with the system's reason when an address cannot be bound.
template <typename Bind, typename Undo>
int BindEverywhere(const std::vector<net::ip::address>& addresses, int requested, const char* name,
                   Bind bind, Undo undo) {
  for (int attempt = 1;; ++attempt) {
    int port = requested;
    bool retry = false;
    for (size_t i = 0; i < addresses.size() && !retry; ++i) {
      boost::system::error_code ec;
      const int bound = bind(addresses[i], port, ec);
      if (!ec) {
        port = bound;
        continue;
      }
      if (requested == 0 && i > 0 && ec == net::error::address_in_use && attempt < kPortTries) {
        undo();
        retry = true;
        continue;
      }
      throw std::runtime_error(std::string("Cannot listen for ") + name + " on " +
                               EndpointText(addresses[i], port) + ": " + ec.message());
    }
    if (!retry) return port;
  }
}

// A listening acceptor on `address`:`port` (its port in `bound`), not accepting yet; null with
// `ec` set when it cannot be bound.
std::unique_ptr<tcp::acceptor> BindAcceptor(NetContext& ctx, const net::ip::address& address,
                                            int port, bool v6Only, boost::system::error_code& ec,
                                            int& bound) {
  auto acceptor = std::make_unique<tcp::acceptor>(ctx.control);
  tcp::endpoint at(address, static_cast<unsigned short>(port));
  acceptor->open(at.protocol(), ec);
  if (!ec && v6Only && address.is_v6()) acceptor->set_option(net::ip::v6_only(true), ec);
  if (!ec) acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor->bind(at, ec);
  if (!ec) acceptor->listen(net::socket_base::max_listen_connections, ec);
  if (!ec) bound = acceptor->local_endpoint(ec).port();
  if (ec) return nullptr;
  return acceptor;
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
  const std::vector<net::ip::address> addresses = ResolveAll(ctx);
  const bool v6Only = addresses.size() > 1;
  // Everything is bound first and serves only once every socket is bound, so that a failure
  // leaves nothing listening: the sockets bound so far close with these vectors.
  std::vector<std::unique_ptr<tcp::acceptor>> http, tcpAcceptors;
  std::vector<std::shared_ptr<UdpEndpoint>> udp;
  const auto acceptorsOn = [&](std::vector<std::unique_ptr<tcp::acceptor>>& into) {
    return [&ctx, &into, v6Only](const net::ip::address& address, int port,
                                 boost::system::error_code& ec) {
      int bound = -1;
      auto acceptor = BindAcceptor(ctx, address, port, v6Only, ec, bound);
      if (acceptor) into.push_back(std::move(acceptor));
      return bound;
    };
  };
  if (ctx.options.httpPort >= 0)
    ports_.http = BindEverywhere(addresses, ctx.options.httpPort, "HTTP", acceptorsOn(http),
                                 [&http] { http.clear(); });
  if (ctx.options.tcpPort >= 0)
    ports_.tcp = BindEverywhere(addresses, ctx.options.tcpPort, "TCP", acceptorsOn(tcpAcceptors),
                                [&tcpAcceptors] { tcpAcceptors.clear(); });
  if (ctx.options.udpPort >= 0)
    ports_.udp = BindEverywhere(
        addresses, ctx.options.udpPort, "UDP",
        [&ctx, &udp, v6Only](const net::ip::address& address, int port,
                             boost::system::error_code& ec) {
          int bound = -1;
          auto endpoint = BindUdpEndpoint(ctx, net::ip::udp::endpoint(address, uint16_t(port)),
                                          v6Only, ec, bound);
          if (endpoint) udp.push_back(std::move(endpoint));
          return bound;
        },
        [&udp] { udp.clear(); });
  for (auto* group : {&http, &tcpAcceptors})
    for (auto& acceptor : *group) {
      Accept(ctx, *acceptor, group == &http);
      ctx.acceptors.push_back(std::move(acceptor));
    }
  for (auto& endpoint : udp) {
    StartUdpEndpoint(endpoint);
    ctx.udp.push_back(std::move(endpoint));
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
    for (auto& endpoint : ctx.udp) CloseUdpEndpoint(endpoint);
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
  for (auto& endpoint : ctx.udp) CloseUdpEndpoint(endpoint);
  ctx.workers.stop();
  ctx.workers.join();
  // No worker sends a UDP reply any more: the endpoints' sockets may go (and their ports).
  ctx.udp.clear();
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
