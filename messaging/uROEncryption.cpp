#include "messaging/uROEncryption.h"

#include <climits>
#include <cstring>

#include "platform/crypto/BlockCipher.h"
#include "platform/crypto/CbcStream.h"
#include "platform/crypto/HexKey.h"
#include "platform/rtl/Exceptions.h"
#include "platform/zlib/ZStream.h"

namespace qorvin {

namespace {

constexpr std::string_view kSignature = "rorocks";
constexpr uint32_t kFlagCompressed = 1;
constexpr uint32_t kFlagEncrypted = 2;
constexpr uint32_t kFlagsMask = kFlagCompressed | kFlagEncrypted;
// Deflate spends at least 2 bits on every 258 output bytes (a 1-bit length code plus a 1-bit
// distance code), so n bytes of zlib stream never inflate to more than 1032 * n bytes.
constexpr int64_t kMaxInflateRatio = 1032;

std::unique_ptr<TBlockCipher> CreateCipher(uint32_t method, const TROCryptoKey& keyText) {
  CipherAlgorithm algorithm;
  switch (method) {
    case tetDES:
      algorithm = CipherAlgorithm::TripleDES;
      break;
    case tetBlowfish:
      algorithm = CipherAlgorithm::Blowfish;
      break;
    case tetTwoFish:
      algorithm = CipherAlgorithm::Twofish;
      break;
    case tetRijndael:
      algorithm = CipherAlgorithm::AES;
      break;
    default:
      throw Exception("OK, who forgot to create the cipher?");
  }
  const std::vector<uint8_t> key =
      HexKeyBytes(keyText.empty() ? kDefaultEncryptionKey : std::string_view(keyText));
  return std::make_unique<TBlockCipher>(algorithm, key);
}

// Compressed form (little-endian):
//   offset  size  content
//   0       4     count of uncompressed bytes, 32-bit signed
//   4       rest  one zlib stream (RFC 1950) of those bytes at level 9
void WriteCompressed(TStream& source, int64_t size, TStream& target) {
  target.WriteLE<int32_t>(int32_t(size));
  ZCompress(source, size, target, ZLibLevel(ZLevel::Max));
}

// Reads the compressed form from `source`'s position; the announced count is checked against
// what the remaining bytes can hold before anything is inflated, and bounds the inflation.
void ReadCompressed(TStream& source, TStream& target) {
  const int32_t count = source.ReadLE<int32_t>();
  if (count < 0)
    throw EZCompressionError(Format("Invalid uncompressed size %d in the envelope", count));
  const int64_t available = source.Size() - source.Position();
  if (int64_t(count) > available * kMaxInflateRatio)
    throw EZCompressionError(
        Format("Invalid uncompressed size %d in the envelope: %lld compressed bytes cannot hold it",
               count, (long long)available));
  const int64_t produced = ZDecompress(source, target, count);
  if (produced != count)
    throw EZCompressionError(
        Format("The envelope announced %d uncompressed bytes but its payload holds %lld", count,
               (long long)produced));
}

void CopyRest(TStream& source, TStream& target) {
  const int64_t rest = source.Size() - source.Position();
  if (rest > 0) target.CopyFrom(source, rest);
}

int64_t ReadUpTo(TStream& source, char* buffer, int64_t count) {
  int64_t got = 0;
  while (got < count) {
    const int64_t n = source.Read(buffer + got, count - got);
    if (n <= 0) break;
    got += n;
  }
  return got;
}

void CheckDistinct(const TStream& source, const TStream& dest) {
  if (&source == &dest)
    throw Exception("Encryption needs different source and destination streams");
}

// Cuts a destination that was written at its end back to its starting size unless Commit() was
// called, so that a failed step leaves no partial result behind.
class OutputGuard {
 public:
  explicit OutputGuard(TStream& stream)
      : stream_(stream), start_(stream.Position()), at_end_(start_ >= stream.Size()) {}
  ~OutputGuard() {
    if (committed_ || !at_end_) return;
    try {
      stream_.SetSize(start_);
    } catch (...) {  // already failing; the first error is the one to report
    }
  }
  OutputGuard(const OutputGuard&) = delete;
  OutputGuard& operator=(const OutputGuard&) = delete;

  int64_t Start() const { return start_; }
  bool AtEnd() const { return at_end_; }
  void Commit() { committed_ = true; }

