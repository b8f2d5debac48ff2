#include "platform/rtl/BackgroundWriteStream.h"

#include <algorithm>
#include <utility>

#include "platform/rtl/Exceptions.h"

namespace qorvin {

TBackgroundWriteStream::TBackgroundWriteStream(TStream& target, size_t pieceSize, size_t depth)
    : target_(target),
      pieceSize_(std::max<size_t>(pieceSize, 1)),
      depth_(std::max<size_t>(depth, 1)) {
  filling_.reserve(pieceSize_);
  thread_ = std::thread([this] { Run(); });
}

TBackgroundWriteStream::~TBackgroundWriteStream() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    abandoned_ = true;
  }
  ready_.notify_one();
  thread_.join();
}

void TBackgroundWriteStream::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ready_.wait(lock, [this] { return abandoned_ || closing_ || !waiting_.empty(); });
    if (abandoned_ || failure_ || (closing_ && waiting_.empty())) break;
    if (waiting_.empty()) continue;
    std::string piece = std::move(waiting_.front());
    waiting_.pop_front();
    busy_ = true;
    lock.unlock();
    room_.notify_one();
    std::exception_ptr failure;
    try {
      target_.WriteBuffer(piece.data(), int64_t(piece.size()));
    } catch (...) {
      failure = std::current_exception();
    }
    piece.clear();
    lock.lock();
    busy_ = false;
    if (failure) failure_ = failure;
    spare_.push_back(std::move(piece));
    room_.notify_one();
  }
  busy_ = false;
  room_.notify_one();
}

void TBackgroundWriteStream::RethrowFailure() {
  if (failure_) std::rethrow_exception(failure_);
}

void TBackgroundWriteStream::Hand(std::string&& piece) {
  std::unique_lock<std::mutex> lock(mutex_);
  room_.wait(lock, [this] { return failure_ || waiting_.size() < depth_; });
  RethrowFailure();
  waiting_.push_back(std::move(piece));
  if (!spare_.empty()) {
    filling_ = std::move(spare_.back());
    spare_.pop_back();
  }
  lock.unlock();
  ready_.notify_one();
}

int64_t TBackgroundWriteStream::Write(const void* buffer, int64_t count) {
  if (finished_) throw EStreamError("The background stream is already finished");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    RethrowFailure();
  }
  const auto* p = static_cast<const char*>(buffer);
  int64_t left = count;
  while (left > 0) {
    const size_t room = pieceSize_ - filling_.size();
    const size_t n = size_t(std::min<int64_t>(left, int64_t(room)));
    filling_.append(p, n);
    p += n;
    left -= int64_t(n);
    if (filling_.size() == pieceSize_) {
      std::string full = std::move(filling_);
      filling_ = std::string();
      Hand(std::move(full));
      filling_.reserve(pieceSize_);
    }
  }
  total_ += count;
  return count;
}

void TBackgroundWriteStream::Finish() {
  if (finished_) return;
  finished_ = true;
  if (!filling_.empty()) Hand(std::move(filling_));
  std::unique_lock<std::mutex> lock(mutex_);
  closing_ = true;
  ready_.notify_one();
  room_.wait(lock, [this] { return failure_ || (waiting_.empty() && !busy_); });
  RethrowFailure();
}

int64_t TBackgroundWriteStream::Read(void*, int64_t) {
  throw EStreamError("The background stream cannot be read");
}

int64_t TBackgroundWriteStream::Seek(int64_t offset, SeekOrigin origin) {
  const bool query = origin == SeekOrigin::Beginning ? offset == total_ : offset == 0;
  if (!query) throw EStreamError("The background stream can only append");
  return total_;
}

void TBackgroundWriteStream::SetSize(int64_t) {
  throw EStreamError("The background stream can only append");
}

}  // namespace qorvin
