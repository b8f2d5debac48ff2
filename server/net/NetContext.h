// Internals shared by the transports: the I/O context, the worker pool, the counters and the
// hand-over of a request to the dispatcher. Not part of the server's interface.
#pragma once

// Boost 1.74's Asio uses std::exchange without including <utility> itself.
// clang-format off
#include <utility>
#include <boost/asio.hpp>
// clang-format on

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/rtl/OsServices.h"
#include "server/net/AddressLoad.h"
#include "server/net/HttpUsers.h"
#include "server/net/NetServer.h"
#include "server/net/TlsCertificate.h"

namespace qorvin::server {

namespace net = boost::asio;

// A connection's socket and timers run on the concrete executor of the I/O context the
// connection was given to. One thread runs each context, so a session's completions are already
// serialized without a strand, and the concrete type spares every operation the type-erased
// executor's indirections.
using IoExecutor = net::io_context::executor_type;
using TcpSocket = net::basic_stream_socket<net::ip::tcp, IoExecutor>;
using IoTimer = net::basic_waitable_timer<std::chrono::steady_clock,
                                          net::wait_traits<std::chrono::steady_clock>, IoExecutor>;

class UdpEndpoint;

struct NetContext {
  NetContext(NetOptions o, IDispatcher& d, RequestLog& l)
      : options(std::move(o)),
        dispatcher(d),
        log(l),
        addressLoad(options.maxRequestsPerAddress),
        workers(size_t(std::max(1, options.workerThreads))),
        control(net::make_strand(io)) {}

  // Declared before `io` so that they outlive it: sessions whose handlers are destroyed with the
  // I/O context still count themselves out.
  NetOptions options;
  IDispatcher& dispatcher;
  RequestLog& log;
  std::atomic<int> connections{0};
  std::atomic<int> inFlight{0};
  std::atomic<int> refusing{0};     // clients over the connection limit being told so
  std::atomic<int> busyWorkers{0};  // workers running a request or waiting for one (linger)
  std::atomic<bool> stopping{false};
  std::function<std::string()> metricsPage;  // set before Start; empty: no /metrics
  RefusalLog refusals;                       // which refused clients are logged
  AddressLoad addressLoad;                   // requests in flight per client address
  FailureThrottle authFailures;              // HTTP addresses that keep sending wrong credentials

  // The HTTP users (null: HTTP needs no credentials). Replaced as a whole (SIGHUP); a request
  // checks against the directory it took.
  std::shared_ptr<const UserDirectory> Users() {
    std::lock_guard<std::mutex> lock(usersMutex);
    return users;
  }
  void SetUsers(std::shared_ptr<const UserDirectory> u) {
    std::lock_guard<std::mutex> lock(usersMutex);
    users = std::move(u);
  }
  std::mutex usersMutex;
  std::shared_ptr<const UserDirectory> users;
  // The certificate new HTTP connections take (null: plain HTTP). Whether HTTP is TLS is fixed
  // at Start; a reload replaces the certificate as a whole.
  std::shared_ptr<const TlsCertificate> TlsCert() {
    std::lock_guard<std::mutex> lock(usersMutex);
    return tlsCert;
  }
  void SetTlsCert(std::shared_ptr<const TlsCertificate> c) {
    std::lock_guard<std::mutex> lock(usersMutex);
    tlsCert = std::move(c);
  }
  std::shared_ptr<const TlsCertificate> tlsCert;
  std::mutex stopMutex;
  std::condition_variable stopped;

  // One I/O context per I/O thread, each run by its thread alone: a connection's reads, writes
  // and at-once requests stay on one thread, where two threads sharing one context woke each
  // other for every completion. `io` (the first) also runs the listeners and signals (UDP
  // receives on a thread of its own).
  // `moreIo` is declared first so that it outlives `io`: a pending accept on `io` holds a socket
  // of the context its connection would have gone to.
  std::vector<std::unique_ptr<net::io_context>> moreIo = MakeMoreIo(options.ioThreads);
  net::io_context io{1};
  net::thread_pool workers;
  net::strand<net::io_context::executor_type> control;  // listeners and signals
  std::vector<std::thread> ioThreads;
  // Keeps the I/O threads running while no socket operation is pending (a request may be on a
  // worker, its reply not yet posted back).
  std::vector<net::executor_work_guard<net::io_context::executor_type>> keepRunning;
  std::atomic<unsigned> nextIo{0};

