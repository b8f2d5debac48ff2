// Cancelling a dispatch from another thread, and the byte counts of dispatches, over the TCP,
// HTTP and UDP channels against loopback servers that stall until the test releases them.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "channels/uROIndyTCPChannel.h"
#include "channels/uROIndyUDPChannel.h"
#include "channels/uROTransferProgress.h"
#include "channels/uROWinInetHttpChannel.h"
#include "tests/client/ScriptedServer.h"
#include "tests/support/OneShotEvent.h"

namespace qorvin {
namespace {

using testing::ScriptedServer;

constexpr auto kBound = std::chrono::seconds(30);  // far below every channel's own time-out
const std::string kCancelled = "The call was cancelled.";

// A one-shot event whose wait is bounded by kBound.
struct Event : qorvin::test::OneShotEvent {
  Event() : OneShotEvent(kBound) {}
};

std::string Text(TStream& s) {
  std::string bytes(size_t(s.Size()), '\0');
  s.SetPosition(0);
  s.ReadBuffer(bytes.data(), s.Size());
  return bytes;
}

// A channel of `letter` aimed at `server`, with 600 s bounds on every wait.
std::unique_ptr<TROTransportChannel> MakeChannel(char letter, const ScriptedServer& server) {
  const int port = server.Port(letter);
  if (letter == 'H') {
    auto c = std::make_unique<TROWinInetHTTPChannel>();
    c->SetTargetURL("http://127.0.0.1:" + std::to_string(port) + "/Bin");
    c->SetTimeout(600000);
    return c;
  }
  if (letter == 'U') {
    auto c = std::make_unique<TROIndyUDPChannel>();
    c->SetHost("127.0.0.1");
    c->SetPort(port);
    c->SetAsyncTimeOut(600000);
    c->SetRetrys(0);
    c->IndyClient().BufferSize = 65536;
    return c;
  }
  auto c = std::make_unique<TROIndyTCPChannel>();
  c->SetHost("127.0.0.1");
  c->SetPort(port);
  c->SetReadTimeout(600000);
  return c;
}

// The text a dispatch failed with, or "ok:" + the answer.
std::string DispatchText(TROTransportChannel& c, const std::string& payload) {
  TMemoryStream request, response;
  request.WriteBytes(payload);
  try {
    c.Dispatch(request, response);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "ok:" + Text(response);
}

class ChannelCancel : public ::testing::TestWithParam<char> {};

TEST_P(ChannelCancel, CancelEndsTheWaitForTheAnswerAndTheChannelServesTheNextCall) {
  Event seen, release;
  std::atomic<int> calls{0};
  ScriptedServer server([&](const std::string& request) -> std::string {
    if (calls++ == 0) {
      seen.Set();
      release.Wait();
      return "late";
    }
    return "re:" + request;
  });
  // Whatever happens below, the stalled server thread is let go before the server stops.
  struct Release {
    Event& e;
    ~Release() { e.Set(); }
  } releaseOnExit{release};
  auto c = MakeChannel(GetParam(), server);

  auto call = std::async(std::launch::async, [&] { return DispatchText(*c, "first"); });
  ASSERT_TRUE(seen.Wait());
  c->RequestCancel();
  ASSERT_EQ(call.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(call.get(), kCancelled);
  EXPECT_EQ(server.Requests().size(), 1u);  // not repeated

  // Until the latch is reset, every dispatch ends before it reaches the server.
  EXPECT_EQ(DispatchText(*c, "refused"), kCancelled);
  EXPECT_EQ(server.Requests().size(), 1u);

  c->ResetCancel();
  release.Set();  // the stalled request's late answer must not pass for the next one's
  EXPECT_EQ(DispatchText(*c, "second"), "ok:re:second");
  EXPECT_FALSE(c->Busy());
}

TEST_P(ChannelCancel, CountsEndAtTheTotalsAndAddUpOverDispatches) {
  const std::string answer(50000, 'a');
  ScriptedServer server([&](const std::string&) { return answer; });
  auto c = MakeChannel(GetParam(), server);
  c->Transfer().Restart();
  const TTransferSnapshot before = c->Transfer().Snapshot();
  EXPECT_EQ(before.sent, 0);
  EXPECT_EQ(before.sendTotal, -1);
  EXPECT_EQ(before.receiveTotal, -1);

  const std::string request(10000, 'r');
  ASSERT_TRUE(DispatchText(*c, request) == "ok:" + answer);
  TTransferSnapshot s = c->Transfer().Snapshot();
  EXPECT_EQ(s.sent, 10000);
  EXPECT_EQ(s.sendTotal, 10000);
  EXPECT_EQ(s.received, 50000);
  EXPECT_EQ(s.receiveTotal, 50000);

  ASSERT_TRUE(DispatchText(*c, request) == "ok:" + answer);
  s = c->Transfer().Snapshot();
  EXPECT_EQ(s.sent, 20000);
  EXPECT_EQ(s.sendTotal, 20000);
  EXPECT_EQ(s.received, 100000);
  EXPECT_EQ(s.receiveTotal, 100000);
}

INSTANTIATE_TEST_SUITE_P(Letters, ChannelCancel, ::testing::Values('T', 'H', 'U'),
                         [](const auto& info) { return std::string(1, info.param); });

TEST(TransferProgress, NothingGoesBackwardsAndAnUnknownTotalBecomesTheCount) {
  TROTransferProgress p;
  p.Restart();
  p.BeginSend(100);
  p.SentSoFar(60);
  p.SentSoFar(40);  // a resent body starts again from its beginning: the count stays
  EXPECT_EQ(p.Snapshot().sent, 60);
  p.SentSoFar(100);
  p.BeginReceive(-1);  // no length announced
  p.ReceivedSoFar(700);
  TTransferSnapshot s = p.Snapshot();
  EXPECT_EQ(s.receiveTotal, -1);
  EXPECT_EQ(s.received, 700);
  p.EndReceive();
  EXPECT_EQ(p.Snapshot().receiveTotal, 700);

  // A second message (an attempt on another server) adds to the first.
  p.BeginSend(100);
  s = p.Snapshot();
  EXPECT_EQ(s.sent, 100);
  EXPECT_EQ(s.sendTotal, 200);
  p.BeginReceive(50);
  EXPECT_EQ(p.Snapshot().receiveTotal, 750);
  p.ReceivedSoFar(50);
  p.EndReceive();
  s = p.Snapshot();
  EXPECT_EQ(s.received, 750);
  EXPECT_EQ(s.receiveTotal, 750);

  p.Restart();
  s = p.Snapshot();
  EXPECT_EQ(s.sent + s.received, 0);
  EXPECT_EQ(s.sendTotal, -1);
}

}  // namespace
}  // namespace qorvin
