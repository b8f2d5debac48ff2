// A record-set section's ADTG image as its zlib stream inflates, piece by piece, for the readers
// that take an image a window at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/ado/AdtgCodec.h"
#include "platform/zlib/ZStream.h"

namespace qorvin {

class TInflatedImage final : public ado::AdtgSource {
 public:
  explicit TInflatedImage(TZInflater& inflater) : inflater_(inflater) {}
  size_t Read(uint8_t* into, size_t room) override { return inflater_.Read(into, room); }

  // The rest of the zlib stream (its check value, or bytes after the image), inflated and
  // dropped, so that damaged or oversized data fails as it fails when the image is inflated
  // whole.
  void InflateRest() {
    std::vector<uint8_t> rest(static_cast<size_t>(kZPieceSize));
    while (inflater_.Read(rest.data(), rest.size()) != 0) {
    }
  }

  // Runs `read` over the image and then inflates the rest. When `read` fails for anything but
  // the zlib data, the rest is inflated first: damaged or oversized zlib data further on is what
  // inflating the image whole reports first (the budget's text tells the host what to change),
  // and only without it does the reader's failure stand.
  template <typename Read>
  void ReadWhole(Read read) {
    try {
      read();
    } catch (const EZCompressionError&) {
      throw;
    } catch (...) {
      InflateRest();
      throw;
    }
    InflateRest();
  }

 private:
  TZInflater& inflater_;
};

}  // namespace qorvin
