// One TCP connection carrying length-prefixed frames, one request at a time.
//
// Frame, both directions:
//
//   offset size  field
//   0      4     payload length L, unsigned, big-endian
//   4      L     payload
//
// A request frame longer than the request bound is answered with the dispatcher's Refuse reply
// and the connection is closed (its payload is never read).
// NetContext.h comes first: it prepares Boost's headers (see there).
// clang-format off
#include "server/net/NetContext.h"
#include "server/net/SentBytes.h"
// clang-format on

#include <poll.h>

#include <algorithm>
#include <array>
#include <optional>
#include <thread>

namespace qorvin::server {
namespace {

using error_code = boost::system::error_code;
using Clock = std::chrono::steady_clock;

// The payload length of the frame whose 4-byte header starts at `header`.
uint32_t FrameLength(const uint8_t* header) {
  return uint32_t(header[0]) << 24 | uint32_t(header[1]) << 16 | uint32_t(header[2]) << 8 |
         uint32_t(header[3]);
}

class TcpSession : public std::enable_shared_from_this<TcpSession> {
 public:
  TcpSession(NetContext& ctx, TcpSocket socket)
      : ctx_(ctx),
        slot_(ctx),
        peer_(PeerText(socket)),
        address_(peer_.substr(0, peer_.rfind(':'))),
        socket_(std::move(socket)) {
    error_code ignored;
    socket_.set_option(net::ip::tcp::no_delay(true), ignored);
    socket_.non_blocking(true, ignored);
  }

  void Start() {
    net::dispatch(socket_.get_executor(), [self = shared_from_this()] {
      self->ioThread_ = std::this_thread::get_id();
      self->ReadHeader();
    });
  }

 private:
  void ReadHeader() {
    if (ctx_.stopping) return Close();
    ArmIdleTimer();  // covers the whole frame, header and payload
    FillHeader();
  }

  // Reads ahead: a small request's header and payload usually come with one receive, and what
  // follows the frame stays in `ahead_` for the next one.
  void FillHeader() {
    if (aheadEnd_ - aheadBegin_ >= header_.size()) return OnHeader({});
    std::copy(ahead_.begin() + ptrdiff_t(aheadBegin_), ahead_.begin() + ptrdiff_t(aheadEnd_),
              ahead_.begin());
    aheadEnd_ -= aheadBegin_;
    aheadBegin_ = 0;
    socket_.async_read_some(net::buffer(ahead_.data() + aheadEnd_, ahead_.size() - aheadEnd_),
                            [self = shared_from_this()](error_code ec, size_t n) {
                              if (ec) return self->OnHeader(ec);
                              self->aheadEnd_ += n;
                              self->FillHeader();
                            });
  }

  // Takes up to `n` bytes already read ahead.
  size_t TakeAhead(uint8_t* to, size_t n) {
    n = std::min(n, aheadEnd_ - aheadBegin_);
    std::copy_n(ahead_.data() + aheadBegin_, n, to);
    aheadBegin_ += n;
    return n;
  }

  void OnHeader(error_code ec) {
    if (ec) return Close();  // the peer closed, went idle too long, or the server stops
    started_ = Clock::now();
    TakeAhead(header_.data(), header_.size());
    const uint32_t length = FrameLength(header_.data());
    auto token = ctx_.BeginRequest();
    if (length > ctx_.options.maxRequestBytes) {
      DispatchReply reply =
          ctx_.dispatcher.Refuse("The request (" + std::to_string(length) +
                                     " bytes) is larger than the server's limit of " +
                                     std::to_string(ctx_.options.maxRequestBytes) + " bytes",
                                 RequestInfo{"TCP", peer_});
      reply.failed = true;
      return Write(std::move(reply), 0, std::move(token), false);
    }
    length_ = length;
    body_.resize(std::min<size_t>(length_, aheadEnd_ - aheadBegin_));
    TakeAhead(reinterpret_cast<uint8_t*>(body_.data()), body_.size());
    ReadBody(std::move(token));
  }

  // The rest of the payload arrives in pieces of at most 64 KiB, so memory grows with the bytes
  // actually received, not with the length a peer announces. The deadline set for the frame
  // still holds.
  void ReadBody(NetContext::InFlight token) {
    size_t have = body_.size();
    if (have == length_) return OnBody({}, std::move(token));
    size_t piece = std::min<size_t>(length_ - have, 65536);
    body_.resize(have + piece);
    net::async_read(socket_, net::buffer(body_.data() + have, piece),
                    [self = shared_from_this(), token](error_code ec, size_t) {
                      if (ec) return self->Close();
                      self->ReadBody(token);
                    });
  }

