#include "tools/qorvin/Progress.h"

#include <cstdio>
#include <thread>

#include "include/qorvin/QorvinProgress.h"
#include "tools/qorvin/Terminal.h"

namespace qorvin::cli {

std::string ByteText(int64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = double(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string ProgressWhat(int stage, const QorvinTransferProgress* p, double rate) {
  if (stage != 0) {
    if (p == nullptr || p->bytesReceived <= 0) return "reading the reply";
    return "reading the reply (" + ByteText(p->bytesReceived) + " received)";
  }
  if (p == nullptr) return "waiting for the server";
  if (p->bytesReceived > 0) {
    std::string text = "receiving " + ByteText(p->bytesReceived);
    if (p->receiveTotal > 0) text += " of " + ByteText(p->receiveTotal);
    if (rate >= 0) text += ", " + ByteText(int64_t(rate)) + "/s";
    return text;
  }
  if (p->sendTotal > 0 && p->bytesSent < p->sendTotal)
    return "sending " + ByteText(p->bytesSent) + " of " + ByteText(p->sendTotal);
  return "waiting for the server";
}

void ProgressBoard::OnStatus(void* self, int32_t first, int32_t second) {
  auto* board = static_cast<ProgressBoard*>(self);
  if (first == 1 && second == 3) board->stage_ = 1;
  if (first == 0 && second == 0) board->failed_ = true;
}

bool ProgressBoard::LastCallReachedNoServer() const {
  if (progress_ == nullptr) return false;
  QorvinTransferProgress counts{};
  progress_->GetProgress(&counts);
  return counts.cancelled == 0 && counts.bytesSent == 0 && counts.bytesReceived == 0;
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

void ProgressBoard::EndLine() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  wake_.notify_all();
}

void ProgressBoard::Draw(const std::string& label) {
  static const char kSpinner[] = {'|', '/', '-', '\\'};
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  // The rate counts from the first time bytes were seen arriving.
  Clock::time_point firstSeen{};
  int64_t firstBytes = -1;
  bool drawn = false;
  std::unique_lock<std::mutex> lock(mutex_);
  for (unsigned tick = 0;; ++tick) {
    const auto wait = drawn ? std::chrono::milliseconds(100) : kProgressDelay;
    if (wake_.wait_for(lock, wait, [this] { return done_; })) break;
    const auto now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - start).count();
    QorvinTransferProgress counts{};
    double rate = -1;
    if (progress_) {
      progress_->GetProgress(&counts);
      if (firstBytes < 0 && counts.bytesReceived > 0) {
        firstBytes = counts.bytesReceived;
        firstSeen = now;
      }
      const double since = std::chrono::duration<double>(now - firstSeen).count();
      if (firstBytes >= 0 && since > 0.2) rate = double(counts.bytesReceived - firstBytes) / since;
    }
    const std::string what = ProgressWhat(stage_, progress_ ? &counts : nullptr, rate);
    char line[256];
    std::snprintf(line, sizeof line, "\r\x1b[K%c %s: %s %.1f s", kSpinner[tick % 4], label.c_str(),
                  what.c_str(), seconds);
    WriteToStderr(line);
    drawn = true;
  }
  if (drawn) WriteToStderr("\r\x1b[K");
}

}  // namespace qorvin::cli
