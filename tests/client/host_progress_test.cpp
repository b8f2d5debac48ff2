// The IQorvinProgress extension through the public header: the byte counts of a call in flight,
// and Cancel from another thread, against servers that stall or drip their answer. A cancelled
// call fails like any failed call and leaves the module ready for the next one; Cancel with no
// call in flight does nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <thread>

#include "include/qorvin/QorvinProgress.h"
#include "include/qorvin/QorvinServers.h"
#include "tests/client/Blobs.h"
#include "tests/client/ClientWire.h"
#include "tests/client/HostLibrary.h"
#include "tests/client/ScriptedServer.h"
#include "tests/support/OneShotEvent.h"

namespace qorvin::testing {
namespace {

// A generous bound on every wait; every call below would take 600 s to time out on its own.
constexpr auto kBound = std::chrono::seconds(30);
const std::string kCancelled = "The call was cancelled.";
constexpr uint32_t kAnnounced = 1 << 20;  // what a dripping server announces
constexpr size_t kDripped = 65536;        // and what it sends of it

// A one-shot event whose wait is bounded by kBound.
struct Event : qorvin::test::OneShotEvent {
  Event() : OneShotEvent(kBound) {}
};

IQorvinProgress* ProgressOf(IRemoteDataModule* m) {
  void* p = nullptr;
  return m->QueryInterface(&kQorvinIID_IQorvinProgress, &p) == 0 ? static_cast<IQorvinProgress*>(p)
                                                                 : nullptr;
}

QorvinTransferProgress Snapshot(IQorvinProgress* p) {
  QorvinTransferProgress s{};
  p->GetProgress(&s);
  return s;
}

// Waits (bounded) until the module has received `bytes` of the call in flight.
bool WaitReceived(IQorvinProgress* p, int64_t bytes) {
  const auto until = std::chrono::steady_clock::now() + kBound;
  while (std::chrono::steady_clock::now() < until) {
    if (Snapshot(p).bytesReceived >= bytes) return true;
    std::this_thread::yield();
  }
  return false;
}

struct ReadOutcome {
  int32_t result = -1;
  std::string error;
  std::string lastError;
  int64_t rows = -1;  // bytes of the packet, -1 without one
};

ReadOutcome Read(IRemoteDataModule* m) {
  ReadOutcome o;
  QorvinDataPacket data{};
  Text error;
  m->SynchReadData("u", "s", "select", &data, &o.result, &error);
  o.error = error.str();
  Text last;
  m->GetLastErrorText(&last);
  o.lastError = last.str();
  if (data.kind == kQorvinPacketBytes) o.rows = data.size;
  qorvin_packet_free(&data);
  return o;
}

std::string ReadReply() {
  static const std::string blob = MakeBlob({{1, u"a"}, {2, u"b"}});
  return Reply().Int(1).Binary(&blob).Bytes();
}

// Serves TCP frames: the first connection gets the start of a 1 MiB answer and then silence
// until the client goes; later connections get ReadReply().
class DrippingTcpServer {
 public:
  DrippingTcpServer()
      : server_([this](int fd, const std::atomic<bool>& stop) {
          std::string request;
          if (!ReadFrame(fd, request, 10000)) return;
          if (connections_++ > 0) {
            WriteFrame(fd, ReadReply());
            return;
          }
          const unsigned char prefix[4] = {uint8_t(kAnnounced >> 24), uint8_t(kAnnounced >> 16),
                                           uint8_t(kAnnounced >> 8), uint8_t(kAnnounced)};
          WriteAll(fd, prefix, 4);
          WriteAll(fd, std::string(kDripped, 'x'));
          dripped.Set();
          WaitReadableUnlessStopped(fd, stop, 600000);  // the client's close
        }) {}
  int Port() const { return server_.Port(); }
  Event dripped;

 private:
  std::atomic<int> connections_{0};
  TestTcpServer server_;
};

// The same over HTTP: a Content-Length of 1 MiB, then silence.
class DrippingHttpServer {
 public:
  DrippingHttpServer()
      : server_([this](const HttpRequestSeen&, int fd, const std::atomic<bool>& stop) {
          if (requests_++ > 0) {
            WriteAll(fd, HttpResponse(200, "OK", ReadReply()));
            return true;
          }
          WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kAnnounced) +
                           "\r\n\r\n" + std::string(kDripped, 'x'));
          dripped.Set();
          // The client's close, or 10 s: a WinInet that ends a blocked call only once its
          // connection's wait ends (Wine's) is released by the server's close (the failure must
          // still be the cancel's).
          WaitReadableUnlessStopped(fd, stop, 10000);
          return false;
        }) {}
  int Port() const { return server_.Port(); }
  Event dripped;