  void OnBody(error_code ec, NetContext::InFlight token) {
    if (ec) return Close();
    idle_.Disarm();  // a running request is not idleness
    size_t in = body_.size();
    // The request leaves `body_` before it is dispatched: a request answered at once goes on to
    // the next frame inside Dispatch, and the start of that frame, read ahead, is already in
    // `body_` when Dispatch returns.
    std::string request = std::move(body_);
    body_.clear();
    DispatchReply refusal;
    NetContext::InFlight admitted = ctx_.BeginRequestFrom(address_, {"TCP", peer_}, refusal);
    if (admitted == nullptr) return Write(std::move(refusal), in, std::move(token), true);
    // The reply is written from the worker: nothing else of this session runs meanwhile. The
    // address's slot is given back once the reply is made, before it is written: a client that
    // has its reply may send its next request on any connection.
    ctx_.Dispatch(std::move(request), RequestInfo{"TCP", peer_},
                  [self = shared_from_this(), in, token = std::move(token),
                   admitted = std::move(admitted)](DispatchReply reply) mutable {
                    admitted.reset();
                    self->WriteAndServeOn(std::move(reply), in, std::move(token));
                  });
  }

  // Writes a reply; then, on a worker, runs the requests that came while the worker waited for
  // them (SentFromWorker, next_) one after another, each admitted as a request read by the I/O
  // thread is. A loop, not a recursion: a client reading back to back stays on this worker for
  // as long as it keeps its pace.
  void WriteAndServeOn(DispatchReply reply, size_t in, NetContext::InFlight token) {
    for (;;) {
      Write(std::move(reply), in, std::move(token), true);
      if (!next_) return;
      std::string request = std::move(next_->body);
      token = std::move(next_->token);
      next_.reset();
      in = request.size();
      DispatchReply refusal;
      NetContext::InFlight admitted = ctx_.BeginRequestFrom(address_, {"TCP", peer_}, refusal);
      if (admitted == nullptr) {
        reply = std::move(refusal);
        continue;
      }
      reply = ctx_.Answer(request, RequestInfo{"TCP", peer_});
      admitted.reset();
    }
  }

  void Write(DispatchReply reply, size_t in, NetContext::InFlight token, bool keep) {
    if (reply.body.size() > UINT32_MAX) {
      reply = ctx_.dispatcher.Refuse("The reply is too large for one frame", {"TCP", peer_});
      reply.failed = true;
    }
    // One reply at a time: the session keeps its bytes until the write completes.
    out_ = std::move(reply.body);
    uint32_t n = uint32_t(out_.size());
    prefix_ = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    std::array<net::const_buffer, 2> buffers{net::buffer(prefix_), net::buffer(out_)};
    // The request's line is written before its reply leaves, so that the log's order is the
    // order in which clients got their replies; a reply that could not be sent adds an event.
    ctx_.log.Request("TCP", peer_, reply, in, out_.size(), Clock::now() - started_);
    // A peer that does not read its reply is idle too. (Possibly on the worker: the wait is
    // pending, only the deadline moves.)
    idle_.Touch(ctx_.options.idleTimeout);
    // On the session's own thread the reply is offered to the socket at once (it is non-blocking):
    // a small one is usually taken whole, and the session reads on without the write's
    // completion taking a further pass through the I/O loop. What the socket does not take is
    // written asynchronously, as a worker's reply always is.
    // From a worker the reply is offered to the socket at once too: a reply taken whole lets the
    // worker start the wait for the next request itself (SentFromWorker), so that a small read
    // does not wake the session's I/O thread only to do that.
    const bool onIoThread = std::this_thread::get_id() == ioThread_;
    error_code ec;
    size_t sent = socket_.write_some(buffers, ec);
    if (ec == net::error::would_block || ec == net::error::try_again) ec = {}, sent = 0;
    const bool whole = !ec && sent == prefix_.size() + out_.size();
    if (onIoThread && (ec || whole)) return Sent(ec, keep);
    if (ec) {
      net::post(socket_.get_executor(),
                [self = shared_from_this(), token, ec, keep] { self->Sent(ec, keep); });
      return;
    }
    // The request's token (not its address slot, given back already) stays until the worker
    // is done with the socket, waiting for the next request included: the server's stop waits
    // for it before the I/O context goes.
    if (whole) return SentFromWorker(keep);
    net::async_write(
        socket_, Unsent(buffers, sent),
        [self = shared_from_this(), token, keep](error_code ec, size_t) { self->Sent(ec, keep); });
  }

