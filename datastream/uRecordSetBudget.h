// The memory budget of record sets loaded from dataset blobs.
//
// An image's NULL cells cost a bit each in the blob but a whole slot each once loaded: a 16 KB
// blob of NULL rows would otherwise claim gigabytes. A record set loaded by
// LoadRecordsetFromStream may hold at most the calling thread's budget
// (RecordSetMemoryBudget()): by default four times its inflation budget (1 GiB under the default
// 256 MiB), so that a host raising the inflation budget for larger reads can load them. A
// process serving several loads at once (the server's uploads) adds a shared budget that all of
// them draw from for as long as their record sets live (TMemoryClaim).
//
// Threads: the budget in force is the calling thread's; TSharedMemoryBudget may be used from any
// thread; a TMemoryClaim by one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/ado/AdoTypes.h"

namespace qorvin {

// A record set whose rows would hold more than a budget. Not a damaged blob: the same blob loads
// under a larger budget.
QORVIN_DECLARE_EXCEPTION(ERecordSetTooLarge, EAdoError);

// Bytes that several claimants share, none past the limit.
class TSharedMemoryBudget {
 public:
  explicit TSharedMemoryBudget(int64_t limit) : limit_(limit) {}
  void SetLimit(int64_t limit) { limit_.store(limit); }
  int64_t Limit() const { return limit_.load(); }
  int64_t InUse() const { return used_.load(); }
  // Adds `bytes` unless the total would pass the limit; returns whether it did.
  bool TryAdd(int64_t bytes);
  void Remove(int64_t bytes) { used_.fetch_sub(bytes); }

 private:
  std::atomic<int64_t> limit_;
  std::atomic<int64_t> used_{0};
};

// One claimant's bytes of a shared budget, given back when it ends.
class TMemoryClaim {
 public:
  explicit TMemoryClaim(TSharedMemoryBudget& shared) : shared_(shared) {}
  ~TMemoryClaim() { shared_.Remove(bytes_); }
  TMemoryClaim(const TMemoryClaim&) = delete;
  TMemoryClaim& operator=(const TMemoryClaim&) = delete;

  TSharedMemoryBudget& Shared() const { return shared_; }
  int64_t Bytes() const { return bytes_; }
  // Makes the claim `bytes`; false, the claim unchanged, when the shared budget has no room.
  bool Resize(int64_t bytes);

 private:
  TSharedMemoryBudget& shared_;
  int64_t bytes_ = 0;
};

// The memory budget of a record set loaded on the calling thread: the innermost
// TRecordSetBudgetScope's, else four times InflateBudget().
int64_t RecordSetMemoryBudget();
// The claim that loads on the calling thread draw from (the innermost scope's), or null.
TMemoryClaim* RecordSetMemoryClaim();

// Sets the calling thread's record-set budget for one scope (the previous one is restored
// after): `budget` > 0 replaces the default; `claim`, when not null, is grown as the rows load and
// keeps them counted in its shared budget until the claim ends.
class TRecordSetBudgetScope {
 public:
  explicit TRecordSetBudgetScope(int64_t budget, TMemoryClaim* claim = nullptr);
  ~TRecordSetBudgetScope();
  TRecordSetBudgetScope(const TRecordSetBudgetScope&) = delete;
  TRecordSetBudgetScope& operator=(const TRecordSetBudgetScope&) = delete;

 private:
  int64_t previousBudget_;
  TMemoryClaim* previousClaim_;
};

}  // namespace qorvin
