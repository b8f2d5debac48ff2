// The UDP transport: one datagram per request and per reply.
//
// Datagram, both directions:
//
//   offset size   field
//   0      38     request ID (the client's text; echoed unchanged)
//   38     rest   request or reply payload (no length field: the datagram's size gives it)
//
// Datagrams shorter than 38 bytes carry no ID to answer and are dropped (and logged), and so is a
// repeat of a request taken on in the last minute (RecentRequests).
//
// Threads: the endpoint receives on a thread of its own, blocked in recvfrom, which a datagram
// wakes with the datagram in hand: one system call per request where an event loop makes two
// (epoll_wait, then recvfrom), about 8% of a small call's round trip over loopback. A request
// taken at once (IDispatcher::AtOnce) is answered on that thread, and its reply leaves before the
// next datagram is read; any other runs on a worker, which sends its reply itself (one UDP socket
// takes datagrams from several threads). The duplicate memory and the last peer's text belong to
// the receiving thread. Close() shuts the socket down for reading, which ends a receive that
// waits, and joins the thread; the descriptor itself is closed with the endpoint, when no worker
// holds it any more, so a late reply never goes to a descriptor number used again.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "platform/rtl/OsServices.h"
#include "server/net/NetContext.h"
#include "server/net/RecentRequests.h"

namespace qorvin::server {

using udp = net::ip::udp;
using Clock = std::chrono::steady_clock;

namespace {

std::string ErrorText(int error) {
  return boost::system::error_code(error, boost::system::system_category()).message();
}

// How long a reply may wait for room in the socket's send buffer before it is dropped (and
// logged): a datagram lost on the way, for its client.
constexpr int kSendRoomWaitMs = 1000;

}  // namespace

class UdpEndpoint : public std::enable_shared_from_this<UdpEndpoint> {
 public:
  // Takes `fd`, a bound datagram socket.
  UdpEndpoint(NetContext& ctx, int fd) : ctx_(ctx), fd_(fd) {}

  ~UdpEndpoint() {
    Close();
    ::close(fd_);
  }

  int Port() const {
    udp::endpoint local;
    socklen_t length = socklen_t(local.capacity());
    if (::getsockname(fd_, local.data(), &length) != 0) return 0;
    local.resize(length);
    return local.port();
  }

  void Start() {
    receiver_ = std::thread([this] {
      NameCurrentThread("udp");
      ReceiveLoop();
    });
  }

  // Ends the receiving and waits for its thread; replies still to come are dropped. Idempotent.
  void Close() {
    std::lock_guard<std::mutex> guard(closeMutex_);
    closing_ = true;
    ::shutdown(fd_, SHUT_RD);  // a receive that waits returns (UDP: ENOTCONN, but it wakes)
    if (!receiver_.joinable()) return;
    if (receiver_.get_id() == std::this_thread::get_id())
      receiver_.detach();
    else
      receiver_.join();
  }

 private:
  void ReceiveLoop() {
    for (;;) {
      udp::endpoint from;
      socklen_t length = socklen_t(from.capacity());
      const ssize_t n = ::recvfrom(fd_, buffer_.data(), buffer_.size(), 0, from.data(), &length);
      if (closing_) return;
      if (n < 0) {
        const int error = errno;
        if (error == EINTR) continue;
        ctx_.log.Event("UDP", "-", "receive failed: " + ErrorText(error), "error");
        // A descriptor that cannot receive at all would fail the same way for ever.
        if (error == EBADF || error == ENOTSOCK || error == EINVAL) return;
        continue;
      }
      from.resize(length);
      OnDatagram(from, size_t(n));
    }
  }

