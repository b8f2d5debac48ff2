// One HTTP connection: requests are read with Beast's parser (body limited to the request
// bound), POSTs to "/Bin" go to the dispatcher, everything else is answered at once. Over TLS
// the same, after a server handshake (within the idle time-out) with the certificate the
// connection took at accept.
//
// NetContext.h comes first: it prepares Boost's headers (see there).
// clang-format off
#include "server/net/NetContext.h"
#include "server/net/SentBytes.h"
#include "server/net/TlsContext.h"
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
// clang-format on

#include <limits>
#include <optional>
#include <thread>
#include <type_traits>

namespace qorvin::server {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using Clock = std::chrono::steady_clock;

bool IsBinPath(beast::string_view target) {
  auto path = target.substr(0, target.find('?'));
  if (path.size() != 4) return false;
  const char* want = "/bin";
  for (size_t i = 0; i < 4; ++i) {
    char c = path[i];
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (c != want[i]) return false;
  }
  return true;
}

bool IsMetricsPath(beast::string_view target) {
  return target.substr(0, target.find('?')) == "/metrics";
}

bool IsHealthPath(beast::string_view target) {
  return target.substr(0, target.find('?')) == "/health";
}

// kTls: the connection is a TLS stream over the socket (its certificate held for its life).
template <bool kTls>
class HttpSession : public std::enable_shared_from_this<HttpSession<kTls>> {
 public:
  using Stream = std::conditional_t<kTls, beast::ssl_stream<TcpSocket>, TcpSocket>;

  // A non-empty `refusal` serves no request: the first one is answered with the dispatcher's
  // refusal of that reason (status 500) and the connection closes. Such a session holds no
  // connection slot; it counts among the refusals in progress instead.
  HttpSession(NetContext& ctx, TcpSocket socket, std::shared_ptr<const TlsCertificate> cert,
              std::string refusal = {})
      : ctx_(ctx),
        slot_(ctx),
        peer_(PeerText(socket)),
        address_(peer_.substr(0, peer_.rfind(':'))),
        refusal_(std::move(refusal)),
        cert_(std::move(cert)),
        socket_(MakeStream(std::move(socket), cert_.get())) {
    if (!refusal_.empty()) {
      slot_.Release();
      ++ctx_.refusing;
    }
    beast::error_code ignored;
    Socket().set_option(net::ip::tcp::no_delay(true), ignored);
    Socket().non_blocking(true, ignored);  // a write tried at once never waits (see Reply)
  }
  ~HttpSession() {
    if (!refusal_.empty()) --ctx_.refusing;
  }

  void Start() {
    net::dispatch(socket_.get_executor(), [self = this->shared_from_this()] {
      self->ioThread_ = std::this_thread::get_id();
      if constexpr (kTls) {
        self->ArmIdleTimer();  // a client that never completes its handshake is idle
        self->socket_.async_handshake(net::ssl::stream_base::server, [self](beast::error_code ec) {
          if (ec) return self->Close();
          self->Read();
        });
      } else {
        self->Read();
      }
    });
  }

 private:
  static Stream MakeStream(TcpSocket socket, const TlsCertificate* cert) {
    if constexpr (kTls) {
      return Stream(std::move(socket), cert->Context().ssl);
    } else {
      return socket;
    }
  }
  TcpSocket& Socket() {
    if constexpr (kTls) {
      return socket_.next_layer();
    } else {
      return socket_;
    }
  }

  void Read() {
    if (ctx_.stopping) return Close();
    parser_.emplace();
    // The declared length is judged in OnHeader. (No limit at all, boost::none, is mishandled by
    // this Beast version: every declared length then counts as over the limit.)
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    ArmIdleTimer();  // covers the whole request, header and body
    http::async_read_header(
        socket_, buffer_, *parser_,
        [self = this->shared_from_this()](beast::error_code ec, size_t) { self->OnHeader(ec); });
  }

