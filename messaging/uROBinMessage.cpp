#include "messaging/uROBinMessage.h"

#include <array>
#include <cstring>

#include "messaging/uROClasses.h"
#include "platform/rtl/Exceptions.h"
#include "platform/zlib/ZStream.h"

namespace qorvin {

namespace {

// Texts of a rejected header, followed by "\r\r" and a dump of the stream's first bytes.
constexpr char kEncryptedPeerText[] =
    "Invalid binary header. It seems that encryption is active on the other side of the "
    "communication, but not locally?";
constexpr char kNotBinaryText[] =
    "Invalid binary header. Either incompatible or not a binary message.";

// The first 500 bytes of `stream` from offset 0 (all when shorter); every byte other than
// carriage return and 32..127 shown as '.'.
std::string DumpStart(TStream& stream) {
  stream.SetPosition(0);
  std::string bytes(size_t(std::min<int64_t>(stream.Size(), kInvalidStreamDumpLength)), '\0');
  bytes.resize(size_t(stream.Read(bytes.data(), int64_t(bytes.size()))));
  for (char& c : bytes) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b != 13 && (b < 32 || b > 127)) c = '.';
  }
  return bytes;
}

}  // namespace

// Name or text: int32 count n, then n bytes (nothing when n <= 0).
void WriteMessageString(TStream& stream, const std::string& bytes) {
  if (bytes.size() > size_t(INT32_MAX)) throw EWriteError(std::string(kStreamWriteError));
  stream.WriteLE(int32_t(bytes.size()));
  stream.WriteBytes(bytes);
}

std::string ReadMessageString(TStream& stream, int32_t maxLength) {
  unsigned char count[4];
  if (stream.Read(count, 4) != 4) throw EROException("Unexpected end of stream.");
  const int32_t n = int32_t(uint32_t(count[0]) | uint32_t(count[1]) << 8 |
                            uint32_t(count[2]) << 16 | uint32_t(count[3]) << 24);
  if (n > maxLength)
    throw EROException(Format("Stream read error: Invalid string length \"%d\"", n));
  if (n <= 0) return {};
  std::string bytes(size_t(n), '\0');
  if (stream.Read(bytes.data(), n) != n) throw EROException("Unexpected end of stream.");
  return bytes;
}

TROBinMessage::TROBinMessage(TROComponent* owner, std::string name)
    : TROMessage(owner, std::move(name)) {}

TROBinMessage::~TROBinMessage() {
  MarkDestroying();
}

std::unique_ptr<TROMessage> TROBinMessage::CreateInstance() const {
  return std::make_unique<TROBinMessage>();
}

void TROBinMessage::SetBody(std::unique_ptr<TStream> body) {
  StreamSerializer().SetStream(nullptr);
  body_ = std::move(body);
  StreamSerializer().SetStream(body_.get());
}

void TROBinMessage::ReleaseBody() {
  SetBody(nullptr);
}

void TROBinMessage::InitializeMessage(IROTransport* transport, const std::string& interfaceName,
                                      const std::string& messageName, uint8_t kind) {
  if (OnInitializeMessage) OnInitializeMessage(*this, transport, interfaceName, messageName);
  StoreNames(interfaceName, messageName);
  SetHTTPInfo(transport);
  SetBody(std::make_unique<TMemoryStream>());
  message_kind_ = kind;
  WriteMessageString(*body_, interfaceName);
  WriteMessageString(*body_, messageName);
}

// Header, 28 bytes:
//   offset size field        content
//   0      5    Signature    "RO107"
//   5      1    Flags        bit 0 = body compressed
//   6      1    MessageKind  0 message, 1 exception, 2 event
//   7      5    Reserved     zero
//   12     16   ClientID     Data1 LE32, Data2 LE16, Data3 LE16, Data4[8]
// followed by the body, as is or as one zlib stream (default level).
void TROBinMessage::WriteHeaderAndBody(TStream& stream, uint8_t headerKind) {
  const int64_t size = body_ ? body_->Size() : 0;
  const bool compressed = UseCompression && size >= int64_t(MinSizeForCompression);
  std::array<uint8_t, kBinHeaderSize> header{};
  std::memcpy(header.data(), kBinSignature, 5);
  header[5] = compressed ? kBinFlagCompressed : 0;
  header[6] = headerKind;
  const std::array<uint8_t, 16> id = GetClientID().ToBytes();
  std::memcpy(header.data() + 12, id.data(), 16);
  stream.WriteBuffer(header.data(), kBinHeaderSize);
  if (size == 0) return;
  body_->SetPosition(0);
  if (compressed) {
    const std::span<const unsigned char> held = body_->InMemory();
    if (!BodyDeflater || held.size() != size_t(size) || !BodyDeflater(held, stream))
      ZCompress(*body_, -1, stream,
                CompressionLevel >= 1 && CompressionLevel <= 9 ? CompressionLevel
                                                               : ZLibLevel(ZLevel::Default));
    if (OnCompress) OnCompress(size, stream.Size(), 0);
  } else {
    stream.CopyFrom(*body_, size);
  }
}

void TROBinMessage::WriteToStream(TStream& stream) {
  WriteHeaderAndBody(stream, message_kind_ == kMessageKindEvent ? kBinKindEvent : kBinKindMessage);
  if (OnWriteToStream) {
    stream.SetPosition(0);
    OnWriteToStream(stream);
  }
  stream.SetPosition(0);
  ProcessOutgoingEnvelopes(stream);
}

