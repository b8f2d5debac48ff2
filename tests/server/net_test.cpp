// The transports over a dispatcher of the test's own: framing, limits, concurrency, shutdown.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "server/net/NetServer.h"
#include "server/net/RecentRequests.h"
#include "tests/server/wire_client.h"

namespace qorvin::server {
namespace {

using namespace testing;

constexpr size_t kHugeReply = size_t(16) << 20;

// Echoes requests; "fail:..." replies as a failure; "now:huge" is answered with kHugeReply bytes;
// "slow" takes 300 ms and records how many requests ran at once; "block" waits until the gate opens
// (at most 60 s); "now:..." is taken at once (on the I/O thread).
class EchoDispatcher : public IDispatcher {
 public:
  DispatchReply Dispatch(std::string_view request, const RequestInfo& info) override {
    ++started_;
    int now = ++running_;
    int seen = peak_;
    while (now > seen && !peak_.compare_exchange_weak(seen, now)) {
    }
    DispatchReply r;
    r.summary = std::string("echo/") + info.transport;
    if (request == "slow") std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (request == "block") {
      std::unique_lock<std::mutex> lock(gateMutex_);
      gateOpened_.wait_for(lock, std::chrono::seconds(60), [this] { return gateOpen_; });
    }
    r.failed = request.substr(0, 5) == "fail:";
    if (request == "big")
      r.body = std::string(70000, 'b');
    else if (request == "now:huge")  // more than a socket takes at once
      r.body = std::string(kHugeReply, 'h');
    else
      r.body = "echo:" + std::string(request);
    --running_;
    return r;
  }
  bool AtOnce(std::string_view request) const override { return request.starts_with("now:"); }
  void OpenGate() {
    std::lock_guard<std::mutex> lock(gateMutex_);
    gateOpen_ = true;
    gateOpened_.notify_all();
  }
  DispatchReply Refuse(const std::string& reason, const RequestInfo&) override {
    return {"refused:" + reason, true, "refused"};
  }
  int Peak() const { return peak_; }
  // Waits (at most 60 s) until `n` requests have reached the dispatcher.
  bool WaitStarted(int n) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (started_ < n && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return started_ >= n;
  }

 private:
  std::atomic<int> started_{0};
  std::atomic<int> running_{0};
  std::atomic<int> peak_{0};
  std::mutex gateMutex_;
  std::condition_variable gateOpened_;
  bool gateOpen_ = false;
};

class NetTest : public ::testing::Test {
 protected:
  void StartServer(NetOptions o = {}) {
    o.httpPort = o.httpPort < 0 ? -1 : 0;
    o.tcpPort = o.tcpPort < 0 ? -1 : 0;
    o.udpPort = o.udpPort < 0 ? -1 : 0;
    if (o.maxRequestBytes == NetOptions{}.maxRequestBytes) o.maxRequestBytes = 1000;
    if (o.workerThreads == NetOptions{}.workerThreads) o.workerThreads = 4;
    server_ = std::make_unique<NetServer>(o, dispatcher_, log_);
    server_->Start();
    ports_ = server_->Ports();
  }
  void TearDown() override {
    dispatcher_.OpenGate();
    server_.reset();
  }
  std::string Url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(ports_.http) + path;
  }

  EchoDispatcher dispatcher_;
  std::ostringstream logText_;
  RequestLog log_{&logText_};
  std::unique_ptr<NetServer> server_;
  BoundPorts ports_;
};

TEST_F(NetTest, HttpAnswersBinAndOnlyBin) {
  StartServer();
  ASSERT_GT(ports_.http, 0);
  HttpClient client;
  HttpResult r = client.Send(Url("/Bin"), std::string("a\0b", 3));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, std::string("echo:a\0b", 8));
  r = client.Send(Url("/bin?x=1"), "two");  // kept connection, path case ignored
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.connectsMade, 0);
  r = client.Send(Url("/Bin"), "fail:x");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.body, "echo:fail:x");
  EXPECT_EQ(client.Send(Url("/Other"), "x").status, 404);
  EXPECT_EQ(client.Send(Url("/Bin"), "", false).status, 405);
  r = client.Send(Url("/Bin"), std::string(1001, 'x'));
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("refused:The request (1001 bytes) is larger than the server's limit of "
                        "1000 bytes"),
            std::string::npos);
  // One log line per request, naming transport, dispatcher summary and sizes.
  EXPECT_NE(logText_.str().find("HTTP 127.0.0.1:"), std::string::npos);
  EXPECT_NE(logText_.str().find("echo/HTTP in=3 out=8"), std::string::npos);
}