 private:
  std::atomic<int> requests_{0};
  TestHttpServer server_;
};

// Cancel in the middle of an answer: the counts show how far it got, the call fails with the
// cancel's text through every failure path, well before its own time-out, and the next call on
// the same module succeeds.
template <class Server>
void CancelMidAnswer(char letter) {
  SCOPED_TRACE(letter);
  Server server;
  IRemoteDataModule* m = HostLibrary::Instance().Create(letter, server.Port());
  ASSERT_NE(m, nullptr);
  IQorvinProgress* progress = ProgressOf(m);
  ASSERT_NE(progress, nullptr);
  CallbackLog log;  // the callbacks run on the calling thread, read after it ended
  log.Install(m);

  auto call = std::async(std::launch::async, [&] { return Read(m); });
  ASSERT_TRUE(server.dripped.Wait());
  ASSERT_TRUE(WaitReceived(progress, kDripped));
  QorvinTransferProgress mid = Snapshot(progress);
  EXPECT_EQ(mid.inFlight, 1);
  EXPECT_EQ(mid.cancelled, 0);
  EXPECT_EQ(mid.bytesReceived, int64_t(kDripped));
  EXPECT_EQ(mid.receiveTotal, int64_t(kAnnounced));
  EXPECT_GT(mid.bytesSent, 0);
  EXPECT_EQ(mid.bytesSent, mid.sendTotal);

  EXPECT_TRUE(progress->Cancel());
  ASSERT_EQ(call.wait_for(kBound), std::future_status::ready);
  const ReadOutcome cancelled = call.get();
  EXPECT_EQ(cancelled.result, 0);
  EXPECT_EQ(cancelled.error, kCancelled);
  EXPECT_EQ(cancelled.lastError, kCancelled);
  EXPECT_EQ(cancelled.rows, -1);
  const QorvinTransferProgress after = Snapshot(progress);
  EXPECT_EQ(after.inFlight, 0);
  EXPECT_EQ(after.cancelled, 1);
  EXPECT_EQ(after.bytesReceived, int64_t(kDripped));  // what arrived stays readable
  EXPECT_EQ(log.events, (std::vector<std::string>{"error " + kCancelled + "|", "status 0 0"}));

  const ReadOutcome next = Read(m);
  EXPECT_EQ(next.error, "");
  EXPECT_EQ(next.result, 1);
  EXPECT_GT(next.rows, 0);
  EXPECT_EQ(Snapshot(progress).cancelled, 0);
}

TEST(HostProgress, CancelInTheMiddleOfAnAnswerOverTcpAndHttp) {
  CancelMidAnswer<DrippingTcpServer>('T');
  CancelMidAnswer<DrippingHttpServer>('H');
}

class HostProgressLetters : public ::testing::TestWithParam<char> {};

// The counts of a finished call are exactly what crossed the network, and a sampler on another
// thread never sees a figure go down.
TEST_P(HostProgressLetters, CountsNeverGoBackwardsAndEndAtTheTotals) {
  // Large enough to arrive in many pieces; within one datagram for UDP.
  const bool udp = GetParam() == 'U';
  std::vector<std::pair<int, std::u16string>> rows;
  for (int i = 0; i < (udp ? 800 : 60000); ++i)
    rows.push_back({i, u"row " + std::u16string(8, u'r')});
  const std::string blob = MakeBlob(rows);
  const std::string reply = Reply().Int(1).Binary(&blob).Bytes();
  ScriptedServer server([&](const std::string&) { return reply; });
  IRemoteDataModule* m = HostLibrary::Instance().Create(GetParam(), server.Port(GetParam()));
  ASSERT_NE(m, nullptr);
  IQorvinProgress* progress = ProgressOf(m);
  ASSERT_NE(progress, nullptr);

  std::atomic<bool> done{false};
  std::vector<QorvinTransferProgress> samples;
  std::thread sampler([&] {
    while (!done) {
      samples.push_back(Snapshot(progress));
      std::this_thread::yield();
    }
  });
  const ReadOutcome o = Read(m);
  done = true;
  sampler.join();
  ASSERT_EQ(o.error, "");
  EXPECT_EQ(o.result, 1);

  for (size_t i = 1; i < samples.size(); ++i) {
    const QorvinTransferProgress &a = samples[i - 1], &b = samples[i];
    EXPECT_GE(b.bytesSent, a.bytesSent) << i;
    EXPECT_GE(b.bytesReceived, a.bytesReceived) << i;
    EXPECT_GE(b.sendTotal, a.sendTotal) << i;
    if (a.receiveTotal >= 0) {
      EXPECT_GE(b.receiveTotal, a.receiveTotal) << i;
    }
  }
  const QorvinTransferProgress end = Snapshot(progress);
  EXPECT_EQ(end.inFlight, 0);
  EXPECT_EQ(end.bytesSent, int64_t(server.LastRequest().size()));
  EXPECT_EQ(end.sendTotal, end.bytesSent);
  EXPECT_EQ(end.bytesReceived, int64_t(reply.size()));
  EXPECT_EQ(end.receiveTotal, end.bytesReceived);

  // The next call starts from nothing.
  ASSERT_EQ(Read(m).error, "");
  EXPECT_EQ(Snapshot(progress).bytesReceived, int64_t(reply.size()));
}