 private:
  TStream& stream_;
  int64_t start_;
  bool at_end_;
  bool committed_ = false;
};

}  // namespace

void TROCustomEncryption::Assign(const TROCustomEncryption& source) {
  if (&source == this) return;
  method_ = source.method_;
  send_key_ = source.send_key_;
  recv_key_ = source.recv_key_;
  use_compression_ = source.use_compression_;
  on_before_encryption_ = source.on_before_encryption_;
  on_after_decryption_ = source.on_after_decryption_;
}

void TROCustomEncryption::Encrypt(TStream& source, TStream& dest) {
  CheckDistinct(source, dest);
  std::unique_ptr<TStream> replacement;  // supplied by the handler; freed on every path
  if (on_before_encryption_) {
    source.SetPosition(0);
    on_before_encryption_(*this, source, replacement);
  }
  TStream& src = replacement ? *replacement : source;
  CheckDistinct(src, dest);
  const int64_t size = src.Size();
  if (size == 0) return;
  src.SetPosition(0);
  OutputGuard guard(dest);
  if (!use_compression_ && method_ == tetNone)
    dest.CopyFrom(src, size);
  else
    Seal(src, size, dest);
  guard.Commit();
}

// Envelope layout (little-endian):
//   offset  size  content
//   0       7     "rorocks" (ASCII)
//   7       4     flags, 32-bit: bit 0 = payload compressed, bit 1 = payload encrypted
//   11      4     TROEncryptionMethod, 32-bit; present only when bit 1 is set
//   11|15   rest  payload: the compressed form (WriteCompressed) or the source bytes; when bit 1
//                 is set, that text encrypted with the method's cipher (CbcStream.h layout)
void TROCustomEncryption::Seal(TStream& source, int64_t size, TStream& dest) const {
  const bool encrypt = method_ != tetNone;
  // Everything that can be refused is refused before the first byte is written.
  std::unique_ptr<TBlockCipher> cipher;
  if (encrypt) cipher = CreateCipher(method_, send_key_);
  if (use_compression_ && size > INT32_MAX)
    throw Exception(
        Format("A stream of %lld bytes is too large for a compressed envelope", (long long)size));

  dest.WriteBytes(kSignature);
  dest.WriteLE<uint32_t>((use_compression_ ? kFlagCompressed : 0) | (encrypt ? kFlagEncrypted : 0));
  if (encrypt) dest.WriteLE<uint32_t>(method_);

  if (!encrypt) {
    WriteCompressed(source, size, dest);
  } else if (!use_compression_) {
    CbcEncryptStream(*cipher, source, size, dest);
  } else {
    TMemoryStream packed;
    WriteCompressed(source, size, packed);
    packed.SetPosition(0);
    CbcEncryptStream(*cipher, packed, packed.Size(), dest);
  }
}

void TROCustomEncryption::Decrypt(TStream& source, TStream& dest) {
  CheckDistinct(source, dest);
  OutputGuard guard(dest);
  Open(source, dest);
  if (on_after_decryption_) {
    const int64_t end = dest.Position();
    dest.SetPosition(guard.Start());
    std::unique_ptr<TStream> replacement;
    on_after_decryption_(*this, dest, replacement);
    if (replacement) {
      // The supplied stream, whole, becomes the result in place of the decrypted bytes.
      CheckDistinct(*replacement, dest);
      if (guard.AtEnd()) dest.SetSize(guard.Start());
      dest.SetPosition(guard.Start());
      if (replacement->Size() > 0) {
        replacement->SetPosition(0);
        dest.CopyFrom(*replacement, replacement->Size());
      }
    } else {
      dest.SetPosition(end);
    }
  }
  guard.Commit();
}

void TROCustomEncryption::Open(TStream& source, TStream& dest) const {
  const int64_t start = source.Position();
  char signature[7];
  if (ReadUpTo(source, signature, 7) < 7 || kSignature != std::string_view(signature, 7)) {
    source.SetPosition(start);
    CopyRest(source, dest);
    return;
  }
  const uint32_t flags = source.ReadLE<uint32_t>();
  if (flags & ~kFlagsMask)
    throw Exception(Format("Invalid response type (envelope flags %u)", flags));
  const bool compressed = flags & kFlagCompressed;
  const bool encrypted = flags & kFlagEncrypted;
  std::unique_ptr<TBlockCipher> cipher;
  if (encrypted) cipher = CreateCipher(source.ReadLE<uint32_t>(), recv_key_);

  const int64_t rest = source.Size() - source.Position();
  if (rest <= 0) return;  // an envelope without payload stands for an empty stream
  if (encrypted && compressed) {
    TMemoryStream packed;
    CbcDecryptStream(*cipher, source, rest, packed);
    packed.SetPosition(0);
    ReadCompressed(packed, dest);
  } else if (encrypted) {
    CbcDecryptStream(*cipher, source, rest, dest);
  } else if (compressed) {
    ReadCompressed(source, dest);
  } else {
    CopyRest(source, dest);
  }
}

}  // namespace qorvin
