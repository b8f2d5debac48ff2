#include "platform/zlib/ParallelDeflate.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/OsServices.h"
#include "platform/zlib/DeflateBlocks.h"
#include "platform/zlib/DeflateParse.h"
#include "platform/zlib/FastZlib.h"
#include "platform/zlib/ZlibWrapper.h"

namespace qorvin {

namespace {

using deflate::kReadAhead;
using deflate::kWindowSize;
using deflate::TBlockWriter;
using deflate::TLazyParser;
using deflate::TMatch;
using deflate::TParseState;

constexpr size_t kWorthItFrom = size_t(1) << 20;
constexpr size_t kOutputPiece = size_t(1) << 20;

// One segment of the input, [start, end), and its own parse from a clean state at `start`.
struct TSegment {
  uint32_t start = 0;
  uint32_t end = 0;
  uint32_t origin = 0;  // the position of view[0]
  const uint8_t* view = nullptr;
  std::vector<uint8_t> copy;  // the view, where it runs past the end of the input
  std::vector<TMatch> matches;
  TParseState endState;  // at the first step at or past `end`
  uLong adler = 1;       // of the segment's bytes

  // Whether the segment's parse took a clean step at `at`; `index` is then the number of its
  // matches before that step.
  bool CleanAt(uint32_t at, size_t& index) const {
    if (at == start) {
      index = 0;
      return true;
    }
    const auto it =
        std::lower_bound(matches.begin(), matches.end(), at,
                         [](const TMatch& m, uint32_t p) { return m.position + m.length < p; });
    if (it == matches.end() || it->position + it->length != at) return false;
    index = size_t(it - matches.begin()) + 1;
    return true;
  }
};

// The view of [start - 32 KiB, end + kReadAhead). Past the end of the input it holds what zlib's
// window holds there once it has slid: the bytes of 32 KiB before.
void MakeView(TSegment& s, std::span<const uint8_t> data) {
  const size_t total = data.size();
  s.origin = s.start >= kWindowSize ? s.start - kWindowSize : 0;
  const size_t need = size_t(s.end) + kReadAhead + 8;
  if (need <= total) {
    s.view = data.data() + s.origin;
    return;
  }
  s.copy.resize(need - s.origin);
  std::memcpy(s.copy.data(), data.data() + s.origin, total - s.origin);
  for (size_t a = total; a < need; ++a) s.copy[a - s.origin] = data[a - kWindowSize];
  s.view = s.copy.data();
}

std::unique_ptr<TSegment> ParseSegment(std::span<const uint8_t> data, uint32_t start,
                                       uint32_t end) {
  auto s = std::make_unique<TSegment>();
  s->start = start;
  s->end = end;
  MakeView(*s, data);
  const uint32_t total = uint32_t(data.size());
  TLazyParser parser(s->view, s->origin, total);
  if (start > 0) parser.Prime(start - kWindowSize, start);
  TParseState state;
  state.at = start;
  state.windowBase = deflate::WindowBaseAt(start);
  s->endState = parser.Run(state, end, s->matches);
  s->adler = Adler32(1, data.subspan(start, end - start));
  return s;
}

// Cuts the stream of literals and matches into zlib's blocks, following zlib's window as it
// slides, since a block whose first byte has left the window cannot be stored.
class TBlockCutter {
 public:
  TBlockCutter(std::span<const uint8_t> data, std::vector<uint8_t>& out)
      : data_(data), total_(uint32_t(data.size())), writer_(out) {}

  void Emit(const TMatch& m) {
    Literals(m.position);
    Step(m.position + 1);
    const bool full = writer_.Match(m.distance, m.length);
    at_ = m.position + m.length;
    if (full) Flush(false);
    Step(at_);
  }

  void Finish() {
    Literals(total_);
    Step(total_);
    Flush(true);
  }

 private:
  // A literal is emitted at the step after its byte; the one at the last byte after zlib's loop,
  // where a full block is not cut before the last one.
  void Literals(uint32_t upTo) {
    while (at_ < upTo) {
      Step(at_ + 1);
      const bool full = writer_.Literal(data_[at_]);
      ++at_;
      if (full && at_ != total_) Flush(false);
    }
  }
  void Step(uint32_t at) { windowBase_ = deflate::WindowBaseAfterStep(windowBase_, at, total_); }
  void Flush(bool last) {
    const uint8_t* stored = blockStart_ >= windowBase_ ? data_.data() + blockStart_ : nullptr;
    writer_.Flush(stored, at_ - blockStart_, last);
    blockStart_ = at_;
  }

  std::span<const uint8_t> data_;
  uint32_t total_;
  TBlockWriter writer_;
  uint32_t at_ = 0;
  uint32_t blockStart_ = 0;
  uint32_t windowBase_ = 0;
};

// Hands segments to parse to the threads, at most `ahead` beyond the one the caller takes next.
class TSegmentQueue {
 public:
  TSegmentQueue(std::span<const uint8_t> data, uint32_t segmentSize, size_t ahead)
      : data_(data),
        segmentSize_(segmentSize),
        count_((data.size() + segmentSize - 1) / segmentSize),
        ahead_(ahead),
        parsed_(count_) {}

  size_t Count() const { return count_; }

