// Server locators: the search, load balancing, fail-over and probing.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "channels/uROMainThread.h"
#include "tests/channels/FakeChannel.h"

namespace qorvin {
namespace {

using testing::FakeChannel;

void AddLocators(FakeChannel& c, std::initializer_list<const char*> hosts) {
  for (const char* h : hosts) {
    TROServerLocator* l = c.ServerLocators().Add();
    l->SetName(h);
    l->SetHost(h);
  }
}

TEST(ServerLocator, PropertiesAndDisplayText) {
  TROServerLocatorCollection list;
  TROServerLocator* l = list.Add();
  EXPECT_FALSE(l->Enabled());  // flag set, but no host
  int changes = 0;
  l->SetOnEnabledChanged([&](TROServerLocator*) { ++changes; });
  l->SetHost("  server1 ");
  EXPECT_EQ(l->Host(), "server1");
  EXPECT_TRUE(l->Enabled());
  l->SetPort(8090);
  l->SetPort(-5);  // ignored
  EXPECT_EQ(l->Port(), 8090);
  EXPECT_EQ(l->DisplayName(),
            "server1:8090 LBS, Disable On Failure, poProbeWhenEnabled,poProbeWhenDisabled,"
            "poEnableIfProbeSucceeded,poDisableIfProbeFailed");
  l->SetEnabled(false);
  l->SetEnabled(false);
  EXPECT_EQ(changes, 1);
  l->SetLoadBalancingServer(false);
  l->SetDisableOnFailure(false);
  l->SetProbingOptions(poProbeWhenDisabled);
  EXPECT_EQ(l->DisplayName(), "(Disabled) server1:8090 non-LBS,, poProbeWhenDisabled");
  TROServerLocator* blank = list.Add();
  EXPECT_EQ(blank->DisplayName(),
            "(Disabled) !!Empty!! LBS, Disable On Failure, poProbeWhenEnabled,"
            "poProbeWhenDisabled,poEnableIfProbeSucceeded,poDisableIfProbeFailed");
  blank->Assign(*l);
  EXPECT_EQ(blank->DisplayName(), l->DisplayName());
  EXPECT_EQ(blank->Index(), 1);
  EXPECT_THROW(list.Items(2), ERangeError);
}

TEST(ServerLocator, SearchWalksOnceAroundAndCopesWithStaleIndexes) {
  TROServerLocatorCollection list;
  int index = -1, stop = -1;
  EXPECT_EQ(list.GetNextLocator(index, stop, false), nullptr);
  for (const char* h : {"a", "", "c"}) list.Add()->SetHost(h);
  index = 0;
  stop = 0;
  EXPECT_EQ(list.GetNextLocator(index, stop, false), list.Items(2));  // skips the blank one
  EXPECT_EQ(index, 2);
  EXPECT_EQ(list.GetNextLocator(index, stop, false), nullptr);  // back at the stop
  index = 17;                                                   // a position that no longer exists
  stop = 42;
  EXPECT_NE(list.GetNextLocator(index, stop, false), nullptr);
  list.Items(0)->SetEnabled(false);
  list.Items(2)->SetEnabled(false);
  index = 5;
  stop = 42;
  EXPECT_EQ(list.GetNextLocator(index, stop, false), nullptr);  // bounded, no endless walk
}

TEST(LoadBalancing, RotatesOverEnabledServersAndStaysOnTheOnlyOne) {
  FakeChannel c;
  AddLocators(c, {"A", "B"});
  c.SetDispatchOptions(doLoadBalanced);
  TMemoryStream request, response;
  for (int i = 0; i < 4; ++i) c.Dispatch(request, response);
  EXPECT_EQ(c.hostsUsed, (std::vector<std::string>{"A", "B", "A", "B"}));

  FakeChannel d;
  AddLocators(d, {"A", "B"});
  d.ServerLocators().Items(0)->SetEnabled(false);
  d.SetDispatchOptions(doLoadBalanced);
  int assignments = 0;
  d.OnServerLocatorAssignment = [&](TROTransportChannel*, TROServerLocator*,
                                    const std::exception* cause) {
    EXPECT_EQ(cause, nullptr);
    ++assignments;
  };
  for (int i = 0; i < 3; ++i) d.Dispatch(request, response);
  EXPECT_EQ(d.hostsUsed, (std::vector<std::string>{"B", "B", "B"}));
  EXPECT_EQ(assignments, 1);  // later searches come back to B and assign nothing
}

TEST(FailOver, EachLocatorIsTriedOnceAndTheLastErrorReachesTheCaller) {
  FakeChannel c;
  AddLocators(c, {"A", "B", "C"});
  c.SetDispatchOptions(doFaultTolerant | doLoadBalanced);
  c.wire = [](FakeChannel& ch, TStream&, TStream&) {
    throw std::runtime_error("down: " + ch.host);
  };
  std::vector<std::string> assigned;
  std::vector<std::string> causes;
  c.OnServerLocatorAssignment = [&](TROTransportChannel*, TROServerLocator* l,
                                    const std::exception* cause) {
    assigned.push_back(l->Host());
    causes.push_back(cause ? cause->what() : "-");
  };
  TMemoryStream request, response;
  try {
    c.Dispatch(request, response);
    FAIL() << "dispatch succeeded";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "down: C");
  }
  EXPECT_EQ(c.hostsUsed, (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(assigned, (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(causes, (std::vector<std::string>{"-", "down: A", "down: B"}));
  EXPECT_FALSE(c.ServerLocators().Items(0)->Enabled());
  EXPECT_FALSE(c.ServerLocators().Items(1)->Enabled());
  EXPECT_FALSE(c.ServerLocators().Items(2)->Enabled());
  EXPECT_FALSE(c.Busy());
}

TEST(FailOver, WithoutLocatorsOrWithoutTheOptionAFailurePassesAtOnce) {
  FakeChannel c;
  c.host = "only";
  c.SetDispatchOptions(doFaultTolerant);
  c.wire = [](FakeChannel&, TStream&, TStream&) { throw std::runtime_error("down"); };
  TMemoryStream request, response;
  EXPECT_THROW(c.Dispatch(request, response), std::runtime_error);
  EXPECT_EQ(c.hostsUsed.size(), 1u);
  AddLocators(c, {"A", "B"});
  c.SetDispatchOptions(0);
  EXPECT_THROW(c.Dispatch(request, response), std::runtime_error);
  EXPECT_EQ(c.hostsUsed.size(), 2u);
  EXPECT_TRUE(c.ServerLocators().Items(0)->Enabled());
}

// A wire on which "good" answers probes properly and every other host answers something else.
void ProbeWire(FakeChannel& ch, TStream& request, TStream& response) {
  std::string bytes(size_t(request.Size()), '\0');
  request.ReadBuffer(bytes.data(), request.Size());
  if (bytes != "PROBE") throw std::runtime_error("not a probe");
  if (ch.host == "down") throw std::runtime_error("refused");
  response.WriteBytes(ch.host == "good" ? "PROBEDOK" : "PROBEDOK!");
}

TEST(Probing, DisablesFailingLocatorsAndEnablesRecoveredOnes) {
  FakeChannel c;
  AddLocators(c, {"good", "chatty", "down", "quiet"});
  c.wire = ProbeWire;
  c.ServerLocators().Items(3)->SetProbingOptions(0);  // never probed
  std::vector<std::string> events;
  c.OnBeforeProbingServers = [&](TROTransportChannel*) { events.push_back("begin"); };
  c.OnBeforeProbingServer = [&](TROTransportChannel*, TROServerLocator* l) {
    events.push_back("probe " + l->Host());
  };
  c.OnAfterProbingServer = [&](TROTransportChannel*, TROServerLocator* l, bool failed) {
    events.push_back(l->Host() + (failed ? " failed" : " ok"));
  };
  c.OnAfterProbingServers = [&](TROTransportChannel*, int probed, int enabled, int disabled) {
    events.push_back("end " + std::to_string(probed) + "/" + std::to_string(enabled) + "/" +
                     std::to_string(disabled));
  };
  c.ProbeServerLocators();
  EXPECT_EQ(events,
            (std::vector<std::string>{"begin", "probe good", "good ok", "probe chatty",
                                      "chatty failed", "probe down", "down failed", "end 3/0/2"}));
  EXPECT_TRUE(c.ServerLocators().Items(0)->Enabled());
  EXPECT_FALSE(c.ServerLocators().Items(1)->Enabled());
  EXPECT_FALSE(c.ServerLocators().Items(2)->Enabled());
  EXPECT_TRUE(c.hostsUsed.empty());  // probes travel on the probe channel only

  // "down" comes back: the next pass enables it again.
  c.ServerLocators().Items(2)->SetHost("good");
  events.clear();
  c.ProbeServerLocators();
  EXPECT_EQ(events.back(), "end 3/1/0");
  EXPECT_TRUE(c.ServerLocators().Items(2)->Enabled());
  EXPECT_FALSE(c.ServerLocators().Items(1)->Enabled());
}

TEST(Probing, TimerThreadProbesUntilSwitchedOff) {
  FakeChannel c;
  AddLocators(c, {"down"});
  c.wire = ProbeWire;
  std::mutex m;
  int passes = 0;
  std::thread::id probeThread;
  c.OnAfterProbingServers = [&](TROTransportChannel*, int, int, int) {
    std::lock_guard<std::mutex> g(m);
    ++passes;
    probeThread = std::this_thread::get_id();
  };
  c.SetProbeFrequency(10);  // counts as 100 ms
  c.SetSynchronizedProbing(false);
  c.SetProbeServers(true);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (;;) {
    {
      std::lock_guard<std::mutex> g(m);
      if (passes >= 2 || std::chrono::steady_clock::now() > until) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  c.SetProbeServers(false);  // joins the thread
  std::lock_guard<std::mutex> g(m);
  EXPECT_GE(passes, 2);
  EXPECT_NE(probeThread, std::this_thread::get_id());
  EXPECT_FALSE(c.ServerLocators().Items(0)->Enabled());
}

}  // namespace
}  // namespace qorvin
