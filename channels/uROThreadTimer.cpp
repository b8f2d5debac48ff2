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
  shared_->interval = intervalMs;
  std::lock_guard<std::mutex> guard(shared_->lock);
  shared_->wake.notify_all();  // the running wait starts again with the new interval
}

void TROThreadTimer::Run(std::shared_ptr<Shared> s) {
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(s->lock);
      const auto interval =
          std::chrono::milliseconds(std::max(s->interval.load(), kMinimumInterval));
      const auto until = std::chrono::steady_clock::now() + interval;
      s->wake.wait_until(guard, until, [&] { return s->ending; });
      if (s->ending) return;
      if (std::chrono::steady_clock::now() < until) continue;  // woken by an interval change
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
