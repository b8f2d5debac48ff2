// Encryption settings of a transport channel and the "rorocks" envelope they read and write.
//
// When a channel's settings name a cipher, each outgoing stream goes through Encrypt and each
// received one through Decrypt. The envelope can compress and encrypt the whole stream; the byte
// layout is in uROEncryption.cpp above the writer, the cipher text form in
// platform/crypto/CbcStream.h, and docs/encryption.md sums up both with the default key.
//
// Contracts shared by Encrypt and Decrypt:
// - Source and destination must be different streams. The result is written at the
//   destination's position, which afterwards stands after the result.
// - On failure the exception passes to the caller; when the destination was written at its end
//   (the usual case of a fresh stream), it is cut back to its size at the start of the call, so
//   it holds no partial result.
// - Keys: the key text is hexadecimal; the cipher takes its first min(largest key size, half the
//   text length) bytes. An empty text selects kDefaultEncryptionKey. A text with a character that
//   is not a hexadecimal digit fails with EConvertError.
// Thread safety: Encrypt and Decrypt change no setting, so concurrent calls on one object are
// safe as long as nobody changes the settings meanwhile and the event handlers allow it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/rtl/Stream.h"

namespace qorvin {

// The cipher of an envelope; the values travel in the envelope's method field.
enum TROEncryptionMethod : uint32_t { tetNone = 0, tetDES, tetBlowfish, tetTwoFish, tetRijndael };

// Key as hexadecimal text.
using TROCryptoKey = std::string;

// The built-in key used when a key text is empty (32 bytes); client and server must agree on it.
inline constexpr std::string_view kDefaultEncryptionKey =
    "77FD72A33E5C19ADFE48059BB1B7345B1AFA70A920AF004E3E0B5754A320B5CE";

class TROCustomEncryption;

// (Sender, OriginalStream, ProcessedStream). `processed` is empty on entry; a handler that fills
// it hands that stream over to the step, which frees it when done.
using TROEncryptionEvent = std::function<void(TROCustomEncryption& sender, TStream& original,
                                              std::unique_ptr<TStream>& processed)>;

class TROCustomEncryption {
 public:
  TROCustomEncryption() = default;
  virtual ~TROCustomEncryption() = default;
  TROCustomEncryption(const TROCustomEncryption&) = delete;
  TROCustomEncryption& operator=(const TROCustomEncryption&) = delete;

  virtual const char* ClassName() const { return "TROCustomEncryption"; }

  TROEncryptionMethod EncryptionMethod() const { return method_; }
  void SetEncryptionMethod(TROEncryptionMethod method) { method_ = method; }
  const TROCryptoKey& EncryptionSendKey() const { return send_key_; }
  void SetEncryptionSendKey(const TROCryptoKey& key) { send_key_ = key; }
  const TROCryptoKey& EncryptionRecvKey() const { return recv_key_; }
  void SetEncryptionRecvKey(const TROCryptoKey& key) { recv_key_ = key; }
  bool UseCompression() const { return use_compression_; }
  void SetUseCompression(bool value) { use_compression_ = value; }

  // Copies the four properties and both events of `source`.
  void Assign(const TROCustomEncryption& source);

  // Wraps the whole of `source` (from offset 0; or the stream OnBeforeEncryption supplies) into
  // `dest`. An empty source writes nothing; with neither compression nor a cipher the source is
  // copied unchanged. Fails with "OK, who forgot to create the cipher?" for a method value without
  // a cipher, and before writing anything when compression is on and the source is 2 GiB or more
  // (the envelope's 32-bit size field cannot hold it).
  void Encrypt(TStream& source, TStream& dest);

  // Unwraps the rest of `source` (from its position) into `dest`. A stream that does not begin
  // with "rorocks" is copied unchanged; so is an envelope with neither flag. Failures: flags above
  // 3 ("Invalid response type", plain Exception); a method without a cipher (plain Exception, "OK,
  // who forgot to create the cipher?"); a cut-short envelope header (EReadError); a wrong key or
  // corrupt cipher text (ECipherError); a corrupt compressed payload, or an uncompressed size that
  // is negative, beyond what the payload can hold, or not matching the inflated bytes
  // (EZCompressionError). Then OnAfterDecryption is called with `dest` positioned where the result
  // begins; a stream it supplies replaces the result (see docs/encryption.md).
  void Decrypt(TStream& source, TStream& dest);

 protected:
  TROEncryptionEvent on_before_encryption_;
  TROEncryptionEvent on_after_decryption_;

 private:
  void Seal(TStream& source, int64_t size, TStream& dest) const;
  void Open(TStream& source, TStream& dest) const;

  TROEncryptionMethod method_ = tetNone;
  TROCryptoKey send_key_;
  TROCryptoKey recv_key_;
  bool use_compression_ = false;
};

// The settings object of a channel: adds the two events.
class TROEncryption : public TROCustomEncryption {
 public:
  const char* ClassName() const override { return "TROEncryption"; }

  const TROEncryptionEvent& OnBeforeEncryption() const { return on_before_encryption_; }
  void SetOnBeforeEncryption(TROEncryptionEvent handler) {
    on_before_encryption_ = std::move(handler);
  }
  const TROEncryptionEvent& OnAfterDecryption() const { return on_after_decryption_; }
  void SetOnAfterDecryption(TROEncryptionEvent handler) {
    on_after_decryption_ = std::move(handler);
  }
};

}  // namespace qorvin
