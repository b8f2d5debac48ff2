#include "channels/uROMainThread.h"

#include <condition_variable>
#include <mutex>

namespace qorvin {

namespace {

std::mutex& PosterLock() {
  static std::mutex lock;
  return lock;
}

TROMainThreadPoster& PosterSlot() {
  static TROMainThreadPoster poster;
  return poster;
}

}  // namespace

struct TROMainThreadCall::State {
  // Held while the job runs, so Cancel waits for a job running on another thread (recursive: a
  // job may cancel its own call).
  std::recursive_mutex lock;
  std::mutex flags;
  std::condition_variable changed;
  bool done = false;
  bool cancelled = false;
  std::function<void()> job;

  void Run() {
    std::lock_guard<std::recursive_mutex> running(lock);
    {
      std::lock_guard<std::mutex> f(flags);
      if (cancelled) return;
    }
    try {
      job();
    } catch (...) {
      // A job queued to another thread has nobody to report to; the caller's job handles its
      // own failures.
    }
    std::lock_guard<std::mutex> f(flags);
    done = true;
    changed.notify_all();
  }
};

void SetMainThreadPoster(TROMainThreadPoster poster) {
  std::lock_guard<std::mutex> guard(PosterLock());
  PosterSlot() = std::move(poster);
}

bool HasMainThreadPoster() {
  std::lock_guard<std::mutex> guard(PosterLock());
  return bool(PosterSlot());
}

std::shared_ptr<TROMainThreadCall> TROMainThreadCall::Make(std::function<void()> job) {
  auto call = std::make_shared<TROMainThreadCall>();
  call->state_ = std::make_shared<State>();
  call->state_->job = std::move(job);
  return call;
}

void TROMainThreadCall::Start() {
  TROMainThreadPoster poster;
  {
    std::lock_guard<std::mutex> guard(PosterLock());
    poster = PosterSlot();
  }
  std::shared_ptr<State> state = state_;
  if (poster)
    poster([state] { state->Run(); });
  else
    state->Run();
}

std::shared_ptr<TROMainThreadCall> TROMainThreadCall::Post(std::function<void()> job) {
  auto call = Make(std::move(job));
  call->Start();
  return call;
}

bool TROMainThreadCall::Wait() {
  std::unique_lock<std::mutex> f(state_->flags);
  state_->changed.wait(f, [&] { return state_->done || state_->cancelled; });
  return state_->done;
}

void TROMainThreadCall::Cancel() {
  {
    std::lock_guard<std::mutex> f(state_->flags);
    state_->cancelled = true;
    state_->changed.notify_all();
  }
  // Wait for a job that is running right now.
  std::lock_guard<std::recursive_mutex> running(state_->lock);
}

}  // namespace qorvin