  // A declared length over the bound is refused before any of the body is read.
  void OnHeader(beast::error_code ec) {
    if (ec) return Close();
    auto declared = parser_->content_length();
    if (declared && *declared > ctx_.options.maxRequestBytes)
      return RefuseTooLarge(std::to_string(*declared) + " bytes");
    parser_->body_limit(ctx_.options.maxRequestBytes);  // chunked bodies
    // The body of a small request came with its header: it is parsed from the buffer here, where
    // a read that completes at once would take a further pass through the I/O loop.
    if (!parser_->is_done() && buffer_.size() > 0) {
      beast::error_code parsed;
      buffer_.consume(parser_->put(buffer_.data(), parsed));
      if (parsed && parsed != http::error::need_more) return OnRead(parsed);
    }
    if (parser_->is_done()) return OnRead({});
    http::async_read(
        socket_, buffer_, *parser_,
        [self = this->shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
  }

  void RefuseTooLarge(const std::string& size) {
    DispatchReply reply =
        ctx_.dispatcher.Refuse("The request (" + size + ") is larger than the server's limit of " +
                                   std::to_string(ctx_.options.maxRequestBytes) + " bytes",
                               RequestInfo{"HTTP", peer_});
    reply.failed = true;
    keepAlive_ = false;
    version_ = parser_->get().version();
    Reply(http::status::internal_server_error, std::move(reply), 0, Clock::now(),
          ctx_.BeginRequest());
  }

  void OnRead(beast::error_code ec) {
    if (ec == http::error::body_limit) return RefuseTooLarge("a chunked body");
    if (ec) return Close();  // end of stream, time-out, malformed request, shutdown
    auto started = Clock::now();
    http::request<http::string_body> req = parser_->release();
    keepAlive_ = req.keep_alive();
    version_ = req.version();
    auto token = ctx_.BeginRequest();
    if (!refusal_.empty()) {
      keepAlive_ = false;
      DispatchReply reply = ctx_.dispatcher.Refuse(refusal_, RequestInfo{"HTTP", peer_});
      reply.failed = true;
      return Reply(http::status::internal_server_error, std::move(reply), req.body().size(),
                   started, std::move(token));
    }
    if (req.method() == http::verb::get && IsHealthPath(req.target())) {
      // For load balancers and service monitors: 200 while the server serves, 503 once it stops.
      const bool stopping = ctx_.stopping;
      DispatchReply reply{stopping ? "stopping\n" : "ok\n", stopping, "GET /health"};
      return Reply(stopping ? http::status::service_unavailable : http::status::ok,
                   std::move(reply), 0, started, std::move(token), "text/plain");
    }
    const bool metrics =
        req.method() == http::verb::get && ctx_.metricsPage && IsMetricsPath(req.target());
    if (!metrics && !IsBinPath(req.target())) {
      DispatchReply reply{"Not Found", true, "404 " + std::string(req.target())};
      return Reply(http::status::not_found, std::move(reply), req.body().size(), started,
                   std::move(token), "text/plain");
    }
    if (!metrics && req.method() != http::verb::post) {
      DispatchReply reply{"Method Not Allowed", true, "405 " + std::string(req.method_string())};
      return Reply(http::status::method_not_allowed, std::move(reply), req.body().size(), started,
                   std::move(token), "text/plain");
    }
    std::shared_ptr<const UserDirectory> users = ctx_.Users();
    if (users == nullptr) {
      // Users taken away by a reload: no user's name or rights any more.
      entry_.reset();
      user_.clear();
      verifiedWith_.reset();
      verified_.clear();
      return Serve(std::move(req), metrics, started, std::move(token));
    }
    std::string authorization(req[http::field::authorization]);
    if (users == verifiedWith_ && !authorization.empty() && authorization == verified_)
      return Serve(std::move(req), metrics, started, std::move(token));
    // A check costs a slow hash: it runs on a worker, never on the I/O thread. Nothing else of
    // this session runs meanwhile.
    idle_.Disarm();
    net::post(ctx_.workers, [self = this->shared_from_this(), users = std::move(users),
                             authorization = std::move(authorization), req = std::move(req),
                             metrics, started, token = std::move(token)]() mutable {
      const std::string user = users->Check(authorization);
      if (user.empty()) return self->RefuseUnauthorized(authorization, started, std::move(token));
      self->ctx_.authFailures.Succeeded(self->address_);
      // The user's entry lives as long as the directory it came from.
      self->entry_ = std::shared_ptr<const HttpUser>(users, users->Find(user));
      self->verifiedWith_ = std::move(users);
      self->verified_ = std::move(authorization);
      self->user_ = user;
      self->Serve(std::move(req), metrics, started, std::move(token));
    });
  }

  // Answers an accepted request: the metrics page, or the dispatcher's reply.
  void Serve(http::request<http::string_body> req, bool metrics, Clock::time_point started,
             NetContext::InFlight token) {
    if (metrics) {
      DispatchReply reply{{}, false, "GET /metrics"};
      try {
        reply.body = ctx_.metricsPage();
      } catch (const std::exception& e) {
        reply = DispatchReply{"Metrics unavailable", true, std::string("GET /metrics ") + e.what()};
        return Reply(http::status::internal_server_error, std::move(reply), 0, started,
                     std::move(token), "text/plain");
      }
      return Reply(http::status::ok, std::move(reply), 0, started, std::move(token),
                   "text/plain; version=0.0.4; charset=utf-8");
    }
    size_t in = req.body().size();
    DispatchReply refusal;
    NetContext::InFlight admitted =
        ctx_.BeginRequestFrom(address_, RequestInfo{"HTTP", peer_}, refusal);
    if (admitted == nullptr)
      return Reply(http::status::internal_server_error, std::move(refusal), in, started,
                   std::move(token));
    token = std::move(admitted);
    idle_.Disarm();  // a running request is not idleness
    // The reply is written from the worker: nothing else of this session runs meanwhile.
    ctx_.Dispatch(std::move(req.body()), RequestInfo{"HTTP", peer_, entry_},
                  [self = this->shared_from_this(), in, started, token](DispatchReply reply) {
                    auto status =
                        reply.failed ? http::status::internal_server_error : http::status::ok;
                    if (!self->user_.empty()) {
                      reply.summary += " http-user=" + self->user_;
                      reply.httpUser = self->user_;
                    }
                    self->Reply(status, std::move(reply), in, started, token);
                  });
  }

  // 401 with the scheme to use, after the wait the throttle asks for. The log names the user
  // the header claimed (never its password); the refusal is counted.
  void RefuseUnauthorized(const std::string& authorization, Clock::time_point started,
                          NetContext::InFlight token) {
    std::string claimed, password;
    const bool basic = DecodeBasicCredentials(authorization, claimed, password);
    const std::string problem = NameProblem(claimed);
    DispatchReply reply{"Unauthorized: a valid user name and password are needed\n", true,
                        authorization.empty() ? "401 no credentials"
                        : !basic              ? "401 not Basic credentials"
                        : !problem.empty()    ? "401 a malformed user name"
                                              : "401 user " + claimed + " refused"};
    ctx_.log.Refused("HTTP", peer_, "unauthorized", "", false);
    const auto wait = ctx_.authFailures.Failed(address_, Clock::now());
    if (wait.count() == 0)
      return Reply(http::status::unauthorized, std::move(reply), 0, started, std::move(token),
                   "text/plain");
    auto timer = std::make_shared<net::steady_timer>(socket_.get_executor(), wait);
    timer->async_wait([self = this->shared_from_this(), timer, reply = std::move(reply), started,
                       token = std::move(token)](beast::error_code) mutable {
      self->Reply(http::status::unauthorized, std::move(reply), 0, started, std::move(token),
                  "text/plain");
    });
  }

  static std::string NameProblem(const std::string& name) {
    return UserDirectory::NameProblem(name);
  }

  void Reply(http::status status, DispatchReply reply, size_t in, Clock::time_point started,
             NetContext::InFlight token, const char* contentType = "application/binary") {
    auto res =
        std::make_shared<http::response<http::string_body>>(status, version_ ? version_ : 11);
    res->set(http::field::server, "qorvin-server");
    res->set(http::field::content_type, contentType);
    if (status == http::status::method_not_allowed) res->set(http::field::allow, "POST");
    if (status == http::status::unauthorized)
      res->set(http::field::www_authenticate, "Basic realm=\"qorvin-server\", charset=\"UTF-8\"");
    res->keep_alive(keepAlive_ && !ctx_.stopping);
    size_t out = reply.body.size();
    res->body() = std::move(reply.body);
    res->prepare_payload();
    // The request's line is written before its reply leaves, so that the log's order is the
    // order in which clients got their replies; a reply that could not be sent adds an event.
    ctx_.log.Request("HTTP", peer_, reply, in, out, Clock::now() - started);
    // A peer that does not read its reply is idle too. (Possibly on the worker: the wait is
    // pending, only the deadline moves.)
    idle_.Touch(ctx_.options.idleTimeout);
    auto writer = std::make_shared<http::response_serializer<http::string_body>>(*res);
    // On the session's own thread the reply is offered to the (non-blocking) socket at once: a
    // small one is usually taken whole, and the session reads on without the write's completion
    // taking a further pass through the I/O loop. What the socket does not take is written
    // asynchronously, as a worker's reply always is.
    // (A TLS stream is always written asynchronously: a record the socket took in part cannot
    // be offered again as new data.)
    if (!kTls && std::this_thread::get_id() == ioThread_) {
      beast::error_code ec;
      while (!ec && !writer->is_done()) http::write_some(socket_, *writer, ec);
      if (ec != net::error::would_block && ec != net::error::try_again)
        return Sent(ec, res->keep_alive(), res->body());
    }
    http::async_write(
        socket_, *writer,
        [self = this->shared_from_this(), res, writer, token](beast::error_code ec, size_t) {
          self->Sent(ec, res->keep_alive(), res->body());
        });
  }

  void Sent(beast::error_code ec, bool keepAlive, std::string& body) {
    ReleaseSentBytes(body);
    if (ec && ec != net::error::operation_aborted)
      ctx_.log.Event("HTTP", peer_, "reply not sent: " + ec.message(), "warning");
    if (ec || !keepAlive) return Close();
    Read();
  }

  void ArmIdleTimer() {
    idle_.Arm(ctx_.options.idleTimeout, [self = this->shared_from_this()] { self->Close(); });
  }

  // Releases the connection's slot, then closes (any pending operation ends with an error).
  void Close() {
    slot_.Release();
    idle_.Cancel();
    beast::error_code ignored;
    Socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
    Socket().close(ignored);
  }

  NetContext& ctx_;
  ConnectionSlot slot_;
  std::string peer_;
  std::string address_;  // the peer's address alone, for the failure throttle
  // The Authorization value last accepted on this connection, with the users it was checked
  // against (a reload checks it again), and its user.
  std::string verified_;
  std::shared_ptr<const UserDirectory> verifiedWith_;
  std::string user_;
  std::shared_ptr<const HttpUser> entry_;       // user_'s entry in verifiedWith_
  std::string refusal_;                         // see the constructor
  std::shared_ptr<const TlsCertificate> cert_;  // null without TLS
  // Without TLS a plain socket: its completions run straight from the reactor, where a wrapping
  // stream posted each one again (a further pass through the I/O loop per read).
  Stream socket_;
  IdleTimer idle_{socket_.get_executor()};
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  bool keepAlive_ = true;
  unsigned version_ = 11;
  std::thread::id ioThread_;  // the thread that runs the session's I/O context
};

}  // namespace

void StartHttpSession(NetContext& ctx, TcpSocket socket, std::string refusal) {
  std::shared_ptr<const TlsCertificate> cert = ctx.TlsCert();
  if (cert) {
    std::make_shared<HttpSession<true>>(ctx, std::move(socket), std::move(cert), std::move(refusal))
        ->Start();
  } else {
    std::make_shared<HttpSession<false>>(ctx, std::move(socket), nullptr, std::move(refusal))
        ->Start();
  }
}

}  // namespace qorvin::server
