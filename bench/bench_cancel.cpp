// How long a cancelled dispatch takes to return: from RequestCancel on another thread to the
// end of Dispatch, while the channel waits for an answer the server holds back (the server has
// seen the request each time before the cancel). Reported as manual time per iteration, for the
// TCP, HTTP and UDP channels, each waiting with a 600 s bound of its own; worst_us is the
// slowest of the run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "channels/uROIndyTCPChannel.h"
#include "channels/uROIndyUDPChannel.h"
#include "channels/uROWinInetHttpChannel.h"
#include "tests/client/ScriptedServer.h"

namespace qorvin {
namespace {

// Counts the requests that arrived and holds each until the bench lets it go.
class Gate {
 public:
  std::string Hold() {
    std::unique_lock<std::mutex> lock(mutex_);
    const long mine = ++arrived_;
    cv_.notify_all();
    cv_.wait_for(lock, std::chrono::seconds(60), [&] { return released_ >= mine; });
    return "late";
  }
  void WaitArrived(long count) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(60), [&] { return arrived_ >= count; });
  }
  void Release(long count) {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = count;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  long arrived_ = 0;
  long released_ = 0;
};

std::unique_ptr<TROTransportChannel> Channel(char letter, int port) {
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
    return c;
  }
  auto c = std::make_unique<TROIndyTCPChannel>();
  c->SetHost("127.0.0.1");
  c->SetPort(port);
  c->SetReadTimeout(600000);
  return c;
}

void BM_CancelToReturn(benchmark::State& state) {
  const char letter = char(state.range(0));
  Gate gate;
  testing::ScriptedServer server([&](const std::string&) { return gate.Hold(); });
  auto c = Channel(letter, server.Port(letter));
  long round = 0;
  double worst = 0;
  for (auto _ : state) {
    ++round;
    std::chrono::steady_clock::time_point ended;
    std::thread call([&] {
      TMemoryStream request, response;
      request.WriteBytes("stall");
      try {
        c->Dispatch(request, response);
      } catch (const std::exception&) {
      }
      ended = std::chrono::steady_clock::now();
    });
    gate.WaitArrived(round);
    const auto start = std::chrono::steady_clock::now();
    c->RequestCancel();
    call.join();
    const double seconds = std::chrono::duration<double>(ended - start).count();
    state.SetIterationTime(seconds);
    worst = std::max(worst, seconds);
    c->ResetCancel();
    gate.Release(round);
  }
  state.SetLabel(std::string(1, letter));
  state.counters["worst_us"] = worst * 1e6;
}
BENCHMARK(BM_CancelToReturn)
    ->Arg('T')
    ->Arg('H')
    ->Arg('U')
    ->UseManualTime()
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qorvin
