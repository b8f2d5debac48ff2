#include "platform/crypto/BlockCipher.h"

#include <gcrypt.h>

#include <algorithm>
#include <vector>

#include "platform/crypto/GcryptInit.h"

namespace qorvin {

namespace {

[[noreturn]] void Fail(const char* what, gcry_error_t err) {
  throw ECipherError(Format("%s: %s", what, gcry_strerror(err)));
}

// Key size the cipher is opened with, for `given` bytes of key material (already cut to the
// largest size): the next size the algorithm accepts.
size_t FittedKeySize(CipherAlgorithm algorithm, size_t given) {
  switch (algorithm) {
    case CipherAlgorithm::TripleDES:
      return 24;
    case CipherAlgorithm::Blowfish:
      return given;
    case CipherAlgorithm::Twofish:
      return given <= 16 ? 16 : 32;
    case CipherAlgorithm::AES:
      return given <= 16 ? 16 : given <= 24 ? 24 : 32;
  }
  return given;
}

int GcryAlgorithm(CipherAlgorithm algorithm, size_t keySize) {
  switch (algorithm) {
    case CipherAlgorithm::TripleDES:
      return GCRY_CIPHER_3DES;
    case CipherAlgorithm::Blowfish:
      return GCRY_CIPHER_BLOWFISH;
    case CipherAlgorithm::Twofish:
      return keySize == 16 ? GCRY_CIPHER_TWOFISH128 : GCRY_CIPHER_TWOFISH;
    case CipherAlgorithm::AES:
      return keySize == 16   ? GCRY_CIPHER_AES128
             : keySize == 24 ? GCRY_CIPHER_AES192
                             : GCRY_CIPHER_AES256;
  }
  throw ECipherError("Unknown cipher algorithm");
}

}  // namespace

size_t CipherMaxKeySize(CipherAlgorithm algorithm) {
  switch (algorithm) {
    case CipherAlgorithm::TripleDES:
      return 24;
    case CipherAlgorithm::Blowfish:
      return 56;  // 448 bits, the cipher's defined maximum
    case CipherAlgorithm::Twofish:
    case CipherAlgorithm::AES:
      return 32;
  }
  throw ECipherError("Unknown cipher algorithm");
}

size_t CipherBlockSize(CipherAlgorithm algorithm) {
  switch (algorithm) {
    case CipherAlgorithm::TripleDES:
    case CipherAlgorithm::Blowfish:
      return 8;
    case CipherAlgorithm::Twofish:
    case CipherAlgorithm::AES:
      return 16;
  }
  throw ECipherError("Unknown cipher algorithm");
}

TBlockCipher::TBlockCipher(CipherAlgorithm algorithm, std::span<const uint8_t> key)
    : algorithm_(algorithm) {
  EnsureGcrypt();
  if (key.empty()) throw ECipherError("Cannot set up a cipher with an empty key");
  const size_t used = std::min(key.size(), CipherMaxKeySize(algorithm));
  std::vector<uint8_t> fitted(FittedKeySize(algorithm, used), 0);
  std::copy_n(key.begin(), std::min(used, fitted.size()), fitted.begin());
  gcry_cipher_hd_t h = nullptr;
  gcry_error_t err =
      gcry_cipher_open(&h, GcryAlgorithm(algorithm, fitted.size()), GCRY_CIPHER_MODE_CBC, 0);
  if (err) Fail("Cannot open the cipher", err);
  err = gcry_cipher_setkey(h, fitted.data(), fitted.size());
  std::fill(fitted.begin(), fitted.end(), 0);
  if (err) {
    gcry_cipher_close(h);
    Fail("Cannot set the cipher key", err);
  }
  handle_ = h;
}

TBlockCipher::~TBlockCipher() {
  gcry_cipher_close(handle_);
}

void TBlockCipher::SetIV(std::span<const uint8_t> iv) {
  if (iv.size() != BlockSize())
    throw ECipherError(Format("Initialisation vector of %zu bytes, the cipher's block is %zu",
                              iv.size(), BlockSize()));
  if (gcry_error_t err = gcry_cipher_setiv(handle_, iv.data(), iv.size()))
    Fail("Cannot set the initialisation vector", err);
}

void TBlockCipher::EncryptBlocks(std::span<uint8_t> data) {
  if (data.size() % BlockSize() != 0) throw ECipherError("Encryption of a partial cipher block");
  if (data.empty()) return;
  if (gcry_error_t err = gcry_cipher_encrypt(handle_, data.data(), data.size(), nullptr, 0))
    Fail("Encryption failed", err);
}

void TBlockCipher::DecryptBlocks(std::span<uint8_t> data) {
  if (data.size() % BlockSize() != 0) throw ECipherError("Decryption of a partial cipher block");
  if (data.empty()) return;
  if (gcry_error_t err = gcry_cipher_decrypt(handle_, data.data(), data.size(), nullptr, 0))
    Fail("Decryption failed", err);
}

}  // namespace qorvin
