#include "platform/zlib/ZStream.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/OsServices.h"
#include "platform/zlib/FastZlib.h"
#include "platform/zlib/ZlibWrapper.h"

namespace qorvin {

namespace {

[[noreturn]] void ZFail(int code) {
  throw EZCompressionError(zError(code));
}

int Check(int code) {
  if (code < 0 && code != Z_BUF_ERROR) ZFail(code);
  return code;
}

[[noreturn]] void FailOverLimit(int64_t maxOutput, bool asBudget) {
  if (!asBudget) throw EZCompressionError("inflated data exceeds its limit");
  throw EZCompressionError(
      Format("Inflated data exceeds the budget of %lld MiB (%lld bytes); raise the "
             "inflation budget to accept larger data, or ask for less",
             static_cast<long long>(maxOutput >> 20), static_cast<long long>(maxOutput)));
}

thread_local int64_t t_inflateBudget = 0;  // 0: the default

// A buffer of one piece, left uninitialised: clearing 32 KiB for every stream cost more than
// inflating or deflating a small one (a typed value stream is a stream of its own per value).
struct Piece {
  std::unique_ptr<unsigned char[]> bytes{new unsigned char[size_t(kZPieceSize)]};
  unsigned char* data() { return bytes.get(); }
  size_t size() const { return size_t(kZPieceSize); }
};

// A zlib stream whose compressed bytes lie in memory, inflated in one step straight to the end of a
// memory target, when it fits in 4 times its size (and `maxOutput`, when >= 0). Returns the bytes
// produced, or -1 when this path does not apply or does not succeed; nothing is then consumed or
// written, and the streaming path does the work (and reports any failure) as ever.
int64_t InflateInOneStep(TStream& source, TStream& target, int64_t maxOutput) {
  constexpr size_t kWorthItFrom = size_t(64) << 10;
  const auto bytes = source.InMemory();
  auto* memory = dynamic_cast<TMemoryStream*>(&target);
  if (bytes.data() == nullptr || memory == nullptr || memory->Position() != memory->Size()) {
    return -1;
  }
  const int64_t at = source.Position();
  if (at < 0 || at >= int64_t(bytes.size()) || bytes.size() - size_t(at) < kWorthItFrom) return -1;
  const auto in = bytes.subspan(size_t(at));
  int64_t room = int64_t(in.size()) * 4 + int64_t(kWorthItFrom);
  if (maxOutput >= 0) room = std::min(room, maxOutput);
  size_t produced = 0, consumed = 0;
  const bool wasEmpty = memory->Size() == 0;
  unsigned char* out = nullptr;
  try {
    out = memory->RoomAtEnd(room);
  } catch (const std::bad_alloc&) {
    return -1;  // no room for the guess: the streaming path needs far less at once
  }
  if (!InflateWholeBuffer(in, {out, size_t(room)}, produced, consumed)) {
    if (wasEmpty) memory->Clear();  // the streaming path grows it from nothing, as ever
    return -1;
  }
  memory->Appended(int64_t(produced));
  source.SetPosition(at + int64_t(consumed));
  return int64_t(produced);
}

}  // namespace

int64_t InflateBudget() {
  return t_inflateBudget > 0 ? t_inflateBudget : kDefaultInflateBudget;
}

int64_t ImageInflateBudget(int64_t compressedBytes) {
  if (t_inflateBudget > 0) return t_inflateBudget;
  const int64_t physical = PhysicalMemoryBytes();
  if (compressedBytes <= 0 || physical <= 0) return kDefaultInflateBudget;
  const int64_t byRatio = compressedBytes > std::numeric_limits<int64_t>::max() / kImageInflateRatio
                              ? std::numeric_limits<int64_t>::max()
                              : compressedBytes * kImageInflateRatio;
  return std::max(kDefaultInflateBudget, std::min(byRatio, physical / 4));
}

TInflateBudgetScope::TInflateBudgetScope(int64_t budget) : previous_(t_inflateBudget) {
  t_inflateBudget = budget > 0 ? budget : 0;
}

TInflateBudgetScope::~TInflateBudgetScope() {
  t_inflateBudget = previous_;
}

int ZLibLevelFromIndex(int index) {
  switch (index) {
    case 0:
      return Z_NO_COMPRESSION;
    case 1:
      return Z_BEST_SPEED;
    case 2:
      return Z_DEFAULT_COMPRESSION;
    case 3:
      return Z_BEST_COMPRESSION;
    default:
      if (index >= 4 && index <= 12) return index - 3;
      throw EZCompressionError(Format("Invalid compression level %d", index));
  }
}

namespace {

// A body in memory deflated in one step (libdeflate where there is one): into the end of a memory
// target directly, else through a buffer of its own. False when there is no such path here.
bool DeflateWhole(std::span<const unsigned char> in, int zlibLevel, TStream& target,
                  int64_t& written) {
  const size_t bound = DeflateWholeBound(in.size());
  if (bound == 0) return false;
  auto* memory = dynamic_cast<TMemoryStream*>(&target);
  if (memory != nullptr && memory->Position() == memory->Size()) {
    unsigned char* room = memory->RoomAtEnd(int64_t(bound));
    const size_t n = DeflateWholeBuffer(in, zlibLevel, {room, bound});
    if (n == 0) return false;
    memory->Appended(int64_t(n));
    written = int64_t(n);
    return true;
  }
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[bound]);
  const size_t n = DeflateWholeBuffer(in, zlibLevel, {buffer.get(), bound});
  if (n == 0) return false;
  target.WriteBuffer(buffer.get(), int64_t(n));
  written = int64_t(n);
  return true;
}

}  // namespace

