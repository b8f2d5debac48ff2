// Reads from a producer on a thread of its own, ahead of the reader, so that the producer (an
// inflater, say) works while the reader consumes what it made. The reader sees exactly the bytes
// the producer gives, in order, and the producer's failure at the place it happened: after every
// byte produced before it.
//
// Memory: at most `depth` full pieces wait for the reader, besides the one the producer fills
// and the one the reader takes from, so about (depth + 2) x pieceSize.
//
// The producer runs on the other thread only between construction and destruction; destroying
// the reader stops it after the piece in hand and joins the thread, so whatever the producer
// reads from may be used again afterwards. When no thread can be started, the producer runs on
// the reader's thread, as it would without this class. One reader thread only.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qorvin {

class TReadAhead {
 public:
  // Up to `room` (> 0) bytes into `into`; 0 only when no more will come.
  using Producer = std::function<size_t(uint8_t* into, size_t room)>;

  explicit TReadAhead(Producer produce, size_t pieceSize = size_t(1) << 20, size_t depth = 3);
  ~TReadAhead();
  TReadAhead(const TReadAhead&) = delete;
  TReadAhead& operator=(const TReadAhead&) = delete;

  // Up to `room` bytes into `into`; 0 only at the end. Rethrows the producer's failure once every
  // byte produced before it has been read, and again on every later call.
  size_t Read(uint8_t* into, size_t room);

  // Whether the producer runs on a thread of its own.
  bool Background() const { return thread_.joinable(); }

 private:
  struct Piece {
    std::vector<uint8_t> bytes;
    size_t size = 0;
  };

  void Run();
  bool NextPiece();  // the reader's: waits for a piece; false at the end

  Producer produce_;
  const size_t pieceSize_;
  const size_t depth_;

  // The reader's own.
  Piece current_;
  size_t at_ = 0;
  bool ended_ = false;

  std::mutex mutex_;
  // One waiter each: the reader waits for pieces, the producer for room.
  std::condition_variable ready_;
  std::condition_variable room_;
  std::deque<Piece> waiting_;
  std::vector<Piece> spare_;  // read pieces, kept for reuse
  bool done_ = false;         // the producer has given its last byte (or failed)
  bool stopping_ = false;     // the reader is gone
  std::exception_ptr failure_;
  std::thread thread_;
};

}  // namespace qorvin
