// Block ciphers in CBC mode, on libgcrypt (whose header only this layer's .cpp files include).
//
// A TBlockCipher owns one libgcrypt cipher handle for its whole life (closed, and the key schedule
// wiped by libgcrypt, in the destructor). The mode is always CBC: the chaining value carries over
// from one EncryptBlocks/DecryptBlocks call to the next, so a long text may be processed piece by
// piece as long as every piece is a whole number of blocks.
//
// Key sizes: the key given to the constructor is first cut to the cipher's largest key size, then
// zero-extended to the next size the cipher accepts:
//
//   algorithm   block   accepted key sizes (bytes)      largest
//   TripleDES     8     24 (three independent DES keys)    24
//   Blowfish      8     1..56                              56
//   Twofish      16     16, 32                             32
//   AES          16     16, 24, 32 (AES-128/192/256)       32
//
// Failures raise ECipherError with libgcrypt's text (an empty key, a weak DES key, ...).
// Thread safety: libgcrypt is initialised once per process, thread-safely, on first use. One
// TBlockCipher serves one thread at a time; separate instances may be used concurrently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/rtl/Exceptions.h"

struct gcry_cipher_handle;  // libgcrypt's cipher handle, opaque here

namespace qorvin {

// Cipher set-up and decryption failures (wrong key, corrupt or truncated cipher text).
QORVIN_DECLARE_EXCEPTION(ECipherError, Exception);

enum class CipherAlgorithm { TripleDES, Blowfish, Twofish, AES };

// Largest key (bytes) the algorithm uses; longer key material is cut to this size.
size_t CipherMaxKeySize(CipherAlgorithm algorithm);
// Block size in bytes (8 or 16).
size_t CipherBlockSize(CipherAlgorithm algorithm);

// Fills `out` with unpredictable bytes suitable for initialisation vectors (libgcrypt's nonce
// generator; on Windows the system's random generator). Throws ECipherError when the source fails.
void CipherRandomNonce(std::span<uint8_t> out);

class TBlockCipher {
 public:
  // Opens the cipher and sets the key (sizes as in the table above). The chaining value starts
  // at all zero bytes until SetIV. ECipherError when the key is empty or rejected.
  TBlockCipher(CipherAlgorithm algorithm, std::span<const uint8_t> key);
  ~TBlockCipher();
  TBlockCipher(const TBlockCipher&) = delete;
  TBlockCipher& operator=(const TBlockCipher&) = delete;

  CipherAlgorithm Algorithm() const { return algorithm_; }
  size_t BlockSize() const { return CipherBlockSize(algorithm_); }
  // Sets the CBC chaining value; `iv` must be exactly one block.
  void SetIV(std::span<const uint8_t> iv);
  // Encrypts / decrypts in place; the size must be a multiple of the block size.
  void EncryptBlocks(std::span<uint8_t> data);
  void DecryptBlocks(std::span<uint8_t> data);

 private:
  CipherAlgorithm algorithm_;
  gcry_cipher_handle* handle_ = nullptr;
};

}  // namespace qorvin