int64_t ZCompress(TStream& source, int64_t count, TStream& target, int zlibLevel) {
  if (count < 0) count = source.Size() - source.Position();
  const auto bytes = source.InMemory();
  if (bytes.data() != nullptr && count >= kZWholeDeflateMin && count <= source.Remaining()) {
    int64_t written = 0;
    if (DeflateWhole(bytes.subspan(size_t(source.Position()), size_t(count)), zlibLevel, target,
                     written)) {
      source.Seek(count, SeekOrigin::Current);
      return written;
    }
  }
  const int64_t start = target.Position();  // before the header the stream writes at once
  TZCompressionStream z(target, zlibLevel);
  std::vector<unsigned char> in(
      size_t(std::min<int64_t>(std::max<int64_t>(count, 1), kZPieceSize)));
  while (count > 0) {
    const int64_t n = std::min<int64_t>(count, kZPieceSize);
    source.ReadBuffer(in.data(), n);
    z.Write(in.data(), n);
    count -= n;
  }
  z.Finish();
  return target.Position() - start;
}

int64_t ZInflateWithinBudget(TStream& source, TStream& target, int64_t budget) {
  return ZDecompress(source, target, budget, true);
}

int64_t ZDecompress(TStream& source, TStream& target, int64_t maxOutput, bool asBudget) {
  if (const int64_t produced = InflateInOneStep(source, target, maxOutput); produced >= 0) {
    return produced;
  }
  z_stream zs{};
  Check(inflateInit(&zs));
  Piece in, out;
  int64_t produced = 0;
  int rc = Z_OK;
  try {
    while (rc != Z_STREAM_END) {
      if (zs.avail_in == 0) {
        const int64_t n = source.Read(in.data(), kZPieceSize);
        if (n == 0) ZFail(Z_BUF_ERROR);  // the source ended inside the zlib stream
        zs.next_in = in.data();
        zs.avail_in = uInt(n);
      }
      zs.next_out = out.data();
      zs.avail_out = uInt(out.size());
      rc = inflate(&zs, Z_NO_FLUSH);
      if (rc == Z_NEED_DICT) ZFail(Z_DATA_ERROR);
      Check(rc);
      const int64_t have = int64_t(out.size() - zs.avail_out);
      produced += have;
      if (maxOutput >= 0 && produced > maxOutput) FailOverLimit(maxOutput, asBudget);
      target.WriteBuffer(out.data(), have);
    }
  } catch (...) {
    inflateEnd(&zs);
    throw;
  }
  // Give back the bytes read past the end of the zlib stream.
  if (zs.avail_in > 0) source.Seek(-int64_t(zs.avail_in), SeekOrigin::Current);
  inflateEnd(&zs);
  return produced;
}

