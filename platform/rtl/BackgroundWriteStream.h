// A write-only stream that passes what is written to another stream on a thread of its own, so
// that the writer goes on producing while the target consumes (a compressor, say). The target
// receives exactly the bytes written, in order, in pieces of up to `pieceSize` bytes.
//
// Memory: at most `depth` full pieces wait for the thread, besides the one being filled and the
// one being written, so about (depth + 2) x pieceSize.
//
// Failures: the first exception of the target's writes is rethrown by the next Write or by
// Finish, and nothing more reaches the target. Destroying the stream without Finish abandons
// the pieces still waiting and joins the thread. One writer thread only.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/rtl/Stream.h"

namespace qorvin {

class TBackgroundWriteStream : public TStream {
 public:
  explicit TBackgroundWriteStream(TStream& target, size_t pieceSize = size_t(1) << 20,
                                  size_t depth = 2);
  ~TBackgroundWriteStream() override;

  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Read(void*, int64_t) override;                     // EStreamError: write-only
  int64_t Seek(int64_t offset, SeekOrigin origin) override;  // only position queries
  int64_t Size() const override { return total_; }
  void SetSize(int64_t) override;  // EStreamError

  // Hands over the last piece and waits until the target has every byte. Rethrows the target's
  // failure, if any. Later writes fail.
  void Finish();

 private:
  void Run();
  void Hand(std::string&& piece);  // waits for room in the queue
  void RethrowFailure();           // with the lock held

  TStream& target_;
  const size_t pieceSize_;
  const size_t depth_;
  std::string filling_;
  int64_t total_ = 0;
  bool finished_ = false;

  std::mutex mutex_;
  // One waiter each: the thread waits for pieces, the writer for room (and for the end).
  std::condition_variable ready_;
  std::condition_variable room_;
  std::deque<std::string> waiting_;
  std::vector<std::string> spare_;  // written pieces, kept for reuse
  bool closing_ = false;            // no more pieces will come
  bool abandoned_ = false;          // drop what waits
  bool busy_ = false;               // the thread is writing a piece
  std::exception_ptr failure_;
  std::thread thread_;
};

}  // namespace qorvin
