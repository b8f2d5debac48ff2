#include "platform/dataset/DataPacketBuilder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "platform/rtl/OsServices.h"

namespace qorvin {

TPacketBlock::TPacketBlock(TPacketBlock&& other) noexcept
    : bytes_(other.bytes_), size_(other.size_) {
  other.bytes_ = nullptr;
  other.size_ = 0;
}

TPacketBlock& TPacketBlock::operator=(TPacketBlock&& other) noexcept {
  if (this != &other) {
    std::free(bytes_);
    bytes_ = other.bytes_;
    size_ = other.size_;
    other.bytes_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

TPacketBlock::~TPacketBlock() {
  std::free(bytes_);
}

uint8_t* TPacketBlock::Release() {
  uint8_t* bytes = bytes_;
  bytes_ = nullptr;
  size_ = 0;
  return bytes;
}

namespace {

// The row count as the header states it: what EncodeDataPacket would write for this many rows
// (refused past 2^31 - 1 when the header is made).
int64_t HeaderRows(int64_t rows) {
  return std::clamp<int64_t>(rows, 0, std::numeric_limits<int32_t>::max());
}

// Rows read before the packet's size is estimated from them.
constexpr int64_t kRowsForEstimate = 256;

// A packet this large has a mapping of its own (the allocator maps every block of 32 MiB or
// more by itself) and is written once, in order: it is worth large pages.
constexpr size_t kLargeBuffer = size_t(32) << 20;

}  // namespace

TDataPacketBuilder::TDataPacketBuilder(const TClientFieldDefs& fields, int64_t expectedRows)
    : fields_(fields), mapBytes_((fields.size() + 7) / 8), expectedRows_(HeaderRows(expectedRows)) {
  for (const TClientFieldDef& def : fields_) classes_.push_back(ValueClassOf(def.dataType));
  std::vector<uint8_t> header;
  AppendDataPacketHeader(header, fields_, expectedRows_);
  headerSize_ = header.size();
  Append(header.data(), header.size());
}

TDataPacketBuilder::~TDataPacketBuilder() {
  prefaulter_.reset();
  std::free(out_);
}

// Growth, in order: what is asked for; half again the capacity (realloc moves large blocks by
// remapping them, so the packet is never held twice while it grows); and, once some rows are in,
// room for every row the header announces at the size of those rows, so that a large packet is
// allocated about once. The count comes from the wire, so that estimate is trusted only up to
// twice what is already held: a count far above the rows that come costs at most about twice
// the packet (and the faulted-in pages of that), never the count's gigabytes. Finish gives back
// what was not used.
void TDataPacketBuilder::Reserve(size_t more) {
  if (capacity_ - size_ >= more) return;
  if (more > std::numeric_limits<size_t>::max() / 2 - size_) throw std::bad_alloc();
  size_t wanted = std::max(size_ + more, capacity_ + capacity_ / 2 + 4096);
  if (rows_ >= kRowsForEstimate && expectedRows_ > rows_) {
    const double perRow = double(size_ - headerSize_) / double(rows_);
    const double estimate = double(size_) + perRow * double(expectedRows_ - rows_) * 1.0625;
    const double bound =
        std::min(double(size_) * 2.0, double(std::numeric_limits<size_t>::max() / 4));
    wanted = std::max(wanted, size_t(std::min(estimate, bound)));
  }
  prefaulter_.reset();
  auto* grown = static_cast<uint8_t*>(std::realloc(out_, wanted));
  if (grown == nullptr) throw std::bad_alloc();
  out_ = grown;
  capacity_ = wanted;
  if (wanted >= kLargeBuffer) {
    AdviseLargeBuffer(out_, capacity_);
    // Clearing the fresh pages costs about as much as writing the rows into them: another
    // core does it while the rows are decoded.
    prefaulter_.emplace(out_ + size_, capacity_ - size_);
  }
}

void TDataPacketBuilder::Append(const void* bytes, size_t size) {
  Reserve(size);
  if (size > 0) std::memcpy(out_ + size_, bytes, size);
  size_ += size;
}

void TDataPacketBuilder::VarUInt(uint64_t v) {
  if (v > uint64_t(std::numeric_limits<int32_t>::max()))
    throw EDatabaseError(
        Format("A count of %llu does not fit a data packet", static_cast<unsigned long long>(v)));
  uint8_t bytes[5];
  size_t n = 0;
  while (v >= 128) {
    bytes[n++] = uint8_t((v & 127) | 128);
    v >>= 7;
  }
  bytes[n++] = uint8_t(v);
  Append(bytes, n);
}

void TDataPacketBuilder::BeginRow() {
  Reserve(mapBytes_);
  mapAt_ = size_;
  std::memset(out_ + size_, 0, mapBytes_);
  size_ += mapBytes_;
  ++rows_;
}

void TDataPacketBuilder::Counted(const void* bytes, size_t size) {
  VarUInt(size);
  Append(bytes, size);
}

void TDataPacketBuilder::Wide(const void* littleEndianUnits, size_t size) {
  VarUInt(size / 2);
  Append(littleEndianUnits, size);
}

void TDataPacketBuilder::Value(int field, const Variant& value) {
  const TValueClass cls = classes_[size_t(field)];
  Variant converted;
  const Variant* v = &value;
  if (!IsCanonicalFieldValue(cls, value)) {
    converted = CoerceFieldValue(fields_[size_t(field)], value);
    v = &converted;
  }
  if (v->IsNull()) {
    Null(field);
    return;
  }
  value_.clear();
  AppendDataPacketValue(value_, cls, *v);
  Append(value_.data(), value_.size());
}

TPacketBlock TDataPacketBuilder::Finish() {
  prefaulter_.reset();
  if (fields_.empty()) rows_ = 0;
  if (rows_ != expectedRows_) {
    // The header again with the true count; the rows move when its length changes.
    std::vector<uint8_t> header;
    AppendDataPacketHeader(header, fields_, rows_);
    const size_t rowBytes = size_ - headerSize_;
    if (header.size() > headerSize_) Reserve(header.size() - headerSize_);
    std::memmove(out_ + header.size(), out_ + headerSize_, rowBytes);
    std::memcpy(out_, header.data(), header.size());
    size_ = header.size() + rowBytes;
    headerSize_ = header.size();
    expectedRows_ = rows_;
  }
  // Gives back the unused tail (in place for a large block).
  if (capacity_ > size_ && size_ > 0) {
    if (auto* fitted = static_cast<uint8_t*>(std::realloc(out_, size_))) {
      out_ = fitted;
      capacity_ = size_;
    }
  }
  TPacketBlock block(out_, size_);
  out_ = nullptr;
  size_ = capacity_ = 0;
  return block;
}

}  // namespace qorvin
