// TROTransferProgress: how far the messages of one call have gone, readable from any thread.
//
// The counts are of message bytes only (the request and response streams), never of framing:
// no TCP length prefix, no UDP request ID, no HTTP headers. A call may carry more than one
// message (an attempt repeated on another server, a repeated HTTP request); the counts then add
// up over all of them, and each total is the counts of the finished messages plus the size of
// the current one, so neither a count nor a total ever goes backwards.
//
// Threads: one writer (the thread dispatching the call); Snapshot from any thread. Each figure
// is exact on its own; a snapshot taken while bytes move may mix figures of two moments.
#pragma once

#include <atomic>
#include <cstdint>

namespace qorvin {

struct TTransferSnapshot {
  int64_t sent = 0;
  int64_t sendTotal = -1;  // -1: no request under way yet
  int64_t received = 0;
  int64_t receiveTotal = -1;  // -1: not known (yet)
};

class TROTransferProgress {
 public:
  // A new call: nothing moved, no total known.
  void Restart();
  // A request of `size` bytes starts going out.
  void BeginSend(int64_t size);
  // `soFar` bytes of the current request have gone out (never lowers the count).
  void SentSoFar(int64_t soFar);
  // A response starts arriving; `size` is its length when known, otherwise below 0.
  void BeginReceive(int64_t size);
  // `soFar` bytes of the current response have arrived (never lowers the count).
  void ReceivedSoFar(int64_t soFar);
  // The response is complete: a total still unknown becomes what arrived.
  void EndReceive();
  TTransferSnapshot Snapshot() const;

 private:
  static void Raise(std::atomic<int64_t>& value, int64_t to);

  std::atomic<int64_t> sent_{0};
  std::atomic<int64_t> sendTotal_{-1};
  std::atomic<int64_t> received_{0};
  std::atomic<int64_t> receiveTotal_{-1};
  // Where the current messages begin within the counts (the writer's own).
  int64_t sendBase_ = 0;
  int64_t receiveBase_ = 0;
};

}  // namespace qorvin