  void OnDatagram(const udp::endpoint& from, size_t n) {
    const AllowList& allowed = ctx_.options.allowUdp;
    if (!allowed.Empty() && !allowed.Allows(from.address())) {
      const std::string address = from.address().to_string();
      ctx_.log.Refused("UDP", address + ":" + std::to_string(from.port()), "not-allowed",
                       "datagram dropped: " + address + " is not in the allow list",
                       ctx_.refusals.ShouldLog(address, Clock::now()));
      return;
    }
    // A client sends its requests from one socket: the text of the last peer is kept.
    if (from != lastFrom_ || lastPeer_.empty()) {
      lastFrom_ = from;
      lastPeer_ = from.address().to_string() + ":" + std::to_string(from.port());
    }
    const std::string& peer = lastPeer_;
    if (n < kRequestIdLength) {
      ctx_.log.Event("UDP", peer,
                     "dropped a datagram of " + std::to_string(n) + " bytes (no request ID)");
      return;
    }
    auto started = Clock::now();
    // The ID and the payload stay where they lie in the buffer until the request is answered at
    // once or handed to a worker: the buffer is not read into again before this returns.
    const std::string_view id(buffer_.data(), kRequestIdLength);
    const std::string_view payload(buffer_.data() + kRequestIdLength, n - kRequestIdLength);
    // A datagram the network delivered twice runs once; the client drops a second answer anyway.
    if (!recent_.Admit(peer, id, payload, started)) {
      ctx_.log.Event("UDP", peer, "dropped a repeated request " + std::string(id));
      return;
    }
    auto token = ctx_.BeginRequest();
    if (payload.size() > ctx_.options.maxRequestBytes) {
      DispatchReply reply =
          ctx_.dispatcher.Refuse("The request (" + std::to_string(payload.size()) +
                                     " bytes) is larger than the server's limit of " +
                                     std::to_string(ctx_.options.maxRequestBytes) + " bytes",
                                 RequestInfo{"UDP", peer});
      reply.failed = true;
      Send(from, peer, id, std::move(reply), payload.size(), started);
    } else if (ctx_.dispatcher.AtOnce(payload)) {
      // Answered on this thread, from the buffer, and sent before the next datagram is read.
      Send(from, peer, id, ctx_.Answer(payload, RequestInfo{"UDP", peer}), payload.size(), started);
    } else {
      DispatchReply refusal;
      auto admitted =
          ctx_.BeginRequestFrom(from.address().to_string(), RequestInfo{"UDP", peer}, refusal);
      if (admitted == nullptr)
        return Send(from, peer, id, std::move(refusal), payload.size(), started);
      token = std::move(admitted);
      // The worker gets its own copy of the request and sends the reply itself.
      size_t in = payload.size();
      ctx_.Dispatch(
          std::string(payload), RequestInfo{"UDP", peer},
          [self = shared_from_this(), to = from, peer, id = std::string(id), in, started, token](
              DispatchReply reply) { self->Send(to, peer, id, std::move(reply), in, started); });
    }
  }

  // From the receiving thread or a worker.
  void Send(const udp::endpoint& to, const std::string& peer, std::string_view id,
            DispatchReply reply, size_t in, Clock::time_point started) {
    if (closing_) return;
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
    ctx_.log.Request("UDP", peer, reply, in, reply.body.size(), Clock::now() - started);
    // One datagram from two pieces. The socket's send buffer rarely lacks room for one; when it
    // does, the reply waits for room a bounded time.
    std::array<iovec, 2> pieces{iovec{const_cast<char*>(id.data()), id.size()},
                                iovec{reply.body.data(), reply.body.size()}};
    msghdr message{};
    message.msg_name = const_cast<sockaddr*>(to.data());
    message.msg_namelen = socklen_t(to.size());
    message.msg_iov = pieces.data();
    message.msg_iovlen = pieces.size();
    bool waited = false;
    for (;;) {
      if (::sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return;
      const int error = errno;
      if (error == EINTR) continue;
      if ((error == EAGAIN || error == EWOULDBLOCK) && !waited) {
        pollfd room{fd_, POLLOUT, 0};
        (void)::poll(&room, 1, kSendRoomWaitMs);
        waited = true;
        continue;
      }
      ctx_.log.Event("UDP", peer, "reply not sent: " + ErrorText(error), "warning");
      return;
    }
  }

  NetContext& ctx_;
  int fd_ = -1;
  std::thread receiver_;
  std::mutex closeMutex_;
  std::atomic<bool> closing_{false};
  // The receiving thread's own.
  std::array<char, 65536> buffer_{};
  udp::endpoint lastFrom_;
  std::string lastPeer_;
  RecentRequests recent_{16384, std::chrono::seconds(60)};
};

std::shared_ptr<UdpEndpoint> BindUdpEndpoint(NetContext& ctx, const udp::endpoint& at, bool v6Only,
                                             boost::system::error_code& ec, int& boundPort) {
  const int fd = ::socket(at.protocol().family(), SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  int error = fd < 0 ? errno : 0;
  const int on = 1;
  if (error == 0 && v6Only && at.address().is_v6() &&
      ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0)
    error = errno;
  if (error == 0 && ::bind(fd, at.data(), socklen_t(at.size())) != 0) error = errno;
  if (error != 0) {
    if (fd >= 0) ::close(fd);
    ec = boost::system::error_code(error, boost::system::system_category());
    return nullptr;
  }
  auto endpoint = std::make_shared<UdpEndpoint>(ctx, fd);
  boundPort = endpoint->Port();
  return endpoint;
}

void StartUdpEndpoint(const std::shared_ptr<UdpEndpoint>& endpoint) {
  endpoint->Start();
}

void CloseUdpEndpoint(const std::shared_ptr<UdpEndpoint>& endpoint) {
  endpoint->Close();
}

}  // namespace qorvin::server
