// ModuleProgress: the IQorvinProgress extension of a module (include/qorvin/QorvinProgress.h).
//
// The module brackets each remote call with BeginCall / EndCall; in between, Cancel triggers the
// channel's cancel latch, which ends the call's waits on the network. Outside that bracket Cancel
// does nothing, and BeginCall resets the latch, so a cancel can never reach a call it was not
// meant for. A call nested inside another (from a callback) joins the outer bracket: it runs
// after the outer call's answer arrived, so Cancel no longer reaches it either. Once the
// call's answer has arrived (AnswerArrived), a cancel that came before ends the call there and
// then, and a later one no longer reaches it: the call is reported cancelled exactly when it
// failed as cancelled. The byte counts are the channel's own (it counts message bytes as they
// move); this object only passes them on.
//
// Threads: BeginCall / EndCall on the calling thread; GetProgress and Cancel from any thread.
// One lock orders Cancel against the bracket.
#pragma once

#include <atomic>
#include <mutex>

#include "include/qorvin/QorvinProgress.h"

namespace qorvin {

class TROTransportChannel;

class ModuleProgress final : public IQorvinProgress {
 public:
  explicit ModuleProgress(TROTransportChannel& channel) : channel_(channel) {}
  ModuleProgress(const ModuleProgress&) = delete;
  ModuleProgress& operator=(const ModuleProgress&) = delete;
  ~ModuleProgress() = default;

  // A call starts: counts back to zero, the latch cleared.
  void BeginCall();
  // The call ended (however): the latch cleared; the counts stay for the host to read.
  void EndCall();
  // The whole answer is in: EIdCancelled "The call was cancelled." when a cancel reached the
  // call; from now on Cancel leaves the call alone (it finishes decoding and succeeds).
  void AnswerArrived();

  // IQorvinProgress
  void GetProgress(QorvinTransferProgress* progress) override;
  bool Cancel() override;
  void SetTimeouts(int32_t connectMs, int32_t readMs) override;

 private:
  TROTransportChannel& channel_;
  std::mutex lock_;  // orders Cancel against BeginCall / EndCall
  std::atomic<bool> inFlight_{false};
  std::atomic<bool> cancelled_{false};
  bool answered_ = false;  // guarded by lock_
  // Bounds a host asked for, applied to the channel when the next call begins (0: none asked).
  std::atomic<int32_t> connectMs_{0};
  std::atomic<int32_t> readMs_{0};
  int depth_ = 0;  // open brackets; the calling thread only
};

// Brackets one call (BeginCall now, EndCall on every way out).
class ModuleCallScope {
 public:
  explicit ModuleCallScope(ModuleProgress& progress) : progress_(progress) {
    progress_.BeginCall();
  }
  ~ModuleCallScope() { progress_.EndCall(); }
  ModuleCallScope(const ModuleCallScope&) = delete;
  ModuleCallScope& operator=(const ModuleCallScope&) = delete;

 private:
  ModuleProgress& progress_;
};

}  // namespace qorvin
