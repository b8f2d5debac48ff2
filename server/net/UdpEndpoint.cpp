// The UDP transport: one datagram per request and per reply.
//
// Datagram, both directions:
//
//   offset size   field
//   0      38     request ID (the client's text; echoed unchanged)
//   38     rest   request or reply payload (no length field: the datagram's size gives it)
//
// Datagrams shorter than 38 bytes carry no ID to answer and are dropped (and logged), and so is a
// repeat of a request taken on in the last minute (RecentRequests). The socket
// is only touched from the thread that runs `ctx.io` (one thread runs it: no strand is needed);
// requests run on the workers, so the endpoint keeps receiving while they do.
#include <array>
#include <string_view>

#include "server/net/NetContext.h"
#include "server/net/RecentRequests.h"

namespace qorvin::server {

using udp = net::ip::udp;
using Clock = std::chrono::steady_clock;

class UdpEndpoint : public std::enable_shared_from_this<UdpEndpoint> {
 public:
  UdpEndpoint(NetContext& ctx, udp::endpoint at) : ctx_(ctx), socket_(ctx.io.get_executor()) {
    boost::system::error_code ec;
    socket_.open(at.protocol(), ec);
    if (!ec) socket_.bind(at, ec);
    if (!ec) socket_.non_blocking(true, ec);
    if (ec)
      throw std::runtime_error("Cannot listen for UDP on " + at.address().to_string() + ":" +
                               std::to_string(at.port()) + ": " + ec.message());
  }

  int Port() const { return socket_.local_endpoint().port(); }

  void Receive() {
    socket_.async_receive_from(net::buffer(buffer_), from_,
                               [self = shared_from_this()](boost::system::error_code ec, size_t n) {
                                 self->OnDatagram(ec, n);
                               });
  }

  void Close() {
    net::dispatch(socket_.get_executor(), [self = shared_from_this()] {
      boost::system::error_code ignored;
      self->socket_.close(ignored);
    });
  }

 private:
  void OnDatagram(boost::system::error_code ec, size_t n) {
    if (ec == net::error::operation_aborted || !socket_.is_open()) return;
    if (ec) {
      ctx_.log.Event("UDP", "-", "receive failed: " + ec.message());
      return Receive();
    }
    // A client sends its requests from one socket: the text of the last peer is kept.
    if (from_ != lastFrom_ || lastPeer_.empty()) {
      lastFrom_ = from_;
      lastPeer_ = from_.address().to_string() + ":" + std::to_string(from_.port());
    }
    const std::string& peer = lastPeer_;
    if (n < kRequestIdLength) {
      ctx_.log.Event("UDP", peer,
                     "dropped a datagram of " + std::to_string(n) + " bytes (no request ID)");
      return Receive();
    }
    auto started = Clock::now();
    // The ID and the payload stay where they lie in the buffer until the request is answered at
    // once or handed to a worker: the buffer is not read into again before Receive().
    const std::string_view id(buffer_.data(), kRequestIdLength);
    const std::string_view payload(buffer_.data() + kRequestIdLength, n - kRequestIdLength);
    // A datagram the network delivered twice runs once; the client drops a second answer anyway.
    if (!recent_.Admit(peer, id, payload, started)) {
      ctx_.log.Event("UDP", peer, "dropped a repeated request " + std::string(id));
      return Receive();
    }
    auto token = ctx_.BeginRequest();
    if (payload.size() > ctx_.options.maxRequestBytes) {
      DispatchReply reply =
          ctx_.dispatcher.Refuse("The request (" + std::to_string(payload.size()) +
                                     " bytes) is larger than the server's limit of " +
                                     std::to_string(ctx_.options.maxRequestBytes) + " bytes",
                                 RequestInfo{"UDP", peer});
      reply.failed = true;
      Send(from_, peer, id, std::move(reply), payload.size(), started, token);
    } else if (ctx_.dispatcher.AtOnce(payload)) {
      // Answered on this thread, from the buffer, and sent before the socket is asked for the
      // next datagram (no copy of the request, no round through the I/O loop in between).
      Send(from_, peer, id, ctx_.Answer(payload, RequestInfo{"UDP", peer}), payload.size(), started,
           token);
    } else {
      // The socket keeps receiving on its thread meanwhile: the request goes to a worker with
      // its own copy, and the reply comes back to this thread to be sent.
      size_t in = payload.size();
      ctx_.Dispatch(std::string(payload), RequestInfo{"UDP", peer},
                    [self = shared_from_this(), to = from_, peer, id = std::string(id), in, started,
                     token](DispatchReply reply) mutable {
                      net::dispatch(
                          self->socket_.get_executor(),
                          [self, to, peer = std::move(peer), id = std::move(id), in, started,
                           token = std::move(token), reply = std::move(reply)]() mutable {
                            self->Send(to, peer, id, std::move(reply), in, started, token);
                          });
                    });
    }
    Receive();
  }

  void Send(const udp::endpoint& to, const std::string& peer, std::string_view id,
            DispatchReply reply, size_t in, Clock::time_point started,
            const NetContext::InFlight& token) {
    if (!socket_.is_open()) return;
    if (id.size() + reply.body.size() > kMaxDatagram) {
      size_t size = reply.body.size();
      std::string summary = reply.summary;
      reply = ctx_.dispatcher.Refuse(
          "The reply (" + std::to_string(size) + " bytes) does not fit in one UDP datagram",
          RequestInfo{"UDP", peer});
      reply.summary = summary;
      reply.failed = true;
    }
    // The request's line is written before its reply leaves, so that the log's order is the
    // order in which clients got their replies; a reply that could not be sent adds an event.
    ctx_.log.Request("UDP", peer, reply.operation, reply.summary, in, reply.body.size(),
                     Clock::now() - started, reply.failed);
    // One datagram from two pieces, sent at once: the socket is non-blocking, and only a reply
    // it cannot take now waits for room (asynchronously, with its own copy of the bytes).
    std::array<net::const_buffer, 2> pieces{net::buffer(id.data(), id.size()),
                                            net::buffer(reply.body)};
    boost::system::error_code ec;
    socket_.send_to(pieces, to, 0, ec);
    if (ec != net::error::would_block && ec != net::error::try_again) {
      if (ec) ctx_.log.Event("UDP", peer, "reply not sent: " + ec.message());
      return;
    }
    auto datagram = std::make_shared<std::string>(std::string(id) + reply.body);
    socket_.async_send_to(
        net::buffer(*datagram), to,
        [self = shared_from_this(), datagram, token, peer](boost::system::error_code ec, size_t) {
          if (ec && ec != net::error::operation_aborted)
            self->ctx_.log.Event("UDP", peer, "reply not sent: " + ec.message());
        });
  }

  NetContext& ctx_;
  // The concrete executor, not a type-erased one: a reply made on the socket's own thread is
  // sent through a plain inline call.
  net::basic_datagram_socket<udp, IoExecutor> socket_;
  std::array<char, 65536> buffer_{};
  udp::endpoint from_;
  udp::endpoint lastFrom_;  // the socket thread's own
  std::string lastPeer_;
  RecentRequests recent_{16384, std::chrono::seconds(60)};
};

std::shared_ptr<UdpEndpoint> StartUdpEndpoint(NetContext& ctx, udp::endpoint at, int& boundPort) {
  auto endpoint = std::make_shared<UdpEndpoint>(ctx, at);
  boundPort = endpoint->Port();
  endpoint->Receive();
  return endpoint;
}

void CloseUdpEndpoint(const std::shared_ptr<UdpEndpoint>& endpoint) {
  endpoint->Close();
}

}  // namespace qorvin::server
