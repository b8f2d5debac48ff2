#include "messaging/uROMessageEnvelope.h"

#include <cstring>

#include "messaging/uROExceptions.h"
#include "platform/rtl/Guid.h"

namespace qorvin {

std::string NormalizeEnvelopeMarker(std::string marker) {
  if (marker.empty()) marker = TGUID::New().ToString();
  // Shorten one character (one UTF-8 sequence) at a time from the end.
  while (marker.size() > kMaxEnvelopeMarkerBytes) {
    size_t cut = marker.size() - 1;
    while (cut > 0 && (static_cast<unsigned char>(marker[cut]) & 0xC0) == 0x80) --cut;
    marker.resize(cut);
  }
  return marker;
}

TROMessageEnvelope::TROMessageEnvelope() : marker_(NormalizeEnvelopeMarker({})) {}

// Wrapped form: "ROENV", one byte marker length m, m marker bytes, transformed payload.
void TROMessageEnvelope::Wrap(TStream& source, TStream& target) {
  target.WriteBuffer(kEnvelopeSignature, kEnvelopeSignatureLength);
  target.WriteLE(uint8_t(marker_.size()));
  target.WriteBytes(marker_);
  if (BeforeEnvelopeProcessed) BeforeEnvelopeProcessed(*this, source);
  IntProcessOutgoing(source, target);
  if (AfterEnvelopeProcessed) AfterEnvelopeProcessed(*this, target);
}

void TROMessageEnvelope::Unwrap(TStream& source, TStream& target) {
  if (BeforeEnvelopeProcessed) BeforeEnvelopeProcessed(*this, source);
  IntProcessIncoming(source, target);
  if (AfterEnvelopeProcessed) AfterEnvelopeProcessed(*this, target);
}

void TROMessageEnvelope::IntProcessOutgoing(TStream& source, TStream& target) {
  const int64_t rest = source.Remaining();
  if (rest > 0) target.CopyFrom(source, rest);
}

void TROMessageEnvelope::IntProcessIncoming(TStream& source, TStream& target) {
  const int64_t rest = source.Remaining();
  if (rest > 0) target.CopyFrom(source, rest);
}

void TROMessageEnvelopeItem::SetEnvelope(TROMessageEnvelope* envelope) {
  Envelope = envelope;
  if (envelope != nullptr) EnvelopeMarker = envelope->EnvelopeMarker();
}

TROMessageEnvelopeItem& TROMessageEnvelopeCollection::Add(TROMessageEnvelope* envelope) {
  items_.emplace_back();
  items_.back().SetEnvelope(envelope);
  return items_.back();
}

TROMessageEnvelopeItem* TROMessageEnvelopeCollection::FindByMarker(const std::string& marker) {
  for (TROMessageEnvelopeItem& item : items_)
    if (item.EnvelopeMarker == marker) return &item;
  return nullptr;
}

namespace {

// Replaces the whole content of `stream` by that of `source`; both positioned at 0.
void ReplaceContent(TStream& stream, TMemoryStream& source) {
  stream.SetSize(0);
  stream.SetPosition(0);
  stream.WriteBuffer(source.Memory(), source.Size());
  stream.SetPosition(0);
}

}  // namespace

void TROMessageEnvelopeCollection::ProcessOutgoing(TStream& stream) {
  bool any = false;
  for (const TROMessageEnvelopeItem& item : items_) any = any || (item.Enabled && item.Envelope);
  if (!any) return;
  auto current = std::make_unique<TMemoryStream>();
  stream.SetPosition(0);
  current->CopyFrom(stream, stream.Size());
  for (TROMessageEnvelopeItem& item : items_) {
    if (!item.Enabled) continue;
    if (item.Envelope == nullptr)
      throw EROException(item.EnvelopeMarker +
                         " envelope can't be processed! TROMessageEnvelope should be assigned.");
    auto wrapped = std::make_unique<TMemoryStream>();
    current->SetPosition(0);
    item.Envelope->Wrap(*current, *wrapped);
    current = std::move(wrapped);
  }
  ReplaceContent(stream, *current);
}

void TROMessageEnvelopeCollection::ProcessIncoming(TStream& stream) {
  // Most streams carry no envelope: look at the prefix before copying anything.
  char head[kEnvelopeSignatureLength + 1];
  stream.SetPosition(0);
  const bool wrapped = stream.Size() > 6 &&
                       stream.Read(head, sizeof head) == int64_t(sizeof head) &&
                       std::memcmp(head, kEnvelopeSignature, kEnvelopeSignatureLength) == 0;
  stream.SetPosition(0);
  if (!wrapped) return;
  auto current = std::make_unique<TMemoryStream>();
  stream.SetPosition(0);
  current->CopyFrom(stream, stream.Size());
  current->SetPosition(0);
  bool changed = false;
  // Each step consumes at least the 6-byte prefix, so the loop ends; the bound is a second guard
  // against an envelope whose transformation grows the stream forever.
  for (int steps = 0; steps < 1024; ++steps) {
    const int64_t start = current->Position();
    if (current->Size() - start <= 6) break;
    const unsigned char* p = current->Memory() + start;
    if (std::memcmp(p, kEnvelopeSignature, kEnvelopeSignatureLength) != 0) break;
    const int64_t markerLength = p[5];
    if (start + 6 + markerLength > current->Size()) break;  // not a complete prefix: left as is
    const std::string marker(reinterpret_cast<const char*>(p + 6), size_t(markerLength));
    TROMessageEnvelopeItem* item = FindByMarker(marker);
    if (item == nullptr) throw EROException(marker + " envelope isn't found");
    if (item->Envelope == nullptr)
      throw EROException(marker +
                         " envelope can't be processed! TROMessageEnvelope should be assigned.");
    current->SetPosition(start + 6 + markerLength);
    auto unwrapped = std::make_unique<TMemoryStream>();
    item->Envelope->Unwrap(*current, *unwrapped);
    unwrapped->SetPosition(0);
    current = std::move(unwrapped);
    changed = true;
  }
  if (changed) ReplaceContent(stream, *current);
  stream.SetPosition(0);
}

}  // namespace qorvin
