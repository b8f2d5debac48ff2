// Hosts that call the module from its own callbacks and from other threads, through the public
// header: a call made from OnError or OnStatus runs (and a host that calls again from every
// OnError comes to an end), the extensions are one object however many threads ask for them,
// GetDateTime and SetConnected are cancellable like every call, a cancel after the answer is
// in is not reported as one, and GetConnected tells the truth while another thread's call runs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "include/qorvin/QorvinProgress.h"
#include "include/qorvin/QorvinServers.h"
#include "tests/client/ClientWire.h"
#include "tests/client/HostLibrary.h"
#include "tests/client/ScriptedServer.h"
#include "tests/support/OneShotEvent.h"

namespace qorvin::testing {
namespace {

constexpr auto kBound = std::chrono::seconds(30);
const std::string kCancelled = "The call was cancelled.";

template <class I>
I* Extension(IRemoteDataModule* m, const IRemoteDataModule::Guid& iid) {
  void* p = nullptr;
  return m->QueryInterface(&iid, &p) == 0 ? static_cast<I*>(p) : nullptr;
}

QorvinTransferProgress Snapshot(IQorvinProgress* p) {
  QorvinTransferProgress s{};
  p->GetProgress(&s);
  return s;
}

// Answers GetDateTime with 1.5, a SynchExecSQL of "fail" with a server exception, any other
// SynchExecSQL with 1. While `hold` is set, a request waits for its release before the answer.
class Peer {
 public:
  Peer()
      : server_([this](const std::string& request) {
          const WireReader r(request);
          {
            std::unique_lock<std::mutex> lock(mutex_);
            ++requests_;
            if (hold_) {
              arrived_ = true;
              changed_.notify_all();
              changed_.wait_for(lock, kBound, [&] { return !hold_; });
            }
          }
          if (r.MessageName() == "GetDateTime") return Reply().Double(1.5).Bytes();
          if (request.find(std::string("f\0a\0i\0l\0", 8)) != std::string::npos)
            return ExceptionReply("EROException", "boom");
          return Reply().Int(1).Bytes();
        }) {}
  ~Peer() { Release(); }

