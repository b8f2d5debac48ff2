#include "tools/qorvin/Progress.h"

#include <unistd.h>

#include <cstdio>
#include <thread>

namespace qorvin::cli {

namespace {

void WriteStderr(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(2, text.data() + done, text.size() - done);
    if (n <= 0) return;  // a progress line is not worth failing over
    done += size_t(n);
  }
}

}  // namespace

void ProgressBoard::OnStatus(void* self, int32_t first, int32_t second) {
  auto* board = static_cast<ProgressBoard*>(self);
  if (first == 1 && second == 3) board->stage_ = 1;
  if (first == 0 && second == 0) board->failed_ = true;
}

void ProgressBoard::Run(const std::string& label, const std::function<void()>& call) {
  stage_ = 0;
  failed_ = false;
  if (!draw_) {
    call();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = false;
  }
  std::thread drawer([this, label] { Draw(label); });
  struct Stop {
    ProgressBoard* board;
    std::thread* drawer;
    ~Stop() {
      {
        std::lock_guard<std::mutex> lock(board->mutex_);
        board->done_ = true;
      }
      board->wake_.notify_all();
      drawer->join();
    }
  } stop{this, &drawer};
  call();
}

void ProgressBoard::Draw(const std::string& label) {
  static const char kSpinner[] = {'|', '/', '-', '\\'};
  const auto start = std::chrono::steady_clock::now();
  bool drawn = false;
  std::unique_lock<std::mutex> lock(mutex_);
  for (unsigned tick = 0;; ++tick) {
    const auto wait = drawn ? std::chrono::milliseconds(100) : kProgressDelay;
    if (wake_.wait_for(lock, wait, [this] { return done_; })) break;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char line[256];
    std::snprintf(line, sizeof line, "\r\x1b[K%c %s: %s %.1f s", kSpinner[tick % 4], label.c_str(),
                  stage_ == 0 ? "waiting for the server" : "reading the reply", seconds);
    WriteStderr(line);
    drawn = true;
  }
  if (drawn) WriteStderr("\r\x1b[K");
}

}  // namespace qorvin::cli
