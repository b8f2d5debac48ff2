// Ctrl-C and Ctrl-Break on the Windows console: a console control handler, which Windows runs on
// a thread of its own, cancels the call in flight; the second one ends the program at once.
#include <windows.h>

#include <cstdlib>

#include "include/qorvin/QorvinProgress.h"
#include "tools/qorvin/Interrupt.h"

namespace qorvin::cli {

struct InterruptWatch::SavedMask {};  // nothing to restore on Windows

namespace {

// The watch the handler serves (one at a time, for the life of RunAll).
std::atomic<InterruptWatch*> current{nullptr};

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;  // close, log-off: default
  InterruptWatch* watch = current.load();
  if (watch == nullptr) return FALSE;
  watch->Interrupt();
  return TRUE;
}

}  // namespace

InterruptWatch::InterruptWatch() {
  current = this;
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

InterruptWatch::~InterruptWatch() {
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  current = nullptr;
}

void InterruptWatch::SetTarget(IQorvinProgress* progress) {
  std::lock_guard<std::mutex> lock(mutex_);
  target_ = progress;
}

void InterruptWatch::Interrupt() {
  const bool again = interrupted_.exchange(true);
  std::lock_guard<std::mutex> lock(mutex_);
  const bool inFlight = target_ != nullptr && target_->Cancel();
  if (!inFlight && idleAction_) {
    idleAction_();  // a line being edited: the terminal is the editor's, never end here
    return;
  }
  if (again) std::_Exit(kExitInterrupted);  // the second Ctrl-C
}

}  // namespace qorvin::cli
