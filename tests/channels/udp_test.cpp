// The UDP channel and its response stores against loopback servers.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <regex>
#include <string>
#include <thread>

#include "channels/uROIndyUDPChannel.h"
#include "platform/socket/SocketErrors.h"
#include "tests/socket/TestServers.h"

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
  c.SetAsyncTimeOut(300);
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
  for (int i = 0; i < 3; ++i) {
    TMemoryStream request, response;
    request.WriteBytes("payload " + std::to_string(i));
    c.Dispatch(request, response);
    EXPECT_EQ(response.Position(), 0);
    EXPECT_EQ(Text(response), "re:payload " + std::to_string(i));
  }
  EXPECT_EQ(c.IndyClient().BufferAllocations(), 1);  // one 8 MiB buffer, not one per attempt
  std::lock_guard<std::mutex> g(m);
  EXPECT_TRUE(std::regex_match(seen.substr(0, 38),
                               std::regex("\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
                                          "[0-9A-F]{12}\\}")));
  EXPECT_EQ(seen.substr(38), "payload 2");
  ExpectStoresEmpty(c);
}

// Sends `foreign` datagrams for no request, then (when `answer`) the real answer.
TestUdpServer::Handler ForeignThenAnswer(int foreign, bool answer) {
  return [foreign, answer](TestUdpServer& s, const Datagram& d) {
    for (int i = 0; i < foreign; ++i) s.Send(d.from, kForeignId + "noise");
    if (answer) s.Send(d.from, Id(d) + "answer");
  };
}

TEST(UdpChannel, RetrysBoundHowManyStrayDatagramsADispatchTolerates) {
  TROIndyUDPChannel c;
  {
    TestUdpServer server(ForeignThenAnswer(5, true));
    UseServer(c, server);
    TMemoryStream request, response;
    c.Dispatch(request, response);  // the answer is the 6th datagram: accepted
    EXPECT_EQ(Text(response), "answer");
    ExpectStoresEmpty(c);
  }
  {
    TestUdpServer server(ForeignThenAnswer(6, true));
    UseServer(c, server);
    TMemoryStream request, response;
    try {
      c.Dispatch(request, response);
      FAIL() << "answer after 6 strays accepted";
    } catch (const Exception& e) {
      EXPECT_TRUE(std::regex_match(e.Message(),
                                   std::regex("Time out reading server response \\{.{36}\\}\\.")))
          << e.Message();
    }
    ExpectStoresEmpty(c);
  }
  for (int retrys : {0, -3}) {
    TestUdpServer server(ForeignThenAnswer(1, true));
    UseServer(c, server).SetRetrys(retrys);
    TMemoryStream request, response;
    EXPECT_THROW(c.Dispatch(request, response), Exception) << retrys;  // one attempt only
    ExpectStoresEmpty(c);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    c.SetRetrys(5);
    c.Dispatch(request, response);  // the late answer of before is purged, not taken
    ExpectStoresEmpty(c);
  }
}

TEST(UdpChannel, ShortAndMinimalDatagrams) {
  TROIndyUDPChannel c;
  {
    TestUdpServer server([](TestUdpServer& s, const Datagram& d) { s.Send(d.from, "tiny"); });
    UseServer(c, server);
    TMemoryStream request, response;
    try {
      c.Dispatch(request, response);
      FAIL() << "short datagram accepted";
    } catch (const EROException& e) {
      EXPECT_EQ(e.Message(), "Invalid UDP Packet received.");
    }
    ExpectStoresEmpty(c);
  }
  TestUdpServer server([](TestUdpServer& s, const Datagram& d) { s.Send(d.from, Id(d)); });
  UseServer(c, server);
  TMemoryStream request, response;
  response.WriteBytes("old content");
  c.Dispatch(request, response);
  EXPECT_EQ(response.Size(), 0);
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
    EXPECT_LT(took, std::chrono::milliseconds(1500));
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
  TestUdpServer server([](TestUdpServer& s, const Datagram& d) {
    if (Payload(d) == "ignore me") return;
    if (Payload(d) == "later") testing::SleepUnlessStopped(s.Stopping(), 100);
    s.Send(d.from, Id(d) + "async:" + Payload(d));
  });
  TROIndyUDPChannel c;
  UseServer(c, server).SetAsyncTimeOut(50);
  c.SetAsyncSynchronizeResponse(false);
  std::string id;
  auto request = std::make_unique<TMemoryStream>();
  request->WriteBytes("later");
  c.InvokeRequest(std::move(request), true, id);
  EXPECT_EQ(id.size(), 38u);
  // The answer takes 100 ms: meanwhile the response thread runs and refuses a second request.
  std::string other = "x";
  try {
    c.InvokeRequest(std::make_unique<TMemoryStream>(), true, other);
    FAIL() << "second asynchronous request accepted";
  } catch (const EROChannelBusy& e) {
    EXPECT_EQ(e.Message(), "Channel is busy.");
  }
  EXPECT_EQ(other, "");
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
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
  request = std::make_unique<TMemoryStream>();
  request->WriteBytes("ignore me");
  c.InvokeRequest(std::move(request), true, id);
  const auto until2 = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (c.ResponseThreadRunning() && std::chrono::steady_clock::now() < until2)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::lock_guard<std::mutex> g(m);
  EXPECT_EQ(timedOut, id);
  EXPECT_EQ(c.PendingRequests().FindByID(id), nullptr);

  // Without waiting for an answer nothing is recorded.
  std::string fireAndForget;
  request = std::make_unique<TMemoryStream>();
  request->WriteBytes("ignore me");
  c.InvokeRequest(std::move(request), false, fireAndForget);
  EXPECT_EQ(fireAndForget.size(), 38u);
  EXPECT_EQ(c.PendingRequests().Count(), 0);
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