  // A helper thread: parses segments until none is left or the queue stops.
  void Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stopping_ || next_ >= count_ || next_ < taken_ + ahead_; });
      if (stopping_ || next_ >= count_) return;
      ParseNext(lock);
    }
  }

  // The caller: segment `k`, once parsed (parsing segments itself while it waits).
  std::unique_ptr<TSegment> Take(size_t k) {
    std::unique_lock lock(mutex_);
    while (!parsed_[k]) {
      if (failure_) std::rethrow_exception(failure_);
      if (next_ < count_ && next_ < taken_ + ahead_) {
        ParseNext(lock);
      } else {
        changed_.wait(lock);
      }
    }
    taken_ = k + 1;
    changed_.notify_all();
    return std::move(parsed_[k]);
  }

  void Stop() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }

 private:
  void ParseNext(std::unique_lock<std::mutex>& lock) {
    const size_t k = next_++;
    const uint32_t start = uint32_t(k * segmentSize_);
    const uint32_t end = uint32_t(std::min<size_t>(data_.size(), size_t(start) + segmentSize_));
    lock.unlock();
    std::unique_ptr<TSegment> segment;
    std::exception_ptr failure;
    try {
      segment = ParseSegment(data_, start, end);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    if (failure) {
      if (!failure_) failure_ = failure;
      stopping_ = true;
    } else {
      parsed_[k] = std::move(segment);
    }
    changed_.notify_all();
  }

  std::span<const uint8_t> data_;
  size_t segmentSize_;
  size_t count_;
  size_t ahead_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<TSegment>> parsed_;
  size_t next_ = 0;
  size_t taken_ = 0;
  bool stopping_ = false;
  std::exception_ptr failure_;
};

// The helper threads, stopped and joined on every way out.
class THelpers {
 public:
  THelpers(TSegmentQueue& queue, unsigned count) : queue_(queue) {
    try {
      for (unsigned i = 0; i < count; ++i) threads_.emplace_back([&queue] { queue.Work(); });
    } catch (...) {
      // Fewer helpers: the caller parses what they would have.
    }
  }
  ~THelpers() {
    queue_.Stop();
    for (auto& t : threads_) t.join();
  }
  THelpers(const THelpers&) = delete;
  THelpers& operator=(const THelpers&) = delete;

 private:
  TSegmentQueue& queue_;
  std::vector<std::thread> threads_;
};

unsigned DefaultThreads() {
  return unsigned(std::clamp(AvailableCores(), 1, 4));
}

}  // namespace

bool ParallelDeflateMatchesZlib() {
  static const bool matches = std::strcmp(zlibVersion(), "1.2.13") == 0;
  return matches;
}

bool ParallelDeflateApplies(int64_t size, int zlibLevel) {
  return (zlibLevel == Z_DEFAULT_COMPRESSION || zlibLevel == 6) && size >= int64_t(kWorthItFrom) &&
         size <= int64_t(kParallelDeflateMaxInput) && DefaultThreads() >= 2 &&
         ParallelDeflateMatchesZlib();
}

void DeflateInParallel(std::span<const uint8_t> data, TStream& target,
                       const TParallelDeflateOptions& options) {
  if (data.size() < kParallelDeflateMinInput || data.size() > kParallelDeflateMaxInput) {
    throw EZCompressionError(Format("Cannot deflate %zu bytes in parallel", data.size()));
  }
  const unsigned threads = options.threads ? options.threads : DefaultThreads();
  uint32_t segmentSize = options.segmentSize;
  if (segmentSize == 0) {
    const size_t share = data.size() / (size_t(threads) * 4);
    segmentSize = uint32_t(std::clamp<size_t>(share, 256 << 10, 1 << 20));
  }
  segmentSize = std::max(kWindowSize, segmentSize / kWindowSize * kWindowSize);

  // The caller parses too while it waits, so a helper may finish several segments while the
  // caller is busy with one of its own: room for two per thread keeps the helpers parsing.
  TSegmentQueue queue(data, segmentSize, 2 * threads + 2);
  THelpers helpers(queue, unsigned(std::min<size_t>(threads - 1, queue.Count() - 1)));

  std::vector<uint8_t> out;
  out.reserve(kOutputPiece + (kOutputPiece >> 2));
  const auto header = ZlibHeader(6);
  out.insert(out.end(), header.begin(), header.end());
  TBlockCutter cutter(data, out);
  const uint32_t total = uint32_t(data.size());
  uLong adler = 1;
  TParseState entry;  // zlib's state at the first step of the next segment
  for (size_t k = 0; k < queue.Count(); ++k) {
    const std::unique_ptr<TSegment> segment = queue.Take(k);
    const TSegment& s = *segment;
    size_t from = 0;
    bool joined = entry.Clean() && s.CleanAt(entry.at, from);
    if (!joined) {
      // Carry zlib's state on until it meets the segment's own parse.
      TLazyParser parser(s.view, s.origin, total);
      parser.Prime(entry.at - kWindowSize, entry.at);
      std::vector<TMatch> carried;
      const TParseState reached =
          parser.Run(entry, s.end, carried, [&](uint32_t at) { return s.CleanAt(at, from); });
      for (const TMatch& m : carried) cutter.Emit(m);
      joined = reached.at < s.end && reached.at < total;
      if (!joined) entry = reached;
    }
    if (joined) {
      for (size_t i = from; i < s.matches.size(); ++i) cutter.Emit(s.matches[i]);
      entry = s.endState;
    }
    adler = adler32_combine(adler, s.adler, z_off_t(s.end - s.start));
    if (out.size() >= kOutputPiece) {
      target.WriteBuffer(out.data(), int64_t(out.size()));
      out.clear();
    }
  }
  cutter.Finish();
  const auto trailer = ZlibTrailer(uint32_t(adler));
  out.insert(out.end(), trailer.begin(), trailer.end());
  target.WriteBuffer(out.data(), int64_t(out.size()));
}

}  // namespace qorvin
