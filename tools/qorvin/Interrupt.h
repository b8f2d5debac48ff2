// Ctrl-C (SIGINT) for the command-line host: the first one cancels the remote call in flight
// through the module's progress extension and makes the program stop at its next step; a second
// one ends the program at once.
//
// On Windows, Ctrl-C and Ctrl-Break reach a console control handler instead, which does the same.
//
// SIGINT is blocked in every thread (the watch must be made before any other thread starts, so
// that the library's threads inherit the mask) and taken by a thread of the watch's own with
// sigwait, so nothing runs in a signal handler: the cancel is an ordinary call from that thread.
// The program checks Interrupted() between its steps and never starts a write to standard output
// after it became true; a result is written whole or not at all.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class IQorvinProgress;

namespace qorvin::cli {

// The exit status of a program ended by SIGINT (128 + 2, as shells report it).
inline constexpr int kExitInterrupted = 130;

class InterruptWatch {
 public:
  InterruptWatch();
  // Stops the watching thread and restores the signal mask.
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // The calls to cancel on the first SIGINT (null: none).
  void SetTarget(IQorvinProgress* progress);
  // What a Ctrl-C does when no call was in flight to cancel (the interactive shell: end the line
  // being edited); such a Ctrl-C never ends the program, a second one neither. Runs on the
  // watch's thread. Set before the first Ctrl-C may come.
  void SetIdleAction(std::function<void()> action) { idleAction_ = std::move(action); }
  bool Interrupted() const { return interrupted_; }
  // Forgets a Ctrl-C that came: the next one is a first one again (the interactive shell, after
  // a statement).
  void Reset() { interrupted_ = false; }
  // One Ctrl-C: the first cancels the target's call, the second ends the program at once. Called
  // by the platform's watch (Interrupt_posix.cpp: a sigwait thread; Interrupt_win.cpp: a console
  // control handler).
  void Interrupt();

 private:
  void Watch();

  struct SavedMask;  // the platform's state to restore (the signal mask)
  std::unique_ptr<SavedMask> saved_;
  std::mutex mutex_;
  IQorvinProgress* target_ = nullptr;  // guarded by mutex_
  std::function<void()> idleAction_;
  std::atomic<bool> interrupted_{false};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace qorvin::cli
