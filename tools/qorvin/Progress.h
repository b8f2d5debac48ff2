// The progress line on standard error while a remote call runs, and the module's status
// callback.
//
// The line appears only when standard error is a terminal and the call has run for a while
// (kProgressDelay); it shows a spinner, what the call is doing and the time so far, and is
// erased when the call returns. What it says is what is known: with the module's progress
// extension, "sending" and the request's bytes, "waiting for the server", then "receiving" with
// the bytes so far, the total when the server announced it and the rate since the first byte;
// "reading the reply" once the library reports that the reply arrived (status 1, 3) and converts
// it. Without the extension only the waiting and the reading are told apart.
//
// The status callback runs on the calling thread (inside the module's method); the drawing runs
// on a thread of its own that only writes to file descriptor 2.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

class IQorvinProgress;
struct QorvinTransferProgress;

namespace qorvin::cli {

inline constexpr std::chrono::milliseconds kProgressDelay{400};

class ProgressBoard {
 public:
  // `draw`: whether a progress line may be drawn (standard error is a terminal).
  explicit ProgressBoard(bool draw) : draw_(draw) {}
  ProgressBoard(const ProgressBoard&) = delete;
  ProgressBoard& operator=(const ProgressBoard&) = delete;

  // Where the byte counts come from (null: none); set before the first Run.
  void SetProgress(IQorvinProgress* progress) { progress_ = progress; }

  // The module's status callback; `self` is a ProgressBoard.
  static void OnStatus(void* self, int32_t first, int32_t second);

  // Runs `call` (one remote call) with the progress line; `label` names it on the line.
  void Run(const std::string& label, const std::function<void()>& call);

  // Ends the progress line of the Run in progress (erased, not drawn again): its output begins
  // while it runs (a read in pieces). Any thread.
  void EndLine();

  // Whether the module reported a failure (status 0, 0) during the last Run.
  bool LastCallFailed() const { return failed_; }

  // For a last Run that failed: whether it reached no server, nothing of its request having
  // gone out and nothing having come back (the name did not resolve, the connection was refused or
  // timed out), and it was not cancelled. False without the byte counts (SetProgress), as nothing
  // is known.
  bool LastCallReachedNoServer() const;

 private:
  void Draw(const std::string& label);

  const bool draw_;
  IQorvinProgress* progress_ = nullptr;
  std::atomic<int> stage_{0};  // 0 waiting for the server, 1 reading the reply
  std::atomic<bool> failed_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
};

// What the line says about a call: `stage` as in ProgressBoard, `p` the counts (null: none),
// `rate` bytes per second received (below 0: not known yet).
std::string ProgressWhat(int stage, const QorvinTransferProgress* p, double rate);
// "512 B", "12.3 KiB", "87.0 MiB", "1.2 GiB".
std::string ByteText(int64_t bytes);

}  // namespace qorvin::cli