  // The context of a new connection, in turn.
  net::io_context& NextIo() {
    unsigned i = nextIo.fetch_add(1, std::memory_order_relaxed) % unsigned(1 + moreIo.size());
    return i == 0 ? io : *moreIo[i - 1];
  }
  // Every context, `io` first.
  template <typename F>
  void ForEachIo(F f) {
    f(io);
    for (auto& c : moreIo) f(*c);
  }
  // Owned by `control`: touched only from handlers running on it (or before the threads start).
  std::vector<std::unique_ptr<net::ip::tcp::acceptor>> acceptors;
  std::vector<std::shared_ptr<UdpEndpoint>> udp;  // one per bind address
  std::unique_ptr<net::signal_set> signals;

  // At most one I/O thread per core the server may run on: two busy I/O threads on one core only
  // take turns, in slices of milliseconds, and a connection of the one waiting waits as long.
  static std::vector<std::unique_ptr<net::io_context>> MakeMoreIo(int threads) {
    threads = std::min(threads, AvailableCores());
    std::vector<std::unique_ptr<net::io_context>> more;
    for (int i = 1; i < threads; ++i) more.push_back(std::make_unique<net::io_context>(1));
    return more;
  }

  // Marks a request as in progress for as long as a copy of the token lives (the session keeps
  // it until the reply is written); shutdown waits for these.
  using InFlight = std::shared_ptr<void>;
  InFlight BeginRequest() {
    ++inFlight;
    return InFlight(nullptr, [this](void*) { --inFlight; });
  }

  // Runs the dispatcher on a worker thread, then `done(reply)` on that same worker thread, at
  // once: a reply is sent from where it was made, without waking an I/O thread first. A request
  // the dispatcher takes at once (IDispatcher::AtOnce) runs on the calling I/O thread instead,
  // `done` included, before Dispatch returns. The caller must have nothing pending on the
  // objects `done` touches while the request runs (a session reads no further while its request
  // runs, and its idle timer is disarmed); what must run on a strand, `done` posts there itself.
  // A throwing dispatcher is answered with a Refuse reply.
  template <typename Done>
  void Dispatch(std::string request, RequestInfo info, Done done) {
    if (dispatcher.AtOnce(request)) {
      done(Answer(request, info));
      return;
    }
    net::post(workers, [this, request = std::move(request), info = std::move(info),
                        done = std::move(done)]() mutable {
      WorkerShift shift(*this);
      done(Answer(request, info));
    });
  }

  // Counts the calling worker as busy for its lifetime.
  class WorkerShift {
   public:
    explicit WorkerShift(NetContext& c) : c_(c) { ++c_.busyWorkers; }
    ~WorkerShift() { --c_.busyWorkers; }
    WorkerShift(const WorkerShift&) = delete;
    WorkerShift& operator=(const WorkerShift&) = delete;

   private:
    NetContext& c_;
  };

  // Whether a busy worker may wait for a connection's next request (NetOptions::workerLinger):
  // only while at least one other worker is idle, so that lingering never holds back a request
  // of another connection.
  bool MayLinger() const {
    return options.workerLinger.count() > 0 && !stopping &&
           busyWorkers.load(std::memory_order_relaxed) < std::max(1, options.workerThreads) &&
           options.idleTimeout >
               std::chrono::duration_cast<std::chrono::milliseconds>(options.workerLinger) * 10;
  }

  // A request of the client at `address` (without its port) may run: its token, the address's
  // slot included. Null when the address has its limit of requests in flight: `refusal` is then
  // the dispatcher's refusal to send back, and the refusal is counted (and logged, at most once
  // a minute per address).
  InFlight BeginRequestFrom(const std::string& address, const RequestInfo& info,
                            DispatchReply& refusal) {
    std::shared_ptr<void> slot = addressLoad.Enter(address);
    if (slot == nullptr) {
      const std::string limit = std::to_string(addressLoad.Limit());
      refusal = dispatcher.Refuse("Too many requests from " + address +
                                      " already: the server runs at most " + limit +
                                      " requests of one client address at once; try again later",
                                  info);
      refusal.failed = true;
      log.Refused(info.transport, info.peer, "too-many-requests",
                  "request refused: " + address + " has " + limit + " requests running already",
                  refusals.ShouldLog(address, std::chrono::steady_clock::now()));
      return nullptr;
    }
    return std::make_shared<std::pair<InFlight, std::shared_ptr<void>>>(BeginRequest(),
                                                                        std::move(slot));
  }