void TROBinMessage::WriteException(TStream& stream, const std::exception& e) {
  if (OnWriteException) OnWriteException(*this, stream, e);
  if (OnWriteToStream) {
    stream.SetPosition(0);
    OnWriteToStream(stream);
  }
  stream.SetPosition(0);
  SetBody(std::make_unique<TMemoryStream>());
  const auto* base = dynamic_cast<const Exception*>(&e);
  WriteMessageString(*body_, base ? base->ClassName() : "Exception");
  WriteMessageString(*body_, e.what());
  if (const auto* ro = dynamic_cast<const EROException*>(&e)) {
    TROStreamSerializer serializer(body_.get());
    serializer.WriteException("ROException", ro);
  }
  WriteHeaderAndBody(stream, kBinKindException);
}

std::pair<uint8_t, uint8_t> TROBinMessage::ReadHeader(TStream& stream) {
  std::array<uint8_t, kBinHeaderSize> header{};
  stream.ReadBuffer(header.data(), kBinHeaderSize);
  if (std::memcmp(header.data(), kBinSignature, 5) != 0) {
    const bool encrypted = std::memcmp(header.data(), kBinEncryptedSignature, 5) == 0;
    throw EROInvalidStream(std::string(encrypted ? kEncryptedPeerText : kNotBinaryText) + "\r\r" +
                           DumpStart(stream));
  }
  SetClientID(TGUID::FromBytes(header.data() + 12));
  return {header[5], header[6]};
}

void TROBinMessage::ReadFromStream(TStream& stream) {
  ReadBody(stream, nullptr);
}

void TROBinMessage::ReadFromStream(std::unique_ptr<TStream> stream) {
  if (!stream) throw EROException("No stream to read the message from");
  TStream& s = *stream;
  ReadBody(s, std::move(stream));
}

void TROBinMessage::ReadBody(TStream& stream, std::unique_ptr<TStream> owned) {
  try {
    ProcessIncomingEnvelopes(stream);
    if (OnReadFromStream) {
      OnReadFromStream(stream);
      stream.SetPosition(0);
    }
    SetBody(nullptr);
    const auto [flags, kind] = ReadHeader(stream);
    last_read_compressed_ = (flags & kBinFlagCompressed) != 0;
    if (last_read_compressed_) {
      auto body = std::make_unique<TMemoryStream>();
      ZInflateWithinBudget(stream, *body,
                           MaxDecompressedSize > 0 ? MaxDecompressedSize : InflateBudget());
      if (OnDecompress) OnDecompress(body->Size(), stream.Size(), 0);
      body->SetPosition(0);
      owned.reset();  // the received stream is no longer needed
      SetBody(std::move(body));
    } else if (owned) {
      SetBody(std::move(owned));
    } else {
      auto body = std::make_unique<TMemoryStream>();
      const int64_t position = stream.Position();
      body->LoadFromStream(stream);
      body->SetPosition(position);
      SetBody(std::move(body));
    }
    // The body is read once, in order: a large binary value may take its memory.
    StreamSerializer().SetConsumeBinaries(true);
    // What its variant arrays decode to keeps to the same budget as what it inflates to.
    StreamSerializer().SetMaxDecodedBytes(MaxDecompressedSize > 0 ? MaxDecompressedSize
                                                                  : InflateBudget());
    if (kind == kBinKindMessage || kind == kBinKindEvent) {
      std::string interfaceName = ReadMessageString(*body_, kMaxNameLength);
      std::string messageName = ReadMessageString(*body_, kMaxNameLength);
      StoreNames(interfaceName, messageName);
    } else if (kind == kBinKindException) {
      RaiseServerException();
    }
  } catch (...) {
    // A failed read leaves no body behind; `owned`, if still held, is freed on the way out.
    SetBody(nullptr);
    throw;
  }
}

std::unique_ptr<EROException> TROBinMessage::ReadException() {
  if (!body_) throw EROException("Unexpected end of stream.");
  const std::string className = ReadMessageString(*body_, kMaxNameLength);
  const std::string text = ReadMessageString(*body_, kMaxExceptionTextLength);
  const TROExceptionClass* cls = FindExceptionClass(className);
  if (cls == nullptr) cls = &UnregisteredServerExceptionClass();
  // The prefix format has one %s; the server's text is appended as is (it may hold any byte).
  const std::string prefix =
      std::string(kServerExceptionPrefixFormat, std::strlen(kServerExceptionPrefixFormat) - 2);
  std::unique_ptr<EROException> e = cls->create(AddServerExceptionPrefix ? prefix + text : text);
  StreamSerializer().ReadException("ROException", e.get());
  return e;
}

void TROBinMessage::RaiseServerException() {
  std::unique_ptr<EROException> e = ReadException();
  SetBody(nullptr);  // nothing more is read from an exception reply
  bool raise = true;
  if (OnServerException) OnServerException(e, raise);
  if (!raise || !e) return;
  const TROExceptionClass* cls = FindExceptionClass(e->ClassName());
  if (cls == nullptr && std::strcmp(e->ClassName(), "EROUnregisteredServerException") == 0)
    cls = &UnregisteredServerExceptionClass();
  if (cls != nullptr) cls->raise(*e);
  throw EROServerException(e->Message());
}

void TROBinMessage::Assign(const TROMessage* source) {
  TROMessage::Assign(source);
  const auto* bin = dynamic_cast<const TROBinMessage*>(source);
  if (bin == nullptr || bin == this) return;
  UseCompression = bin->UseCompression;
  MinSizeForCompression = bin->MinSizeForCompression;
  CompressionBufferSize = bin->CompressionBufferSize;
  MaxDecompressedSize = bin->MaxDecompressedSize;
  OnCompress = bin->OnCompress;
  OnDecompress = bin->OnDecompress;
}

}  // namespace qorvin