TEST_F(NetTest, TcpCarriesManyFramesPerConnection) {
  StartServer();
  Socket s(SOCK_STREAM);
  s.Connect(ports_.tcp);
  EXPECT_EQ(TcpCall(s, "one"), "echo:one");
  EXPECT_EQ(TcpCall(s, ""), "echo:");
  EXPECT_EQ(TcpCall(s, std::string(1000, 'y')), "echo:" + std::string(1000, 'y'));
  // A frame over the limit is refused without reading it, and the connection ends.
  std::string refusal = TcpCall(s, std::string(1001, 'z'));
  EXPECT_EQ(refusal.substr(0, 8), "refused:");
  EXPECT_TRUE(s.PeerClosed());
  // A frame announcing 4 GiB is refused before anything is allocated for it.
  Socket big(SOCK_STREAM);
  big.Connect(ports_.tcp);
  big.SendAll(std::string("\xFF\xFF\xFF\xFF", 4));
  EXPECT_NE(ReadFrame(big).find("4294967295 bytes"), std::string::npos);
}

// The server reads ahead of the frame it is in; however the bytes are split or joined, each
// frame is answered once, in order.
TEST_F(NetTest, TcpFramesAreFoundHoweverTheBytesArrive) {
  NetOptions o;
  o.maxRequestBytes = 100000;
  StartServer(o);
  // Three frames in one send: small, larger than what is read ahead, taken at once.
  const std::string large(10000, 'x');
  Socket s(SOCK_STREAM);
  s.Connect(ports_.tcp);
  s.SendAll(Frame("a") + Frame(large) + Frame("now:b"));
  EXPECT_EQ(ReadFrame(s), "echo:a");
  EXPECT_EQ(ReadFrame(s), "echo:" + large);
  EXPECT_EQ(ReadFrame(s), "echo:now:b");
  // A frame taken at once, then one that the read-ahead holds only the start of: the second is
  // read on while the first is still being answered, and keeps the bytes read ahead for it.
  const std::string pattern = [] {
    std::string p(10000, '\0');
    for (size_t i = 0; i < p.size(); ++i) p[i] = char('a' + i % 23);
    return p;
  }();
  s.SendAll(Frame("now:a") + Frame("now:" + pattern));
  EXPECT_EQ(ReadFrame(s), "echo:now:a");
  EXPECT_EQ(ReadFrame(s), "echo:now:" + pattern);
  // One byte per send, header included.
  for (char c : Frame("drip")) s.SendAll(std::string(1, c));
  EXPECT_EQ(ReadFrame(s), "echo:drip");
  // A frame's end joined with the next frame's first header bytes.
  const std::string two = Frame("first") + Frame("second");
  s.SendAll(two.substr(0, 7));
  s.SendAll(two.substr(7, 8));
  s.SendAll(two.substr(15));
  EXPECT_EQ(ReadFrame(s), "echo:first");
  EXPECT_EQ(ReadFrame(s), "echo:second");
}

