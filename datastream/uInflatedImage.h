// A record-set section's ADTG image as its zlib stream inflates, piece by piece, for the readers
// that take an image a window at a time. A large section is inflated on a thread of its own,
// ahead of the reader (TReadAhead), so that inflating and decoding share the work; the reader
// sees the same bytes and the same failures either way.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/ado/AdtgCodec.h"
#include "platform/rtl/ReadAhead.h"
#include "platform/zlib/ZStream.h"

namespace qorvin {

// Raised by a reader that gives up on the image on purpose (its consumer wants no more rows):
// ReadWhole lets it through at once, without inflating the rest.
struct EImageReadAbandoned {};

class TInflatedImage final : public ado::AdtgSource {
 public:
  // Compressed sections from this size on are inflated ahead of the reader.
  static constexpr int64_t kReadAheadFrom = int64_t(1) << 20;

  // `compressedSize`: the bytes of the zlib stream, as far as known (it decides only whether to
  // read ahead). While this object lives, only it may use the inflater and its source.
  TInflatedImage(TZInflater& inflater, int64_t compressedSize) : inflater_(inflater) {
    if (compressedSize >= kReadAheadFrom)
      ahead_.emplace([this](uint8_t* into, size_t room) { return inflater_.Read(into, room); });
  }
  size_t Read(uint8_t* into, size_t room) override {
    return ahead_ ? ahead_->Read(into, room) : inflater_.Read(into, room);
  }

  // The rest of the zlib stream (its check value, or bytes after the image), inflated and
  // dropped, so that damaged or oversized data fails as it fails when the image is inflated
  // whole.
  void InflateRest() {
    std::vector<uint8_t> rest(static_cast<size_t>(kZPieceSize));
    while (Read(rest.data(), rest.size()) != 0) {
    }
  }

  // Runs `read` over the image and then inflates the rest. When `read` fails for anything but
  // the zlib data, the rest is inflated first: damaged or oversized zlib data further on is what
  // inflating the image whole reports first (the budget's text tells the host what to change),
  // and only without it does the reader's failure stand. EImageReadAbandoned passes at once.
  template <typename Read>
  void ReadWhole(Read read) {
    try {
      read();
    } catch (const EZCompressionError&) {
      throw;
    } catch (const EImageReadAbandoned&) {
      throw;
    } catch (...) {
      InflateRest();
      throw;
    }
    InflateRest();
  }

 private:
  TZInflater& inflater_;
  std::optional<TReadAhead> ahead_;  // last: its thread stops before the rest goes
};

}  // namespace qorvin