// Cancel outside a call does nothing, also not to the call after it.
TEST_P(HostProgressLetters, CancelWithNothingInFlightIsHarmless) {
  ScriptedServer server([](const std::string&) { return ReadReply(); });
  IRemoteDataModule* m = HostLibrary::Instance().Create(GetParam(), server.Port(GetParam()));
  IQorvinProgress* progress = ProgressOf(m);
  ASSERT_NE(progress, nullptr);
  void* again = nullptr;
  ASSERT_EQ(m->QueryInterface(&kQorvinIID_IQorvinProgress, &again), 0);
  EXPECT_EQ(again, progress);  // one object per module
  progress->GetProgress(nullptr);
  const QorvinTransferProgress start = Snapshot(progress);
  EXPECT_EQ(start.inFlight, 0);
  EXPECT_EQ(start.bytesSent + start.bytesReceived, 0);
  EXPECT_FALSE(progress->Cancel());
  EXPECT_FALSE(progress->Cancel());
  const ReadOutcome o = Read(m);
  EXPECT_EQ(o.error, "");
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(Snapshot(progress).cancelled, 0);
  EXPECT_FALSE(progress->Cancel());
  EXPECT_EQ(Read(m).error, "");
}

INSTANTIATE_TEST_SUITE_P(Letters, HostProgressLetters, ::testing::Values('T', 'H', 'U'),
                         [](const auto& info) { return std::string(1, info.param); });

// A cancelled call is not a server failure: it does not move to the next server, even when the
// host allowed repeating calls, and it disables nothing.
TEST(HostProgress, ACancelledCallNeitherFailsOverNorDisablesTheServer) {
  Event seen, release;
  ScriptedServer stalling([&](const std::string&) {
    seen.Set();
    release.Wait();
    return ReadReply();
  });
  struct Release {
    Event& e;
    ~Release() { e.Set(); }
  } releaseOnExit{release};
  ScriptedServer spare([](const std::string&) { return ReadReply(); });
  IRemoteDataModule* m = HostLibrary::Instance().Create('T', stalling.Port('T'));
  void* s = nullptr;
  ASSERT_EQ(m->QueryInterface(&kQorvinIID_IQorvinServers, &s), 0);
  auto* servers = static_cast<IQorvinServers*>(s);
  ASSERT_TRUE(servers->AddServer("127.0.0.1", spare.Port('T'), nullptr, nullptr));
  ASSERT_TRUE(servers->SetMode(kQorvinServersFailOver));
  servers->SetRepeatAfterSent(true);
  IQorvinProgress* progress = ProgressOf(m);

  auto call = std::async(std::launch::async, [&] { return Read(m); });
  ASSERT_TRUE(seen.Wait());
  EXPECT_TRUE(progress->Cancel());
  ASSERT_EQ(call.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(call.get().error, kCancelled);
  EXPECT_TRUE(spare.Requests().empty());
  Text address;
  bool enabled = false;
  ASSERT_TRUE(servers->GetServer(0, &address, &enabled));
  EXPECT_TRUE(enabled);
}

// Cancels that land anywhere in a call (or just after it) never reach the call after.
TEST(HostProgress, CancelsAtAnyMomentNeverReachTheNextCall) {
  ScriptedServer server([](const std::string&) { return ReadReply(); });
  IRemoteDataModule* m = HostLibrary::Instance().Create('T', server.Port('T'));
  IQorvinProgress* progress = ProgressOf(m);
  for (int i = 0; i < 40; ++i) {
    auto call = std::async(std::launch::async, [&] { return Read(m); });
    progress->Cancel();
    ASSERT_EQ(call.wait_for(kBound), std::future_status::ready);
    const ReadOutcome o = call.get();
    EXPECT_TRUE(o.error.empty() || o.error == kCancelled) << o.error;
    const ReadOutcome next = Read(m);
    EXPECT_EQ(next.error, "") << i;
    EXPECT_EQ(next.result, 1);
  }
}

}  // namespace
}  // namespace qorvin::testing
