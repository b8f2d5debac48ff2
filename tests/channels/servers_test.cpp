// Several servers for one channel, as hosts use them: locator switches on kept connections, no
// resend after a request may have reached a server, probing off the caller's thread and one
// probe at a time, interval changes at once, probing stopped before a channel is torn down, and a
// way back for a server disabled by one failure.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "channels/uROIndyTCPChannel.h"
#include "channels/uROIndyUDPChannel.h"
#include "channels/uROMainThread.h"
#include "platform/socket/SocketErrors.h"
#include "tests/channels/FakeChannel.h"
#include "tests/socket/TestServers.h"
#include "tests/support/OneShotEvent.h"

namespace qorvin {
namespace {

using testing::FakeChannel;
using testing::ReadFrame;
using testing::TestTcpServer;
using testing::WriteFrame;

std::string Text(TStream& s) {
  std::string bytes(size_t(s.Size()), '\0');
  s.SetPosition(0);
  s.ReadBuffer(bytes.data(), s.Size());
  return bytes;
}

// Answers each frame with `name`, or "PROBEDOK" for a probe; counts the requests it read.
struct NamedServer {
  explicit NamedServer(std::string n)
      : name(std::move(n)), server([this](int fd, const std::atomic<bool>& stop) {
          std::string payload;
          while (testing::WaitReadableUnlessStopped(fd, stop, 3000) && ReadFrame(fd, payload)) {
            ++requests;
            if (!WriteFrame(fd, payload == "PROBE" ? "PROBEDOK" : name)) return;
          }
        }) {}
  std::string name;
  std::atomic<int> requests = 0;
  TestTcpServer server;
};

void AddTcpLocator(TROTransportChannel& c, int port) {
  c.AddServerLocator("127.0.0.1", port, "");
}

std::string Call(TROTransportChannel& c, const std::string& body = "call") {
  TMemoryStream request, response;
  request.WriteBytes(body);
  c.Dispatch(request, response);
  return Text(response);
}

// Waits (bounded) until `done` holds.
bool WaitFor(const std::function<bool()>& done, int seconds = 5) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST(Servers, LoadBalancingSwitchesAKeptConnection) {
  NamedServer s1("S1"), s2("S2");
  TROIndyTCPChannel c;
  c.SetKeepAlive(true);
  c.SetReadTimeout(60000);
  AddTcpLocator(c, s1.server.Port());
  AddTcpLocator(c, s2.server.Port());
  c.SetDispatchOptions(doLoadBalanced);
  std::vector<std::string> answers;
  for (int i = 0; i < 4; ++i) answers.push_back(Call(c));
  EXPECT_EQ(answers, (std::vector<std::string>{"S1", "S2", "S1", "S2"}));
  EXPECT_EQ(c.LastServerAddress(), "127.0.0.1:" + std::to_string(s2.server.Port()));
  EXPECT_EQ(s1.server.Accepted(), 2);  // each switch closes the kept connection
}

// A server that reads the request and closes without answering may have run it: fail-over does
// not send it to the next server, unless the host opts in.
TEST(Servers, NoFailOverOnceTheRequestMayHaveReachedAServer) {
  std::atomic<int> swallowed = 0;
  TestTcpServer swallowing([&](int fd, const std::atomic<bool>& stop) {
    std::string payload;
    if (testing::WaitReadableUnlessStopped(fd, stop, 3000) && ReadFrame(fd, payload)) ++swallowed;
  });
  NamedServer good("GOOD");
  TROIndyTCPChannel c;
  c.SetReadTimeout(60000);
  AddTcpLocator(c, swallowing.Port());
  AddTcpLocator(c, good.server.Port());
  c.SelectServerLocator(0);
  c.SetDispatchOptions(doFaultTolerant);
  c.SetDisabledRetryInterval(0);
  EXPECT_THROW(Call(c), EIdConnClosedGracefully);
  EXPECT_EQ(swallowed, 1);
  EXPECT_EQ(good.requests, 0);                     // not run a second time elsewhere
  EXPECT_FALSE(c.ServerLocators()[0]->Enabled());  // DisableOnFailure still applies

  // The host says its calls are safe to repeat: the same failure fails over.
  c.ServerLocators()[0]->SetEnabled(true);
  c.SelectServerLocator(0);
  c.SetFailOverAfterSent(true);
  EXPECT_EQ(Call(c), "GOOD");
  EXPECT_EQ(swallowed, 2);

  // A refused connection never reached anyone: fail-over without the opt-in.
  int refusedPort;
  {
    TestTcpServer gone([](int, const auto&) {});
    refusedPort = gone.Port();
  }
  c.ClearServerLocators();
  AddTcpLocator(c, refusedPort);
  AddTcpLocator(c, good.server.Port());
  c.SelectServerLocator(0);
  c.SetFailOverAfterSent(false);
  EXPECT_EQ(Call(c), "GOOD");
}

TEST(Servers, UdpDoesNotFailOverAfterTheDatagramWent) {
  testing::TestUdpServer silent([](testing::TestUdpServer&, const auto&) {});
  testing::TestUdpServer answering([](testing::TestUdpServer& s, const auto& d) {
    s.Send(d.from, d.bytes.substr(0, 38) + "answer");
  });
  TROIndyUDPChannel c;
  c.SetAsyncTimeOut(50);
  c.SetRetrys(0);
  c.AddServerLocator("127.0.0.1", silent.Port(), "");
  c.AddServerLocator("127.0.0.1", answering.Port(), "");
  c.SelectServerLocator(0);
  c.SetDispatchOptions(doFaultTolerant);
  EXPECT_THROW(Call(c), Exception);
  EXPECT_EQ(answering.Received(), 0);
  c.ServerLocators()[0]->SetEnabled(true);
  c.SelectServerLocator(0);
  c.SetFailOverAfterSent(true);
  EXPECT_EQ(Call(c), "answer");
}

// A server disabled by one failure comes back after the retry interval, without probing.
TEST(Servers, ADisabledServerIsTriedAgainAfterTheInterval) {
  FakeChannel c;
  bool firstDown = true;
  c.wire = [&](FakeChannel& ch, TStream&, TStream& response) {
    if (ch.host == "first" && firstDown) throw std::runtime_error("refused");
    response.WriteBytes(ch.host);
  };
  c.AddServerLocator("first", 1, "");
  c.AddServerLocator("second", 2, "");
  c.SelectServerLocator(0);
  c.SetDispatchOptions(doFaultTolerant | doLoadBalanced);
  c.SetDisabledRetryInterval(50);
  std::vector<std::string> answers;
  for (int i = 0; i < 2; ++i) answers.push_back(Call(c));
  EXPECT_FALSE(c.ServerLocators()[0]->Enabled());
  firstDown = false;
  std::this_thread::sleep_for(std::chrono::milliseconds(60));  // past the interval
  for (int i = 0; i < 2; ++i) answers.push_back(Call(c));
  EXPECT_TRUE(c.ServerLocators()[0]->Enabled());
  EXPECT_NE(std::find(answers.begin() + 2, answers.end(), "first"), answers.end());
  // Interval 0: a failed server stays off until probing or the host brings it back.
  c.SetDisabledRetryInterval(0);
  firstDown = true;
  while (c.ServerLocators()[0]->Enabled()) Call(c);
  firstDown = false;
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Call(c), "second");
}

// The probe wire of the tests below: "PROBEDOK" from every host; `hold` makes a probe wait.
struct ProbeGate {
  std::mutex m;
  std::condition_variable changed;
  bool holding = false;
  int inside = 0;
  std::thread::id probeThread;
  void Probe(TStream& response) {
    std::unique_lock<std::mutex> g(m);
    probeThread = std::this_thread::get_id();
    ++inside;
    changed.notify_all();
    changed.wait_for(g, std::chrono::seconds(5), [&] { return !holding; });
    --inside;
    response.WriteBytes("PROBEDOK");
  }
};

// A direct probe pass while a timer pass is in its probe waits for it instead of finding the
// probe channel busy and disabling a healthy server.
TEST(Servers, OneProbeAtATimePerChannel) {
  FakeChannel c;
  ProbeGate gate;
  gate.holding = true;
  c.wire = [&](FakeChannel&, TStream&, TStream& response) { gate.Probe(response); };
  c.AddServerLocator("healthy", 1, "");
  std::atomic<int> failures = 0;
  c.OnAfterProbingServer = [&](TROTransportChannel*, TROServerLocator*, bool failed) {
    if (failed) ++failures;
  };
  c.SetProbeFrequency(100);
  c.SetProbeServers(true);
  {
    std::unique_lock<std::mutex> g(gate.m);
    ASSERT_TRUE(gate.changed.wait_for(g, std::chrono::seconds(5), [&] { return gate.inside; }));
  }
  std::atomic<bool> directDone = false;
  std::thread direct([&] {
    c.ProbeServerLocators();
    directDone = true;
  });
  WaitFor([&] { return directDone.load(); }, 1);  // a busy probe channel would end it at once
  {
    std::lock_guard<std::mutex> g(gate.m);
    gate.holding = false;
    gate.changed.notify_all();
  }
  direct.join();
  c.SetProbeServers(false);
  EXPECT_EQ(failures, 0);
  EXPECT_TRUE(c.ServerLocators()[0]->Enabled());
}

// With SynchronizedProbing and a poster, the probes themselves run on the timer thread (a slow
// server never freezes the main thread); only the events are handed to the main thread.
TEST(Servers, ProbesRunOffTheMainThreadAndOnlyEventsArePosted) {
  std::mutex m;
  std::deque<std::function<void()>> queue;
  SetMainThreadPoster([&](std::function<void()> job) {
    std::lock_guard<std::mutex> g(m);
    queue.push_back(std::move(job));
  });
  auto runQueued = [&] {
    std::deque<std::function<void()>> jobs;
    {
      std::lock_guard<std::mutex> g(m);
      jobs.swap(queue);
    }
    for (auto& job : jobs) job();
    return jobs.size();
  };
  {
    FakeChannel c;
    ProbeGate gate;
    c.wire = [&](FakeChannel&, TStream&, TStream& response) { gate.Probe(response); };
    c.AddServerLocator("good", 1, "");
    std::thread::id eventThread;
    std::atomic<int> passes = 0;
    c.OnAfterProbingServers = [&](TROTransportChannel*, int, int, int) {
      eventThread = std::this_thread::get_id();
      ++passes;
    };
    c.SetProbeFrequency(100);
    c.SetProbeServers(true);  // synchronized by default
    ASSERT_TRUE(WaitFor([&] {
      runQueued();
      return passes > 0;
    }));
    EXPECT_EQ(eventThread, std::this_thread::get_id());
    std::lock_guard<std::mutex> g(gate.m);
    EXPECT_NE(gate.probeThread, std::this_thread::get_id());
    EXPECT_NE(gate.probeThread, std::thread::id());
  }
  runQueued();  // events given up when probing stopped: they do nothing
  SetMainThreadPoster(nullptr);
}

// The host changes the locator list while the timer probes: every change is made under the
// channel's lock, so neither side ever sees a half-changed list.
TEST(Servers, LocatorsChangeSafelyWhileProbing) {
  FakeChannel c;
  c.wire = [](FakeChannel&, TStream&, TStream& response) { response.WriteBytes("PROBEDOK"); };
  c.SetSynchronizedProbing(false);
  c.SetProbeFrequency(100);
  c.AddServerLocator("a", 1, "");
  std::atomic<int> passes = 0;
  c.OnAfterProbingServers = [&](TROTransportChannel*, int, int, int) { ++passes; };
  c.SetProbeServers(true);
  const int before = passes;
  for (int round = 0; passes < before + 3 && round < 100000; ++round) {
    c.ClearServerLocators();
    for (int i = 0; i < 5; ++i) c.AddServerLocator("host" + std::to_string(i), i + 1, "");
    (void)c.LocatorStates();
    if (round % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  c.SetProbeServers(false);
  EXPECT_GE(passes, before + 3);
}

// A new ProbeFrequency applies to the wait in progress.
TEST(Servers, ProbeFrequencyChangesAtOnce) {
  FakeChannel c;
  c.wire = [](FakeChannel&, TStream&, TStream& response) { response.WriteBytes("PROBEDOK"); };
  c.SetSynchronizedProbing(false);
  c.AddServerLocator("a", 1, "");
  std::atomic<int> passes = 0;
  c.OnAfterProbingServers = [&](TROTransportChannel*, int, int, int) { ++passes; };
  c.SetProbeFrequency(600000);
  c.SetProbeServers(true);
  c.SetProbeFrequency(100);
  EXPECT_TRUE(WaitFor([&] { return passes > 0; }));
  c.SetProbeServers(false);
}

// A concrete channel stops its probe timer before any of its own parts are gone: a pass that
// is under way when the channel is destroyed finishes on a whole object.
TEST(Servers, ProbingStopsBeforeTheChannelIsTornDown) {
  NamedServer server("S");
  std::atomic<bool> passStarted = false;
  std::atomic<bool> probeEnded = false;
  {
    TROIndyTCPChannel c;
    c.SetConnectTimeout(2000);
    c.SetReadTimeout(2000);
    AddTcpLocator(c, server.server.Port());
    c.SetSynchronizedProbing(false);
    c.OnBeforeProbingServers = [&](TROTransportChannel*) {
      passStarted = true;
      // Let the destruction begin while this pass is under way.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    };
    c.OnAfterProbingServer = [&](TROTransportChannel*, TROServerLocator*, bool failed) {
      probeEnded = !failed;
    };
    c.SetProbeFrequency(100);
    c.SetProbeServers(true);
    ASSERT_TRUE(WaitFor([&] { return passStarted.load(); }));
  }  // destroyed while the pass sleeps in its first event
  // The pass under way ends without starting its probe (stopping never waits for the network),
  // and no other pass began.
  EXPECT_FALSE(probeEnded);
  EXPECT_EQ(server.requests, 0);
}

}  // namespace
}  // namespace qorvin

namespace qorvin {
namespace {

// Fail-over mode: a call starts on an enabled server. One that probing (or a failed call)
// disabled is passed over before anything is sent, so no call keeps going to a dead server.
TEST(Servers, FailOverModeStartsOnAnEnabledServer) {
  FakeChannel c;
  c.wire = [](FakeChannel& ch, TStream&, TStream& response) {
    if (ch.host == "dead") throw std::runtime_error("refused");
    response.WriteBytes(ch.host);
  };
  c.AddServerLocator("dead", 1, "");
  c.AddServerLocator("alive", 2, "");
  c.SelectServerLocator(0);
  c.SetDispatchOptions(doFaultTolerant);
  std::vector<std::string> causes;
  c.OnServerLocatorAssignment = [&](TROTransportChannel*, TROServerLocator*,
                                    const std::exception* cause) {
    causes.push_back(cause ? cause->what() : "");
  };
  c.ServerLocators()[0]->SetEnabled(false);  // as a failed probe leaves it
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Call(c), "alive");
  EXPECT_EQ(c.hostsUsed, (std::vector<std::string>{"alive", "alive", "alive"}));
  ASSERT_EQ(causes.size(), 1u);
  EXPECT_EQ(causes[0], "The server dead:1 is disabled.");
  EXPECT_EQ(c.CurrentLocatorIndex(), 1);
  // With no server enabled, the current one is still tried (and its failure reported).
  c.ServerLocators()[1]->SetEnabled(false);
  EXPECT_EQ(Call(c), "alive");
}

// A failed probe refreshes the moment of the failure: the retry interval runs from the latest
// failure, so a server that probing keeps finding dead is not enabled for the next call.
TEST(Servers, AFailedProbeRefreshesTheFailureTime) {
  FakeChannel c;
  c.wire = [](FakeChannel&, TStream&, TStream&) { throw std::runtime_error("refused"); };
  c.AddServerLocator("dead", 1, "");
  c.AddServerLocator("dead too", 2, "");
  c.SelectServerLocator(0);
  c.SetDispatchOptions(doFaultTolerant);
  c.SetDisabledRetryInterval(600000);
  EXPECT_THROW(Call(c), std::runtime_error);  // both disabled by the failed call
  TROServerLocator* first = c.ServerLocators()[0];
  ASSERT_FALSE(first->Enabled());
  const auto failedAt = std::chrono::steady_clock::now();
  constexpr int64_t kWaitMs = 1000;
  while (std::chrono::steady_clock::now() - failedAt < std::chrono::milliseconds(kWaitMs))
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  c.ProbeServerLocators();  // fails again, now
  const int64_t sinceFailure = first->MillisecondsSinceFailure();
  EXPECT_GE(sinceFailure, 0);
  EXPECT_LT(sinceFailure, kWaitMs);  // counted from the probe, not from the call
  EXPECT_FALSE(first->Enabled());
  // An interval the call's failure has passed but the probe's has not: still disabled.
  c.SetDisabledRetryInterval(uint32_t(kWaitMs));
  EXPECT_FALSE(c.LocatorStates()[0].enabled);
}

// A failure caused by the request itself, before anything was sent, is no server's fault: no
// server is disabled and the call is not sent to another.
TEST(Servers, ARequestTooLargeToSendDisablesNoServer) {
  testing::TestUdpServer first([](testing::TestUdpServer&, const auto&) {});
  testing::TestUdpServer second([](testing::TestUdpServer&, const auto&) {});
  TROIndyUDPChannel c;
  c.SetAsyncTimeOut(50);
  c.SetRetrys(0);
  c.AddServerLocator("127.0.0.1", first.Port(), "");
  c.AddServerLocator("127.0.0.1", second.Port(), "");
  c.SelectServerLocator(0);
  c.SetDispatchOptions(doFaultTolerant | doLoadBalanced);
  for (int i = 0; i < 3; ++i) {
    try {
      Call(c, std::string(70000, 'x'));
      ADD_FAILURE() << "a 70 KB datagram was sent";
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), "Package Size Too Big.");
    }
  }
  EXPECT_TRUE(c.ServerLocators()[0]->Enabled());
  EXPECT_TRUE(c.ServerLocators()[1]->Enabled());
  EXPECT_EQ(first.Received() + second.Received(), 0);
}

// Stopping probing ends a probe that waits on a silent server at once, however long the
// probe's own bound; a probe's bound is its own, not the call's ten minutes.
TEST(Servers, StoppingProbingEndsAProbeThatWaits) {
  test::OneShotEvent accepted(std::chrono::seconds(30));
  TestTcpServer silent([&](int fd, const std::atomic<bool>& stop) {
    accepted.Set();
    std::string request;  // read, never answered
    while (testing::WaitReadableUnlessStopped(fd, stop, 600000) && ReadFrame(fd, request)) {
    }
  });
  TROIndyTCPChannel c;
  c.SetReadTimeout(600000);
  c.SetProbeTimeout(600000);  // only the stop can end this probe within the test's bounds
  AddTcpLocator(c, silent.Port());
  c.SetSynchronizedProbing(false);
  c.SetProbeFrequency(100);
  c.SetProbeServers(true);
  ASSERT_TRUE(accepted.Wait());
  const auto start = std::chrono::steady_clock::now();
  c.SetProbeServers(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  // The stop says nothing about the server: it was not disabled.
  EXPECT_TRUE(c.ServerLocators()[0]->Enabled());

  // The default bound of a probe is short, whatever the call's.
  TROIndyTCPChannel d;
  d.SetReadTimeout(600000);
  EXPECT_EQ(d.ProbeBound(d.ReadTimeout()), TROTransportChannel::kProbeTimeoutMs);
  EXPECT_EQ(d.ProbeBound(1000), 1000);
  EXPECT_EQ(d.ProbeBound(0), TROTransportChannel::kProbeTimeoutMs);  // 0: unlimited
}

// The host's view of the list counts a server whose retry interval has passed as enabled: the
// next call enables it.
TEST(Servers, AServerPastItsRetryIntervalIsReportedEnabled) {
  FakeChannel c;
  c.wire = [](FakeChannel&, TStream&, TStream&) { throw std::runtime_error("refused"); };
  c.AddServerLocator("dead", 1, "");
  c.SelectServerLocator(0);
  c.SetDispatchOptions(doFaultTolerant);
  c.SetDisabledRetryInterval(600000);
  EXPECT_THROW(Call(c), std::runtime_error);
  EXPECT_FALSE(c.LocatorStates()[0].enabled);
  c.SetDisabledRetryInterval(50);
  ASSERT_TRUE(WaitFor([&] { return c.ServerLocators()[0]->MillisecondsSinceFailure() >= 60; }));
  EXPECT_FALSE(c.ServerLocators()[0]->Enabled());
  EXPECT_TRUE(c.LocatorStates()[0].enabled);
}

// Choosing a server outside a call (the host's own list changes) raises no assignment event.
TEST(Servers, SelectingAServerOutsideACallRaisesNoEvent) {
  FakeChannel c;
  int events = 0;
  c.OnServerLocatorAssignment = [&](TROTransportChannel*, TROServerLocator*,
                                    const std::exception*) { ++events; };
  c.AddServerLocator("a", 1, "");
  c.SelectServerLocator(0);
  EXPECT_EQ(c.host, "a");
  EXPECT_EQ(events, 0);
}

}  // namespace
}  // namespace qorvin
