// Hand-written reading and writing of binary messages for the tests' stand-in server. It shares
// no code with the message or the serializer, so that a fault there cannot hide itself.
//
// Layout it knows (all integers little-endian):
//   header   "RO107" | flags u8 | kind u8 | 5 zero bytes | ClientID 16 bytes
//   names    InterfaceName, MessageName: i32 count + bytes
//   String   i32 count + bytes        WideString  i32 code units + 2 bytes each (UTF-16LE)
//   Integer  4 bytes                  Boolean     4 bytes (0 or 1)
//   TDateTime 8-byte IEEE double      binary      u8 present (0/1) [+ i32 count + bytes]
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qorvin::test {

// Reads values from a request; every read fails with std::runtime_error past the end.
class WireReader {
 public:
  explicit WireReader(std::string_view bytes) : bytes_(bytes) {}

  uint8_t U8();
  int32_t I32();
  double F64();
  std::string Raw(size_t count);
  std::string String();
  std::u16string WideString();
  bool Boolean();
  // nullopt for an absent stream.
  std::optional<std::string> Binary();
  size_t Remaining() const { return bytes_.size() - pos_; }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
};

// A decoded request: header fields and names; `values` stands on the first parameter.
struct WireRequest {
  uint8_t flags = 0;
  uint8_t kind = 0;
  std::string reserved;
  std::string clientId;  // 16 bytes, memory layout
  std::string interfaceName;
  std::string messageName;
  WireReader values{""};
};

// Fails with std::runtime_error when the bytes are not an uncompressed "RO107" message.
WireRequest DecodeRequest(std::string_view bytes);

// Builds reply bytes: header of kind 0 with `clientId`, the names, then the values appended.
class WireReply {
 public:
  WireReply(const std::string& clientId, const std::string& interfaceName,
            const std::string& messageName);

  WireReply& Integer(int32_t value);
  WireReply& Boolean(bool value);
  WireReply& DateTime(double value);
  WireReply& String(std::string_view value);
  WireReply& Binary(std::optional<std::string_view> value);
  std::string Bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// An exception reply (kind 1): class name and text, nothing after.
std::string WireExceptionReply(const std::string& clientId, std::string_view className,
                               std::string_view text);

// Little-endian pieces for literal expectations.
std::string LE32(int32_t value);
std::string Counted(std::string_view bytes);

}  // namespace qorvin::test