// A worker that sent a reply waits on the connection for the next request (here up to 100 ms,
// far longer than the client takes) and runs it itself: requests back to back, in pieces,
// larger than one receive, over the limit, and refused for the address's share are all answered
// as the I/O thread answers them, in order, and each is logged.
TEST_F(NetTest, AWorkerWaitingForTheNextRequestAnswersItAsTheIoThreadWould) {
  NetOptions o;
  o.maxRequestBytes = 100000;
  o.workerLinger = std::chrono::milliseconds(100);
  o.maxRequestsPerAddress = 1;
  StartServer(o);
  Socket s(SOCK_STREAM);
  s.Connect(ports_.tcp);
  for (int i = 0; i < 50; ++i)
    ASSERT_EQ(TcpCall(s, "n" + std::to_string(i)), "echo:n" + std::to_string(i));
  // In pieces: the header alone, then the body.
  const std::string piece = Frame("pieces");
  s.SendAll(piece.substr(0, 4));
  s.SendAll(piece.substr(4));
  EXPECT_EQ(ReadFrame(s), "echo:pieces");
  // Larger than one receive takes.
  const std::string large(20000, 'L');
  EXPECT_EQ(TcpCall(s, large), "echo:" + large);
  // Two in one send.
  s.SendAll(Frame("x") + Frame("y"));
  EXPECT_EQ(ReadFrame(s), "echo:x");
  EXPECT_EQ(ReadFrame(s), "echo:y");
  // The address's one request slot is free again once a reply is out, though a worker waits on
  // the connection: a second connection from the address is served.
  Socket t(SOCK_STREAM);
  t.Connect(ports_.tcp);
  EXPECT_EQ(TcpCall(t, "other"), "echo:other");
  EXPECT_EQ(TcpCall(s, "again"), "echo:again");
  // Over the limit: refused, and the connection ends.
  EXPECT_EQ(TcpCall(s, std::string(100001, 'z')).substr(0, 8), "refused:");
  EXPECT_TRUE(s.PeerClosed());
  // Each answered request has its line (written before its reply left).
  const std::string log = logText_.str();
  size_t lines = 0;
  for (size_t at = log.find("echo/TCP"); at != std::string::npos; at = log.find("echo/TCP", at + 1))
    ++lines;
  EXPECT_EQ(lines, 50u + 1 + 1 + 2 + 1 + 1) << log;
}

// The server stops while a worker waits on a connection for its next request: the stop waits
// for the worker (at most its wait), then closes the connection.
TEST_F(NetTest, StoppingWhileAWorkerWaitsForTheNextRequestIsClean) {
  NetOptions o;
  o.workerLinger = std::chrono::milliseconds(100);
  StartServer(o);
  Socket s(SOCK_STREAM);
  s.Connect(ports_.tcp);
  EXPECT_EQ(TcpCall(s, "last"), "echo:last");
  server_.reset();
  EXPECT_TRUE(s.PeerClosed());
}

// A reply taken at once that the socket cannot take whole goes out whole all the same, and the
// connection carries the next request.
TEST_F(NetTest, AHugeReplyTakenAtOnceArrivesWholeAndTheConnectionGoesOn) {
  StartServer();
  Socket s(SOCK_STREAM);
  s.Connect(ports_.tcp);
  EXPECT_EQ(TcpCall(s, "now:huge"), std::string(kHugeReply, 'h'));
  EXPECT_EQ(TcpCall(s, "now:next"), "echo:now:next");
  Socket h(SOCK_STREAM);
  h.Connect(ports_.http);
  h.SendAll(HttpPost("now:huge"));
  EXPECT_EQ(ReadHttpBody(h), std::string(kHugeReply, 'h'));
  h.SendAll(HttpPost("now:next"));
  EXPECT_EQ(ReadHttpBody(h), "echo:now:next");
}

// However the bytes of HTTP requests are split or joined, each request is answered once, in
// order: two requests in one send, a body sent after its header, a header sent in pieces.
TEST_F(NetTest, HttpRequestsAreFoundHoweverTheBytesArrive) {
  StartServer();
  Socket h(SOCK_STREAM);
  h.Connect(ports_.http);
  h.SendAll(HttpPost("now:a") + HttpPost("b"));
  EXPECT_EQ(ReadHttpBody(h), "echo:now:a");
  EXPECT_EQ(ReadHttpBody(h), "echo:b");
  const std::string request = HttpPost("now:split");
  const size_t body = request.size() - 9;
  h.SendAll(request.substr(0, body));
  EXPECT_FALSE(h.Readable(50));  // no answer to half a request
  h.SendAll(request.substr(body, 4));
  h.SendAll(request.substr(body + 4));
  EXPECT_EQ(ReadHttpBody(h), "echo:now:split");
  for (size_t at = 0; at < request.size(); at += 7) h.SendAll(request.substr(at, 7));
  EXPECT_EQ(ReadHttpBody(h), "echo:now:split");
}

