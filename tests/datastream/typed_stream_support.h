// Helpers for the typed value stream tests: hex text, and deflating / inflating whole images so
// that tests can state the encoded bytes before compression.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "datastream/uAdoParamsStream.h"
#include "platform/rtl/Stream.h"
#include "platform/zlib/ZStream.h"

namespace qorvin::test {

// "0C 00 03" -> bytes; spaces are ignored.
inline std::string Hex(const std::string& text) {
  std::string out;
  int high = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else {
      continue;
    }
    if (high < 0) {
      high = v;
    } else {
      out += char(high * 16 + v);
      high = -1;
    }
  }
  return out;
}

inline std::string ToHex(const std::string& bytes) {
  static const char* kDigits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// The zlib image of `plain` at zlib level 1.
inline std::string Deflate(const std::string& plain) {
  TMemoryStream in, out;
  in.WriteBytes(plain);
  in.SetPosition(0);
  ZCompress(in, -1, out, 1);
  return std::string(out.View());
}

inline std::string Inflate(const std::string& image) {
  TMemoryStream in, out;
  in.WriteBytes(image);
  in.SetPosition(0);
  ZDecompress(in, out);
  return std::string(out.View());
}

// Runs `write` on a fresh writer (level 1) and returns the inflated bytes it produced.
inline std::string Encode(const std::function<void(TWAStreamWriter&)>& write) {
  TWAStreamWriter writer(1);
  write(writer);
  TMemoryStream image;
  writer.SaveToStream(&image);
  return Inflate(std::string(image.View()));
}

// A reader loaded with the zlib image of `plain`.
inline void Load(TWAStreamReader& reader, const std::string& plain) {
  TMemoryStream image;
  image.WriteBytes(Deflate(plain));
  image.SetPosition(0);
  reader.LoadFromStream(&image);
}

}  // namespace qorvin::test
