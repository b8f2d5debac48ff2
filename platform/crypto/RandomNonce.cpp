// Initialisation vectors from libgcrypt's nonce generator.
#include <gcrypt.h>

#include "platform/crypto/BlockCipher.h"
#include "platform/crypto/GcryptInit.h"

namespace qorvin {

void CipherRandomNonce(std::span<uint8_t> out) {
  EnsureGcrypt();
  gcry_create_nonce(out.data(), out.size());
}

}  // namespace qorvin
