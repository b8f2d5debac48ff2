// The fault matrix: a call of a module through a FaultProxy to a real qorvin-server, for each fault
// and connection letter. Each cell checks that the faulted call
//   - ends within a generous multiple of the module's time-outs,
//   - reports success only when the call succeeded, and otherwise a clear error text (the same
//     in the error argument and the last error text, never a server exception),
//   - ran on the server as often as the cell says (a write with a key of its own, counted on the
//     server afterwards: never twice),
// and that the next call on the same module, the fault lifted, gets its own answer.
//
// The modules are built in-process, through the code of libQorvinClient.so, and used through the
// host interface alone: hosts have no setting for the channels' time-outs, and the defaults
// (10 minutes for a silent TCP or HTTP server) would make a stalled cell wait that long. Here the
// channels wait 2 s (TCP and HTTP per pause, UDP (3 + 1) x 500 ms in all).
//
// T runs a new connection per call, B and H keep their connection (the fault then hits a
// connection that already carried a call), U is datagrams.
//
// The faults that strike after the request went out (a cut request, a lost, reset or cut-off
// reply) run once more with a second server known to the module in fail-over mode: the outcome
// is the same, and the second server never runs the call (the module fails over only when a
// request provably never reached a server).
//
// Expected outcome per cell ("-": the fault does not exist on that transport):
//
//   fault             T, B, H                          U
//   Delay (200 ms)    succeeds                         succeeds
//   DropRequest       time-out, not run                time-out, not run
//   CutRequest        error at once, not run           -
//   DropReply         time-out, ran once               time-out, ran once
//   DuplicateRequest  -                                succeeds, ran once (the server answers
//                                                      one request ID once)
//   DuplicateReply    succeeds; the copy is not taken  succeeds; the copy is dropped
//                     for the next call's answer
//   Reorder           -                                time-out, ran once; its late reply comes
//                                                      during the next call, which ignores it
//   Reset             error at once, ran once          -
//                     (H: "Empty reply from server")
//   Truncate          error at once, ran once          error at once, ran once
//                     (the cut falls in the headers
//                     of an HTTP answer)
//   TruncateLate      error at once, ran once          error at once, ran once
//                     (all but the last byte; H:
//                     libcurl's "transfer closed")
//   Stall             time-out, ran once               - (a stalled datagram is a dropped one)
//   Drip (1 ms/byte)  succeeds                         -
//
// "Ran once" with a failure is the host's "unknown outcome": the server ran the call but its
// answer was lost, and nothing in the protocol lets the client learn it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "channels/uROIndyTCPChannel.h"
#include "channels/uROIndyUDPChannel.h"
#include "channels/uROWinInetHttpChannel.h"
#include "client/DataModuleQorvinCommon.h"
#include "contract/VelmarLib_Intf.h"
#include "include/qorvin/QorvinServers.h"
#include "messaging/uROClasses.h"
#include "tests/e2e/E2eSupport.h"
#include "tests/faults/FaultProxy.h"

