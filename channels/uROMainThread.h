// Running work "on the main thread" without owning a main loop.
//
// A library has no event loop of its own. A host that has one (a Qt host posts to its event
// loop with QMetaObject::invokeMethod or a queued signal) installs a poster: a function that
// queues a job to run later on the host's main thread and returns at once. Without a poster,
// jobs run directly on the thread that asks for them; this is the documented behaviour for hosts
// without an event loop (a command-line host, tests).
//
// `RunOnMainThread` waits until the job has run, unless `cancelled` turns true first (checked
// whenever the waiting thread is woken through the returned ticket), in which case the queued job
// is dropped when its turn comes. This lets a thread that waits for the main thread be stopped by
// the main thread itself without a deadlock.
//
// Thread: the poster may be installed or removed at any time from any thread.
#pragma once

#include <functional>
#include <memory>

namespace qorvin {

using TROMainThreadPoster = std::function<void(std::function<void()> job)>;

// Installs `poster` for the whole process (an empty function removes it).
void SetMainThreadPoster(TROMainThreadPoster poster);
bool HasMainThreadPoster();

// A job handed to the main thread and the means to wait for it or to give it up.
class TROMainThreadCall {
 public:
  // A call that has not been handed over yet (see Start).
  static std::shared_ptr<TROMainThreadCall> Make(std::function<void()> job);
  // Queues the job through the poster, or runs it at once when there is none. A call cancelled
  // before it starts never runs.
  void Start();
  // Make + Start.
  static std::shared_ptr<TROMainThreadCall> Post(std::function<void()> job);
  // Waits until the job has run or `Cancel` was called. Returns true when it ran.
  bool Wait();
  // Gives the job up: if it has not started, it will not run; waiters return. When it is running
  // on another thread, Cancel waits for it to finish; from inside the job it returns at once.
  void Cancel();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace qorvin
