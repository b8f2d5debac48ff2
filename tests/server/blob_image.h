// What a dataset blob holds, whatever bytes its compressor chose: the record-set section
// inflated, checked against the trailer that states the section's length.
#pragma once

#include <cstdint>
#include <string>

#include "platform/rtl/Stream.h"
#include "platform/zlib/ZStream.h"

namespace qorvin::server::test {

// The inflated image, or a text that says what is wrong with the blob.
inline std::string BlobImage(const std::string& blob) {
  if (blob.size() < 8) return "short blob";
  int64_t section = 0;
  for (int i = 7; i >= 0; --i) section = section << 8 | uint8_t(blob[blob.size() - 8 + size_t(i)]);
  if (section != int64_t(blob.size()) - 8) return "trailer does not match";
  TMemoryStream in, out;
  in.WriteBytes(std::string_view(blob).substr(0, blob.size() - 8));
  in.SetPosition(0);
  ZDecompress(in, out);
  if (in.Position() != in.Size()) return "bytes after the zlib stream";
  return std::string(out.View());
}

}  // namespace qorvin::server::test
