// TROBinaryMemoryStream: the memory stream in which binary parameters (dataset blobs) travel.
//
// It is an ordinary TMemoryStream (read, write, seek, size, copy) whose capacity grows in steps of
// 8192 bytes, plus helpers that move its whole content to and from a byte string. Not
// thread-safe; one owner at a time (a binary value read from a message belongs to the receiver).
#pragma once

#include <string>
#include <string_view>

#include "platform/rtl/Stream.h"

namespace qorvin {

class TROBinaryMemoryStream : public TMemoryStream {
 public:
  TROBinaryMemoryStream() = default;
  // Holds exactly `bytes`, positioned at 0.
  explicit TROBinaryMemoryStream(std::string_view bytes);

  // Size := length of `bytes`, the bytes copied, position 0.
  void LoadFromString(std::string_view bytes);
  // All bytes from offset 0; the position ends at the end of the stream.
  std::string ToString();
};

}  // namespace qorvin
