// ModuleProgress: the IQorvinProgress extension of a module (include/qorvin/QorvinProgress.h).
//
// The module brackets each remote call with BeginCall / EndCall; in between, Cancel triggers the
// channel's cancel latch, which ends the call's waits on the network. Outside that bracket Cancel
// does nothing, and BeginCall resets the latch, so a cancel can never reach a call it was not
// meant for. The byte counts are the channel's own (it counts message bytes as they move); this
// object only passes them on.
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

  // IQorvinProgress
  void GetProgress(QorvinTransferProgress* progress) override;
  bool Cancel() override;

 private:
  TROTransportChannel& channel_;
  std::mutex lock_;  // orders Cancel against BeginCall / EndCall
  std::atomic<bool> inFlight_{false};
  std::atomic<bool> cancelled_{false};
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
