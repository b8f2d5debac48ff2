#include "channels/uROThreadTimer.h"

#include <algorithm>
#include <chrono>

namespace qorvin {

TROThreadTimer::TROThreadTimer(std::function<void()> callback, uint32_t intervalMs,
                               bool synchronized)
    : shared_(std::make_shared<Shared>()) {
  shared_->callback = std::move(callback);
  shared_->interval = intervalMs;
  shared_->synchronized = synchronized;
  thread_ = std::thread(Run, shared_);
}

TROThreadTimer::~TROThreadTimer() {
  Stop();
}

void TROThreadTimer::SetInterval(uint32_t intervalMs) {
  std::lock_guard<std::mutex> guard(shared_->lock);
  shared_->interval = intervalMs;
  ++shared_->generation;
  shared_->wake.notify_all();  // the running wait is measured again with the new interval
}

void TROThreadTimer::Run(std::shared_ptr<Shared> s) {
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(s->lock);
      // The wait runs from the end of the previous callback; an interval change while waiting
      // applies at once to that same start (so a shorter interval that is already over fires).
      const auto started = std::chrono::steady_clock::now();
      for (;;) {
        const uint64_t generation = s->generation;
        const auto until =
            started + std::chrono::milliseconds(std::max(s->interval.load(), kMinimumInterval));
        s->wake.wait_until(guard, until, [&] { return s->ending || s->generation != generation; });
        if (s->ending) return;
        if (s->generation == generation && std::chrono::steady_clock::now() >= until) break;
      }
    }
    auto tick = [s] {
      ++s->ticks;
      try {
        s->callback();
      } catch (...) {
        // Nobody to report to; the next interval runs as usual.
      }
    };
    if (s->synchronized && HasMainThreadPoster()) {
      std::shared_ptr<TROMainThreadCall> call;
      {
        std::lock_guard<std::mutex> guard(s->lock);
        if (s->ending) return;
        call = TROMainThreadCall::Make(tick);
        s->pending = call;
      }
      call->Start();
      call->Wait();
      std::lock_guard<std::mutex> guard(s->lock);
      s->pending.reset();
    } else {
      tick();
    }
  }
}

void TROThreadTimer::Stop() {
  std::shared_ptr<TROMainThreadCall> pending;
  {
    std::lock_guard<std::mutex> guard(shared_->lock);
    shared_->ending = true;
    pending = shared_->pending;
    shared_->wake.notify_all();
  }
  if (pending) pending->Cancel();
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // called from the callback on the timer thread: it ends when that returns
    return;
  }
  thread_.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace qorvin
