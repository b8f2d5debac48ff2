// One module called from several threads at once, and several modules each on its own thread,
// through the public header against scripted servers. A module serves one call at a time: a call
// that meets a running one is refused with the busy text and touches nothing but its result and
// error text, and the running call is unharmed. The server checks that no request ever mixes
// two callers' arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <latch>
#include <thread>

#include "tests/client/Blobs.h"
#include "tests/client/ClientWire.h"
#include "tests/client/HostLibrary.h"
#include "tests/client/ScriptedServer.h"
#include "tests/support/OneShotEvent.h"

namespace qorvin::testing {
namespace {

const std::string kBusy = "Channel is busy. Try again later.";
const IRemoteDataModule::Guid kFactoryIID = {
    0x6C1E0D2A, 0x6A53, 0x4C4B, {0x9E, 0x32, 0x2B, 0x8C, 0x5D, 0x0F, 0x7A, 0x11}};
constexpr auto kBound = std::chrono::seconds(60);  // a generous bound on every wait

// A one-shot event whose wait is bounded by kBound.
struct Event : qorvin::test::OneShotEvent {
  Event() : OneShotEvent(kBound) {}
};

// Callback events of any thread, under a lock.
struct SharedLog {
  std::mutex mutex;
  std::vector<std::string> events;
  static void OnStatus(void* self, int32_t a, int32_t b) {
    auto* log = static_cast<SharedLog*>(self);
    std::lock_guard<std::mutex> lock(log->mutex);
    log->events.push_back("status " + std::to_string(a) + " " + std::to_string(b));
  }
  static void OnError(void* self, const char* message, const char* detail) {
    auto* log = static_cast<SharedLog*>(self);
    std::lock_guard<std::mutex> lock(log->mutex);
    log->events.push_back(std::string("error ") + message + "|" + detail);
  }
  size_t Count(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex);
    return size_t(std::count(events.begin(), events.end(), event));
  }
};

// Callback events of any thread, counted.
struct CountingLog {
  std::atomic<long> errors{0}, statuses{0};
  static void OnStatus(void* self, int32_t, int32_t) {
    ++static_cast<CountingLog*>(self)->statuses;
  }
  static void OnError(void* self, const char*, const char*) {
    ++static_cast<CountingLog*>(self)->errors;
  }
};

// "t<K>-<N>" → K and N; false for anything else.
bool ParseTag(const std::string& tag, int* k, int* n) {
  return std::sscanf(tag.c_str(), "t%d-%d", k, n) == 2;
}

// A server that answers every operation of the interface. Each caller K sends user id "t<K>"
// and a command (or procedure name) "t<K>-<N>"; the answer carries N as its result (as the
// success count for uploads) and caller K's own rows, so a caller can tell its answer apart.
// A request whose user id and command disagree counts as mixed.
class AnsweringServer {
 public:
  explicit AnsweringServer(int callers) {
    for (int k = 0; k < callers; ++k)
      blobs_.push_back(MakeBlob({{k, u"t" + std::u16string(1, char16_t(u'0' + k))}}));
    server_ = std::make_unique<ScriptedServer>([this](const std::string& r) { return Answer(r); });
  }
  int Port(char letter) const { return server_->Port(letter); }
  int Mixed() const { return mixed_; }
  size_t Requests() const { return server_->Requests().size(); }
  // The next request from user "hold" waits, after `held` is set, until `release` is set.
  Event held, release;

 private:
  std::string Answer(const std::string& bytes) {
    try {
      return Build(bytes);
    } catch (const std::exception& e) {
      ++mixed_;
      return ExceptionReply("EROException", e.what());
    }
  }
  std::string Build(const std::string& bytes) {
    WireReader r(bytes);
    const std::string op = r.MessageName();
    if (op == "GetDateTime") return Reply().Double(2.0).Bytes();
    const std::string user = r.Str();
    r.Str();
    if (user == "hold") {
      held.Set();
      release.Wait();
    }
    std::string tag;
    if (op == "ExecProcInsertTable") {
      r.Binary();
      tag = r.Str();
    } else {
      tag = r.WideAscii();
    }
    int k = -1, n = -1;
    if (!ParseTag(tag, &k, &n) || user != "t" + std::to_string(k) || k < 0 ||
        size_t(k) >= blobs_.size()) {
      if (user != "hold") ++mixed_;
      return Reply().Int(0).Bytes();
    }
    const std::string& blob = blobs_[size_t(k)];
    if (op == "ExecProcInsertTable")
      return Reply("TableProcService").Int(1).Binary(&blob).Int(n).Bytes();
    if (op == "SynchReadData") return Reply().Int(n).Binary(&blob).Bytes();
    if (op == "SynchReadTwoData" || op == "SynchExecProcReadTwoData")
      return Reply().Int(n).Binary(&blob).Binary(&blob).Bytes();
    if (op == "SynchExecProcOutput") return Reply().Int(n).Str(tag).Bytes();
    return Reply().Int(n).Bytes();
  }

