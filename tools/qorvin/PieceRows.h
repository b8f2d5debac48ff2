// The rows of a read that come in pieces while it runs (the library's piece reads), for output
// written as the rows come.
//
// The read runs on a thread of its own: the library decodes the next piece there while the rows
// of the last one are written, and at most kPiecesAhead decoded pieces wait to be written, so
// the memory of a read of any size is its compressed reply and a few pieces. The rows can be read
// once; Rewind before the first row does nothing.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "include/qorvin/QorvinPieces.h"
#include "tools/qorvin/HostTypes.h"
#include "tools/qorvin/Table.h"

namespace qorvin::cli {

// How the read's call ended, as the thread that ran it saw it.
struct PieceCallEnd {
  int32_t result = 0;
  bool failed = false;
  std::string error;
  bool unreached = false;
};

class PieceRead {
 public:
  static constexpr size_t kPiecesAhead = 2;

  // Runs `call(callback, end)` on a thread of its own: it makes the read with `callback` and
  // fills `end` as the read's call ends. Returns once the first piece came or the call ended
  // without one.
  using Call = std::function<void(QorvinPieceCallback callback, PieceCallEnd& end)>;
  explicit PieceRead(Call call);
  // Asks for no more pieces (the call fails as stopped by the host, which nobody reads any more)
  // and waits for the call to end.
  ~PieceRead();
  PieceRead(const PieceRead&) = delete;
  PieceRead& operator=(const PieceRead&) = delete;

  // Whether a piece came: the result has a record set. Without one the call is over and End()
  // tells how it ended.
  bool HasRows() const { return hasRows_; }
  // The read's result value, as the first piece brought it (0 without one).
  int32_t Result() const { return result_; }
  // How the call ended: once HasRows() is false, or once the rows were read to their end.
  const PieceCallEnd& End() const { return end_; }

  // The rows of `read` (which has rows), to be read once. After the last row Next returns false
  // when the call succeeded, and raises RunError with the call's error text when it failed.
  static std::shared_ptr<RowSource> Rows(std::shared_ptr<PieceRead> read);

 private:
  class Source;
  static bool OnPiece(void* self, int32_t result, QorvinAdoDataSet* piece);
  // The next piece, waiting for it; null once the call is over and no piece is left.
  RecordSetPtr TakePiece();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<RecordSetPtr> pieces_;  // decoded, not yet taken
  bool over_ = false;                // the call ended (end_ is set)
  bool abandoned_ = false;           // no more pieces wanted
  bool hasRows_ = false;
  int32_t result_ = 0;
  PieceCallEnd end_;
  std::thread thread_;  // last: it starts once the rest is in place
};

}  // namespace qorvin::cli
