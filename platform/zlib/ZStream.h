// zlib (RFC 1950) compression streams. Only platform/zlib includes zlib.h.
//
// Data moves through fixed 32 768-byte input and output pieces, never as a whole second copy.
// Failures raise EZCompressionError carrying zlib's own message for the error code ("data error",
// "buffer error", ...).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/rtl/Stream.h"

namespace qorvin {

inline constexpr int64_t kZPieceSize = 32768;

// The compression levels the callers name.
enum class ZLevel { None = 0, Fastest = 1, Default = 2, Max = 3 };
// zlib level for an index of the wrapper's level table: 0 none (0), 1 fastest (1), 2 default (-1),
// 3 best (9), 4..12 zlib levels 1..9. EZCompressionError for other indexes.
int ZLibLevelFromIndex(int index);
inline int ZLibLevel(ZLevel level) {
  return ZLibLevelFromIndex(int(level));
}

// Deflates `count` bytes of `source` from its position (count < 0: to its end) into `target`
// at its position, with zlib level `zlibLevel` (-1 = zlib's default). Returns the bytes written.
// A source in memory of kZWholeDeflateMin bytes or more is deflated in one step with libdeflate
// where there is one (about twice zlib's speed at the same level and size); anything else goes
// through zlib's stream in pieces. Either way the result is a valid zlib stream of the input: its
// compressed bytes are not zlib's own.
inline constexpr int64_t kZWholeDeflateMin = 4096;
int64_t ZCompress(TStream& source, int64_t count, TStream& target, int zlibLevel);

// The inflation budget: the most bytes one inflation of data from a peer may produce (a message
// body, a record-set image, a typed value stream). zlib expands up to about 1000:1, so a reply
// of 1 MB could otherwise claim a gigabyte. The default is 256 MiB; a host raises or lowers it
// for its module (which sets it around each call with TInflateBudgetScope).
inline constexpr int64_t kDefaultInflateBudget = int64_t(256) << 20;

// The budget in force on the calling thread: the innermost TInflateBudgetScope's, else the
// default.
int64_t InflateBudget();

// The budget of one record-set image that arrived as `compressedBytes` of zlib data. A budget a
// scope sets holds exactly. Under the default, an image may also inflate to
// kImageInflateRatio times the bytes that came, up to a quarter of the machine's physical
// memory: a large read that really came over the network loads (a record-set image inflates a
// few times over, rows of NULLs far more), while a small reply still cannot claim more than the
// default, nor a large one the machine's memory.
inline constexpr int64_t kImageInflateRatio = 64;
int64_t ImageInflateBudget(int64_t compressedBytes);

// Sets the calling thread's inflation budget for one scope (restoring the previous one after).
// `budget` <= 0 means the default.
class TInflateBudgetScope {
 public:
  explicit TInflateBudgetScope(int64_t budget);
  ~TInflateBudgetScope();
  TInflateBudgetScope(const TInflateBudgetScope&) = delete;
  TInflateBudgetScope& operator=(const TInflateBudgetScope&) = delete;

 private:
  int64_t previous_;
};

// Inflates one zlib stream read from `source`'s position into `target`. Stops at the end of the
// zlib stream (bytes after it are left unread) and fails when the source ends first. When
// `maxOutput` >= 0, more inflated bytes than that fail with EZCompressionError (a guard against
// small inputs that inflate to gigabytes) before they are written: "inflated data exceeds its
// limit", or, with `asBudget`, "Inflated data exceeds the budget of N MiB (...); raise the
// inflation budget ...". Returns the bytes written to `target`.
int64_t ZDecompress(TStream& source, TStream& target, int64_t maxOutput = -1,
                    bool asBudget = false);
// ZDecompress bounded by an inflation budget (InflateBudget() unless given).
int64_t ZInflateWithinBudget(TStream& source, TStream& target, int64_t budget = InflateBudget());

// Inflates one zlib stream read from `source` piece by piece, as a reader asks for bytes, so that
// the whole inflated data never needs to be held at once. The same limits and failures as
// ZDecompress: more than `maxOutput` inflated bytes (when >= 0) fail before any of them is handed
// out, a source that ends inside the zlib stream fails, and at the end of the zlib stream the
// bytes read past it are given back to `source`. `source` is borrowed and must outlive it.
class TZInflater {
 public:
  TZInflater(TStream& source, int64_t maxOutput, bool asBudget);
  ~TZInflater();
  TZInflater(const TZInflater&) = delete;
  TZInflater& operator=(const TZInflater&) = delete;

  // Up to `room` (> 0) inflated bytes into `into`; 0 only at the end of the zlib stream.
  size_t Read(void* into, size_t room);
  int64_t Produced() const { return produced_; }
  bool Ended() const { return ended_; }

 private:
  // A small stream held in memory (TStream::InMemory) is inflated in one step when it can be
  // (FastZlib.h), then handed out from there; the source is then past it, as at the end of
  // zlib's stream. Anything that does not inflate so takes zlib's stream, which reports it.
  void TryWhole();

  struct State;
  std::unique_ptr<State> state_;
  TStream& source_;
  int64_t maxOutput_;
  bool asBudget_;
  int64_t produced_ = 0;
  bool ended_ = false;
};

// A write-only stream that deflates what is written into `target` (borrowed; must outlive it).
// `Finish()` ends the zlib stream; the destructor finishes it if still open (errors then are
// swallowed, so call Finish() to see them).
class TZCompressionStream : public TStream {
 public:
  TZCompressionStream(TStream& target, int zlibLevel);
  ~TZCompressionStream() override;

  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Read(void*, int64_t) override;                     // EZCompressionError: write-only
  int64_t Seek(int64_t offset, SeekOrigin origin) override;  // only position queries
  int64_t Size() const override { return total_in_; }
  void SetSize(int64_t) override;
  void Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
  TStream& target_;
  int64_t total_in_ = 0;
  bool finished_ = false;
};

}  // namespace qorvin