  std::vector<std::string> blobs_;
  std::atomic<int> mixed_{0};
  std::unique_ptr<ScriptedServer> server_;
};

// The rows of a record set as "K:tK".
std::string Rows(QorvinAdoDataSet* ds) {
  if (ds == nullptr) return "<none>";
  std::string out;
  for (ds->First(); !ds->Eof(); ds->Next()) {
    Text a, b;
    bool null = false;
    ds->GetValueText(0, &a, &null);
    ds->GetValueText(1, &b, &null);
    out += (out.empty() ? "" : ";") + a.str() + ":" + b.str();
  }
  return out;
}

IQorvinDataSetFactory* FactoryOf(IRemoteDataModule* m) {
  void* f = nullptr;
  if (m->QueryInterface(&kFactoryIID, &f) != 0) return nullptr;
  return static_cast<IQorvinDataSetFactory*>(f);
}

// One caller: runs `calls` operations over the whole interface on `m`, checking each answer
// (or, with `mayBeRefused`, each refusal: busy text, result 0, every other argument untouched).
struct Caller {
  Caller(IRemoteDataModule* module, int caller, bool refusable)
      : m(module), factory(FactoryOf(module)), k(caller), mayBeRefused(refusable) {}
  IRemoteDataModule* m;
  IQorvinDataSetFactory* factory;
  int k;
  bool mayBeRefused;
  int answered = 0, refused = 0;
  std::vector<std::string> faults;