namespace qorvin::faults {
namespace {

using e2e::ServerOptions;
using e2e::ServerProcess;
using e2e::Workspace;
using qorvin::testing::Text;

constexpr int kTimeoutMs = 2000;
constexpr int kUdpWaitMs = 500;
constexpr int kUdpRetries = 3;
// Every faulted call ends well within this, whatever the load of the machine.
constexpr auto kBound = std::chrono::seconds(15);

enum class Outcome {
  Succeeds,  // result 1, no error, ran once
  NotRun,    // an error; the server never saw the call
  RanOnce,   // an error, but the server ran the call once: an unknown outcome for the host
};

struct Cell {
  char letter;
  Fault fault;
  Outcome outcome;
  const char* error;  // a part of the expected error text ("" for success)
  // The module knows a second server (fail-over): a call that failed after its request went out
  // must not run there too.
  bool failOver = false;
};

void PrintTo(const Cell& cell, std::ostream* out) {
  *out << cell.letter << " " << FaultName(cell.fault) << (cell.failOver ? " with fail-over" : "");
}

std::string CellName(const ::testing::TestParamInfo<Cell>& info) {
  return std::string(1, info.param.letter) + "_" + FaultName(info.param.fault) +
         (info.param.failOver ? "_FailOver" : "");
}

constexpr char kTcpTimeout[] = "Read timed out after 2000 ms.";
constexpr char kHttpTimeout[] = "The operation timed out (no data for 2000 ms)";
constexpr char kUdpTimeout[] = "Time out reading server response {";

std::vector<Cell> Cells() {
  std::vector<Cell> cells;
  for (char letter : {'T', 'B', 'H'}) {
    const bool http = letter == 'H';
    const char* timeout = http ? kHttpTimeout : kTcpTimeout;
    cells.push_back({letter, Fault::Delay, Outcome::Succeeds, ""});
    cells.push_back({letter, Fault::DropRequest, Outcome::NotRun, timeout});
    cells.push_back({letter, Fault::CutRequest, Outcome::NotRun,
                     http ? "Empty reply from server" : "Connection Closed Gracefully."});
    cells.push_back({letter, Fault::DropReply, Outcome::RanOnce, timeout});
    cells.push_back({letter, Fault::DuplicateReply, Outcome::Succeeds, ""});
    cells.push_back({letter, Fault::Reset, Outcome::RanOnce,
                     http ? "Empty reply from server" : "Connection reset by peer."});
    cells.push_back({letter, Fault::Truncate, Outcome::RanOnce,
                     http ? "Connection closed before the end of the response headers"
                          : "Connection Closed Gracefully."});
    cells.push_back({letter, Fault::TruncateLate, Outcome::RanOnce,
                     http ? "transfer closed with 1 bytes remaining to read"
                          : "Connection Closed Gracefully."});
    cells.push_back({letter, Fault::Stall, Outcome::RanOnce, timeout});
    cells.push_back({letter, Fault::Drip, Outcome::Succeeds, ""});
  }
  cells.push_back({'U', Fault::Delay, Outcome::Succeeds, ""});
  cells.push_back({'U', Fault::DropRequest, Outcome::NotRun, kUdpTimeout});
  cells.push_back({'U', Fault::DropReply, Outcome::RanOnce, kUdpTimeout});
  cells.push_back({'U', Fault::DuplicateRequest, Outcome::Succeeds, ""});
  cells.push_back({'U', Fault::DuplicateReply, Outcome::Succeeds, ""});
  cells.push_back({'U', Fault::Reorder, Outcome::RanOnce, kUdpTimeout});
  // A datagram has no length of its own: the cut shows when the message ends too soon.
  cells.push_back({'U', Fault::Truncate, Outcome::RanOnce, "Unexpected end of stream."});
  cells.push_back({'U', Fault::TruncateLate, Outcome::RanOnce, "Stream read error"});
  return cells;
}

// The faults that strike after the request went out, with a second server to fail over to.
std::vector<Cell> FailOverCells() {
  std::vector<Cell> cells;
  for (const Cell& cell : Cells()) {
    const bool afterSent = cell.fault == Fault::CutRequest || cell.fault == Fault::DropReply ||
                           cell.fault == Fault::Reset || cell.fault == Fault::Truncate;
    // T and B are one channel: B (a kept connection) waits out the lost reply for both.
    if (!afterSent || (cell.letter == 'T' && cell.fault == Fault::DropReply)) continue;
    cells.push_back(cell);
    cells.back().failOver = true;
  }
  return cells;
}

// A module of `letter` at 127.0.0.1:port with the matrix's time-outs; B and H keep their
// connection between calls.
std::unique_ptr<TDataModuleZent> NewModule(char letter, int port) {
  auto module = TDataModuleZent::Create(0, letter, "127.0.0.1", port);
  TROTransportChannel* channel = module->Channel();
  if (auto* tcp = dynamic_cast<TROIndyTCPChannel*>(channel)) {
    tcp->SetConnectTimeout(kTimeoutMs);
    tcp->SetReadTimeout(kTimeoutMs);
  } else if (auto* http = dynamic_cast<TROWinInetHTTPChannel*>(channel)) {
    http->SetConnectTimeout(kTimeoutMs);
    http->SetTimeout(kTimeoutMs);
  } else if (auto* udp = dynamic_cast<TROIndyUDPChannel*>(channel)) {
    udp->SetAsyncTimeOut(kUdpWaitMs);
    udp->SetRetrys(kUdpRetries);
  }
  module->SetKeepConnection(letter == 'B' || letter == 'H');
  return module;
}

// Adds the server at `port` as the module's alternative, in fail-over mode.
void AddFailOver(TDataModuleZent& module, int port) {
  IQorvinServers* servers = nullptr;
  ASSERT_EQ(module.QueryInterface(&kQorvinIID_IQorvinServers, reinterpret_cast<void**>(&servers)),
            0);
  Text error;
  ASSERT_TRUE(servers->AddServer("127.0.0.1", port, nullptr, &error)) << error.str();
  ASSERT_TRUE(servers->SetMode(kQorvinServersFailOver));
}

// What a read answered: its rows as text, or "error: <text>".
std::string Read(IRemoteDataModule& module, const std::string& sql) {
  QorvinDataPacket data{};
  int32_t result = 0;
  Text error;
  module.SynchReadData("faults", "", sql.c_str(), &data, &result, &error);
  std::string rows = "error: " + error.str();
  if (error.str().empty())
    rows = data.kind == kQorvinPacketBytes ? e2e::Rows(e2e::FactoryOf(&module), data) : "<none>";
  qorvin_packet_free(&data);
  return rows;
}

class FaultMatrix : public ::testing::TestWithParam<Cell> {
 protected:
  // Two servers, each on a database of its own with the table FaultLog, and a module straight to
  // each (no proxy) that counts the runs of a write.
  static void SetUpTestSuite() {
    RegisterMessagingClasses();
    RegisterVelmarLibProxies();
    work_ = new Workspace;
    for (int i = 0; i < 2; ++i) {
      ServerOptions options;
      options.logFile = work_->Path("server" + std::to_string(i) + ".log");
      std::string error;
      servers_[i] = ServerProcess::Start(options, error).release();
      if (servers_[i] == nullptr) {
        startError_ = new std::string(error);
        return;
      }
      direct_[i] = NewModule('T', servers_[i]->TcpPort()).release();
      int32_t result = 0;
      Text text;
      direct_[i]->SynchExecSQL("faults", "", "create table FaultLog (K varchar(40))", &result,
                               &text);
      if (result != 1) startError_ = new std::string("create table: " + text.str());
    }
  }