  DispatchReply Answer(std::string_view request, const RequestInfo& info) {
    try {
      return dispatcher.Dispatch(request, info);
    } catch (const std::exception& e) {
      return dispatcher.Refuse(std::string("Internal server error: ") + e.what(), info);
    }
  }
};

// Counts one open connection until it is released or destroyed. A session releases its slot
// before it closes its socket, so a peer that has seen the close can always connect again within
// the connection limit.
class ConnectionSlot {
 public:
  explicit ConnectionSlot(NetContext& ctx) : ctx_(ctx) { ++ctx_.connections; }
  ~ConnectionSlot() { Release(); }
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;

  // Idempotent; from the session's own I/O thread only.
  void Release() {
    if (held_) --ctx_.connections;
    held_ = false;
  }

 private:
  NetContext& ctx_;
  bool held_ = true;
};

// A connection's idle time-out. It closes through the session's own `close` (which releases the
// slot first) rather than letting the stream close the socket behind the session's back.
//
// One wait stays pending for the life of the connection and is not restarted per request: a
// request only moves the deadline (an atomic store), and the wait, when it ends, waits again
// for whatever time is left, or for a whole time-out while a request runs. So a request costs
// no timer operations at all.
//
// `Arm` (on the session's I/O thread) moves the deadline to now + timeout and starts the wait if
// none is pending; `Touch` (any thread, while the wait is pending: the worker sending a reply)
// moves the deadline only; `Disarm` marks a request as running (no idleness until the next
// Arm/Touch); `Cancel` (on the I/O thread) ends the wait for good.
class IdleTimer {
 public:
  explicit IdleTimer(const IoExecutor& executor) : timer_(executor) {}

  // `close` is called once the deadline passed with no request running; it must keep the session
  // alive itself (capture a shared pointer).
  template <typename Close>
  void Arm(std::chrono::steady_clock::duration timeout, Close close) {
    Touch(timeout);
    if (waiting_ || cancelled_) return;
    waiting_ = true;
    Wait(timeout, timeout, std::move(close));
  }
  void Touch(std::chrono::steady_clock::duration timeout) {
    deadline_ = (std::chrono::steady_clock::now() + timeout).time_since_epoch().count();
    busy_ = false;
  }
  void Disarm() { busy_ = true; }
  void Cancel() {
    cancelled_ = true;
    busy_ = true;
    timer_.cancel();
  }

 private:
  using Clock = std::chrono::steady_clock;

  template <typename Close>
  void Wait(Clock::duration after, Clock::duration timeout, Close close) {
    timer_.expires_after(after);
    timer_.async_wait(
        [this, timeout, close = std::move(close)](boost::system::error_code ec) mutable {
          if (ec || cancelled_) {
            waiting_ = false;
            return;
          }
          if (busy_) return Wait(timeout, timeout, std::move(close));
          auto left = Clock::time_point(Clock::duration(deadline_.load())) - Clock::now();
          if (left > Clock::duration::zero()) return Wait(left, timeout, std::move(close));
          waiting_ = false;
          close();
        });
  }

  IoTimer timer_;
  std::atomic<Clock::rep> deadline_{0};
  std::atomic<bool> busy_{false};
  bool waiting_ = false;    // I/O thread only
  bool cancelled_ = false;  // I/O thread only
};

inline std::string PeerText(const TcpSocket& s) {
  boost::system::error_code ec;
  auto ep = s.remote_endpoint(ec);
  return ec ? "?" : ep.address().to_string() + ":" + std::to_string(ep.port());
}

// Session starters (one per accepted socket). A non-empty `refusal` answers the connection's
// first request with the dispatcher's refusal of that reason and closes it (the TLS port's way
// of telling a client over the connection limit why: it needs a handshake first).
void StartHttpSession(NetContext& ctx, TcpSocket socket, std::string refusal = {});
void StartTcpSession(NetContext& ctx, TcpSocket socket);

// The UDP endpoint: bound by BindUdpEndpoint (null with `ec` set when `at` cannot be bound;
// `v6Only`: an IPv6 socket takes no IPv4 datagrams), receiving from StartUdpEndpoint until
// closed.
std::shared_ptr<UdpEndpoint> BindUdpEndpoint(NetContext& ctx, const net::ip::udp::endpoint& at,
                                             bool v6Only, boost::system::error_code& ec,
                                             int& boundPort);
void StartUdpEndpoint(const std::shared_ptr<UdpEndpoint>& endpoint);
void CloseUdpEndpoint(const std::shared_ptr<UdpEndpoint>& endpoint);

}  // namespace qorvin::server
