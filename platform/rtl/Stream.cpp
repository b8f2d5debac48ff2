#include "platform/rtl/Stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/StepBlocks.h"

namespace qorvin {

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count <= 0) return;
  if (Read(buffer, count) != count) throw EReadError(std::string(kStreamReadError));
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count <= 0) return;
  if (Write(buffer, count) != count) throw EWriteError(std::string(kStreamWriteError));
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  // A source in memory is copied in one step, without an intermediate buffer.
  if (const auto bytes = source.InMemory(); bytes.data() != nullptr) {
    const int64_t pos = source.Position();
    if (count > int64_t(bytes.size()) - pos) throw EReadError(std::string(kStreamReadError));
    WriteBuffer(bytes.data() + pos, count);
    source.SetPosition(pos + count);
    return count;
  }
  constexpr int64_t kPiece = 61440;
  auto buffer = std::make_unique<unsigned char[]>(size_t(std::min(count, kPiece)));
  int64_t left = count;
  while (left > 0) {
    const int64_t n = std::min(left, kPiece);
    source.ReadBuffer(buffer.get(), n);
    WriteBuffer(buffer.get(), n);
    left -= n;
  }
  return count;
}

void TMemoryStream::Release() {
  static_assert(kGrowthStep == int64_t(kStepBlockSize));
  if (capacity_ == kGrowthStep)
    DropStepBlock(data_);
  else
    std::free(data_);
  data_ = nullptr;
}

TMemoryStream::~TMemoryStream() {
  Release();
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || position_ >= size_) return 0;
  const int64_t n = std::min(count, size_ - position_);
  std::memcpy(buffer, data_ + position_, size_t(n));
  position_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const int64_t end = position_ + count;
  if (end > capacity_) Grow(end);
  if (position_ > size_) std::memset(data_ + size_, 0, size_t(position_ - size_));
  std::memcpy(data_ + position_, buffer, size_t(count));
  position_ = end;
  if (end > size_) size_ = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, SeekOrigin origin) {
  int64_t base = 0;
  switch (origin) {
    case SeekOrigin::Beginning:
      base = 0;
      break;
    case SeekOrigin::Current:
      base = position_;
      break;
    case SeekOrigin::End:
      base = size_;
      break;
  }
  const int64_t target = base + offset;
  if (target < 0) throw EStreamError("Stream seek error");
  position_ = target;
  return position_;
}

int64_t TBytesViewStream::Read(void* buffer, int64_t count) {
  const int64_t n =
      std::clamp<int64_t>(int64_t(bytes_.size()) - position_, 0, std::max<int64_t>(count, 0));
  if (n > 0) std::memcpy(buffer, bytes_.data() + position_, size_t(n));
  position_ += n;
  return n;
}

int64_t TBytesViewStream::Write(const void*, int64_t) {
  throw EWriteError(std::string(kStreamWriteError));
}

int64_t TBytesViewStream::Seek(int64_t offset, SeekOrigin origin) {
  const int64_t base = origin == SeekOrigin::Beginning ? 0
                       : origin == SeekOrigin::Current ? position_
                                                       : int64_t(bytes_.size());
  if (base + offset < 0) throw EStreamError("Stream seek error");
  position_ = base + offset;
  return position_;
}

void TBytesViewStream::SetSize(int64_t) {
  throw EWriteError(std::string(kStreamWriteError));
}

void TMemoryStream::SetSize(int64_t size) {
  if (size < 0) throw EStreamError("Stream size error");
  if (size > capacity_) Grow(size);
  if (size > size_) std::memset(data_ + size_, 0, size_t(size - size_));
  size_ = size;
  if (position_ > size_) position_ = size_;
}

void TMemoryStream::Clear() {
  Release();
  size_ = position_ = capacity_ = 0;
}

void TMemoryStream::TakeFrom(TMemoryStream& source, int64_t count) {
  const int64_t remaining = source.size_ - source.position_;
  if (count < 0 || count > remaining || &source == this)
    throw EReadError(std::string(kStreamReadError));
  const int64_t after = remaining - count;
  if (count < (int64_t(64) << 10) || after > count / 8) {
    Clear();
    Reserve(count);
    CopyFrom(source, count);
    SetPosition(0);
    return;
  }
  unsigned char* rest = nullptr;
  if (after > 0) {
    rest = static_cast<unsigned char*>(std::malloc(size_t(after)));
    if (rest == nullptr) throw std::bad_alloc();
    std::memcpy(rest, source.data_ + source.position_ + count, size_t(after));
  }
  std::memmove(source.data_, source.data_ + source.position_, size_t(count));
  Clear();
  data_ = source.data_;
  size_ = count;
  capacity_ = source.capacity_;
  source.data_ = rest;
  source.size_ = source.capacity_ = after;
  source.position_ = 0;
}

void TMemoryStream::Reserve(int64_t capacity) {
  if (capacity > capacity_) Grow(capacity);
}

unsigned char* TMemoryStream::RoomAtEnd(int64_t count) {
  Reserve(size_ + std::max<int64_t>(count, 0));
  return data_ + size_;
}

void TMemoryStream::Appended(int64_t count) {
  if (count < 0 || count > capacity_ - size_) throw EStreamError("Stream size error");
  size_ += count;
  position_ = size_;
}

void TMemoryStream::Grow(int64_t needed) {
  int64_t target = std::max(needed, capacity_ + capacity_ / 4);
  target = (target + kGrowthStep - 1) / kGrowthStep * kGrowthStep;
  if (data_ == nullptr && target == kGrowthStep) {
    if (void* kept = TakeStepBlock()) {
      data_ = static_cast<unsigned char*>(kept);
      capacity_ = target;
      return;
    }
  }
  void* grown = std::realloc(data_, size_t(target));
  if (grown == nullptr) throw std::bad_alloc();
  data_ = static_cast<unsigned char*>(grown);
  capacity_ = target;
}

void TMemoryStream::LoadFromStream(TStream& source) {
  source.SetPosition(0);
  const int64_t n = source.Size();
  SetSize(n);
  position_ = 0;
  source.ReadBuffer(data_, n);
}

void TMemoryStream::Swap(TMemoryStream& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  std::swap(position_, other.position_);
  std::swap(capacity_, other.capacity_);
}

void TMemoryStream::SaveToStream(TStream& target) const {
  target.WriteBuffer(data_, size_);
}

}  // namespace qorvin