struct TZInflater::State {
  z_stream zs{};
  bool started = false;  // inflateInit done
  Piece in;
  // The whole inflated data, when it was inflated in one step, and how much of it was handed out.
  std::unique_ptr<uint8_t[]> whole;
  size_t wholeSize = 0, wholeTaken = 0;
};

namespace {
// A stream in memory of at most this many compressed bytes is first tried in one step, into
// room for this many times as much (at least kWholeLeast bytes, within the output limit): zlib's
// set-up (its state and window, allocated and cleared) cost a small reply more than its data did.
constexpr size_t kWholeAtMost = size_t(256) << 10;
constexpr size_t kWholeRatio = 32;
constexpr size_t kWholeLeast = size_t(64) << 10;
}  // namespace

TZInflater::TZInflater(TStream& source, int64_t maxOutput, bool asBudget)
    : state_(std::make_unique<State>()),
      source_(source),
      maxOutput_(maxOutput),
      asBudget_(asBudget) {
  TryWhole();
}

TZInflater::~TZInflater() {
  if (state_->started) inflateEnd(&state_->zs);
}

void TZInflater::TryWhole() {
  const std::span<const unsigned char> held = source_.InMemory();
  const int64_t at = source_.Position();
  if (held.empty() || at < 0 || size_t(at) >= held.size()) return;
  const std::span<const uint8_t> in = held.subspan(size_t(at));
  if (in.size() > kWholeAtMost) return;
  size_t room = std::max(in.size() * kWholeRatio, kWholeLeast);
  if (maxOutput_ >= 0) room = std::min(room, size_t(maxOutput_));
  std::unique_ptr<uint8_t[]> out(new uint8_t[std::max<size_t>(room, 1)]);
  size_t produced = 0, consumed = 0;
  // Anything else (more than the room, damaged data) goes to zlib's stream, which reports it.
  if (!InflateWholeBuffer(in, {out.get(), room}, produced, consumed)) return;
  source_.Seek(int64_t(consumed), SeekOrigin::Current);
  state_->whole = std::move(out);
  state_->wholeSize = produced;
  produced_ = int64_t(produced);
  ended_ = true;
}

size_t TZInflater::Read(void* into, size_t room) {
  State& state = *state_;
  if (state.whole) {
    const size_t n = std::min(room, state.wholeSize - state.wholeTaken);
    std::memcpy(into, state.whole.get() + state.wholeTaken, n);
    state.wholeTaken += n;
    return n;
  }
  z_stream& zs = state.zs;
  if (!state.started) {
    Check(inflateInit(&zs));
    state.started = true;
  }
  auto* out = static_cast<unsigned char*>(into);
  size_t have = 0;
  // Pieces of at most 1 GiB: zlib counts in 32-bit units.
  while (!ended_ && have == 0 && room > 0) {
    if (zs.avail_in == 0) {
      const int64_t n = source_.Read(state.in.data(), kZPieceSize);
      if (n == 0) ZFail(Z_BUF_ERROR);  // the source ended inside the zlib stream
      zs.next_in = state.in.data();
      zs.avail_in = uInt(n);
    }
    zs.next_out = out;
    zs.avail_out = uInt(std::min<size_t>(room, size_t(1) << 30));
    const uInt offered = zs.avail_out;
    const int rc = inflate(&zs, Z_NO_FLUSH);
    if (rc == Z_NEED_DICT) ZFail(Z_DATA_ERROR);
    Check(rc);
    have = size_t(offered - zs.avail_out);
    produced_ += int64_t(have);
    if (maxOutput_ >= 0 && produced_ > maxOutput_) FailOverLimit(maxOutput_, asBudget_);
    if (rc == Z_STREAM_END) {
      ended_ = true;
      // Give back the bytes read past the end of the zlib stream.
      if (zs.avail_in > 0) source_.Seek(-int64_t(zs.avail_in), SeekOrigin::Current);
      zs.avail_in = 0;
    }
  }
  return have;
}

