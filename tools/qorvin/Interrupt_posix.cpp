#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "include/qorvin/QorvinProgress.h"
#include "tools/qorvin/Interrupt.h"

namespace qorvin::cli {

struct InterruptWatch::SavedMask {
  sigset_t previous{};
};

namespace {

sigset_t InterruptSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

InterruptWatch::InterruptWatch() {
  const sigset_t set = InterruptSet();
  saved_ = std::make_unique<SavedMask>();
  pthread_sigmask(SIG_BLOCK, &set, &saved_->previous);
  thread_ = std::thread([this] { Watch(); });
}

InterruptWatch::~InterruptWatch() {
  stopping_ = true;
  pthread_kill(thread_.native_handle(), SIGINT);  // wakes sigwait; taken as the stop
  thread_.join();
  // A SIGINT that arrived since stays pending until the mask is restored, and then acts as usual.
  pthread_sigmask(SIG_SETMASK, &saved_->previous, nullptr);
}

void InterruptWatch::SetTarget(IQorvinProgress* progress) {
  std::lock_guard<std::mutex> lock(mutex_);
  target_ = progress;
}

void InterruptWatch::Watch() {
  const sigset_t set = InterruptSet();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    if (stopping_) return;
    Interrupt();
  }
}

void InterruptWatch::Interrupt() {
  const bool again = interrupted_.exchange(true);
  std::lock_guard<std::mutex> lock(mutex_);
  const bool inFlight = target_ != nullptr && target_->Cancel();
  if (!inFlight && idleAction_) {
    idleAction_();  // a line being edited: the terminal is the editor's, never end here
    return;
  }
  if (again) _exit(kExitInterrupted);  // the second Ctrl-C
}

}  // namespace qorvin::cli