  // On the worker, after a reply went out whole: when the session goes on and has no further
  // request read ahead, waits for the next one from here (the socket's read completes on the I/O
  // thread, as every read does; nothing else of the session runs meanwhile, and its idle timer
  // keeps waiting, only its deadline moved). Otherwise (closing, a request already read ahead)
  // the I/O thread goes on.
  void SentFromWorker(bool keep) {
    if (!keep || ctx_.stopping || aheadEnd_ != aheadBegin_) {
      net::post(socket_.get_executor(),
                [self = shared_from_this(), keep] { self->Sent({}, keep); });
      return;
    }
    ReleaseSentBytes(out_);
    if (ctx_.MayLinger() && TakeNextRequest()) return;
    FillHeader();
  }

  // On the worker, with nothing read ahead and no read pending: waits up to the linger time for
  // the connection's next request and takes it when it came whole within one receive (next_).
  // Otherwise false, with whatever was received in `ahead_` for FillHeader to go on from (a
  // closed or failed connection is left to the read that follows, which fails the same way).
  bool TakeNextRequest() {
    const auto linger = ctx_.options.workerLinger;
    timespec wait{time_t(linger.count() / 1000000), long(linger.count() % 1000000) * 1000};
    pollfd ready{socket_.native_handle(), POLLIN, 0};
    if (ppoll(&ready, 1, &wait, nullptr) != 1 || (ready.revents & POLLIN) == 0) return false;
    if (ctx_.stopping) return false;
    aheadBegin_ = aheadEnd_ = 0;
    error_code ec;
    aheadEnd_ = socket_.read_some(net::buffer(ahead_), ec);
    if (ec) aheadEnd_ = 0;
    if (aheadEnd_ < header_.size()) return false;
    const uint32_t length = FrameLength(ahead_.data());
    if (length > ctx_.options.maxRequestBytes || header_.size() + length > aheadEnd_) return false;
    started_ = Clock::now();
    TakeAhead(header_.data(), header_.size());
    std::string body(length, '\0');
    TakeAhead(reinterpret_cast<uint8_t*>(body.data()), length);
    idle_.Disarm();  // a running request is not idleness
    next_.emplace(NextRequest{std::move(body), ctx_.BeginRequest()});
    return true;
  }

  // The buffers past the first `sent` bytes of `buffers`.
  static std::array<net::const_buffer, 2> Unsent(std::array<net::const_buffer, 2> buffers,
                                                 size_t sent) {
    size_t first = std::min(sent, buffers[0].size());
    return {buffers[0] + first, buffers[1] + (sent - first)};
  }

  // Reads on at once after a reply sent at once: requests already read ahead nest here, as many
  // as the 4 KiB read ahead holds.
  void Sent(error_code ec, bool keep) {
    ReleaseSentBytes(out_);
    if (ec && ec != net::error::operation_aborted)
      ctx_.log.Event("TCP", peer_, "reply not sent: " + ec.message(), "warning");
    if (ec || !keep) return Close();
    ReadHeader();
  }

  void ArmIdleTimer() {
    idle_.Arm(ctx_.options.idleTimeout, [self = shared_from_this()] { self->Close(); });
  }

  // Releases the connection's slot, then closes (any pending operation ends with an error).
  void Close() {
    slot_.Release();
    idle_.Cancel();
    error_code ignored;
    socket_.shutdown(net::ip::tcp::socket::shutdown_send, ignored);
    socket_.close(ignored);
  }

  NetContext& ctx_;
  ConnectionSlot slot_;
  std::string peer_;
  std::string address_;  // the peer's address alone, for the per-address limit
  // A plain socket: its completions run straight from the reactor, where a wrapping stream
  // posted each one again (a further pass through the I/O loop per request).
  TcpSocket socket_;
  IdleTimer idle_{socket_.get_executor()};
  std::array<uint8_t, 4> header_{};
  std::array<uint8_t, 4096> ahead_{};  // bytes received and not yet taken, [begin, end)
  size_t aheadBegin_ = 0, aheadEnd_ = 0;
  std::string body_;
  size_t length_ = 0;
  std::array<uint8_t, 4> prefix_{};
  std::string out_;
  Clock::time_point started_;
  // A request a worker took while it waited after a reply (TakeNextRequest), to run next.
  struct NextRequest {
    std::string body;
    NetContext::InFlight token;
  };
  std::optional<NextRequest> next_;
  std::thread::id ioThread_;  // the thread that runs the session's I/O context
};

}  // namespace

void StartTcpSession(NetContext& ctx, TcpSocket socket) {
  std::make_shared<TcpSession>(ctx, std::move(socket))->Start();
}

}  // namespace qorvin::server