TEST_F(NetTest, UdpEchoesTheRequestId) {
  StartServer();
  const std::string id = "{01234567-89AB-CDEF-0123-456789ABCDEF}";
  ASSERT_EQ(id.size(), kRequestIdLength);
  EXPECT_EQ(UdpCall(ports_.udp, id, "ping"), id + "echo:ping");
  EXPECT_EQ(UdpCall(ports_.udp, id, ""), id + "echo:");
  // Too short to carry an ID: dropped; the endpoint goes on serving.
  EXPECT_EQ(UdpCall(ports_.udp, "short", "", 300), "");
  EXPECT_EQ(UdpCall(ports_.udp, id, std::string(1001, 'q')).substr(0, 46), id + "refused:");
  EXPECT_EQ(UdpCall(ports_.udp, id, "again"), id + "echo:again");
  // A reply that cannot travel in one datagram is replaced by the refusal.
  EXPECT_EQ(UdpCall(ports_.udp, id, "big"),
            id + "refused:The reply (70000 bytes) does not fit in one UDP datagram");
}

// A datagram the network delivered twice runs once; the same ID with another payload, or from
// another socket, is another request.
TEST_F(NetTest, UdpRunsARepeatedDatagramOnce) {
  StartServer();
  const std::string id = "{11111111-2222-3333-4444-555555555555}";
  Socket s(SOCK_DGRAM);
  const sockaddr_in to = Socket::Loopback(ports_.udp);
  for (const std::string payload : {"ping", "ping", "pong"}) {
    const std::string d = id + payload;
    ASSERT_EQ(
        ::sendto(s.fd(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
        ssize_t(d.size()));
  }
  std::multiset<std::string> replies;
  std::string buffer(1000, '\0');
  for (int i = 0; i < 2 && s.Readable(kWaitMs); ++i) {
    const ssize_t n = ::recv(s.fd(), buffer.data(), buffer.size(), 0);
    ASSERT_GT(n, 0);
    replies.insert(buffer.substr(0, size_t(n)));
  }
  EXPECT_EQ(replies, (std::multiset<std::string>{id + "echo:ping", id + "echo:pong"}));
  // The repeat was dropped when it came, before the third datagram was read.
  EXPECT_NE(logText_.str().find("dropped a repeated request " + id), std::string::npos);
  EXPECT_EQ(UdpCall(ports_.udp, id, "ping"), id + "echo:ping");  // another socket
}

TEST(RecentRequests, RemembersBoundedlyAndForAWhile) {
  using std::chrono::seconds;
  RecentRequests recent(3, seconds(60));
  const auto t0 = RecentRequests::Clock::now();
  EXPECT_TRUE(recent.Admit("p:1", "{A}", "x", t0));
  EXPECT_FALSE(recent.Admit("p:1", "{A}", "x", t0 + seconds(59)));
  EXPECT_TRUE(recent.Admit("p:1", "{A}", "y", t0));  // another payload
  EXPECT_TRUE(recent.Admit("p:2", "{A}", "x", t0));  // another peer
  // The fourth pushes out the first.
  EXPECT_TRUE(recent.Admit("p:1", "{B}", "x", t0));
  EXPECT_EQ(recent.Size(), 3u);
  EXPECT_TRUE(recent.Admit("p:1", "{A}", "x", t0));
  // After `keep` a request is forgotten.
  RecentRequests shortly(10, seconds(1));
  EXPECT_TRUE(shortly.Admit("p", "{A}", "", t0));
  EXPECT_FALSE(shortly.Admit("p", "{A}", "", t0 + std::chrono::milliseconds(999)));
  EXPECT_TRUE(shortly.Admit("p", "{A}", "", t0 + seconds(1)));
}

// Against a plain model (arrival order and a set), over many requests with repeats, small
// capacities (long probe runs, the index wrapping round) and expiry, so that a slot moved back
// wrongly when the oldest is forgotten shows as a repeat missed or a fresh request refused.
TEST(RecentRequests, AgreesWithAPlainModel) {
  using std::chrono::milliseconds;
  std::mt19937 random(7);
  for (size_t capacity : {1u, 2u, 3u, 5u, 8u, 13u, 64u}) {
    RecentRequests recent(capacity, milliseconds(50));
    std::deque<std::pair<RecentRequests::Clock::time_point, std::string>> order;
    std::set<std::string> remembered;
    auto now = RecentRequests::Clock::now();
    for (int i = 0; i < 20000; ++i) {
      now += milliseconds(random() % 3);
      const std::string id = "{" + std::to_string(random() % (3 * capacity + 4)) + "}";
      const std::string peer = random() % 4 == 0 ? "p:2" : "p:1";
      while (!order.empty() &&
             (order.size() >= capacity || order.front().first + milliseconds(50) <= now)) {
        remembered.erase(order.front().second);
        order.pop_front();
      }
      const bool fresh = remembered.insert(peer + id).second;
      if (fresh) order.emplace_back(now, peer + id);
      ASSERT_EQ(recent.Admit(peer, id, "body", now), fresh)
          << "capacity " << capacity << ", request " << i;
      ASSERT_EQ(recent.Size(), order.size());
    }
  }
}

TEST_F(NetTest, IdleAndSurplusConnectionsAreClosed) {
  NetOptions o;
  o.maxConnections = 1;
  o.idleTimeout = std::chrono::milliseconds(300);
  StartServer(o);
  Socket first(SOCK_STREAM);
  first.Connect(ports_.tcp);
  EXPECT_EQ(TcpCall(first, "one"), "echo:one");
  Socket second(SOCK_STREAM);
  second.Connect(ports_.tcp);  // accepted by the kernel, told why, closed by the server
  EXPECT_NE(ReadFrame(second).find("Too many clients already"), std::string::npos);
  EXPECT_TRUE(second.PeerClosed());
  // The first connection says nothing more: the server ends it after the idle time-out.
  EXPECT_TRUE(first.PeerClosed());
  // Its slot is free by the time its peer sees the close: a new connection is served, and a
  // half-sent frame does not hold it either. (Closed, or reset should the server end it before
  // reading the partial frame; never refused, which the log would show.)
  Socket third(SOCK_STREAM);
  third.Connect(ports_.tcp);
  third.SendAll(std::string("\0\0\0\x10partial", 11));
  EXPECT_TRUE(third.PeerClosedOrReset());
  const std::string refused = "connection refused: 1 connections are open already";
  const std::string log = logText_.str();
  ASSERT_NE(log.find(refused), std::string::npos);
  EXPECT_EQ(log.find(refused, log.find(refused) + 1), std::string::npos) << log;
}

TEST_F(NetTest, ClientsAreServedConcurrently) {
  StartServer();
  std::vector<std::thread> clients;
  std::atomic<int> good{0};
  for (int i = 0; i < 8; ++i) {
    clients.emplace_back([&, i] {
      try {
        if (i % 2 == 0 && TcpCall(ports_.tcp, "block") == "echo:block") ++good;
        if (i % 2 == 1) {
          HttpClient c;
          if (c.Send(Url("/Bin"), "block").body == "echo:block") ++good;
        }
      } catch (const std::exception&) {
      }
    });
  }
  // Two requests held in the dispatcher at once: served concurrently, however slowly they came.
  EXPECT_TRUE(dispatcher_.WaitStarted(2));
  EXPECT_GE(dispatcher_.Peak(), 2);
  dispatcher_.OpenGate();
  for (auto& t : clients) t.join();
  EXPECT_EQ(good, 8);
}

// With the only worker held by a request, the requests the dispatcher takes at once are still
// answered on every transport, in order on a connection; the others wait for the worker.
TEST_F(NetTest, RequestsTakenAtOnceDoNotWaitForABusyWorker) {
  NetOptions o;
  o.workerThreads = 1;
  StartServer(o);
  Socket blocked(SOCK_STREAM);
  blocked.Connect(ports_.tcp);
  blocked.SendAll(Frame("block"));
  ASSERT_TRUE(dispatcher_.WaitStarted(1));
  // A request for the worker queues behind it (sent now, answered after the gate opens).
  auto queued = std::async(std::launch::async, [&] { return TcpCall(ports_.tcp, "queued"); });

  Socket s(SOCK_STREAM);
  s.Connect(ports_.tcp);
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(TcpCall(s, "now:" + std::to_string(i)), "echo:now:" + std::to_string(i));
  HttpClient http;
  HttpResult r = http.Send(Url("/Bin"), "now:http");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "echo:now:http");
  const std::string id = "{01234567-89AB-CDEF-0123-456789ABCDEF}";
  EXPECT_EQ(UdpCall(ports_.udp, id, "now:udp"), id + "echo:now:udp");
  EXPECT_EQ(dispatcher_.Peak(), 2);  // the blocked request and one at-once request at a time

  dispatcher_.OpenGate();
  EXPECT_EQ(ReadFrame(blocked), "echo:block");
  ASSERT_EQ(queued.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(queued.get(), "echo:queued");
  // Every request has its log line, whichever thread answered it.
  EXPECT_NE(logText_.str().find("echo/UDP in=7 out=12"), std::string::npos) << logText_.str();
}

TEST_F(NetTest, StopLetsRunningRequestsFinishThenCloses) {
  StartServer();
  Socket s(SOCK_STREAM);
  s.Connect(ports_.tcp);
  s.SendAll(Frame("slow"));
  // A UDP request on a worker too: its reply may come after the endpoint closed.
  const std::string id = "{01234567-89AB-CDEF-0123-456789ABCDEF}";
  Socket u(SOCK_DGRAM);
  const sockaddr_in to = Socket::Loopback(ports_.udp);
  const std::string slow = id + "slow";
  ASSERT_EQ(::sendto(u.fd(), slow.data(), slow.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to),
            ssize_t(slow.size()));
  ASSERT_TRUE(dispatcher_.WaitStarted(2));  // both run when the server is stopped
  std::thread stopper([&] {
    server_->Stop();
    server_->Wait();
  });
  std::string reply;
  try {
    reply = ReadFrame(s);
  } catch (const std::exception& e) {
    reply = e.what();
  }
  stopper.join();
  EXPECT_EQ(reply, "echo:slow");
  Socket late(SOCK_STREAM);
  EXPECT_THROW(late.Connect(ports_.tcp), std::runtime_error);
  // The UDP endpoint's port is free again.
  Socket again(SOCK_DGRAM);
  const sockaddr_in at = Socket::Loopback(ports_.udp);
  EXPECT_EQ(::bind(again.fd(), reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
}

TEST_F(NetTest, TransportsCanBeSwitchedOffAndBindFailuresAreClear) {
  NetOptions o;
  o.httpPort = -1;
  o.udpPort = -1;
  StartServer(o);
  EXPECT_EQ(ports_.http, -1);
  EXPECT_EQ(ports_.udp, -1);
  EXPECT_GT(ports_.tcp, 0);
  NetOptions clash;
  clash.bindAddresses = {"127.0.0.1"};
  clash.httpPort = -1;
  clash.udpPort = -1;
  clash.tcpPort = ports_.tcp;
  NetServer second(clash, dispatcher_, log_);
  try {
    second.Start();
    FAIL() << "two servers on one port";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot listen for TCP on 127.0.0.1:"), std::string::npos);
  }
  second.Stop();
}

// Two addresses, the second one's TCP port taken: the start fails naming that address, and the
// HTTP sockets bound on both addresses before it are closed again.
TEST_F(NetTest, AnAddressThatCannotBeBoundLeavesNothingListening) {
  // A port free on 127.0.0.2 may be another program's on 127.0.0.1 (a busy machine's other
  // tests): then another port is taken, a bounded number of times.
  std::optional<NetServer> started;
  int port = 0;
  std::string failure;
  for (int attempt = 0; attempt < 20; ++attempt) {
    Socket taken(SOCK_STREAM);
    taken.BindSource("127.0.0.2");
    ASSERT_EQ(::listen(taken.fd(), 1), 0);
    sockaddr_in at{};
    socklen_t length = sizeof at;
    ASSERT_EQ(::getsockname(taken.fd(), reinterpret_cast<sockaddr*>(&at), &length), 0);
    port = ntohs(at.sin_port);
    NetOptions o;
    o.bindAddresses = {"127.0.0.1", "127.0.0.2"};
    o.httpPort = 0;
    o.tcpPort = port;
    o.udpPort = 0;
    started.emplace(o, dispatcher_, log_);
    try {
      started->Start();
      FAIL() << "started with a port taken";
    } catch (const std::runtime_error& e) {
      failure = e.what();
    }
    if (failure.find("127.0.0.1:") == std::string::npos) break;
    started.reset();
  }
  ASSERT_TRUE(started);
  NetServer& server = *started;
  EXPECT_EQ(failure, "Cannot listen for TCP on 127.0.0.2:" + std::to_string(port) +
                         ": Address already in use");
  const int http = server.Ports().http;
  ASSERT_GT(http, 0) << "HTTP was bound first";
  for (const char* address : {"127.0.0.1", "127.0.0.2"}) {
    Socket again(SOCK_STREAM);
    const sockaddr_in free = Socket::At(address, http);
    EXPECT_EQ(::bind(again.fd(), reinterpret_cast<const sockaddr*>(&free), sizeof free), 0)
        << address << " still has the HTTP port bound";
  }
  Socket client(SOCK_STREAM);
  EXPECT_THROW(client.ConnectTo("127.0.0.1", port), std::runtime_error);
  server.Stop();
}

}  // namespace
}  // namespace qorvin::server

namespace qorvin::server {
namespace {

using namespace testing;

class RefusalCounter : public IRequestObserver {
 public:
  void Request(const char*, int, const std::string&, size_t, size_t,
               std::chrono::steady_clock::duration, bool) override {}
  void Refused(const char* transport, const char* reason) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_[std::string(transport) + "/" + reason];
  }
  int Count(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_[key];
  }

 private:
  std::mutex mutex_;
  std::map<std::string, int> counts_;
};

// Two requests of 127.0.0.1 hold its whole share: its third, on any transport, is refused at
// once with the reason and counted, while another address is served; once one ends, the address
// is served again.
TEST_F(NetTest, OneAddressRunsAtMostItsShareOfRequests) {
  RefusalCounter counter;
  log_.SetObserver(&counter);
  NetOptions o;
  o.maxRequestsPerAddress = 2;
  StartServer(o);
  Socket first(SOCK_STREAM), second(SOCK_STREAM);
  first.Connect(ports_.tcp);
  second.Connect(ports_.tcp);
  first.SendAll(Frame("block"));
  second.SendAll(Frame("block"));
  ASSERT_TRUE(dispatcher_.WaitStarted(2));

  const std::string why = "refused:Too many requests from 127.0.0.1 already";
  Socket third(SOCK_STREAM);
  third.Connect(ports_.tcp);
  EXPECT_EQ(TcpCall(third, "x").rfind(why, 0), 0u);
  EXPECT_EQ(TcpCall(third, "now:y").rfind(why, 0), 0u) << "the connection goes on";
  HttpClient http;
  HttpResult r = http.Send(Url("/Bin"), "z");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.body.rfind(why, 0), 0u) << r.body;
  const std::string id = "{01234567-89AB-CDEF-0123-456789ABCDEF}";
  EXPECT_EQ(UdpCall(ports_.udp, id, "u").find(id + why), 0u);
  // Another address has a share of its own.
  Socket other(SOCK_STREAM);
  other.BindSource("127.0.0.2");
  other.Connect(ports_.tcp);
  EXPECT_EQ(TcpCall(other, "w"), "echo:w");
  EXPECT_EQ(counter.Count("TCP/too-many-requests"), 2);
  EXPECT_EQ(counter.Count("HTTP/too-many-requests"), 1);
  EXPECT_EQ(counter.Count("UDP/too-many-requests"), 1);
  // Logged once a minute per address, not per refusal.
  const std::string line = "request refused: 127.0.0.1 has 2 requests running already";
  const std::string log = logText_.str();
  ASSERT_NE(log.find(line), std::string::npos) << log;
  EXPECT_EQ(log.find(line, log.find(line) + 1), std::string::npos) << log;

  dispatcher_.OpenGate();
  EXPECT_EQ(ReadFrame(first), "echo:block");
  EXPECT_EQ(ReadFrame(second), "echo:block");
  EXPECT_EQ(TcpCall(third, "v"), "echo:v");
  EXPECT_EQ(http.Send(Url("/Bin"), "t").body, "echo:t");
}

// A kept connection's user is the one its header was last checked as: once a reload takes the
// users away, its requests carry no user's name any more.
TEST_F(NetTest, AConnectionForgetsItsUserWhenTheUsersGo) {
  StartServer();
  server_->SetUsers(UserDirectory::Parse("alice:" + UserDirectory::Hash("pw") + "\n", "u"));
  HttpClient http;
  http.SetCredentials("alice:pw");
  EXPECT_EQ(http.Send(Url("/Bin"), "one").status, 200);
  server_->SetUsers(nullptr);
  HttpResult r = http.Send(Url("/Bin"), "two");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.connectsMade, 0) << "the same connection";
  const std::string log = logText_.str();
  EXPECT_NE(log.find("echo/HTTP http-user=alice in=3"), std::string::npos) << log;
  EXPECT_NE(log.find("echo/HTTP in=3"), std::string::npos) << log;
}

}  // namespace
}  // namespace qorvin::server
