// Message envelopes: ordered wrapping steps applied to a whole message stream.
//
// Wrapped form written by an envelope:
//
//   offset  size  content
//   0       5     "ROENV"
//   5       1     m = byte length of the envelope's marker (UTF-8)
//   6       m     the marker
//   6+m     ...   the envelope's transformation of the wrapped bytes (the base class copies them)
//
// A marker is UTF-8 of at most 255 bytes (a longer text is shortened one character at a time from
// its end); an empty marker is replaced by newly generated GUID text, which is also the marker of
// a new envelope. The collection borrows its envelopes: an envelope must outlive the items that
// refer to it (or be detached first). Not thread-safe.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/rtl/Stream.h"

namespace qorvin {

inline constexpr char kEnvelopeSignature[] = "ROENV";
inline constexpr int kEnvelopeSignatureLength = 5;
inline constexpr size_t kMaxEnvelopeMarkerBytes = 255;

// The marker rules above applied to `marker` (UTF-8).
std::string NormalizeEnvelopeMarker(std::string marker);

class TROMessageEnvelope {
 public:
  using TEnvelopeEvent = std::function<void(TROMessageEnvelope& sender, TStream& stream)>;

  TROMessageEnvelope();
  virtual ~TROMessageEnvelope() = default;

  const std::string& EnvelopeMarker() const { return marker_; }
  void SetEnvelopeMarker(std::string marker) {
    marker_ = NormalizeEnvelopeMarker(std::move(marker));
  }

  // Writes the wrapped form of `source` (from its position to its end) into `target`.
  void Wrap(TStream& source, TStream& target);
  // Writes the transformation back of `source` (from its position, just after the marker) into
  // `target`.
  void Unwrap(TStream& source, TStream& target);

  TEnvelopeEvent BeforeEnvelopeProcessed;
  TEnvelopeEvent AfterEnvelopeProcessed;

 protected:
  // The transformations; the base class copies the bytes unchanged.
  virtual void IntProcessOutgoing(TStream& source, TStream& target);
  virtual void IntProcessIncoming(TStream& source, TStream& target);

 private:
  std::string marker_;
};

struct TROMessageEnvelopeItem {
  bool Enabled = true;
  // Borrowed; may be null (incoming streams naming this item then fail).
  TROMessageEnvelope* Envelope = nullptr;
  // The marker by which incoming streams find this item; taken from the envelope when one is
  // assigned through SetEnvelope.
  std::string EnvelopeMarker;

  void SetEnvelope(TROMessageEnvelope* envelope);
};

class TROMessageEnvelopeCollection {
 public:
  TROMessageEnvelopeItem& Add(TROMessageEnvelope* envelope = nullptr);
  void Clear() { items_.clear(); }
  size_t Count() const { return items_.size(); }
  TROMessageEnvelopeItem& operator[](size_t i) { return items_.at(i); }
  const TROMessageEnvelopeItem& operator[](size_t i) const { return items_.at(i); }
  // The first item with exactly this marker; null when none.
  TROMessageEnvelopeItem* FindByMarker(const std::string& marker);

  // Outgoing: every enabled item in order wraps the whole of `stream`; the result replaces the
  // content of `stream` (position 0 afterwards).
  void ProcessOutgoing(TStream& stream);
  // Incoming: from position 0, while more than 6 bytes remain, the next 5 are "ROENV" and the
  // marker fits, the named item's envelope unwraps the rest; the result replaces the content of
  // `stream` (position 0). EROException "%s envelope isn't found" for an unknown marker and
  // "%s envelope can't be processed! TROMessageEnvelope should be assigned." for an item
  // without envelope. The number of unwrapping steps is bounded by the stream's size.
  void ProcessIncoming(TStream& stream);

 private:
  std::vector<TROMessageEnvelopeItem> items_;
};

}  // namespace qorvin
