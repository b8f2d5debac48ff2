#include "platform/ado/AdtgStreamWriter.h"

#include "platform/ado/AdoBytes.h"
#include "platform/ado/AdtgCodec.h"

namespace qorvin::ado {

namespace {

constexpr size_t kHeaderSize = 9;  // 01 07 'T' 'G' '!' 00 00 00 00
// Offset of the row count inside the result descriptor's body: GUID, three u8, five u16.
constexpr size_t kRowCountInDescriptor = 16 + 3 + 10;

// Offset of the result descriptor's row count in a tablegram written by WriteAdtg: the handler
// options element (token, u16 size, body) follows the header; the descriptor follows it.
size_t RowCountOffset(const uint8_t* image, size_t size) {
  const size_t handler = kHeaderSize;
  if (size < handler + 3) throw EAdoError("Invalid ADTG metadata: too short");
  const size_t descriptor = handler + 3 + LoadLE<uint16_t>(image + handler + 1);
  const size_t at = descriptor + 3 + kRowCountInDescriptor;
  if (size < at + 4 || image[descriptor] != 0x03)
    throw EAdoError("Invalid ADTG metadata: no result descriptor");
  return at;
}

}  // namespace

AdtgStreamWriter::AdtgStreamWriter(const AdtgImageInfo& info, const TFieldDefs& defs,
                                   uint32_t rowCount, TStream& target)
    : info_(info), defs_(defs), target_(target), announced_(rowCount) {
  batch_.Reset(RowLayout::For(defs));
  // The metadata of an image without rows, but announcing `rowCount`, and without its done token.
  WriteAdtg(info_, defs_, batch_, scratch_);
  metadata_size_ = size_t(scratch_.Size()) - 1;
  uint8_t* image = scratch_.Memory();
  StoreLE<uint32_t>(image + RowCountOffset(image, metadata_size_), rowCount);
  target_.WriteBuffer(image, int64_t(metadata_size_));
}

void AdtgStreamWriter::AddRow(uint32_t id) {
  RowEntry entry;
  entry.current = id;
  entry.status = TRowStatus::Unchanged;
  batch_.Rows().push_back(entry);
}

void AdtgStreamWriter::WriteBatch() {
  if (batch_.Rows().empty()) return;
  if (written_ + batch_.Rows().size() > announced_)
    throw EAdoError("More rows than announced were written to an ADTG image");
  // WriteAdtg of the batch alone: the rows lie between the metadata (whose size does not depend
  // on the rows) and the done token.
  scratch_.SetSize(0);
  scratch_.SetPosition(0);
  WriteAdtg(info_, defs_, batch_, scratch_);
  const size_t size = size_t(scratch_.Size());
  target_.WriteBuffer(scratch_.Memory() + metadata_size_, int64_t(size - metadata_size_ - 1));
  written_ += batch_.Rows().size();
  batch_.Clear();
}

void AdtgStreamWriter::Finish() {
  if (finished_) return;
  WriteBatch();
  if (written_ != announced_)
    throw EAdoError(Format("An ADTG image announced %u rows but %llu were written", announced_,
                           static_cast<unsigned long long>(written_)));
  const uint8_t done = 0x0F;
  target_.WriteBuffer(&done, 1);
  finished_ = true;
}

}  // namespace qorvin::ado
