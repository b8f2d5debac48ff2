#include "platform/rtl/ReadAhead.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <utility>

namespace qorvin {

TReadAhead::TReadAhead(Producer produce, size_t pieceSize, size_t depth)
    : produce_(std::move(produce)),
      pieceSize_(std::max<size_t>(pieceSize, 1)),
      depth_(std::max<size_t>(depth, 1)) {
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    // No thread to be had: Read calls the producer itself.
  }
}

TReadAhead::~TReadAhead() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  room_.notify_one();
  thread_.join();
}

void TReadAhead::Run() {
  for (;;) {
    Piece piece;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      room_.wait(lock, [this] { return stopping_ || waiting_.size() < depth_; });
      if (stopping_) return;
      if (!spare_.empty()) {
        piece = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    if (piece.bytes.size() < pieceSize_) piece.bytes.resize(pieceSize_);
    piece.size = 0;
    bool end = false;
    std::exception_ptr failure;
    try {
      while (piece.size < pieceSize_) {
        const size_t n = produce_(piece.bytes.data() + piece.size, pieceSize_ - piece.size);
        if (n == 0) {
          end = true;
          break;
        }
        piece.size += n;
      }
    } catch (...) {
      failure = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (piece.size > 0) waiting_.push_back(std::move(piece));
      if (failure) failure_ = failure;
      if (end || failure) done_ = true;
    }
    ready_.notify_one();
    if (end || failure) return;
  }
}

bool TReadAhead::NextPiece() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (current_.size > 0) {
    current_.size = 0;
    spare_.push_back(std::move(current_));
    current_ = Piece{};
    at_ = 0;
  }
  ready_.wait(lock, [this] { return !waiting_.empty() || done_; });
  if (waiting_.empty()) {
    if (failure_) std::rethrow_exception(failure_);
    return false;
  }
  current_ = std::move(waiting_.front());
  waiting_.pop_front();
  at_ = 0;
  lock.unlock();
  room_.notify_one();
  return true;
}

size_t TReadAhead::Read(uint8_t* into, size_t room) {
  if (!thread_.joinable()) return produce_(into, room);
  if (room == 0) return 0;
  while (at_ == current_.size) {
    if (ended_) return 0;
    if (!NextPiece()) {
      ended_ = true;
      return 0;
    }
  }
  const size_t n = std::min(room, current_.size - at_);
  std::memcpy(into, current_.bytes.data() + at_, n);
  at_ += n;
  return n;
}

}  // namespace qorvin