  std::string PacketRows(const QorvinDataPacket& p) {
    QorvinAdoDataSet* ds = factory->PacketToAdoDataSet(&p);
    const std::string rows = Rows(ds);
    if (ds) ds->Release();
    return rows;
  }
  // Answers given to any caller so far: while they grow, the module is not stuck, and a caller
  // that keeps losing the race for it (scheduling is not fair on a loaded machine) keeps trying.
  static std::atomic<int>& AnswersToAnyone() {
    static std::atomic<int> answers{0};
    return answers;
  }
  // Whether to try a refused call again: until the module has answered nobody for kBound.
  static bool Retry(std::chrono::steady_clock::time_point& since, int& answersSeen) {
    const int answers = AnswersToAnyone().load();
    if (answers != answersSeen) {
      answersSeen = answers;
      since = std::chrono::steady_clock::now();
    }
    if (std::chrono::steady_clock::now() - since > kBound) return false;
    Pause();
    return true;
  }
  // Between tries: mostly a yield, so that calls keep colliding; now and then a millisecond, so
  // that where a call takes long (WinInet under Wine) the waiting callers leave the processor to
  // it instead of spinning on two cores.
  static void Pause() {
    thread_local unsigned tries = 0;
    if (++tries % 8 == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    else
      std::this_thread::yield();
  }
  void Fault(int op, int n, const std::string& what) {
    faults.push_back("caller " + std::to_string(k) + " op " + std::to_string(op) + " call " +
                     std::to_string(n) + ": " + what);
  }

  void Run(int calls) {
    const std::string user = "t" + std::to_string(k);
    const std::string mine = std::to_string(k) + ":t" + std::to_string(k);
    QorvinDataPacket a{}, b{};
    QorvinDataPacket null{kQorvinPacketNull, nullptr, 0, nullptr};
    QorvinAdoDataSet* ds = nullptr;
    Text output;
    for (int n = 0; n < calls; ++n) {
      const int op = (n + k) % 12;
      const std::string tag = user + "-" + std::to_string(n);
      // A refused call is tried again until it is answered (while the module answers anyone
      // within a generous bound), so that the callers' calls interleave rather than one caller
      // running while the others give up.
      int answersSeen = AnswersToAnyone().load();
      for (auto started = std::chrono::steady_clock::now();;) {
        int32_t result = -7, count = -9;
        Text error;
        const uint8_t* aBefore = a.bytes;
        const uint8_t* bBefore = b.bytes;
        QorvinAdoDataSet* dsBefore = ds;
        const std::string outputBefore = output.str();
        double when = -1;
        bool dateOk = true;
        switch (op) {
          case 0:
            m->SynchExecSQL(user.c_str(), "", tag.c_str(), &result, &error);
            break;
          case 1:
            m->SynchExecProc(user.c_str(), "", tag.c_str(), &result, &error);
            break;
          case 2:
            m->SynchExecProcBatchBuild(user.c_str(), "", tag.c_str(), "p", &result, &error);
            break;
          case 3:
            m->SynchExecProcOutput(user.c_str(), "", tag.c_str(), &output, &result, &error);
            break;
          case 4:
            m->SynchReadData(user.c_str(), "", tag.c_str(), &a, &result, &error);
            break;
          case 5:
            m->SynchReadTwoData(user.c_str(), "", tag.c_str(), &a, tag.c_str(), &b, &result,
                                &error);
            break;
          case 6:
            m->SynchExecProcReadTwoData(user.c_str(), "", tag.c_str(), &a, tag.c_str(), &b, &result,
                                        &error);
            break;
          case 7:
            m->SynchReadDataSet(user.c_str(), "", tag.c_str(), &ds, &result, &error);
            break;
          case 8:
            m->ExecProcInsertTable(user.c_str(), "", &null, tag.c_str(), &a, &count, 1, &result,
                                   &error);
            break;
          case 9:
            m->ExecProcInsertTableDataSet(user.c_str(), "", nullptr, tag.c_str(), &ds, &count, 1,
                                          &result, &error);
            break;
          case 10:
            m->SynchExecSQLInsert(user.c_str(), "", tag.c_str(), &null, "t", "ID", &result, &error);
            break;
          default:
            dateOk = m->GetDateTime(&when);
            break;
        }
        if (op == 11) {
          // GetDateTime has no error text: a refusal shows as false and the local clock.
          if (dateOk && when == 2.0) {
            ++answered;
            ++AnswersToAnyone();
          } else if (!dateOk && mayBeRefused && when > 40000) {
            ++refused;
            if (Retry(started, answersSeen)) continue;
            Fault(op, n, "refused while nobody was answered for the bound");
          } else {
            Fault(op, n, "date " + std::to_string(when));
          }
          break;
        }
        if (error.str() == kBusy && mayBeRefused) {
          ++refused;
          if (result != 0) Fault(op, n, "refused with result " + std::to_string(result));
          if (a.bytes != aBefore || b.bytes != bBefore || ds != dsBefore || count != -9 ||
              output.str() != outputBefore)
            Fault(op, n, "a refused call changed its arguments");
          if (Retry(started, answersSeen)) continue;
          Fault(op, n, "refused while nobody was answered for the bound");
          break;
        }
        if (!error.str().empty()) {
          Fault(op, n, "failed: " + error.str());
          break;
        }
        ++answered;
        ++AnswersToAnyone();
        const int expected = n;
        if (op == 8 || op == 9) {
          if (result != 1 || count != expected) Fault(op, n, "upload answer of another call");
          if (op == 8 && PacketRows(a) != mine) Fault(op, n, "rows " + PacketRows(a));
          if (op == 9 && Rows(ds) != mine) Fault(op, n, "rows " + Rows(ds));
          break;
        }
        if (result != expected) Fault(op, n, "result " + std::to_string(result));
        if ((op >= 4 && op <= 6) && PacketRows(a) != mine) Fault(op, n, "rows " + PacketRows(a));
        if ((op == 5 || op == 6) && PacketRows(b) != mine) Fault(op, n, "rows " + PacketRows(b));
        if (op == 7 && Rows(ds) != mine) Fault(op, n, "rows " + Rows(ds));
        if (op == 3 && output.str() != tag) Fault(op, n, "output " + output.str());
        break;
      }
    }
    qorvin_packet_free(&a);
    qorvin_packet_free(&b);
    if (ds) ds->Release();
  }
};

class HostConcurrency : public ::testing::TestWithParam<char> {};

// While one call waits for its answer, every method of the module called from another thread is
// refused at once and touches nothing of the running call or of its own arguments.
TEST_P(HostConcurrency, ACallMeetingARunningOneIsRefusedAndTouchesNothing) {
  const char letter = GetParam();
  AnsweringServer server(1);
  IRemoteDataModule* m = HostLibrary::Instance().Create(letter, server.Port(letter));
  ASSERT_NE(m, nullptr);
  IQorvinDataSetFactory* factory = FactoryOf(m);
  SharedLog log;
  m->SetOnStatus({&SharedLog::OnStatus, &log});
  m->SetOnError({&SharedLog::OnError, &log});

  int32_t heldResult = -1;
  Text heldError;
  std::thread running([&] { m->SynchExecSQL("hold", "", "hold-0", &heldResult, &heldError); });
  ASSERT_TRUE(server.held.Wait());

  // Arguments with content, to show that a refusal leaves them as they are.
  QorvinAdoDataSet* rows = factory->CreateAdoDataSet();
  ASSERT_TRUE(rows->AddField("ID", 3, 0) && rows->Open() && rows->Append() &&
              rows->SetValueText(0, "5") && rows->Post());
  QorvinDataPacket a{}, b{};
  ASSERT_TRUE(factory->AdoDataSetToPacket(rows, &a));
  ASSERT_TRUE(factory->AdoDataSetToPacket(rows, &b));
  const uint8_t* aBytes = a.bytes;
  const uint8_t* bBytes = b.bytes;
  QorvinAdoDataSet* ds = rows;
  Text output;
  qorvin_text_assign(&output.t, "out", 3);
  int32_t count = 33;
  int refusals = 0;
  auto check = [&](const char* what, int32_t result, Text& error) {
    ++refusals;
    EXPECT_EQ(result, 0) << what;
    EXPECT_EQ(error.str(), kBusy) << what;
    EXPECT_EQ(a.bytes, aBytes) << what;
    EXPECT_EQ(b.bytes, bBytes) << what;
    EXPECT_EQ(ds, rows) << what;
    EXPECT_EQ(rows->RecordCount(), 1) << what;
    EXPECT_EQ(output.str(), "out") << what;
    EXPECT_EQ(count, 33) << what;
  };
  const char* u = "t0";
  const char* c = "t0-1";
  {
    int32_t r = 9;
    Text e;
    m->SynchExecSQL(u, "", c, &r, &e);
    check("SynchExecSQL", r, e);
  }
  {
    int32_t r = 9;
    Text e;
    m->SynchExecProc(u, "", c, &r, &e);
    check("SynchExecProc", r, e);
  }
  {
    int32_t r = 9;
    Text e;
    m->SynchExecProcBatchBuild(u, "", c, "p", &r, &e);
    check("SynchExecProcBatchBuild", r, e);
  }
  {
    int32_t r = 9;
    Text e;
    m->SynchExecProcOutput(u, "", c, &output, &r, &e);
    check("SynchExecProcOutput", r, e);
  }
  {
    int32_t r = 9;
    Text e;
    m->SynchReadData(u, "", c, &a, &r, &e);
    check("SynchReadData", r, e);
  }
  {
    int32_t r = 9;
    Text e;
    m->SynchReadTwoData(u, "", c, &a, c, &b, &r, &e);
    check("SynchReadTwoData", r, e);
  }
  {
    int32_t r = 9;
    Text e;
    m->SynchExecProcReadTwoData(u, "", c, &a, c, &b, &r, &e);
    check("SynchExecProcReadTwoData", r, e);
  }
  {
    int32_t r = 9;
    Text e;
    m->SynchReadDataSet(u, "", c, &ds, &r, &e);
    check("SynchReadDataSet", r, e);
  }
  {
    int32_t r = 9;
    Text e;
    qorvin_text_assign(&e.t, "caller's", 8);
    m->ExecProcInsertTable(u, "", &a, c, &a, &count, 1, &r, &e);
    check("ExecProcInsertTable", r, e);
  }
  {
    int32_t r = 9;
    Text e;
    m->ExecProcInsertTableDataSet(u, "", rows, c, &ds, &count, 1, &r, &e);
    check("ExecProcInsertTableDataSet", r, e);
  }
  {
    int32_t r = 9;
    Text e;
    m->SynchExecSQLInsert(u, "", c, &a, "t", "ID", &r, &e);
    check("SynchExecSQLInsert", r, e);
  }
  double when = 0;
  EXPECT_FALSE(m->GetDateTime(&when));
  EXPECT_GT(when, 40000.0);  // the local clock, as for any failure
  EXPECT_FALSE(m->GetConnected());
  m->SetKeepConnection(true);
  m->SetConnected(true);
  m->SetKeepConnection(false);
  // Each refusal reported on its own thread; the running call's last error stays empty.
  EXPECT_EQ(log.Count("error " + kBusy + "|"), size_t(refusals + 1));
  EXPECT_EQ(log.Count("status 0 0"), size_t(refusals + 1));
  Text last;
  m->GetLastErrorText(&last);
  EXPECT_EQ(last.str(), "");
  EXPECT_EQ(server.Requests(), 1u);  // nothing refused reached the server

  server.release.Set();
  running.join();
  EXPECT_EQ(heldError.str(), "");
  EXPECT_EQ(heldResult, 0);  // the held request's answer: user "hold" is not a caller
  EXPECT_EQ(log.Count("status 1 3"), 1u);
  EXPECT_EQ(server.Mixed(), 0);

  // The busy state is free again.
  int32_t r = 0;
  Text e;
  m->SynchReadData(u, "", "t0-4", &a, &r, &e);
  EXPECT_EQ(e.str(), "");
  EXPECT_EQ(r, 4);
  qorvin_packet_free(&a);
  qorvin_packet_free(&b);
  rows->Release();
}

// Six threads hammer one module over the whole interface: a call is either refused cleanly
// (and tried again) or gets its own answer, and no request mixes callers.
TEST_P(HostConcurrency, SeveralThreadsOnOneModuleNeverMixOrCorrupt) {
  const char letter = GetParam();
  constexpr int kCallers = 6, kCalls = 60;
  AnsweringServer server(kCallers);
  IRemoteDataModule* m = HostLibrary::Instance().Create(letter, server.Port(letter));
  ASSERT_NE(m, nullptr);
  CountingLog log;
  m->SetOnStatus({&CountingLog::OnStatus, &log});
  m->SetOnError({&CountingLog::OnError, &log});
  std::vector<Caller> callers;
  for (int k = 0; k < kCallers; ++k) callers.emplace_back(m, k, true);
  // All callers start together, so that their first calls collide.
  std::latch start(kCallers);
  std::vector<std::thread> threads;
  for (Caller& caller : callers) {
    threads.emplace_back([&caller, &start] {
      start.arrive_and_wait();
      caller.Run(kCalls);
    });
  }
  // The host's other threads meanwhile read the last error and replace the callbacks.
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      Text last;
      m->GetLastErrorText(&last);
      m->SetOnStatus({&CountingLog::OnStatus, &log});
      Caller::Pause();
    }
  });
  for (std::thread& t : threads) t.join();
  done = true;
  reader.join();
  int answered = 0, refused = 0;
  for (const Caller& caller : callers) {
    for (const std::string& f : caller.faults) ADD_FAILURE() << f;
    answered += caller.answered;
    refused += caller.refused;
    EXPECT_EQ(caller.answered, kCalls);
  }
  // Every failure the callers saw was a refusal, reported once through each callback.
  EXPECT_EQ(log.errors, refused);
  RecordProperty("answered", answered);
  RecordProperty("refused", refused);
  EXPECT_EQ(server.Mixed(), 0);
}