  int Port(char letter) const { return server_.Port(letter); }
  int Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  void Hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = true;
    arrived_ = false;
  }
  bool WaitArrived() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kBound, [&] { return arrived_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = false;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool hold_ = false;
  bool arrived_ = false;
  int requests_ = 0;
  ScriptedServer server_;
};

int32_t Exec(IRemoteDataModule* m, const char* sql, std::string* error = nullptr) {
  int32_t result = -1;
  Text text;
  m->SynchExecSQL("u", "s", sql, &result, &text);
  if (error) *error = text.str();
  return result;
}

class HostCallbacks : public ::testing::TestWithParam<char> {
 protected:
  void SetUp() override {
    module_ = HostLibrary::Instance().Create(GetParam(), peer_.Port(GetParam()));
    ASSERT_NE(module_, nullptr);
  }
  Peer peer_;
  IRemoteDataModule* module_ = nullptr;
};

// A host that logs each error to the server: every nested call fails and raises OnError again.
// The nested calls run, and the chain ends on its own instead of overflowing the stack.
TEST_P(HostCallbacks, ACallFromOnErrorRunsAndEndlessRetriesEnd) {
  struct Host {
    IRemoteDataModule* m;
    int errors = 0;
    std::vector<std::string> nestedErrors;
    static void OnError(void* self, const char*, const char*) {
      auto* h = static_cast<Host*>(self);
      ++h->errors;
      std::string error;
      Exec(h->m, "fail", &error);
      h->nestedErrors.push_back(error);
    }
  } host{module_, 0, {}};
  module_->SetOnError({&Host::OnError, &host});
  std::string error;
  EXPECT_EQ(Exec(module_, "fail", &error), 0);
  const std::string kBoom = "An exception was raised on the server: boom";
  EXPECT_EQ(error, kBoom);
  ASSERT_FALSE(host.nestedErrors.empty());
  for (const std::string& e : host.nestedErrors) EXPECT_EQ(e, kBoom);  // they ran, not refused
  EXPECT_GE(peer_.Requests(), 3);
  EXPECT_LE(host.errors, 16);
  module_->SetOnError({});
  // The module is ready for the next call.
  EXPECT_EQ(Exec(module_, "select 1"), 1);
}

// A host that reads the server clock when a call reports success.
TEST_P(HostCallbacks, ACallFromOnStatusRuns) {
  struct Host {
    IRemoteDataModule* m;
    bool asked = false;
    bool answered = false;
    double when = 0;
    static void OnStatus(void* self, int32_t a, int32_t b) {
      auto* h = static_cast<Host*>(self);
      if (a != 1 || b != 3 || h->asked) return;
      h->asked = true;
      h->answered = h->m->GetDateTime(&h->when);
    }
  } host{module_, false, false, 0};
  module_->SetOnStatus({&Host::OnStatus, &host});
  EXPECT_EQ(Exec(module_, "select 1"), 1);
  EXPECT_TRUE(host.asked);
  EXPECT_TRUE(host.answered);
  EXPECT_EQ(host.when, 1.5);
  module_->SetOnStatus({});
}

// Cancel from OnStatus(1, 3): the answer is in, so the call is not cancelled and succeeds, and
// progress says so.
TEST_P(HostCallbacks, ACancelAfterTheAnswerIsInIsNotReportedAsOne) {
  IQorvinProgress* progress = Extension<IQorvinProgress>(module_, kQorvinIID_IQorvinProgress);
  ASSERT_NE(progress, nullptr);
  struct Host {
    IQorvinProgress* p;
    int cancels = 0;
    static void OnStatus(void* self, int32_t a, int32_t) {
      auto* h = static_cast<Host*>(self);
      if (a == 1 && h->p->Cancel()) ++h->cancels;
    }
  } host{progress, 0};
  module_->SetOnStatus({&Host::OnStatus, &host});
  EXPECT_EQ(Exec(module_, "select 1"), 1);
  EXPECT_EQ(host.cancels, 0);
  EXPECT_EQ(Snapshot(progress).cancelled, 0);
  module_->SetOnStatus({});
}

// GetDateTime is bracketed like every call: its counts start from zero, and Cancel ends it.
TEST_P(HostCallbacks, GetDateTimeCountsFromZeroAndIsCancellable) {
  IQorvinProgress* progress = Extension<IQorvinProgress>(module_, kQorvinIID_IQorvinProgress);
  ASSERT_NE(progress, nullptr);
  double when = 0;
  ASSERT_TRUE(module_->GetDateTime(&when));
  const QorvinTransferProgress first = Snapshot(progress);
  ASSERT_TRUE(module_->GetDateTime(&when));
  const QorvinTransferProgress second = Snapshot(progress);
  EXPECT_GT(first.bytesReceived, 0);
  EXPECT_EQ(second.bytesReceived, first.bytesReceived);
  EXPECT_EQ(second.bytesSent, first.bytesSent);

  peer_.Hold();
  auto call = std::async(std::launch::async, [&] {
    double t = 0;
    return module_->GetDateTime(&t);
  });
  ASSERT_TRUE(peer_.WaitArrived());
  EXPECT_TRUE(progress->Cancel());
  ASSERT_EQ(call.wait_for(kBound), std::future_status::ready);
  EXPECT_FALSE(call.get());
  Text last;
  module_->GetLastErrorText(&last);
  EXPECT_EQ(last.str(), kCancelled);
  EXPECT_EQ(Snapshot(progress).cancelled, 1);
  peer_.Release();
  EXPECT_TRUE(module_->GetDateTime(&when));  // ready for the next call
}

// A host shortens the bound of a call's wait; the call then fails with the transport's time-out.
TEST_P(HostCallbacks, TheHostSetsTheBoundOfTheWait) {
  IQorvinProgress* progress = Extension<IQorvinProgress>(module_, kQorvinIID_IQorvinProgress);
  progress->SetTimeouts(0, 300);
  peer_.Hold();
  std::string error;
  EXPECT_EQ(Exec(module_, "select 1", &error), 0);
  EXPECT_FALSE(error.empty());
  EXPECT_NE(error, kCancelled);
  peer_.Release();
}

INSTANTIATE_TEST_SUITE_P(Letters, HostCallbacks, ::testing::Values('T', 'H', 'U'));

// Two threads asking for the extensions at once get one object each, the same one, alive.
TEST(HostExtensions, QueryInterfaceFromTwoThreadsHandsOutOneObject) {
  for (int round = 0; round < 50; ++round) {
    IRemoteDataModule* m = HostLibrary::Instance().Create('T', 1);
    ASSERT_NE(m, nullptr);
    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    auto ask = [&] {
      start.wait();
      return Extension<IQorvinServers>(m, kQorvinIID_IQorvinServers);
    };
    auto a = std::async(std::launch::async, ask);
    auto b = std::async(std::launch::async, ask);
    go.set_value();
    IQorvinServers* first = a.get();
    IQorvinServers* second = b.get();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->ServerCount(), 1);
  }
}

// The host's own changes to the list are no call's server choice: no OnServerAssigned.
TEST(HostExtensions, ChangingTheListRaisesNoServerAssignment) {
  Peer peer;
  IRemoteDataModule* m = HostLibrary::Instance().Create('T', peer.Port('T'));
  IQorvinServers* servers = Extension<IQorvinServers>(m, kQorvinIID_IQorvinServers);
  ASSERT_NE(servers, nullptr);
  struct Log {
    std::vector<std::string> assigned;
    static void OnAssigned(void* self, const char* address, const char*) {
      static_cast<Log*>(self)->assigned.push_back(address);
    }
  } log;
  servers->SetOnServerAssigned({&Log::OnAssigned, &log});
  Text error;
  ASSERT_TRUE(servers->AddServer("127.0.0.1", peer.Port('T'), nullptr, &error)) << error.str();
  servers->ClearServers();
  EXPECT_TRUE(log.assigned.empty());
  EXPECT_EQ(Exec(m, "select 1"), 1);  // the module's own server serves
  servers->SetOnServerAssigned({});
}

// While another thread's call holds a kept connection, GetConnected says it is connected.
TEST(HostExtensions, GetConnectedAnswersWhileAnotherCallRuns) {
  Peer peer;
  IRemoteDataModule* m = HostLibrary::Instance().Create('T', peer.Port('T'));
  m->SetKeepConnection(true);
  ASSERT_EQ(Exec(m, "select 1"), 1);
  EXPECT_TRUE(m->GetConnected());
  peer.Hold();
  auto call = std::async(std::launch::async, [&] { return Exec(m, "select 1"); });
  ASSERT_TRUE(peer.WaitArrived());
  EXPECT_TRUE(m->GetConnected());
  peer.Release();
  ASSERT_EQ(call.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(call.get(), 1);
}

}  // namespace
}  // namespace qorvin::testing
