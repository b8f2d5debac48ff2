// Ctrl-C in qorvin: SIGINT while a call waits for the server cancels the call through the
// module's progress extension; the program exits 130 at once, writes nothing of the cancelled
// call's result (earlier results stay whole) and runs no later subcommand. On a terminal the
// progress line shows the bytes as they arrive.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>

#include "tests/cli/CliHarness.h"

namespace qorvin::testing {
namespace {

constexpr auto kBound = std::chrono::seconds(60);

std::string ReadReply() {
  static const std::string blob =
      MakeTableBlob({{u"ID", ftInteger}}, {{Variant::Integer(1)}, {Variant::Integer(2)}});
  return Reply().Int(1).Binary(&blob).Bytes();
}

// Holds every request whose SQL text contains "stall" until the test ends, telling when one
// came.
class Staller {
 public:
  ~Staller() { Release(); }
  std::string Answer(const std::string& request) {
    static const std::string kWide("s\0t\0a\0l\0l\0", 10);  // the SQL text goes as UTF-16
    if (request.find("stall") == std::string::npos && request.find(kWide) == std::string::npos)
      return ReadReply();
    seen_ = true;
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, kBound, [&] { return released_; });
    return ReadReply();
  }
  bool Seen() const { return seen_; }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  std::atomic<bool> seen_{false};
  std::mutex mutex_;
  std::condition_variable cv_;
  bool released_ = false;
};

class CliInterrupt : public ::testing::TestWithParam<char> {};

TEST_P(CliInterrupt, CtrlCCancelsTheCallAndWritesNothingOfIt) {
  Staller staller;
  CliServer server;
  server.Respond([&](const std::string& request) { return staller.Answer(request); });
  ProgramOptions options;
  options.timeoutMs = 60000;
  options.interruptWhen = [&](const ProgramRun&) { return staller.Seen(); };
  // Every read would wait 600 s for its answer; the first is answered, the second stalls.
  const ProgramRun run =
      Qorvin(Args(server.Connect(GetParam()), {"--format", "csv", "read", "select 1", "--", "read",
                                               "select stall", "--", "read", "select 3"}),
             options);
  staller.Release();  // before the server stops: its thread waits in the stalled answer
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 130) << run.err;
  EXPECT_EQ(run.out, "ID\r\n1\r\n2\r\n");  // the first result, whole; nothing of the second
  EXPECT_EQ(run.err, "result: 1\nqorvin: interrupted\n");  // the first call's note, then ours
  EXPECT_EQ(server.Requests().size(), 2u);                 // the third never ran
}

INSTANTIATE_TEST_SUITE_P(Letters, CliInterrupt, ::testing::Values('T', 'H'));

// On a terminal the line tells how much of the announced answer has arrived; Ctrl-C then ends
// the read in the middle of the answer.
TEST(CliInterruptProgress, TheProgressLineCountsTheAnswerAndCtrlCEndsIt) {
  constexpr uint32_t kAnnounced = 1 << 20;
  TestTcpServer server([](int fd, const std::atomic<bool>& stop) {
    std::string request;
    if (!ReadFrame(fd, request, 10000)) return;
    const unsigned char prefix[4] = {uint8_t(kAnnounced >> 24), uint8_t(kAnnounced >> 16),
                                     uint8_t(kAnnounced >> 8), uint8_t(kAnnounced)};
    WriteAll(fd, prefix, 4);
    WriteAll(fd, std::string(65536, 'x'));
    WaitReadableUnlessStopped(fd, stop, 600000);  // until the client lets go
  });
  ProgramOptions options;
  options.timeoutMs = 60000;
  options.stderrTerminal = true;
  options.interruptWhen = [](const ProgramRun& sofar) {
    return sofar.err.find("receiving 64.0 KiB of 1.0 MiB") != std::string::npos;
  };
  const ProgramRun run = Qorvin(
      {"--connect", "t://127.0.0.1:" + std::to_string(server.Port()), "read", "select"}, options);
  EXPECT_FALSE(run.timedOut) << run.err;
  EXPECT_EQ(run.status, 130) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("qorvin: interrupted"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace qorvin::testing