  static void TearDownTestSuite() {
    for (int i = 0; i < 2; ++i) {
      delete direct_[i];
      if (servers_[i] != nullptr) {
        const std::string log = servers_[i]->LogText();
        EXPECT_EQ(servers_[i]->Stop(), 0) << log;
      }
      delete servers_[i];
      direct_[i] = nullptr;
      servers_[i] = nullptr;
    }
    delete work_;
    delete startError_;
    work_ = nullptr;
    startError_ = nullptr;
  }

  void SetUp() override {
    if (startError_ != nullptr) GTEST_FAIL() << *startError_;
  }

  // How often server `i` ran the write with key `key`.
  static std::string Runs(int i, const std::string& key) {
    return Read(*direct_[i], "select count(*) from FaultLog where K = '" + key + "'");
  }

  static Workspace* work_;
  static ServerProcess* servers_[2];
  static TDataModuleZent* direct_[2];
  static std::string* startError_;
};

Workspace* FaultMatrix::work_ = nullptr;
ServerProcess* FaultMatrix::servers_[2] = {nullptr, nullptr};
TDataModuleZent* FaultMatrix::direct_[2] = {nullptr, nullptr};
std::string* FaultMatrix::startError_ = nullptr;

TEST_P(FaultMatrix, CallEndsInItsBoundAndTheNextCallGetsItsOwnAnswer) {
  const Cell& cell = GetParam();
  FaultProxy proxy(cell.letter, servers_[0]->Port(cell.letter));
  std::unique_ptr<TDataModuleZent> module = NewModule(cell.letter, proxy.Port());
  if (cell.failOver) AddFailOver(*module, servers_[1]->Port(cell.letter));
  const std::string key = CellName({cell, 0});

  // Unarmed the proxy changes nothing (and B and H now hold a connection that carried a call).
  ASSERT_EQ(Read(*module, "select 'before' as E"), "before");
  EXPECT_EQ(proxy.FaultsApplied(), 0);

  proxy.Arm(cell.fault);
  int32_t result = 7;
  Text error;
  const auto started = std::chrono::steady_clock::now();
  module->SynchExecSQL("faults", "", ("insert into FaultLog (K) values ('" + key + "')").c_str(),
                       &result, &error);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_LT(took, kBound);
  if (cell.outcome == Outcome::Succeeds) {
    EXPECT_EQ(result, 1);
    EXPECT_EQ(error.str(), "");
  } else {
    EXPECT_EQ(result, 0);
    EXPECT_NE(error.str(), "");
    EXPECT_NE(error.str().find(cell.error), std::string::npos) << error.str();
    EXPECT_EQ(error.str().find("An exception was raised on the server"), std::string::npos)
        << error.str();
    Text last;
    module->GetLastErrorText(&last);
    EXPECT_EQ(last.str(), error.str());
  }
  std::string shown = error.str().empty() ? "ok" : error.str();
  std::replace(shown.begin(), shown.end(), '\n', ' ');
  std::cout << "[ cell     ] " << key << ": " << shown << " in "
            << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms\n";

  // The fault is over: the same module's next call gets its own answer, not one left over.
  EXPECT_EQ(Read(*module, "select '" + key + " after' as E"), key + " after");
  EXPECT_TRUE(proxy.WaitApplied(1, 10000)) << "the fault was never applied";
  EXPECT_EQ(proxy.FaultsApplied(), 1);
  // Three calls, three requests: the module never sent one again by itself. (With fail-over the
  // last call may go to the other server.)
  if (cell.failOver) {
    EXPECT_GE(proxy.RequestsSeen(), 2);
    EXPECT_LE(proxy.RequestsSeen(), 3);
  } else {
    EXPECT_EQ(proxy.RequestsSeen(), 3);
  }

  EXPECT_EQ(Runs(0, key), cell.outcome == Outcome::NotRun ? "0" : "1");
  EXPECT_EQ(Runs(1, key), "0");  // never repeated at the other server
}

INSTANTIATE_TEST_SUITE_P(Cells, FaultMatrix, ::testing::ValuesIn(Cells()), CellName);
INSTANTIATE_TEST_SUITE_P(FailOver, FaultMatrix, ::testing::ValuesIn(FailOverCells()), CellName);

}  // namespace
}  // namespace qorvin::faults