struct TZCompressionStream::State {
  z_stream zs{};
  Piece out;
  bool ownWrapper = false;
  uint32_t adler = 1;
};

// zlib's wrapper (ZlibWrapper.h) is written here around raw deflate, so that the Adler-32 can be
// the fast one. zlib's deflate data do not depend on the wrapper at levels 1-9. At level 0 they do
// (a stored block is as large as the output room, which the header shortens), so zlib writes it.
TZCompressionStream::TZCompressionStream(TStream& target, int zlibLevel)
    : state_(std::make_unique<State>()), target_(target) {
  const int level = zlibLevel == Z_DEFAULT_COMPRESSION ? 6 : zlibLevel;
  if (level == 0) {
    Check(deflateInit(&state_->zs, zlibLevel));
    return;
  }
  Check(deflateInit2(&state_->zs, zlibLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY));
  state_->ownWrapper = true;
  const auto header = ZlibHeader(level);
  try {
    target_.WriteBuffer(header.data(), int64_t(header.size()));
  } catch (...) {
    deflateEnd(&state_->zs);
    throw;
  }
}

TZCompressionStream::~TZCompressionStream() {
  if (!finished_) {
    try {
      Finish();
    } catch (...) {
    }
  }
  deflateEnd(&state_->zs);
}

int64_t TZCompressionStream::Write(const void* buffer, int64_t count) {
  if (finished_) throw EZCompressionError("compression stream already finished");
  z_stream& zs = state_->zs;
  const auto* p = static_cast<const unsigned char*>(buffer);
  int64_t left = count;
  while (left > 0) {
    const uInt chunk = uInt(std::min<int64_t>(left, int64_t(1) << 30));
    if (state_->ownWrapper) state_->adler = Adler32(state_->adler, {p, chunk});
    zs.next_in = const_cast<unsigned char*>(p);
    zs.avail_in = chunk;
    while (zs.avail_in > 0) {
      zs.next_out = state_->out.data();
      zs.avail_out = uInt(state_->out.size());
      Check(deflate(&zs, Z_NO_FLUSH));
      target_.WriteBuffer(state_->out.data(), int64_t(state_->out.size() - zs.avail_out));
    }
    p += chunk;
    left -= chunk;
  }
  total_in_ += count;
  return count;
}

void TZCompressionStream::Finish() {
  if (finished_) return;
  finished_ = true;
  z_stream& zs = state_->zs;
  zs.next_in = nullptr;
  zs.avail_in = 0;
  int rc;
  do {
    zs.next_out = state_->out.data();
    zs.avail_out = uInt(state_->out.size());
    rc = Check(deflate(&zs, Z_FINISH));
    target_.WriteBuffer(state_->out.data(), int64_t(state_->out.size() - zs.avail_out));
  } while (rc != Z_STREAM_END);
  if (!state_->ownWrapper) return;
  const auto trailer = ZlibTrailer(state_->adler);
  target_.WriteBuffer(trailer.data(), int64_t(trailer.size()));
}

int64_t TZCompressionStream::Read(void*, int64_t) {
  throw EZCompressionError("Invalid stream operation");
}

int64_t TZCompressionStream::Seek(int64_t offset, SeekOrigin origin) {
  if (offset == 0 && origin == SeekOrigin::Current) return total_in_;
  throw EZCompressionError("Invalid stream operation");
}

void TZCompressionStream::SetSize(int64_t) {
  throw EZCompressionError("Invalid stream operation");
}

}  // namespace qorvin