// Separate modules, each on its own thread, all at once: none is ever refused.
TEST(HostConcurrencyModules, SeparateModulesOnSeparateThreadsAllSucceed) {
  constexpr int kCallers = 4, kCalls = 36;
  const char letters[kCallers] = {'T', 'B', 'H', 'U'};
  std::vector<std::unique_ptr<AnsweringServer>> servers;
  std::vector<Caller> callers;
  for (int k = 0; k < kCallers; ++k) {
    servers.push_back(std::make_unique<AnsweringServer>(kCallers));
    IRemoteDataModule* m =
        HostLibrary::Instance().Create(letters[k], servers.back()->Port(letters[k]));
    ASSERT_NE(m, nullptr);
    callers.emplace_back(m, k, false);
  }
  std::vector<std::thread> threads;
  for (Caller& caller : callers) threads.emplace_back([&caller] { caller.Run(kCalls); });
  for (std::thread& t : threads) t.join();
  for (const Caller& caller : callers) {
    for (const std::string& f : caller.faults) ADD_FAILURE() << f;
    EXPECT_EQ(caller.answered, kCalls);
  }
  for (const auto& server : servers) EXPECT_EQ(server->Mixed(), 0);
}

INSTANTIATE_TEST_SUITE_P(Letters, HostConcurrency, ::testing::Values('T', 'B', 'H', 'U'));

}  // namespace
}  // namespace qorvin::testing
