// TROBinMessage: the binary message — a 28-byte header followed by an optionally compressed body.
//
// Header (28 bytes):
//
//   offset size field        content
//   0      5    Signature    "RO107" ("roroc" marks an encrypting peer; never written)
//   5      1    Flags        bit 0: body compressed (zlib, RFC 1950); other bits 0, ignored
//   6      1    MessageKind  0 message, 1 exception, 2 event
//   7      5    Reserved     zero, ignored on reading
//   12     16   ClientID     GUID memory layout (Data1 LE32, Data2 LE16, Data3 LE16, Data4)
//
// Body of kinds 0 and 2: InterfaceName, MessageName (int32 count + UTF-8 each), then the
// parameters in the serializer's encodings. Body of kind 1: class name (count + UTF-8), message
// text (count + ANSI bytes), then — for EROException descendants — the object body.
//
// Ownership: the message owns its body. ReadFromStream(unique_ptr) takes the received stream;
// whatever happens, it is freed exactly once (by the message). After an exception reply or a
// failed read the message holds no body. Not thread-safe: one call at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "messaging/uROMessage.h"

namespace qorvin {

inline constexpr char kBinSignature[] = "RO107";
inline constexpr char kBinEncryptedSignature[] = "roroc";
inline constexpr int kBinHeaderSize = 28;
inline constexpr uint8_t kBinFlagCompressed = 0x01;
inline constexpr uint8_t kBinKindMessage = 0;
inline constexpr uint8_t kBinKindException = 1;
inline constexpr uint8_t kBinKindEvent = 2;
// Longest InterfaceName, MessageName and exception class name accepted on reading (bytes).
inline constexpr int32_t kMaxNameLength = 256;
// Longest server exception text accepted on reading (bytes).
inline constexpr int32_t kMaxExceptionTextLength = 65536;
// How many bytes of a rejected stream the invalid-header texts show.
inline constexpr int kInvalidStreamDumpLength = 500;

// (OriginalSize, CompressedSize, CompressionTime); sizes in bytes, time always 0.
using TROCompressionEvent =
    std::function<void(int64_t originalSize, int64_t compressedSize, int64_t compressionTime)>;

class TROBinMessage : public TROMessage {
 public:
  // UseCompression true, MinSizeForCompression 4096, CompressionBufferSize 262144.
  explicit TROBinMessage(TROComponent* owner = nullptr, std::string name = {});
  ~TROBinMessage() override;

  const char* ClassName() const override { return "TROBinMessage"; }

  // Starts a new outgoing message: OnInitializeMessage, names stored, HTTP attributes, a new
  // owned body holding InterfaceName and MessageName. `kind`: 0 request, 1 response, 4 event.
  void InitializeMessage(IROTransport* transport, const std::string& interfaceName,
                         const std::string& messageName, uint8_t kind) override;
  using TROMessage::InitializeMessage;

  // Appends header and body (compressed when UseCompression and size >= MinSizeForCompression)
  // to `stream` at its position, then OnWriteToStream and the outgoing envelopes.
  void WriteToStream(TStream& stream) override;
  // Copying form: the body becomes a copy of `stream`.
  void ReadFromStream(TStream& stream) override;
  // Taking form (the channel's): see the ownership note above.
  void ReadFromStream(std::unique_ptr<TStream> stream) override;
  // Server side: writes an exception reply (kind 1) for `e` into `stream`.
  void WriteException(TStream& stream, const std::exception& e) override;
  void ReleaseBody() override;

  // Reads class name and text from the body at its position and rebuilds the exception from the
  // exception class registry (EROUnregisteredServerException for unknown names), with its
  // published properties. Does not raise it.
  std::unique_ptr<EROException> ReadException();

  void Assign(const TROMessage* source) override;

  // The current body (null when there is none).
  TStream* Body() const { return body_.get(); }
  uint8_t MessageKind() const { return message_kind_; }
  // Whether the last message read had its compressed flag set.
  bool LastReadCompressed() const { return last_read_compressed_; }

  bool UseCompression = true;
  int32_t MinSizeForCompression = 4096;
  // The zlib level of a compressed body: -1 (the default) is zlib's default level, 1..9 that
  // level. Any level gives a stream every peer inflates.
  int CompressionLevel = -1;
  // A compressor of its own for a body held in memory, used in place of zlib's level
  // CompressionLevel: appends one zlib stream of `body` to `target` and returns true, or returns
  // false having written nothing (zlib then compresses). Not stored or copied by Assign.
  std::function<bool(std::span<const unsigned char> body, TStream& target)> BodyDeflater;
  // Stored and copied by Assign; the compressor streams in fixed 32 768-byte pieces.
  int32_t CompressionBufferSize = 262144;
  // Upper bound of an inflated body; a compressed body that inflates further fails with
  // EZCompressionError (a small reply must never inflate to gigabytes). 0, the default: the
  // calling thread's inflation budget (InflateBudget(), 256 MiB unless a scope sets another).
  int64_t MaxDecompressedSize = 0;
  TROCompressionEvent OnCompress;
  TROCompressionEvent OnDecompress;

 protected:
  std::unique_ptr<TROMessage> CreateInstance() const override;
  bool IsAssignableFrom(const TROMessage& source) const override {
    return dynamic_cast<const TROBinMessage*>(&source) != nullptr;
  }

 private:
  void SetBody(std::unique_ptr<TStream> body);
  void WriteHeaderAndBody(TStream& stream, uint8_t headerKind);
  // Reads and checks the header; returns (flags, kind).
  std::pair<uint8_t, uint8_t> ReadHeader(TStream& stream);
  // Reads a whole received message from `stream`; `owned` is null in the copying form and holds
  // `stream` itself in the taking form.
  void ReadBody(TStream& stream, std::unique_ptr<TStream> owned);
  void RaiseServerException();

  std::unique_ptr<TStream> body_;
  uint8_t message_kind_ = kMessageKindRequest;
  bool last_read_compressed_ = false;
};

// Reads a name or text written as int32 count + bytes: EROException "Unexpected end of stream."
// when fewer than 4 bytes remain for the count or fewer than count bytes for the text;
// "Stream read error: Invalid string length \"%d\"" when the count exceeds `maxLength`. A count
// <= 0 reads as "".
std::string ReadMessageString(TStream& stream, int32_t maxLength);
void WriteMessageString(TStream& stream, const std::string& bytes);

}  // namespace qorvin
