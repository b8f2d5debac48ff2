// Receives that wait in the socket itself, and the latch that ends them by shutting the socket
// down. The latch is triggered once the receiving thread is blocked in its system call (read
// from /proc), so these tests reach the blocked receive rather than the check before it.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket/SocketErrors.h"
#include "platform/socket/TcpClient.h"
#include "platform/socket/UdpSocket.h"
#include "platform/socket/WaitInterrupt.h"
#include "tests/socket/TestServers.h"
#include "tests/support/TestSockets.h"

namespace qorvin {
namespace {

using Clock = std::chrono::steady_clock;
using testing::TestTcpServer;
using testing::TestUdpServer;

// Waits (at most a minute) until thread `tid` of this process is blocked in one of `calls` (the
// kernel shows the system call a sleeping thread is in).
bool WaitUntilBlockedIn(pid_t tid, std::initializer_list<long> calls) {
  const std::string task = "/proc/self/task/" + std::to_string(tid);
  for (auto end = Clock::now() + std::chrono::minutes(1); Clock::now() < end;) {
    std::string state, call;
    std::ifstream(task + "/stat") >> state >> state >> state;  // pid, (name), state
    std::ifstream(task + "/syscall") >> call;
    if (state == "S")
      for (long c : calls)
        if (call == std::to_string(c)) return true;
    std::this_thread::yield();
  }
  return false;
}

// The bound of a receive the latch must end: far beyond any delay of a busy machine, so that a
// receive that only its bound ended is told apart from one the latch ended.
constexpr int kLong = 120000;
constexpr auto kLongEnough = std::chrono::milliseconds(kLong / 2);

pid_t ThreadId() {
  return pid_t(::syscall(SYS_gettid));
}

// Runs `receive` on a thread of its own, triggers `latch` once that thread sleeps, and returns
// what the receive threw ("" when it returned).
template <typename Receive>
std::string CancelWhileAsleep(TWaitInterrupt& latch, Receive receive) {
  std::promise<pid_t> tid;
  auto outcome = std::async(std::launch::async, [&] {
    tid.set_value(ThreadId());
    try {
      receive();
      return std::string();
    } catch (const EIdCancelled& e) {
      return "cancelled: " + e.Message();
    } catch (const std::exception& e) {
      return std::string("other: ") + e.what();
    }
  });
  EXPECT_TRUE(WaitUntilBlockedIn(tid.get_future().get(), {SYS_recvfrom}));
  const auto triggered = Clock::now();
  latch.Trigger();
  std::string result = outcome.get();
  EXPECT_LT(Clock::now() - triggered, kLongEnough);
  return result;
}

TEST(BlockingReceive, TheLatchEndsAUdpReceiveAndTheNextExchangeUsesANewSocket) {
  TestUdpServer server(
      [](TestUdpServer& s, const TestUdpServer::Datagram& d) { s.Send(d.from, "re:" + d.bytes); });
  TWaitInterrupt latch;
  TUdpSocket udp;
  udp.SetInterrupt(&latch);
  char buffer[64];
  TDatagramInfo info;
  udp.SendTo("127.0.0.1", server.Port(), "one", 3);
  ASSERT_TRUE(udp.ReceiveFrom(buffer, sizeof buffer, 60000, info));
  const int firstPort = udp.LocalPort();

  EXPECT_EQ(CancelWhileAsleep(latch, [&] { udp.ReceiveFrom(buffer, sizeof buffer, kLong, info); }),
            "cancelled: The call was cancelled.");
  EXPECT_FALSE(udp.Open());
  latch.Reset();
  udp.SendTo("127.0.0.1", server.Port(), "two", 3);
  EXPECT_NE(udp.LocalPort(), firstPort);
  ASSERT_TRUE(udp.ReceiveFrom(buffer, sizeof buffer, 60000, info));
  EXPECT_EQ(std::string(buffer, info.size), "re:two");
}

TEST(BlockingReceive, TheLatchEndsATcpReceiveThatWaitsForAnAnswer) {
  TestTcpServer server([](int, const auto& stop) { testing::SleepUnlessStopped(stop, 600000); });
  TWaitInterrupt latch;
  TTcpClient tcp;
  tcp.SetInterrupt(&latch);
  tcp.Connect("127.0.0.1", server.Port(), 60000);
  char b[8];
  EXPECT_EQ(CancelWhileAsleep(latch, [&] { tcp.AwaitSome(b, sizeof b, kLong); }),
            "cancelled: The call was cancelled.");
  EXPECT_THROW(tcp.AwaitSome(b, sizeof b, 60000), EIdCancelled);
}

// The bound is kept: never cut short, and a later unbounded wait is not held to an earlier bound.
TEST(BlockingReceive, BoundsAreKeptFromOneReceiveToTheNext) {
  TestTcpServer server([](int fd, const auto& stop) {
    char g;
    while (testing::WaitReadableUnlessStopped(fd, stop, 60000) && testing::ReadExact(fd, &g, 1))
      testing::WriteAll(fd, "k");
  });
  TWaitInterrupt latch;
  TTcpClient tcp;
  tcp.SetInterrupt(&latch);
  tcp.Connect("127.0.0.1", server.Port(), 60000);
  char b[8];
  auto start = Clock::now();
  try {
    tcp.AwaitSome(b, sizeof b, 60);
    FAIL() << "a receive with nothing sent returned";
  } catch (const EIdReadTimeout& e) {
    EXPECT_EQ(e.Message(), "Read timed out after 60 ms.");
  }
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(60));
  tcp.SendAll("g", 1, 60000);
  ASSERT_EQ(tcp.AwaitSome(b, sizeof b, kWaitForever), 1u);
  EXPECT_EQ(b[0], 'k');

  TUdpSocket udp;
  udp.SetInterrupt(&latch);
  TDatagramInfo info;
  start = Clock::now();
  EXPECT_FALSE(udp.ReceiveFrom(b, sizeof b, 60, info));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(60));
  EXPECT_FALSE(udp.ReceiveFrom(b, sizeof b, 0, info));
}

// A latch watches a few sockets at a time; receives beyond those wait beside its handle, and one
// trigger ends them all.
TEST(BlockingReceive, OneTriggerEndsMoreReceivesThanTheLatchCanWatch) {
  TWaitInterrupt latch;
  constexpr int kReceives = 7;
  std::vector<std::unique_ptr<TUdpSocket>> sockets;
  std::vector<std::future<std::string>> outcomes;
  std::vector<std::promise<pid_t>> ids(kReceives);
  for (int i = 0; i < kReceives; ++i) {
    sockets.push_back(std::make_unique<TUdpSocket>());
    sockets.back()->SetInterrupt(&latch);
    outcomes.push_back(std::async(std::launch::async, [&, i] {
      ids[size_t(i)].set_value(ThreadId());
      char b[8];
      TDatagramInfo info;
      try {
        sockets[size_t(i)]->ReceiveFrom(b, sizeof b, kLong, info);
        return std::string("returned");
      } catch (const EIdCancelled&) {
        return std::string("cancelled");
      }
    }));
  }
  for (auto& id : ids)
    EXPECT_TRUE(WaitUntilBlockedIn(id.get_future().get(), {SYS_recvfrom, SYS_poll, SYS_ppoll}));
  const auto triggered = Clock::now();
  latch.Trigger();
  for (auto& outcome : outcomes) EXPECT_EQ(outcome.get(), "cancelled");
  EXPECT_LT(Clock::now() - triggered, kLongEnough);
}

}  // namespace
}  // namespace qorvin
