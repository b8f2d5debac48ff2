#include "datastream/uRecordSetBudget.h"

#include "platform/zlib/ZStream.h"

namespace qorvin {

namespace {

thread_local int64_t t_budget = 0;  // 0: the default
thread_local TMemoryClaim* t_claim = nullptr;

}  // namespace

bool TSharedMemoryBudget::TryAdd(int64_t bytes) {
  int64_t used = used_.load();
  do {
    if (bytes > 0 && used + bytes > limit_.load()) return false;
  } while (!used_.compare_exchange_weak(used, used + bytes));
  return true;
}

bool TMemoryClaim::Resize(int64_t bytes) {
  if (!shared_.TryAdd(bytes - bytes_)) return false;
  bytes_ = bytes;
  return true;
}

int64_t RecordSetMemoryBudget() {
  if (t_budget > 0) return t_budget;
  const int64_t inflate = InflateBudget();
  return inflate > INT64_MAX / 4 ? INT64_MAX : inflate * 4;
}

TMemoryClaim* RecordSetMemoryClaim() {
  return t_claim;
}

TRecordSetBudgetScope::TRecordSetBudgetScope(int64_t budget, TMemoryClaim* claim)
    : previousBudget_(t_budget), previousClaim_(t_claim) {
  t_budget = budget > 0 ? budget : 0;
  t_claim = claim;
}

TRecordSetBudgetScope::~TRecordSetBudgetScope() {
  t_budget = previousBudget_;
  t_claim = previousClaim_;
}

}  // namespace qorvin
