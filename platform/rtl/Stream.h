// Byte streams with the position/size semantics the system's algorithms are written against.
//
// A stream has a size and a position in [0, size] (a seek past the end is allowed; the next
// write fills the gap with zero bytes). `Read` may return fewer bytes than asked for (at the end);
// `ReadBuffer` fails with EReadError "Stream read error" unless every byte is available, and
// `WriteBuffer` with EWriteError "Stream write error". Sizes and positions are 64-bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace qorvin {

enum class SeekOrigin { Beginning, Current, End };

class TStream {
 public:
  virtual ~TStream() = default;
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  // Reads up to `count` bytes at the position; returns how many were read (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes `count` bytes at the position, growing the stream as needed; returns bytes written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position; returns the new position. A negative result fails with EStreamError.
  virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;
  virtual int64_t Size() const = 0;
  // Sets the size; the position is clipped to the new size.
  virtual void SetSize(int64_t size) = 0;

  // The whole content when it lies in one block of memory (valid until the stream changes), so
  // that it can be read in place; else an empty span with a null data pointer.
  virtual std::span<const unsigned char> InMemory() const { return {}; }

  int64_t Position() const { return const_cast<TStream*>(this)->Seek(0, SeekOrigin::Current); }
  void SetPosition(int64_t position) { Seek(position, SeekOrigin::Beginning); }
  int64_t Remaining() const { return Size() - Position(); }

  // Exactly `count` bytes or EReadError "Stream read error" (the position then stands after the
  // bytes that could be read).
  void ReadBuffer(void* buffer, int64_t count);
  // Exactly `count` bytes or EWriteError "Stream write error".
  void WriteBuffer(const void* buffer, int64_t count);
  void WriteBytes(std::string_view bytes) { WriteBuffer(bytes.data(), int64_t(bytes.size())); }

  // Copies `count` bytes from `source`'s position into this stream. A count of 0 copies the
  // whole of `source` from offset 0 (the platform's convention). Returns the bytes copied;
  // fails with EReadError when `source` holds fewer.
  int64_t CopyFrom(TStream& source, int64_t count);

  // Little-endian helpers for fixed-width values (the wire order of every message value).
  template <typename T>
  void WriteLE(T value) {
    unsigned char bytes[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); ++i)
      bytes[i] = static_cast<unsigned char>(uint64_t(value) >> (8 * i));
    WriteBuffer(bytes, sizeof(T));
  }
  template <typename T>
  T ReadLE() {
    unsigned char bytes[sizeof(T)];
    ReadBuffer(bytes, sizeof(T));
    uint64_t v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v |= uint64_t(bytes[i]) << (8 * i);
    return static_cast<T>(v);
  }
};

// A stream over one contiguous block of memory that it owns.
//
// Capacity grows to a multiple of `GrowthStep()` bytes (8192), and at least by a quarter of the
// current capacity, so that a stream filled piece by piece is copied O(log n) times, not O(n).
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  ~TMemoryStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() const override { return size_; }
  void SetSize(int64_t size) override;

  // Empties the stream and releases its memory.
  void Clear();
  // Reserves room for `capacity` bytes without changing the size.
  void Reserve(int64_t capacity);
  // Room for `count` bytes past the end, to be written in place (valid until the next change);
  // Appended(n) then makes the first n of them content and moves the position past them.
  unsigned char* RoomAtEnd(int64_t count);
  void Appended(int64_t count);
  int64_t Capacity() const { return capacity_; }

  // The bytes of the stream; valid until the next write, resize or clear.
  unsigned char* Memory() { return data_; }
  const unsigned char* Memory() const { return data_; }
  std::span<const unsigned char> Bytes() const { return {data_, size_t(size_)}; }
  std::span<const unsigned char> InMemory() const override { return Bytes(); }
  std::string_view View() const { return {reinterpret_cast<const char*>(data_), size_t(size_)}; }

  // Replaces the content with the `count` bytes at `source`'s position, positioned at 0, and
  // moves `source` past them. When those bytes are most of `source` (at least 64 KiB, with at
  // most an eighth as much after them), this stream takes `source`'s memory instead of copying
  // it, so that a large value read from a buffer is never held twice: `source` then keeps only
  // the bytes after them, as a new block at position 0 (its earlier bytes are gone; later reads
  // see the same bytes as before). EReadError "Stream read error" when fewer bytes remain, with
  // both streams unchanged.
  void TakeFrom(TMemoryStream& source, int64_t count);

  // Replaces the content with all of `source` (from offset 0); position 0.
  void LoadFromStream(TStream& source);
  // Exchanges content, size, position and memory with `other`, copying nothing.
  void Swap(TMemoryStream& other) noexcept;
  // Writes the whole content to `target` at its position.
  void SaveToStream(TStream& target) const;

 protected:
  static constexpr int64_t kGrowthStep = 8192;

 private:
  void Grow(int64_t needed);
  // Frees the block (or keeps it for this thread's next stream); data_ becomes nullptr.
  void Release();

  unsigned char* data_ = nullptr;
  int64_t size_ = 0;
  int64_t position_ = 0;
  int64_t capacity_ = 0;
};

// Reads bytes that it does not own, in place: they must outlive it and stay unchanged. Writes
// and size changes fail with EWriteError "Stream write error".
class TBytesViewStream : public TStream {
 public:
  explicit TBytesViewStream(std::span<const unsigned char> bytes) : bytes_(bytes) {}
  explicit TBytesViewStream(std::string_view bytes)
      : bytes_(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) {}

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() const override { return int64_t(bytes_.size()); }
  void SetSize(int64_t size) override;
  std::span<const unsigned char> InMemory() const override { return bytes_; }

 private:
  std::span<const unsigned char> bytes_;
  int64_t position_ = 0;
};

}  // namespace qorvin
