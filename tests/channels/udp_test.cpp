// The UDP channel and its response stores against loopback servers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "channels/uROIndyUDPChannel.h"
#include "platform/socket/SocketErrors.h"
#include "tests/socket/TestServers.h"
#include "tests/support/OneShotEvent.h"

namespace qorvin {
namespace {

using testing::TestUdpServer;
using Datagram = TestUdpServer::Datagram;

std::string Text(TStream& s) {
  std::string bytes(size_t(s.Size()), '\0');
  s.SetPosition(0);
  s.ReadBuffer(bytes.data(), s.Size());
  return bytes;
}

std::string Id(const Datagram& d) {
  return d.bytes.substr(0, 38);
}
std::string Payload(const Datagram& d) {
  return d.bytes.substr(38);
}
const std::string kForeignId = "{00000000-0000-0000-0000-000000000000}";

TROIndyUDPChannel& UseServer(TROIndyUDPChannel& c, const TestUdpServer& s) {
  c.SetHost("127.0.0.1");
  c.SetPort(s.Port());
  // Generous: an answer that is sent must never time out on a busy machine. Tests of the
  // time-outs set their own, short ones.
  c.SetAsyncTimeOut(2000);
  return c;
}

void ExpectStoresEmpty(TROIndyUDPChannel& c) {
  EXPECT_EQ(c.Responses().Count(), 0);
  EXPECT_EQ(c.PendingRequests().Count(), 0);
}

TEST(UdpChannel, DefaultsAndDatagramLayout) {
  std::mutex m;
  std::string seen;
  TestUdpServer server([&](TestUdpServer& s, const Datagram& d) {
    {
      std::lock_guard<std::mutex> g(m);
      seen = d.bytes;
    }
    s.Send(d.from, Id(d) + "re:" + Payload(d));
  });
  TROIndyUDPChannel c(nullptr, "Udp");
  EXPECT_EQ(c.AsyncTimeOut(), 1000);
  EXPECT_EQ(c.Retrys(), 5);
  EXPECT_EQ(c.Port(), 8090);
  EXPECT_EQ(c.Host(), "");
  EXPECT_TRUE(c.AsyncSynchronizeResponse());
  EXPECT_EQ(c.IDLength(), 38u);
  EXPECT_EQ(c.IndyClient().BufferSize, 8192);
  EXPECT_EQ(c.IndyClient().ReceiveTimeout, -2);
  EXPECT_EQ(c.IndyClient().Name(), "InternalIndyClient");
  try {
    c.CheckProperties();
    FAIL() << "empty host accepted";
  } catch (const EROException& e) {
    EXPECT_EQ(e.Message(), "Udp.Host must be set.");
  }
  c.SetAsyncTimeOut(-4);
  EXPECT_EQ(c.AsyncTimeOut(), 0);

  UseServer(c, server).IndyClient().BufferSize = 8 << 20;
  // Each shorter than the one before: no datagram carries bytes of an earlier one.
  const std::string payloads[] = {"a longer payload 0", "payload 1", "payload 2"};
  for (const std::string& payload : payloads) {
    TMemoryStream request, response;
    request.WriteBytes(payload);
    c.Dispatch(request, response);
    EXPECT_EQ(response.Position(), 0);
    EXPECT_EQ(Text(response), "re:" + payload);
  }
  EXPECT_EQ(c.IndyClient().BufferAllocations(), 1);  // one 8 MiB buffer, not one per attempt
  std::lock_guard<std::mutex> g(m);
  EXPECT_TRUE(std::regex_match(seen.substr(0, 38),
                               std::regex("\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
                                          "[0-9A-F]{12}\\}")));
  EXPECT_EQ(seen.substr(38), "payload 2");
  ExpectStoresEmpty(c);
}

// Datagrams that are not the answer — foreign IDs, answers to earlier or fire-and-forget
// requests, datagrams shorter than an ID, datagrams larger than the buffer — are dropped and the
// dispatch goes on waiting for its answer; only time bounds the wait.
TEST(UdpChannel, StrayDatagramsNeitherUseUpNorAbortTheWait) {
  TROIndyUDPChannel c;
  {
    TestUdpServer server([](TestUdpServer& s, const Datagram& d) {
      for (int i = 0; i < 20; ++i) s.Send(d.from, kForeignId + "noise");
      s.Send(d.from, "tiny");
      s.Send(d.from, kForeignId + std::string(300, 'o'));  // larger than the buffer below
      s.Send(d.from, Id(d) + "answer");
    });
    UseServer(c, server).IndyClient().BufferSize = 200;
    TMemoryStream request, response;
    c.Dispatch(request, response);
    EXPECT_EQ(Text(response), "answer");
    ExpectStoresEmpty(c);
  }
  {
    // A backlog of answers to requests sent without waiting, then a call that waits.
    TestUdpServer server([](TestUdpServer& s, const Datagram& d) {
      if (Payload(d) == "slow") testing::SleepUnlessStopped(s.Stopping(), 50);
      s.Send(d.from, Id(d) + "re:" + Payload(d));
    });
    UseServer(c, server);
    for (int i = 0; i < 10; ++i) {
      std::string id;
      auto request = std::make_unique<TMemoryStream>();
      request->WriteBytes("fire");
      c.InvokeRequest(std::move(request), false, id);
    }
    TMemoryStream request, response;
    request.WriteBytes("slow");
    c.Dispatch(request, response);
    EXPECT_EQ(Text(response), "re:slow");
    ExpectStoresEmpty(c);
  }
  for (int retrys : {0, -3}) {
    // Retrys 0 or below: one AsyncTimeOut in all; a late answer of before is dropped by the next
    // dispatch, not taken for its own.
    // The answer to "late" is held back until the dispatch has timed out.
    qorvin::test::OneShotEvent timedOut(std::chrono::seconds(60));
    TestUdpServer server([&timedOut](TestUdpServer& s, const Datagram& d) {
      if (Payload(d) == "late") timedOut.Wait();
      s.Send(d.from, Id(d) + "re:" + Payload(d));
    });
    UseServer(c, server).SetRetrys(retrys);
    c.SetAsyncTimeOut(20);
    TMemoryStream late, response;
    late.WriteBytes("late");
    try {
      c.Dispatch(late, response);
      ADD_FAILURE() << "answered in time";
    } catch (const Exception& e) {
      EXPECT_TRUE(std::regex_match(e.Message(),
                                   std::regex("Time out reading server response \\{.{36}\\}\\.")))
          << e.Message();
    }
    timedOut.Set();
    ExpectStoresEmpty(c);
    c.SetRetrys(5);
    c.SetAsyncTimeOut(2000);
    TMemoryStream next;
    next.WriteBytes("next");
    c.Dispatch(next, response);
    EXPECT_EQ(Text(response), "re:next");
    ExpectStoresEmpty(c);
  }
}

TEST(UdpChannel, MinimalDatagramAndFailedSend) {
  TROIndyUDPChannel c;
  TestUdpServer server([](TestUdpServer& s, const Datagram& d) { s.Send(d.from, Id(d)); });
  UseServer(c, server);
  TMemoryStream request, response;
  response.WriteBytes("old content");
  c.Dispatch(request, response);
  EXPECT_EQ(response.Size(), 0);
  // A request that cannot be sent leaves no pending entry behind.
  c.SetHost("host.invalid");
  EXPECT_THROW(c.Dispatch(request, response), EIdSocketError);
  ExpectStoresEmpty(c);
}

TEST(UdpChannel, ASecondCopyIsDroppedByTheNextDispatch) {
  TestUdpServer server([](TestUdpServer& s, const Datagram& d) {
    s.Send(d.from, Id(d) + "re:" + Payload(d));
    s.Send(d.from, Id(d) + "copy of re:" + Payload(d));
  });
  TROIndyUDPChannel c;
  UseServer(c, server);
  for (const char* text : {"one", "two"}) {
    TMemoryStream request, response;
    request.WriteBytes(text);
    c.Dispatch(request, response);
    EXPECT_EQ(Text(response), std::string("re:") + text);
  }
}

TEST(UdpChannel, SilenceAndOversizeFailWithinTheirBounds) {
  TROIndyUDPChannel c;
  {
    TestUdpServer silent([](TestUdpServer&, const Datagram&) {});
    UseServer(c, silent).SetAsyncTimeOut(40);
    c.SetRetrys(2);
    TMemoryStream request, response;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(c.Dispatch(request, response), Exception);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(110));  // three attempts of 40 ms
    EXPECT_LT(took, std::chrono::seconds(30));        // bounded, however busy the machine
    ExpectStoresEmpty(c);
  }
  TestUdpServer big(
      [](TestUdpServer& s, const Datagram& d) { s.Send(d.from, Id(d) + std::string(200, 'b')); });
  UseServer(c, big).IndyClient().BufferSize = 100;
  TMemoryStream request, response;
  EXPECT_THROW(c.Dispatch(request, response), EIdPackageSizeTooBig);
  TMemoryStream huge;
  huge.WriteBytes(std::string(kMaxUdpPayload, 'h'));
  EXPECT_THROW(c.Dispatch(huge, response), EIdPackageSizeTooBig);
  ExpectStoresEmpty(c);
}

TEST(UdpChannel, AsynchronousRequests) {
  // The answer to "later" waits until the test has tried its second request.
  qorvin::test::OneShotEvent release(std::chrono::seconds(60));
  TestUdpServer server([&release](TestUdpServer& s, const Datagram& d) {
    if (Payload(d) == "ignore me") return;
    if (Payload(d) == "later") release.Wait();
    s.Send(d.from, Id(d) + "async:" + Payload(d));
  });
  TROIndyUDPChannel c;
  UseServer(c, server);
  c.SetAsyncSynchronizeResponse(false);
  std::string id;
  auto request = std::make_unique<TMemoryStream>();
  request->WriteBytes("later");
  c.InvokeRequest(std::move(request), true, id);
  EXPECT_EQ(id.size(), 38u);
  // The answer is held back: meanwhile the response thread runs and refuses a second request.
  std::string other = "x";
  try {
    c.InvokeRequest(std::make_unique<TMemoryStream>(), true, other);
    ADD_FAILURE() << "second asynchronous request accepted";
  } catch (const EROChannelBusy& e) {
    EXPECT_EQ(e.Message(), "Channel is busy.");
  }
  release.Set();
  EXPECT_EQ(other, "");
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!c.AnswerReceived(id) && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(c.AnswerReceived(id));
  TMemoryStream response;
  c.RetrieveResponse(id, &response);
  EXPECT_EQ(Text(response), "async:later");
  EXPECT_FALSE(c.AnswerReceived(id));
  try {
    c.RetrieveResponse(id, &response);
    FAIL() << "retrieved twice";
  } catch (const EROAsyncNoAnswerYet& e) {
    EXPECT_EQ(e.Message(), "Response " + id + " is not available yet.");
  }

  // A request nobody answers: the time-out event names it and its pending entry goes.
  while (c.ResponseThreadRunning() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::mutex m;
  std::string timedOut;
  c.OnAsyncResponseTimeOut = [&](const std::string& requestId) {
    std::lock_guard<std::mutex> g(m);
    timedOut = requestId;
  };
  c.SetRetrys(2);
  c.SetAsyncTimeOut(50);
  request = std::make_unique<TMemoryStream>();
  request->WriteBytes("ignore me");
  c.InvokeRequest(std::move(request), true, id);
  const auto until2 = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (c.ResponseThreadRunning() && std::chrono::steady_clock::now() < until2)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  {
    std::lock_guard<std::mutex> g(m);
    EXPECT_EQ(timedOut, id);
  }
  EXPECT_EQ(c.PendingRequests().FindByID(id), nullptr);

  // Requests that time out while strangers send datagrams leave nothing behind.
  TestUdpServer noisy([](TestUdpServer& s, const Datagram& d) {
    s.Send(d.from, kForeignId + "stray");
    s.Send(d.from, "short");
  });
  UseServer(c, noisy).SetAsyncTimeOut(100);
  for (int i = 0; i < 3; ++i) {
    request = std::make_unique<TMemoryStream>();
    request->WriteBytes("nobody answers");
    c.InvokeRequest(std::move(request), true, id);
    const auto until3 = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (c.ResponseThreadRunning() && std::chrono::steady_clock::now() < until3)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_GE(noisy.Received(), 3);
  ExpectStoresEmpty(c);

  // Without waiting for an answer nothing is recorded.
  std::string fireAndForget;
  request = std::make_unique<TMemoryStream>();
  request->WriteBytes("ignore me");
  c.InvokeRequest(std::move(request), false, fireAndForget);
  EXPECT_EQ(fireAndForget.size(), 38u);
  EXPECT_EQ(c.PendingRequests().Count(), 0);
}

// A response thread that fails reports the failure once and raises no time-out event after it.
TEST(UdpChannel, AFailedResponseThreadRaisesNoTimeOut) {
  TestUdpServer big(
      [](TestUdpServer& s, const Datagram& d) { s.Send(d.from, Id(d) + std::string(200, 'b')); });
  TROIndyUDPChannel c;
  UseServer(c, big).IndyClient().BufferSize = 100;
  c.SetAsyncSynchronizeResponse(false);
  std::mutex m;
  std::vector<std::string> events;
  c.OnAsyncException = [&](TROTransportChannel*, void*, const std::exception& e) {
    std::lock_guard<std::mutex> g(m);
    events.push_back(std::string("failure: ") + e.what());
  };
  c.OnAsyncResponseTimeOut = [&](const std::string&) {
    std::lock_guard<std::mutex> g(m);
    events.push_back("time-out");
  };
  std::string id;
  c.InvokeRequest(std::make_unique<TMemoryStream>(), true, id);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (c.ResponseThreadRunning() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_FALSE(c.ResponseThreadRunning());
  std::lock_guard<std::mutex> g(m);
  EXPECT_EQ(events, std::vector<std::string>{"failure: Package Size Too Big."});
  ExpectStoresEmpty(c);
}

TEST(ResponseStorage, ItemsAndStoreOperations) {
  EXPECT_THROW(TROResponseItem(nullptr, "id"), EROResponseItem);
  try {
    TROResponseItem(std::make_unique<TMemoryStream>(), "");
    FAIL() << "empty ID accepted";
  } catch (const EROResponseItem& e) {
    EXPECT_EQ(e.Message(), "Invalid constructor parameter value's");
  }
  TROSimpleAsyncResponseStorage store;
  store.Add(nullptr);
  EXPECT_EQ(store.Count(), 0);
  for (const char* id : {"a", "b", "a"})
    store.Add(std::make_unique<TROResponseItem>(std::make_unique<TMemoryStream>(), id));
  EXPECT_EQ(store.IndexOf(store.FindByID("a")), 0);
  EXPECT_EQ(store.FindByID(""), nullptr);
  EXPECT_EQ(store.FindByID("A"), nullptr);  // IDs are case-sensitive
  EXPECT_EQ(store.IndexOf(nullptr), -1);
  store.DeleteByID("a");  // the first one only
  EXPECT_EQ(store.Count(), 2);
  EXPECT_EQ(store.GetItem(1)->ID(), "a");
  store.Remove(store.GetItem(0));
  EXPECT_EQ(store.Count(), 1);
  EXPECT_THROW(store.Delete(3), ERangeError);
  store.Clear();
  EXPECT_EQ(store.Count(), 0);

  TROIndyUDPChannel c;
  try {
    c.AddPendingRequest(nullptr, "x");
    FAIL() << "no stream accepted";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Parameters of AddRequestToStorage not Assigned");
  }
}

}  // namespace
}  // namespace qorvin
